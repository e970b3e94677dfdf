#include "oauth/vynHTTP_OAuth2_Client.h"

#include "transport/vynIdCustomHTTPServer.h"

#include <chrono>
#include <cstdio>
#include <limits>
#include <random>

#include "json/vynJSON.h"
#include "platform/SysUtils.h"
#include "transport/vynIdHTTP.h"
#include "transport/vynIdURI.h"

namespace {
constexpr const char* kAuthURLEmpty = "Authentication URL must not be empty.";
constexpr const char* kTokenURLEmpty = "Token URL must not be empty.";
constexpr const char* kClientIdEmpty = "Client ID must not be empty.";
constexpr const char* kBrowserNotOpened = "WebBrowser cannot be opened.";
constexpr const char* kNoLocalListener = "No local redirect listener is installed.";
constexpr const char* kTokenSuccess = "The operation was successful, you can close your browser now.";
constexpr const char* kInvalidRequest = "invalid_request";
constexpr const char* kTimerException = "TimerException";
constexpr const char* kTimerName = "OAuth2 Timer";
constexpr const char* kAcceptJSON = "application/json";
constexpr const char* kFormContentType = "application/x-www-form-urlencoded";
constexpr const char* kHTTPS = "HTTPS";

// Only token endpoints reached over TLS get the client's secrets.
bool IsHTTPS(const std::string& aURL) { return UpperCase(aURL.substr(0, 5)) == kHTTPS; }

// A decimal integer that fits 32 bits: optional minus, digits only.
bool DecimalInt32(const std::string& aText, std::int32_t& aValue) {
  std::size_t i = !aText.empty() && aText[0] == '-' ? 1 : 0;
  if (i == aText.size() || aText.size() - i > 10) return false;
  std::int64_t v = 0;
  for (; i < aText.size(); ++i) {
    if (aText[i] < '0' || aText[i] > '9') return false;
    v = v * 10 + (aText[i] - '0');
  }
  if (aText[0] == '-') v = -v;
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) return false;
  aValue = static_cast<std::int32_t>(v);
  return true;
}

struct TokenAnswer {
  std::string access_token, token_type, expires_in, refresh_token, scope;
};

std::string Member(TvynJSON& aDoc, const char* aName) {
  TvynObjectJSON* node = aDoc.FindNode(aName);
  return node ? node->ValueText() : std::string();
}

TokenAnswer ReadTokenAnswer(const std::string& aBody) {
  TvynJSON doc;
  doc.Read(aBody);
  return {Member(doc, "access_token"), Member(doc, "token_type"), Member(doc, "expires_in"),
          Member(doc, "refresh_token"), Member(doc, "scope")};
}

struct ErrorAnswer {
  std::string error, error_description, error_uri;
};

ErrorAnswer ReadErrorAnswer(const std::string& aBody) {
  TvynJSON doc;
  doc.Read(aBody);
  return {Member(doc, "error"), Member(doc, "error_description"), Member(doc, "error_uri")};
}

// How a POST to the token endpoint ended. Only the POST runs inside the
// try: an error raised by an event handler must reach the caller unchanged.
struct PostResult {
  enum class Kind { Answered, ProtocolError, OtherError } Outcome = Kind::Answered;
  std::int32_t Code = 0;
  std::string Body;  // the answer, the error answer's body, or the error's message
};

PostResult PostForm(TvynIdHTTP& aHTTP, const std::string& aURL, const std::string& aParameters,
                    bool aCatchOtherErrors) {
  PostResult r;
  TStringStream body(aParameters);
  try {
    r.Body = aHTTP.Post(aURL, &body);
    r.Code = aHTTP.ResponseCode();
  } catch (EIdHTTPProtocolException& e) {
    r.Outcome = PostResult::Kind::ProtocolError;
    r.Code = e.ErrorCode();
    r.Body = e.ErrorMessage();
  } catch (Exception& e) {
    if (!aCatchOtherErrors) throw;
    r.Outcome = PostResult::Kind::OtherError;
    r.Code = 500;
    r.Body = e.Message();
  }
  return r;
}

// The refresh timer's interval for a lifetime in seconds; a lifetime too long
// for the 32-bit millisecond interval waits as long as the interval allows.
std::int32_t IntervalFor(std::int64_t aSeconds) {
  const std::int64_t ms = aSeconds * 1000;
  return ms > std::numeric_limits<std::int32_t>::max() ? std::numeric_limits<std::int32_t>::max()
                                                       : static_cast<std::int32_t>(ms);
}
}  // namespace

// ---------------------------------------------------------------------------

