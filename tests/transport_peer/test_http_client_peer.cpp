// The HTTP client against real servers and proxies on loopback: nginx over
// HTTP and HTTPS (verbs, redirect chains with relative Locations, cookies,
// Basic logins, keep-alive), python3 sending broken answers on purpose, and
// squid and tinyproxy for proxied requests and CONNECT tunnels.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "http_peers.h"
#include "proxy_peers.h"
#include "transport/vynIdHTTP.h"
#include "transport/vynIdResourceStringsCore.h"
#include "transport/vynIdSSLOpenSSL.h"

namespace {

using httppeer::Nginx;
using httppeer::PythonRaw;

constexpr const char* kNginxBlock = R"NGX(
    location = /verb { default_type text/plain; return 200 "$request_method $content_length"; }
    location = /conn { default_type text/plain; return 200 "$connection $connection_requests"; }
    location = /chain/a { return 301 b; }
    location = /chain/b { return 302 ../chain2/c; }
    location = /chain2/c { return 303 d; }
    location = /chain2/d { return 307 /hello.txt; }
    location = /loop { return 302 /loop; }
    location = /setcookie { add_header Set-Cookie "sid=abc123; Path=/"; default_type text/plain; return 200 "set"; }
    location = /cookies { default_type text/plain; return 200 "[$http_cookie]"; }
    location = /headers { default_type text/plain; return 200 "[$http_authorization][$http_proxy_authorization]"; }
    location = /missing-json { default_type application/json; return 404 '{"error":"none here"}'; }
    location /private/ { auth_basic "test"; auth_basic_user_file htpasswd; }
)NGX";

// One set of certificates and one nginx for the whole suite: both take
// seconds to make.
class HTTPPeer : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    Certs = new httppeer::Certificates();
    // The JSON text holds UTF-8 bytes, which a raw string cannot spell.
    Server = new Nginx(*Certs, std::string(kNginxBlock) +
                                   "    location = /json { default_type application/json; "
                                   "return 200 '{\"name\":\"caf\xC3\xA9\"}'; }\n");
  }
  static void TearDownTestSuite() {
    delete Server;
    delete Certs;
    Server = nullptr;
    Certs = nullptr;
  }
  static httppeer::Certificates* Certs;
  static Nginx* Server;

  void SetUp() override { http.SetReadTimeout(10000); }

  // A TLS handler that checks the server against the test CA.
  TIdSSLIOHandlerSocketOpenSSL* VerifyingHandler() {
    auto* h = new TIdSSLIOHandlerSocketOpenSSL(&http);
    h->SSLOptions().RootCertFile = Certs->Path("ca.pem");
    h->SSLOptions().SetSSLVersions({TIdSSLVersion::sslvTLSv1_2, TIdSSLVersion::sslvTLSv1_3});
    h->SSLOptions().VerifyMode = TIdSSLVerifyModeSet{TIdSSLVerifyMode::sslvrfPeer};
    http.SetIOHandler(h);
    return h;
  }

  TIdHTTP http;
};

httppeer::Certificates* HTTPPeer::Certs = nullptr;
Nginx* HTTPPeer::Server = nullptr;

TEST_F(HTTPPeer, GetOverHTTPAndHTTPSWithAndWithoutAGivenHandler) {
  EXPECT_EQ(http.Get(Server->URL("/hello.txt")), "hello from nginx");
  TIdHTTP implicit;
  EXPECT_EQ(implicit.Get(Server->TLSURL("/hello.txt")), "hello from nginx");
  VerifyingHandler();
  EXPECT_EQ(http.Get(Server->TLSURL("/hello.txt")), "hello from nginx");
  EXPECT_EQ(http.ResponseCode(), 200);
}

