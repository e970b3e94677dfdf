// The built-in files: names, lists, placeholders and which request lines
// they answer.
#include <gtest/gtest.h>

#include <string>

#include "server/vynWSBuiltinFiles.h"

using detail::TBuiltinFileOptions;

namespace {

TEST(BuiltinFileText, NamesIgnoreCaseAndListsJoinWithCRLF) {
  std::string single, upper, list;
  ASSERT_TRUE(detail::BuiltinFileText("Corvane.js", single));
  ASSERT_TRUE(detail::BuiltinFileText("CORVANE.JS", upper));
  EXPECT_EQ(single, upper);
  EXPECT_FALSE(single.empty());
  std::string flash, events;
  ASSERT_TRUE(detail::BuiltinFileText("CorvaneFlash.js", flash));
  ASSERT_TRUE(detail::BuiltinFileText("corvaneeventsource.js", events));
  ASSERT_TRUE(detail::BuiltinFileText("CorvaneEventSource.js, corvane.js", list));
  EXPECT_EQ(list, events + "\r\n" + single + "\r\n");
  std::string page;
  EXPECT_TRUE(detail::BuiltinFileText("Corvane.html", page));
  EXPECT_NE(page.find("Corvane.js"), std::string::npos);

  std::string untouched = "keep";
  EXPECT_FALSE(detail::BuiltinFileText("app.js", untouched));
  EXPECT_FALSE(detail::BuiltinFileText("Corvane.js,app.js", untouched));
  EXPECT_FALSE(detail::BuiltinFileText("", untouched));
  EXPECT_FALSE(detail::BuiltinFileText("Corvane.js,", untouched));
  EXPECT_EQ(untouched, "keep");
}

TEST(ReplaceBuiltinPlaceholders, HostPortAndTLSInAnyCase) {
  const std::string text = "ws{%ssl%}://{%host%}:{%port%}/ {%HOST%} {%Ssl%} {%other%}";
  EXPECT_EQ(detail::ReplaceBuiltinPlaceholders(text, "127.0.0.1", 8080, false),
            "ws://127.0.0.1:8080/ 127.0.0.1  {%other%}");
  EXPECT_EQ(detail::ReplaceBuiltinPlaceholders(text, "::1", 443, true), "wss://[::1]:443/ [::1] s {%other%}");
  // A host whose text holds a placeholder is not expanded again.
  EXPECT_EQ(detail::ReplaceBuiltinPlaceholders("{%host%}", "{%port%}", 1, false), "{%port%}");
}

TEST(ReplaceBuiltinPlaceholders, EveryBuiltinTextIsFilledIn) {
  for (const char* name : {"Corvane.js", "CorvaneFlash.js", "CorvaneEventSource.js", "Corvane.html"}) {
    std::string text;
    ASSERT_TRUE(detail::BuiltinFileText(name, text)) << name;
    const std::string filled = detail::ReplaceBuiltinPlaceholders(text, "10.0.0.5", 9443, true);
    EXPECT_EQ(filled.find("{%"), std::string::npos) << name;
    EXPECT_NE(filled.find("10.0.0.5:9443"), std::string::npos) << name;
  }
}

struct AnswerCase {
  const char* Line;
  TBuiltinFileOptions Options;
  bool Answered;
  const char* ContentType;
  const char* Names;  // the built-in texts expected, as a list; empty for none
};

TEST(BuiltinFileAnswer, RequestLineRulesInOrder) {
  const TBuiltinFileOptions defaults;
  const TBuiltinFileOptions noScripts{false, false, false, false};
  const TBuiltinFileOptions html{true, true, false, false};
  const TBuiltinFileOptions fallbacks{true, false, true, true};
  const TBuiltinFileOptions flashOnly{true, false, true, false};
  const AnswerCase cases[] = {
      {"GET /Corvane.js HTTP/1.1", defaults, true, "text/javascript; charset=utf-8", "Corvane.js"},
      {"GET /lib/v2/corvane.js HTTP/1.0", defaults, true, "text/javascript; charset=utf-8", "Corvane.js"},
      {"GET /Corvane.js HTTP/1.1", fallbacks, true, "text/javascript; charset=utf-8",
       "CorvaneEventSource.js,CorvaneFlash.js,Corvane.js"},
      {"GET /Corvane.js HTTP/1.1", flashOnly, true, "text/javascript; charset=utf-8", "CorvaneFlash.js,Corvane.js"},
      {"GET /CorvaneFlash.js HTTP/1.1", defaults, true, "text/javascript; charset=utf-8", "CorvaneFlash.js"},
      {"GET /Corvane.js,CorvaneFlash.js HTTP/1.1", defaults, true, "text/javascript; charset=utf-8",
       "Corvane.js,CorvaneFlash.js"},
      {"GET /Corvane.js HTTP/1.1", noScripts, false, "", ""},
      {"GET /app.js HTTP/1.1", defaults, false, "", ""},
      {"GET /Corvane.js?v=2 HTTP/1.1", defaults, false, "", ""},
      {"GET /Corvane.html HTTP/1.1", defaults, false, "", ""},
      {"GET /Corvane.html HTTP/1.1", html, true, "text/html", "Corvane.html"},
      {"GET /site.css HTTP/1.1", html, false, "", ""},
      {"GET /favicon.ico HTTP/1.1", html, false, "", ""},
      {"POST /Corvane.js HTTP/1.1", defaults, false, "", ""},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.Line);
    const detail::TBuiltinFileAnswer a = detail::BuiltinFileAnswer(c.Line, c.Options);
    EXPECT_EQ(a.Answered, c.Answered);
    if (!c.Answered) continue;
    EXPECT_EQ(a.ResponseNo, 200);
    EXPECT_EQ(a.ContentType, c.ContentType);
    std::string expected;
    ASSERT_TRUE(detail::BuiltinFileText(c.Names, expected));
    EXPECT_EQ(a.Body, expected);
  }
}

