// TLS under the buffered I/O handler: the client-side handler (also made per
// accepted connection), the server-side handler that accepts connections and
// holds the shared context, and the objects between them and OpenSSL.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "platform/Classes.h"
#include "transport/vynIdIOHandlerStack.h"
#include "transport/vynIdSSLOpenSSLHeaders.h"
#include "transport/vynIdServerIOHandler.h"

enum class TIdSSLVersion : std::uint8_t {
  sslvSSLv2 = 0,
  sslvSSLv23 = 1,
  sslvSSLv3 = 2,
  sslvTLSv1 = 3,
  sslvTLSv1_1 = 4,
  sslvTLSv1_2 = 5,
  sslvTLSv1_3 = 6
};
enum class TIdSSLMode : std::uint8_t { sslmUnassigned = 0, sslmClient = 1, sslmServer = 2, sslmBoth = 3 };
enum class TIdSSLVerifyMode : std::uint8_t { sslvrfPeer = 0, sslvrfFailIfNoPeerCert = 1, sslvrfClientOnce = 2 };
enum class TIdSSLCtxMode : std::uint8_t { sslCtxClient = 0, sslCtxServer = 1 };

namespace detail {
// The method for a component's TLS version: a version asked for is the only
// one spoken; left open, the handshake settles on the highest both sides
// support.
constexpr TIdSSLVersion SSLVersionOf(TwsTLSVersions AVersion) {
  switch (AVersion) {
    case TwsTLSVersions::tls1_0:
      return TIdSSLVersion::sslvTLSv1;
    case TwsTLSVersions::tls1_1:
      return TIdSSLVersion::sslvTLSv1_1;
    case TwsTLSVersions::tls1_2:
      return TIdSSLVersion::sslvTLSv1_2;
    case TwsTLSVersions::tls1_3:
      return TIdSSLVersion::sslvTLSv1_3;
    case TwsTLSVersions::tlsUndefined:
      break;
  }
  return TIdSSLVersion::sslvSSLv23;
}
}  // namespace detail

namespace detail {
// A set with bit n for the enumeration value n.
template <class E>
class EnumSet {
public:
  constexpr EnumSet() = default;
  constexpr EnumSet(std::initializer_list<E> AValues) {
    for (E v : AValues) Include(v);
  }
  static constexpr EnumSet FromMask(std::uint32_t AMask) {
    EnumSet s;
    s.FBits = AMask;
    return s;
  }
  constexpr bool Contains(E AValue) const { return (FBits >> static_cast<unsigned>(AValue)) & 1u; }
  constexpr void Include(E AValue) { FBits |= 1u << static_cast<unsigned>(AValue); }
  constexpr void Exclude(E AValue) { FBits &= ~(1u << static_cast<unsigned>(AValue)); }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr std::uint32_t Mask() const { return FBits; }
  constexpr bool operator==(const EnumSet&) const = default;

private:
  std::uint32_t FBits = 0;
};
}  // namespace detail

using TIdSSLVersions = detail::EnumSet<TIdSSLVersion>;
using TIdSSLVerifyModeSet = detail::EnumSet<TIdSSLVerifyMode>;

class TIdX509;
class TIdSSLSocket;
class TIdSSLIOHandlerSocketOpenSSL;

// What OpenSSL's callbacks reach: implemented by both handlers.
class IIdSSLOpenSSLCallbackHelper {
public:
  virtual ~IIdSSLOpenSSLCallbackHelper() = default;
  virtual std::string ProvidePassword(bool AIsWrite) = 0;
  virtual void ReportStatus(SSL* ASSL, std::int32_t AWhere, std::int32_t ARet, const std::string& AStatusText) = 0;
  virtual bool ConfirmPeer(TIdX509* ACertificate, bool AOk, std::int32_t ADepth, std::int32_t AError) = 0;
  // The client handler itself; none for the server handler.
  virtual TIdSSLIOHandlerSocketOpenSSL* OwningHandler() = 0;
};

