#include "cryptohopper/vynHTTP_API_Cryptohopper.h"

#include <chrono>
#include <cmath>
#include <limits>

#include "json/vynJSON.h"
#include "platform/SysUtils.h"
#include "platform/Variants.h"
#include "server/vynWSHTTPServer.h"

namespace {
constexpr const char* kDefaultScope = "read,notifications,manage,trade";
constexpr const char* kDefaultLocalIP = "127.0.0.1";
constexpr const char* kDefaultWebhookHost = "127.0.0.1";
constexpr const char* kDefaultValidationCode = "9632";

constexpr const char* kLiveAPIHost = "https://api.cryptohopper.com";
constexpr const char* kLiveWebHost = "https://www.cryptohopper.com";
constexpr const char* kAPIBasePath = "/v1";
constexpr const char* kAuthorizePath = "/oauth2/authorize";
constexpr const char* kTokenPath = "/oauth2/token";

constexpr const char* kContentTypeJSON = "content-type: application/json";
constexpr const char* kAccessTokenHeader = "access-token: ";
constexpr const char* kOAuth2Error = "OAuth2 Error: ";
constexpr const char* kOAuth2ErrorSeparator = ": ";
constexpr const char* kOAuth2Timeout = "OAuth2 Timeout: Cannot Get Access Token.";
constexpr const char* kInvalidInteger = "'%s' is not a valid integer value";
constexpr const char* kBadAccessToken = "the access token holds a control character.";
constexpr const char* kNoOAuth2Client = "No OAuth2 client is installed.";
constexpr const char* kSignatureHeader = "X-HUB-SIGNATURE";
constexpr const char* kTypeMember = "type";
constexpr const char* kTypeValidate = "validate";
constexpr const char* kTypeMessages = "messages";
constexpr const char* kWebhookContentType = "text/html";
// The body is copied out of the server's stream in blocks of this size.
constexpr std::int64_t kBodyBlock = 1048576;
constexpr const char* kBadOrderNumber = "The order's %s is not a finite number.";
constexpr const char* kDefaultMessageTypes =
    "config_error,on_first_start,on_panic_end,on_panic_start,order_cancelled,trade_completed,trade_error,"
    "order_placed,order_trigger";

constexpr std::int64_t kDefaultTokenLifeMs = 60000;

std::mutex& OAuth2FactoryLock() {
  static std::mutex lock;
  return lock;
}
// The OAuth2 client component behind the seam: each Start hands it the
// settings of the moment and passes its two token events on.
class ComponentOAuth2 : public detail::OAuth2Client {
public:
  void Start() override {
    FClient.AuthorizationServerOptions().AuthURL = AuthorizationServerOptions.AuthURL;
    FClient.AuthorizationServerOptions().TokenURL = AuthorizationServerOptions.TokenURL;
    FClient.AuthorizationServerOptions().Scope.SetText(AuthorizationServerOptions.Scope.Text());
    FClient.HTTPClientOptions().TLSOptions().Assign(HTTPClientOptions.TLSOptions);
    FClient.OAuth2Options().ClientId = OAuth2Options.ClientId;
    FClient.OAuth2Options().ClientSecret = OAuth2Options.ClientSecret;
    FClient.OAuth2Options().GrantType = OAuth2Options.GrantType;
    FClient.LocalServerOptions().IP = LocalServerOptions.IP;
    FClient.LocalServerOptions().Port = LocalServerOptions.Port;
    FClient.LocalServerOptions().RedirectURL = LocalServerOptions.RedirectURL;
    FClient.OnAfterAccessToken = [this](TComponent*, const std::string& Access_Token, const std::string& Token_Type,
                                        const std::string& Expires_In, const std::string& Refresh_Token,
                                        const std::string& Scope, const std::string& RawParams, bool& Handled) {
      if (OnAfterAccessToken)
        OnAfterAccessToken(this, Access_Token, Token_Type, Expires_In, Refresh_Token, Scope, RawParams, Handled);
    };
    FClient.OnErrorAccessToken = [this](TComponent*, const std::string& Error, const std::string& Error_Description,
                                        const std::string& Error_URI, const std::string& RawParams) {
      if (OnErrorAccessToken) OnErrorAccessToken(this, Error, Error_Description, Error_URI, RawParams);
    };
    FClient.Start();
  }
  void Stop() override { FClient.Stop(); }

private:
  TvynHTTPComponentClient_OAuth2 FClient;
};

detail::OAuth2ClientFactory& OAuth2Factory() {
  static detail::OAuth2ClientFactory factory = [] { return std::make_unique<ComponentOAuth2>(); };
  return factory;
}

// A decimal 32-bit integer with an optional sign; nothing else.
bool TryDecimalInt32(const std::string& aText, std::int32_t& aValue) {
  std::size_t i = 0;
  bool negative = false;
  if (i < aText.size() && (aText[i] == '+' || aText[i] == '-')) negative = aText[i++] == '-';
  if (i == aText.size()) return false;
  std::int64_t v = 0;
  for (; i < aText.size(); ++i) {
    const char c = aText[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > 2147483648LL) return false;
  }
  if (negative) v = -v;
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) return false;
  aValue = static_cast<std::int32_t>(v);
  return true;
}

