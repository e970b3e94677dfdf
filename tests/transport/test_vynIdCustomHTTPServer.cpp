// The request loop over a real loopback connection: the server side is a
// stack handler, the client side a raw socket that sends exact bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "http_exchange.h"
#include "loopback.h"
#include "platform/DateUtils.h"
#include "transport/vynIdCustomHTTPServer.h"
#include "transport/vynIdIOHandlerStack.h"
#include "transport/vynIdIntercept.h"
#include "transport/vynIdInternetDate.h"
#include "transport/vynIdTCPConnection.h"

namespace {

using namespace std::chrono_literals;
using http_exchange::Reader;
using http_exchange::Response;

// What a handler saw, copied out of the request record.
struct Seen {
  int Calls = 0;
  std::string Command, Document, URI, Version, QueryParams, FormParams, UnparsedParams, User, Password, RemoteIP;
  std::int32_t Major = 0, Minor = 0;
  std::vector<std::string> Params;
  bool HadPostStream = false;
  std::string Body;
  std::int64_t BodyPosition = -1;
  std::vector<std::string> CookieNames;
};

class HTTPServerLoopTest : public ::testing::Test {
protected:
  void SetUp() override {
    io = std::make_unique<TIdIOHandlerStack>();
    io->SetHost(listener.Host());
    io->SetPort(listener.Port());
    io->Open();
    peer = listener.Accept();
    conn = std::make_unique<TIdTCPConnection>();
    conn->SetIOHandler(io.get());
    server.OnCommandGet =
        server.OnCommandOther = [this](TIdContext*, TIdHTTPRequestInfo* ARequest, TIdHTTPResponseInfo* AResponse) {
          std::lock_guard<std::mutex> lock(mutex);
          ++seen.Calls;
          seen.Command = ARequest->Command;
          seen.Document = ARequest->Document;
          seen.URI = ARequest->URI;
          seen.Version = ARequest->Version;
          seen.Major = ARequest->VersionMajor;
          seen.Minor = ARequest->VersionMinor;
          seen.QueryParams = ARequest->QueryParams;
          seen.FormParams = ARequest->FormParams;
          seen.UnparsedParams = ARequest->UnparsedParams;
          seen.User = ARequest->AuthUsername;
          seen.Password = ARequest->AuthPassword;
          seen.RemoteIP = ARequest->RemoteIP;
          seen.Params.assign(ARequest->Params().begin(), ARequest->Params().end());
          seen.HadPostStream = ARequest->PostStream() != nullptr;
          if (TStream* s = ARequest->PostStream()) {
            seen.BodyPosition = s->Position();
            seen.Body.resize(static_cast<std::size_t>(s->Size()));
            if (!seen.Body.empty()) s->ReadBuffer(seen.Body.data(), s->Size());
          }
          seen.CookieNames.clear();
          for (int i = 0; i < ARequest->Cookies().Count(); ++i)
            seen.CookieNames.push_back(ARequest->Cookies().GetCookie(i).CookieName);
          if (handler) handler(ARequest, AResponse);
        };
  }
  void TearDown() override {
    peer.reset();
    if (serving.joinable()) serving.join();
  }

  void Start() {
    serving = std::thread([this] {
      try {
        server.ServeConnection(nullptr, *conn);
      } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(mutex);
        loopError = e.what();
      }
    });
  }
  // Sends the bytes, reads one response.
  Response Ask(const std::string& aRequest) {
    if (!serving.joinable()) Start();
    loopback::SendAll(peer.get(), aRequest);
    return reader.Next();
  }
  // Waits for the loop to end (the server closed the connection).
  bool LoopEnds(int aMs = 5000) {
    if (!reader.ClosedWithin(aMs)) return false;
    serving.join();
    return true;
  }
  int Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return seen.Calls;
  }

  loopback::Listener listener;
  std::unique_ptr<TIdIOHandlerStack> io;
  loopback::Fd peer;
  Reader reader{-1};
  std::unique_ptr<TIdTCPConnection> conn;
  TIdHTTPServer server;
  std::thread serving;
  std::mutex mutex;
  Seen seen;
  std::string loopError;
  std::function<void(TIdHTTPRequestInfo*, TIdHTTPResponseInfo*)> handler;

public:
  HTTPServerLoopTest() = default;
};

#define POST_HEAD "POST / HTTP/1.1\r\nHost: h\r\n"

// The reader needs the peer's descriptor, which exists after SetUp.
#define START_READER() reader = Reader(peer.get())