// ---------------------------------------------------------------------------
// Options

class TIdSSLOptions : public TPersistent {
public:
  TIdSSLOptions() = default;
  void Assign(const TPersistent& Source) override;

  TIdSSLVersion Method() const { return FMethod; }
  void SetMethod(TIdSSLVersion AValue);
  TIdSSLVersions SSLVersions() const { return FSSLVersions; }
  void SetSSLVersions(TIdSSLVersions AValue);

  std::string RootCertFile;
  std::string CertFile;
  std::string KeyFile;
  std::string DHParamsFile;
  TIdSSLMode Mode = TIdSSLMode::sslmUnassigned;
  std::int32_t VerifyDepth = 0;
  TIdSSLVerifyModeSet VerifyMode;
  std::string VerifyDirs;
  std::string CipherList;

private:
  TIdSSLVersion FMethod = TIdSSLVersion::sslvTLSv1;
  TIdSSLVersions FSSLVersions{TIdSSLVersion::sslvTLSv1};
};

// The options a handler makes for itself, marked with that handler.
class TIdSSLOptions_Internal : public TIdSSLOptions {
public:
  explicit TIdSSLOptions_Internal(const void* AOwnerHandler) : FOwnerHandler(AOwnerHandler) {}
  const void* OwnerHandler() const { return FOwnerHandler; }

private:
  const void* FOwnerHandler;
};

// ---------------------------------------------------------------------------
// Context

class TIdSSLContext {
public:
  // Binds and initialises OpenSSL; "Could not load SSL library." when that fails.
  TIdSSLContext();
  ~TIdSSLContext();
  TIdSSLContext(const TIdSSLContext&) = delete;
  TIdSSLContext& operator=(const TIdSSLContext&) = delete;

  void BuildContext(TIdSSLCtxMode AKind);
  bool LoadRootCert();
  bool LoadCert();
  bool LoadKey();
  bool LoadDHParams();
  void ApplyVerifyMode(TIdSSLVerifyModeSet AMode, bool AWithCallback);
  std::unique_ptr<TIdSSLContext> Clone() const;
  TStringList& ALPNProtocols();
  bool HasALPNProtocols() const { return FALPNProtocols && FALPNProtocols->Count() > 0; }

  TIdSSLVersion Method = TIdSSLVersion::sslvTLSv1;
  TIdSSLVersions SSLVersions{TIdSSLVersion::sslvTLSv1};
  TIdSSLMode Mode = TIdSSLMode::sslmUnassigned;
  std::string RootCertFile;
  std::string CertFile;
  std::string KeyFile;
  std::string DHParamsFile;
  std::int32_t VerifyDepth = 0;
  TIdSSLVerifyModeSet VerifyMode;
  std::string VerifyDirs;
  std::string CipherList;
  SSL_CTX* Context = nullptr;
  bool StatusInfoOn = false;
  bool VerifyOn = false;
  std::int32_t SessionId = 1;
  IIdSSLOpenSSLCallbackHelper* Parent = nullptr;
  // A client context made from options alone may be one that an earlier
  // context with the very same options (and root file content) built, shared
  // with it: building one costs more than the handshake it serves. Set by
  // the client handler for the context it makes per Open.
  bool ShareAlike = false;
  // The context is shared with others (read-only; a change makes it its own).
  bool Shared() const { return FShared; }

private:
  const SSL_METHOD* SelectMethod();
  // Everything that shapes a client context, as text; empty when the
  // context cannot be shared.
  std::string SharingKey(TIdSSLCtxMode AKind) const;
  void ApplyALPNList();
  bool LoadClientCAList();
  // Before a change: a shared context is replaced by one of this object's own.
  void OwnContext();
  // Gives the context the shared store of the system's roots.
  void UseDefaultRoots();
  std::unique_ptr<TStringList> FALPNProtocols;
  // Built without verification and without roots of its own: the system's
  // roots are attached when verification is switched on.
  bool FDefaultRootsPending = false;
  bool FShared = false;
};

