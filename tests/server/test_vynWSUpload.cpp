// Uploads: the temporary body file and the extraction of multipart parts
// into the save folder, with the refusals that keep outside input inside it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/DateUtils.h"
#include "platform/SysUtils.h"
#include "server/vynWSUpload.h"

namespace fs = std::filesystem;

namespace {

// A fresh folder under the build tree's temporary folder, removed after.
class UploadFolder : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("vyn_upload_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir / "save");
    Save = (Dir / "save").string();
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::set<std::string> SavedNames() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(Save)) names.insert(e.path().filename().string());
    return names;
  }
  static std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  detail::TMultipartResult Extract(const std::string& aBody, const std::string& aBoundary = "XyZ",
                                   const detail::TMultipartLimits& aLimits = {}) {
    TStringStream body(aBody);
    return detail::ExtractMultipartFiles(body, aBoundary, Save, aLimits);
  }

  fs::path Dir;
  std::string Save;
};

std::string Part(const std::string& aDisposition, const std::string& aData, const std::string& aBoundary = "XyZ") {
  return "--" + aBoundary + "\r\nContent-Disposition: " + aDisposition + "\r\nContent-Type: text/plain\r\n\r\n" +
         aData + "\r\n";
}
std::string Close(const std::string& aBoundary = "XyZ") { return "--" + aBoundary + "--\r\n"; }

TEST(UploadTimeStamp, IsYearToMillisecond) {
  EXPECT_EQ(detail::UploadTimeStamp(EncodeDateTime(2026, 12, 10, 7, 5, 9, 42)), "20261210070509042");
}

TEST(IsFileUpload, NeedsMultipartFormDataAndTheMinimumSize) {
  EXPECT_TRUE(detail::IsFileUpload("multipart/form-data; boundary=x", "", 0));
  EXPECT_TRUE(detail::IsFileUpload("Multipart/Form-Data;boundary=x", "10", 10));
  EXPECT_FALSE(detail::IsFileUpload("multipart/form-data; boundary=x", "9", 10));
  EXPECT_FALSE(detail::IsFileUpload("multipart/form-data; boundary=x", "", 10));
  EXPECT_FALSE(detail::IsFileUpload("application/json", "100", 0));
}

TEST(MultipartBoundary, FromTheContentType) {
  const std::pair<const char*, const char*> cases[] = {
      {"multipart/form-data; boundary=abc", "abc"},
      {"multipart/form-data; charset=utf-8; BOUNDARY=\"a b:c\"", "a b:c"},
      {"multipart/form-data;boundary=----WebKitFormBoundary7MA4YWxkTrZu0gW", "----WebKitFormBoundary7MA4YWxkTrZu0gW"},
      {"multipart/form-data", ""},
      {"multipart/form-data; boundary=", ""},
      {"multipart/form-data; boundary=\"\"", ""},
      {"multipart/form-data; boundary=a\rb", ""},
  };
  for (const auto& [type, boundary] : cases) EXPECT_EQ(detail::MultipartBoundary(type), boundary) << type;
  EXPECT_EQ(detail::MultipartBoundary("multipart/form-data; boundary=" + std::string(71, 'x')), "");
  EXPECT_EQ(detail::MultipartBoundary("multipart/form-data; boundary=" + std::string(70, 'x')), std::string(70, 'x'));
}

TEST(SafePartFileName, KeepsTheLastSegmentAndRefusesTheRest) {
  const std::pair<std::string, std::string> cases[] = {
      {"report.pdf", "report.pdf"},
      {"C:\\Users\\me\\report.pdf", "report.pdf"},
      {"/home/me/report.pdf", "report.pdf"},
      {"dir/sub/a b.txt", "a b.txt"},
      {".profile", ".profile"},
      {"..", ""},
      {"../../etc/passwd", ""},
      {"..\\..\\boot.ini", ""},
      {"a/../b", ""},
      {"...", "..."},
      {"a..b", "a..b"},
      {".", ""},
      {"", ""},
      {"dir/", ""},
      {std::string("a\0b", 3), ""},
      {"a\nb", ""},
      {std::string(255, 'n'), std::string(255, 'n')},
      {std::string(256, 'n'), ""},
  };
  for (const auto& [client, safe] : cases) EXPECT_EQ(detail::SafePartFileName(client), safe) << client;
}

