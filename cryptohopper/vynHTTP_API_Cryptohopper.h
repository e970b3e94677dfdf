// The client of the Cryptohopper REST API: its options, the access token's
// life, every operation of the service, and the hopper and order records.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "http_api/vynHTTP_API.h"
#include "http_api/vynHTTP_Client.h"
#include "oauth/vynHTTP_OAuth2_Client.h"
#include "platform/Classes.h"
#include "platform/DateUtils.h"
#include "server/vynWSOptions.h"

class TvynWSHTTPServer;
class TvynWSConnectionServer;
class TIdContext;
class TIdHTTPRequestInfo;
class TIdHTTPResponseInfo;

// ---------------------------------------------------------------------------
// Options

class TvynHTTPCryptohopperLog_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  bool Enabled = false;
  std::string FileName;
};

class TvynHTTPCryptohopperOAuth2_Options : public TPersistent {
public:
  TvynHTTPCryptohopperOAuth2_Options();
  void Assign(const TPersistent& aSource) override;
  std::string ClientId;
  std::string ClientSecret;
  std::string LocalIP;
  std::int32_t LocalPort = 8080;
  std::string RedirectURL;
  TStringList Scope;
};

namespace detail {
// A text that one thread writes while others read it: a reader gets the old
// or the new text, never a half-written one.
class SharedText {
public:
  SharedText() = default;
  SharedText(std::string aValue) : FValue(std::move(aValue)) {}
  SharedText(const SharedText&) = delete;
  SharedText& operator=(const SharedText& aValue) { return *this = aValue.Get(); }
  SharedText& operator=(std::string aValue) {
    std::lock_guard<std::mutex> guard(FLock);
    FValue = std::move(aValue);
    return *this;
  }
  SharedText& operator=(const char* aValue) { return *this = std::string(aValue); }
  std::string Get() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FValue;
  }
  operator std::string() const { return Get(); }
  friend bool operator==(const SharedText& a, const std::string& b) { return a.Get() == b; }
  friend bool operator==(const SharedText& a, const char* b) { return a.Get() == b; }

private:
  mutable std::mutex FLock;
  std::string FValue;
};
}  // namespace detail

// Enabled and ValidationCode are read by the receiver's connection threads
// while the UI thread copies new settings in: each is read and written as a
// whole value.
class TvynHTTPCryptohopperWebhook_Options : public TPersistent {
public:
  TvynHTTPCryptohopperWebhook_Options();
  // Copies Enabled, Host, Port, ValidationCode, then SSLOptions.
  void Assign(const TPersistent& aSource) override;
  std::atomic<bool> Enabled{false};
  std::string Host;
  std::int32_t Port = 443;
  TvynWSSSL_Options SSLOptions;
  detail::SharedText ValidationCode;
};

class TvynHTTPCryptohopper_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  TvynHTTPCryptohopperOAuth2_Options OAuth2;
  TvynHTTPCryptohopperLog_Options LogOptions;
  TvynHTTPCryptohopperWebhook_Options Webhook;
};

// ---------------------------------------------------------------------------
// Records

enum class TvynHTTPCTHOrderSide : std::uint8_t { cthosNone = 0, cthosBuy = 1, cthosSell = 2 };

// A hopper's settings. Text members are unset when empty, flags (1 on, 0 off)
// when -1; only set members are written.
class TvynHTTPCTHopper {
public:
  virtual ~TvynHTTPCTHopper() = default;
  // The record as a JSON object: name and enabled at the top, the other
  // settings in a nested "config" object.
  virtual std::string GetJSONText();

  std::string API_Key;
  std::string API_Secret;
  std::string Base_Currency;
  std::int32_t Buying_Enabled = -1;
  std::int32_t Enabled = -1;
  std::string Exchange;
  std::string HopperName;
  std::int32_t Paper_Trading = -1;
  std::int32_t Selling_Enabled = -1;
};

// A new order. Numeric members are unset at -1 (floating point ones at -1 or
// less); the coin is always written.
class TvynHTTPCTHOrder {
public:
  virtual ~TvynHTTPCTHOrder() = default;
  // Raises EConvertError for a floating point member that is not a finite
  // number: such a value must not silently change the order.
  virtual std::string GetJSONText();

  long double Amount = -1;
  std::string Coin;
  std::int32_t MarketOrder = -1;
  TvynHTTPCTHOrderSide OrderSide = TvynHTTPCTHOrderSide::cthosNone;
  long double PctProfit = -1;
  long double Price = -1;
  std::int32_t TrailingBuy = -1;
  long double TrailingBuyPct = -1;
};