// ---------------------------------------------------------------------------
// Views

class TIdSSLCipher {
public:
  explicit TIdSSLCipher(TIdSSLSocket* AOwner) : FSSLSocket(AOwner) {}
  std::string Description() const;
  std::string Name() const;
  std::int32_t Bits() const;
  std::string Version() const;

private:
  TIdSSLSocket* FSSLSocket;
};

class TIdX509Name {
public:
  explicit TIdX509Name(X509_NAME* AName) : FName(AName) {}
  std::string OneLine() const;
  std::uint32_t Hash() const;
  std::string HashAsString() const;

private:
  X509_NAME* FName;
};

class TIdX509Fingerprints {
public:
  explicit TIdX509Fingerprints(X509* AX509) : FX509(AX509) {}
  TIdBytes MD5() const;
  TIdBytes SHA1() const;
  TIdBytes SHA224() const;
  TIdBytes SHA256() const;
  TIdBytes SHA384() const;
  TIdBytes SHA512() const;
  std::string MD5AsString() const;
  std::string SHA1AsString() const;
  std::string SHA224AsString() const;
  std::string SHA256AsString() const;
  std::string SHA384AsString() const;
  std::string SHA512AsString() const;

private:
  X509* FX509;
};

// A view over one certificate; releases it when it owns it.
class TIdX509 {
public:
  TIdX509(X509* AX509, bool ACanFreeX509 = true);
  ~TIdX509();
  TIdX509(const TIdX509&) = delete;
  TIdX509& operator=(const TIdX509&) = delete;

  X509* Certificate() const { return FX509; }
  std::int32_t Version() const;
  TIdX509Name& Subject();
  TIdX509Name& Issuer();
  std::string SerialNumber() const;
  TIdX509Fingerprints& Fingerprints() { return FFingerprints; }
  TIdBytes Fingerprint() const { return FFingerprints.MD5(); }
  std::string FingerprintAsString() const { return FFingerprints.MD5AsString(); }
  // Local time; zero when unreadable.
  double notBefore() const;
  double notAfter() const;
  TStrings& DisplayInfo();

private:
  X509* FX509;
  bool FCanFreeX509;
  std::unique_ptr<TIdX509Name> FSubject, FIssuer;
  TIdX509Fingerprints FFingerprints;
  std::unique_ptr<TStringList> FDisplayInfo;
};

// ---------------------------------------------------------------------------
// Session

using TIdALPNSelectEvent = std::function<void(TPersistent* Sender, TStrings& aProtocols, std::string& aProtocol)>;

class TIdSSLSocket : public TPersistent {
public:
  explicit TIdSSLSocket(IIdSSLOpenSSLCallbackHelper* AParent) : Parent(AParent) {}
  ~TIdSSLSocket() override;

  void Connect(TIdStackSocketHandle ASocket);
  void Accept(TIdStackSocketHandle ASocket);
  // Positive: bytes read; 0: the peer closed TLS; below 0: failed (see
  // LastError).
  std::int32_t Recv(std::uint8_t* ABuffer, std::int32_t ALength);
  std::int32_t Recv(TIdBytes& ABuffer) { return Recv(ABuffer.data(), static_cast<std::int32_t>(ABuffer.size())); }
  std::int32_t Send(const TIdBytes& ABuffer, std::int32_t AOffset, std::int32_t ALength);
  TIdBytes GetSessionID() const;
  std::string GetSessionIDAsString() const;
  void SetCipherList(const std::string&) {}
  TIdX509* PeerCert();
  TIdSSLCipher* Cipher();

  // The SSL_get_error code of the last failed Recv or Send, and whether it
  // was the socket's receive or send time-out running out.
  int LastError() const { return FLastError; }
  bool LastTimedOut() const { return FLastTimedOut; }

