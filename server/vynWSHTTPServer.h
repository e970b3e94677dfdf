// The server component: an HTTP/1.x server (and, with later issues, a
// WebSocket and HTTP/2 server) around the transport's HTTP server. It owns
// its options, makes the TLS server handler from its TLS options at every
// activation, starts and stops asynchronously on short-lived threads that it
// joins before it goes, turns every accepted connection into a connection
// object and runs the dispatch of each connection's first bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Classes.h"
#include "server/vynWSConnection.h"
#include "server/vynWSDispatch.h"
#include "server/vynWSForward.h"
#include "server/vynWSOptions.h"
#include "server/vynWSSessionIds.h"
#include "transport/vynBase_Classes.h"
#include "transport/vynIdCustomHTTPServer.h"
#include "transport/vynIdSSLOpenSSL.h"
#include "transport/vynIdScheduler.h"

class TvynWSServer_Talvex_Base;

using TvynWSNotifyEvent = std::function<void(TComponent* Sender)>;
using TvynWSConnectionEvent = std::function<void(TvynWSConnectionServer* Connection)>;
using TvynWSDisconnectEvent = std::function<void(TvynWSConnectionServer* Connection, std::int32_t Code)>;
using TvynWSMessageEvent = std::function<void(TvynWSConnectionServer* Connection, const std::string& Text)>;
using TvynWSBinaryEvent = std::function<void(TvynWSConnectionServer* Connection, TMemoryStream& Data)>;
using TvynWSErrorEvent = std::function<void(TvynWSConnectionServer* Connection, const std::string& Error)>;
// Connection is none for failures that belong to no connection (a start
// that failed, say).
using TvynWSExceptionEvent = std::function<void(TvynWSConnectionServer* Connection, const Exception& E)>;
using TvynWSTCPConnectEvent = std::function<void(TvynWSConnectionServer* Connection, bool& Accept)>;
using TvynWSHandshakeEvent = std::function<void(TvynWSConnectionServer* Connection, TStrings& Headers)>;
using TvynWSAuthenticationEvent = std::function<void(TvynWSConnectionServer* Connection, const std::string& aUser,
                                                     const std::string& aPassword, bool& Authenticated)>;
using TvynWSUnknownAuthenticationEvent =
    std::function<void(TvynWSConnectionServer* Connection, const std::string& AuthType, const std::string& AuthData,
                       std::string& aUser, std::string& aPassword, bool& Authenticated)>;
using TvynWSSSLGetHandlerEvent =
    std::function<void(TComponent* Sender, TwsIOHandler aType, TIdServerIOHandlerSSLOpenSSL*& aSSLHandler)>;
using TvynWSSSLAfterCreateHandlerEvent =
    std::function<void(TComponent* Sender, TwsIOHandler aType, TIdServerIOHandlerSSLOpenSSL* aSSLHandler)>;
using TvynWSSSLALPNSelectEvent = std::function<void(TComponent* Sender, TStrings& aProtocols, std::string& aProtocol)>;
using TvynWSBeforeHeartBeatEvent =
    std::function<void(TComponent* Sender, TvynWSConnectionServer* Connection, bool& Handled)>;
using TvynWSUnknownProtocolEvent = std::function<void(TvynWSConnectionServer* Connection, bool& Accept)>;
using TvynWSBeforeForwardHTTPEvent = std::function<void(
    TvynWSConnectionServer* Connection, TIdHTTPRequestInfo* ARequestInfo, TvynWSServerForwardHTTP& aForward)>;
// E is the failure of the forwarded exchange, or none.
using TvynWSAfterForwardHTTPEvent =
    std::function<void(TvynWSConnectionServer* Connection, TIdHTTPRequestInfo* ARequestInfo,
                       TIdHTTPResponseInfo* AResponseInfo, const std::exception* E)>;

// ---------------------------------------------------------------------------
// Inner protocol server

using TvynWSQueryHTTPSSLPortEvent = std::function<void(std::uint16_t aPort, bool& aSSL)>;

// The transport's HTTP server with the hooks the component needs: start-up
// and shut-down events, the TLS port question, and an execute step that the
// component can take over while keeping the HTTP processing at hand.
class TvynWSHTTPCustomServer : public TIdHTTPServer {
public:
  using TIdHTTPServer::TIdHTTPServer;
  ~TvynWSHTTPCustomServer() override;