TEST_F(HTTPPeer, EveryVerbReachesTheServerWithItsBody) {
  struct Case {
    const char* Method;
    const char* Want;
  } cases[] = {{"GET", "GET "},      {"POST", "POST 4"},    {"PUT", "PUT 4"},
               {"PATCH", "PATCH 4"}, {"DELETE", "DELETE "}, {"OPTIONS", "OPTIONS "}};
  for (bool tls : {false, true}) {
    TIdHTTP client;
    client.SetReadTimeout(10000);
    const std::string url = tls ? Server->TLSURL("/verb") : Server->URL("/verb");
    for (const Case& c : cases) {
      TStringStream body("data");
      const std::string m = c.Method;
      std::string got;
      if (m == "GET") got = client.Get(url);
      if (m == "POST") got = client.Post(url, &body);
      if (m == "PUT") got = client.Put(url, &body);
      if (m == "PATCH") got = client.Patch(url, &body);
      if (m == "DELETE") got = client.Delete(url);
      if (m == "OPTIONS") got = client.Options(url);
      EXPECT_EQ(got, c.Want) << m << (tls ? " over TLS" : "");
    }
    client.Head(url);
    EXPECT_EQ(client.ResponseCode(), 200);
    EXPECT_EQ(client.Response().ContentLength(), 5);  // "HEAD " announced, not read
  }
}

TEST_F(HTTPPeer, KeptAliveConnectionServesTheNextRequest) {
  // nginx answers with its connection number and the request count on it.
  const std::string first = http.Get(Server->URL("/conn"));
  const std::string conn = first.substr(0, first.find(' '));
  EXPECT_EQ(first, conn + " 1");
  EXPECT_EQ(http.Get(Server->URL("/conn")), conn + " 2");
  // A request that asks for the close is answered and the connection ends.
  http.Request().Connection = "close";
  http.Get(Server->URL("/conn"));
  EXPECT_FALSE(http.Connected());
  http.Request().Connection.clear();
  const std::string fresh = http.Get(Server->URL("/conn"));
  EXPECT_NE(fresh.substr(0, fresh.find(' ')), conn);
  EXPECT_EQ(fresh.substr(fresh.find(' ')), " 1");
}

TEST_F(HTTPPeer, RedirectChainWithRelativeLocationsOverBothTransports) {
  for (bool tls : {false, true}) {
    TIdHTTP client;
    client.SetReadTimeout(10000);
    client.SetHandleRedirects(true);
    const std::string url = tls ? Server->TLSURL("/chain/a") : Server->URL("/chain/a");
    EXPECT_EQ(client.Get(url), "hello from nginx") << (tls ? "TLS" : "plain");
    EXPECT_EQ(client.RedirectCount(), 4);
    EXPECT_EQ(client.URL().Protocol, tls ? "https" : "http");
    EXPECT_EQ(client.URL().Path, "/");
    EXPECT_EQ(client.URL().Document, "hello.txt");
  }
}

TEST_F(HTTPPeer, RedirectFromHTTPToHTTPSSwitchesToTLS) {
  // nginx's own redirect needs the TLS port in its text, so a client event
  // turns the plain answer into one for the TLS port.
  http.SetHandleRedirects(true);
  http.OnRedirect = [&](TComponent*, std::string& dest, std::int32_t&, bool&, std::string&) {
    if (dest == "b") dest = Server->TLSURL("/chain/b");
  };
  EXPECT_EQ(http.Get(Server->URL("/chain/a")), "hello from nginx");
  EXPECT_EQ(http.URL().Protocol, "https");
}

TEST_F(HTTPPeer, CredentialsDoNotFollowARedirectFromHTTPSToHTTP) {
  http.Request().Username = "joe";
  http.Request().Password = "secret";
  http.Request().BasicAuthentication = true;
  EXPECT_EQ(http.Get(Server->TLSURL("/headers")), "[Basic am9lOnNlY3JldA==][]");
  http.SetHandleRedirects(true);
  http.OnRedirect = [&](TComponent*, std::string& dest, std::int32_t&, bool&, std::string&) {
    if (dest == "b") dest = Server->URL("/headers");
  };
  EXPECT_EQ(http.Get(Server->TLSURL("/chain/a")), "[][]");
  EXPECT_EQ(http.URL().Protocol, "http");
}

TEST_F(HTTPPeer, RedirectLoopEndsAtTheMaximum) {
  http.SetHandleRedirects(true);
  http.SetRedirectMaximum(5);
  http.Get(Server->URL("/loop"));
  EXPECT_EQ(http.RedirectCount(), 5);
  EXPECT_EQ(http.ResponseCode(), 302);
}

