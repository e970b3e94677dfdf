// The HTTP client component and the REST base against real servers: nginx
// with certificates made at test time, and a python3 echo of each request.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "http_api/vynHTTP_API.h"
#include "http_api/vynHTTP_Client.h"
#include "json/vynJSON.h"
#include "tests/http_api_peer/echo_server.h"
#include "tests/http_api_peer/web_peer.h"

namespace {

using webpeer::Certificates;
using webpeer::EchoServer;
using webpeer::Nginx;

constexpr const char* kRedirects = R"(
    location = /to-tls { return 302 https://127.0.0.1:{TLSPORT}/hello.txt; }
    location = /to-plain { return 301 http://127.0.0.1:{PORT}/hello.txt; }
    location = /relative { return 307 /hello.txt; }
)";

// One set of certificates and one nginx for the whole suite: making them is
// the slow part.
class PeerTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    FCerts = new Certificates();
    FNginx = new Nginx(*FCerts, kRedirects);
    FNginx->Put("hello.txt", "hello\n");
    FNginx->Put("other.txt", "other\n");
  }
  static void TearDownTestSuite() {
    delete FNginx;
    delete FCerts;
    FNginx = nullptr;
    FCerts = nullptr;
  }
  static const Certificates& Certs() { return *FCerts; }
  static const Nginx& Web() { return *FNginx; }

  // A component that trusts the test root and checks certificates.
  static void Trusting(TvynIdHTTP& AHTTP) {
    AHTTP.TLSOptions().Version = TwsTLSVersions::tls1_2;
    AHTTP.TLSOptions().VerifyCertificate = true;
    AHTTP.TLSOptions().RootCertFile = Certs().Path("ca.pem");
  }

  static Certificates* FCerts;
  static Nginx* FNginx;
};
Certificates* PeerTest::FCerts = nullptr;
Nginx* PeerTest::FNginx = nullptr;

// A scalar member of the echo server's answer.
std::string Field(const std::string& AEcho, const char* AName) {
  TvynJSON answer;
  answer.Read(AEcho);
  TvynObjectJSON* n = answer.FindNode(AName);
  return n ? n->ValueText() : "(missing)";
}

