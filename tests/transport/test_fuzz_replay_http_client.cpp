// Replays the HTTP client's fuzz seeds (fuzz/corpus/http_response) through
// the fuzz target's own check.
#include "fuzz/http_client_check.h"
#include "tests/fuzz_replay.h"

namespace {

TEST(HTTPClientFuzzReplay, EverySeedKeepsTheFuzzProperties) {
  fuzz_replay::ReplaySeeds("http_response", http_client_check::CheckResponseReader);
}

}  // namespace
