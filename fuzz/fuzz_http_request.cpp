// Fuzz target: any bytes go to the HTTP server's request loop through
// http_server_check::CheckRequestReader; a property that does not hold stops
// the run with the input saved by the fuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz/http_server_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const http_server_check::Faults faults =
      http_server_check::CheckRequestReader(std::string_view(reinterpret_cast<const char*>(aData), aSize));
  if (faults.empty()) return 0;
  for (const auto& fault : faults) std::fprintf(stderr, "http_server_check: %s\n", fault.c_str());
  std::abort();
}