  // Runs the HTTP request processing for one connection (every request
  // until the connection is to close). True when the connection was parked
  // between requests instead (an event scheduler): it stays open, and the
  // next execute step goes on with it.
  bool DoExecuteHTTP(TIdContext* AContext);

  TIdServerNotifyEvent OnStartup;
  TIdServerNotifyEvent OnShutdown;
  TvynWSQueryHTTPSSLPortEvent OnQueryHTTPSSLPort;
  // Whether the component requires authentication of AContext's requests;
  // an Authorization scheme nobody decodes is refused only then.
  std::function<bool(TIdContext* AContext)> OnQueryAuthenticationRequired;

protected:
  bool RefusesUndecodedScheme(TIdContext* AContext) override;
  bool RunExecute(TIdContext* AContext) override;
  bool FireQuerySSLPort(std::uint16_t APort) override;
  void BeginService() override;
  void EndService() override;
};

namespace detail {
// Puts the TLS engine's server handler where the TCP server expects a server
// I/O handler: accepted connections start in pass-through, and the HTTP
// server's connect step switches TLS on for the TLS port.
class TvynWSServerIOHandlerTLS : public TIdServerIOHandler {
public:
  explicit TvynWSServerIOHandlerTLS(TIdServerIOHandlerSSLOpenSSL* aEngine) : FEngine(aEngine) {}
  TIdServerIOHandlerSSLOpenSSL* Engine() const { return FEngine; }
  void Init() override;
  void Shutdown() override;
  std::unique_ptr<TIdIOHandler> Accept(TIdSocketHandle& AListener, TIdThread* AListenerThread, TIdYarn* AYarn) override;

private:
  TIdServerIOHandlerSSLOpenSSL* FEngine;
};
}  // namespace detail

// ---------------------------------------------------------------------------
// The component chain, base first.

class TvynSocketComponent_Base : public TvynComponent_Base {
public:
  explicit TvynSocketComponent_Base(TComponent* aOwner = nullptr);
  ~TvynSocketComponent_Base() override;

  // Held while an asynchronous start or stop changes the state, and by
  // every write of Active.
  std::recursive_mutex& MainLock() { return FMainLock; }
  // Six locks for the parts of a component that need their own (index 1:
  // the session-id registry).
  std::recursive_mutex& IndexedLock(int aIndex) { return FIndexedLocks[static_cast<std::size_t>(aIndex % 6)]; }
  // How connection events reach the application; neAsynchronous in a
  // program (events run on the calling thread until a UI dispatcher exists).
  TwsNotifyEvent NotifyEvents = TwsNotifyEvent::neAsynchronous;

private:
  std::recursive_mutex FMainLock;
  std::recursive_mutex FIndexedLocks[6];
};

class TvynTCPComponent_Base : public TvynSocketComponent_Base {
public:
  using TvynSocketComponent_Base::TvynSocketComponent_Base;
};

// Connection events and their delivery per NotifyEvents.
class TvynWSComponent_Base : public TvynTCPComponent_Base {
public:
  explicit TvynWSComponent_Base(TComponent* aOwner = nullptr);
  ~TvynWSComponent_Base() override;

  TvynWSConnectionEvent OnConnect;
  TvynWSDisconnectEvent OnDisconnect;
  TvynWSMessageEvent OnMessage;
  TvynWSBinaryEvent OnBinary;
  TvynWSErrorEvent OnError;
  TvynWSExceptionEvent OnException;

protected:
  // Runs aEvent as NotifyEvents says: here, queued to the UI thread, or on
  // the UI thread while this thread waits. A queued event that runs after
  // the component went does nothing.
  void Deliver(std::function<void()> aEvent);
  virtual void DoException(TvynWSConnectionServer* aConnection, const Exception& E);
  virtual void DoError(TvynWSConnectionServer* aConnection, const std::string& aError);
  // Cleared in the destructor; queued events check it first.
  std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
};

class TvynWSComponent : public TvynWSComponent_Base {
public:
  explicit TvynWSComponent(TComponent* aOwner = nullptr);
  ~TvynWSComponent() override;

