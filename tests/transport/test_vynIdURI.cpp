#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "transport/vynIdResourceStringsProtocols.h"
#include "transport/vynIdTextEncoding.h"
#include "transport/vynIdURI.h"

namespace {

struct Parts {
  std::string Protocol, Username, Password, Host, Port, Path, Document, Params, Bookmark;
  TIdIPVersion IPVersion = TIdIPVersion::Id_IPv4;
};

void ExpectParts(const TIdURI& u, const Parts& p, const std::string& aText) {
  EXPECT_EQ(u.Protocol, p.Protocol) << aText;
  EXPECT_EQ(u.Username, p.Username) << aText;
  EXPECT_EQ(u.Password, p.Password) << aText;
  EXPECT_EQ(u.Host, p.Host) << aText;
  EXPECT_EQ(u.Port, p.Port) << aText;
  EXPECT_EQ(u.Path, p.Path) << aText;
  EXPECT_EQ(u.Document, p.Document) << aText;
  EXPECT_EQ(u.Params, p.Params) << aText;
  EXPECT_EQ(u.Bookmark, p.Bookmark) << aText;
  EXPECT_EQ(u.IPVersion, p.IPVersion) << aText;
}

TEST(URI, SplitsIntoParts) {
  struct Case {
    const char* Text;
    Parts Expected;
  };
  const Case cases[] = {
      {"https://user:pw@h1:8443/a/b/c.json?x=1&y=2#top",
       {"https", "user", "pw", "h1", "8443", "/a/b/", "c.json", "x=1&y=2", "top"}},
      {"http://[::1]:8080/x", {"http", "", "", "::1", "8080", "/", "x", "", "", TIdIPVersion::Id_IPv6}},
      {"http://[fe80::1]/", {"http", "", "", "fe80::1", "", "/", "", "", "", TIdIPVersion::Id_IPv6}},
      {"http://host", {"http", "", "", "host", "", "/", "", "", ""}},
      {"http://host?q", {"http", "", "", "host", "", "/", "", "q", ""}},
      {"http://a@b@host/", {"http", "a@b", "", "host", "", "/", "", "", ""}},  // the last "@" ends the user
      {"http://:pw@host/", {"http", "", "", "host", "", "/", "", "", ""}},     // no user name, no password
      {"docs/index.html?q=a#s", {"", "", "", "", "", "docs/", "index.html", "q=a", "s"}},
      {"index.html", {"", "", "", "", "", "", "index.html", "", ""}},
      {"/p/#frag", {"", "", "", "", "", "/p/", "", "", "frag"}},
      // Relative: the scheme-looking text lies after "/" or "?".
      {"/login?next=http://x/", {"", "", "", "", "", "/", "login", "next=http://x/", ""}},
      {"a/b://c", {"", "", "", "", "", "a/b://", "c", "", ""}},
      // A "?" inside the fragment belongs to the fragment.
      {"http://h/d#frag?notquery", {"http", "", "", "h", "", "/", "d", "", "frag?notquery"}},
      {"page#top?x", {"", "", "", "", "", "", "page", "", "top?x"}},
      // Backslashes before the query are slashes, after it they stay.
      {"http://h\\a\\b", {"http", "", "", "h", "", "/a/", "b", "", ""}},
      {"http://h/a?x=\\y", {"http", "", "", "h", "", "/", "a", "x=\\y", ""}},
      {"/a\\b?next=http://x\\y", {"", "", "", "", "", "/a/", "b", "next=http://x\\y", ""}},
  };
  for (const auto& c : cases) ExpectParts(TIdURI(c.Text), c.Expected, c.Text);
}

TEST(URI, RebuildsWithTheChosenParts) {
  TIdURI u("https://user:pw@h1:8443/a/b/c.json?x=1&y=2#top");
  EXPECT_EQ(u.URI(), "https://h1:8443/a/b/c.json?x=1&y=2");
  EXPECT_EQ(u.GetFullURI(), "https://user:pw@h1:8443/a/b/c.json?x=1&y=2#top");
  EXPECT_EQ(u.GetFullURI(static_cast<std::uint8_t>(TIdURIOptionalField::ofBookmark)),
            "https://h1:8443/a/b/c.json?x=1&y=2#top");
  EXPECT_EQ(u.GetPathAndParams(), "/a/b/c.json?x=1&y=2");
  u.Password = "";
  EXPECT_EQ(u.GetFullURI(), "https://user@h1:8443/a/b/c.json?x=1&y=2#top");

  EXPECT_EQ(TIdURI("http://[::1]:8080/").URI(), "http://[::1]:8080/");
  struct Case {
    const char* Text;
    const char* Rebuilt;
  };
  const Case cases[] = {{"http://h:80", "http://h/"},       {"http://h:8080", "http://h:8080/"},
                        {"HTTPS://h:443/x", "HTTPS://h/x"}, {"ftp://h:21/", "ftp://h/"},
                        {"ws://h:80/", "ws://h:80/"},       {"https://h:80/", "https://h:80/"}};
  for (const auto& c : cases) EXPECT_EQ(TIdURI(c.Text).URI(), c.Rebuilt) << c.Text;

  TIdURI relative("docs/a.html");
  try {
    relative.URI();
    FAIL() << "no protocol";
  } catch (const EIdURIException& e) {
    EXPECT_STREQ(e.what(), RSURIProtocolFieldEmpty);
  }
  relative.Protocol = "http";
  try {
    relative.URI();
    FAIL() << "no host";
  } catch (const EIdURIException& e) {
    EXPECT_STREQ(e.what(), RSURIHostFieldEmpty);
  }
}

// TIdURI parses and rebuilds; it does not resolve references (the client
// does). So the examples of RFC 3986 section 5.4 serve here as texts to
// split: every reference must split into parts that give it back, and every
// resolved absolute URI must rebuild to itself.
TEST(URI, RFC3986ExamplesSplitAndRebuild) {
  const char* shared = std::getenv("SHARED_DIR");
  const std::filesystem::path file =
      std::filesystem::path(shared ? shared : "../shared") / "reference" / "rfc3986-uri.txt";
  std::ifstream in(file);
  if (!in) GTEST_SKIP() << "RFC 3986 text not found at " << file << "; skipping";
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    // Example lines:      "g?y"           =  "http://a/b/c/g?y"
    const auto q1 = line.find_first_not_of(' ');
    if (q1 == std::string::npos || q1 == 0 || line[q1] != '"') continue;
    const auto q2 = line.find('"', q1 + 1);
    const auto eq = line.find_first_not_of(' ', q2 + 1);
    if (q2 == std::string::npos || eq == std::string::npos || line[eq] != '=') continue;
    const auto q3 = line.find_first_not_of(' ', eq + 1);
    if (q3 == std::string::npos || line[q3] != '"') continue;
    const auto q4 = line.find('"', q3 + 1);
    if (q4 == std::string::npos) continue;
    ++count;
    const std::string reference = line.substr(q1 + 1, q2 - q1 - 1), target = line.substr(q3 + 1, q4 - q3 - 1);
    const TIdURI rel(reference);
    EXPECT_EQ(rel.Protocol, "") << reference;
    std::string back = rel.Path + rel.Document;
    if (!rel.Params.empty() || reference.find('?') != std::string::npos) back += "?" + rel.Params;
    if (!rel.Bookmark.empty() || reference.find('#') != std::string::npos) back += "#" + rel.Bookmark;
    EXPECT_EQ(back, reference);

    if (target.rfind("http://", 0) != 0) continue;
    const TIdURI abs(target);
    EXPECT_EQ(abs.Protocol, "http") << target;
    ASSERT_FALSE(abs.Path.empty()) << target;
    EXPECT_EQ(abs.Path.front(), '/') << target;
    EXPECT_EQ(abs.Path.back(), '/') << target;
    // A URL without a path is rebuilt with the path "/".
    const bool noPath = target.find('/', 7) == std::string::npos;
    EXPECT_EQ(abs.GetFullURI(), noPath ? target + "/" : target);
  }
  EXPECT_GE(count, 40) << "examples not found in " << file;
}