  IIdSSLOpenSSLCallbackHelper* Parent;
  SSL* SSL_ = nullptr;
  TIdSSLContext* SSLContext = nullptr;
  std::string HostName;
  // The client checks the peer's certificate against HostName.
  bool VerifyHostName = false;
  std::string ALPNProtocol;
  TIdALPNSelectEvent OnALPNSelect;

  // Bytes received that a read returns without the socket: decrypted, or
  // read ahead and not yet decrypted.
  bool HasBufferedInput() const;
  // Whether the library's last receive from the socket took all it asked
  // for, so that the socket may hold more; true when the receives are not
  // watched (a client session, or a library without read callbacks).
  bool LastReceiveMayHaveLeftMore() const { return !FReceivesWatched || FLastReceiveFilled; }

private:
  void Free();
  bool TimedOut(int AErr) const;
  std::unique_ptr<TIdX509> FPeerCert;
  std::unique_ptr<TIdSSLCipher> FCipher;
  int FLastError = 0;
  bool FLastTimedOut = false;
  bool FReceivesWatched = false;
  bool FLastReceiveFilled = true;

  // Notes whether each receive of the library's socket filled its buffer.
  static long WatchReceives(BIO* ABio, int AOperation, const char* ABuffer, std::size_t ALength, int AArg,
                            long ALongArg, int AResult, std::size_t* ADone);

  friend class TIdSSLIOHandlerSocketOpenSSL;
};

// ---------------------------------------------------------------------------
// Handlers

class TIdSSLIOHandlerSocketBase : public TIdIOHandlerStack {
public:
  explicit TIdSSLIOHandlerSocketBase(TComponent* AOwner = nullptr) : TIdIOHandlerStack(AOwner) {}

  bool PassThrough() const { return FPassThrough; }
  virtual void SetPassThrough(bool AValue);
  bool IsPeer() const { return FIsPeer; }
  void SetIsPeer(bool AValue) { FIsPeer = AValue; }
  const std::string& URIToCheck() const { return FURIToCheck; }
  virtual void SetURIToCheck(const std::string& AValue) { FURIToCheck = AValue; }
  virtual TIdSSLIOHandlerSocketBase* Clone() = 0;
  virtual void StartSSL() = 0;
  // The library reads the socket itself and does not say how much it got.
  bool SourceMayHoldMore() const override { return FPassThrough ? TIdIOHandlerStack::SourceMayHoldMore() : true; }

protected:
  std::int32_t ReadDataFromSource(TIdBytes& VBuffer) override;
  std::int32_t ReadDataFromSourceInto(std::uint8_t* ABuffer, std::int32_t ALength) override;
  std::int32_t WriteDataToTarget(const TIdBytes& ABuffer, std::int32_t AOffset, std::int32_t ALength) override;
  // Once encryption is on, a file must pass through it.
  bool WritesPlainBytes() const override { return FPassThrough; }
  virtual std::int32_t RecvEnc(std::uint8_t* ABuffer, std::int32_t ALength) = 0;
  virtual std::int32_t SendEnc(const TIdBytes& ABuffer, std::int32_t AOffset, std::int32_t ALength) = 0;

  bool FPassThrough = true;
  bool FIsPeer = false;
  std::string FURIToCheck;
};

using TIdSSLStatusInfoEvent = std::function<void(const std::string& AMsg)>;
using TIdSSLStatusInfoExEvent =
    std::function<void(TPersistent* ASender, SSL* AsslSocket, std::int32_t AWhere, std::int32_t Aret,
                       const std::string& AType, const std::string& AMsg)>;
using TIdSSLGetPasswordEvent = std::function<void(std::string& Password)>;
using TIdSSLGetPasswordExEvent = std::function<void(TPersistent* ASender, std::string& VPassword, bool AIsWrite)>;
using TIdSSLVerifyPeerEvent =
    std::function<bool(TIdX509* Certificate, bool AOk, std::int32_t ADepth, std::int32_t AError)>;
using TIdSSLBeforeConnectEvent = std::function<void(TIdSSLIOHandlerSocketOpenSSL* ASender)>;

