// Replays the JSON fuzz seeds (fuzz/corpus/json) through the fuzz target's own
// checks, so the normal sanitizer build keeps what the fuzzer once found.
#include "fuzz/json_check.h"
#include "tests/fuzz_replay.h"

namespace {

TEST(JSONFuzzReplay, EverySeedKeepsTheFuzzProperties) { fuzz_replay::ReplaySeeds("json", json_check::Check); }

}  // namespace
