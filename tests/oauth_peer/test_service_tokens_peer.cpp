// The service client gets its tokens from the OAuth2 client it makes by
// default, over verified HTTPS, and keeps using the one it got.
#include <gtest/gtest.h>

#include <string>

#include "cryptohopper/vynHTTP_API_Cryptohopper.h"
#include "json/vynJSON.h"
#include "tests/oauth_peer/token_server.h"

namespace {

std::string Field(const std::string& AJSON, const char* AName) {
  TvynJSON doc;
  doc.Read(AJSON);
  TvynObjectJSON* n = doc.FindNode(AName);
  return n ? n->ValueText() : std::string();
}

class ServiceTokens : public ::testing::Test {
protected:
  static void SetUpTestSuite() { Certs = new webpeer::Certificates(); }
  static void TearDownTestSuite() {
    delete Certs;
    Certs = nullptr;
  }
  void Configure(TvynHTTP_API_Cryptohopper& C, const std::string& ASecret) {
    const std::string host = "https://127.0.0.1:" + std::to_string(Server.Port());
    C.SetAPIHost(host);
    C.SetWebHost(host);
    C.TLSOptions().RootCertFile = Certs->Path("ca.pem");
    C.CryptohopperOptions().OAuth2.ClientId = "id";
    C.CryptohopperOptions().OAuth2.ClientSecret = ASecret;
  }
  static webpeer::Certificates* Certs;
  tokenpeer::TokenServer Server{*Certs};
};
webpeer::Certificates* ServiceTokens::Certs = nullptr;

TEST_F(ServiceTokens, OneTokenServesTheFollowingCommands) {
  TvynHTTP_API_Cryptohopper c;
  Configure(c, "secret");
  c.GetHoppers();
  c.GetHoppers();
  const auto reqs = Server.Requests(3);
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(Field(reqs[0], "method"), "POST");
  EXPECT_EQ(Field(reqs[0], "path"), "/oauth2/token");
  for (int i : {1, 2}) {
    EXPECT_EQ(Field(reqs[i], "method"), "GET");
    EXPECT_EQ(Field(reqs[i], "access_token"), "SVC-1");
  }
}

TEST_F(ServiceTokens, AWrongSecretIsAnOAuth2Error) {
  TvynHTTP_API_Cryptohopper c;
  Configure(c, "wrong");
  try {
    c.GetHoppers();
    FAIL() << "no error";
  } catch (Exception& e) {
    EXPECT_EQ(e.Message(), "OAuth2 Error: invalid_client: Bad credentials");
  }
  const auto reqs = Server.Requests(1);
  ASSERT_EQ(reqs.size(), 1u);  // no command went out without a token
}

TEST_F(ServiceTokens, AnUntrustedServiceGetsNoSecret) {
  TvynHTTP_API_Cryptohopper c;
  Configure(c, "secret");
  c.TLSOptions().RootCertFile.clear();  // the system's roots do not know the test CA
  try {
    c.GetHoppers();
    FAIL() << "no error";
  } catch (Exception& e) {
    EXPECT_EQ(std::string(e.Message()).rfind("OAuth2 Error: invalid_request: ", 0), 0u) << e.Message();
  }
  EXPECT_TRUE(Server.Requests(0).empty());
}

}  // namespace
