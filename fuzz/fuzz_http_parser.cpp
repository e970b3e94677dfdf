// Fuzz target: any bytes go through http_parser_check::CheckParser (the first
// byte picks request or response and the splits), and a property that does
// not hold stops the run with the input saved by the fuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz/http_parser_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const http_parser_check::Faults faults =
      http_parser_check::CheckParser(std::string_view(reinterpret_cast<const char*>(aData), aSize));
  if (faults.empty()) return 0;
  for (const auto& fault : faults) std::fprintf(stderr, "http_parser_check: %s\n", fault.c_str());
  std::abort();
}
