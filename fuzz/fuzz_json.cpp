// Fuzz target for the JSON reader and writer: any bytes go through
// json_check::Check, and a property that does not hold stops the run with the
// input saved by the fuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz/json_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const json_check::Faults faults = json_check::Check(std::string_view(reinterpret_cast<const char*>(aData), aSize));
  if (faults.empty()) return 0;
  for (const auto& fault : faults) std::fprintf(stderr, "json_check: %s\n", fault.c_str());
  std::abort();
}
