// The HTTP client component without a server: what it is made with, how its
// options copy, and what it refuses before connecting.
#include <gtest/gtest.h>

#include "http_api/vynHTTP_API.h"
#include "http_api/vynHTTP_Client.h"

namespace {

std::string MessageOf(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

TEST(vynIdHTTP, CreatedWithItsOwnAgentAndOptions) {
  TvynIdHTTP http;
  EXPECT_EQ(http.Version(), "4.5.1");
  EXPECT_EQ(http.Request().UserAgent, "Mozilla/5.0 (Corvane 4.5.1)");
  EXPECT_FALSE(http.Log());
  EXPECT_EQ(http.LogOptions().FileName, "");
  EXPECT_EQ(http.TLSOptions().Version, TwsTLSVersions::tlsUndefined);
  EXPECT_FALSE(http.TLSOptions().VerifyCertificate);
  EXPECT_EQ(http.Authentication().Token.OAuth, nullptr);
  EXPECT_EQ(http.Authentication().Token.ReadTimeout, 60000);
  EXPECT_EQ(http.TLSHandler(), nullptr);
  // The protocol's own defaults are untouched.
  EXPECT_FALSE(http.HandleRedirects());
  EXPECT_EQ(http.ProtocolVersion(), TIdHTTPProtocolVersion::pv1_1);
}

TEST(vynIdHTTP, OptionWritesCopy) {
  TvynHTTPComponentClientAuthToken_Base source;
  TvynIdHTTPAuthentication_Options auth;
  auth.Token.OAuth = &source;
  auth.Token.ReadTimeout = 5;
  TvynIdHTTPTLS_Options tls;
  tls.RootCertFile = "ca.pem";
  tls.VerifyDepth = 5;
  TvynHttpLogFile log;
  log.FileName = "traffic.log";

  TvynIdHTTP http;
  http.SetAuthentication(auth);
  http.SetTLSOptions(tls);
  http.SetLogOptions(log);
  auth.Token.ReadTimeout = 6;
  tls.RootCertFile = "other.pem";
  log.FileName = "other.log";
  EXPECT_EQ(http.Authentication().Token.OAuth, &source);
  EXPECT_EQ(http.Authentication().Token.ReadTimeout, 5);
  EXPECT_EQ(http.TLSOptions().RootCertFile, "ca.pem");
  EXPECT_EQ(http.TLSOptions().VerifyDepth, 0);  // not copied between HTTP TLS options
  EXPECT_EQ(http.LogOptions().FileName, "traffic.log");
  EXPECT_THROW(http.Authentication().Assign(tls), EConvertError);
}

TEST(vynIdHTTP, PlatformTLSEngineIsRefusedBeforeConnecting) {
  TvynIdHTTP http;
  http.TLSOptions().IOHandler = TwsTLSIOHandler::iohSChannel;
  // Nothing listens on port 1: reaching the connect would say so instead.
  EXPECT_EQ(MessageOf([&] { http.Get("https://127.0.0.1:1/"); }),
            "The platform TLS engine is not available in this build.");
  EXPECT_EQ(http.TLSHandler(), nullptr);
}

TEST(vynIdHTTP, TokenErrorBecomesAnErrorWithBothTexts) {
  struct Exposed : TvynIdHTTP {
    using TvynIdHTTP::OnAuthTokenErrorEvent;
    using TvynIdHTTP::OnGetPasswordEvent;
  } http;
  EXPECT_EQ(MessageOf([&] { http.OnAuthTokenErrorEvent(nullptr, "invalid_grant", "expired", "{}"); }),
            "Error invalid_grant. expired");
  http.TLSOptions().Password = "pass phrase";
  std::string password;
  http.OnGetPasswordEvent(password);
  EXPECT_EQ(password, "pass phrase");
}

// Without a test's factory the REST base sends through the real component:
// the request reaches the socket layer, which finds nothing listening.
TEST(vynHTTPAPIClient, SendsThroughTheRealComponentByDefault) {
  TvynHTTPAPI_client client;
  EXPECT_NE(MessageOf([&] { client.Get("http://127.0.0.1:1/"); }).find("Connection refused"), std::string::npos);
}

}  // namespace