class TIdSSLIOHandlerSocketOpenSSL : public TIdSSLIOHandlerSocketBase, public IIdSSLOpenSSLCallbackHelper {
public:
  explicit TIdSSLIOHandlerSocketOpenSSL(TComponent* AOwner = nullptr);
  ~TIdSSLIOHandlerSocketOpenSSL() override;

  void Open() override;
  void Close() override;
  void AfterAccept() override;
  bool Readable(std::int32_t AMSec = IdTimeoutDefault) override;
  bool InputPending() override;
  bool SourceMayHoldMore() const override;
  void SetPassThrough(bool AValue) override;
  TIdSSLIOHandlerSocketBase* Clone() override;
  void StartSSL() override;
  std::string GetALPNProtocol() const;
  std::string GetSSLVersion() const;
  TStringList& ALPNProtocols();

  TIdSSLOptions& SSLOptions() { return *FSSLOptions; }
  // Shares AOptions (not owned); a handler's own options are freed.
  void SetSSLOptionsRef(TIdSSLOptions* AOptions);
  TIdSSLSocket* SSLSocket() const { return FSSLSocket.get(); }
  void SetSSLSocket(std::unique_ptr<TIdSSLSocket> ASocket) { FSSLSocket = std::move(ASocket); }
  TIdSSLContext* SSLContext() const { return FSSLContext; }
  // Uses AContext; owned when its Parent is this handler.
  void SetSSLContext(TIdSSLContext* AContext);

  TIdSSLStatusInfoEvent OnStatusInfo;
  TIdSSLStatusInfoExEvent OnStatusInfoEx;
  TIdSSLGetPasswordEvent OnGetPassword;
  TIdSSLGetPasswordExEvent OnGetPasswordEx;
  TIdSSLVerifyPeerEvent OnVerifyPeer;
  TIdSSLBeforeConnectEvent OnBeforeConnect;

  // IIdSSLOpenSSLCallbackHelper
  std::string ProvidePassword(bool AIsWrite) override;
  void ReportStatus(SSL* ASSL, std::int32_t AWhere, std::int32_t ARet, const std::string& AStatusText) override;
  bool ConfirmPeer(TIdX509* ACertificate, bool AOk, std::int32_t ADepth, std::int32_t AError) override;
  TIdSSLIOHandlerSocketOpenSSL* OwningHandler() override { return this; }

protected:
  void ConnectSocket() override;
  int CheckTransportError(int AResult) override;
  [[noreturn]] void RaiseTransportError(int AErr) override;
  std::int32_t RecvEnc(std::uint8_t* ABuffer, std::int32_t ALength) override;
  std::int32_t SendEnc(const TIdBytes& ABuffer, std::int32_t AOffset, std::int32_t ALength) override;
  bool ReceiveTimesOutAfter(std::int32_t ATimeout) const override;
  // Inside TLS a limited read waits in the socket's receive time-out, set
  // to the limit when it differs, rather than in a poll before every read.
  bool PrepareReceive(std::int32_t ATimeout) override;

  virtual void DoBeforeConnect();
  virtual void DoStatusInfo(const std::string& AMsg);
  virtual void DoGetPassword(std::string& APassword);
  virtual void DoGetPasswordEx(std::string& VPassword, bool AIsWrite);
  virtual bool DoVerifyPeer(TIdX509* ACertificate, bool AOk, std::int32_t ADepth, std::int32_t AError);
  virtual void BeginHandshake();
  void EnsureContext();

private:
  void FreeContext();
  void SetSocketTimeouts(std::int32_t AMs);

  std::unique_ptr<TIdSSLOptions> FOwnOptions;
  TIdSSLOptions* FSSLOptions;
  std::unique_ptr<TIdSSLSocket> FSSLSocket;
  TIdSSLContext* FSSLContext = nullptr;
  std::unique_ptr<TIdSSLContext> FOwnedContext;
  std::unique_ptr<TStringList> FALPNProtocols;
  // The receive and send time-out on the socket, in ms (0: none).
  std::int32_t FSocketTimeout = 0;
};