// The inside of a JSON string literal of aText: quotes, backslashes and
// control characters escaped, everything else as it is.
std::string JSONEscaped(const std::string& aText) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : aText) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

std::string JSONString(const std::string& aText) { return "\"" + JSONEscaped(aText) + "\""; }

// A JSON number when aText is a decimal integer as JSON writes one (no
// leading zeros), a JSON string otherwise.
std::string JSONNumberOrString(const std::string& aText) {
  const std::size_t first = !aText.empty() && aText[0] == '-' ? 1 : 0;
  bool number = first < aText.size() && !(aText[first] == '0' && aText.size() > first + 1);
  for (std::size_t i = first; i < aText.size() && number; ++i) number = aText[i] >= '0' && aText[i] <= '9';
  return number ? aText : JSONString(aText);
}

bool HasControlCharacter(const std::string& aText) {
  for (const char c : aText)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  return false;
}

// Adds a string member that is always written quoted and escaped (text that
// begins with "{" or "[" would otherwise be written as raw JSON).
void AddString(TvynJSON& aDoc, const std::string& aName, const std::string& aValue) {
  aDoc.AddPair(aName, JSONEscaped(aValue));
  aDoc.FindNode(aName)->SetQuoted(true);
}

double FiniteMember(long double aValue, const char* aName) {
  const double d = static_cast<double>(aValue);
  if (!std::isfinite(d)) throw EConvertError(Format(kBadOrderNumber, aName));
  return d;
}

// A member's text as an integer: decimal integers, true and false; a number
// with a fraction rounds. Anything else (null included) is a conversion error.
std::int32_t MemberAsInteger(TvynObjectJSON& aNode) {
  if (aNode.JSONType() == TvynJSONtype::vynJSONNull) throw EConvertError(Format(kInvalidInteger, "null"));
  const std::string text = aNode.ValueText();
  if (text == "true") return 1;
  if (text == "false") return 0;
  std::int32_t v = 0;
  if (TryDecimalInt32(text, v)) return v;
  double d = 0;
  if (!TryStrToFloat(text, d) || !std::isfinite(d)) throw EConvertError(Format(kInvalidInteger, text));
  const double r = std::nearbyint(d);
  if (r < std::numeric_limits<std::int32_t>::min() || r > std::numeric_limits<std::int32_t>::max())
    throw EConvertError(Format(kInvalidInteger, text));
  return static_cast<std::int32_t>(r);
}
}  // namespace

detail::OAuth2ClientFactory detail::SetOAuth2ClientFactory(OAuth2ClientFactory aFactory) {
  std::lock_guard<std::mutex> guard(OAuth2FactoryLock());
  std::swap(OAuth2Factory(), aFactory);
  return aFactory;
}

// ---------------------------------------------------------------------------
// Options

void TvynHTTPCryptohopperLog_Options::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynHTTPCryptohopperLog_Options>(aSource);
  Enabled = s.Enabled;
  FileName = s.FileName;
}

TvynHTTPCryptohopperOAuth2_Options::TvynHTTPCryptohopperOAuth2_Options() : LocalIP(kDefaultLocalIP) {
  Scope.Add(kDefaultScope);
}