TEST(DispositionFileName, QuotedTokenAndMissing) {
  bool found = false;
  EXPECT_EQ(detail::DispositionFileName("form-data; name=\"f\"; filename=\"a \\\"q\\\".txt\"", found), "a \"q\".txt");
  EXPECT_TRUE(found);
  EXPECT_EQ(detail::DispositionFileName("form-data; name=f; FILENAME=b.txt", found), "b.txt");
  EXPECT_TRUE(found);
  EXPECT_EQ(detail::DispositionFileName("form-data; name=\"filename\"", found), "");
  EXPECT_FALSE(found);
  EXPECT_EQ(detail::DispositionFileName("form-data; name=\"a;b\"; filename=\"c;d\"", found), "c;d");
  EXPECT_TRUE(found);
}

TEST_F(UploadFolder, TemporaryFileIsOwnerOnlyNamedByTimeAndFreshWhenTaken) {
  TTestClock clock;
  const std::string stamp = detail::UploadTimeStamp(Now());
  std::ofstream(Save + "/" + stamp + ".vyn_ps") << "taken";
  auto file = detail::CreateUploadFile(Save);
  EXPECT_EQ(fs::path(file->FileName()).filename().string(),
            detail::UploadTimeStamp(IncMilliSecond(Now(), 1)) + ".vyn_ps");
  struct stat st {};
  ASSERT_EQ(::stat(file->FileName().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(Slurp(Save + "/" + stamp + ".vyn_ps"), "taken");

  file->WriteBuffer("body", 4);
  file->SetPosition(0);
  char back[4];
  file->ReadBuffer(back, 4);
  EXPECT_EQ(std::string(back, 4), "body");
}

TEST_F(UploadFolder, TemporaryFileGoesAwayUnlessKept) {
  std::string dropped, kept;
  {
    auto a = detail::CreateUploadFile(Save);
    dropped = a->FileName();
    auto b = detail::CreateUploadFile(Save);
    kept = b->FileName();
    b->Keep();
  }
  EXPECT_FALSE(fs::exists(dropped));
  EXPECT_TRUE(fs::exists(kept));
}

TEST_F(UploadFolder, MissingFolderIsAClearError) {
  EXPECT_THROW(detail::CreateUploadFile(Save + "/missing"), EFCreateError);
}

TEST_F(UploadFolder, FilePartsLandInTheFolderFieldsDoNot) {
  const std::string binary("\0\r\n--XyY-\r\n-\xff", 13);
  const std::string body = "preamble\r\n" + Part("form-data; name=\"a\"; filename=\"one.txt\"", "first file") +
                           Part("form-data; name=\"comment\"", "just a field") +
                           Part("form-data; name=\"b\"; filename=\"C:\\tmp\\two.bin\"", binary) +
                           Part("form-data; name=\"c\"; filename=\"empty.txt\"", "") + Close() + "epilogue";
  const auto result = Extract(body);
  EXPECT_EQ(result.Files.size(), 3u);
  EXPECT_EQ(SavedNames(), (std::set<std::string>{"one.txt", "two.bin", "empty.txt"}));
  EXPECT_EQ(Slurp(Save + "/one.txt"), "first file");
  EXPECT_EQ(Slurp(Save + "/two.bin"), binary);
  EXPECT_EQ(Slurp(Save + "/empty.txt"), "");
}

TEST_F(UploadFolder, DelimiterSplitAcrossReadsAndLargeParts) {
  // Data longer than the reader's chunk, with near-delimiters around the
  // chunk edges.
  std::string data;
  while (data.size() < 300000)
    data += "\r\n--XyY\r\n--Xy" + std::string(1000, static_cast<char>('a' + data.size() % 26));
  const auto result = Extract(Part("form-data; name=\"f\"; filename=\"big.dat\"", data) + Close());
  ASSERT_EQ(result.Files.size(), 1u);
  EXPECT_EQ(Slurp(Save + "/big.dat"), data);
}

TEST_F(UploadFolder, ExistingFilesAreNeverReplaced) {
  std::ofstream(Save + "/one.txt") << "old";
  std::ofstream(Save + "/one_1.txt") << "old too";
  Extract(Part("form-data; name=\"a\"; filename=\"one.txt\"", "new") +
          Part("form-data; name=\"b\"; filename=\"one.txt\"", "newer") + Close());
  EXPECT_EQ(Slurp(Save + "/one.txt"), "old");
  EXPECT_EQ(Slurp(Save + "/one_1.txt"), "old too");
  EXPECT_EQ(Slurp(Save + "/one_2.txt"), "new");
  EXPECT_EQ(Slurp(Save + "/one_3.txt"), "newer");
}

TEST_F(UploadFolder, ALinkInTheFolderIsNotFollowed) {
  std::ofstream(Dir / "outside.txt") << "outside";
  fs::create_symlink(Dir / "outside.txt", fs::path(Save) / "one.txt");
  Extract(Part("form-data; name=\"a\"; filename=\"one.txt\"", "new") + Close());
  EXPECT_EQ(Slurp(Dir / "outside.txt"), "outside");
  EXPECT_EQ(Slurp(Save + "/one_1.txt"), "new");
}

// Reads like its text, looking into the folder before every read.
class WatchedBody : public TStringStream {
public:
  WatchedBody(std::string_view aText, std::function<void()> aLook) : TStringStream(aText), FLook(std::move(aLook)) {}
  std::int64_t Read(void* aBuffer, std::int64_t aCount) override {
    FLook();
    return TStringStream::Read(aBuffer, aCount);
  }

private:
  std::function<void()> FLook;
};

// Someone watching the folder never sees a part half written: parts appear
// under their names once the whole body was read.
TEST_F(UploadFolder, PartsAppearOnlyOnceTheWholeBodyWasRead) {
  const std::string big(200000, 'b');
  std::set<std::string> seen;
  WatchedBody body(Part("form-data; name=\"a\"; filename=\"a.txt\"", "small") +
                       Part("form-data; name=\"b\"; filename=\"b.txt\"", big) + Close(),
                   [&] {
                     for (const std::string& n : SavedNames())
                       if (n[0] != '.') seen.insert(n);
                   });
  const auto result = detail::ExtractMultipartFiles(body, "XyZ", Save, {});
  EXPECT_TRUE(seen.empty()) << *seen.begin();
  EXPECT_EQ(result.Files, (std::vector<std::string>{Save + "/a.txt", Save + "/b.txt"}));
  EXPECT_EQ(SavedNames(), (std::set<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(Slurp(Save + "/b.txt"), big);
}

struct BadBody {
  const char* Name;
  std::string Body;
  detail::TMultipartLimits Limits;
};

TEST_F(UploadFolder, MalformedBodiesAreErrorsThatLeaveNothingBehind) {
  const std::string first = Part("form-data; name=\"a\"; filename=\"first.txt\"", "written before the fault");
  const BadBody cases[] = {
      {"no boundary at all", "just text\r\n", {}},
      {"cut short in the data", first + "--XyZ\r\nContent-Disposition: form-data; filename=\"b.txt\"\r\n\r\nhalf", {}},
      {"no closing boundary", first, {}},
      {"cut short in a head", first + "--XyZ\r\nContent-Disposition: form-data; filen", {}},
      {"garbage after a boundary", first + "--XyZjunk\r\n\r\nx\r\n" + Close(), {}},
      {"traversal name", first + Part("form-data; name=\"b\"; filename=\"../../escape.txt\"", "x") + Close(), {}},
      {"NUL in a name", first + Part(std::string("form-data; filename=\"a\0b\"", 26), "x") + Close(), {}},
      {"too many parts",
       first + Part("form-data; name=\"x\"", "1") + Part("form-data; name=\"y\"", "2") + Close(),
       {2, 16384}},
      {"head too long", first + "--XyZ\r\nX-Long: " + std::string(400, 'h') + "\r\n\r\nx\r\n" + Close(), {1000, 256}},
  };
  for (const BadBody& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_THROW(Extract(c.Body, "XyZ", c.Limits), Exception);
    EXPECT_TRUE(SavedNames().empty());
    EXPECT_FALSE(fs::exists(Dir / "escape.txt"));
  }
  EXPECT_THROW(Extract(first + Close(), ""), Exception);
}

}  // namespace
