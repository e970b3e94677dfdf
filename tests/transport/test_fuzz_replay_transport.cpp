// Replays the transport fuzz seeds (fuzz/corpus/<target>) through the fuzz
// targets' own checks, so the normal sanitizer build keeps what the fuzzer
// once found.
#include <string>

#include "fuzz/http_parser_check.h"
#include "fuzz/http_server_check.h"
#include "fuzz/transport_check.h"
#include "tests/fuzz_replay.h"

namespace {

struct Target {
  const char* Folder;
  transport_check::Faults (*Check)(std::string_view);
};

class TransportFuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(TransportFuzzReplay, EverySeedKeepsTheFuzzProperties) {
  fuzz_replay::ReplaySeeds(GetParam().Folder, GetParam().Check);
}

INSTANTIATE_TEST_SUITE_P(Seeds, TransportFuzzReplay,
                         ::testing::Values(Target{"header_list", transport_check::CheckHeaderList},
                                           Target{"http_date", transport_check::CheckDates},
                                           Target{"uri", transport_check::CheckURI},
                                           Target{"set_cookie", transport_check::CheckSetCookie},
                                           Target{"http_request", http_server_check::CheckRequestReader},
                                           Target{"http_parser", http_parser_check::CheckParser}),
                         [](const ::testing::TestParamInfo<Target>& aInfo) { return std::string(aInfo.param.Folder); });

}  // namespace
