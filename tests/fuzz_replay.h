// Replays a fuzz target's seeds (fuzz/corpus/<folder>) through the target's
// own check, so the normal sanitizer build keeps what the fuzzer once found.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/check_common.h"

namespace fuzz_replay {

namespace fs = std::filesystem;

// Seeds are small by design; a file larger than this was committed by mistake.
constexpr std::uintmax_t kMaxSeedBytes = 1 << 20;
constexpr std::size_t kMaxSeeds = 10000;

// The repository root, as the build names it.
inline fs::path SourceRoot() { return fs::path(SOURCE_ROOT); }

inline std::string Slurp(const fs::path& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void ReplaySeeds(std::string_view aFolder, fuzz_check::Faults (*aCheck)(std::string_view)) {
  const fs::path dir = SourceRoot() / "fuzz" / "corpus" / aFolder;
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
    for (const std::string& fault : aCheck(Slurp(seed))) ADD_FAILURE() << fault;
  }
}

}  // namespace fuzz_replay