// ---------------------------------------------------------------------------
// The OAuth2 client as the service client uses it

namespace detail {
// What the service client needs of TvynHTTPComponentClient_OAuth2: its
// settings, the two token events and Start/Stop. With the client-credentials
// grant, Start performs the token request and raises OnAfterAccessToken or
// OnErrorAccessToken before it returns. By default the factory makes one
// around TvynHTTPComponentClient_OAuth2; tests install a scripted one.
class OAuth2Client : public TComponent {
public:
  OAuth2Client() : TComponent(nullptr) {}
  virtual void Start() = 0;
  virtual void Stop() = 0;

  struct {
    std::string AuthURL;
    std::string TokenURL;
    TStringList Scope;
  } AuthorizationServerOptions;
  struct {
    TvynIdHTTPTLS_Options TLSOptions;
  } HTTPClientOptions;
  struct {
    std::string ClientId;
    std::string ClientSecret;
    TvynOAuth2GrantTypes GrantType = TvynOAuth2GrantTypes::auth2Code;
  } OAuth2Options;
  struct {
    std::string IP;
    std::int32_t Port = 8080;
    std::string RedirectURL;
  } LocalServerOptions;
  TvynOAuth2AccessTokenEvent OnAfterAccessToken;
  TvynOAuth2ErrorEvent OnErrorAccessToken;
};

using OAuth2ClientFactory = std::function<std::unique_ptr<OAuth2Client>()>;

// Installs the process's OAuth2 client factory (an empty function removes it)
// and returns the one it replaces. Without one, a token request fails with
// "No OAuth2 client is installed.".
OAuth2ClientFactory SetOAuth2ClientFactory(OAuth2ClientFactory aFactory);
}  // namespace detail

// ---------------------------------------------------------------------------
// The client

using TvynCryptohopperWebhookEvent =
    std::function<void(TComponent* Sender, const std::string& aBody, const std::string& aSignature)>;
using TvynCryptohopperWebhookErrorEvent =
    std::function<void(TComponent* Sender, const std::string& aMessage, bool aRunning)>;

class TvynHTTP_API_Cryptohopper : public TvynHTTPAPI_client {
public:
  explicit TvynHTTP_API_Cryptohopper(TComponent* aOwner = nullptr);
  ~TvynHTTP_API_Cryptohopper() override;

  TvynHTTPCryptohopper_Options& CryptohopperOptions() { return *FCryptohopperOptions; }
  void SetCryptohopperOptions(const TvynHTTPCryptohopper_Options& aValue) { FCryptohopperOptions->Assign(aValue); }

  // Scheme and host (and port) of the service's API and of its web site,
  // without a trailing slash. The live hosts by default; a test points them at
  // a local server. The API base URL is APIHost + "/v1"; the OAuth2 endpoints
  // are WebHost + "/oauth2/authorize" and "/oauth2/token".
  const std::string& APIHost() const { return FAPIHost; }
  void SetAPIHost(std::string aValue) { FAPIHost = std::move(aValue); }
  const std::string& WebHost() const { return FWebHost; }
  void SetWebHost(std::string aValue) { FWebHost = std::move(aValue); }

  // The webhook receiver: ApplyOptions, then the server's asynchronous
  // Start; and its asynchronous Stop. A start that fails (a port that cannot
  // be bound, a missing certificate, a wrong key password) is reported
  // through OnWebhookError, not raised here.
  void StartWebhook();
  void StopWebhook();
  // Whether the receiver is listening.
  bool WebhookActive();
  // Until when the token held is used: its expiry while a usable token is
  // held, 0 otherwise. May be called from any thread.
  TDateTime TokenExpires();