  TvynWSHeartBeat_Options& HeartBeat() { return FHeartBeat; }
  void SetHeartBeat(const TvynWSHeartBeat_Options& aValue) { FHeartBeat.Assign(aValue); }
  TvynTCPKeepAlive& TCPKeepAlive() { return FTCPKeepAlive; }
  void SetTCPKeepAlive(const TvynTCPKeepAlive& aValue) { FTCPKeepAlive.Assign(aValue); }
  TvynWSLogFile& LogFile() { return FLogFile; }
  void SetLogFile(const TvynWSLogFile& aValue) { FLogFile.Assign(aValue); }
  TvynWSSpecifications& Specifications() { return FSpecifications; }
  // Comma-separated sub-protocols the server speaks.
  std::string Protocols;

  TvynWSHandshakeEvent OnHandshake;

private:
  TvynWSHeartBeat_Options FHeartBeat;
  TvynTCPKeepAlive FTCPKeepAlive;
  TvynWSLogFile FLogFile;
  TvynWSSpecifications FSpecifications;
};

// The connection registry, the watchdog and the optimizations.
class TvynWSComponent_Server : public TvynWSComponent {
public:
  explicit TvynWSComponent_Server(TComponent* aOwner = nullptr);
  ~TvynWSComponent_Server() override;

  TvynWSWatchDogServer_Options& WatchDog() { return FWatchDog; }
  void SetWatchDog(const TvynWSWatchDogServer_Options& aValue) { FWatchDog.Assign(aValue); }
  TvynWSOptimization_Options& Optimizations() { return FOptimizations; }
  void SetOptimizations(const TvynWSOptimization_Options& aValue) { FOptimizations.Assign(aValue); }

private:
  TvynWSWatchDogServer_Options FWatchDog;
  TvynWSOptimization_Options FOptimizations;
};

class TvynWSServer_Talvex_Base : public TvynWSComponent_Server {
public:
  explicit TvynWSServer_Talvex_Base(TComponent* aOwner = nullptr);
  ~TvynWSServer_Talvex_Base() override;

  // --- lifecycle
  // Asynchronous: each launches a start-stop thread and returns at once.
  // Failures reach OnException (without connection) from that thread.
  void Start();
  void Stop();
  void ReStart();
  bool Active();
  // Synchronous, in the caller's thread, under the main lock; raises what
  // the inner server raises (a port that cannot be bound, a missing
  // certificate). From one of this server's connection threads a stop never
  // waits for that thread.
  void SetActive(bool aValue);

  // --- inner server (made on first use)
  TvynWSHTTPCustomServer& HTTPServer();
  std::int32_t Port();
  void SetPort(std::int32_t aValue);
  TIdSocketHandles& Bindings() { return HTTPServer().Bindings(); }
  std::int32_t MaxConnections() { return HTTPServer().MaxConnections; }
  void SetMaxConnections(std::int32_t aValue) { HTTPServer().MaxConnections = aValue; }
  // Live connection contexts.
  std::int32_t Count();
  bool UseNagle = false;
  std::int64_t MaxReadBufferSize = 1024000;

  // --- TLS
  // Whether the inner server speaks TLS through a handler of this component
  // (the stored value while loading).
  bool SSL();
  void SetSSL(bool aValue);
  TvynWSSSL_Options& SSLOptions() { return FSSLOptions; }
  void SetSSLOptions(const TvynWSSSL_Options& aValue) { FSSLOptions.Assign(aValue); }
  // The TLS handler in use, or none.
  TIdServerIOHandlerSSLOpenSSL* SSLHandler() const { return FSSLHandler; }

  // --- threads
  bool ThreadPool() const { return FThreadPoolOn; }
  // Refused (Exception) while the server is active: the running server
  // keeps the scheduler it started with.
  void SetThreadPool(bool aValue);
  TvynWSThreadPool_Options& ThreadPoolOptions() { return FThreadPoolOptions; }
  TvynWSIOHandler_Options& IOHandlerOptions() { return FIOHandlerOptions; }

