// The OAuth2 client without a token endpoint: options, the authorization
// URL, the redirect handler and everything that must send nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "oauth/vynHTTP_OAuth2_Client.h"
#include "tests/oauth/fake_listener.h"

namespace {

// A token URL nothing listens on: a request sent there would end in an
// error event, so no event at all shows that nothing was sent.
constexpr const char* kDeadHTTPS = "https://127.0.0.1:1/token";

std::vector<std::string> Attach(TvynHTTPComponentClient_OAuth2& C, std::vector<std::string>& ALines) {
  C.OnErrorAccessToken = [&](TComponent*, const std::string& E, const std::string& D, const std::string&,
                             const std::string&) { ALines.push_back("error " + E + "|" + D); };
  C.OnAfterAccessToken = [&](TComponent*, const std::string& T, const std::string&, const std::string&,
                             const std::string&, const std::string&, const std::string&,
                             bool&) { ALines.push_back("after " + T); };
  C.OnAfterAuthorizeCode = [&](TComponent*, const std::string& Code, const std::string&, const std::string& Scope,
                               const std::string&, bool&) { ALines.push_back("code " + Code + " " + Scope); };
  C.OnErrorAuthorizeCode = [&](TComponent*, const std::string& E, const std::string& D, const std::string& U,
                               const std::string&, const std::string& Raw) {
    ALines.push_back("code error " + E + "|" + D + "|" + U + "|" + Raw);
  };
  C.OnAuthTokenError = [&](TComponent*, const std::string& E, const std::string& D, const std::string&) {
    ALines.push_back("token error " + E + "|" + D);
  };
  return ALines;
}

TEST(OAuth2Options, AssignCopiesTheSettingsButNotTheState) {
  TvynHTTPOAuth2_Options a, b;
  a.ClientId = "id";
  a.ClientSecret = "s";
  a.Username = "u";
  a.Password = "p";
  a.GrantType = TvynOAuth2GrantTypes::auth2ClientCredentials;
  const std::string stateB = b.State();
  b.Assign(a);
  EXPECT_EQ(b.ClientId, "id");
  EXPECT_EQ(b.ClientSecret, "s");
  EXPECT_EQ(b.Username, "u");
  EXPECT_EQ(b.Password, "p");
  EXPECT_EQ(b.GrantType, TvynOAuth2GrantTypes::auth2ClientCredentials);
  EXPECT_EQ(b.State(), stateB);
  EXPECT_THROW(b.Assign(TvynHttpLogFile()), Exception);

  TvynHTTPClient_Options x, y;
  x.TLSOptions().RootCertFile = "ca.pem";
  x.TLSOptions().VerifyCertificate = true;
  x.LogOptions().FileName = "log.txt";
  y.Assign(x);
  EXPECT_EQ(y.TLSOptions().RootCertFile, "ca.pem");
  EXPECT_TRUE(y.TLSOptions().VerifyCertificate);
  EXPECT_EQ(y.LogOptions().FileName, "log.txt");
}

TEST(OAuth2Options, TheStateIsANewGUIDAfterEachClear) {
  TvynHTTPOAuth2_Options o;
  const std::string first = o.State();
  ASSERT_EQ(first.size(), 32u);
  for (char ch : first) EXPECT_TRUE((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F')) << first;
  EXPECT_EQ(o.State(), first);
  o.ClearState();
  EXPECT_NE(o.State(), first);
}

TEST(OAuthLocalServerOptions, URLAndAssign) {
  TvynHTTPOAuth_LocalServerOptions o;
  EXPECT_EQ(o.GetURL(), "http://127.0.0.1:8080");
  o.SSL = true;
  o.SSLOptions.Port = 9443;
  o.Port = 9000;
  EXPECT_EQ(o.GetURL(), "https://127.0.0.1:9000");  // Port, not the TLS port
  o.RedirectURL = "https://app.example/cb?x=1";
  EXPECT_EQ(o.GetURL(), "https://app.example/cb?x=1");
  TvynHTTPOAuth_LocalServerOptions c;
  c.Assign(o);
  EXPECT_EQ(c.GetURL(), o.GetURL());
  EXPECT_EQ(c.SSLOptions.Port, 9443);
}

TEST(OAuthAuthorizationServer, ScopeLinesAreTrimmedJoinedAndEncoded) {
  struct Case {
    const char* Lines;
    const char* Expected;
  };
  const Case cases[] = {
      {"read,notifications,manage,trade", "read,notifications,manage,trade"},
      {"read\n  trade  ", "read%20trade"},
      {"read\n\nx", "read%20%20x"},
      {"https://api.example/read", "https%3A%2F%2Fapi.example%2Fread"},
      {"", ""},
  };
  for (const Case& k : cases) {
    TvynHTTPOAuth_AuthorizationServer a;
    a.Scope.SetText(k.Lines);
    EXPECT_EQ(a.GetScope(), k.Expected) << k.Lines;
  }
}

TEST(OAuth2Client, AuthorizationURLCarriesTheParametersInOrder) {
  TvynHTTPComponentClient_OAuth2 c;
  c.AuthorizationServerOptions().AuthURL = "https://auth.example/oauth2/authorize";
  c.AuthorizationServerOptions().Scope.SetText("read\ntrade");
  c.OAuth2Options().ClientId = "my-id";
  const std::string url = c.GetAuthorizationURL();
  const std::string state = c.OAuth2Options().State();
  EXPECT_EQ(url,
            "https://auth.example/oauth2/authorize?response_type=code&client_id=my-id"
            "&redirect_uri=http://127.0.0.1:8080&scope=read%20trade&state=" +
                state);
}

TEST(OAuth2Client, NothingIsSentWithoutHTTPSOrWhenTheApplicationHandlesTheRequest) {
  for (const bool handled : {false, true}) {
    TvynHTTPComponentClient_OAuth2 c;
    std::vector<std::string> lines;
    Attach(c, lines);
    c.OAuth2Options().GrantType = TvynOAuth2GrantTypes::auth2ClientCredentials;
    c.OAuth2Options().ClientSecret = "secret";
    c.AuthorizationServerOptions().TokenURL = handled ? kDeadHTTPS : "http://127.0.0.1:1/token";
    int before = 0;
    c.OnBeforeAccessToken = [&](TComponent*, std::string&, std::string&, bool& Handled) {
      ++before;
      Handled = handled;
    };
    c.OnBeforeRefreshToken = [&](TComponent*, std::string&, std::string&, bool& Handled) {
      ++before;
      Handled = handled;
    };
    c.Start();
    c.Refresh("RT");
    EXPECT_EQ(before, 2);
    EXPECT_TRUE(lines.empty()) << lines.front();
  }
  // The same dead URL, not handled: the failure is an event, not an error.
  TvynHTTPComponentClient_OAuth2 c;
  std::vector<std::string> lines;
  Attach(c, lines);
  c.OAuth2Options().GrantType = TvynOAuth2GrantTypes::auth2ClientCredentials;
  c.AuthorizationServerOptions().TokenURL = kDeadHTTPS;
  c.Start();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("error invalid_request|", 0), 0u) << lines[0];
}

TEST(OAuth2Client, ARefreshThatCannotConnectRaises) {
  TvynHTTPComponentClient_OAuth2 c;
  c.AuthorizationServerOptions().TokenURL = kDeadHTTPS;
  EXPECT_THROW(c.Refresh("RT"), Exception);
}

TEST(OAuth2Client, TheCodeGrantNeedsAListener) {
  TvynHTTPComponentClient_OAuth2 c;
  c.AuthorizationServerOptions().AuthURL = "https://auth.example/a";
  c.AuthorizationServerOptions().TokenURL = kDeadHTTPS;
  c.OAuth2Options().ClientId = "id";
  try {
    c.Start();
    FAIL() << "started without a listener";
  } catch (Exception& e) {
    EXPECT_EQ(e.Message(), "No local redirect listener is installed.");
  }
}

TEST(OAuth2Client, MissingCodeGrantSettingsFailAfterTheListenerStoppedAgain) {
  struct Case {
    const char* AuthURL;
    const char* TokenURL;
    const char* ClientId;
    const char* Message;
  };
  const Case cases[] = {
      {"", "", "", "Authentication URL must not be empty."},
      {"https://a/x", "", "", "Token URL must not be empty."},
      {"https://a/x", kDeadHTTPS, "", "Client ID must not be empty."},
  };
  for (const Case& k : cases) {
    InstalledListener listener;
    TvynHTTPComponentClient_OAuth2 c;
    c.AuthorizationServerOptions().AuthURL = k.AuthURL;
    c.AuthorizationServerOptions().TokenURL = k.TokenURL;
    c.OAuth2Options().ClientId = k.ClientId;
    try {
      c.Start();
      ADD_FAILURE() << "started";
    } catch (Exception& e) {
      EXPECT_EQ(e.Message(), k.Message);
    }
    EXPECT_EQ(listener.Log.Activations, 1);
    EXPECT_FALSE(listener.Log.Active);
    EXPECT_TRUE(listener.Log.Bindings.empty());
  }
}

TEST(OAuth2Client, TheListenerGetsEveryTLSSettingOfTheServerComponent) {
  InstalledListener listener;
  TvynHTTPComponentClient_OAuth2 c;
  c.AuthorizationServerOptions().AuthURL = "https://auth.example/a";
  c.AuthorizationServerOptions().TokenURL = kDeadHTTPS;
  c.OAuth2Options().ClientId = "id";
  c.OnBeforeAuthorizeCode = [](TComponent*, std::string&, bool& Handled) { Handled = true; };
  TvynHTTPOAuth_LocalServerOptions& o = c.LocalServerOptions();
  o.SSL = true;
  o.SSLOptions.Port = 9443;
  o.SSLOptions.CertFile = "listener.pem";
  o.SSLOptions.OpenSSL_Options.APIVersion = TwsOpenSSLAPI::oslAPI_1_1;
  o.SSLOptions.OpenSSL_Options.LibPath = TwsOpenSSLLibPath::oslpDefaultFolder;
  o.SSLOptions.OpenSSL_Options.ECDHE = true;
  c.Start();
  const TvynHTTPOAuthSSL_Options& got = listener.Log.SSLOptions;
  EXPECT_EQ(got.Port, 9443);
  EXPECT_EQ(got.CertFile, "listener.pem");
  EXPECT_EQ(got.OpenSSL_Options.APIVersion, TwsOpenSSLAPI::oslAPI_1_1);
  EXPECT_EQ(got.OpenSSL_Options.LibPath, TwsOpenSSLLibPath::oslpDefaultFolder);
  EXPECT_TRUE(got.OpenSSL_Options.ECDHE);
  EXPECT_EQ(listener.Log.Bindings, std::vector<std::string>{"127.0.0.1:9443"});
  c.Stop();
}

TEST(OAuth2Client, TheCodeGrantHandsTheURLToTheApplicationFirst) {
  InstalledListener listener;
  TvynHTTPComponentClient_OAuth2 c;
  c.AuthorizationServerOptions().AuthURL = "https://auth.example/a";
  c.AuthorizationServerOptions().TokenURL = kDeadHTTPS;
  c.OAuth2Options().ClientId = "id";
  c.LocalServerOptions().Port = 18080;
  std::string seen;
  c.OnBeforeAuthorizeCode = [&](TComponent*, std::string& URL, bool& Handled) {
    seen = URL;
    Handled = true;
  };
  const std::string before = c.OAuth2Options().State();
  c.Start();
  EXPECT_TRUE(listener.Log.Active);
  EXPECT_EQ(listener.Log.Bindings, std::vector<std::string>{"127.0.0.1:18080"});
  const std::string state = c.OAuth2Options().State();
  EXPECT_NE(state, before);  // each start is a new authorization
  EXPECT_EQ(seen.substr(seen.size() - state.size()), state);

  // A second start while listening changes nothing, even with a new port.
  c.LocalServerOptions().Port = 18081;
  c.Start();
  EXPECT_EQ(listener.Log.Activations, 1);
  EXPECT_EQ(listener.Log.Bindings, std::vector<std::string>{"127.0.0.1:18080"});

  c.Stop();
  EXPECT_FALSE(listener.Log.Active);
  EXPECT_TRUE(listener.Log.Bindings.empty());
  c.Start();
  EXPECT_EQ(listener.Log.Bindings, std::vector<std::string>{"127.0.0.1:18081"});
  EXPECT_EQ(listener.Log.Created, 1);
}

TEST(OAuth2Client, RedirectsWithAWrongStateOrAnErrorAreNotExchanged) {
  InstalledListener listener;
  TvynHTTPComponentClient_OAuth2 c;
  std::vector<std::string> lines;
  Attach(c, lines);
  c.AuthorizationServerOptions().AuthURL = "https://auth.example/a";
  c.AuthorizationServerOptions().TokenURL = kDeadHTTPS;
  c.OAuth2Options().ClientId = "id";
  c.OnBeforeAuthorizeCode = [](TComponent*, std::string&, bool& Handled) { Handled = true; };
  c.Start();
  const std::string state = c.OAuth2Options().State();

  for (const std::string& query :
       {"code=abc&state=" + state + "X", std::string("code=abc"), "state=" + state + "&state=other&code=abc"}) {
    const TvynHTTPOAuth_LocalResponse r = listener.Redirect(query);
    EXPECT_EQ(r.ResponseNo, 500) << query;
    EXPECT_EQ(r.ContentText, "") << query;
  }
  EXPECT_TRUE(lines.empty());
  EXPECT_TRUE(listener.Log.Active);

  const TvynHTTPOAuth_LocalResponse r =
      listener.Redirect("error=access_denied&error_description=no&state=" + state + "&error_uri=u");
  EXPECT_EQ(r.ResponseNo, 200);  // the listener's default answer
  EXPECT_EQ(lines, (std::vector<std::string>{"code error access_denied|no|u|error=access_denied\r\nerror_description=no"
                                             "\r\nstate=" +
                                                 state + "\r\nerror_uri=u\r\n",
                                             "token error access_denied|no"}));
  EXPECT_FALSE(listener.Log.Active);
}

TEST(OAuth2Client, TheRedirectAnswerCanBeChangedByTheApplication) {
  InstalledListener listener;
  TvynHTTPComponentClient_OAuth2 c;
  std::vector<std::string> lines;
  Attach(c, lines);
  c.AuthorizationServerOptions().AuthURL = "https://auth.example/a";
  c.AuthorizationServerOptions().TokenURL = "http://127.0.0.1:1/token";  // not sent: not HTTPS
  c.OAuth2Options().ClientId = "id";
  c.OnBeforeAuthorizeCode = [](TComponent*, std::string&, bool& Handled) { Handled = true; };
  c.OnHTTPResponse = [](TComponent*, std::int32_t& Code, std::string& Text) {
    Code = 302;
    Text = "moved on";
  };
  c.Start();
  const TvynHTTPOAuth_LocalResponse r = listener.Redirect("code=abc&scope=read&state=" + c.OAuth2Options().State());
  EXPECT_EQ(r.ResponseNo, 302);
  EXPECT_EQ(r.ContentText, "moved on");
  EXPECT_EQ(lines, std::vector<std::string>{"code abc read"});
}

TEST(OAuth2Client, StopDisarmsATimerItNeverHad) {
  TvynHTTPComponentClient_OAuth2 c;
  c.Stop();
  c.Stop();
}

}  // namespace