void TvynHTTPCryptohopperOAuth2_Options::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynHTTPCryptohopperOAuth2_Options>(aSource);
  ClientId = s.ClientId;
  ClientSecret = s.ClientSecret;
  Scope.SetText(s.Scope.Text());
  LocalIP = s.LocalIP;
  LocalPort = s.LocalPort;
  RedirectURL = s.RedirectURL;
}

TvynHTTPCryptohopperWebhook_Options::TvynHTTPCryptohopperWebhook_Options()
    : Host(kDefaultWebhookHost), ValidationCode(kDefaultValidationCode) {}

void TvynHTTPCryptohopperWebhook_Options::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynHTTPCryptohopperWebhook_Options>(aSource);
  Enabled = s.Enabled.load();
  Host = s.Host;
  Port = s.Port;
  ValidationCode = s.ValidationCode.Get();
  SSLOptions.Assign(s.SSLOptions);
}

void TvynHTTPCryptohopper_Options::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynHTTPCryptohopper_Options>(aSource);
  LogOptions.Assign(s.LogOptions);
  OAuth2.Assign(s.OAuth2);
  Webhook.Assign(s.Webhook);
}

// ---------------------------------------------------------------------------
// Records

std::string TvynHTTPCTHopper::GetJSONText() {
  TvynJSON doc;
  if (!HopperName.empty()) AddString(doc, "name", HopperName);
  if (Enabled >= 0) doc.AddPair("enabled", Enabled);
  TvynJSON* config = nullptr;
  auto Config = [&]() -> TvynJSON& {
    if (!config) {
      doc.AddObject("config", "");
      config = doc.FindNode("config")->JSONObject();
    }
    return *config;
  };
  if (!Base_Currency.empty()) AddString(Config(), "base_currency", Base_Currency);
  if (!Exchange.empty()) AddString(Config(), "exchange", Exchange);
  if (Paper_Trading >= 0) Config().AddPair("paper_trading", Paper_Trading);
  if (Buying_Enabled >= 0) Config().AddPair("buying_enabled", Buying_Enabled);
  if (Selling_Enabled >= 0) Config().AddPair("selling_enabled", Selling_Enabled);
  if (!API_Key.empty()) AddString(Config(), "api_key", API_Key);
  if (!API_Secret.empty()) AddString(Config(), "api_secret", API_Secret);
  return doc.Text();
}

std::string TvynHTTPCTHOrder::GetJSONText() {
  TvynJSON doc;
  if (OrderSide == TvynHTTPCTHOrderSide::cthosBuy) AddString(doc, "order_type", "buy");
  if (OrderSide == TvynHTTPCTHOrderSide::cthosSell) AddString(doc, "order_type", "sell");
  AddString(doc, "coin", Coin);
  // NaN compares false with everything: test "not unset" so that it reaches
  // the finiteness check instead of passing for unset.
  if (!(Amount <= -1)) doc.AddPair("amount", FiniteMember(Amount, "amount"));
  if (!(Price <= -1)) doc.AddPair("price", FiniteMember(Price, "price"));
  if (MarketOrder >= 0) doc.AddPair("market_order", MarketOrder);
  if (TrailingBuy >= 0) doc.AddPair("trailing_buy", TrailingBuy);
  if (!(TrailingBuyPct <= -1)) doc.AddPair("trailing_buy_pct", FiniteMember(TrailingBuyPct, "trailing_buy_pct"));
  if (!(PctProfit <= -1)) doc.AddPair("pct_profit", FiniteMember(PctProfit, "pct_profit"));
  return doc.Text();
}

bool TvynHTTP_API_Cryptohopper::ReadHopper(const std::string& aText, TvynHTTPCTHopper& aHopper) {
  TvynJSON doc;
  doc.Read(aText);
  TvynObjectJSON* data = doc.FindNode("data");
  TvynJSON* dataDoc = data ? data->NestedDocument() : nullptr;
  TvynObjectJSON* hopper = dataDoc ? dataDoc->FindNode("hopper") : nullptr;
  TvynJSON* h = hopper ? hopper->NestedDocument() : nullptr;
  if (!hopper) return false;
  if (!h) return true;  // data.hopper is there but holds no members
  if (TvynObjectJSON* n = h->FindNode("name")) aHopper.HopperName = n->ValueText();
  if (TvynObjectJSON* n = h->FindNode("enabled")) aHopper.Enabled = MemberAsInteger(*n);
  if (TvynObjectJSON* n = h->FindNode("exchange")) aHopper.Exchange = n->ValueText();
  if (TvynObjectJSON* n = h->FindNode("base_currency")) aHopper.Base_Currency = n->ValueText();
  if (TvynObjectJSON* n = h->FindNode("buying_enabled")) aHopper.Buying_Enabled = MemberAsInteger(*n);
  if (TvynObjectJSON* n = h->FindNode("selling_enabled")) aHopper.Selling_Enabled = MemberAsInteger(*n);
  if (TvynObjectJSON* n = h->FindNode("paper_trading")) aHopper.Paper_Trading = MemberAsInteger(*n);
  return true;
}