  // --- options
  TvynWSOptionsServer& Options() { return FOptions; }
  void SetOptions(const TvynWSOptionsServer& aValue) { FOptions.Assign(aValue); }
  TvynWSSecurity_Options& SecurityOptions() { return FSecurityOptions; }
  TvynWSAuthenticationServer_Options& Authentication() { return FAuthentication; }
  void SetAuthentication(const TvynWSAuthenticationServer_Options& aValue) { FAuthentication.Assign(aValue); }
  TvynWSFallBack_Options& FallBack() { return FFallBack; }
  TvynWSQueueServer_Options& QueueOptions() { return FQueueOptions; }
  TvynWSHTTP2Server_Options& HTTP2Options() { return FHTTP2Options; }
  TvynHTTPUploadFilesServer& HTTPUploadFiles() { return FHTTPUploadFiles; }
  TvynWSThrottle& Throttle() { return FThrottle; }
  TvynWSLoadBalancerServer_Options& LoadBalancer() { return FLoadBalancer; }

  // --- connections
  // Locks and returns the live contexts; Data of each is its connection
  // object or none. Every LockList needs its UnLockList.
  std::vector<TIdContext*>& LockList();
  void UnLockList();
  // The connection object of a context, or none.
  static TvynWSConnectionServer* ConnectionOf(TIdContext* aContext);
  TvynWSConnectionServer* GetConnectionByGuid(const std::string& aGuid);
  TvynWSConnectionServer* GetConnectionByIndex(std::int32_t Index);
  // Closes every connection, last first; a failure for one goes to
  // OnException and the walk goes on.
  void DisconnectAll();

  // The secret of the watchdog's self-check while active; empty otherwise.
  std::string MonitorSecret() const;

  TvynWSNotifyEvent OnStartup;
  TvynWSNotifyEvent OnShutdown;
  TvynWSTCPConnectEvent OnTCPConnect;
  TvynWSAuthenticationEvent OnAuthentication;
  TvynWSUnknownAuthenticationEvent OnUnknownAuthentication;
  TvynWSSSLGetHandlerEvent OnSSLGetHandler;
  TvynWSSSLAfterCreateHandlerEvent OnSSLAfterCreateHandler;
  TvynWSSSLALPNSelectEvent OnSSLALPNSelect;
  TvynWSBeforeHeartBeatEvent OnBeforeHeartBeat;
  TvynWSUnknownProtocolEvent OnUnknownProtocol;

protected:
  // The inner server was made: wire its events (subclasses add theirs).
  virtual void InitHTTPServer(TvynWSHTTPCustomServer& aServer);
  // Connection set-up and tear-down (inner OnConnect / OnDisconnect).
  virtual void ConnectionSetUp(TIdContext* aContext);
  virtual void ConnectionTearDown(TIdContext* aContext);
  // One pass of a connection's execute step (inner OnExecute).
  virtual void Execute(TIdContext* aContext);
  // Serves a connection's HTTP requests; closes it unless it was parked
  // between requests.
  void ServeHTTP(TIdContext* aContext);
  // What a classified connection gets; the plain HTTP branch by default.
  virtual void Dispatch(TIdContext* aContext, TvynWSConnectionServer* aConnection, detail::TwsRequestKind aKind);
  // Whether the authentication options ask for a token check this build
  // cannot make (OAuth2 or JWT).
  bool UncheckableAuthentication() const;
  // What of this server's options the classification of aConnection uses.
  detail::TClassifyOptions ClassifyOptions(TvynWSConnectionServer* aConnection);
  // The connection's error path: OnError (when assigned) with the message,
  // then disconnect. Errors inside it are swallowed.
  void ErrorPath(TvynWSConnectionServer* aConnection, const std::string& aMessage);
  // Detach the connection object from the context, close the TCP connection
  // and free the object.
  void CloseConnection(TIdContext* aContext);
  // Whether the connection accepted on aPort speaks TLS.
  bool QueryHTTPSSLPort(std::uint16_t aPort);
  virtual void StartupStep();
  virtual void ShutdownStep();
  // True while the destructor runs: start-stop threads do nothing.
  bool Destroying() const { return FDestroying.load(); }
  // Stops the start-stop threads and timers; the most derived destructor
  // calls it before anything its steps use goes.
  void EndComponent();
  void Notification(TComponent* aComponent, TOperation aOperation) override;

private:
  // One start-stop thread ("TServerThread"): its method runs once.
  struct ServerThread {
    std::thread Thread;
    std::shared_ptr<std::atomic<bool>> Done;
  };
  void CreateSSLHandler();
  void FreeSSLHandler();
  void ApplySSLOptions();
  void ActivateLocked(bool aValue);
  // A start, stop or restart on a thread of its own. Requests are numbered:
  // one that a later request overtook does nothing when its turn comes, so
  // the last request made wins however the threads are scheduled. A
  // restart's own stop and start carry the restart's number.
  void LaunchServerThread(const std::string& aMethod, std::uint64_t aRequest = 0);
  void RunServerThread(const std::string& aMethod, std::uint64_t aRequest);
  std::uint64_t NewRequest();
  bool Overtaken(std::uint64_t aRequest) const;
  void StartTimers();
  void StopTimers();
  void HeartBeatTick();
  void ConnectionsFreeTick();
  void WatchDogTick();
  void JoinServerThreads();
  void ReportThreadFailure(const Exception& E);
  // A context's Data changes hands under the context-list lock, so that a
  // walk over the list never sees it half moved or freed.
  std::unique_ptr<TPersistent> TakeData(TIdContext* aContext);
  void PutData(TIdContext* aContext, std::unique_ptr<TPersistent> aData);
  // The first bytes of a connection, not consumed; aOverLimit when its
  // request line or head is longer than the server answers (then they are
  // not classified).
  TIdBytes Gather(TIdIOHandler* aIO, bool& aOverLimit);
  // A connection that has sent nothing yet: waits for its first bytes
  // (parked where the scheduler can hold it, else blocked in a poll) and
  // closes it once the request time passed. True when the step is to
  // return (parked, closed or still waiting).
  bool AwaitFirstBytes(TIdContext* aContext, TvynWSConnectionServer* aConnection);
  // An enabled connection (event stream, accepted unknown protocol): its
  // input is consumed (plain TCP bytes go to OnBinary), or it waits for
  // some up to a bounded time.
  void ServeEnabled(TIdContext* aContext, TvynWSConnectionServer* aConnection);
  // Puts a throttling intercept on the connection when Throttle is on.
  void AttachThrottle(TIdTCPConnection* aConnection);

