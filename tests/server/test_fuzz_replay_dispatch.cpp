// Replays the dispatch fuzz seeds (fuzz/corpus/ws_dispatch) through the fuzz
// target's own check, so the normal sanitizer build keeps what the fuzzer
// once found.
#include "fuzz/ws_dispatch_check.h"
#include "tests/fuzz_replay.h"

namespace {

TEST(DispatchFuzzReplay, EverySeedKeepsTheFuzzProperties) {
  fuzz_replay::ReplaySeeds("ws_dispatch", ws_dispatch_check::CheckDispatch);
}

}  // namespace