// ---------------------------------------------------------------------------
// The client

TvynHTTP_API_Cryptohopper::TvynHTTP_API_Cryptohopper(TComponent* aOwner)
    : TvynHTTPAPI_client(aOwner),
      FCryptohopperOptions(std::make_unique<TvynHTTPCryptohopper_Options>()),
      FAPIHost(kLiveAPIHost),
      FWebHost(kLiveWebHost) {
  // The client sends its credentials and tokens to the service: it must be
  // talking to the service, so its certificate is checked against the
  // system's roots and the host name.
  TLSOptions().VerifyCertificate = true;
}

TvynHTTP_API_Cryptohopper::~TvynHTTP_API_Cryptohopper() {
  // The receiver first: its connection threads read the options.
  if (FHTTPServer) {
    try {
      FHTTPServer->SetActive(false);
    } catch (Exception&) {
      // Going anyway; the server's own destructor finishes the stop.
    }
    FHTTPServer.reset();
  }
  FCryptohopperOptions.reset();
  FOAuth2.reset();
}

std::string TvynHTTP_API_Cryptohopper::GetBaseURL() const { return FAPIHost + kAPIBasePath; }

detail::OAuth2Client& TvynHTTP_API_Cryptohopper::GetOAuth2() {
  if (!FOAuth2) {
    {
      std::lock_guard<std::mutex> guard(OAuth2FactoryLock());
      if (OAuth2Factory()) FOAuth2 = OAuth2Factory()();
    }
    if (!FOAuth2) throw Exception(kNoOAuth2Client);
    FOAuth2->AuthorizationServerOptions.AuthURL = FWebHost + kAuthorizePath;
    FOAuth2->AuthorizationServerOptions.TokenURL = FWebHost + kTokenPath;
    FOAuth2->HTTPClientOptions.TLSOptions.Version = TwsTLSVersions::tls1_2;
    FOAuth2->HTTPClientOptions.TLSOptions.VerifyCertificate = true;
    FOAuth2->OAuth2Options.GrantType = TvynOAuth2GrantTypes::auth2ClientCredentials;
    FOAuth2->OnAfterAccessToken = [this](TComponent* Sender, const std::string& Access_Token,
                                         const std::string& Token_Type, const std::string& Expires_In,
                                         const std::string& Refresh_Token, const std::string& Scope,
                                         const std::string& RawParams, bool& Handled) {
      OnAfterAccessTokenEvent(Sender, Access_Token, Token_Type, Expires_In, Refresh_Token, Scope, RawParams, Handled);
    };
    FOAuth2->OnErrorAccessToken = [this](TComponent* Sender, const std::string& Error,
                                         const std::string& Error_Description, const std::string& Error_URI,
                                         const std::string& RawParams) {
      OnErrorAccessTokenEvent(Sender, Error, Error_Description, Error_URI, RawParams);
    };
  }
  const TvynHTTPCryptohopperOAuth2_Options& o = CryptohopperOptions().OAuth2;
  FOAuth2->AuthorizationServerOptions.Scope.SetText(o.Scope.Text());
  FOAuth2->OAuth2Options.ClientId = o.ClientId;
  FOAuth2->OAuth2Options.ClientSecret = o.ClientSecret;
  FOAuth2->LocalServerOptions.IP = o.LocalIP;
  FOAuth2->LocalServerOptions.Port = o.LocalPort;
  FOAuth2->LocalServerOptions.RedirectURL = o.RedirectURL;
  // The token endpoint is the same service: a root trusted for its REST
  // calls (a stand-in's own certificate) is trusted for its tokens too.
  FOAuth2->HTTPClientOptions.TLSOptions.RootCertFile = TLSOptions().RootCertFile;
  return *FOAuth2;
}