void TvynHTTPOAuth2_Options::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynHTTPOAuth2_Options>(aSource);
  ClientId = s.ClientId;
  ClientSecret = s.ClientSecret;
  Username = s.Username;
  Password = s.Password;
  GrantType = s.GrantType;
}

std::string TvynHTTPOAuth2_Options::State() {
  std::lock_guard<std::mutex> guard(FStateLock);
  if (FState.empty()) {
    // A version-4 GUID from the system's random source.
    std::random_device random;
    std::uint8_t bytes[16];
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(random());
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02X", bytes[i]);
    FState.assign(hex, 32);
  }
  return FState;
}

void TvynHTTPOAuth2_Options::ClearState() {
  std::lock_guard<std::mutex> guard(FStateLock);
  FState.clear();
}

TvynHTTPClient_Options::TvynHTTPClient_Options()
    : FLogOptions(std::make_unique<TvynHttpLogFile>()), FTLSOptions(std::make_unique<TvynIdHTTPTLS_Options>()) {}

void TvynHTTPClient_Options::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynHTTPClient_Options>(aSource);
  FTLSOptions->Assign(*s.FTLSOptions);
  FLogOptions->Assign(*s.FLogOptions);
}

// ---------------------------------------------------------------------------

TvynHTTPComponentClient_OAuth2::TvynHTTPComponentClient_OAuth2(TComponent* aOwner)
    : TvynHTTPComponentClient_OAuth(aOwner),
      FOAuth2Options(std::make_unique<TvynHTTPOAuth2_Options>()),
      FHTTPClientOptions(std::make_unique<TvynHTTPClient_Options>()) {}

TvynHTTPComponentClient_OAuth2::~TvynHTTPComponentClient_OAuth2() {
  // The timer first: a refresh still running on its thread reads the
  // options, and may arm a new timer as it ends.
  while (FreeTimer()) {
  }
  FHTTPClientOptions.reset();
  FOAuth2Options.reset();
}

void TvynHTTPComponentClient_OAuth2::Start() { DoStart(); }

void TvynHTTPComponentClient_OAuth2::Stop() {
  TvynHTTPComponentClient_OAuth::Stop();
  std::lock_guard<std::recursive_mutex> guard(FLock);
  Timer().SetEnabled(false);
}

bool TvynHTTPComponentClient_OAuth2::TimerEnabled() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return FTimer && FTimer->Enabled();
}

std::int32_t TvynHTTPComponentClient_OAuth2::TimerInterval() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return FTimer ? FTimer->Interval() : 0;
}

std::string TvynHTTPComponentClient_OAuth2::RefreshToken() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return FRefreshToken;
}

std::int32_t TvynHTTPComponentClient_OAuth2::ExpiresIn() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return FExpiresIn;
}

TvynTimer& TvynHTTPComponentClient_OAuth2::Timer() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (!FTimer) {
    FTimer = std::make_unique<TvynTimer>();
    FTimer->DebugName = kTimerName;
    FTimer->SetNotifyEvents(TwsNotifyEvent::neNoSync);
    FTimer->OnTimer = [this](TvynTimer*) {
      try {
        OnTimerEvent();
      } catch (Exception&) {
        throw;
      } catch (std::exception& e) {
        // Nothing above the timer's thread could report it.
        throw Exception(e.what());
      }
    };
    FTimer->OnException = [this](TvynTimer*, const Exception& E) { OnTimerExceptionEvent(E); };
  }
  return *FTimer;
}

bool TvynHTTPComponentClient_OAuth2::FreeTimer() {
  TvynTimer* timer;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    timer = FTimer.release();
  }
  // Outside the lock: a handler still running takes it.
  if (!timer) return false;
  if (timer->IsCurrentThread()) {
    // Freed from its own handler: it goes once its thread has ended.
    ::FreeTimer(timer);
    return false;
  }
  // Its destructor ends the thread and also waits for a handler in
  // progress: a refresh running there reads the options, which go next.
  std::unique_ptr<TvynTimer>{timer};
  return true;
}

void TvynHTTPComponentClient_OAuth2::ArmRefreshTimer(std::int32_t aSeconds) {
  TvynTimer* old = nullptr;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    // Disabling a timer ends its thread for good, so a timer that is enabled
    // (or was disabled before) is replaced by a fresh one.
    if (FTimer && (FTimer->Enabled() || FTimer->Terminated())) old = FTimer.release();
    TvynTimer& timer = Timer();
    timer.SetInterval(IntervalFor(aSeconds));
    timer.SetEnabled(true);
  }
  // Outside the lock; a handler in progress (this call may run inside it)
  // lets it go when its thread ends.
  if (old) ::FreeTimer(old);
}