TEST(URI, NormalizePath) {
  struct Case {
    const char* In;
    const char* Out;
  };
  const Case cases[] = {{"http:\\\\h\\a\\b?x\\y", "http:\\\\h/a/b?x\\y"},
                        {"http://h\\a#f\\g", "http://h/a#f\\g"},
                        {"a\\b\\c", "a/b/c"},
                        {"/x?u=http://a\\b", "/x?u=http://a\\b"},
                        {"", ""}};
  for (const auto& c : cases) EXPECT_EQ(TIdURI::NormalizePath(c.In), c.Out) << c.In;
}

TEST(URIEncoding, EncodersKeepSafeCharactersAndExistingEscapes) {
  const std::string text = "a b+\xC3\xA9%41%zz\x7F*\"`|\xF0\x9F\x98\x80";
  EXPECT_EQ(TIdURI::ParamsEncode(text), "a%20b+%C3%A9%41%25zz%7F%2A%22%60%7C%F0%9F%98%80");
  EXPECT_EQ(TIdURI::PathEncode(text), "a%20b%2B%C3%A9%41%25zz%7F%2A%22%60%7C%F0%9F%98%80");
  EXPECT_EQ(TIdURI::ParamsEncode("x=1&y=/?:@"), "x=1&y=/?:@");
  EXPECT_EQ(TIdURI::ParamsEncode("tab\there\r\n"), "tab%09here%0D%0A");
  // With a one-byte encoding, é is one byte.
  EXPECT_EQ(TIdURI::ParamsEncode("\xC3\xA9", detail::Encoding8Bit()), "%E9");

  EXPECT_EQ(TIdURI::URLEncode("http://u:p@h/a b/c d.txt?q=a b#frag"), "http://h/a%20b/c%20d.txt?q=a%20b");
  EXPECT_THROW(TIdURI::URLEncode("relative/path"), EIdURIException);
}