  // Endpoint operations; each returns the response body text. Path arguments
  // are put into the path exactly as given.
  std::string GetHoppers();
  std::string CreateHopper(const std::string& aBody);
  std::string GetHopper(const std::string& aId);
  bool GetHopper(const std::string& aId, TvynHTTPCTHopper& aHopper);
  std::string DeleteHopper(const std::string& aId);
  std::string UpdateHopper(const std::string& aId, const std::string& aBody);
  std::string UpdateHopper(const std::string& aId, TvynHTTPCTHopper& aHopper);
  std::string GetOpenOrders(const std::string& aId);
  std::string CreateNewOrder(const std::string& aId, TvynHTTPCTHOrder& aOrder);
  std::string PlaceMarketOrder(const std::string& aId, TvynHTTPCTHOrderSide aOrderSide, const std::string& aCoin,
                               long double aAmount);
  std::string PlaceLimitOrder(const std::string& aId, TvynHTTPCTHOrderSide aOrderSide, const std::string& aCoin,
                              long double aAmount, long double aPrice);
  std::string DeleteOrder(const std::string& aId, const std::string& aOrderId);
  std::string DeleteAllOrders(const std::string& aId);
  std::string GetOpenOrder(const std::string& aId, const std::string& aOrderId);
  std::string CancelOrder(const std::string& aId, const std::string& aOrderId);
  std::string GetPosition(const std::string& aId);
  std::string GetTradeHistory(const std::string& aId);
  std::string GetTradeHistoryById(const std::string& aId, const std::string& aTradeId);
  std::string GetExchange();
  std::string GetAllTickers(const std::string& aExchange);
  std::string GetMarketTicker(const std::string& aExchange, const std::string& aPair);
  std::string GetOrderBook(const std::string& aExchange, const std::string& aPair, const std::string& aDepth);
  std::string CreateWebhook(const std::string& aURL, const std::string& aMessageTypes);
  std::string DeleteWebhook(const std::string& aURL);

  TvynCryptohopperWebhookEvent OnWebhook;
  // A failure of the receiver that belongs to no connection (its start
  // above all), on the thread the server reports it on. aRunning tells
  // whether the receiver still listens.
  TvynCryptohopperWebhookErrorEvent OnWebhookError;

  // Reads a hopper answer into aHopper: whether it held data.hopper.
  static bool ReadHopper(const std::string& aText, TvynHTTPCTHopper& aHopper);

protected:
  virtual void OnAfterAccessTokenEvent(TComponent* Sender, const std::string& Access_Token,
                                       const std::string& Token_Type, const std::string& Expires_In,
                                       const std::string& Refresh_Token, const std::string& Scope,
                                       const std::string& RawParams, bool& Handled);
  virtual void OnErrorAccessTokenEvent(TComponent* Sender, const std::string& Error,
                                       const std::string& Error_Description, const std::string& Error_URI,
                                       const std::string& RawParams);
  // The receiver's request handler, on a connection thread.
  virtual void OnWebhookRequestEvent(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                     TIdHTTPResponseInfo* AResponseInfo);
  virtual void DoWebhookEvent(const std::string& aBody, const std::string& aSignature);
  virtual std::string DoHTTPDELETE(const std::string& aPath, const std::string& aQuery, const TStrings* aHeaders,
                                   const std::string& aBody);
  virtual std::string DoHTTPGET(const std::string& aPath, const std::string& aQuery, const TStrings* aHeaders);
  virtual std::string DoHTTPPOST(const std::string& aPath, const std::string& aBody, const TStrings* aHeaders);
  virtual std::string DoHTTPPATCH(const std::string& aPath, const std::string& aBody, const TStrings* aHeaders);
  virtual void DoAuthorize(const std::string& aMethod, const std::string& aPath, const std::string& aBody,
                           TStrings& aHeaders);
  virtual std::string DoHTTPGETAuth(const std::string& aPath);
  virtual std::string DoHTTPPOSTAuth(const std::string& aPath, const std::string& aBody);
  virtual std::string DoHTTPDELETEAuth(const std::string& aPath, const std::string& aBody);
  virtual std::string DoHTTPPATCHAuth(const std::string& aPath, const std::string& aBody);

  std::string GetBaseURL() const;
  void ApplyOptions();
  // The second step of ApplyOptions: brings the webhook receiver's running
  // state in line with Webhook.Enabled (configures an inactive receiver that
  // should run, stops a running one that should not).
  void SyncWebhookState();
  // The receiver, made on first use.
  TvynWSHTTPServer& GetHTTPServer();
  detail::OAuth2Client& GetOAuth2();

  // How long DoAuthorize waits for a token, in milliseconds.
  std::int32_t TokenWaitMs = 10000;

private:
  void WebhookServerException(TvynWSConnectionServer* aConnection, const Exception& E);

  std::unique_ptr<TvynWSHTTPServer> FHTTPServer;
  std::unique_ptr<detail::OAuth2Client> FOAuth2;
  // The token and its expiry are written together under FTokenLock; the
  // condition wakes DoAuthorize when a token arrives.
  std::mutex FTokenLock;
  std::condition_variable FTokenArrived;
  std::string FOAuth2Token;
  TDateTime FOAuth2Expires = 0;
  std::unique_ptr<TvynHTTPCryptohopper_Options> FCryptohopperOptions;
  std::string FAPIHost;
  std::string FWebHost;
};