void TvynHTTPComponentClient_OAuth2::OnTimerEvent() {
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    Timer().SetEnabled(false);
  }
  const std::string token = RefreshToken();
  if (!token.empty()) Refresh(token);
}

void TvynHTTPComponentClient_OAuth2::OnTimerExceptionEvent(const Exception& E) {
  if (OnAuthTokenError) OnAuthTokenError(this, kTimerException, E.Message(), std::string());
}

// ---------------------------------------------------------------------------

void TvynHTTPComponentClient_OAuth2::DoStart() {
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    FRefreshToken.clear();
  }
  try {
    if (OAuth2Options().GrantType == TvynOAuth2GrantTypes::auth2Code) {
      if (!StartLocalServer()) throw Exception(kNoLocalListener);
      DoAuthorizeCode();
    } else {
      // This grant never calls the listener back; its URL only goes along as
      // redirect_uri. A port taken by another program must not cost the
      // token, so a listener that cannot start is left stopped.
      try {
        StartLocalServer();
      } catch (Exception&) {
        StopLocalServer();
      }
      std::int32_t status = 0;
      std::string text;
      RequestAccessToken(std::string(), status, text);
    }
  } catch (Exception&) {
    StopLocalServer();
    throw;
  }
}

void TvynHTTPComponentClient_OAuth2::DoAuthorizeCode() {
  if (AuthorizationServerOptions().AuthURL.empty()) throw Exception(kAuthURLEmpty);
  if (AuthorizationServerOptions().TokenURL.empty()) throw Exception(kTokenURLEmpty);
  if (OAuth2Options().ClientId.empty()) throw Exception(kClientIdEmpty);
  OAuth2Options().ClearState();
  std::string url = GetAuthorizationURL();
  if (!DoBeforeAuthorizeCode(url)) return;
  if (!OpenURL(url)) throw Exception(kBrowserNotOpened);
}

std::string TvynHTTPComponentClient_OAuth2::GetAuthorizationURL() {
  std::string params = "response_type=code";
  if (!OAuth2Options().ClientId.empty()) params += "&client_id=" + OAuth2Options().ClientId;
  const std::string redirect = LocalServerOptions().GetURL();
  if (!redirect.empty()) params += "&redirect_uri=" + redirect;
  params += "&scope=" + AuthorizationServerOptions().GetScope();
  params += "&state=" + OAuth2Options().State();
  return AuthorizationServerOptions().AuthURL + "?" + TIdURI::ParamsEncode(params);
}

void TvynHTTPComponentClient_OAuth2::OnLocalServerRequestEvent(TvynWSConnectionServer*,
                                                               TIdHTTPRequestInfo* aRequestInfo,
                                                               TIdHTTPResponseInfo* aResponseInfo) {
  const TStrings& aParams = aRequestInfo->Params();
  std::string code, state, scope, error, errorDescription, errorURI;
  for (int i = 0; i < aParams.Count(); ++i) {
    const std::string& line = aParams[i];
    const std::size_t eq = line.find('=');
    const std::string name = line.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    if (name == "code")
      code = value;
    else if (name == "state")
      state = value;
    else if (name == "scope")
      scope = value;
    else if (name == "error")
      error = value;
    else if (name == "error_description")
      errorDescription = value;
    else if (name == "error_uri")
      errorURI = value;
  }
  // A redirect that does not carry this authorization's state was not asked
  // for by this client.
  if (state != OAuth2Options().State()) {
    aResponseInfo->SetResponseNo(500);
    aResponseInfo->ContentText.clear();
    return;
  }
  const std::string raw = aParams.Text();
  if (!error.empty()) {
    DoErrorAuthorizeCode(error, errorDescription, errorURI, state, raw);
    StopLocalServer();
    return;
  }
  DoAfterAuthorizeCode(code, state, scope, raw);
  std::int32_t status = 0;
  std::string text;
  RequestAccessToken(code, status, text);
  DoHTTPResponse(status, text);
  if (status != aResponseInfo->ResponseNo()) aResponseInfo->SetResponseNo(status);
  aResponseInfo->ContentText = text;
}

std::unique_ptr<TvynIdHTTP> TvynHTTPComponentClient_OAuth2::NewTokenClient() {
  auto http = std::make_unique<TvynIdHTTP>();
  if (!OAuth2Options().Username.empty()) {
    http->Request().BasicAuthentication = true;
    http->Request().Username = OAuth2Options().Username;
    http->Request().Password = OAuth2Options().Password;
  }
  http->Request().Accept = kAcceptJSON;
  http->Request().SetContentType(kFormContentType);
  http->SetTLSOptions(HTTPClientOptions().TLSOptions());
  const std::string& logFile = HTTPClientOptions().LogOptions().FileName;
  if (!logFile.empty()) {
    http->LogOptions().FileName = logFile;
    http->SetLog(true);
  }
  return http;
}

