// Replays the server fuzz seeds (fuzz/corpus/ws_dispatch, fuzz/corpus/
// multipart) through the fuzz targets' own checks, so the normal sanitizer
// build keeps what the fuzzer once found.
#include "fuzz/multipart_check.h"
#include "fuzz/ws_dispatch_check.h"
#include "tests/fuzz_replay.h"

namespace {

TEST(ServerFuzzReplay, DispatchSeedsKeepTheFuzzProperties) {
  fuzz_replay::ReplaySeeds("ws_dispatch", ws_dispatch_check::CheckDispatch);
}

TEST(ServerFuzzReplay, MultipartSeedsKeepTheFuzzProperties) {
  fuzz_replay::ReplaySeeds("multipart", multipart_check::CheckMultipart);
}

}  // namespace
