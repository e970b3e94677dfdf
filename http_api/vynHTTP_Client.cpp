#include "http_api/vynHTTP_Client.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>

#include "transport/vynIdLogFile.h"

void TvynSocketOpenSSL_Options::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynSocketOpenSSL_Options>(aSource);
  APIVersion = s.APIVersion;
  LibPath = s.LibPath;
}

void TvynSocketTLS_Options_Base::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynSocketTLS_Options_Base>(aSource);
  CertFile = s.CertFile;
  KeyFile = s.KeyFile;
  Password = s.Password;
  RootCertFile = s.RootCertFile;
  Version = s.Version;
  VerifyCertificate = s.VerifyCertificate;
  VerifyDepth = s.VerifyDepth;
}

void TvynSocketTLS_Options::Assign(const TPersistent& aSource) {
  if (const auto* s = dynamic_cast<const TvynSocketTLS_Options*>(&aSource)) {
    IOHandler = s->IOHandler;
    ALPNProtocols.Assign(s->ALPNProtocols);
    OpenSSL_Options.Assign(s->OpenSSL_Options);
    return;
  }
  TvynSocketTLS_Options_Base::Assign(aSource);
}

void TvynIdHTTPTLS_Options::Assign(const TPersistent& aSource) {
  if (const auto* s = dynamic_cast<const TvynTCPTLS_Options*>(&aSource)) {
    CertFile = s->CertFile;
    KeyFile = s->KeyFile;
    Password = s->Password;
    RootCertFile = s->RootCertFile;
    Version = s->Version;
    VerifyCertificate = s->VerifyCertificate;
    IOHandler = s->IOHandler;
    ALPNProtocols.Assign(s->ALPNProtocols);
    OpenSSL_Options.Assign(s->OpenSSL_Options);
    return;
  }
  TvynSocketTLS_Options::Assign(aSource);
}

void TvynHttpLogFile::Assign(const TPersistent& aSource) { FileName = AssignSource<TvynHttpLogFile>(aSource).FileName; }

// ---------------------------------------------------------------------------
// Token options

void TvynHTTPAuthentication_Token::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynHTTPAuthentication_Token>(aSource);
  OAuth = s.OAuth;
  JWT = s.JWT;
  ReadTimeout = s.ReadTimeout;
}

void TvynIdHTTPAuthentication_Options::Assign(const TPersistent& aSource) {
  Token.Assign(AssignSource<TvynIdHTTPAuthentication_Options>(aSource).Token);
}

// ---------------------------------------------------------------------------
// TvynIdHTTP

namespace {
constexpr const char* kUserAgent = "Mozilla/5.0 (Corvane 4.5.1)";
constexpr const char* kVersion = "4.5.1";
constexpr const char* kAuthTokenError = "Error %s. %s";
constexpr const char* kAuthorizationLine = "Authorization: ";
constexpr const char* kAuthorizationName = "Authorization";
constexpr const char* kNoJWT = "A JWT token source is not available in this build.";
constexpr const char* kNoSChannel = "The platform TLS engine is not available in this build.";

bool StartsWithNoCase(std::string_view s, std::string_view aPrefix) {
  if (s.size() < aPrefix.size()) return false;
  for (std::size_t i = 0; i < aPrefix.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(s[i])) != std::toupper(static_cast<unsigned char>(aPrefix[i])))
      return false;
  return true;
}

// The scheme of an absolute URL (a scheme and "://" before any "/", "?" or
// "#"); empty for a relative one.
std::string SchemeOf(std::string_view aURL) {
  const std::size_t sep = aURL.find("://");
  if (sep == std::string_view::npos || sep == 0) return {};
  if (aURL.substr(0, sep).find_first_of("/?#") != std::string_view::npos) return {};
  return std::string(aURL.substr(0, sep));
}

// The client's traffic log on a file, bytes as they are (line breaks kept).
std::unique_ptr<TIdConnectionIntercept> MakeLogIntercept(const std::string& AFileName) {
  auto log = std::make_unique<TvynIdLogFileClient>();
  log->SetFilename(AFileName);
  log->SetReplaceCRLF(false);
  log->SetActive(true);
  return log;
}

std::string ExecutableFolder() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}
}  // namespace

TvynIdHTTP::TvynIdHTTP(TComponent* AOwner)
    : TIdHTTP(AOwner),
      FLogOptions(std::make_unique<TvynHttpLogFile>()),
      FTLSOptions(std::make_unique<TvynIdHTTPTLS_Options>()),
      FAuthentication(std::make_unique<TvynIdHTTPAuthentication_Options>()) {
  Request().UserAgent = kUserAgent;
}

