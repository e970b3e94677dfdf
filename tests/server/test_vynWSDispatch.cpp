// The dispatch's classification of gathered request bytes and the answers it
// builds from them without a connection.
#include <gtest/gtest.h>

#include <string>

#include "server/vynWSDispatch.h"
#include "server/vynWSMatch.h"

using detail::TClassifyOptions;
using detail::TwsRequestKind;

namespace {

struct MatchCase {
  const char* Text;
  const char* Pattern;
  bool Matches;
};

TEST(WildcardMatch, StarsStandForAnyRunAndCaseIsIgnored) {
  const MatchCase cases[] = {
      {"GET / HTTP/1.1", "GET *", true},
      {"get / http/1.1", "GET *", true},
      {"GET", "GET *", false},
      {"GET ", "GET *", true},
      {"XGET / HTTP/1.1", "GET *", false},
      {"GET / HTTP/1.1", "*HTTP/1.*", true},
      {"GET / HTTP/1.", "*HTTP/1.*", true},
      {"GET / HTTP/2.0", "*HTTP/1.*", false},
      {"GET /a.js HTTP/1.1", "GET *.js *", true},
      {"GET /a.JS HTTP/1.1", "GET *.js *", true},
      {"GET /a.json HTTP/1.1", "GET *.js *", false},
      {"GET /a.js", "GET *.js *", false},
      {"GET /x.js/y.js HTTP/1.1", "GET *.js *", true},
      {"abc", "abc", true},
      {"abc", "ABC", true},
      {"abcd", "abc", false},
      {"", "*", true},
      {"", "", true},
      {"x", "", false},
      {"aaa", "a*a*a", true},
      {"aa", "a*a*a", false},
      {"abcabd", "*abd", true},
      {"abcabd", "a*b*d", true},
      {"ab", "a**b", true},
  };
  for (const MatchCase& c : cases)
    EXPECT_EQ(detail::WildcardMatch(c.Text, c.Pattern), c.Matches) << c.Text << " ~ " << c.Pattern;
}

TEST(WildcardMatch, LongTextsWithManyNearMissesStayLinear) {
  // A pathological text for a backtracking matcher: the test time-out is
  // the bound; this finishes in microseconds here.
  const std::string text(200000, 'a');
  EXPECT_FALSE(detail::WildcardMatch(text, "*a*a*a*a*a*a*a*b"));
  EXPECT_TRUE(detail::WildcardMatch(text + "b", "*a*a*a*a*a*a*a*b"));
}

TEST(ContainsText, IgnoresCase) {
  EXPECT_TRUE(detail::ContainsText("Connection: Upgrade\r\nUPGRADE: WebSocket", "upgrade: websocket"));
  EXPECT_FALSE(detail::ContainsText("Upgrade: web socket", "Upgrade: websocket"));
  EXPECT_TRUE(detail::ContainsText("x", ""));
}

struct ClassifyCase {
  const char* Name;
  std::string Gathered;
  TClassifyOptions Options;
  TwsRequestKind Expected;
};

TClassifyOptions With(void (*aChange)(TClassifyOptions&)) {
  TClassifyOptions o;
  aChange(o);
  return o;
}

TEST(ClassifyRequest, FirstMatchingBranchWins) {
  const TClassifyOptions plain;
  const TClassifyOptions auth = With([](TClassifyOptions& o) { o.AuthenticationEnabled = true; });
  const TClassifyOptions authNoSession = With([](TClassifyOptions& o) {
    o.AuthenticationEnabled = true;
    o.SessionEnabled = false;
  });
  const TClassifyOptions oauth = With([](TClassifyOptions& o) {
    o.AuthenticationEnabled = true;
    o.SSL = true;
    o.OAuth2Server = true;
  });
  const TClassifyOptions h2 = With([](TClassifyOptions& o) { o.HTTP2Enabled = true; });
  const TClassifyOptions noScripts = With([](TClassifyOptions& o) { o.BuiltinFiles.JavascriptFiles = false; });
  const TClassifyOptions html = With([](TClassifyOptions& o) { o.BuiltinFiles.HTMLFiles = true; });
  const std::string preface(detail::kHTTP2Preface);
  const ClassifyCase cases[] = {
      {"upgrade", "GET /chat HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", plain,
       TwsRequestKind::rkWebSocketUpgrade},
      {"upgrade in other case", "get /chat http/1.1\r\nupgrade: WebSocket\r\nconnection: keep-alive, UPGRADE\r\n\r\n",
       plain, TwsRequestKind::rkWebSocketUpgrade},
      {"upgrade among other protocols", "GET /c HTTP/1.1\r\nUpgrade: h2c, websocket\r\nConnection: upgrade\r\n\r\n",
       plain, TwsRequestKind::rkWebSocketUpgrade},
      {"upgrade needs the Connection token", "GET /chat HTTP/1.1\r\nUpgrade: websocket\r\n\r\n", plain,
       TwsRequestKind::rkHTTP},
      {"upgrade mentioned in another field",
       "GET /x HTTP/1.1\r\nX-Note: Upgrade: websocket\r\nConnection: upgrade\r\n\r\n", plain, TwsRequestKind::rkHTTP},
      {"upgrade in a later pipelined request",
       "GET /x HTTP/1.1\r\nHost: x\r\n\r\nGET /chat HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n",
       plain, TwsRequestKind::rkHTTP},
      {"upgrade needs a GET line", "POST /chat HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", plain,
       TwsRequestKind::rkHTTP},
      {"upgrade needs HTTP/1", "GET /chat HTTP/2.0\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", plain,
       TwsRequestKind::rkOther},
      {"upgrade before session",
       "GET /vyn/req/auth/session/u/p HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", auth,
       TwsRequestKind::rkWebSocketUpgrade},
      {"session request", "GET /vyn/req/auth/session/u/p HTTP/1.1\r\n\r\n", auth, TwsRequestKind::rkSessionRequest},
      {"session request without authentication", "GET /vyn/req/auth/session/u/p HTTP/1.1\r\n\r\n", plain,
       TwsRequestKind::rkHTTP},
      {"session request with sessions off", "GET /vyn/req/auth/session/u/p HTTP/1.1\r\n\r\n", authNoSession,
       TwsRequestKind::rkHTTP},
      {"message post", "POST /vyn/xhr/abc HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi", plain,
       TwsRequestKind::rkMessagePost},
      {"message post in HTTP/2 form", ":method=POST\r\n:path=/app/vyn/xhr/abc\r\n", plain,
       TwsRequestKind::rkMessagePost},
      {"HTTP/2 form needs the exact method line", ":method=post\r\n:path=/vyn/xhr/abc\r\n", plain,
       TwsRequestKind::rkOther},
      {"protocol post", "POST /vyn/protocol/chat HTTP/1.1\r\n\r\n", plain, TwsRequestKind::rkProtocolPost},
      {"protocol post in HTTP/2 form", ":method=POST\r\n:path=/vyn/protocol/chat\r\n", plain,
       TwsRequestKind::rkProtocolPost},
      {"a GET to the message path is plain", "GET /vyn/xhr/abc HTTP/1.1\r\n\r\n", plain, TwsRequestKind::rkHTTP},
      {"OAuth2 branch", "GET / HTTP/1.1\r\n\r\n", oauth, TwsRequestKind::rkOAuth2},
      {"OAuth2 branch needs TLS", "GET / HTTP/1.1\r\n\r\n", With([](TClassifyOptions& o) {
         o.AuthenticationEnabled = true;
         o.OAuth2Server = true;
       }),
       TwsRequestKind::rkHTTP},
      {"HTTP/2 preface", preface, h2, TwsRequestKind::rkHTTP2Preface},
      {"HTTP/2 preface with a frame after it", preface + std::string("\0\0\0\4\0\0\0\0\0", 9), h2,
       TwsRequestKind::rkHTTP2Preface},
      {"HTTP/2 preface while HTTP/2 is off", preface, plain, TwsRequestKind::rkOther},
      {"truncated preface", preface.substr(0, 20), h2, TwsRequestKind::rkOther},
      {"client script", "GET /Corvane.js HTTP/1.1\r\n\r\n", plain, TwsRequestKind::rkBuiltinFile},
      {"client script in other case", "GET /scripts/corvane.JS HTTP/1.1\r\n\r\n", plain, TwsRequestKind::rkBuiltinFile},
      {"client script while scripts are off", "GET /Corvane.js HTTP/1.1\r\n\r\n", noScripts, TwsRequestKind::rkHTTP},
      {"unregistered script", "GET /app.js HTTP/1.1\r\n\r\n", plain, TwsRequestKind::rkHTTP},
      {"test page off by default", "GET /Corvane.html HTTP/1.1\r\n\r\n", plain, TwsRequestKind::rkHTTP},
      {"test page", "GET /Corvane.html HTTP/1.1\r\n\r\n", html, TwsRequestKind::rkBuiltinFile},
      {"favicon", "GET /favicon.ico HTTP/1.1\r\n\r\n", html, TwsRequestKind::rkHTTP},
      {"movie", "GET /WebSocketMain.swf HTTP/1.1\r\n\r\n", plain, TwsRequestKind::rkBuiltinFile},
      {"Flash policy", std::string("<policy-file-request/>\0", 23), plain, TwsRequestKind::rkFlashPolicy},
      {"Flash policy with a line break", "<policy-file-request/>\r\n", plain, TwsRequestKind::rkFlashPolicy},
      {"Flash policy only on the first line", "x\r\n<policy-file-request/>", plain, TwsRequestKind::rkOther},
      {"event stream", "GET /events HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n", plain,
       TwsRequestKind::rkEventStream},
      {"event stream among other types is plain", "GET / HTTP/1.1\r\nAccept: text/html, text/event-stream\r\n\r\n",
       plain, TwsRequestKind::rkHTTP},
      {"event stream in a later pipelined request",
       "GET / HTTP/1.1\r\nHost: x\r\n\r\nGET /e HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n", plain,
       TwsRequestKind::rkHTTP},
      {"client script to HEAD", "HEAD /Corvane.js HTTP/1.1\r\n\r\n", plain, TwsRequestKind::rkBuiltinFile},
      {"plain GET", "GET /hook HTTP/1.1\r\nHost: x\r\n\r\n", plain, TwsRequestKind::rkHTTP},
      {"plain POST", "POST /hook HTTP/1.0\r\n\r\n{}", plain, TwsRequestKind::rkHTTP},
      {"LF only", "DELETE /x HTTP/1.1\nHost: x\n\n", plain, TwsRequestKind::rkHTTP},
      {"head cut short", "GET /hook HTT", plain, TwsRequestKind::rkOther},
      {"binary", std::string("\x16\x03\x01\x02\x00\x01\x00", 7), plain, TwsRequestKind::rkOther},
      {"empty", "", plain, TwsRequestKind::rkOther},
  };
  for (const ClassifyCase& c : cases)
    EXPECT_EQ(detail::RequestKindName(detail::ClassifyRequest(c.Gathered, c.Options)),
              std::string(detail::RequestKindName(c.Expected)))
        << c.Name;
}

TEST(GatheredRequest, SplitsAtEveryLineBreakKind) {
  const detail::TGatheredRequest r("a\r\nb\nc\rd\r\n\r\ne");
  std::vector<std::string> lines(r.Lines().begin(), r.Lines().end());
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
}

TEST(FlashPolicyAnswer, QuotesDomainAndPortsAndEndsWithNul) {
  const std::string answer = detail::FlashPolicyAnswer("*", "8080");
  EXPECT_EQ(answer, std::string("<cross-domain-policy><allow-access-from domain=\"*\" to-ports=\"8080\" />"
                                "</cross-domain-policy>") +
                        '\0');
}

TEST(PathElement, CountsTheEmptyTextBeforeTheFirstSlash) {
  const std::string line = "GET /vyn/req/auth/session/al%20ice/p%2Fw?x=1 HTTP/1.1";
  EXPECT_EQ(detail::PathElement(line, 1), "");
  EXPECT_EQ(detail::PathElement(line, 2), "vyn");
  EXPECT_EQ(detail::PathElement(line, 6), "al ice");
  EXPECT_EQ(detail::PathElement(line, 7), "p/w");
  EXPECT_EQ(detail::PathElement(line, 8), "");
  EXPECT_EQ(detail::PathElement("GET", 1), "");
  EXPECT_EQ(detail::PathElement("GET /vyn/auth/url/u/p HTTP/1.1", 5), "u");
  EXPECT_EQ(detail::PathElement("GET /vyn/auth/url/u/p HTTP/1.1", 6), "p");
  // Bytes stay bytes: no re-encoding of what is not UTF-8, bad escapes kept.
  EXPECT_EQ(detail::PathElement("GET /a/%ff\xff%4/%zz%4a HTTP/1.1", 3), "\xff\xff%4");
  EXPECT_EQ(detail::PathElement("GET /a/%ff\xff%4/%zz%4a HTTP/1.1", 4), "%zzJ");
}

TEST(PostTarget, IsThePathAfterThePrefix) {
  EXPECT_EQ(detail::PostTarget(detail::TGatheredRequest("POST /vyn/xhr/4f2a?x HTTP/1.1\r\n"), detail::kMessagePostPath),
            "4f2a");
  EXPECT_EQ(detail::PostTarget(detail::TGatheredRequest(":method=POST\r\n:path=/a/vyn/protocol/chat\r\n"),
                               detail::kProtocolPostPath),
            "chat");
  EXPECT_EQ(detail::PostTarget(detail::TGatheredRequest("POST /other HTTP/1.1\r\n"), detail::kMessagePostPath), "");
}

TEST(NewSessionId, Is32HexDigitsAndFresh) {
  const std::string a = detail::NewSessionId();
  const std::string b = detail::NewSessionId();
  ASSERT_EQ(a.size(), 32u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, b);
}

TEST(EventStreamAnswer, FieldsGoOutAsTheyAreOtherTextsAsData) {
  EXPECT_TRUE(detail::EventStreamAnswer("retry: 3000000").ends_with("\r\n\r\nretry: 3000000\r\n"));
  EXPECT_TRUE(detail::EventStreamAnswer("hello").ends_with("\r\n\r\ndata: hello\r\n"));
  EXPECT_NE(detail::EventStreamAnswer("x").find("Content-Type: text/event-stream\r\n"), std::string::npos);
}

}  // namespace