void TvynHTTP_API_Cryptohopper::OnAfterAccessTokenEvent(TComponent*, const std::string& Access_Token,
                                                        const std::string&, const std::string& Expires_In,
                                                        const std::string&, const std::string&, const std::string&,
                                                        bool&) {
  // The token goes into a header line: a line break in it would add headers.
  if (HasControlCharacter(Access_Token)) throw Exception(std::string(kOAuth2Error) + kBadAccessToken);
  // Both values are worked out first and published together, so a failed
  // conversion leaves the previous token state whole.
  TDateTime expires;
  if (!Expires_In.empty()) {
    std::int32_t n = 0;
    if (!TryDecimalInt32(Expires_In, n)) throw EConvertError(Format(kInvalidInteger, Expires_In));
    // Half of the announced lifetime, whole seconds.
    expires = IncMilliSecond(Now(), static_cast<std::int64_t>(std::trunc(n / 2.0)) * 1000);
  } else {
    expires = IncMilliSecond(Now(), kDefaultTokenLifeMs);
  }
  {
    std::lock_guard<std::mutex> guard(FTokenLock);
    FOAuth2Token = Access_Token;
    FOAuth2Expires = expires;
  }
  FTokenArrived.notify_all();
}

void TvynHTTP_API_Cryptohopper::OnErrorAccessTokenEvent(TComponent*, const std::string& Error,
                                                        const std::string& Error_Description, const std::string&,
                                                        const std::string&) {
  throw Exception(kOAuth2Error + Error + kOAuth2ErrorSeparator + Error_Description);
}

void TvynHTTP_API_Cryptohopper::DoAuthorize(const std::string&, const std::string&, const std::string&,
                                            TStrings& aHeaders) {
  // A token is usable while its expiry lies ahead and it is not empty (an
  // answer without access_token must not be sent as an empty token).
  auto usable = [this] { return !(FOAuth2Expires <= Now()) && !FOAuth2Token.empty(); };
  std::string token;
  bool held;
  {
    std::lock_guard<std::mutex> guard(FTokenLock);
    held = !(Now() > FOAuth2Expires) && !FOAuth2Token.empty();
    token = FOAuth2Token;
  }
  if (!held) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TokenWaitMs);
    try {
      GetOAuth2().Start();
      std::unique_lock<std::mutex> lock(FTokenLock);
      FTokenArrived.wait_until(lock, deadline, usable);
    } catch (...) {
      try {
        GetOAuth2().Stop();
      } catch (...) {
        // The error that ended the token request is the one to report.
      }
      throw;
    }
    GetOAuth2().Stop();
    std::lock_guard<std::mutex> guard(FTokenLock);
    if (!usable()) {
      // What arrived cannot be used: forget it so the next request asks again.
      FOAuth2Token.clear();
      FOAuth2Expires = 0;
      throw Exception(kOAuth2Timeout);
    }
    token = FOAuth2Token;
  }
  aHeaders.Add(kAccessTokenHeader + token);
}

void TvynHTTP_API_Cryptohopper::ApplyOptions() {
  const TvynHTTPCryptohopperLog_Options& log = CryptohopperOptions().LogOptions;
  if (FLog != log.Enabled) {
    FLogFileName = log.FileName;
    FLog = log.Enabled;
  }
  SyncWebhookState();
}

// ---------------------------------------------------------------------------
// The webhook receiver

TvynWSHTTPServer& TvynHTTP_API_Cryptohopper::GetHTTPServer() {
  if (!FHTTPServer) {
    FHTTPServer = std::make_unique<TvynWSHTTPServer>();
    FHTTPServer->OnCommandGet = [this](TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                       TIdHTTPResponseInfo* AResponseInfo) {
      OnWebhookRequestEvent(AContext, ARequestInfo, AResponseInfo);
    };
    // A start that fails happens on the server's start thread and reaches
    // nobody else: it is passed on so that it is never silent.
    FHTTPServer->OnException = [this](TvynWSConnectionServer* aConnection, const Exception& E) {
      WebhookServerException(aConnection, E);
    };
    FHTTPServer->SetSSL(true);
    FHTTPServer->SSLOptions().Version = TwsTLSVersions::tls1_2;
  }
  return *FHTTPServer;
}