TvynIdHTTP::~TvynIdHTTP() {
  UnbindTokenSource();
  if (TComponent* source = Authentication().Token.OAuth) RemoveFreeNotification(source);
  // The connection goes before the handler and the intercept it uses.
  try {
    Disconnect(false);
  } catch (...) {
  }
  if (IOHandler() && IOHandler() == FTLSHandler.get()) SetIOHandler(nullptr);
  FreeLogIntercept();
}

std::string TvynIdHTTP::Version() const { return kVersion; }

void TvynIdHTTP::SetLog(bool AValue) {
  if (FLog && !AValue) FreeLogIntercept();
  FLog = AValue;
}

void TvynIdHTTP::FreeLogIntercept() {
  if (!FLogIntercept) return;
  if (Intercept() == FLogIntercept.get()) SetIntercept(nullptr);
  FLogIntercept.reset();
}

void TvynIdHTTP::OnGetPasswordEvent(std::string& Password) { Password = TLSOptions().Password; }

void TvynIdHTTP::OnAuthTokenEvent(TComponent*, const std::string& TokenType, const std::string& Token,
                                  const std::string&) {
  std::lock_guard<std::mutex> guard(FTokenLock);
  FAuthTokenType = TokenType;
  FAuthToken = Token;
  FTokenArrived.notify_all();
}

void TvynIdHTTP::OnAuthTokenErrorEvent(TComponent*, const std::string& Error, const std::string& ErrorDescription,
                                       const std::string&) {
  throw Exception(Format(kAuthTokenError, Error, ErrorDescription));
}

void TvynIdHTTP::UnbindTokenSource() {
  if (!FBoundSource) return;
  FBoundSource->OnAuthToken = std::move(FSavedOnAuthToken);
  FBoundSource->OnAuthTokenError = std::move(FSavedOnAuthTokenError);
  FSavedOnAuthToken = nullptr;
  FSavedOnAuthTokenError = nullptr;
  FBoundSource = nullptr;
}

void TvynIdHTTP::DoAuthToken() {
  TvynHTTPAuthentication_Token& t = Authentication().Token;
  if (!t.OAuth && !t.JWT) return;
  // A JWT component is not part of this system; refusing is clearer than
  // sending the request without the token it was meant to carry.
  if (!t.OAuth) throw Exception(kNoJWT);
  TvynHTTPComponentClientAuthToken_Base* source = t.OAuth;
  // Learn of the source's end so the reference never dangles.
  FreeNotification(source);
  bool haveToken;
  {
    std::lock_guard<std::mutex> guard(FTokenLock);
    haveToken = !FAuthToken.empty();
  }
  if (!haveToken) {
    FBoundSource = source;
    FSavedOnAuthToken = source->OnAuthToken;
    FSavedOnAuthTokenError = source->OnAuthTokenError;
    source->OnAuthToken = [this](TComponent* Sender, const std::string& TokenType, const std::string& Token,
                                 const std::string& Data) { OnAuthTokenEvent(Sender, TokenType, Token, Data); };
    source->OnAuthTokenError = [this](TComponent* Sender, const std::string& Error, const std::string& ErrorDescription,
                                      const std::string& Data) {
      OnAuthTokenErrorEvent(Sender, Error, ErrorDescription, Data);
    };
    try {
      source->Start();
      std::unique_lock<std::mutex> lock(FTokenLock);
      FTokenArrived.wait_for(lock, std::chrono::milliseconds(std::max<std::int32_t>(t.ReadTimeout, 0)),
                             [this] { return !FAuthToken.empty(); });
    } catch (...) {
      UnbindTokenSource();
      throw;
    }
    UnbindTokenSource();
  }
  std::string line;
  {
    std::lock_guard<std::mutex> guard(FTokenLock);
    // A token that did not arrive in time is not an error here: the request
    // goes without it and the server says what it thinks of that.
    if (FAuthToken.empty()) return;
    line = kAuthorizationLine + FAuthTokenType + " " + FAuthToken;
  }
  // The token replaces any Authorization line: with two the server would
  // pick one, and a stale one could win.
  TIdHeaderList& headers = Request().CustomHeaders();
  int named = 0;
  bool same = false;
  for (int i = 0; i < headers.Count(); ++i) {
    if (!SameText(headers.Names(i), kAuthorizationName)) continue;
    ++named;
    same = headers[i] == line;
  }
  if (named == 1 && same) return;
  for (int i = 0; i < named; ++i) headers.SetValue(kAuthorizationName, "");
  headers.Add(line);
}

