// The server component's connection object: one per accepted TCP
// connection, made at connection set-up and kept as the context's Data. It
// holds what the dispatch needs (request lines gathered, transport kind,
// flags, counters, the Alt-Svc line) and, once WebSocket framing arrives, the
// frame state; the chain of classes keeps the levels apart so that framing
// plugs in below TvynWSConnectionServer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Classes.h"
#include "server/vynWSForward.h"
#include "server/vynWSOptions.h"
#include "transport/vynIdHeaderList.h"
#include "transport/vynIdSocketHandle.h"

class TIdContext;
class TIdTCPConnection;
class TIdIOHandler;

// Socket level: identity, peer and local addresses, counters, transport kind.
class TvynSocketConnection_Base : public TPersistent {
public:
  TvynSocketConnection_Base() = default;
  TvynSocketConnection_Base(const TvynSocketConnection_Base&) = delete;
  TvynSocketConnection_Base& operator=(const TvynSocketConnection_Base&) = delete;

  // 32 hexadecimal digits, made on the first read and fixed from then on.
  std::string Guid() const;
  std::string IP() const { return FIP; }
  std::string LocalIP() const { return FLocalIP; }
  std::int32_t Port() const { return FPort; }
  std::int32_t LocalPort() const { return FLocalPort; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  TwsTransport Transport() const { return FTransport.load(); }
  void SetTransport(TwsTransport aValue) { FTransport.store(aValue); }
  bool IsInternal() const { return FIsInternal.load(); }
  void SetIsInternal(bool aValue) { FIsInternal.store(aValue); }
  bool Disconnected() const { return FDisconnected.load(); }
  void SetDisconnected(bool aValue) { FDisconnected.store(aValue); }
  // Events of this connection queued to the UI thread and not yet run; the
  // object outlives them.
  std::int32_t PendingEvents() const { return FPending->load(); }
  void AddPendingEvent() { ++*FPending; }
  std::shared_ptr<std::atomic<std::int32_t>> PendingCounter() const { return FPending; }
  std::int64_t RecBytes() const { return FRecBytes.load(); }
  std::int64_t SendBytes() const { return FSendBytes.load(); }
  void AddRecBytes(std::int64_t aCount) { FRecBytes += aCount; }
  void AddSendBytes(std::int64_t aCount) { FSendBytes += aCount; }

  // An owner-defined object; only referenced.
  TPersistent* Data = nullptr;

protected:
  mutable std::mutex FGuidLock;
  mutable std::string FGuid;
  std::string FIP, FLocalIP;
  std::int32_t FPort = 0, FLocalPort = 0;
  TIdIPVersion FIPVersion = TIdIPVersion::Id_IPv4;
  std::atomic<TwsTransport> FTransport{TwsTransport::trpUndefined};
  std::atomic<bool> FIsInternal{false};
  std::atomic<bool> FDisconnected{false};
  std::atomic<std::int64_t> FRecBytes{0};
  std::atomic<std::int64_t> FSendBytes{0};
  std::shared_ptr<std::atomic<std::int32_t>> FPending = std::make_shared<std::atomic<std::int32_t>>(0);
};

class TvynSocketConnection : public TvynSocketConnection_Base {};
class TvynTCPConnection_Base : public TvynSocketConnection {};
class TvynTCPConnection : public TvynTCPConnection_Base {};

// WebSocket level: the state the handshake and framing use. Plain HTTP
// connections never become enabled.
class TvynWSConnection : public TvynTCPConnection {
public:
  bool Enabled() const { return FEnabled.load(); }
  void SetEnabled(bool aValue) { FEnabled.store(aValue); }
  std::string Protocol() const;
  void SetProtocol(const std::string& aValue);
  std::int32_t CloseCode() const { return FCloseCode.load(); }
  std::string CloseReason() const;
  // The last error text (the error path sets it before OnError).
  std::string MsgError() const;
  void SetMsgError(const std::string& aValue);