std::string MessageOf(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

// ---------------------------------------------------------------------------
// TLS options and the handler

TEST_F(PeerTest, CertificateChecksFollowTheOptions) {
  struct Case {
    const char* Name;
    bool Verify;
    bool TrustTestRoot;
    const char* Host;
    bool Works;
  } cases[] = {
      {"trusted root, address in the certificate", true, true, "127.0.0.1", true},
      {"trusted root, name in the certificate", true, true, "localhost", true},
      {"system roots only", true, false, "127.0.0.1", false},
      {"no check", false, false, "127.0.0.1", true},
  };
  for (const Case& c : cases) {
    TvynIdHTTP http;
    http.TLSOptions().Version = TwsTLSVersions::tls1_2;
    http.TLSOptions().VerifyCertificate = c.Verify;
    if (c.TrustTestRoot) http.TLSOptions().RootCertFile = Certs().Path("ca.pem");
    const std::string url = "https://" + std::string(c.Host) + ":" + std::to_string(Web().TLSPort()) + "/hello.txt";
    if (c.Works) {
      EXPECT_EQ(http.Get(url), "hello\n") << c.Name;
    } else {
      const std::string message = MessageOf([&] { http.Get(url); });
      EXPECT_NE(message.find("certificate verify failed"), std::string::npos) << c.Name << ": " << message;
    }
  }
}

// A version left open settles on the highest one both sides support; one
// asked for is the only one spoken, and a server without it is refused.
TEST_F(PeerTest, VersionLeftOpenTakesTheHighestAndAnExplicitOnePins) {
  webpeer::TLSStatusServer any(Certs(), {});
  webpeer::TLSStatusServer only13(Certs(), {"-tls1_3"});
  webpeer::TLSStatusServer only12(Certs(), {"-tls1_2"});
  struct Case {
    const char* Name;
    const webpeer::TLSStatusServer& Server;
    TwsTLSVersions Version;
    const char* Spoken;  // null: refused
  } cases[] = {
      {"open, server with every version", any, TwsTLSVersions::tlsUndefined, "TLSv1.3"},
      {"open, server with 1.3 only", only13, TwsTLSVersions::tlsUndefined, "TLSv1.3"},
      {"open, server with 1.2 only", only12, TwsTLSVersions::tlsUndefined, "TLSv1.2"},
      {"1.2, server with every version", any, TwsTLSVersions::tls1_2, "TLSv1.2"},
      {"1.3, server with every version", any, TwsTLSVersions::tls1_3, "TLSv1.3"},
      {"1.2, server with 1.3 only", only13, TwsTLSVersions::tls1_2, nullptr},
      {"1.3, server with 1.2 only", only12, TwsTLSVersions::tls1_3, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TvynIdHTTP http;
    Trusting(http);
    http.TLSOptions().Version = c.Version;
    if (c.Spoken) {
      EXPECT_EQ(webpeer::TLSStatusServer::VersionOf(http.Get(c.Server.URL())), c.Spoken);
    } else {
      const std::string message = MessageOf([&] { http.Get(c.Server.URL()); });
      EXPECT_NE(message.find("Error connecting with SSL."), std::string::npos) << message;
    }
  }
}

TEST_F(PeerTest, CertificateForAnotherNameIsRefused) {
  Nginx other(Certs(), "", "other");
  TvynIdHTTP http;
  Trusting(http);
  other.Put("hello.txt", "hello\n");
  const std::string message = MessageOf([&] { http.Get(other.TLSURL("/hello.txt")); });
  EXPECT_NE(message.find("certificate verify failed"), std::string::npos) << message;
  TvynIdHTTP unchecked;
  unchecked.TLSOptions().Version = TwsTLSVersions::tls1_2;
  EXPECT_EQ(unchecked.Get(other.TLSURL("/hello.txt")), "hello\n");
}

TEST_F(PeerTest, HandlerFollowsTheSchemeAndIsMadeFromTheCurrentOptions) {
  TvynIdHTTP http;
  Trusting(http);
  EXPECT_EQ(http.Get(Web().TLSURL("/hello.txt")), "hello\n");
  EXPECT_NE(http.TLSHandler(), nullptr);
  EXPECT_EQ(http.IOHandler(), http.TLSHandler());

  EXPECT_EQ(http.Get(Web().URL("/hello.txt")), "hello\n");
  EXPECT_EQ(http.TLSHandler(), nullptr);  // plain goes out on a plain handler

  // The next TLS handler is made from the options as they are now: a root
  // file that does not exist fails it.
  http.TLSOptions().RootCertFile = Certs().Path("missing.pem");
  EXPECT_THROW(http.Get(Web().TLSURL("/hello.txt")), Exception);
  http.TLSOptions().RootCertFile = Certs().Path("ca.pem");
  TvynIdHTTP fresh;
  Trusting(fresh);
  // The scheme is matched ignoring case.
  const std::string mixed = "hTTpS://127.0.0.1:" + std::to_string(Web().TLSPort()) + "/hello.txt";
  EXPECT_EQ(fresh.Get(mixed), "hello\n");
  // A relative URL goes where the one before it went: over TLS.
  EXPECT_EQ(fresh.Get("/other.txt"), "other\n");
  EXPECT_EQ(fresh.IOHandler(), fresh.TLSHandler());
}

TEST_F(PeerTest, RedirectsBetweenPlainAndTLSUseTheComponentsHandler) {
  TvynIdHTTP http;
  Trusting(http);
  http.SetHandleRedirects(true);
  // Plain to TLS: the certificate is checked with the component's options.
  EXPECT_EQ(http.Get(Web().URL("/to-tls")), "hello\n");
  EXPECT_EQ(http.IOHandler(), http.TLSHandler());
  EXPECT_EQ(http.URL().Protocol, "https");
  // TLS to plain, and a relative Location after TLS.
  EXPECT_EQ(http.Get(Web().TLSURL("/to-plain")), "hello\n");
  EXPECT_EQ(http.Get(Web().TLSURL("/relative")), "hello\n");

  // Plain to TLS with a root the server's certificate does not chain to:
  // the redirect must not fall back to an unchecked handler.
  TvynIdHTTP strict;
  strict.TLSOptions().Version = TwsTLSVersions::tls1_2;
  strict.TLSOptions().VerifyCertificate = true;
  strict.SetHandleRedirects(true);
  const std::string message = MessageOf([&] { strict.Get(Web().URL("/to-tls")); });
  EXPECT_NE(message.find("certificate verify failed"), std::string::npos) << message;
}

TEST_F(PeerTest, TrafficLogHoldsTheExchangeInPlainText) {
  webpeer::TempDir dir("log");
  const std::string file = dir.Path("traffic.log");
  for (const std::string& url : {Web().URL("/hello.txt"), Web().TLSURL("/hello.txt")}) {
    std::filesystem::remove(file);
    TvynIdHTTP http;
    Trusting(http);
    http.SetLog(true);
    http.LogOptions().FileName = file;
    EXPECT_EQ(http.Get(url), "hello\n");
    http.Disconnect();
    std::ifstream in(file, std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(url + "\n" + log);
    // Over TLS too: the log sits above the encryption.
    EXPECT_EQ(log.rfind("Stat Connected.\r\n", 0), 0u);
    EXPECT_NE(log.find("\r\nSent "), std::string::npos);
    EXPECT_NE(log.find(": GET /hello.txt HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(log.find("\r\nRecv "), std::string::npos);
    EXPECT_NE(log.find("hello\n"), std::string::npos);
    EXPECT_GE(log.size(), 20u);
    EXPECT_EQ(log.substr(log.size() - 20), "Stat Disconnected.\r\n");
    // It holds tokens and cookies: the owner alone may read it.
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Switched off, the next request adds nothing.
    const auto size = std::filesystem::file_size(file);
    http.SetLog(false);
    EXPECT_EQ(http.Get(url), "hello\n");
    http.Disconnect();
    EXPECT_EQ(std::filesystem::file_size(file), size);
  }
}

TEST_F(PeerTest, UserAgentIsTheComponentsOwn) {
  EchoServer echo;
  TvynIdHTTP http;
  EXPECT_EQ(Field(http.Get(echo.Origin() + "/ua"), "user_agent"), "Mozilla/5.0 (Corvane 4.5.1)");
}

// ---------------------------------------------------------------------------
// The token header

// A token client whose Start answers as the test says.
class TokenSource : public TvynHTTPComponentClientAuthToken_Base {
public:
  using TvynHTTPComponentClientAuthToken_Base::TvynHTTPComponentClientAuthToken_Base;
  ~TokenSource() override {
    if (FThread.joinable()) FThread.join();
  }
  enum class Mode { Now, Later, Never, Error } Answer = Mode::Now;
  int Starts = 0;
  void Start() override {
    ++Starts;
    switch (Answer) {
      case Mode::Now:
        DoAuthTokenEvent("Bearer", "tok-1", "");
        break;
      case Mode::Later:
        // The code grant's token arrives on a listener thread.
        FThread = std::thread([this] {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          DoAuthTokenEvent("Bearer", "tok-late", "");
        });
        break;
      case Mode::Never:
        break;
      case Mode::Error:
        DoAuthTokenErrorEvent("invalid_client", "bad secret", "");
        break;
    }
  }

private:
  std::thread FThread;
};

std::vector<std::string> AuthorizationLines(const std::string& AEcho) {
  TvynJSON answer;
  answer.Read(AEcho);
  std::vector<std::string> out;
  TvynObjectJSON* node = answer.FindNode("authorization");
  TvynJSON* list = node ? node->NestedDocument() : nullptr;
  for (int i = 0; list && i < list->Count(); ++i) out.push_back(list->Node(i)->ValueText());
  return out;
}

TEST_F(PeerTest, TokenReplacesTheAuthorizationLineOnce) {
  EchoServer echo;
  struct Case {
    const char* Name;
    std::vector<std::string> Custom;
  } cases[] = {
      {"no line", {}},
      {"the same line", {"Authorization: Bearer tok-1"}},
      {"another scheme", {"Authorization: Basic dXNlcjpwYXNz"}},
      {"two stale lines", {"authorization: Bearer old", "X-Other: 1", "Authorization: Bearer older"}},
  };
  for (const Case& c : cases) {
    TokenSource source;
    TvynIdHTTP http;
    http.Authentication().Token.OAuth = &source;
    for (const std::string& line : c.Custom) http.Request().CustomHeaders().Add(line);
    EXPECT_EQ(AuthorizationLines(http.Get(echo.Origin() + "/t")), std::vector<std::string>{"Bearer tok-1"}) << c.Name;
    // A second request on the same component reuses the token.
    EXPECT_EQ(AuthorizationLines(http.Get(echo.Origin() + "/t")), std::vector<std::string>{"Bearer tok-1"}) << c.Name;
    EXPECT_EQ(source.Starts, 1) << c.Name;
  }
}

TEST_F(PeerTest, TokenSourceGetsItsEventsBack) {
  EchoServer echo;
  TokenSource source;
  std::string seen;
  source.OnAuthToken = [&](TComponent*, const std::string&, const std::string& Token, const std::string&) {
    seen += Token;
  };
  {
    TvynIdHTTP http;
    http.Authentication().Token.OAuth = &source;
    http.Get(echo.Origin() + "/t");
  }
  // The component is gone; the source's own handler is back in place.
  ASSERT_TRUE(source.OnAuthToken);
  source.Start();
  EXPECT_EQ(seen, "tok-1");

  // Also after an error from the source.
  source.Answer = TokenSource::Mode::Error;
  {
    TvynIdHTTP http;
    http.Authentication().Token.OAuth = &source;
    EXPECT_EQ(MessageOf([&] { http.Get(echo.Origin() + "/t"); }), "Error invalid_client. bad secret");
  }
  EXPECT_FALSE(source.OnAuthTokenError);
  source.Answer = TokenSource::Mode::Now;
  source.Start();
  EXPECT_EQ(seen, "tok-1tok-1");
}

TEST_F(PeerTest, TokenFromAnotherThreadOrNone) {
  EchoServer echo;
  {
    TokenSource source;
    source.Answer = TokenSource::Mode::Later;
    TvynIdHTTP http;
    http.Authentication().Token.OAuth = &source;
    EXPECT_EQ(AuthorizationLines(http.Get(echo.Origin() + "/t")), std::vector<std::string>{"Bearer tok-late"});
  }
  {
    // No token within the wait: the request goes without one.
    TokenSource source;
    source.Answer = TokenSource::Mode::Never;
    TvynIdHTTP http;
    http.Authentication().Token.OAuth = &source;
    http.Authentication().Token.ReadTimeout = 50;
    EXPECT_TRUE(AuthorizationLines(http.Get(echo.Origin() + "/t")).empty());
  }
}

TEST_F(PeerTest, TokenSourceThatEndsFirstIsForgotten) {
  EchoServer echo;
  TvynIdHTTP http;
  {
    TokenSource source;
    http.Authentication().Token.OAuth = &source;
    http.Get(echo.Origin() + "/t");
  }
  EXPECT_EQ(http.Authentication().Token.OAuth, nullptr);
  // The token it gave stays with the component.
  EXPECT_EQ(AuthorizationLines(http.Get(echo.Origin() + "/t")), std::vector<std::string>{"Bearer tok-1"});
}

TEST_F(PeerTest, JWTSourceIsRefused) {
  EchoServer echo;
  TokenSource source;
  TvynIdHTTP http;
  http.Authentication().Token.JWT = &source;
  EXPECT_EQ(MessageOf([&] { http.Get(echo.Origin() + "/t"); }), "A JWT token source is not available in this build.");
  EXPECT_EQ(source.Starts, 0);
}

// ---------------------------------------------------------------------------
// The REST base on the real component

class RestTest : public PeerTest {
protected:
  void SetUp() override {
    FEcho = std::make_unique<EchoServer>(&Certs());
    client.TLSOptions().VerifyCertificate = true;
    client.TLSOptions().RootCertFile = Certs().Path("ca.pem");
    headers.Add("content-type: application/json");
    headers.Add("access-token: abc");
  }
  std::string URL(const std::string& APath) const { return FEcho->Origin() + APath; }

  std::unique_ptr<EchoServer> FEcho;
  TvynHTTPAPI_client client;
  TStringList headers;
};

TEST_F(RestTest, EveryVerbReachesTheServerWithHeadersAndBody) {
  struct Case {
    const char* Method;
    std::function<std::string(TvynHTTPAPI_client&, const std::string&, const TStrings*)> Call;
    const char* Body;
    const char* Version;  // of the request line
  } cases[] = {
      {"GET", [](auto& c, auto& u, auto* h) { return c.Get(u, h); }, "", "HTTP/1.1"},
      // A POST goes out as HTTP/1.0 on a fresh connection.
      {"POST", [](auto& c, auto& u, auto* h) { return c.Post(u, "{\"a\":\"\xC3\xA4\"}", h); }, "{\"a\":\"\xC3\xA4\"}",
       "HTTP/1.0"},
      {"PATCH", [](auto& c, auto& u, auto* h) { return c.Patch(u, "{\"b\":2}", h); }, "{\"b\":2}", "HTTP/1.1"},
      {"DELETE", [](auto& c, auto& u, auto* h) { return c.Delete(u, h, "{\"order_id\": 345}"); }, "{\"order_id\": 345}",
       "HTTP/1.1"},
      {"DELETE", [](auto& c, auto& u, auto* h) { return c.Delete(u, h); }, "", "HTTP/1.1"},
  };
  for (const Case& c : cases) {
    const std::string answer = c.Call(client, URL("/v1/hopper/7"), &headers);
    EXPECT_EQ(Field(answer, "method"), c.Method);
    EXPECT_EQ(Field(answer, "path"), "/v1/hopper/7");
    EXPECT_EQ(Field(answer, "version"), c.Version) << c.Method;
    EXPECT_EQ(Field(answer, "body_hex"), webpeer::Hex(c.Body)) << c.Method;
    EXPECT_EQ(Field(answer, "access_token"), "abc");
    EXPECT_EQ(Field(answer, "content_type"), "application/json");
  }
}

TEST_F(RestTest, ErrorStatusCarriesStatusLineAndBody) {
  EXPECT_EQ(MessageOf([&] { client.Get(URL("/v1/status/404"), &headers); }),
            "HTTP/1.1 404 Not Found. {\"error\": 404, \"message\": \"as asked\"}");
  int calls = 0;
  std::string seen;
  client.OnHTTPAPIException = [&](TComponent*, Exception& E) {
    ++calls;
    seen = E.Message();
  };
  EXPECT_EQ(client.Post(URL("/v1/status/500"), "{}", &headers), "");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen, "HTTP/1.1 500 Internal Server Error. {\"error\": 500, \"message\": \"as asked\"}");
}

TEST_F(RestTest, UntrustedServerIsRefusedWhenChecking) {
  TvynHTTPAPI_client unchecked;  // the generic default: no check
  EXPECT_EQ(Field(unchecked.Get(URL("/x")), "method"), "GET");
  TvynHTTPAPI_client checking;
  checking.TLSOptions().VerifyCertificate = true;  // the system's roots only
  EXPECT_THROW(checking.Get(URL("/x")), Exception);
}

}  // namespace
