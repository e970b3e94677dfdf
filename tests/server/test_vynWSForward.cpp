// Forwarding a received request to another HTTP server on loopback (the
// transport's own server as the upstream) and the response built from its
// answer.
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "server/vynWSForward.h"
#include "tests/transport/tcpserver_fixture.h"
#include "transport/vynIdStack.h"

namespace {

TEST(ForwardExcludedHeaders, TheTwentyTwoNamesIgnoringCase) {
  const char* excluded[] = {"Cache-control",
                            "Connection",
                            "Content-Version",
                            "Content-Disposition",
                            "Content-Encoding",
                            "Content-Language",
                            "Content-Type",
                            "Content-Length",
                            "Content-Range",
                            "Date",
                            "Last-Modified",
                            "Expires",
                            "ETag",
                            "Pragma",
                            "Transfer-Encoding",
                            "Location",
                            "Server",
                            "Proxy-Connection",
                            "WWW-Authenticate",
                            "Proxy-Authenticate",
                            "Accept-Patch",
                            "Accept-Ranges"};
  for (const char* name : excluded) {
    EXPECT_TRUE(detail::IsForwardExcludedHeader(name)) << name;
    EXPECT_TRUE(detail::IsForwardExcludedHeader(UpperCase(name))) << name;
  }
  for (const char* name : {"Accept", "Authorization", "Cookie", "Set-Cookie", "X-Custom", "Host", "Content"})
    EXPECT_FALSE(detail::IsForwardExcludedHeader(name)) << name;
}

TEST(ForwardURL, JoinsTheTargetAndTheDocument) {
  TvynWSServerForwardHTTP f;
  f.URL = "http://127.0.0.1:9000/";
  f.Document = "/api/x";
  EXPECT_EQ(f.ForwardURL(), "http://127.0.0.1:9000/api/x");
  f.URL = "http://127.0.0.1:9000/base";
  EXPECT_EQ(f.ForwardURL(), "http://127.0.0.1:9000/base/api/x");
  f.Document = "";
  EXPECT_EQ(f.ForwardURL(), "http://127.0.0.1:9000/base/");
}

// An upstream that records what it received and answers as told.
class ForwardTest : public ::testing::Test {
protected:
  void SetUp() override {
    TIdStack::IncUsage();
    port = tcpserver_test::FreePort();
    TIdSocketHandle& b = upstream.Bindings().Add();
    b.SetIP("127.0.0.1");
    b.SetPort(port);
    upstream.OnCommandGet =
        upstream.OnCommandOther = [this](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
          std::lock_guard<std::mutex> lock(mutex);
          seenCommand = q->Command;
          seenDocument = q->Document;
          seenQuery = q->QueryParams;
          seenHeaders = q->RawHeaders().Text();
          seenBody.clear();
          if (TStream* s = q->PostStream()) {
            seenBody.resize(static_cast<std::size_t>(s->Size()));
            if (!seenBody.empty()) s->ReadBuffer(seenBody.data(), s->Size());
          }
          if (q->Document == "/missing") {
            r->SetResponseNo(404);
            r->ContentText = "no such thing";
            return;
          }
          if (q->Document == "/moved") {
            r->SetResponseNo(302);
            r->Location = "http://elsewhere/";
            return;
          }
          r->SetContentType("application/json");
          r->CustomHeaders().Add("X-Upstream: yes");
          r->ETag = "\"v1\"";
          r->ContentText = "{\"ok\":true}";
        };
    upstream.SetActive(true);
    forward.URL = "http://127.0.0.1:" + std::to_string(port);
  }
  void TearDown() override {
    upstream.SetActive(false);
    TIdStack::DecUsage();
  }

  // A request as the server would have parsed it.
  void Request(const std::string& aCommand, const std::string& aDocument, const std::string& aHeaders,
               const std::string& aBody = {}) {
    request = std::make_unique<TIdHTTPRequestInfo>();
    request->Command = aCommand;
    request->Document = aDocument;
    request->RemoteIP = "192.0.2.7";
    request->RawHeaders().SetText(aHeaders);
    request->ParseRawHeaders();
    if (!aBody.empty()) request->SetPostStream(std::make_unique<TStringStream>(aBody));
    response = std::make_unique<TIdHTTPResponseInfo>(nullptr, request.get(), nullptr);
    forward.Document = aDocument;
  }
  std::string ResponseBody() {
    TStream* s = response->ContentStream();
    if (!s) return {};
    std::string text(static_cast<std::size_t>(s->Size()), '\0');
    s->SetPosition(0);
    if (!text.empty()) s->ReadBuffer(text.data(), s->Size());
    return text;
  }