TEST(URIEncoding, DecoderKeepsWhatItCannotDecode) {
  struct Case {
    const char* In;
    const char* Out;
  };
  const Case cases[] = {
      {"a%20b%zz", "a b%zz"},  // a malformed sequence stays as written
      {"%u00E9", "\xC3\xA9"},
      {"%U20AC", "\xE2\x82\xAC"},
      {"%uD83D%uDE00", "\xF0\x9F\x98\x80"},  // a surrogate pair is one character
      {"%uD83Dx", "\xEF\xBF\xBDx"},          // a lone half is no character
      {"%C3%A9", "\xC3\xA9"},
      {"%E9", "\xEF\xBF\xBD"},  // not UTF-8
      {"a+b", "a+b"},
      {"%", "%"},
      {"%4", "%4"},
      {"%u12", "%u12"},
      {"%u12G4", "%u12G4"},
      {"100%", "100%"},
      {"\xE2\x82\xAC and \xF0\x9F\x98\x80", "\xE2\x82\xAC and \xF0\x9F\x98\x80"},  // never cut to a byte
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TIdURI::URLDecode(c.In), c.Out) << c.In;
  // Through a one-byte encoding: %E9 is é, and a character above U+00FF
  // becomes that encoding's "?" rather than its low byte.
  EXPECT_EQ(TIdURI::URLDecode("%E9", detail::Encoding8Bit()), "\xC3\xA9");
  EXPECT_EQ(TIdURI::URLDecode("\xE2\x82\xAC", detail::Encoding8Bit()), "?");
  EXPECT_EQ(TIdURI::URLDecode("%u20AC", detail::EncodingUTF8()), "\xE2\x82\xAC");
}

}  // namespace