TEST(BuiltinFileAnswer, TheMissingMovieIsRefusedNotIgnored) {
  const detail::TBuiltinFileAnswer a = detail::BuiltinFileAnswer("GET /WebSocketMain.swf HTTP/1.1", {});
  EXPECT_TRUE(a.Answered);
  EXPECT_EQ(a.ResponseNo, 404);
  const std::string response = detail::BuiltinFileResponse(a, "127.0.0.1", 80, false);
  EXPECT_TRUE(response.starts_with("HTTP/1.1 404 Not Found\r\n"));
  EXPECT_TRUE(response.ends_with("\r\n\r\n"));
}

TEST(BuiltinFileResponse, IsACompleteClosingResponse) {
  const detail::TBuiltinFileAnswer a = detail::BuiltinFileAnswer("GET /Corvane.js HTTP/1.1", {});
  const std::string response = detail::BuiltinFileResponse(a, "::1", 8443, true);
  const std::size_t headEnd = response.find("\r\n\r\n");
  ASSERT_NE(headEnd, std::string::npos);
  const std::string head = response.substr(0, headEnd + 2);
  const std::string body = response.substr(headEnd + 4);
  EXPECT_TRUE(head.starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_NE(head.find("Content-Type: text/javascript; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
  EXPECT_NE(head.find("Connection: close\r\n"), std::string::npos);
  EXPECT_NE(head.find("Server: Corvane 4.5.1\r\n"), std::string::npos);
  EXPECT_NE(body.find("wss://[::1]:8443"), std::string::npos);
}

TEST(BuiltinFileName, IsTheLastSegmentBeforeTheProtocol) {
  EXPECT_EQ(detail::BuiltinFileName("GET /a/b/Corvane.js HTTP/1.1"), "Corvane.js");
  EXPECT_EQ(detail::BuiltinFileName("GET /my file.js HTTP/1.1"), "my file.js");
  EXPECT_EQ(detail::BuiltinFileName("GET Corvane.js HTTP/1.1"), "Corvane.js");
  EXPECT_EQ(detail::BuiltinFileName("GET /x/"), "");
}

}  // namespace