void TvynHTTPComponentClient_OAuth2::RequestAccessToken(const std::string& aCode, std::int32_t& aStatus,
                                                        std::string& aText) {
  aText.clear();
  std::unique_ptr<TvynIdHTTP> http = NewTokenClient();
  std::string parameters;
  if (OAuth2Options().GrantType == TvynOAuth2GrantTypes::auth2Code)
    parameters = "grant_type=authorization_code&code=" + aCode;
  else
    parameters = "grant_type=client_credentials&scope=" + AuthorizationServerOptions().GetScope();
  const std::string redirect = LocalServerOptions().GetURL();
  if (!redirect.empty()) parameters += "&redirect_uri=" + redirect;
  if (!OAuth2Options().ClientId.empty()) parameters += "&client_id=" + OAuth2Options().ClientId;
  if (!OAuth2Options().ClientSecret.empty()) parameters += "&client_secret=" + OAuth2Options().ClientSecret;

  std::string url = AuthorizationServerOptions().TokenURL;
  if (!DoBeforeAccessToken(url, parameters)) return;
  if (!IsHTTPS(url)) return;

  const PostResult r = PostForm(*http, url, parameters, true);
  aStatus = r.Code;
  switch (r.Outcome) {
    case PostResult::Kind::Answered:
      if (r.Code == 200)
        aText = kTokenSuccess;
      else
        DoErrorAccessToken(kInvalidRequest, r.Body, std::string(), std::string());
      ReadAccessToken(r.Body);
      break;
    case PostResult::Kind::ProtocolError:
      aText = r.Body;
      if (r.Code == 400)
        ReadAccessTokenError(r.Body);
      else
        DoErrorAccessToken(kInvalidRequest, r.Body, std::string(), std::string());
      break;
    case PostResult::Kind::OtherError:
      aText = r.Body;
      DoErrorAccessToken(kInvalidRequest, r.Body, std::string(), std::string());
      break;
  }
}

void TvynHTTPComponentClient_OAuth2::ReadAccessToken(const std::string& aBody) {
  const TokenAnswer t = ReadTokenAnswer(aBody);
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    FRefreshToken.clear();
  }
  if (!DoAfterAccessToken(t.access_token, t.token_type, t.expires_in, t.refresh_token, t.scope, aBody)) return;
  std::int32_t seconds = 0;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    FRefreshToken = t.refresh_token;
    if (!DecimalInt32(t.expires_in, FExpiresIn)) return;
    seconds = FExpiresIn;
  }
  if (seconds > 0) ArmRefreshTimer(seconds == std::numeric_limits<std::int32_t>::max() ? seconds : seconds + 1);
}

void TvynHTTPComponentClient_OAuth2::ReadAccessTokenError(const std::string& aBody) {
  const ErrorAnswer e = ReadErrorAnswer(aBody);
  DoErrorAccessToken(e.error, e.error_description, e.error_uri, aBody);
}

void TvynHTTPComponentClient_OAuth2::Refresh(const std::string& aRefreshToken) {
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    FRefreshToken = aRefreshToken;
  }
  std::unique_ptr<TvynIdHTTP> http = NewTokenClient();
  std::string parameters =
      "grant_type=refresh_token&refresh_token=" + aRefreshToken + "&scope=" + AuthorizationServerOptions().GetScope();
  if (!OAuth2Options().ClientId.empty()) parameters += "&client_id=" + OAuth2Options().ClientId;
  if (!OAuth2Options().ClientSecret.empty()) parameters += "&client_secret=" + OAuth2Options().ClientSecret;

  std::string url = AuthorizationServerOptions().TokenURL;
  if (!DoBeforeRefreshToken(url, parameters)) return;
  if (!IsHTTPS(url)) return;

  const PostResult r = PostForm(*http, url, parameters, false);
  if (r.Outcome == PostResult::Kind::ProtocolError) {
    if (r.Code == 400)
      ReadRefreshTokenError(r.Body);
    else
      DoErrorRefreshToken(kInvalidRequest, r.Body, std::string(), std::string());
  }
  if (http->ResponseCode() == 200) ReadRefreshToken(r.Body);
}

