// Fuzz target: a boundary line and any body go through
// multipart_check::CheckMultipart; a property that does not hold stops the
// run with the input saved by the fuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz/multipart_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const multipart_check::Faults faults =
      multipart_check::CheckMultipart(std::string_view(reinterpret_cast<const char*>(aData), aSize));
  if (faults.empty()) return 0;
  for (const auto& fault : faults) std::fprintf(stderr, "multipart_check: %s\n", fault.c_str());
  std::abort();
}