void TvynIdHTTP::Notification(TComponent* AComponent, TOperation AOperation) {
  TIdHTTP::Notification(AComponent, AOperation);
  if (AOperation != TOperation::opRemove) return;
  if (AComponent == FBoundSource) {
    // Its events end with it: nothing to give back.
    FBoundSource = nullptr;
    FSavedOnAuthToken = nullptr;
    FSavedOnAuthTokenError = nullptr;
  }
  TvynHTTPAuthentication_Token& t = Authentication().Token;
  if (AComponent == t.OAuth) t.OAuth = nullptr;
  if (AComponent == t.JWT) t.JWT = nullptr;
}

std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> TvynIdHTTP::MakeTLSHandler() {
  const TvynIdHTTPTLS_Options& o = TLSOptions();
  if (o.IOHandler != TwsTLSIOHandler::iohOpenSSL) throw Exception(kNoSChannel);
  // Read when the library is first opened.
  SetOpenSSLAPIVersion(o.OpenSSL_Options.APIVersion);
  if (o.OpenSSL_Options.LibPath == TwsOpenSSLLibPath::oslpDefaultFolder) SetOpenSSLLibraryPath(ExecutableFolder());
  auto handler = std::make_unique<TIdSSLIOHandlerSocketOpenSSL>();
  handler->SetPassThrough(false);
  TIdSSLOptions& ssl = handler->SSLOptions();
  // Left open, the version is negotiated (the handler's own default would be
  // TLS 1.0 alone, which servers refuse today).
  ssl.SetMethod(detail::SSLVersionOf(o.Version));
  handler->ALPNProtocols().Assign(o.ALPNProtocols);
  ssl.Mode = TIdSSLMode::sslmClient;
  ssl.RootCertFile = o.RootCertFile;
  ssl.CertFile = o.CertFile;
  ssl.KeyFile = o.KeyFile;
  ssl.VerifyMode = o.VerifyCertificate ? TIdSSLVerifyModeSet{TIdSSLVerifyMode::sslvrfPeer} : TIdSSLVerifyModeSet{};
  handler->OnGetPassword = [this](std::string& Password) { OnGetPasswordEvent(Password); };
  return handler;
}

void TvynIdHTTP::FreeTLSHandler() {
  if (!FTLSHandler) return;
  if (IOHandler() == FTLSHandler.get()) {
    // A kept-alive TLS connection ends with its handler.
    try {
      Disconnect(false);
    } catch (...) {
    }
    SetIOHandler(nullptr);
  }
  FTLSHandler.reset();
}

void TvynIdHTTP::UseHandlerFor(const std::string& AURL) {
  // A relative URL goes where the previous one went: its scheme decides.
  std::string scheme = SchemeOf(AURL);
  if (scheme.empty()) scheme = URL().Protocol;
  if (StartsWithNoCase(scheme, "https")) {
    if (!FTLSHandler) {
      if (Connected()) Disconnect(false);
      FTLSHandler = MakeTLSHandler();
    }
    if (IOHandler() != FTLSHandler.get()) {
      if (Connected()) Disconnect(false);
      SetIOHandler(FTLSHandler.get());
    }
  } else {
    // A plain handler the component made itself stays for keep-alive.
    FreeTLSHandler();
  }
}

bool TvynIdHTTP::ConfirmRedirect(std::string& Location, std::string& VMethod, std::int32_t RedirectCount) {
  if (!TIdHTTP::ConfirmRedirect(Location, VMethod, RedirectCount)) return false;
  // A redirect from http to https needs the TLS handler before the exchange
  // connects again; one to http keeps the TLS handler, which carries plain
  // traffic when TLS is not asked for.
  const std::string scheme = SchemeOf(Location);
  if (StartsWithNoCase(scheme, "https") && IOHandler() != FTLSHandler.get()) {
    if (Connected()) Disconnect(false);
    if (!FTLSHandler) FTLSHandler = MakeTLSHandler();
    SetIOHandler(FTLSHandler.get());
  }
  return true;
}

void TvynIdHTTP::PerformRequest(const std::string& AMethod, const std::string& AURL, TStream* ASource,
                                TStream* AResponseContent, const TIdHTTPIgnoreReplies& AIgnoreReplies) {
  DoAuthToken();
  if (FLog) {
    if (!FLogIntercept) {
      FLogIntercept = MakeLogIntercept(LogOptions().FileName);
      SetIntercept(FLogIntercept.get());
    }
  } else {
    FreeLogIntercept();
  }
  UseHandlerFor(AURL);
  TIdHTTP::PerformRequest(AMethod, AURL, ASource, AResponseContent, AIgnoreReplies);
}