TEST_F(HTTPPeer, CookiesGoBackToTheServer) {
  EXPECT_EQ(http.Get(Server->URL("/setcookie")), "set");
  EXPECT_EQ(http.Get(Server->URL("/cookies")), "[sid=abc123]");
  TIdCookieManager shared;
  TIdHTTP other;
  other.SetCookieManager(&shared);
  other.Get(Server->TLSURL("/setcookie"));
  TIdHTTP third;
  third.SetCookieManager(&shared);
  EXPECT_EQ(third.Get(Server->TLSURL("/cookies")), "[sid=abc123]");
}

TEST_F(HTTPPeer, BasicLoginChecked) {
  try {
    http.Get(Server->URL("/private/index.txt"));
    FAIL() << "no error";
  } catch (const EIdHTTPProtocolException& e) {
    EXPECT_EQ(e.ErrorCode(), 401);
  }
  auto opts = http.HTTPOptions();
  opts.Include(TIdHTTPOption::hoInProcessAuth);
  http.SetHTTPOptions(opts);
  http.Request().Username = "joe";
  http.Request().Password = "secret";
  EXPECT_EQ(http.Get(Server->URL("/private/index.txt")), "the secret");
  EXPECT_EQ(http.AuthRetries(), 1);
  TIdHTTP wrong;
  wrong.SetHTTPOptions(opts);
  wrong.Request().Username = "joe";
  wrong.Request().Password = "nope";
  EXPECT_THROW(wrong.Get(Server->TLSURL("/private/index.txt")), EIdHTTPProtocolException);
  EXPECT_EQ(wrong.AuthRetries(), 3);
}

TEST_F(HTTPPeer, ErrorStatusAndJSONText) {
  EXPECT_EQ(http.Get(Server->URL("/json")), "{\"name\":\"caf\xC3\xA9\"}");
  try {
    http.Get(Server->TLSURL("/missing-json"));
    FAIL() << "no error";
  } catch (const EIdHTTPProtocolException& e) {
    EXPECT_EQ(e.ErrorCode(), 404);
    EXPECT_STREQ(e.what(), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(e.ErrorMessage(), "{\"error\":\"none here\"}");
  }
}

// --- answers nginx would not give

constexpr const char* kRawAnswers = R"PY(
    "/chunked": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n7\r\n world!\r\n0\r\nX-Trailer: t\r\n\r\n",
    "/until-close": b"HTTP/1.0 200 OK\r\n\r\nread to the end<close>",
    "/continue": b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
    "/short": b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this<close>",
    "/cut-chunk": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100\r\nnot all<close>",
    "/bad-chunk": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-5\r\nhello\r\n0\r\n\r\n",
    "/cut-head": b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n<close>",
    "/fine": b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nfine",
)PY";

TEST(HTTPRawPeer, ChunkedUntilCloseAndInterimAnswers) {
  PythonRaw server(kRawAnswers);
  TIdHTTP http;
  http.SetReadTimeout(10000);
  EXPECT_EQ(http.Get(server.URL("/chunked")), "hello world!");
  EXPECT_EQ(http.Response().RawHeaders().Values("X-Trailer"), "t");
  EXPECT_EQ(http.Get(server.URL("/continue")), "ok");
  EXPECT_EQ(http.Get(server.URL("/until-close")), "read to the end");
  EXPECT_FALSE(http.Connected());
}

TEST(HTTPRawPeer, BrokenAnswersFailAndTheNextCallStartsAfresh) {
  PythonRaw server(kRawAnswers);
  for (const char* path : {"/short", "/cut-chunk", "/bad-chunk", "/cut-head"}) {
    TIdHTTP http;
    http.SetReadTimeout(10000);
    EXPECT_THROW(http.Get(server.URL(path)), EIdHTTPResponseInvalid) << path;
    EXPECT_FALSE(http.Connected()) << path;
    EXPECT_EQ(http.Get(server.URL("/fine")), "fine") << path;
  }
}

// --- proxies

class HTTPProxyPeer : public HTTPPeer {
protected:
  proxypeer::TempDir dir;
};

