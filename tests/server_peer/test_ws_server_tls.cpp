// The server component over TLS against curl and openssl s_client, with
// certificates made at test time: HTTPS with a pass-phrase key, TLS on one
// binding and plain HTTP on the other, the Alt-Svc line, every TLS option
// applied at each activation, client certificates, ALPN, and starts that
// fail on a missing certificate or a wrong pass phrase.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "tests/server/server_fixture.h"
#include "tests/transport_peer/openssl_peer.h"

using namespace wstest;
using opensslpeer::Certificates;
using opensslpeer::Process;

namespace {

Certificates* gCerts = nullptr;

struct CurlResult {
  int ExitCode;
  std::string Output;
};

CurlResult Curl(std::vector<std::string> aArgs) {
  aArgs.insert(aArgs.begin(), {"curl", "-sS", "--max-time", "20"});
  Process p(aArgs);
  p.CloseInput();
  CurlResult r;
  r.Output = p.ReadAll(25000);
  r.ExitCode = p.Wait(5000);
  return r;
}

class WSServerTLS : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!gCerts) gCerts = new Certificates();
  }
  static void TearDownTestSuite() {
    delete gCerts;
    gCerts = nullptr;
  }
  void SetUp() override {
    plainPort = FreePort();
    tlsPort = FreePort();
    server.NotifyEvents = TwsNotifyEvent::neNoSync;
    server.Bindings().Clear();
    for (std::uint16_t p : {plainPort, tlsPort}) {
      TIdSocketHandle& b = server.Bindings().Add();
      b.SetIP("127.0.0.1");
      b.SetPort(p);
    }
    server.SetPort(tlsPort);
    server.SSLOptions().Port = tlsPort;
    server.SSLOptions().CertFile = gCerts->Path("server.pem");
    server.SSLOptions().KeyFile = gCerts->Path("server_enc.key");
    server.SSLOptions().Password = "secret";
    server.SetSSL(true);
    server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
      r->ContentText = "hello " + q->Document;
    };
    server.OnException = [this](TvynWSConnectionServer* c, const Exception& e) {
      std::lock_guard<std::mutex> g(lock);
      if (!c) startErrors.push_back(e.Message());
    };
  }
  void TearDown() override { server.SetActive(false); }
  std::string Https(const std::string& aPath) { return "https://localhost:" + std::to_string(tlsPort) + aPath; }
  std::string Http(const std::string& aPath) { return "http://127.0.0.1:" + std::to_string(plainPort) + aPath; }
  std::vector<std::string> StartErrors() {
    std::lock_guard<std::mutex> g(lock);
    return startErrors;
  }

  StackUser stack;
  std::uint16_t plainPort = 0, tlsPort = 0;
  TvynWSHTTPServer server;
  std::mutex lock;
  std::vector<std::string> startErrors;
};

TEST_F(WSServerTLS, HTTPSWithAPassPhraseKeyAndPlainHTTPOnTheOtherBinding) {
  server.Start();
  ASSERT_TRUE(WaitUntil([&] { return server.Active(); })) << ::testing::PrintToString(StartErrors());
  EXPECT_TRUE(server.SSL());
  CurlResult secure = Curl({"-i", "--cacert", gCerts->Path("ca.pem"), Https("/a"), Https("/b")});
  ASSERT_EQ(secure.ExitCode, 0) << secure.Output;
  EXPECT_NE(secure.Output.find("hello /a"), std::string::npos) << secure.Output;
  EXPECT_NE(secure.Output.find("hello /b"), std::string::npos) << secure.Output;
  // No Alt-Svc line: it would send clients to HTTP/2, which is not served.
  EXPECT_EQ(secure.Output.find("Alt-Svc"), std::string::npos) << secure.Output;
  EXPECT_NE(secure.Output.find("Server: Corvane 4.5.1"), std::string::npos);
  CurlResult plain = Curl({Http("/c")});
  ASSERT_EQ(plain.ExitCode, 0) << plain.Output;
  EXPECT_EQ(plain.Output, "hello /c");
  // TLS is not spoken on the plain binding, nor plain HTTP on the TLS one.
  EXPECT_NE(Curl({"--cacert", gCerts->Path("ca.pem"), "https://localhost:" + std::to_string(plainPort) + "/"}).ExitCode,
            0);
  EXPECT_NE(Curl({"http://127.0.0.1:" + std::to_string(tlsPort) + "/"}).Output.find("hello"), 0u);
}

TEST_F(WSServerTLS, PortZeroSpeaksTLSOnEveryBinding) {
  server.SSLOptions().Port = 0;
  server.SetActive(true);
  for (std::uint16_t p : {plainPort, tlsPort}) {
    CurlResult r = Curl({"--cacert", gCerts->Path("ca.pem"), "https://localhost:" + std::to_string(p) + "/x"});
    EXPECT_EQ(r.Output, "hello /x") << p;
  }
}

