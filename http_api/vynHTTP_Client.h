// Client-side TLS and log options of the HTTP client component. The component
// itself (TvynIdHTTP) joins this unit with the HTTP client protocol.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Classes.h"

enum class TwsTLSVersions : std::uint8_t { tlsUndefined = 0, tls1_0 = 1, tls1_1 = 2, tls1_2 = 3, tls1_3 = 4 };
enum class TwsTLSIOHandler : std::uint8_t { iohOpenSSL = 0, iohSChannel = 1 };
enum class TwsOpenSSLAPI : std::uint8_t { oslAPI_1_0 = 0, oslAPI_1_1 = 1 };
enum class TwsOpenSSLLibPath : std::uint8_t { oslpNone = 0, oslpDefaultFolder = 1 };

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