  std::unique_ptr<TvynWSHTTPCustomServer> FHTTPServer;
  TvynWSSSL_Options FSSLOptions;
  TvynWSThreadPool_Options FThreadPoolOptions;
  TvynWSIOHandler_Options FIOHandlerOptions;
  TvynWSOptionsServer FOptions;
  TvynWSSecurity_Options FSecurityOptions;
  TvynWSAuthenticationServer_Options FAuthentication;
  TvynWSFallBack_Options FFallBack;
  TvynWSQueueServer_Options FQueueOptions;
  TvynWSHTTP2Server_Options FHTTP2Options;
  TvynHTTPUploadFilesServer FHTTPUploadFiles;
  TvynWSThrottle FThrottle;
  TvynWSLoadBalancerServer_Options FLoadBalancer;

  std::int32_t FPort = 80;
  bool FSSLStored = false;
  bool FActiveStored = false;
  bool FThreadPoolOn = false;
  TIdServerIOHandlerSSLOpenSSL* FSSLHandler = nullptr;
  std::unique_ptr<TIdServerIOHandlerSSLOpenSSL> FOwnedSSLHandler;
  std::unique_ptr<detail::TvynWSServerIOHandlerTLS> FTLSAdapter;
  std::unique_ptr<TIdSchedulerOfThreadPool> FPoolScheduler;

  std::atomic<bool> FDestroying{false};
  std::mutex FThreadsLock;
  std::list<ServerThread> FServerThreads;
  std::atomic<std::uint64_t> FLatestRequest{0};
  std::unique_ptr<TIdServerIntercept> FServerLog;

  mutable std::mutex FSecretLock;
  std::string FMonitorSecret;
  std::atomic<bool> FWatchDogOn{false};
  std::mutex FTimersLock;
  TvynTimer* FHeartBeatTimer = nullptr;
  TvynTimer* FConnectionsFreeTimer = nullptr;
  TvynTimer* FWatchDogTimer = nullptr;
  // Connection objects kept for events still queued to the UI thread.
  std::mutex FFreeLock;
  std::vector<std::unique_ptr<TPersistent>> FConnectionsFree;
};

// ---------------------------------------------------------------------------
// The HTTP server component.