TEST_F(HTTPServerLoopTest, HandlerThatSetsNothingGetsTheDefaultPage) {
  START_READER();
  Response r = Ask("GET /a%20b/c.txt?x=1 HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(r.StatusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.Header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(r.Header("Content-Length"), "39");
  EXPECT_EQ(r.Body, "<HTML><BODY><B>200 OK</B></BODY></HTML>");
  EXPECT_EQ(r.Header("Connection"), "close");  // KeepAlive is off by default
  EXPECT_FALSE(r.Header("Date").empty());
  EXPECT_FALSE(r.HasHeader("Server"));  // ServerSoftware empty
  EXPECT_TRUE(LoopEnds());
  EXPECT_EQ(seen.Document, "/a b/c.txt");
  EXPECT_EQ(seen.URI, "/a%20b/c.txt");
  EXPECT_EQ(seen.QueryParams, "x=1");
  EXPECT_EQ(seen.RemoteIP, "127.0.0.1");
  EXPECT_EQ(seen.Command, "GET");
}

struct KeepAliveCase {
  const char* Name;
  bool KeepAlive;
  const char* Version;
  const char* ConnectionHeader;  // empty: none
  bool Closes;
};

class HTTPServerKeepAliveTest : public HTTPServerLoopTest, public ::testing::WithParamInterface<KeepAliveCase> {};

TEST_P(HTTPServerKeepAliveTest, ConnectionFollowsVersionAndHeader) {
  const KeepAliveCase& c = GetParam();
  START_READER();
  server.KeepAlive = c.KeepAlive;
  std::string req = std::string("GET / ") + c.Version + "\r\nHost: h\r\n";
  if (*c.ConnectionHeader) req += std::string("Connection: ") + c.ConnectionHeader + "\r\n";
  Response r = Ask(req + "\r\n");
  EXPECT_EQ(r.Status, 200);
  EXPECT_EQ(r.Header("Connection"), c.Closes ? "close" : "keep-alive");
  if (c.Closes) {
    EXPECT_TRUE(LoopEnds());
  } else {
    // The same connection serves a second request.
    Response again = Ask(req + "\r\n");
    EXPECT_EQ(again.Status, 200);
    EXPECT_EQ(Calls(), 2);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, HTTPServerKeepAliveTest,
                         ::testing::Values(KeepAliveCase{"OffAlwaysCloses", false, "HTTP/1.1", "keep-alive", true},
                                           KeepAliveCase{"V11Default", true, "HTTP/1.1", "", false},
                                           KeepAliveCase{"V11Close", true, "HTTP/1.1", "Close", true},
                                           KeepAliveCase{"V10Default", true, "HTTP/1.0", "", true},
                                           KeepAliveCase{"V10KeepAlive", true, "HTTP/1.0", "Keep-Alive", false}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(HTTPServerLoopTest, PipelinedRequestsAreAnsweredInOrder) {
  START_READER();
  server.KeepAlive = true;
  handler = [](TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) { r->ContentText = q->Document; };
  Start();
  loopback::SendAll(peer.get(),
                    "GET /one HTTP/1.1\r\nHost: h\r\n\r\nPOST /two HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc"
                    "GET /three HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(reader.Next().Body, "/one");
  EXPECT_EQ(reader.Next().Body, "/two");
  EXPECT_EQ(reader.Next().Body, "/three");
  EXPECT_TRUE(LoopEnds());
}

TEST_F(HTTPServerLoopTest, A404ClosesEvenAKeepAliveConnection) {
  START_READER();
  server.KeepAlive = true;
  handler = [](TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) { r->SetResponseNo(404); };
  Response r = Ask("GET /missing HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(r.StatusLine, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(r.Header("Connection"), "close");
  EXPECT_TRUE(LoopEnds());
}

TEST_F(HTTPServerLoopTest, HeadTellsTheLengthOfWhatGetSendsAndNoBody) {
  START_READER();
  server.KeepAlive = true;
  handler = [](TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) { r->ContentText = "not sent"; };
  Response r = Ask("HEAD / HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(r.Status, 200);
  EXPECT_EQ(r.Header("Content-Length"), "8");
  // Nothing follows the head: the next response starts right after it.
  Response next = Ask("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(next.StatusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(next.Body, "not sent");
}

TEST_F(HTTPServerLoopTest, TextWithoutTypeIsLatin1AndCountedSo) {
  START_READER();
  handler = [](TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) { r->ContentText = "caf\xC3\xA9"; };
  Response r = Ask("GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.Header("Content-Type"), "text/html; charset=ISO-8859-1");
  EXPECT_EQ(r.Header("Content-Length"), "4");
  EXPECT_EQ(r.Body, "caf\xE9");
}

TEST_F(HTTPServerLoopTest, Version11WithoutHostIs400WithoutHandler) {
  START_READER();
  Response r = Ask("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(r.StatusLine, "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(r.Header("Connection"), "close");
  EXPECT_EQ(r.Header("Content-Length"), "0");
  EXPECT_TRUE(r.Body.empty());
  EXPECT_TRUE(LoopEnds());
  EXPECT_EQ(Calls(), 0);
}

TEST_F(HTTPServerLoopTest, Version10WithoutHostAndVersionNumbers) {
  START_READER();
  EXPECT_EQ(Ask("GET / HTTP/1.0\r\n\r\n").Status, 200);
  EXPECT_EQ(seen.Major, 1);
  EXPECT_EQ(seen.Minor, 0);
}

TEST_F(HTTPServerLoopTest, VersionWithoutMinor) {
  START_READER();
  EXPECT_EQ(Ask("GET / HTTP/2\r\nHost: h\r\n\r\n").Status, 200);
  EXPECT_EQ(seen.Major, 2);
  EXPECT_EQ(seen.Minor, -1);
}

TEST_F(HTTPServerLoopTest, ContinueIsSentBeforeTheBodyIsRead) {
  START_READER();
  Start();
  loopback::SendAll(peer.get(), "POST /up HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
  // The interim line arrives while the body is still unsent.
  std::string interim = loopback::RecvUpTo(peer.get(), 25, 3000);
  EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
  loopback::SendAll(peer.get(), "hello");
  Response r = reader.Next();
  EXPECT_EQ(r.Status, 200);
  EXPECT_EQ(seen.Body, "hello");
  EXPECT_EQ(seen.BodyPosition, 0);
}

TEST_F(HTTPServerLoopTest, OtherExpectationIs417) {
  START_READER();
  Response r = Ask("POST /up HTTP/1.1\r\nHost: h\r\nExpect: something-else\r\nContent-Length: 5\r\n\r\n");
  EXPECT_EQ(r.StatusLine, "HTTP/1.1 417 Expectation Failed");
  EXPECT_EQ(r.Header("Connection"), "close");
  EXPECT_TRUE(LoopEnds());
  EXPECT_EQ(Calls(), 0);
}

TEST_F(HTTPServerLoopTest, PostWithoutLengthOrBodyReachesHandlerWithoutStream) {
  START_READER();
  EXPECT_EQ(Ask("POST / HTTP/1.0\r\n\r\n").Status, 200);
  EXPECT_EQ(Calls(), 1);
  EXPECT_FALSE(seen.HadPostStream);
}

TEST_F(HTTPServerLoopTest, PostWithBodyButNoLengthIs411) {
  START_READER();
  Response r = Ask("POST / HTTP/1.0\r\n\r\nbody-without-length");
  EXPECT_EQ(r.StatusLine, "HTTP/1.1 411 Length Required");
  EXPECT_EQ(Calls(), 0);
}

TEST_F(HTTPServerLoopTest, ChunkedBodyWithExtensionAndTrailer) {
  START_READER();
  Response r =
      Ask("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
          "5;name=value\r\nhello\r\n3\r\n, w\r\n0\r\nX-Trailer: 1\r\n\r\n");
  EXPECT_EQ(r.Status, 200);
  EXPECT_EQ(seen.Body, "hello, w");
  EXPECT_EQ(seen.BodyPosition, 0);
}

TEST_F(HTTPServerLoopTest, QueryParamsKeepEmptyPiecesAndDecodePlus) {
  START_READER();
  Ask("GET /?a=1&&b=x+y%2Bz& HTTP/1.0\r\n\r\n");
  EXPECT_EQ(seen.Params, (std::vector<std::string>{"a=1", "", "b=x y+z"}));
}

TEST_F(HTTPServerLoopTest, FormPostJoinsBodyAndQuery) {
  START_READER();
  Ask("POST /f?q=2 HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded; charset=utf-8\r\n"
      "Content-Length: 12\r\n\r\nname=J%C3%B6");
  EXPECT_EQ(seen.FormParams, "name=J%C3%B6");
  EXPECT_EQ(seen.UnparsedParams, "name=J%C3%B6&q=2");
  EXPECT_EQ(seen.Params, (std::vector<std::string>{"name=J\xC3\xB6", "q=2"}));
  EXPECT_FALSE(seen.HadPostStream);
}

struct CredentialCase {
  const char* Name;
  const char* Base64;
  const char* User;
  const char* Password;
};

class HTTPServerCredentialTest : public HTTPServerLoopTest, public ::testing::WithParamInterface<CredentialCase> {};

TEST_P(HTTPServerCredentialTest, BasicSplitsAtTheFirstColon) {
  START_READER();
  Ask(std::string("GET / HTTP/1.0\r\nAuthorization: Basic ") + GetParam().Base64 + "\r\n\r\n");
  EXPECT_EQ(seen.User, GetParam().User);
  EXPECT_EQ(seen.Password, GetParam().Password);
}

INSTANTIATE_TEST_SUITE_P(Table, HTTPServerCredentialTest,
                         ::testing::Values(CredentialCase{"TwoColons", "dXNlcjpwYTpzcw==", "user", "pa:ss"},
                                           CredentialCase{"NoColon", "dXNlcg==", "user", ""},
                                           CredentialCase{"Utf8", "w6Q6w7Y=", "\xC3\xA4", "\xC3\xB6"}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(HTTPServerLoopTest, UnknownAuthorizationSchemeIs401WithBasicChallenge) {
  START_READER();
  Response r = Ask("GET / HTTP/1.0\r\nAuthorization: Bearer abc\r\n\r\n");
  EXPECT_EQ(r.StatusLine, "HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(r.Body, "Unsupported authorization scheme.");
  EXPECT_EQ(r.Header("WWW-Authenticate"), "Basic");
  EXPECT_EQ(Calls(), 0);
}

TEST_F(HTTPServerLoopTest, AuthRealmMakesABasicChallenge) {
  START_READER();
  handler = [](TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) { r->AuthRealm = "hoppers"; };
  Response r = Ask("GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.Status, 401);
  EXPECT_EQ(r.Header("WWW-Authenticate"), "Basic realm=\"hoppers\"");
  EXPECT_EQ(r.Body, "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>");
}

TEST_F(HTTPServerLoopTest, HandlerExceptionIs500WithMessage) {
  START_READER();
  std::atomic<int> errors{0};
  server.OnCommandError = [&](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo*, const std::exception&) {
    ++errors;
  };
  handler = [](TIdHTTPRequestInfo*, TIdHTTPResponseInfo*) { throw Exception("handler broke"); };
  Response r = Ask("GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.StatusLine, "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(r.Body, "handler broke");
  EXPECT_EQ(errors, 1);
}

TEST_F(HTTPServerLoopTest, ExceptionAfterTheHeadWritesNothingMore) {
  START_READER();
  server.KeepAlive = true;
  handler = [](TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) {
    r->ContentText = "12345";
    r->WriteHeader();
    r->WriteHeader();  // raises: the head is out already
  };
  Response r = Ask("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(r.Status, 200);
  EXPECT_EQ(r.Header("Content-Length"), "5");
  // No 500 page after the head: the connection just ends.
  EXPECT_TRUE(LoopEnds());
  EXPECT_TRUE(reader.Pending().empty()) << reader.Pending();
}

TEST_F(HTTPServerLoopTest, CookiesBothWays) {
  START_READER();
  handler = [](TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) {
    TIdCookie& c = r->Cookies().Add();
    c.CookieName = "session";
    c.Value = "xyz";
    c.Path = "/";
  };
  Response r = Ask("GET / HTTP/1.0\r\nCookie: a=1; b=2\r\nCookie: c=3\r\n\r\n");
  EXPECT_EQ(seen.CookieNames, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(r.Header("Set-Cookie").rfind("session=xyz", 0), 0u) << r.Head;
}

TEST_F(HTTPServerLoopTest, ServerSoftwareIsTrimmed) {
  START_READER();
  server.ServerSoftware = "  Corvane 4.5.1 ";
  EXPECT_EQ(Ask("GET / HTTP/1.0\r\n\r\n").Header("Server"), "Corvane 4.5.1");
}

TEST_F(HTTPServerLoopTest, BlockedHeadersAnswerWithTheChosenCode) {
  START_READER();
  server.OnHeadersAvailable = [](TIdContext*, const std::string& AUri, TIdHeaderList&, bool& VContinue) {
    VContinue = AUri != "/private";
  };
  server.OnHeadersBlocked = [](TIdContext*, TIdHeaderList&, std::int32_t& VCode, std::string&, std::string& VText) {
    VCode = 451;
    VText = "no";
  };
  Response r = Ask("GET /private HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.Status, 451);
  EXPECT_EQ(r.Body, "no");
  EXPECT_EQ(Calls(), 0);
}

// Framing that two readers could understand differently, and broken chunks:
// 400 and close, no handler.
struct RefusalCase {
  const char* Name;
  std::string Request;
  int Status;
};
void PrintTo(const RefusalCase& ACase, std::ostream* AOut) { *AOut << ACase.Name; }

class HTTPServerRefusalTest : public HTTPServerLoopTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(HTTPServerRefusalTest, AnsweredAndClosedWithoutHandler) {
  START_READER();
  server.KeepAlive = true;
  server.MaximumRequestLineLength = 64;
  server.MaximumHeaderLineCount = 8;
  server.MaximumRequestBodySize = 100;
  Response r = Ask(GetParam().Request);
  EXPECT_EQ(r.Status, GetParam().Status) << r.StatusLine;
  EXPECT_EQ(r.Header("Connection"), "close");
  EXPECT_EQ(r.Header("Content-Length"), "0");
  EXPECT_TRUE(LoopEnds());
  EXPECT_EQ(Calls(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Smuggling, HTTPServerRefusalTest,
    ::testing::Values(
        RefusalCase{"LengthAndChunked", POST_HEAD "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
                    400},
        RefusalCase{"TwoLengths", POST_HEAD "Content-Length: 5\r\nContent-Length: 5\r\n\r\nhello", 400},
        RefusalCase{"LengthList", POST_HEAD "Content-Length: 5, 5\r\n\r\nhello", 400},
        RefusalCase{"NegativeLength", POST_HEAD "Content-Length: -1\r\n\r\n", 400},
        RefusalCase{"PlusLength", POST_HEAD "Content-Length: +5\r\n\r\nhello", 400},
        RefusalCase{"HugeLength", POST_HEAD "Content-Length: 99999999999999999999999\r\n\r\n", 400},
        RefusalCase{"ChunkedNotLast", POST_HEAD "Transfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n", 400},
        RefusalCase{"OnlyGzip", POST_HEAD "Transfer-Encoding: gzip\r\n\r\n", 400},
        RefusalCase{"ChunkedInSecondLine", POST_HEAD "Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n\r\n",
                    400},
        RefusalCase{"BlankBeforeColon", POST_HEAD "Transfer-Encoding : chunked\r\n\r\n0\r\n\r\n", 400},
        RefusalCase{"TabBeforeColon", POST_HEAD "Content-Length\t: 5\r\n\r\nhello", 400},
        RefusalCase{"LineWithoutColon", POST_HEAD "Content-Length 5\r\n\r\nhello", 400},
        RefusalCase{"FoldedLength", POST_HEAD "Content-Length: 5\r\n 6\r\n\r\nhello", 400},
        RefusalCase{"ChunkSizeNotHex", POST_HEAD "Transfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n", 400},
        RefusalCase{"ChunkSizeEmpty", POST_HEAD "Transfer-Encoding: chunked\r\n\r\n;x\r\n0\r\n\r\n", 400},
        RefusalCase{"ChunkSizeOverflow", POST_HEAD "Transfer-Encoding: chunked\r\n\r\nffffffffffffffffff\r\n", 400},
        // Strict: sixteen digits are refused even when the value is small.
        RefusalCase{"ChunkSizeSixteenDigits",
                    POST_HEAD "Transfer-Encoding: chunked\r\n\r\n0000000000000005\r\nhello\r\n0\r\n\r\n", 400},
        RefusalCase{"ChunkSizeSigned", POST_HEAD "Transfer-Encoding: chunked\r\n\r\n+5\r\nhello\r\n0\r\n\r\n", 400},
        RefusalCase{"NoCRLFAfterChunk", POST_HEAD "Transfer-Encoding: chunked\r\n\r\n5\r\nhelloXX\r\n0\r\n\r\n", 400},
        RefusalCase{"ChunkedInHTTP10", "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
        RefusalCase{"ControlBeforeChunked",
                    POST_HEAD "Transfer-Encoding: \x01"
                              "chunked\r\n\r\n0\r\n\r\n",
                    400},
        RefusalCase{"FormFeedAfterChunked", POST_HEAD "Transfer-Encoding: chunked\x0c\r\n\r\n0\r\n\r\n", 400},
        RefusalCase{"ControlBeforeLength",
                    POST_HEAD "Content-Length: \x0b"
                              "3\r\n\r\nabc",
                    400},
        RefusalCase{"OtherCodingBeforeChunked", POST_HEAD "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", 501},
        RefusalCase{"ControlInName", "GET / HTTP/1.1\r\nHost: h\r\nX\x01Y: 1\r\n\r\n", 400},
        RefusalCase{"TwoHosts", "GET / HTTP/1.1\r\nHost: h\r\nHost: other\r\n\r\n", 400},
        RefusalCase{"NulInValue", std::string("GET / HTTP/1.1\r\nHost: h\r\nX: a\0b\r\n\r\n", 35), 400},
        RefusalCase{"BareCRInHead", "GET / HTTP/1.1\r\nHost: h\rX: 1\r\n\r\n", 400},
        RefusalCase{"NoVersion", "GET\r\n\r\n", 400}),
    [](const auto& info) { return std::string(info.param.Name); });

INSTANTIATE_TEST_SUITE_P(
    Limits, HTTPServerRefusalTest,
    ::testing::Values(
        RefusalCase{"LongRequestLine",
                    "GET /aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa HTTP/1.1\r\n\r\n",
                    414},
        RefusalCase{"TooManyHeaderLines",
                    "GET / HTTP/1.1\r\nHost: h\r\nA: 1\r\nA: 2\r\nA: 3\r\nA: 4\r\nA: 5\r\nA: 6\r\nA: 7\r\nA: 8\r\n\r\n",
                    431},
        RefusalCase{"DeclaredBodyTooLarge", POST_HEAD "Content-Length: 101\r\n\r\n", 413},
        RefusalCase{"ChunksTooLarge",
                    POST_HEAD "Transfer-Encoding: chunked\r\n\r\n40\r\n"
                              "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n40\r\n",
                    413},
        RefusalCase{"LengthOnHugeBodyIsNotAllocated", POST_HEAD "Content-Length: 900000000000000000\r\n\r\n", 413}),
    [](const auto& info) { return std::string(info.param.Name); });

// Limits reached while the client is still sending, with the default
// limits: the answer must reach the client, not a reset from a close on
// unread bytes.
class HTTPServerOversizedHeadTest : public HTTPServerLoopTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(HTTPServerOversizedHeadTest, AnsweredWhileTheClientStillSends) {
  START_READER();
  Start();
  std::thread sender([&] {
    try {
      loopback::SendAll(peer.get(), GetParam().Request);
    } catch (const std::exception&) {
      // The server may close before all of it is taken.
    }
  });
  const Response r = reader.Next(5000);
  sender.join();
  EXPECT_EQ(r.Status, GetParam().Status) << r.StatusLine;
  EXPECT_TRUE(LoopEnds());
  EXPECT_EQ(Calls(), 0);
}

std::string ManyLongHeaderLines() {
  std::string head = "GET / HTTP/1.1\r\nHost: h\r\n";
  for (int i = 0; i < 64; ++i) head += "X-" + std::to_string(i) + ": " + std::string(16000, 'v') + "\r\n";
  return head + "\r\n";
}

INSTANTIATE_TEST_SUITE_P(DefaultLimits, HTTPServerOversizedHeadTest,
                         ::testing::Values(RefusalCase{"RequestLineOfAMebibyte",
                                                       "GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\n\r\n", 414},
                                           RefusalCase{"LongLinesPastTheHeadByteLimit", ManyLongHeaderLines(), 431}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(HTTPServerLoopTest, LimitIsInclusive) {
  START_READER();
  server.MaximumRequestBodySize = 5;
  EXPECT_EQ(Ask(POST_HEAD "Content-Length: 5\r\n\r\nhello").Status, 200);
  EXPECT_EQ(seen.Body, "hello");
}

TEST_F(HTTPServerLoopTest, ExpectationIsNotAnsweredWhenTheBodyIsTooLarge) {
  START_READER();
  server.MaximumRequestBodySize = 10;
  Response r = Ask(POST_HEAD "Expect: 100-continue\r\nContent-Length: 11\r\n\r\n");
  EXPECT_EQ(r.StatusLine, "HTTP/1.1 413 Request Entity Too Long");
}

TEST_F(HTTPServerLoopTest, HeadArrivingInPiecesIsGathered) {
  START_READER();
  Start();
  const std::string request = "GET /slow HTTP/1.1\r\nHost: h\r\nX-A: 1\r\n\r\n";
  for (char c : request) {
    loopback::SendAll(peer.get(), std::string(1, c));
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(reader.Next().Status, 200);
  EXPECT_EQ(seen.Document, "/slow");
}

TEST_F(HTTPServerLoopTest, SlowHeadTimesOutWith408) {
  START_READER();
  server.RequestTimeout = 300;
  Start();
  auto start = std::chrono::steady_clock::now();
  // The line arrives, then a header trickles in and never ends.
  loopback::SendAll(peer.get(), "GET / HTTP/1.1\r\nHost: h\r\n");
  for (int i = 0; i < 8 && !reader.Fill(100); ++i) loopback::SendAll(peer.get(), "X");
  Response r = reader.Next(3000);
  EXPECT_EQ(r.StatusLine, "HTTP/1.1 408 Request Timeout");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_TRUE(LoopEnds());
  EXPECT_EQ(Calls(), 0);
}

TEST_F(HTTPServerLoopTest, StalledBodyTimesOutWith408) {
  START_READER();
  server.RequestTimeout = 300;
  Response r = Ask(POST_HEAD "Content-Length: 10\r\n\r\nabc");
  EXPECT_EQ(r.Status, 408);
  EXPECT_EQ(Calls(), 0);
}

TEST_F(HTTPServerLoopTest, IdleConnectionEndsWithReadTimeout) {
  START_READER();
  server.IdleTimeout = 200;
  Start();
  EXPECT_TRUE(LoopEnds(3000));
  EXPECT_EQ(loopError, "Read timed out.");
}

// An empty line before a request line is skipped (some clients end a body
// with one more line end).
TEST_F(HTTPServerLoopTest, EmptyLineBetweenRequestsIsSkipped) {
  START_READER();
  server.KeepAlive = true;
  EXPECT_EQ(Ask("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\n\r\nab").Status, 200);
  EXPECT_EQ(Ask("\r\nGET /next HTTP/1.1\r\nHost: h\r\n\r\n").Status, 200);
  EXPECT_EQ(seen.Document, "/next");
}

TEST_F(HTTPServerLoopTest, ClientResetEndsTheLoopQuietly) {
  START_READER();
  server.KeepAlive = true;
  EXPECT_EQ(Ask("GET / HTTP/1.1\r\nHost: h\r\n\r\n").Status, 200);
  loopback::CloseWithReset(peer);
  serving.join();
  // A reset is quiet; a graceful close between requests is reported.
  EXPECT_TRUE(loopError.empty() || loopError.find("closed") != std::string::npos) << loopError;
}

TEST_F(HTTPServerLoopTest, HandlerTextsCannotAddHeaderLines) {
  START_READER();
  handler = [](TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) {
    r->ResponseText = "OK\r\nX-Injected: 1";
    TIdCookie& c = r->Cookies().Add();
    c.CookieName = "a";
    c.Value = "b\r\nX-Injected: 2";
  };
  Response r = Ask("GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.Status, 200);
  EXPECT_FALSE(r.HasHeader("X-Injected")) << r.Head;
}

TEST_F(HTTPServerLoopTest, SuppliedBodyStreamKeptByTheApplication) {
  START_READER();
  // The application supplies the stream and keeps it past the request.
  std::unique_ptr<TStream> kept;
  TStringStream* supplied = nullptr;
  server.OnCreatePostStream = [&](TIdContext*, TIdHeaderList&, TStream*& VStream) {
    supplied = new TStringStream();
    VStream = supplied;
  };
  server.OnDoneWithPostStream = [&](TIdContext*, TIdHTTPRequestInfo* q, bool& VCanFree) {
    VCanFree = false;
    kept.reset(q->PostStream());
  };
  Ask(POST_HEAD "Content-Type: application/octet-stream\r\nContent-Length: 4\r\n\r\ndata");
  serving.join();
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept.get(), supplied);
  EXPECT_EQ(supplied->DataString(), "data");
  EXPECT_EQ(seen.Body, "data");
}

TEST_F(HTTPServerLoopTest, InterimLineDoesNotEchoAStrangeVersion) {
  START_READER();
  Start();
  loopback::SendAll(peer.get(), "POST / XTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n");
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 25, 3000), "HTTP/1.1 100 Continue\r\n\r\n");
  loopback::SendAll(peer.get(), "x");
  EXPECT_EQ(reader.Next().Status, 200);
}

TEST_F(HTTPServerLoopTest, MethodOverrideOnPost) {
  START_READER();
  Ask("POST / HTTP/1.0\r\nX-HTTP-Method-Override: delete\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(seen.Command, "DELETE");
}

TEST_F(HTTPServerLoopTest, CommandTypes) {
  EXPECT_EQ(HTTPCommandTypeOf("get"), THTTPCommandType::hcGET);
  EXPECT_EQ(HTTPCommandTypeOf("OPTIONS"), THTTPCommandType::hcOPTION);
  EXPECT_EQ(HTTPCommandTypeOf("UNKNOWN"), THTTPCommandType::hcUnknown);
  EXPECT_EQ(HTTPCommandTypeOf("PATCH"), THTTPCommandType::hcUnknown);
  EXPECT_EQ(HTTPResponseText(414), "Request-URI Too Long. 256 Chars max");
  EXPECT_EQ(HTTPResponseText(299), "Unknown Response Code");
}

// ---------------------------------------------------------------------------
// Files

class HTTPServerFileTest : public HTTPServerLoopTest {
protected:
  void SetUp() override {
    HTTPServerLoopTest::SetUp();
    root = std::filesystem::temp_directory_path() / ("httpserver_files_" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "docs");
    std::filesystem::create_directories(root.string() + "_outside");
    std::ofstream(root / "docs" / "report.PDF") << "%PDF-1.4 fake";
    std::ofstream(root / "index.html") << "<p>hi</p>";
    std::ofstream(root.string() + "_outside/secret.txt") << "secret";
    std::filesystem::create_symlink(root.string() + "_outside/secret.txt", root / "link.txt");
    std::filesystem::create_symlink(root / "index.html", root / "inside-link.html");
    ::mkfifo((root / "fifo").c_str(), 0600);
  }
  void TearDown() override {
    HTTPServerLoopTest::TearDown();
    std::filesystem::remove_all(root);
    std::filesystem::remove_all(root.string() + "_outside");
  }
  std::filesystem::path root;
};

struct PathCase {
  const char* Name;
  const char* RawPath;
  const char* Expected;  // relative to the root; empty: refused
};

class HTTPServerPathTest : public HTTPServerFileTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(HTTPServerPathTest, StaysUnderTheRoot) {
  std::string file;
  bool ok = IdResolveDocumentPath(root.string(), GetParam().RawPath, file);
  if (*GetParam().Expected) {
    ASSERT_TRUE(ok);
    EXPECT_EQ(file, std::filesystem::canonical(root / GetParam().Expected).string());
  } else {
    EXPECT_FALSE(ok) << file;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, HTTPServerPathTest,
                         ::testing::Values(PathCase{"Plain", "/index.html", "index.html"},
                                           PathCase{"Encoded", "/docs/report%2EPDF", "docs/report.PDF"},
                                           PathCase{"DotSegment", "/./docs//report.PDF", "docs/report.PDF"},
                                           PathCase{"Query", "/index.html?x=/../", "index.html"},
                                           PathCase{"LinkInside", "/inside-link.html", "index.html"},
                                           PathCase{"DotDot", "/docs/../index.html", ""},
                                           PathCase{"EncodedDotDot", "/%2e%2e/x_outside/secret.txt", ""},
                                           PathCase{"EncodedSlash", "/docs%2Freport.PDF", ""},
                                           PathCase{"EncodedBackslash", "/docs%5creport.PDF", ""},
                                           PathCase{"EncodedNul", "/index.html%00.txt", ""},
                                           PathCase{"LinkOutside", "/link.txt", ""}, PathCase{"Directory", "/docs", ""},
                                           PathCase{"Fifo", "/fifo", ""}, PathCase{"Missing", "/nothing", ""}),
                         [](const auto& info) { return std::string(info.param.Name); });

// The open that serves documents: the same refusals, and no link at all,
// not even one that stays inside the root (it could be swapped meanwhile).
TEST_P(HTTPServerPathTest, OpenDocumentFollowsNoLink) {
  std::string file;
  struct stat st {};
  const int fd = IdOpenDocument(root.string(), GetParam().RawPath, file, &st);
  const bool expected = *GetParam().Expected && std::string(GetParam().Name) != "LinkInside";
  if (fd >= 0) ::close(fd);
  if (expected) {
    ASSERT_GE(fd, 0);
    EXPECT_EQ(file, std::filesystem::canonical(root / GetParam().Expected).string());
    EXPECT_EQ(static_cast<std::uintmax_t>(st.st_size), std::filesystem::file_size(root / GetParam().Expected));
  } else {
    EXPECT_LT(fd, 0) << file;
  }
}

TEST_F(HTTPServerFileTest, ServeFileSendsTypeLengthAndBytes) {
  START_READER();
  handler = [this](TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) {
    r->ServeFile(nullptr, (root / "docs" / "report.PDF").string());
  };
  Response r = Ask("GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.Header("Content-Type"), "application/pdf");
  EXPECT_EQ(r.Header("Content-Disposition"), "attachment; filename=\"report.PDF\";");
  EXPECT_EQ(r.Body, "%PDF-1.4 fake");
  EXPECT_TRUE(r.Complete);
}

TEST_F(HTTPServerFileTest, ServeFileOfAFifoFailsBeforeTheHead) {
  START_READER();
  handler = [this](TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) { r->ServeFile(nullptr, (root / "fifo").string()); };
  EXPECT_EQ(Ask("GET / HTTP/1.0\r\n\r\n").Status, 500);
}

TEST_F(HTTPServerFileTest, SmartServeFileAnswers304WithinTwoSeconds) {
  START_READER();
  server.KeepAlive = true;
  std::string file = (root / "index.html").string();
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  handler = [&](TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) { r->SmartServeFile(nullptr, q, file); };
  std::string since = UTCToInternetDate(UnixToDateTime(st.st_mtime + 1));
  Response r = Ask("GET / HTTP/1.1\r\nHost: h\r\nIf-Modified-Since: " + since + "\r\n\r\n");
  EXPECT_EQ(r.StatusLine, "HTTP/1.1 304 Not Modified");
  EXPECT_TRUE(r.Body.empty());
  std::string old = UTCToInternetDate(UnixToDateTime(st.st_mtime - 10));
  Response full = Ask("GET / HTTP/1.1\r\nHost: h\r\nIf-Modified-Since: " + old + "\r\n\r\n");
  EXPECT_EQ(full.Status, 200);
  EXPECT_EQ(full.Body, "<p>hi</p>");
  EXPECT_FALSE(full.Header("Last-Modified").empty());
  file = (root / "gone.html").string();
  Response missing = Ask("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(missing.Status, 404);
  EXPECT_EQ(missing.Header("Connection"), "close");
}

// A small answer leaves in one send, head and body together: as two sends,
// with Nagle on, the body waits for the client's delayed ACK.
TEST_F(HTTPServerFileTest, SmallAnswersLeaveInOneSendLargeOnesWhole) {
  START_READER();
  server.KeepAlive = true;
  std::atomic<int> sends{0};
  TIdConnectionIntercept counter;
  counter.OnSend = [&](TIdConnectionIntercept*, TIdBytes&) { ++sends; };
  io->SetIntercept(&counter);
  const std::string index = (root / "index.html").string();
  const std::string big((200 * 1024) + 7, 'b');
  std::ofstream(root / "big.bin") << big;
  struct Case {
    const char* Name;
    std::function<void(TIdHTTPRequestInfo*, TIdHTTPResponseInfo*)> Handle;
    std::string Body;
  };
  const Case cases[] = {
      {"ServeFile", [&](TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) { r->ServeFile(nullptr, index); }, "<p>hi</p>"},
      {"SmartServeFile", [&](TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) { r->SmartServeFile(nullptr, q, index); },
       "<p>hi</p>"},
      {"Text", [](TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) { r->ContentText = "{\"status\":\"ok\"}"; },
       "{\"status\":\"ok\"}"},
      {"Stream", [](TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) { r->SetContentStream(new TStringStream("abc")); },
       "abc"},
      {"DefaultPage", [](TIdHTTPRequestInfo*, TIdHTTPResponseInfo*) {}, HTTPDefaultBody(200, "OK")},
  };
  for (const Case& c : cases) {
    handler = c.Handle;
    sends = 0;
    Response r = Ask("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(r.Status, 200) << c.Name;
    EXPECT_EQ(r.Body, c.Body) << c.Name;
    EXPECT_EQ(sends.load(), 1) << c.Name;
  }
  for (bool smart : {false, true}) {
    handler = [&](TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
      if (smart)
        r->SmartServeFile(nullptr, q, (root / "big.bin").string());
      else
        r->ServeFile(nullptr, (root / "big.bin").string());
    };
    Response r = Ask("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(r.Header("Content-Length"), std::to_string(big.size()));
    EXPECT_TRUE(r.Body == big) << "body of " << r.Body.size() << " bytes";
  }
  handler = nullptr;
  peer.reset();
  serving.join();
  io->SetIntercept(nullptr);
}

// Small files are kept in memory once their times have settled; a change in
// place (same size, the old time put back) or a replacement is served anew.
TEST_F(HTTPServerFileTest, AKeptFileIsServedAnewOnceChanged) {
  START_READER();
  server.KeepAlive = true;
  const std::string file = (root / "kept.txt").string();
  const timespec old[2] = {{1700000000, 0}, {1700000000, 0}};
  std::ofstream(file) << "first";
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), old, 0), 0);
  // The status change time settles only with the clock.
  std::this_thread::sleep_for(2100ms);
  // Both ways of serving a file use the kept bytes.
  bool smart = true;
  handler = [&](TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
    if (smart)
      r->SmartServeFile(nullptr, q, file);
    else
      r->ServeFile(nullptr, file);
  };
  EXPECT_EQ(Ask("GET / HTTP/1.1\r\nHost: h\r\n\r\n").Body, "first");
  EXPECT_EQ(Ask("GET / HTTP/1.1\r\nHost: h\r\n\r\n").Body, "first");
  smart = false;
  EXPECT_EQ(Ask("GET / HTTP/1.1\r\nHost: h\r\n\r\n").Body, "first");
  {
    std::fstream inPlace(file, std::ios::in | std::ios::out | std::ios::binary);
    inPlace << "again";
  }
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), old, 0), 0);
  EXPECT_EQ(Ask("GET / HTTP/1.1\r\nHost: h\r\n\r\n").Body, "again");
  smart = true;
  EXPECT_EQ(Ask("GET / HTTP/1.1\r\nHost: h\r\n\r\n").Body, "again");
  std::ofstream(file + ".new") << "third";
  ASSERT_EQ(::utimensat(AT_FDCWD, (file + ".new").c_str(), old, 0), 0);
  std::filesystem::rename(file + ".new", file);
  EXPECT_EQ(Ask("GET / HTTP/1.1\r\nHost: h\r\n\r\n").Body, "third");
  std::filesystem::remove(file);
  EXPECT_EQ(Ask("GET / HTTP/1.1\r\nHost: h\r\n\r\n").Status, 404);
}

// ---------------------------------------------------------------------------
// MIME table

TEST(IdMimeTableTest, LookupFillsOnFirstMiss) {
  TIdThreadSafeMimeTable table;
  table.SetOSTypesFile("/nonexistent/mime.types");
  EXPECT_EQ(table.GetFileMIMEType("Report.PDF"), "application/pdf");
  EXPECT_EQ(table.GetFileMIMEType("archive.unknownext"), "application/octet-stream");
  EXPECT_EQ(table.GetFileMIMEType("noext"), "application/octet-stream");
  EXPECT_EQ(table.GetFileMIMEType("dir.d/noext"), "application/octet-stream");
  EXPECT_EQ(table.GetFileMIMEType("a.png"), "image/x-png");
  EXPECT_EQ(table.GetFileMIMEType("list.m3u"), "audio/mpegurl");  // the first of two rows wins
  EXPECT_EQ(table.GetDefaultFileExt("TEXT/HTML"), ".htm");
}

TEST(IdMimeTableTest, SystemTypesReplaceBuiltInRows) {
  std::string file = ::testing::TempDir() + "mime.types.test";
  std::ofstream(file) << "# comment\nimage/png png\napplication/x-thing thing   thg # tail\nbroken\n"
                      << std::string(10000, 'x') << " over-long line\n";
  TIdThreadSafeMimeTable table;
  table.SetOSTypesFile(file);
  EXPECT_EQ(table.GetFileMIMEType("a.png"), "image/png");
  EXPECT_EQ(table.GetFileMIMEType("b.THG"), "application/x-thing");
  EXPECT_EQ(table.GetFileMIMEType("c.css"), "text/css");
  std::remove(file.c_str());
}

TEST(IdMimeTableTest, AddMimeTypeChecks) {
  TIdMimeTable table;
  table.AddMimeType("XYZ", "Application/X-Y");
  EXPECT_EQ(table.GetFileMIMEType("f.xyz"), "application/x-y");
  EXPECT_THROW(table.AddMimeType(".xyz", "a/b"), EIdException);
  EXPECT_THROW(table.AddMimeType("", "a/b"), EIdException);
  EXPECT_THROW(table.AddMimeType("q", ""), EIdException);
  EXPECT_NO_THROW(table.AddMimeType(".xyz", "a/b", false));
}

TEST(IdMimeTableTest, ConcurrentFirstLookupsFillOnce) {
  TIdThreadSafeMimeTable table;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      for (int n = 0; n < 50; ++n)
        if (table.GetFileMIMEType("x.css") != "text/css") ++wrong;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
  TStringList rows;
  table.SaveToStrings(rows);
  EXPECT_EQ(rows.IndexOf(".css=text/css") >= 0, true);
}

}  // namespace
