// The OAuth2 client: the authorization-code and client-credentials grants,
// the refresh request and its timer, each stage reported by an event.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "http_api/vynHTTP_Client.h"
#include "oauth/vynHTTP_OAuth_Client.h"
#include "transport/vynBase_Classes.h"

enum class TvynOAuth2GrantTypes : std::uint8_t { auth2Code = 0, auth2ClientCredentials = 1 };

class TvynHTTPOAuth2_Options : public TPersistent {
public:
  // Copies ClientId, ClientSecret, Username, Password and GrantType; the
  // state belongs to the authorization in progress and stays.
  void Assign(const TPersistent& aSource) override;

  // The state of the current authorization: 32 upper-case hexadecimal digits
  // of a new random GUID, made on the first read after it was cleared.
  std::string State();
  void ClearState();

  std::string ClientId;
  std::string ClientSecret;
  TvynOAuth2GrantTypes GrantType = TvynOAuth2GrantTypes::auth2Code;
  std::string Password;
  // Basic authentication at the token endpoint is used only when not empty.
  std::string Username;

private:
  std::mutex FStateLock;
  std::string FState;
};

class TvynHTTPClient_Options : public TPersistent {
public:
  TvynHTTPClient_Options();
  // Copies TLSOptions, then LogOptions.
  void Assign(const TPersistent& aSource) override;

  TvynHttpLogFile& LogOptions() { return *FLogOptions; }
  TvynIdHTTPTLS_Options& TLSOptions() { return *FTLSOptions; }

private:
  std::unique_ptr<TvynHttpLogFile> FLogOptions;
  std::unique_ptr<TvynIdHTTPTLS_Options> FTLSOptions;
};

class TvynHTTPComponentClient_OAuth2;

using TvynOAuth2BeforeAuthorizeCodeEvent = std::function<void(TComponent* Sender, std::string& URL, bool& Handled)>;
using TvynOAuth2AfterAuthorizeCodeEvent =
    std::function<void(TComponent* Sender, const std::string& Code, const std::string& State, const std::string& Scope,
                       const std::string& RawParams, bool& Handled)>;
using TvynOAuth2ErrorAuthorizeCodeEvent =
    std::function<void(TComponent* Sender, const std::string& Error, const std::string& Error_Description,
                       const std::string& Error_URI, const std::string& State, const std::string& RawParams)>;
using TvynOAuth2BeforeAccessTokenEvent =
    std::function<void(TComponent* Sender, std::string& URL, std::string& Parameters, bool& Handled)>;
using TvynOAuth2AccessTokenEvent = std::function<void(
    TComponent* Sender, const std::string& Access_Token, const std::string& Token_Type, const std::string& Expires_In,
    const std::string& Refresh_Token, const std::string& Scope, const std::string& RawParams, bool& Handled)>;
using TvynOAuth2ErrorEvent =
    std::function<void(TComponent* Sender, const std::string& Error, const std::string& Error_Description,
                       const std::string& Error_URI, const std::string& RawParams)>;
using TvynOAuth2HTTPResponseEvent = std::function<void(TComponent* Sender, std::int32_t& Code, std::string& Text)>;

class TvynHTTPComponentClient_OAuth2 : public TvynHTTPComponentClient_OAuth {
public:
  explicit TvynHTTPComponentClient_OAuth2(TComponent* aOwner = nullptr);
  ~TvynHTTPComponentClient_OAuth2() override;

  TvynHTTPOAuth2_Options& OAuth2Options() { return *FOAuth2Options; }
  void SetOAuth2Options(const TvynHTTPOAuth2_Options& aValue) { FOAuth2Options->Assign(aValue); }
  TvynHTTPClient_Options& HTTPClientOptions() { return *FHTTPClientOptions; }
  void SetHTTPClientOptions(const TvynHTTPClient_Options& aValue) { FHTTPClientOptions->Assign(aValue); }

  void Start() override;
  void Stop() override;
  void Refresh(const std::string& aRefreshToken);

  // The authorization page's URL with the query of this authorization.
  std::string GetAuthorizationURL();