class TvynWSHTTPServer : public TvynWSServer_Talvex_Base {
public:
  explicit TvynWSHTTPServer(TComponent* aOwner = nullptr);
  ~TvynWSHTTPServer() override;

  TwsServerType ServerType() const { return TwsServerType::wsHTTP; }

  // Folder whose files answer GET requests; empty: no file serving. Read
  // without one trailing "/" or "\".
  std::string DocumentRoot() const;
  void SetDocumentRoot(const std::string& aValue) { FDocumentRoot = aValue; }
  // Character set of file responses.
  std::string Charset;
  bool KeepAlive() { return HTTPServer().KeepAlive; }
  void SetKeepAlive(bool aValue) { HTTPServer().KeepAlive = aValue; }
  bool ParseParams() { return HTTPServer().ParseParams; }
  void SetParseParams(bool aValue) { HTTPServer().ParseParams = aValue; }
  // Empty waits after which a connection that sent nothing is closed; 0 or
  // less: never.
  std::int32_t ReadEmptySource = 0;
  // One-byte TLS starts tolerated before a connection is refused.
  std::int32_t ReadStartSSL = 10;

  TIdHTTPCommandEvent OnCommandGet;
  TIdHTTPCommandEvent OnCommandOther;
  TIdHTTPCreateSession OnCreateSession;
  TIdHTTPInvalidSessionEvent OnInvalidSession;
  TIdHTTPSessionStartEvent OnSessionStart;
  TIdHTTPSessionEndEvent OnSessionEnd;
  // Asked before each HEAD, GET and POST; enabling the forward object sends
  // the request on to its URL instead of handling it here.
  TvynWSBeforeForwardHTTPEvent OnBeforeForwardHTTP;
  TvynWSAfterForwardHTTPEvent OnAfterForwardHTTP;

  // Session ids issued by session requests, not yet used.
  std::size_t SessionIdCount() const { return FSessionIds.Count(); }

protected:
  void InitHTTPServer(TvynWSHTTPCustomServer& aServer) override;
  // The branches that answer a connection themselves (session ids, message
  // and protocol posts, built-in files, Flash policy, event streams); the
  // rest goes to the base.
  void Dispatch(TIdContext* aContext, TvynWSConnectionServer* aConnection, detail::TwsRequestKind aKind) override;
  // Reads a request's head off the connection, bounded.
  TIdHeaderList ReadRequestHead(TIdContext* aContext);
  // A message post's text to the enabled connection with that Guid.
  void DeliverMessagePost(const std::string& aGuid, const std::string& aText);
  // Upload handling: the body of a multipart request into a temporary file
  // of the save folder, and its file parts extracted after the request.
  void CreatePostStream(TIdContext* aContext, TIdHeaderList& aHeaders, TStream*& aPostStream);
  void DoneWithPostStream(TIdContext* aContext, TIdHTTPRequestInfo* aRequestInfo, bool& aCanFree);
  // Authorization schemes other than Basic: bearer tokens and
  // OnUnknownAuthentication.
  void ParseAuthentication(TIdContext* aContext, const std::string& aAuthType, const std::string& aAuthData,
                           std::string& aUser, std::string& aPassword, bool& aHandled);
  // Forwarding of one request; true when it was forwarded.
  bool ForwardRequest(TvynWSConnectionServer* aConnection, TIdHTTPRequestInfo* aRequestInfo,
                      TIdHTTPResponseInfo* aResponseInfo);
  // The handler chain of one parsed request.
  virtual void CommandGet(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo);
  virtual void CommandOther(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo);
  // Authentication of a parsed request; false: refused (realm set).
  virtual bool AuthenticateRequest(TvynWSConnectionServer* aConnection, TIdHTTPRequestInfo* ARequestInfo,
                                   TIdHTTPResponseInfo* AResponseInfo);
  // Checks a user and password: AuthUsers, then OnAuthentication.
  bool CheckCredentials(TvynWSConnectionServer* aConnection, const std::string& aUser, const std::string& aPassword);
  // Serves the request's document from DocumentRoot; false when no file
  // answers it.
  virtual bool ServeDocument(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                             TIdHTTPResponseInfo* AResponseInfo);

private:
  void HandleCommand(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo,
                     bool aOther);
  std::string FDocumentRoot;
  detail::TSessionIdRegistry FSessionIds{IndexedLock(1)};
};
