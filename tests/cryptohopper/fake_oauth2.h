// A stand-in OAuth2 client for the service client's tests: Start answers the
// way the configured grant outcome says, synchronously, as the
// client-credentials grant does.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cryptohopper/vynHTTP_API_Cryptohopper.h"

struct OAuth2Script {
  enum class Outcome { Token, Error, Nothing };
  Outcome Answer = Outcome::Token;
  std::string Access_Token = "tok";
  std::string Expires_In = "3600";
  std::string Error = "invalid_request";
  std::string Error_Description = "denied";
  int Starts = 0;
  int Stops = 0;
  int Created = 0;
  // The settings seen at the last Start.
  std::string AuthURL, TokenURL, Scope, ClientId, ClientSecret, IP, RedirectURL;
  std::int32_t Port = 0;
  TwsTLSVersions TLSVersion = TwsTLSVersions::tlsUndefined;
  bool VerifyCertificate = false;
  TvynOAuth2GrantTypes GrantType = TvynOAuth2GrantTypes::auth2Code;
  std::function<void()> OnStart;  // runs at each Start, before the answer
};

class FakeOAuth2 : public detail::OAuth2Client {
public:
  explicit FakeOAuth2(OAuth2Script& aScript) : FScript(aScript) { ++FScript.Created; }
  void Start() override {
    OAuth2Script& s = FScript;
    ++s.Starts;
    s.AuthURL = AuthorizationServerOptions.AuthURL;
    s.TokenURL = AuthorizationServerOptions.TokenURL;
    s.Scope = AuthorizationServerOptions.Scope.Text();
    s.ClientId = OAuth2Options.ClientId;
    s.ClientSecret = OAuth2Options.ClientSecret;
    s.GrantType = OAuth2Options.GrantType;
    s.IP = LocalServerOptions.IP;
    s.Port = LocalServerOptions.Port;
    s.RedirectURL = LocalServerOptions.RedirectURL;
    s.TLSVersion = HTTPClientOptions.TLSOptions.Version;
    s.VerifyCertificate = HTTPClientOptions.TLSOptions.VerifyCertificate;
    if (s.OnStart) s.OnStart();
    bool handled = false;
    switch (s.Answer) {
      case OAuth2Script::Outcome::Token:
        OnAfterAccessToken(this, s.Access_Token, "bearer", s.Expires_In, "", "read", "{}", handled);
        break;
      case OAuth2Script::Outcome::Error:
        OnErrorAccessToken(this, s.Error, s.Error_Description, "", "{}");
        break;
      case OAuth2Script::Outcome::Nothing:
        break;
    }
  }
  void Stop() override { ++FScript.Stops; }

private:
  OAuth2Script& FScript;
};

class InstalledOAuth2 {
public:
  explicit InstalledOAuth2(OAuth2Script& aScript) {
    FPrevious = detail::SetOAuth2ClientFactory([&aScript] { return std::make_unique<FakeOAuth2>(aScript); });
  }
  ~InstalledOAuth2() { detail::SetOAuth2ClientFactory(std::move(FPrevious)); }
  InstalledOAuth2(const InstalledOAuth2&) = delete;
  InstalledOAuth2& operator=(const InstalledOAuth2&) = delete;

private:
  detail::OAuth2ClientFactory FPrevious;
};
