// The HTTP client component (TvynIdHTTP): the HTTP client protocol with TLS
// options it builds a TLS handler from, a traffic log, a token header taken
// from a token component, and a fixed user agent. Also the client-side TLS
// options classes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "http_api/vynHTTP_Classes.h"
#include "platform/Classes.h"
#include "platform/DateUtils.h"
#include "platform/SysUtils.h"
#include "transport/vynIdHTTP.h"
#include "transport/vynIdSSLOpenSSL.h"
#include "transport/vynIdSSLOpenSSLHeaders.h"

enum class TwsTLSIOHandler : std::uint8_t { iohOpenSSL = 0, iohSChannel = 1 };
// TwsOpenSSLAPI, TwsOpenSSLLibPath and TwsTLSVersions come with the OpenSSL
// binding.

class TvynSocketOpenSSL_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  TwsOpenSSLAPI APIVersion = TwsOpenSSLAPI::oslAPI_1_0;
  TwsOpenSSLLibPath LibPath = TwsOpenSSLLibPath::oslpNone;
};

class TvynOpenSSLClient_Options : public TvynSocketOpenSSL_Options {};

class TvynSocketTLS_Options_Base : public TPersistent {
public:
  // From any options of this family: the four texts, Version,
  // VerifyCertificate and VerifyDepth.
  void Assign(const TPersistent& aSource) override;
  std::string CertFile;
  std::string KeyFile;
  std::string Password;
  std::string RootCertFile;
  bool VerifyCertificate = false;
  std::int32_t VerifyDepth = 0;
  TwsTLSVersions Version = TwsTLSVersions::tlsUndefined;
};

// The platform TLS engine (iohSChannel) is not part of this system, so its
// options object is not kept here.
class TvynSocketTLS_Options : public TvynSocketTLS_Options_Base {
public:
  // From another TvynSocketTLS_Options only IOHandler, ALPNProtocols and
  // OpenSSL_Options; from the base family the base rule.
  void Assign(const TPersistent& aSource) override;
  TStringList ALPNProtocols;
  TwsTLSIOHandler IOHandler = TwsTLSIOHandler::iohOpenSSL;
  TvynOpenSSLClient_Options OpenSSL_Options;
};

class TvynTCPTLS_Options : public TvynSocketTLS_Options {};

class TvynIdHTTPTLS_Options : public TvynTCPTLS_Options {
public:
  // From TCP or HTTP TLS options: everything but VerifyDepth.
  void Assign(const TPersistent& aSource) override;
};

class TvynHttpLogFile : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  std::string FileName;
};

// Where a token comes from: an OAuth2 client, or a JWT component (which this
// system does not have). Neither is owned.
class TvynHTTPAuthentication_Token : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  TvynHTTPComponentClientAuthToken_Base* OAuth = nullptr;
  TvynHTTPComponentClientAuthToken_Base* JWT = nullptr;
  // How long a request waits for a token, in milliseconds.
  std::int32_t ReadTimeout = 60000;
};

class TvynIdHTTPAuthentication_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  TvynHTTPAuthentication_Token Token;
};

class TvynIdHTTP : public TIdHTTP {
public:
  explicit TvynIdHTTP(TComponent* AOwner = nullptr);
  ~TvynIdHTTP() override;

  bool Log() const { return FLog; }
  // Switching off removes and frees the log intercept.
  void SetLog(bool AValue);
  TvynHttpLogFile& LogOptions() { return *FLogOptions; }
  void SetLogOptions(const TvynHttpLogFile& AValue) { FLogOptions->Assign(AValue); }
  TvynIdHTTPTLS_Options& TLSOptions() { return *FTLSOptions; }
  void SetTLSOptions(const TvynIdHTTPTLS_Options& AValue) { FTLSOptions->Assign(AValue); }
  TvynIdHTTPAuthentication_Options& Authentication() { return *FAuthentication; }
  void SetAuthentication(const TvynIdHTTPAuthentication_Options& AValue) { FAuthentication->Assign(AValue); }
  std::string Version() const;
  // The TLS handler once an HTTPS request made it; none otherwise.
  TIdSSLIOHandlerSocketBase* TLSHandler() const { return FTLSHandler.get(); }

  // Takes the token, sets the traffic log and the I/O handler up for the
  // URL, then runs the exchange.
  void PerformRequest(const std::string& AMethod, const std::string& AURL, TStream* ASource, TStream* AResponseContent,
                      const TIdHTTPIgnoreReplies& AIgnoreReplies) override;

protected:
  virtual void OnGetPasswordEvent(std::string& Password);
  virtual void OnAuthTokenEvent(TComponent* Sender, const std::string& TokenType, const std::string& Token,
                                const std::string& Data);
  virtual void OnAuthTokenErrorEvent(TComponent* Sender, const std::string& Error, const std::string& ErrorDescription,
                                     const std::string& Data);
  virtual void DoAuthToken();
  void Notification(TComponent* AComponent, TOperation AOperation) override;
  bool ConfirmRedirect(std::string& Location, std::string& VMethod, std::int32_t RedirectCount) override;

private:
  // The handler for a URL: TLS for https (made once from TLSOptions), the
  // plain default for anything else.
  void UseHandlerFor(const std::string& AURL);
  std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> MakeTLSHandler();
  void FreeTLSHandler();
  void FreeLogIntercept();
  // Gives the token source's events back as they were before DoAuthToken
  // took them.
  void UnbindTokenSource();

  std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> FTLSHandler;
  std::unique_ptr<TIdConnectionIntercept> FLogIntercept;
  bool FLog = false;
  std::unique_ptr<TvynHttpLogFile> FLogOptions;
  std::unique_ptr<TvynIdHTTPTLS_Options> FTLSOptions;
  // The token and its type arrive together, possibly on another thread.
  std::mutex FTokenLock;
  std::condition_variable FTokenArrived;
  std::string FAuthToken;
  std::string FAuthTokenType;
  TDateTime FAuthTokenExpiry = 0;
  std::unique_ptr<TvynIdHTTPAuthentication_Options> FAuthentication;
  // The source whose events point here, and what they held before.
  TvynHTTPComponentClientAuthToken_Base* FBoundSource = nullptr;
  TvynOnAuthToken FSavedOnAuthToken;
  TvynOnAuthTokenError FSavedOnAuthTokenError;
};
