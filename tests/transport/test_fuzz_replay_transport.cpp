// Replays the transport fuzz seeds (fuzz/corpus/<target>) through the fuzz
// targets' own checks, so the normal sanitizer build keeps what the fuzzer
// once found.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/transport_check.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kMaxSeedBytes = 1 << 20;
constexpr std::size_t kMaxSeeds = 10000;

std::string Slurp(const fs::path& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Target {
  const char* Folder;
  transport_check::Faults (*Check)(std::string_view);
};

class TransportFuzzReplay : public ::testing::TestWithParam<Target> {};

// The source tree: SOURCE_DIR, or else the tree this file was compiled from
// (ctest does not always pass SOURCE_DIR on).
fs::path SourceRoot() {
  if (const char* root = std::getenv("SOURCE_DIR"); root && *root) return root;
  return fs::path(__FILE__).parent_path().parent_path().parent_path();
}

TEST_P(TransportFuzzReplay, EverySeedKeepsTheFuzzProperties) {
  const fs::path dir = SourceRoot() / "fuzz" / "corpus" / GetParam().Folder;
  if (!fs::is_directory(dir)) GTEST_SKIP() << "seed folder not found: " << dir;
  std::vector<fs::path> seeds;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) seeds.push_back(entry.path());
    if (seeds.size() > kMaxSeeds) break;
  }
  ASSERT_FALSE(seeds.empty()) << "no seeds in " << dir;
  ASSERT_LE(seeds.size(), kMaxSeeds) << "more seeds than a replay should take: minimise " << dir;
  std::sort(seeds.begin(), seeds.end());
  for (const fs::path& seed : seeds) {
    SCOPED_TRACE(seed.filename().string());
    ASSERT_LE(fs::file_size(seed), kMaxSeedBytes);
    for (const std::string& fault : GetParam().Check(Slurp(seed))) ADD_FAILURE() << fault;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, TransportFuzzReplay,
                         ::testing::Values(Target{"header_list", transport_check::CheckHeaderList},
                                           Target{"http_date", transport_check::CheckDates},
                                           Target{"uri", transport_check::CheckURI},
                                           Target{"set_cookie", transport_check::CheckSetCookie}),
                         [](const ::testing::TestParamInfo<Target>& aInfo) { return std::string(aInfo.param.Folder); });

}  // namespace