  TvynOAuth2AfterAuthorizeCodeEvent OnAfterAuthorizeCode;
  TvynOAuth2BeforeAuthorizeCodeEvent OnBeforeAuthorizeCode;
  TvynOAuth2ErrorAuthorizeCodeEvent OnErrorAuthorizeCode;
  TvynOAuth2BeforeAccessTokenEvent OnBeforeAccessToken;
  TvynOAuth2AccessTokenEvent OnAfterAccessToken;
  TvynOAuth2ErrorEvent OnErrorAccessToken;
  TvynOAuth2BeforeAccessTokenEvent OnBeforeRefreshToken;
  TvynOAuth2AccessTokenEvent OnAfterRefreshToken;
  TvynOAuth2ErrorEvent OnErrorRefreshToken;
  TvynOAuth2HTTPResponseEvent OnHTTPResponse;

protected:
  virtual void OnTimerEvent();
  virtual void OnTimerExceptionEvent(const Exception& E);
  virtual void DoAuthorizeCode();
  virtual void DoStart();
  virtual bool DoBeforeAuthorizeCode(std::string& URL);
  virtual bool DoAfterAuthorizeCode(const std::string& Code, const std::string& State, const std::string& Scope,
                                    const std::string& RawParams);
  virtual void DoErrorAuthorizeCode(const std::string& Error, const std::string& Error_Description,
                                    const std::string& Error_URI, const std::string& State,
                                    const std::string& RawParams);
  virtual bool DoBeforeAccessToken(std::string& URL, std::string& Parameters);
  virtual bool DoAfterAccessToken(const std::string& Access_Token, const std::string& Token_Type,
                                  const std::string& Expires_In, const std::string& Refresh_Token,
                                  const std::string& Scope, const std::string& RawParams);
  virtual void DoErrorAccessToken(const std::string& Error, const std::string& Error_Description,
                                  const std::string& Error_URI, const std::string& RawParams);
  virtual bool DoBeforeRefreshToken(std::string& URL, std::string& Parameters);
  virtual bool DoAfterRefreshToken(const std::string& Access_Token, const std::string& Token_Type,
                                   const std::string& Expires_In, const std::string& Refresh_Token,
                                   const std::string& Scope, const std::string& RawParams);
  virtual void DoErrorRefreshToken(const std::string& Error, const std::string& Error_Description,
                                   const std::string& Error_URI, const std::string& RawParams);
  virtual void DoHTTPResponse(std::int32_t& Code, std::string& Text);

  void OnLocalServerRequestEvent(TvynWSConnectionServer* aConnection, TIdHTTPRequestInfo* aRequestInfo,
                                 TIdHTTPResponseInfo* aResponseInfo) override;

  // The token request; aCode is empty for the client-credentials grant.
  // aStatus and aText are what the browser is answered.
  void RequestAccessToken(const std::string& aCode, std::int32_t& aStatus, std::string& aText);

  // The refresh timer's state, for subclasses that watch it.
  bool TimerEnabled();
  std::int32_t TimerInterval();
  std::string RefreshToken();
  std::int32_t ExpiresIn();

private:
  void ReadAccessToken(const std::string& aBody);
  void ReadAccessTokenError(const std::string& aBody);
  void ReadRefreshToken(const std::string& aBody);
  void ReadRefreshTokenError(const std::string& aBody);
  void ArmRefreshTimer(std::int32_t aSeconds);
  // The refresh timer, made on first use; FLock held.
  TvynTimer& Timer();
  // True when a timer was freed and its thread has ended.
  bool FreeTimer();
  // A token-endpoint component set up from the options.
  std::unique_ptr<TvynIdHTTP> NewTokenClient();

  std::recursive_mutex FLock;  // FTimer, FRefreshToken, FExpiresIn: the timer thread shares them
  // Owned; freed through the timer unit's FreeTimer, which lets a timer
  // freed from its own handler go once its thread has ended.
  std::unique_ptr<TvynTimer> FTimer;
  std::string FRefreshToken;
  std::int32_t FExpiresIn = 0;
  std::unique_ptr<TvynHTTPOAuth2_Options> FOAuth2Options;
  std::unique_ptr<TvynHTTPClient_Options> FHTTPClientOptions;
};
