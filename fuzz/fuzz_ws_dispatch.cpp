// Fuzz target: an option byte and any gathered bytes go through
// ws_dispatch_check::CheckDispatch; a property that does not hold stops the
// run with the input saved by the fuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz/ws_dispatch_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const ws_dispatch_check::Faults faults =
      ws_dispatch_check::CheckDispatch(std::string_view(reinterpret_cast<const char*>(aData), aSize));
  if (faults.empty()) return 0;
  for (const auto& fault : faults) std::fprintf(stderr, "ws_dispatch_check: %s\n", fault.c_str());
  std::abort();
}
