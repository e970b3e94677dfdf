// Fuzz target: any bytes go to the HTTP client's response reader through
// http_client_check::CheckResponseReader; a property that does not hold
// stops the run with the input saved by the fuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz/http_client_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const http_client_check::Faults faults =
      http_client_check::CheckResponseReader(std::string_view(reinterpret_cast<const char*>(aData), aSize));
  if (faults.empty()) return 0;
  for (const auto& fault : faults) std::fprintf(stderr, "http_client_check: %s\n", fault.c_str());
  std::abort();
}
