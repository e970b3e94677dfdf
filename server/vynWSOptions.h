// The server component's option objects and enumerations. Each option object
// is plain data owned by the component; Assign copies every member from an
// object of the same class (the TLS options also accept their base class).
#pragma once

#include <cstdint>
#include <string>

#include "platform/Classes.h"
#include "transport/vynBase_Classes.h"
// TwsTLSVersions, TwsOpenSSLAPI, TwsOpenSSLLibPath.
#include "transport/vynIdSSLOpenSSLHeaders.h"

// The server software name of every response, the realm of a refused
// request and the name in built-in texts.
inline constexpr const char* kWSServerSoftware = "Corvane 4.5.1";

enum class TwsIOHandler : std::uint8_t { iohDefault, iohIOCP };
enum class TwsServerType : std::uint8_t { wsTCP, wsHTTP };
enum class TwsFragmentedMessages : std::uint8_t { frgOnlyBuffer, frgOnlyFragmented, frgAll };
enum class TwsQueueMsgLevels : std::uint8_t { qmNone, qmLevel0, qmLevel1, qmLevel2 };
enum class TwsHTTP2FragmentedData : std::uint8_t { h2fdOnlyBuffer, h2fdOnlyFragmented, h2fdAll };
enum class TwsPostStreamType : std::uint8_t { pstMemoryStream, pstFileStream };
enum class TwsTransport : std::uint8_t {
  trpUndefined,
  trpRFC6455,
  trpHixie76,
  trpFlash,
  trpSSE,
  trpTCP,
  trpHTTP,
  trpRFC8441,
  trpHTTP2,
  trpUDP,
  trpQUIC
};
enum class TwsAuthentication : std::uint8_t { authNone, authSession, authURL, authBasic, authOAuth2, authJWT };

// ---------------------------------------------------------------------------
// TLS

class TvynOpenSSLServer_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  TwsOpenSSLAPI APIVersion = TwsOpenSSLAPI::oslAPI_1_0;
  TwsOpenSSLLibPath LibPath = TwsOpenSSLLibPath::oslpNone;
  bool ECDHE = false;
};

class TvynTCPTLS_Options_Base : public TPersistent {
public:
  // Copies the files, the pass phrase, Version and the verification
  // settings from any TLS options object.
  void Assign(const TPersistent& aSource) override;
  std::string CertFile;
  std::string KeyFile;
  std::string RootCertFile;
  std::string Password;
  bool VerifyCertificate = false;
  std::int32_t VerifyDepth = 0;
  TwsTLSVersions Version = TwsTLSVersions::tlsUndefined;
};

class TvynWSSSL_Options : public TvynTCPTLS_Options_Base {
public:
  // From another TvynWSSSL_Options, also Port and OpenSSL_Options.
  void Assign(const TPersistent& aSource) override;
  // The port on which TLS is spoken; 0: every port.
  std::int32_t Port = 0;
  TvynOpenSSLServer_Options OpenSSL_Options;
};

// ---------------------------------------------------------------------------
// Connections

class TvynWSOptionsServer : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  // Wait for data on a connection in ms; 0 or less reads as 1.
  std::int32_t ReadTimeOut() const { return FReadTimeOut > 0 ? FReadTimeOut : 1; }
  void SetReadTimeOut(std::int32_t aValue) { FReadTimeOut = aValue; }

  bool CleanDisconnect = false;
  TwsFragmentedMessages FragmentedMessages = TwsFragmentedMessages::frgOnlyBuffer;
  bool HTMLFiles = false;
  bool JavascriptFiles = true;
  // Above 0: the send time-out of every new connection, in ms.
  std::int32_t WriteTimeOut = 0;
  bool RaiseDisconnectExceptions = true;
  bool ValidateUTF8 = false;

private:
  std::int32_t FReadTimeOut = 10;
};

class TvynWSThreadPool_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  std::int32_t MaxThreads = 0;
  std::int32_t PoolSize = 32;
};

class TvynWSIOHandler_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  struct TIOCP {
    std::int32_t IOCPThreads = 0;
    std::int32_t WorkOpThreads = 0;
    std::int32_t TimeOut = 0;
  };
  TwsIOHandler IOHandlerType = TwsIOHandler::iohDefault;
  TIOCP IOCP;
};