  std::uint16_t port = 0;
  TIdHTTPServer upstream;
  TvynWSServerForwardHTTP forward;
  std::unique_ptr<TIdHTTPRequestInfo> request;
  std::unique_ptr<TIdHTTPResponseInfo> response;
  std::mutex mutex;
  std::string seenCommand, seenDocument, seenQuery, seenHeaders, seenBody;
};

TEST_F(ForwardTest, GetCarriesHeadersExceptTheExcludedPlusForwardedLines) {
  Request("GET", "/api/items",
          "Host: public.example\r\nAccept: application/json\r\nX-Trace: 42\r\nCache-Control: no-cache\r\n"
          "Connection: keep-alive\r\nPragma: no-cache\r\n");
  request->QueryParams = "a=1&b=2";
  EXPECT_EQ(detail::ForwardHTTPRequest(forward, *request, *response), nullptr);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(seenCommand, "GET");
  EXPECT_EQ(seenDocument, "/api/items");
  EXPECT_EQ(seenQuery, "a=1&b=2");
  EXPECT_NE(seenHeaders.find("X-Trace: 42"), std::string::npos);
  EXPECT_NE(seenHeaders.find("X-Forwarded-For: 192.0.2.7"), std::string::npos);
  EXPECT_NE(seenHeaders.find("X-Forwarded-Host: public.example"), std::string::npos);
  EXPECT_EQ(seenHeaders.find("Pragma"), std::string::npos);
  // One Host line, the target's.
  EXPECT_TRUE(seenHeaders.starts_with("Host: 127.0.0.1:" + std::to_string(port) + "\r\n") ||
              seenHeaders.find("\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n") != std::string::npos)
      << seenHeaders;
  EXPECT_EQ(seenHeaders.find("\nHost: public.example"), std::string::npos) << seenHeaders;
  EXPECT_FALSE(seenHeaders.starts_with("Host: public.example")) << seenHeaders;

  EXPECT_EQ(response->ResponseNo(), 200);
  EXPECT_EQ(response->ContentType(), "application/json");
  EXPECT_EQ(response->ETag, "\"v1\"");
  EXPECT_EQ(ResponseBody(), "{\"ok\":true}");
  EXPECT_EQ(response->CustomHeaders().Values("X-Upstream"), "yes");
  EXPECT_EQ(response->CustomHeaders().Values("Server"), "");
  EXPECT_EQ(response->CustomHeaders().Values("Content-Length"), "");
  EXPECT_EQ(response->CustomHeaders().Values("Date"), "");
}

TEST_F(ForwardTest, MethodsWithAndWithoutBodies) {
  struct Case {
    const char* Command;
    const char* Body;
    const char* Expected;
  };
  const Case cases[] = {{"POST", "{\"event\":1}", "{\"event\":1}"},
                        {"PUT", "replacement", "replacement"},
                        {"DELETE", "", ""},
                        {"OPTIONS", "", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Command);
    Request(c.Command, "/x", "Host: h\r\nContent-Type: application/json\r\n", c.Body);
    EXPECT_EQ(detail::ForwardHTTPRequest(forward, *request, *response), nullptr);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(seenCommand, c.Command);
    EXPECT_EQ(seenBody, c.Expected);
    if (*c.Body) {
      EXPECT_NE(seenHeaders.find("Content-Type: application/json"), std::string::npos);
    }
  }
  Request("HEAD", "/x", "Host: h\r\n");
  EXPECT_EQ(detail::ForwardHTTPRequest(forward, *request, *response), nullptr);
  EXPECT_EQ(response->ResponseNo(), 200);
  EXPECT_EQ(ResponseBody(), "");
}

TEST_F(ForwardTest, UpstreamStatusesPassThrough) {
  Request("GET", "/missing", "Host: h\r\n");
  EXPECT_EQ(detail::ForwardHTTPRequest(forward, *request, *response), nullptr);
  EXPECT_EQ(response->ResponseNo(), 404);
  EXPECT_EQ(ResponseBody(), "no such thing");
  Request("GET", "/moved", "Host: h\r\n");
  EXPECT_EQ(detail::ForwardHTTPRequest(forward, *request, *response), nullptr);
  EXPECT_EQ(response->ResponseNo(), 302);
  EXPECT_EQ(response->Location, "http://elsewhere/");
}

TEST_F(ForwardTest, FailuresAnswer500WithTheError) {
  Request("GET", "/x", "Host: h\r\n");
  forward.URL = "http://127.0.0.1:" + std::to_string(tcpserver_test::FreePort());
  std::exception_ptr e = detail::ForwardHTTPRequest(forward, *request, *response);
  EXPECT_NE(e, nullptr);
  EXPECT_EQ(response->ResponseNo(), 500);

  // An answer larger than allowed is a failure too, not a cut body.
  forward.URL = "http://127.0.0.1:" + std::to_string(port);
  forward.MaxResponseSize = 4;
  Request("GET", "/x", "Host: h\r\n");
  e = detail::ForwardHTTPRequest(forward, *request, *response);
  EXPECT_NE(e, nullptr);
  EXPECT_EQ(response->ResponseNo(), 500);
  EXPECT_EQ(response->ContentStream(), nullptr);
}

}  // namespace
