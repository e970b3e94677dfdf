// The public JSON parsing suite, read in place: every file is read without
// crash or hang, and every valid file the lenient reader reads whole is
// written back as it was, less the blanks outside strings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "json/vynJSON.h"

namespace fs = std::filesystem;

namespace {

fs::path CorpusDir() {
  const char* shared = std::getenv("SHARED_DIR");
  return fs::path(shared ? shared : "../shared") / "corpora" / "json-test-suite";
}

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The input without the blanks that stand outside strings.
std::string StripBlanks(const std::string& text) {
  std::string out;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      out += c;
      if (c == '\\' && i + 1 < text.size()) {
        out += text[++i];
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    if (c == '"') inString = true;
    out += c;
  }
  return out;
}

// The reader takes a top-level array or object that starts the text; a
// top-level scalar, or blanks before the bracket, give an empty document.
bool StartsAContainer(const std::string& input) { return !input.empty() && (input[0] == '[' || input[0] == '{'); }

TEST(JSONCorpus, EveryFileReadsWithoutCrash) {
  const fs::path dir = CorpusDir();
  if (!fs::is_directory(dir)) GTEST_SKIP() << "corpus folder not found: " << dir;
  int files = 0, roundTrips = 0;
  std::vector<std::string> mismatches;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    const std::string input = Slurp(entry.path());
    TvynJSON doc;
    doc.Read(input);
    const std::string written = doc.Text();
    ++files;
    // Writing what was read and reading it again changes nothing more.
    TvynJSON again;
    again.Read(written);
    EXPECT_EQ(again.Text(), written) << name;
    if (name.rfind("y_", 0) != 0) continue;
    const std::string expected = StripBlanks(input);
    if (!StartsAContainer(input)) continue;
    if (written == expected)
      ++roundTrips;
    else
      mismatches.push_back(name);
  }
  EXPECT_GT(files, 0);
  EXPECT_TRUE(mismatches.empty()) << "written differently: " << ::testing::PrintToString(mismatches);
  RecordProperty("files", files);
  RecordProperty("round_trips", roundTrips);
}

}  // namespace