void TvynHTTPComponentClient_OAuth2::ReadRefreshToken(const std::string& aBody) {
  const TokenAnswer t = ReadTokenAnswer(aBody);
  if (!DoAfterRefreshToken(t.access_token, t.token_type, t.expires_in, t.refresh_token, t.scope, aBody)) return;
  std::int32_t seconds = 0;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    if (!t.refresh_token.empty()) FRefreshToken = t.refresh_token;
    if (DecimalInt32(t.expires_in, FExpiresIn)) seconds = FExpiresIn;
  }
  if (seconds > 0) ArmRefreshTimer(seconds);
}

void TvynHTTPComponentClient_OAuth2::ReadRefreshTokenError(const std::string& aBody) {
  const ErrorAnswer e = ReadErrorAnswer(aBody);
  DoErrorRefreshToken(e.error, e.error_description, e.error_uri, aBody);
}

// ---------------------------------------------------------------------------
// Steps that raise the events. Those with Handled answer "not handled".

bool TvynHTTPComponentClient_OAuth2::DoBeforeAuthorizeCode(std::string& URL) {
  bool handled = false;
  if (OnBeforeAuthorizeCode) OnBeforeAuthorizeCode(this, URL, handled);
  return !handled;
}

bool TvynHTTPComponentClient_OAuth2::DoAfterAuthorizeCode(const std::string& Code, const std::string& State,
                                                          const std::string& Scope, const std::string& RawParams) {
  bool handled = false;
  if (OnAfterAuthorizeCode) OnAfterAuthorizeCode(this, Code, State, Scope, RawParams, handled);
  return !handled;
}

void TvynHTTPComponentClient_OAuth2::DoErrorAuthorizeCode(const std::string& Error,
                                                          const std::string& Error_Description,
                                                          const std::string& Error_URI, const std::string& State,
                                                          const std::string& RawParams) {
  if (OnErrorAuthorizeCode) OnErrorAuthorizeCode(this, Error, Error_Description, Error_URI, State, RawParams);
  DoAuthTokenErrorEvent(Error, Error_Description, RawParams);
}

bool TvynHTTPComponentClient_OAuth2::DoBeforeAccessToken(std::string& URL, std::string& Parameters) {
  bool handled = false;
  if (OnBeforeAccessToken) OnBeforeAccessToken(this, URL, Parameters, handled);
  return !handled;
}

bool TvynHTTPComponentClient_OAuth2::DoAfterAccessToken(const std::string& Access_Token, const std::string& Token_Type,
                                                        const std::string& Expires_In, const std::string& Refresh_Token,
                                                        const std::string& Scope, const std::string& RawParams) {
  bool handled = false;
  if (OnAfterAccessToken)
    OnAfterAccessToken(this, Access_Token, Token_Type, Expires_In, Refresh_Token, Scope, RawParams, handled);
  if (!handled) DoAuthTokenEvent(Token_Type, Access_Token, RawParams);
  return !handled;
}

void TvynHTTPComponentClient_OAuth2::DoErrorAccessToken(const std::string& Error, const std::string& Error_Description,
                                                        const std::string& Error_URI, const std::string& RawParams) {
  if (OnErrorAccessToken) OnErrorAccessToken(this, Error, Error_Description, Error_URI, RawParams);
  DoAuthTokenErrorEvent(Error, Error_Description, RawParams);
}

bool TvynHTTPComponentClient_OAuth2::DoBeforeRefreshToken(std::string& URL, std::string& Parameters) {
  bool handled = false;
  if (OnBeforeRefreshToken) OnBeforeRefreshToken(this, URL, Parameters, handled);
  return !handled;
}

bool TvynHTTPComponentClient_OAuth2::DoAfterRefreshToken(const std::string& Access_Token, const std::string& Token_Type,
                                                         const std::string& Expires_In,
                                                         const std::string& Refresh_Token, const std::string& Scope,
                                                         const std::string& RawParams) {
  bool handled = false;
  if (OnAfterRefreshToken)
    OnAfterRefreshToken(this, Access_Token, Token_Type, Expires_In, Refresh_Token, Scope, RawParams, handled);
  if (!handled) DoAuthTokenEvent(Token_Type, Access_Token, RawParams);
  return !handled;
}

void TvynHTTPComponentClient_OAuth2::DoErrorRefreshToken(const std::string& Error, const std::string& Error_Description,
                                                         const std::string& Error_URI, const std::string& RawParams) {
  if (OnErrorRefreshToken) OnErrorRefreshToken(this, Error, Error_Description, Error_URI, RawParams);
  DoAuthTokenErrorEvent(Error, Error_Description, RawParams);
}

void TvynHTTPComponentClient_OAuth2::DoHTTPResponse(std::int32_t& Code, std::string& Text) {
  if (OnHTTPResponse) OnHTTPResponse(this, Code, Text);
}