// The server side: a server I/O handler that accepts into TLS handlers and
// shares one context among them.
class TIdServerIOHandlerSSLBase : public TIdServerIOHandler {
public:
  explicit TIdServerIOHandlerSSLBase(TComponent* AOwner = nullptr) : TIdServerIOHandler(AOwner) {}
  virtual TIdSSLIOHandlerSocketBase* MakeClientIOHandler() = 0;
  // The per-yarn form makes the same handler.
  std::unique_ptr<TIdIOHandler> MakeClientIOHandler(TIdYarn* AYarn) override;
};

class TIdServerIOHandlerSSLOpenSSL : public TIdServerIOHandlerSSLBase, public IIdSSLOpenSSLCallbackHelper {
public:
  explicit TIdServerIOHandlerSSLOpenSSL(TComponent* AOwner = nullptr);
  ~TIdServerIOHandlerSSLOpenSSL() override;

  void Init() override;
  // The TCP server's accept: waits for the next connection until
  // AListenerThread is stopped (none then) and hands it over in
  // pass-through mode, after-accept step done; the HTTP server switches
  // TLS on in the connection's own thread, so a slow or bad handshake
  // holds up nobody else.
  std::unique_ptr<TIdIOHandler> Accept(TIdSocketHandle& AListener, TIdThread* AListenerThread, TIdYarn* AYarn) override;
  // One connection that is waiting on the listening socket, in pass-through
  // mode; none when nobody was waiting.
  TIdSSLIOHandlerSocketOpenSSL* Accept(TIdSocketHandle& AListener);
  using TIdServerIOHandlerSSLBase::MakeClientIOHandler;
  TIdSSLIOHandlerSocketBase* MakeClientIOHandler() override;
  void Shutdown() override;

  TIdSSLOptions& SSLOptions() { return *FSSLOptions; }
  TIdSSLContext* SSLContext() const { return FSSLContext.get(); }

  TIdSSLStatusInfoEvent OnStatusInfo;
  TIdSSLStatusInfoExEvent OnStatusInfoEx;
  TIdSSLGetPasswordEvent OnGetPassword;
  TIdSSLGetPasswordExEvent OnGetPasswordEx;
  TIdSSLVerifyPeerEvent OnVerifyPeer;
  bool Asynchronous = false;
  TIdALPNSelectEvent OnALPNSelect;

  // IIdSSLOpenSSLCallbackHelper
  std::string ProvidePassword(bool AIsWrite) override;
  void ReportStatus(SSL* ASSL, std::int32_t AWhere, std::int32_t ARet, const std::string& AStatusText) override;
  bool ConfirmPeer(TIdX509* ACertificate, bool AOk, std::int32_t ADepth, std::int32_t AError) override;
  TIdSSLIOHandlerSocketOpenSSL* OwningHandler() override { return nullptr; }

protected:
  virtual void DoStatusInfo(const std::string& AMsg);
  virtual void DoGetPassword(std::string& APassword);
  virtual void DoGetPasswordEx(std::string& VPassword, bool AIsWrite);
  virtual bool DoVerifyPeer(TIdX509* ACertificate, bool AOk, std::int32_t ADepth, std::int32_t AError);

private:
  // Shares the options and the context with an accepted handler and gives
  // it a session of this server.
  void SetUpAccepted(TIdSSLIOHandlerSocketOpenSSL& AHandler);

  std::unique_ptr<TIdSSLOptions_Internal> FSSLOptions;
  std::unique_ptr<TIdSSLContext> FSSLContext;
};

namespace detail {
// The status event's type and message for an info callback position.
void StatusInfoTypeAndMessage(SSL* ASSL, std::int32_t AWhere, std::int32_t ARet, std::string& VType, std::string& VMsg);
}  // namespace detail