void TvynHTTP_API_Cryptohopper::WebhookServerException(TvynWSConnectionServer* aConnection, const Exception& E) {
  // Failures of single connections (a client that fails its handshake, say)
  // leave the receiver running and concern nobody.
  if (aConnection || !OnWebhookError) return;
  OnWebhookError(this, E.Message(), FHTTPServer && FHTTPServer->Active());
}

void TvynHTTP_API_Cryptohopper::SyncWebhookState() {
  TvynWSHTTPServer& server = GetHTTPServer();
  TvynHTTPCryptohopperWebhook_Options& o = CryptohopperOptions().Webhook;
  // A start or stop still on its way holds this lock: the state read here is
  // the one it leaves, and the bindings are never changed under it.
  std::lock_guard<std::recursive_mutex> guard(server.MainLock());
  const bool enabled = o.Enabled.load();
  if (enabled == server.Active()) return;
  if (enabled) {
    server.Bindings().Clear();
    TIdSocketHandle& binding = server.Bindings().Add();
    binding.SetIP(o.Host);
    binding.SetPort(static_cast<std::uint16_t>(o.Port));
    if (o.Host.find(':') != std::string::npos) binding.SetIPVersion(TIdIPVersion::Id_IPv6);
    server.SetPort(o.Port);
    server.SSLOptions().Assign(o.SSLOptions);
    server.SSLOptions().Port = o.Port;
  } else {
    server.Stop();
  }
}

void TvynHTTP_API_Cryptohopper::StartWebhook() {
  ApplyOptions();
  GetHTTPServer().Start();
}

void TvynHTTP_API_Cryptohopper::StopWebhook() { GetHTTPServer().Stop(); }

bool TvynHTTP_API_Cryptohopper::WebhookActive() { return FHTTPServer && FHTTPServer->Active(); }

TDateTime TvynHTTP_API_Cryptohopper::TokenExpires() {
  std::lock_guard<std::mutex> guard(FTokenLock);
  return !(Now() > FOAuth2Expires) && !FOAuth2Token.empty() ? FOAuth2Expires : 0;
}

void TvynHTTP_API_Cryptohopper::OnWebhookRequestEvent(TIdContext*, TIdHTTPRequestInfo* ARequestInfo,
                                                      TIdHTTPResponseInfo* AResponseInfo) {
  const TvynHTTPCryptohopperWebhook_Options& o = CryptohopperOptions().Webhook;
  TStream* stream = ARequestInfo->PostStream();
  if (!o.Enabled.load() || !stream) {
    AResponseInfo->SetResponseNo(404);
    return;
  }
  std::string body;
  const std::int64_t size = stream->Size() - stream->Position();
  if (size > 0) {
    body.resize(static_cast<std::size_t>(size));
    std::int64_t done = 0;
    while (done < size) {
      const std::int64_t want = std::min(kBodyBlock, size - done);
      const std::int64_t got = stream->Read(&body[static_cast<std::size_t>(done)], want);
      if (got <= 0) break;
      done += got;
    }
    body.resize(static_cast<std::size_t>(done));
  }
  const std::string signature = ARequestInfo->RawHeaders().Values(kSignatureHeader);
  TvynJSON doc;
  doc.Read(body);
  TvynObjectJSON* typeNode = doc.FindNode(kTypeMember);
  const std::string type = typeNode ? typeNode->ValueText() : std::string();
  if (type == kTypeValidate) {
    AResponseInfo->ContentText = o.ValidationCode.Get();
    AResponseInfo->SetResponseNo(200);
    AResponseInfo->SetContentType(kWebhookContentType);
  } else if (type == kTypeMessages) {
    AResponseInfo->ContentText.clear();
    // The service expects an empty body: without a stream, an empty text
    // would be replaced by the server's default page.
    AResponseInfo->SetContentStream(std::make_unique<TMemoryStream>().release());
    AResponseInfo->SetResponseNo(200);
    AResponseInfo->SetContentType(kWebhookContentType);
    DoWebhookEvent(body, signature);
  } else {
    AResponseInfo->SetResponseNo(404);
  }
}

void TvynHTTP_API_Cryptohopper::DoWebhookEvent(const std::string& aBody, const std::string& aSignature) {
  if (OnWebhook && !aBody.empty() && !aSignature.empty()) OnWebhook(this, aBody, aSignature);
}

