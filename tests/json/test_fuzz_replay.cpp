// Replays the JSON fuzz seeds (fuzz/corpus/json) through the fuzz target's own
// checks, so the normal sanitizer build keeps what the fuzzer once found.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/json_check.h"

namespace fs = std::filesystem;

namespace {

// Seeds are small by design; a file larger than this was committed by mistake.
constexpr std::uintmax_t kMaxSeedBytes = 1 << 20;
constexpr std::size_t kMaxSeeds = 10000;

// The repository root: SOURCE_DIR when the test runner sets it, else the tree
// this file was compiled from (CMake passes sources by absolute path).
fs::path SourceRoot() {
  if (const char* root = std::getenv("SOURCE_DIR"); root && *root) return root;
  const fs::path self(__FILE__);
  if (!self.is_absolute()) return {};
  return self.parent_path().parent_path().parent_path();
}

std::string Slurp(const fs::path& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(JSONFuzzReplay, EverySeedKeepsTheFuzzProperties) {
  const fs::path root = SourceRoot();
  if (root.empty()) GTEST_SKIP() << "SOURCE_DIR is not set and the source path is relative: no seed folder to replay";
  const fs::path dir = root / "fuzz" / "corpus" / "json";
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
    const json_check::Faults faults = json_check::Check(Slurp(seed));
    for (const std::string& fault : faults) ADD_FAILURE() << fault;
  }
}

}  // namespace