TEST_F(WSServerTLS, AFailedStartReachesOnException) {
  struct Case {
    const char* Name;
    std::function<void()> Break;
  };
  const std::vector<Case> cases{
      {"missing certificate", [&] { server.SSLOptions().CertFile = gCerts->Path("none.pem"); }},
      {"wrong pass phrase", [&] { server.SSLOptions().Password = "wrong"; }},
      {"missing key", [&] { server.SSLOptions().KeyFile = gCerts->Path("none.key"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    {
      std::lock_guard<std::mutex> g(lock);
      startErrors.clear();
    }
    SetUp();
    c.Break();
    server.Start();
    ASSERT_TRUE(WaitUntil([&] { return !StartErrors().empty(); }));
    EXPECT_FALSE(server.Active());
    EXPECT_FALSE(StartErrors()[0].empty());
    // Nothing listens on either port.
    EXPECT_EQ(Connect(plainPort).get(), -1);
    EXPECT_EQ(Connect(tlsPort).get(), -1);
  }
}

// The version is read at every activation, not only at the first.
TEST_F(WSServerTLS, EveryTLSOptionIsAppliedAtEachActivation) {
  server.SSLOptions().Version = TwsTLSVersions::tls1_2;
  server.SetActive(true);
  const std::string ca = gCerts->Path("ca.pem");
  EXPECT_EQ(Curl({"--cacert", ca, "--tls-max", "1.2", Https("/")}).ExitCode, 0);
  EXPECT_NE(Curl({"--cacert", ca, "--tlsv1.3", Https("/")}).ExitCode, 0);
  server.SetActive(false);
  server.SSLOptions().Version = TwsTLSVersions::tls1_3;
  server.SSLOptions().OpenSSL_Options.ECDHE = true;
  server.SetActive(true);
  EXPECT_EQ(Curl({"--cacert", ca, "--tlsv1.3", Https("/")}).ExitCode, 0);
  EXPECT_NE(Curl({"--cacert", ca, "--tls-max", "1.2", Https("/")}).ExitCode, 0);
  server.SetActive(false);
  // And the files: another certificate is served after a restart.
  server.SSLOptions().Version = TwsTLSVersions::tlsUndefined;
  server.SSLOptions().CertFile = gCerts->Path("other.pem");
  server.SSLOptions().KeyFile = gCerts->Path("other.key");
  server.SSLOptions().Password.clear();
  server.SetActive(true);
  CurlResult other = Curl({"--cacert", ca, "--resolve", "other.test:" + std::to_string(tlsPort) + ":127.0.0.1",
                           "https://other.test:" + std::to_string(tlsPort) + "/o"});
  EXPECT_EQ(other.Output, "hello /o");
}

TEST_F(WSServerTLS, ClientCertificatesWhenVerifying) {
  server.SSLOptions().VerifyCertificate = true;
  server.SSLOptions().RootCertFile = gCerts->Path("ca.pem");
  server.SetActive(true);
  const std::string ca = gCerts->Path("ca.pem");
  EXPECT_NE(Curl({"--cacert", ca, Https("/")}).Output, "hello /");
  CurlResult withCert =
      Curl({"--cacert", ca, "--cert", gCerts->Path("client.pem"), "--key", gCerts->Path("client.key"), Https("/v")});
  EXPECT_EQ(withCert.Output, "hello /v");
}

TEST_F(WSServerTLS, ALPNAgreesToHTTP1Only) {
  std::atomic<int> asked{0};
  std::string wanted = "http/1.1";
  server.OnSSLALPNSelect = [&](TComponent*, TStrings& aProtocols, std::string& aProtocol) {
    ++asked;
    if (aProtocols.IndexOf(wanted) >= 0) aProtocol = wanted;
  };
  auto negotiated = [&](const char* aOffer) {
    Process c({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(tlsPort), "-alpn", aOffer, "-CAfile",
               gCerts->Path("ca.pem")});
    c.CloseInput();
    return c.ReadAll(10000);
  };
  server.SetActive(true);
  std::string out = negotiated("h2,http/1.1");
  EXPECT_NE(out.find("ALPN protocol: http/1.1"), std::string::npos) << out;
  EXPECT_EQ(asked.load(), 1);
  server.SetActive(false);
  // Until HTTP/2 is served, its option offers nothing, and neither may the
  // application: an h2 client would be closed on its preface.
  server.HTTP2Options().Enabled = true;
  wanted = "h2";
  server.SetActive(true);
  out = negotiated("h2,http/1.1");
  EXPECT_NE(out.find("ALPN protocol: http/1.1"), std::string::npos) << out;
  out = negotiated("h2");
  EXPECT_EQ(out.find("ALPN protocol: h2"), std::string::npos) << out;
  EXPECT_NE(out.find("No ALPN negotiated"), std::string::npos) << out;
  // And what it agreed to is served.
  CurlResult r = Curl({"--cacert", gCerts->Path("ca.pem"), Https("/after")});
  EXPECT_EQ(r.Output, "hello /after");
}

}  // namespace