std::string TvynHTTP_API_Cryptohopper::DoHTTPGET(const std::string& aPath, const std::string& aQuery,
                                                 const TStrings* aHeaders) {
  ApplyOptions();
  std::string url = GetBaseURL() + aPath;
  if (!aQuery.empty()) url += "?" + aQuery;
  return Get(url, aHeaders);
}

std::string TvynHTTP_API_Cryptohopper::DoHTTPDELETE(const std::string& aPath, const std::string& aQuery,
                                                    const TStrings* aHeaders, const std::string& aBody) {
  ApplyOptions();
  std::string url = GetBaseURL() + aPath;
  if (!aQuery.empty()) url += "?" + aQuery;
  return Delete(url, aHeaders, aBody);
}

std::string TvynHTTP_API_Cryptohopper::DoHTTPPOST(const std::string& aPath, const std::string& aBody,
                                                  const TStrings* aHeaders) {
  ApplyOptions();
  return Post(GetBaseURL() + aPath, aBody, aHeaders);
}

std::string TvynHTTP_API_Cryptohopper::DoHTTPPATCH(const std::string& aPath, const std::string& aBody,
                                                   const TStrings* aHeaders) {
  ApplyOptions();
  return Patch(GetBaseURL() + aPath, aBody, aHeaders);
}

std::string TvynHTTP_API_Cryptohopper::DoHTTPGETAuth(const std::string& aPath) {
  TStringList headers;
  headers.Add(kContentTypeJSON);
  DoAuthorize("GET", aPath, {}, headers);
  return DoHTTPGET(aPath, {}, &headers);
}

std::string TvynHTTP_API_Cryptohopper::DoHTTPPOSTAuth(const std::string& aPath, const std::string& aBody) {
  TStringList headers;
  headers.Add(kContentTypeJSON);
  DoAuthorize("POST", aPath, aBody, headers);
  return DoHTTPPOST(aPath, aBody, &headers);
}

std::string TvynHTTP_API_Cryptohopper::DoHTTPDELETEAuth(const std::string& aPath, const std::string& aBody) {
  TStringList headers;
  headers.Add(kContentTypeJSON);
  DoAuthorize("DELETE", aPath, aBody, headers);
  return DoHTTPDELETE(aPath, {}, &headers, aBody);
}

std::string TvynHTTP_API_Cryptohopper::DoHTTPPATCHAuth(const std::string& aPath, const std::string& aBody) {
  TStringList headers;
  headers.Add(kContentTypeJSON);
  DoAuthorize("PATCH", aPath, aBody, headers);
  return DoHTTPPATCH(aPath, aBody, &headers);
}

// ---------------------------------------------------------------------------
// Endpoint operations

std::string TvynHTTP_API_Cryptohopper::GetHoppers() { return DoHTTPGETAuth("/hopper"); }

std::string TvynHTTP_API_Cryptohopper::CreateHopper(const std::string& aBody) {
  return DoHTTPPOSTAuth("/hopper", aBody);
}

std::string TvynHTTP_API_Cryptohopper::GetHopper(const std::string& aId) { return DoHTTPGETAuth("/hopper/" + aId); }

bool TvynHTTP_API_Cryptohopper::GetHopper(const std::string& aId, TvynHTTPCTHopper& aHopper) {
  const std::string text = GetHopper(aId);
  if (text.empty()) return false;
  return ReadHopper(text, aHopper);
}

std::string TvynHTTP_API_Cryptohopper::DeleteHopper(const std::string& aId) {
  return DoHTTPDELETEAuth("/hopper/" + aId, {});
}

std::string TvynHTTP_API_Cryptohopper::UpdateHopper(const std::string& aId, const std::string& aBody) {
  return DoHTTPPATCHAuth("/hopper/" + aId, aBody);
}

std::string TvynHTTP_API_Cryptohopper::UpdateHopper(const std::string& aId, TvynHTTPCTHopper& aHopper) {
  return UpdateHopper(aId, aHopper.GetJSONText());
}

std::string TvynHTTP_API_Cryptohopper::GetOpenOrders(const std::string& aId) {
  return DoHTTPGETAuth("/hopper/" + aId + "/order");
}

