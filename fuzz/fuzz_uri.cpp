// Fuzz target: any bytes go through transport_check::CheckURI, and a property
// that does not hold stops the run with the input saved by the fuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz/transport_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const transport_check::Faults faults =
      transport_check::CheckURI(std::string_view(reinterpret_cast<const char*>(aData), aSize));
  if (faults.empty()) return 0;
  for (const auto& fault : faults) std::fprintf(stderr, "transport_check: %s\n", fault.c_str());
  std::abort();
}