TEST_F(HTTPProxyPeer, PlainAndTunnelledRequestsThroughSquidAndTinyproxy) {
  std::unique_ptr<proxypeer::Peer> proxies[] = {proxypeer::Squid(dir), proxypeer::Tinyproxy(dir)};
  for (auto& proxy : proxies) {
    TIdHTTP client;
    client.SetReadTimeout(10000);
    client.ProxyParams().ProxyServer = "127.0.0.1";
    client.ProxyParams().ProxyPort = proxy->Port();
    EXPECT_EQ(client.Get(Server->URL("/hello.txt")), "hello from nginx") << proxy->Log();
    EXPECT_EQ(client.Request().UseProxy(), TIdHTTPConnectionType::ctProxy);
    EXPECT_EQ(client.Get(Server->TLSURL("/hello.txt")), "hello from nginx") << proxy->Log();
    EXPECT_EQ(client.Request().UseProxy(), TIdHTTPConnectionType::ctSSLProxy);
    // The tunnel stays open for the next request to the same origin.
    EXPECT_EQ(client.Get(Server->TLSURL("/verb")), "GET ");
  }
}

TEST_F(HTTPProxyPeer, ProxyCredentialsGoToTheProxyOnly) {
  auto squid = proxypeer::Squid(dir, "proxyuser", "proxypass");
  TIdHTTP client;
  client.SetReadTimeout(10000);
  client.ProxyParams().ProxyServer = "127.0.0.1";
  client.ProxyParams().ProxyPort = squid->Port();
  client.ProxyParams().ProxyUsername = "proxyuser";
  client.ProxyParams().ProxyPassword = "proxypass";
  client.ProxyParams().BasicAuthentication = true;
  // Through the tunnel the origin sees no Proxy-Authorization.
  EXPECT_EQ(client.Get(Server->TLSURL("/headers")), "[][]") << squid->Log();
  EXPECT_EQ(client.Get(Server->URL("/hello.txt")), "hello from nginx") << squid->Log();
}

TEST_F(HTTPProxyPeer, ATunnelThatDoesNotOpenFailsTheCall) {
  auto squid = proxypeer::Squid(dir, "proxyuser", "proxypass");
  {
    // Refused for want of credentials: the 407 is the error.
    TIdHTTP client;
    client.SetReadTimeout(10000);
    client.ProxyParams().ProxyServer = "127.0.0.1";
    client.ProxyParams().ProxyPort = squid->Port();
    try {
      client.Get(Server->TLSURL("/hello.txt"));
      FAIL() << "no error";
    } catch (const EIdHTTPProtocolException& e) {
      EXPECT_EQ(e.ErrorCode(), 407);
    }
    EXPECT_FALSE(client.Connected());
  }
  {
    // A target nothing listens on: the proxy's error, not a TLS attempt.
    TIdHTTP client;
    client.SetReadTimeout(10000);
    client.ProxyParams().ProxyServer = "127.0.0.1";
    client.ProxyParams().ProxyPort = squid->Port();
    client.ProxyParams().ProxyUsername = "proxyuser";
    client.ProxyParams().ProxyPassword = "proxypass";
    client.ProxyParams().BasicAuthentication = true;
    try {
      client.Get("https://127.0.0.1:" + std::to_string(httppeer::FreePort()) + "/");
      FAIL() << "no error";
    } catch (const EIdHTTPProtocolException& e) {
      EXPECT_GE(e.ErrorCode(), 400) << e.what();
    }
  }
  {
    // A "proxy" that closes without a word.
    PythonRaw silent(R"PY("127.0.0.1:443": b"<close>",)PY");
    TIdHTTP client;
    client.SetReadTimeout(10000);
    client.ProxyParams().ProxyServer = "127.0.0.1";
    client.ProxyParams().ProxyPort = silent.Port();
    try {
      client.Get("https://127.0.0.1/");
      FAIL() << "no error";
    } catch (const EIdHTTPResponseInvalid& e) {
      EXPECT_STREQ(e.what(), RSHttpProxyEmptyStatus);
    }
  }
}

}  // namespace