class TvynWSSecurity_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  // Comma-separated origin patterns; empty accepts any origin.
  std::string OriginsAllowed;
};

class TvynWSAuthenticationServer_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  struct TEnabledOnly {
    bool Enabled = false;
  };
  struct TOAuth {
    // An OAuth2 server component of the application; only referenced.
    TComponent* OAuth2 = nullptr;
  };
  struct TJWT {
    TComponent* JWT = nullptr;
  };
  bool Enabled = false;
  bool AllowNonAuth = false;
  // user=password lines.
  TStringList AuthUsers;
  TEnabledOnly URL{true};
  TEnabledOnly Session{true};
  TEnabledOnly Basic{false};
  TOAuth OAuth;
  TJWT JWT;
};

class TvynWSFallBack_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  struct TFlash {
    bool Enabled = false;
    std::string Domain = "*";
    std::string Ports = "*";
  };
  struct TServerSentEvents {
    bool Enabled = false;
    std::int32_t Retry = 3000;
  };
  TFlash Flash;
  TServerSentEvents ServerSentEvents;
};

class TvynWSQueueServer_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  struct TQueue {
    TwsQueueMsgLevels Level = TwsQueueMsgLevels::qmNone;
  };
  TQueue Text;
  TQueue Binary;
  TQueue Ping;
  // Whether any kind of message is queued.
  bool Any() const {
    return Text.Level != TwsQueueMsgLevels::qmNone || Binary.Level != TwsQueueMsgLevels::qmNone ||
           Ping.Level != TwsQueueMsgLevels::qmNone;
  }
};

class TvynWSHTTP2Server_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  struct TAltSvc {
    bool Enabled = true;
  };
  struct TEvents {
    bool OnConnect = false;
    bool OnDisconnect = false;
  };
  struct TSettings {
    std::int32_t HeaderTableSize = 4096;
    bool EnablePush = true;
    std::int32_t MaxConcurrentStreams = 2147483647;
    std::int32_t InitialWindowSize = 65535;
    std::int32_t MaxFrameSize = 16384;
    std::int32_t MaxHeaderListSize = 2147483647;
    bool EnableConnectProtocol = false;
  };
  bool Enabled = false;
  TwsHTTP2FragmentedData FragmentedData = TwsHTTP2FragmentedData::h2fdOnlyBuffer;
  TAltSvc AltSvc;
  TEvents Events;
  TSettings Settings;
};

class TvynHTTPUploadFilesServer : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  TwsPostStreamType StreamType = TwsPostStreamType::pstMemoryStream;
  std::int64_t MinSize = 0;
  bool RemoveBoundaries = true;
  std::string SaveDirectory;
};

class TvynWSThrottle : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  bool Enabled = false;
  std::int64_t BitsPerSec = 0;
};

class TvynWSLoadBalancerServer_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  bool Enabled = false;
};

class TvynWSHeartBeat_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  bool Enabled = false;
  // Seconds.
  std::int32_t Interval = 300;
  std::int32_t Timeout = 0;
};

class TvynTCPKeepAlive : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  bool Enabled = false;
  // Milliseconds.
  std::int32_t Time = 7200000;
  std::int32_t Interval = 1000;
};

class TvynWSWatchDogServer_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  struct TMonitor {
    bool Enabled = false;
    // Seconds.
    std::int32_t Timeout = 10;
  };
  bool Enabled = false;
  // Seconds.
  std::int32_t Interval = 60;
  std::int32_t Attempts = 0;
  TMonitor Monitor;
};

class TvynWSOptimization_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  struct TConnections {
    bool Enabled = true;
    std::int32_t CacheSize = 100;
    std::int32_t GroupLevel = 1;
  };
  struct TChannels {
    bool Enabled = true;
  };
  struct TConnectionsFree {
    bool Enabled = true;
    // Seconds.
    std::int32_t Interval = 60;
  };
  TConnections Connections;
  TChannels Channels;
  TConnectionsFree ConnectionsFree;
};

class TvynWSLogFile : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  bool Enabled = false;
  std::string FileName;
  bool UnMaskFrames = true;
};

class TvynWSSpecifications : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  struct TDrafts {
    bool Hixie76 = true;
  };
  bool RFC6455 = true;
  TDrafts Drafts;
};