  bool ValidateUTF8 = false;
  bool RaiseDisconnectExceptions = true;
  TwsFragmentedMessages FragmentedMessages = TwsFragmentedMessages::frgOnlyBuffer;
  bool CleanDisconnect = true;
  bool Masked = false;
  TvynWSQueueServer_Options QueueOptions;

protected:
  mutable std::mutex FTextLock;
  std::atomic<bool> FEnabled{false};
  std::string FProtocol;
  std::atomic<std::int32_t> FCloseCode{0};
  std::string FCloseReason;
  std::string FMsgError;
};

class TvynWSConnection_Abstract : public TvynWSConnection {};
class TvynWSConnection_Base_HTTP2 : public TvynWSConnection_Abstract {};

// Transport level: the TCP connection, the request lines and the read
// settings.
class TvynWSConnection_Transport : public TvynWSConnection_Base_HTTP2 {
public:
  TIdTCPConnection* TCPConnection() const { return FTCPConnection; }
  // The request's lines as gathered by the execute step (not consumed).
  TIdHeaderList& HeadersRequest() { return FHeadersRequest; }
  // The "Alt-Svc: ..." line added to every handled response; empty: none.
  const std::string& AltSvc() const { return FAltSvc; }
  void SetAltSvc(const std::string& aValue) { FAltSvc = aValue; }
  std::int32_t ReadTimeOut() const { return FReadTimeOut; }
  void SetReadTimeOut(std::int32_t aValue) { FReadTimeOut = aValue > 0 ? aValue : 1; }
  std::int32_t ReadBufferSize = 16384;

  // Marks the connection disconnected and ends it. From the connection's
  // own thread the socket is closed; from any other thread it is shut down
  // and its own thread closes it. A second call while one runs is ignored.
  void Disconnect(std::int32_t aCloseCode = 1000);
  // Plain HTTP and every transport without frames: the same as Disconnect.
  virtual void Close(std::int32_t aCloseCode = 1000);
  // Writes a complete HTTP/1.1 200 response with this content.
  void SendResponseHTTP(const std::string& aContent, const std::string& aContentType);

protected:
  TIdTCPConnection* FTCPConnection = nullptr;
  TIdHeaderList FHeadersRequest{TIdHeaderQuotingType::QuoteHTTP};
  std::string FAltSvc;
  std::int32_t FReadTimeOut = 10;
  std::atomic<bool> FDoDisconnect{false};
  std::thread::id FOwnerThread;
};

namespace detail {
// Closes a connection's socket from its own thread, also when its handler
// was never marked open (accepted handlers are not).
void CloseTCPConnection(TIdTCPConnection* aConnection);
// Empties what was received and not yet read (without reading on, as the
// transport's DiscardAll does until the peer closes).
void ClearInput(TIdIOHandler* aIO);
}  // namespace detail

struct TvynWSConnectionAuthentication {
  bool Authenticated = false;
  TwsAuthentication AuthType = TwsAuthentication::authNone;
  std::string User;
  std::string Password;
  std::string SessionID;
};

class TvynWSConnectionServer : public TvynWSConnection_Transport {
public:
  // Made on the connection's own thread; AContext and its connection outlive
  // the object (tear-down frees it first).
  explicit TvynWSConnectionServer(TIdContext* aContext);

  TIdContext* Context() const { return FContext; }
  bool ServerSSL() const { return FServerSSL; }
  void SetServerSSL(bool aValue) { FServerSSL = aValue; }
  const std::string& ServerOriginsAllowed() const { return FServerOriginsAllowed; }
  void SetServerOriginsAllowed(const std::string& aValue) { FServerOriginsAllowed = aValue; }
  TvynWSConnectionAuthentication& Authentication() { return FAuthentication; }
  // Where the connection's requests are forwarded when the owner asks.
  TvynWSServerForwardHTTP& Forward() { return FForward; }
  std::int32_t AuthenticationCloseCode() const { return FAuthenticationCloseCode; }
  // A code other than 1000 closes the connection with it right after its
  // handshake.
  void SetAuthenticationCloseCode(std::int32_t aCloseCode) { FAuthenticationCloseCode = aCloseCode; }

  // Empty waits counted by the execute step, and one-byte TLS starts.
  std::int32_t ReadCount = 0;
  std::int32_t ReadStartSSLCount = 0;
  // When a connection that has sent nothing is given up (steady clock, ms);
  // 0: not set yet.
  std::int64_t FirstBytesDeadline = 0;

private:
  TIdContext* FContext;
  bool FServerSSL = false;
  std::string FServerOriginsAllowed;
  TvynWSConnectionAuthentication FAuthentication;
  std::int32_t FAuthenticationCloseCode = 1000;
  TvynWSServerForwardHTTP FForward;
};