std::string TvynHTTP_API_Cryptohopper::CreateNewOrder(const std::string& aId, TvynHTTPCTHOrder& aOrder) {
  const std::string path = "/hopper/" + aId + "/order";
  return DoHTTPPOSTAuth(path, aOrder.GetJSONText());
}

std::string TvynHTTP_API_Cryptohopper::PlaceMarketOrder(const std::string& aId, TvynHTTPCTHOrderSide aOrderSide,
                                                        const std::string& aCoin, long double aAmount) {
  TvynHTTPCTHOrder order;
  order.OrderSide = aOrderSide;
  order.Coin = aCoin;
  order.Amount = aAmount;
  return CreateNewOrder(aId, order);
}

std::string TvynHTTP_API_Cryptohopper::PlaceLimitOrder(const std::string& aId, TvynHTTPCTHOrderSide aOrderSide,
                                                       const std::string& aCoin, long double aAmount,
                                                       long double aPrice) {
  TvynHTTPCTHOrder order;
  order.OrderSide = aOrderSide;
  order.Coin = aCoin;
  order.Amount = aAmount;
  order.Price = aPrice;
  return CreateNewOrder(aId, order);
}

std::string TvynHTTP_API_Cryptohopper::DeleteOrder(const std::string& aId, const std::string& aOrderId) {
  const std::string path = "/hopper/" + aId + "/order";
  return DoHTTPDELETEAuth(path, "{\"order_id\": " + JSONNumberOrString(aOrderId) + "}");
}

std::string TvynHTTP_API_Cryptohopper::DeleteAllOrders(const std::string& aId) {
  return DoHTTPDELETEAuth("/hopper/" + aId + "/order/all", {});
}

std::string TvynHTTP_API_Cryptohopper::GetOpenOrder(const std::string& aId, const std::string& aOrderId) {
  return DoHTTPGETAuth("/hopper/" + aId + "/order/" + aOrderId);
}

std::string TvynHTTP_API_Cryptohopper::CancelOrder(const std::string& aId, const std::string& aOrderId) {
  return DoHTTPDELETEAuth("/hopper/" + aId + "/order/" + aOrderId, {});
}

std::string TvynHTTP_API_Cryptohopper::GetPosition(const std::string& aId) {
  return DoHTTPGETAuth("/hopper/" + aId + "/position");
}

std::string TvynHTTP_API_Cryptohopper::GetTradeHistory(const std::string& aId) {
  return DoHTTPGETAuth("/hopper/" + aId + "/trade");
}

std::string TvynHTTP_API_Cryptohopper::GetTradeHistoryById(const std::string& aId, const std::string& aTradeId) {
  return DoHTTPGETAuth("/hopper/" + aId + "/trade/" + aTradeId);
}

std::string TvynHTTP_API_Cryptohopper::GetExchange() { return DoHTTPGET("/exchange", {}, nullptr); }

std::string TvynHTTP_API_Cryptohopper::GetAllTickers(const std::string& aExchange) {
  return DoHTTPGET("/exchange/" + aExchange + "/ticker", {}, nullptr);
}

std::string TvynHTTP_API_Cryptohopper::GetMarketTicker(const std::string& aExchange, const std::string& aPair) {
  return DoHTTPGET("/exchange/" + aExchange + "/ticker/" + aPair, {}, nullptr);
}

std::string TvynHTTP_API_Cryptohopper::GetOrderBook(const std::string& aExchange, const std::string& aPair,
                                                    const std::string& aDepth) {
  return DoHTTPGETAuth("/exchange/" + aExchange + "/" + aPair + "/orderbook/" + aDepth);
}

std::string TvynHTTP_API_Cryptohopper::CreateWebhook(const std::string& aURL, const std::string& aMessageTypes) {
  const std::string& types = aMessageTypes.empty() ? std::string(kDefaultMessageTypes) : aMessageTypes;
  return DoHTTPPOSTAuth("/api/webhooks",
                        "{\"webhook_url\": " + JSONString(aURL) + ", \"message_types\": " + JSONString(types) + "}");
}

std::string TvynHTTP_API_Cryptohopper::DeleteWebhook(const std::string& aURL) {
  return DoHTTPDELETEAuth("/api/webhooks", "{\"webhook_url\": " + JSONString(aURL) + "}");
}
