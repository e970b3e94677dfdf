#include "server/vynWSHTTPServer.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <random>

#include "platform/Dispatcher.h"
#include "transport/vynIdContext.h"
#include "transport/vynIdIOHandlerSocket.h"
#include "transport/vynIdInterceptThrottler.h"
#include "transport/vynIdLogFile.h"
#include "transport/vynIdStack.h"
#include "transport/vynIdTCPConnection.h"

namespace {
constexpr const char* kConnectionRejected = "Connection rejected by server.";
constexpr const char* kErrorStartingSSL = "Error starting SSL connection.";
// What a WebSocket upgrade gets while this build has no WebSocket layer: the
// same end as a refused handshake, a close without an answer.
constexpr const char* kUpgradeNotAvailable = "Error Decoding Header: WebSocket upgrade not available";
constexpr const char* kECDHECiphers = "EECDH+AESGCM:EDH+AESGCM:AES256+EECDH:AES256+EDH";
// This build serves HTTP/1.1 only: no other protocol is agreed to by ALPN,
// and no other is advertised (Alt-Svc), whatever the HTTP/2 options say.
constexpr const char* kALPNHTTP1 = "http/1.1";
constexpr const char* kThreadPoolWhileActive = "Cannot switch the thread pool while the server is active.";
constexpr const char* kNoTokenService =
    "OAuth2 and JWT tokens cannot be checked by this build: every request that is not internal is refused.";
constexpr const char* kBearerChallenge = "Bearer";
constexpr const char* kMethodStart = "start";
constexpr const char* kMethodStop = "stop";
constexpr const char* kMethodRestart = "restart";
// SSL_CTRL_SET_ECDH_AUTO: automatic curve selection under the 1.0 API.
constexpr int kCtrlSetECDHAuto = 94;
// How long ReStart waits, in 1 ms polls, for a stop to show.
constexpr int kRestartPolls = 60000;
// How long a connection thread tries for the main lock before it hands its
// start or stop to a start-stop thread.
constexpr auto kConnectionLockTry = std::chrono::milliseconds(50);
// A head that looks like HTTP is gathered until it is complete or this
// share of the request time passed; other bytes only for ReadTimeOut.
constexpr std::int32_t kHeadGatherStepMs = 250;
// The most of a head that is gathered for classifying a connection; a
// longer head is served (or refused) as plain HTTP by the request reader.
constexpr std::int32_t kGatherHeadLimit = 64 * 1024;
// The longest an enabled connection waits for input in one pass: a stop or
// a disconnect interrupts the wait sooner.
constexpr std::int32_t kEnabledWaitMs = 1000;

// The component whose connection this thread serves, if any.
thread_local TvynWSServer_Talvex_Base* tConnectionOf = nullptr;

std::string ExecutableFolder() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

std::string NewSecret() {
  std::random_device random;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out(32, '0');
  for (char& c : out) c = kHex[random() & 15u];
  return out;
}

bool LooksLikeHTTPStart(const TIdBytes& aBytes) {
  // A method token (letters) followed by a blank: an HTTP request line in
  // progress, worth waiting for until its head is complete.
  std::size_t i = 0;
  while (i < aBytes.size() && i < 32 && std::isalpha(aBytes[i])) ++i;
  if (i == aBytes.size()) return i > 0;
  return i > 0 && aBytes[i] == ' ';
}

std::int32_t HeadEnd(const TIdBytes& aBytes, std::size_t aFrom) {
  for (std::size_t i = aFrom; i < aBytes.size(); ++i) {
    if (aBytes[i] != '\n') continue;
    if (i >= 1 && aBytes[i - 1] == '\n') return static_cast<std::int32_t>(i + 1);
    if (i >= 2 && aBytes[i - 1] == '\r' && aBytes[i - 2] == '\n') return static_cast<std::int32_t>(i + 1);
  }
  return -1;
}

void SleepMs(int aMs) { std::this_thread::sleep_for(std::chrono::milliseconds(aMs)); }

bool IsTLSConnection(TIdTCPConnection* aConnection) {
  auto* tls = aConnection ? dynamic_cast<TIdSSLIOHandlerSocketBase*>(aConnection->IOHandler()) : nullptr;
  return tls && !tls->PassThrough();
}
}  // namespace

// ---------------------------------------------------------------------------
// Inner server

TvynWSHTTPCustomServer::~TvynWSHTTPCustomServer() { SetActive(false); }

bool TvynWSHTTPCustomServer::DoExecuteHTTP(TIdContext* AContext) {
  return AContext && AContext->Connection() && ServeConnection(AContext, *AContext->Connection(), true);
}

bool TvynWSHTTPCustomServer::RunExecute(TIdContext* AContext) {
  if (!OnExecute) return TIdHTTPServer::RunExecute(AContext);
  OnExecute(AContext);
  // Parked between requests, the connection is open; asking would cost a
  // receive for nothing.
  if (AContext && AContext->Yarn() && AContext->Yarn()->Parking()) return true;
  TIdTCPConnection* connection = AContext ? AContext->Connection() : nullptr;
  return connection && connection->Connected();
}

bool TvynWSHTTPCustomServer::RefusesUndecodedScheme(TIdContext* AContext) {
  return OnQueryAuthenticationRequired ? OnQueryAuthenticationRequired(AContext) : true;
}

bool TvynWSHTTPCustomServer::FireQuerySSLPort(std::uint16_t APort) {
  bool ssl = false;
  if (OnQueryHTTPSSLPort) OnQueryHTTPSSLPort(APort, ssl);
  return ssl;
}

void TvynWSHTTPCustomServer::BeginService() {
  TIdHTTPServer::BeginService();
  if (OnStartup) OnStartup(this);
}

void TvynWSHTTPCustomServer::EndService() {
  TIdHTTPServer::EndService();
  if (OnShutdown) OnShutdown(this);
}

namespace detail {
void TvynWSServerIOHandlerTLS::Init() { FEngine->Init(); }

void TvynWSServerIOHandlerTLS::Shutdown() { FEngine->Shutdown(); }

std::unique_ptr<TIdIOHandler> TvynWSServerIOHandlerTLS::Accept(TIdSocketHandle& AListener, TIdThread* AListenerThread,
                                                               TIdYarn*) {
  while (WaitForConnection(AListener, AListenerThread)) {
    std::unique_ptr<TIdIOHandler> handler(FEngine->Accept(AListener));
    if (handler) {
      handler->AfterAccept();
      return handler;
    }
    // Nobody was waiting after all: look again a little later.
    SleepMs(10);
  }
  return nullptr;
}
}  // namespace detail

// ---------------------------------------------------------------------------
// Component chain

TvynSocketComponent_Base::TvynSocketComponent_Base(TComponent* aOwner) : TvynComponent_Base(aOwner) {}
TvynSocketComponent_Base::~TvynSocketComponent_Base() = default;

TvynWSComponent_Base::TvynWSComponent_Base(TComponent* aOwner) : TvynTCPComponent_Base(aOwner) {}
TvynWSComponent_Base::~TvynWSComponent_Base() { FAlive->store(false); }

void TvynWSComponent_Base::Deliver(std::function<void()> aEvent) {
  switch (NotifyEvents) {
    case TwsNotifyEvent::neNoSync:
      aEvent();
      return;
    case TwsNotifyEvent::neAsynchronous:
      QueueOnUIThread([alive = FAlive, event = std::move(aEvent)] {
        if (alive->load()) event();
      });
      return;
    case TwsNotifyEvent::neSynchronous:
      SynchronizeOnUIThread([alive = FAlive, &aEvent] {
        if (alive->load()) aEvent();
      });
      return;
  }
}

void TvynWSComponent_Base::DoException(TvynWSConnectionServer* aConnection, const Exception& E) {
  if (!OnException) return;
  Exception copy(E.Message());
  Deliver([this, aConnection, copy] {
    if (OnException) OnException(aConnection, copy);
  });
}

void TvynWSComponent_Base::DoError(TvynWSConnectionServer* aConnection, const std::string& aError) {
  if (!OnError) return;
  Deliver([this, aConnection, aError] {
    if (OnError) OnError(aConnection, aError);
  });
}

TvynWSComponent::TvynWSComponent(TComponent* aOwner) : TvynWSComponent_Base(aOwner) {}
TvynWSComponent::~TvynWSComponent() = default;

TvynWSComponent_Server::TvynWSComponent_Server(TComponent* aOwner) : TvynWSComponent(aOwner) {}
TvynWSComponent_Server::~TvynWSComponent_Server() = default;

// ---------------------------------------------------------------------------
// TvynWSServer_Talvex_Base: lifecycle

TvynWSServer_Talvex_Base::TvynWSServer_Talvex_Base(TComponent* aOwner) : TvynWSComponent_Server(aOwner) {}

TvynWSServer_Talvex_Base::~TvynWSServer_Talvex_Base() { EndComponent(); }

void TvynWSServer_Talvex_Base::EndComponent() {
  if (FDestroying.exchange(true)) {
    // A second call (the base destructor after the derived one) finds
    // everything gone already.
    if (!FHTTPServer) return;
  }
  JoinServerThreads();
  if (FHTTPServer) {
    {
      std::lock_guard<std::recursive_mutex> g(MainLock());
      try {
        if (FHTTPServer->Active()) FHTTPServer->SetActive(false);
      } catch (...) {
        // Going away: nothing left to tell.
      }
      FHTTPServer->Bindings().Clear();
      FHTTPServer->SetIOHandler(nullptr);
      FHTTPServer->SetScheduler(nullptr);
      FHTTPServer->SetIntercept(nullptr);
    }
    FHTTPServer.reset();
  }
  StopTimers();
  JoinServerThreads();
  FTLSAdapter.reset();
  FOwnedSSLHandler.reset();
  FSSLHandler = nullptr;
  FPoolScheduler.reset();
  std::lock_guard<std::mutex> g(FFreeLock);
  FConnectionsFree.clear();
}

TvynWSHTTPCustomServer& TvynWSServer_Talvex_Base::HTTPServer() {
  if (!FHTTPServer) {
    auto server = std::make_unique<TvynWSHTTPCustomServer>();
    server->SetDefaultPort(static_cast<std::uint16_t>(FPort));
    server->ServerSoftware = kWSServerSoftware;
    server->UseNagle = UseNagle;
    FHTTPServer = std::move(server);
    InitHTTPServer(*FHTTPServer);
  }
  return *FHTTPServer;
}

void TvynWSServer_Talvex_Base::InitHTTPServer(TvynWSHTTPCustomServer& aServer) {
  aServer.OnConnect = [this](TIdContext* AContext) { ConnectionSetUp(AContext); };
  aServer.OnDisconnect = [this](TIdContext* AContext) { ConnectionTearDown(AContext); };
  aServer.OnExecute = [this](TIdContext* AContext) { Execute(AContext); };
  aServer.OnException = [this](TIdContext* AContext, const Exception& E) {
    // The peer's normal close is no failure.
    if (dynamic_cast<const EIdSilentException*>(&E)) return;
    DoException(ConnectionOf(AContext), E);
  };
  aServer.OnListenException = [this](TIdListenerThread*, const Exception& E) { DoException(nullptr, E); };
  aServer.OnStartup = [this](TComponent*) { StartupStep(); };
  aServer.OnShutdown = [this](TComponent*) { ShutdownStep(); };
  aServer.OnQueryHTTPSSLPort = [this](std::uint16_t aPort, bool& aSSL) { aSSL = QueryHTTPSSLPort(aPort); };
  aServer.OnQueryAuthenticationRequired = [this](TIdContext* AContext) {
    TvynWSConnectionServer* connection = ConnectionOf(AContext);
    return FAuthentication.Enabled && !(connection && connection->IsInternal());
  };
}

bool TvynWSServer_Talvex_Base::UncheckableAuthentication() const {
  return FAuthentication.Enabled && (FAuthentication.OAuth.OAuth2 != nullptr || FAuthentication.JWT.JWT != nullptr);
}

std::int32_t TvynWSServer_Talvex_Base::Port() { return static_cast<std::uint16_t>(FPort); }

void TvynWSServer_Talvex_Base::SetPort(std::int32_t aValue) {
  FPort = aValue;
  if (FHTTPServer) FHTTPServer->SetDefaultPort(static_cast<std::uint16_t>(aValue));
}

std::int32_t TvynWSServer_Talvex_Base::Count() {
  if (!FHTTPServer) return 0;
  auto& list = FHTTPServer->Contexts().LockList();
  auto n = static_cast<std::int32_t>(list.size());
  FHTTPServer->Contexts().UnlockList();
  return n;
}

bool TvynWSServer_Talvex_Base::Active() {
  if (IsLoading() || IsDesigning()) return FActiveStored;
  return FHTTPServer && FHTTPServer->Active();
}

void TvynWSServer_Talvex_Base::SetActive(bool aValue) {
  if (IsLoading() || IsDesigning()) {
    FActiveStored = aValue;
    return;
  }
  std::unique_lock<std::recursive_mutex> lock(MainLock(), std::defer_lock);
  if (tConnectionOf == this) {
    // A start-stop thread holding the lock may be waiting for this very
    // connection to end: hand the change over instead of waiting.
    bool locked = lock.try_lock();
    for (auto until = std::chrono::steady_clock::now() + kConnectionLockTry;
         !locked && std::chrono::steady_clock::now() < until;) {
      SleepMs(1);
      locked = lock.try_lock();
    }
    if (!locked) {
      LaunchServerThread(aValue ? kMethodStart : kMethodStop);
      return;
    }
  } else {
    lock.lock();
  }
  // Made now, this change overtakes the starts and stops still pending.
  NewRequest();
  ActivateLocked(aValue);
}

void TvynWSServer_Talvex_Base::ActivateLocked(bool aValue) {
  TvynWSHTTPCustomServer& server = HTTPServer();
  if (aValue) {
    // The TLS handler follows SSL as stored; every option is applied anew.
    if (FSSLStored && !FSSLHandler && !server.Active()) CreateSSLHandler();
    if (!FSSLStored && FSSLHandler && !server.Active()) FreeSSLHandler();
    if (FSSLHandler) ApplySSLOptions();
    if (FThreadPoolOn && FPoolScheduler) {
      FPoolScheduler->MaxThreads = FThreadPoolOptions.MaxThreads;
      FPoolScheduler->PoolSize = FThreadPoolOptions.PoolSize;
    }
    if (!server.Active()) {
      if (LogFile().Enabled) {
        auto log = std::make_unique<TvynWSIdLogFileServer>();
        log->SetReplaceCRLF(false);
        log->SetFilename(LogFile().FileName);
        log->UnMaskFrames = LogFile().UnMaskFrames;
        server.SetIntercept(log.get());
        FServerLog = std::move(log);
      } else {
        server.SetIntercept(nullptr);
        FServerLog.reset();
      }
    }
  }
  if (server.Active()) {
    DisconnectAll();
  } else {
    StopTimers();
  }
  server.UseNagle = UseNagle;
  server.SetDefaultPort(static_cast<std::uint16_t>(FPort));
  server.SetActive(aValue);
  if (server.Active()) {
    StartTimers();
    // Running with a check that cannot be made is told, not silent.
    if (aValue && UncheckableAuthentication()) DoException(nullptr, Exception(kNoTokenService));
  } else {
    StopTimers();
    std::lock_guard<std::mutex> g(FFreeLock);
    FConnectionsFree.erase(std::remove_if(FConnectionsFree.begin(), FConnectionsFree.end(),
                                          [](const std::unique_ptr<TPersistent>& p) {
                                            auto* c = static_cast<TvynWSConnectionServer*>(p.get());
                                            return c->PendingEvents() == 0;
                                          }),
                           FConnectionsFree.end());
  }
}

void TvynWSServer_Talvex_Base::Start() { LaunchServerThread(kMethodStart); }
void TvynWSServer_Talvex_Base::Stop() { LaunchServerThread(kMethodStop); }
void TvynWSServer_Talvex_Base::ReStart() { LaunchServerThread(kMethodRestart); }

std::uint64_t TvynWSServer_Talvex_Base::NewRequest() { return ++FLatestRequest; }

bool TvynWSServer_Talvex_Base::Overtaken(std::uint64_t aRequest) const { return aRequest < FLatestRequest.load(); }

void TvynWSServer_Talvex_Base::LaunchServerThread(const std::string& aMethod, std::uint64_t aRequest) {
  if (Destroying()) return;
  if (aRequest == 0) aRequest = NewRequest();
  std::list<std::thread> finished;
  std::lock_guard<std::mutex> g(FThreadsLock);
  // Threads that ended are joined here, so the list stays short.
  for (auto it = FServerThreads.begin(); it != FServerThreads.end();) {
    auto next = std::next(it);
    if (it->Done->load() && it->Thread.get_id() != std::this_thread::get_id()) {
      it->Thread.join();
      FServerThreads.erase(it);
    }
    it = next;
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  FServerThreads.push_back(ServerThread{std::thread([this, aMethod, aRequest, done] {
                                          RunServerThread(aMethod, aRequest);
                                          done->store(true);
                                        }),
                                        done});
}

void TvynWSServer_Talvex_Base::RunServerThread(const std::string& aMethod, std::uint64_t aRequest) {
  if (Destroying() || Overtaken(aRequest)) return;
  try {
    if (aMethod == kMethodRestart) {
      if (Active()) LaunchServerThread(kMethodStop, aRequest);
      for (int i = 0; i < kRestartPolls && Active() && !Destroying(); ++i) SleepMs(1);
      LaunchServerThread(kMethodStart, aRequest);
      return;
    }
    std::lock_guard<std::recursive_mutex> g(MainLock());
    if (Destroying() || Overtaken(aRequest)) return;
    ActivateLocked(aMethod == kMethodStart);
  } catch (const Exception& e) {
    ReportThreadFailure(e);
  } catch (const std::exception& e) {
    ReportThreadFailure(Exception(e.what()));
  }
}

void TvynWSServer_Talvex_Base::ReportThreadFailure(const Exception& E) {
  // Nobody waits for a start-stop thread: its failure reaches the owner
  // through OnException, never by blocking on the UI thread (the UI thread
  // may be the one joining this thread).
  if (!OnException || Destroying()) return;
  Exception copy(E.Message());
  if (NotifyEvents == TwsNotifyEvent::neNoSync) {
    OnException(nullptr, copy);
    return;
  }
  QueueOnUIThread([this, alive = FAlive, copy] {
    if (alive->load() && OnException) OnException(nullptr, copy);
  });
}

void TvynWSServer_Talvex_Base::JoinServerThreads() {
  for (;;) {
    std::thread t;
    {
      std::lock_guard<std::mutex> g(FThreadsLock);
      auto it = FServerThreads.begin();
      while (it != FServerThreads.end() && it->Thread.get_id() == std::this_thread::get_id()) ++it;
      if (it == FServerThreads.end()) return;
      t = std::move(it->Thread);
      FServerThreads.erase(it);
    }
    t.join();
  }
}

void TvynWSServer_Talvex_Base::StartupStep() {
  {
    std::lock_guard<std::mutex> g(FSecretLock);
    FMonitorSecret = NewSecret();
  }
  if (OnStartup) OnStartup(this);
  if (FSSLHandler && FSSLOptions.OpenSSL_Options.APIVersion == TwsOpenSSLAPI::oslAPI_1_0 &&
      FSSLOptions.OpenSSL_Options.ECDHE) {
    TIdSSLContext* ctx = FSSLHandler->SSLContext();
    if (ctx && ctx->Context && detail::OSSL.SSL_CTX_ctrl)
      detail::OSSL.SSL_CTX_ctrl(ctx->Context, kCtrlSetECDHAuto, 1, nullptr);
  }
}

void TvynWSServer_Talvex_Base::ShutdownStep() {
  {
    std::lock_guard<std::mutex> g(FSecretLock);
    FMonitorSecret.clear();
  }
  if (OnShutdown) OnShutdown(this);
}

std::string TvynWSServer_Talvex_Base::MonitorSecret() const {
  std::lock_guard<std::mutex> g(FSecretLock);
  return FMonitorSecret;
}

// ---------------------------------------------------------------------------
// TLS

bool TvynWSServer_Talvex_Base::SSL() {
  if (IsLoading() || IsDesigning()) return FSSLStored;
  return FSSLHandler && FHTTPServer && FTLSAdapter && FHTTPServer->IOHandler() == FTLSAdapter.get();
}

void TvynWSServer_Talvex_Base::SetSSL(bool aValue) {
  FSSLStored = aValue;
  if (IsLoading() || IsDesigning()) return;
  std::lock_guard<std::recursive_mutex> g(MainLock());
  // A running server keeps its handler until the next activation.
  if (FHTTPServer && FHTTPServer->Active()) return;
  if (aValue && !FSSLHandler) CreateSSLHandler();
  if (!aValue && FSSLHandler) FreeSSLHandler();
}

void TvynWSServer_Talvex_Base::CreateSSLHandler() {
  TIdServerIOHandlerSSLOpenSSL* handler = nullptr;
  if (OnSSLGetHandler) OnSSLGetHandler(this, FIOHandlerOptions.IOHandlerType, handler);
  if (handler) {
    FSSLHandler = handler;
    handler->FreeNotification(this);
  } else {
    FOwnedSSLHandler = std::make_unique<TIdServerIOHandlerSSLOpenSSL>();
    FSSLHandler = FOwnedSSLHandler.get();
    ApplySSLOptions();
  }
  FSSLHandler->OnGetPassword = [this](std::string& aPassword) { aPassword = FSSLOptions.Password; };
  FSSLHandler->OnALPNSelect = [this](TPersistent*, TStrings& aProtocols, std::string& aProtocol) {
    if (OnSSLALPNSelect) OnSSLALPNSelect(this, aProtocols, aProtocol);
    // A client told "h2" would send frames this build cannot read.
    if (aProtocol != kALPNHTTP1) aProtocol = aProtocols.IndexOf(kALPNHTTP1) >= 0 ? kALPNHTTP1 : "";
  };
  FTLSAdapter = std::make_unique<detail::TvynWSServerIOHandlerTLS>(FSSLHandler);
  HTTPServer().SetIOHandler(FTLSAdapter.get());
  if (OnSSLAfterCreateHandler) OnSSLAfterCreateHandler(this, FIOHandlerOptions.IOHandlerType, FSSLHandler);
}

void TvynWSServer_Talvex_Base::FreeSSLHandler() {
  if (FHTTPServer) FHTTPServer->SetIOHandler(nullptr);
  FTLSAdapter.reset();
  if (FSSLHandler && FSSLHandler != FOwnedSSLHandler.get()) FSSLHandler->RemoveFreeNotification(this);
  FSSLHandler = nullptr;
  FOwnedSSLHandler.reset();
}

void TvynWSServer_Talvex_Base::ApplySSLOptions() {
  if (!FSSLHandler) return;
  TIdSSLOptions& o = FSSLHandler->SSLOptions();
  // The files are re-read at every activation, whoever made the handler.
  o.CertFile = FSSLOptions.CertFile;
  o.KeyFile = FSSLOptions.KeyFile;
  o.RootCertFile = FSSLOptions.RootCertFile;
  // A handler the application supplied keeps its other settings.
  if (FSSLHandler != FOwnedSSLHandler.get()) return;
  SetOpenSSLAPIVersion(FSSLOptions.OpenSSL_Options.APIVersion);
  if (FSSLOptions.OpenSSL_Options.LibPath == TwsOpenSSLLibPath::oslpDefaultFolder)
    SetOpenSSLLibraryPath(ExecutableFolder());
  o.Mode = TIdSSLMode::sslmServer;
  o.SetMethod(detail::SSLVersionOf(FSSLOptions.Version));
  o.CipherList = FSSLOptions.OpenSSL_Options.ECDHE ? kECDHECiphers : "";
  if (FSSLOptions.VerifyCertificate) {
    // Asking for a certificate and then letting in a client without one
    // would make the check optional: a client must present one.
    o.VerifyMode = TIdSSLVerifyModeSet{TIdSSLVerifyMode::sslvrfPeer, TIdSSLVerifyMode::sslvrfFailIfNoPeerCert};
    o.VerifyDepth = FSSLOptions.VerifyDepth >= 0 ? FSSLOptions.VerifyDepth : 0;
  } else {
    o.VerifyMode = TIdSSLVerifyModeSet{};
    o.VerifyDepth = 0;
  }
}

bool TvynWSServer_Talvex_Base::QueryHTTPSSLPort(std::uint16_t aPort) {
  if (!FSSLHandler) return false;
  return FSSLOptions.Port == 0 || FSSLOptions.Port == aPort;
}

void TvynWSServer_Talvex_Base::Notification(TComponent* aComponent, TOperation aOperation) {
  if (aOperation == TOperation::opRemove && aComponent == FSSLHandler && FSSLHandler != FOwnedSSLHandler.get()) {
    if (FHTTPServer) FHTTPServer->SetIOHandler(nullptr);
    FTLSAdapter.reset();
    FSSLHandler = nullptr;
  }
  TvynWSComponent_Server::Notification(aComponent, aOperation);
}

void TvynWSServer_Talvex_Base::SetThreadPool(bool aValue) {
  if (aValue == FThreadPoolOn) return;
  if (IsLoading() || IsDesigning()) {
    FThreadPoolOn = aValue;
    return;
  }
  std::lock_guard<std::recursive_mutex> g(MainLock());
  // The running server's connections use its scheduler until they end.
  if (FHTTPServer && FHTTPServer->Active()) throw Exception(kThreadPoolWhileActive);
  FThreadPoolOn = aValue;
  if (aValue) {
    FPoolScheduler = std::make_unique<TIdSchedulerOfThreadPool>();
    FPoolScheduler->MaxThreads = FThreadPoolOptions.MaxThreads;
    FPoolScheduler->PoolSize = FThreadPoolOptions.PoolSize;
    HTTPServer().SetScheduler(FPoolScheduler.get());
  } else {
    HTTPServer().SetScheduler(nullptr);
    FPoolScheduler.reset();
  }
}

// ---------------------------------------------------------------------------
// Timers

void TvynWSServer_Talvex_Base::StartTimers() {
  std::lock_guard<std::mutex> g(FTimersLock);
  auto make = [this](TvynTimer*& aTimer, std::int32_t aSeconds, void (TvynWSServer_Talvex_Base::*aTick)()) {
    if (aTimer) return;
    aTimer = new TvynTimer();
    aTimer->SetInterval(aSeconds > 0 ? aSeconds * 1000 : 1000);
    aTimer->OnTimer = [this, aTick](TvynTimer*) { (this->*aTick)(); };
    aTimer->SetEnabled(true);
  };
  if (HeartBeat().Enabled) make(FHeartBeatTimer, HeartBeat().Interval, &TvynWSServer_Talvex_Base::HeartBeatTick);
  if (Optimizations().ConnectionsFree.Enabled)
    make(FConnectionsFreeTimer, Optimizations().ConnectionsFree.Interval,
         &TvynWSServer_Talvex_Base::ConnectionsFreeTick);
  FWatchDogOn.store(WatchDog().Enabled);
  if (WatchDog().Enabled) make(FWatchDogTimer, WatchDog().Interval, &TvynWSServer_Talvex_Base::WatchDogTick);
}

void TvynWSServer_Talvex_Base::StopTimers() {
  TvynTimer *heartBeat, *connectionsFree, *watchDog;
  {
    std::lock_guard<std::mutex> g(FTimersLock);
    FWatchDogOn.store(false);
    heartBeat = std::exchange(FHeartBeatTimer, nullptr);
    connectionsFree = std::exchange(FConnectionsFreeTimer, nullptr);
    watchDog = std::exchange(FWatchDogTimer, nullptr);
  }
  // Each is joined (or, from its own handler, freed once its thread ended).
  FreeTimer(heartBeat);
  FreeTimer(connectionsFree);
  FreeTimer(watchDog);
}

void TvynWSServer_Talvex_Base::HeartBeatTick() {
  // Pings go to WebSocket connections, which this build does not make yet:
  // nothing is enabled, so there is nothing to ping.
}

void TvynWSServer_Talvex_Base::ConnectionsFreeTick() {
  std::lock_guard<std::mutex> g(FFreeLock);
  FConnectionsFree.erase(std::remove_if(FConnectionsFree.begin(), FConnectionsFree.end(),
                                        [](const std::unique_ptr<TPersistent>& p) {
                                          return static_cast<TvynWSConnectionServer*>(p.get())->PendingEvents() == 0;
                                        }),
                         FConnectionsFree.end());
}

void TvynWSServer_Talvex_Base::WatchDogTick() {
  if (!FWatchDogOn.load() || Destroying()) return;
  if (FHTTPServer && FHTTPServer->Active()) return;
  if (NotifyEvents == TwsNotifyEvent::neNoSync) {
    Start();
    return;
  }
  QueueOnUIThread([this, alive = FAlive] {
    if (alive->load()) Start();
  });
}

// ---------------------------------------------------------------------------
// Connections

std::vector<TIdContext*>& TvynWSServer_Talvex_Base::LockList() { return HTTPServer().Contexts().LockList(); }

void TvynWSServer_Talvex_Base::UnLockList() { HTTPServer().Contexts().UnlockList(); }

TvynWSConnectionServer* TvynWSServer_Talvex_Base::ConnectionOf(TIdContext* aContext) {
  return aContext ? dynamic_cast<TvynWSConnectionServer*>(aContext->Data.get()) : nullptr;
}

TvynWSConnectionServer* TvynWSServer_Talvex_Base::GetConnectionByGuid(const std::string& aGuid) {
  TvynWSConnectionServer* found = nullptr;
  auto& list = LockList();
  for (TIdContext* context : list) {
    TvynWSConnectionServer* c = ConnectionOf(context);
    if (c && c->Guid() == aGuid) {
      found = c;
      break;
    }
  }
  UnLockList();
  return found;
}

TvynWSConnectionServer* TvynWSServer_Talvex_Base::GetConnectionByIndex(std::int32_t Index) {
  TvynWSConnectionServer* found = nullptr;
  auto& list = LockList();
  if (Index >= 0 && static_cast<std::size_t>(Index) < list.size())
    found = ConnectionOf(list[static_cast<std::size_t>(Index)]);
  UnLockList();
  return found;
}

void TvynWSServer_Talvex_Base::DisconnectAll() {
  if (!FHTTPServer) return;
  auto& list = LockList();
  // Under the list lock a context's Data cannot change hands (the
  // connection threads take it to attach or detach their object). Only the
  // object's own flags are read here: the socket belongs to its thread, and
  // Close from this thread only shuts it down.
  for (std::size_t i = list.size(); i-- > 0;) {
    TvynWSConnectionServer* c = ConnectionOf(list[i]);
    if (!c || c->Disconnected()) continue;
    try {
      c->Close();
    } catch (const Exception& e) {
      DoException(c, e);
    } catch (const std::exception& e) {
      DoException(c, Exception(e.what()));
    }
  }
  UnLockList();
}

std::unique_ptr<TPersistent> TvynWSServer_Talvex_Base::TakeData(TIdContext* aContext) {
  auto& contexts = HTTPServer().Contexts();
  contexts.LockList();
  std::unique_ptr<TPersistent> owned = std::move(aContext->Data);
  contexts.UnlockList();
  return owned;
}

void TvynWSServer_Talvex_Base::PutData(TIdContext* aContext, std::unique_ptr<TPersistent> aData) {
  auto& contexts = HTTPServer().Contexts();
  contexts.LockList();
  aContext->Data = std::move(aData);
  contexts.UnlockList();
}

void TvynWSServer_Talvex_Base::ConnectionSetUp(TIdContext* aContext) {
  if (Destroying() || !aContext) return;
  tConnectionOf = this;
  TvynWSConnectionServer* connection = nullptr;
  try {
    TIdTCPConnection* tcp = aContext->Connection();
    TIdSocketHandle* binding = tcp && tcp->Socket() ? tcp->Socket()->Binding() : nullptr;
    if (binding && binding->HandleAllocated()) {
      if (FOptions.WriteTimeOut > 0) {
        timeval tv{};
        tv.tv_sec = FOptions.WriteTimeOut / 1000;
        tv.tv_usec = (FOptions.WriteTimeOut % 1000) * 1000;
        ::setsockopt(binding->Handle(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
      }
      if (TCPKeepAlive().Enabled) binding->SetKeepAliveValues(true, TCPKeepAlive().Time, TCPKeepAlive().Interval);
    }
    auto owned = std::make_unique<TvynWSConnectionServer>(aContext);
    connection = owned.get();
    const bool ssl = FSSLHandler != nullptr;
    connection->SetServerSSL(ssl);
    connection->SetServerOriginsAllowed(FSecurityOptions.OriginsAllowed);
    connection->ValidateUTF8 = FOptions.ValidateUTF8;
    connection->CleanDisconnect = FOptions.CleanDisconnect;
    connection->RaiseDisconnectExceptions = FOptions.RaiseDisconnectExceptions;
    connection->FragmentedMessages = FOptions.FragmentedMessages;
    connection->QueueOptions.Assign(FQueueOptions);
    connection->Masked = false;
    connection->SetProtocol(Protocols);
    connection->SetReadTimeOut(FOptions.ReadTimeOut());
    // No Alt-Svc line: it would advertise HTTP/2, which this build does not
    // serve.
    AttachThrottle(tcp);
    PutData(aContext, std::move(owned));
    if (OnTCPConnect) {
      bool accept = true;
      OnTCPConnect(connection, accept);
      if (!accept) throw Exception(kConnectionRejected);
    }
  } catch (const Exception& e) {
    ErrorPath(connection, e.Message());
    if (!connection) detail::CloseTCPConnection(aContext->Connection());
  } catch (const std::exception& e) {
    ErrorPath(connection, e.what());
    if (!connection) detail::CloseTCPConnection(aContext->Connection());
  }
}

void TvynWSServer_Talvex_Base::ConnectionTearDown(TIdContext* aContext) {
  if (tConnectionOf == this) tConnectionOf = nullptr;
  if (!aContext || !aContext->Data) return;
  auto* connection = dynamic_cast<TvynWSConnectionServer*>(aContext->Data.get());
  if (!connection) return;
  std::unique_ptr<TPersistent> owned = TakeData(aContext);
  if (connection->Enabled()) {
    connection->SetDisconnected(true);
    if (!Destroying() && OnDisconnect) {
      std::int32_t code = connection->CloseCode();
      connection->AddPendingEvent();
      Deliver([this, connection, code, pending = connection->PendingCounter()] {
        if (OnDisconnect) OnDisconnect(connection, code);
        --*pending;
      });
    }
  }
  std::lock_guard<std::mutex> g(FFreeLock);
  // Kept while an event for it still waits for the UI thread.
  if (!Destroying() && connection->PendingEvents() > 0) FConnectionsFree.push_back(std::move(owned));
}

void TvynWSServer_Talvex_Base::ErrorPath(TvynWSConnectionServer* aConnection, const std::string& aMessage) {
  try {
    if (aConnection && OnError) {
      aConnection->SetMsgError(aMessage);
      aConnection->AddPendingEvent();
      Deliver([this, aConnection, aMessage, pending = aConnection->PendingCounter()] {
        if (OnError) OnError(aConnection, aMessage);
        --*pending;
      });
    }
    if (aConnection) aConnection->Disconnect();
  } catch (...) {
    // The error path itself must not fail: the connection ends anyway.
    try {
      if (aConnection) aConnection->Disconnect();
    } catch (...) {
    }
  }
}

void TvynWSServer_Talvex_Base::CloseConnection(TIdContext* aContext) {
  TIdTCPConnection* tcp = aContext->Connection();
  if (tcp && tcp->IOHandler()) detail::ClearInput(tcp->IOHandler());
  std::unique_ptr<TPersistent> owned = TakeData(aContext);
  detail::CloseTCPConnection(tcp);
  auto* connection = dynamic_cast<TvynWSConnectionServer*>(owned.get());
  if (connection && connection->PendingEvents() > 0) {
    std::lock_guard<std::mutex> g(FFreeLock);
    FConnectionsFree.push_back(std::move(owned));
  }
}

// ---------------------------------------------------------------------------
// Execute step

void TvynWSServer_Talvex_Base::Execute(TIdContext* aContext) {
  if (Destroying() || !aContext) return;
  TIdTCPConnection* tcp = aContext->Connection();
  TIdIOHandler* io = tcp ? tcp->IOHandler() : nullptr;
  if (!io) return;
  TvynWSConnectionServer* connection = ConnectionOf(aContext);
  try {
    if (connection && connection->Transport() == TwsTransport::trpHTTP && !connection->Enabled() &&
        !connection->Disconnected()) {
      // Back from waiting parked between keep-alive requests (perhaps on
      // another thread than the one it started on): its next request.
      tConnectionOf = this;
      ServeHTTP(aContext);
      return;
    }
    if (!connection) {
      detail::ClearInput(io);
      detail::CloseTCPConnection(tcp);
      return;
    }
    if (connection->Disconnected()) {
      detail::ClearInput(io);
      // Its disconnect was asked for from another thread: close it here,
      // where the socket belongs.
      detail::CloseTCPConnection(tcp);
      return;
    }
    if (connection->Enabled()) {
      ServeEnabled(aContext, connection);
      return;
    }
    if (io->InputBufferIsEmpty() && AwaitFirstBytes(aContext, connection)) return;
    connection->ReadCount = 0;
    if (IsTLSConnection(tcp) && io->InputBuffer()->Size() == 1) {
      auto* http = dynamic_cast<TvynWSHTTPServer*>(this);
      const std::int32_t limit = http ? http->ReadStartSSL : 10;
      if (++connection->ReadStartSSLCount > limit) {
        connection->HeadersRequest().Clear();
        detail::ClearInput(io);
        throw Exception(kErrorStartingSSL);
      }
      return;
    }
    bool overLimit = false;
    TIdBytes bytes = Gather(io, overLimit);
    connection->AddRecBytes(static_cast<std::int64_t>(bytes.size()));
    if (overLimit) {
      // Too long to classify: the request reader answers it within its own
      // limits, and anything else is no protocol of this server.
      connection->HeadersRequest().Clear();
      Dispatch(aContext, connection,
               LooksLikeHTTPStart(bytes) ? detail::TwsRequestKind::rkHTTP : detail::TwsRequestKind::rkOther);
      return;
    }
    std::string text(bytes.begin(), bytes.end());
    connection->HeadersRequest().SetText(text);
    Dispatch(aContext, connection, detail::ClassifyRequest(text, ClassifyOptions(connection)));
  } catch (const EIdSilentException&) {
    detail::CloseTCPConnection(tcp);
  } catch (const EIdReadTimeout&) {
    // An idle keep-alive connection timed out: a normal end.
    detail::CloseTCPConnection(tcp);
  } catch (const Exception& e) {
    ErrorPath(connection, e.Message());
    if (!connection) detail::CloseTCPConnection(tcp);
  } catch (const std::exception& e) {
    ErrorPath(connection, e.what());
    if (!connection) detail::CloseTCPConnection(tcp);
  }
}

bool TvynWSServer_Talvex_Base::AwaitFirstBytes(TIdContext* aContext, TvynWSConnectionServer* aConnection) {
  TIdTCPConnection* tcp = aContext->Connection();
  TIdIOHandler* io = tcp->IOHandler();
  const auto now =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
  const std::int32_t requestTimeout = HTTPServer().RequestTimeout > 0 ? HTTPServer().RequestTimeout : 20000;
  if (aConnection->FirstBytesDeadline == 0) aConnection->FirstBytesDeadline = now + requestTimeout;
  const std::int64_t left = aConnection->FirstBytesDeadline - now;
  TIdYarn* yarn = aContext->Yarn();
  if (left <= 0 || (yarn && yarn->IdleExpired())) {
    // What came at the last moment is still taken; else the time is up.
    io->CheckForDataOnSource(0);
    if (!io->InputBufferIsEmpty()) return false;
    CloseConnection(aContext);
    return true;
  }
  auto* http = dynamic_cast<TvynWSHTTPServer*>(this);
  const std::int32_t emptyLimit = http ? http->ReadEmptySource : 0;
  if (emptyLimit > 0) {
    // Counted short waits, as the option asks.
    io->CheckForDataOnSource(static_cast<std::int32_t>(std::min<std::int64_t>(left, FOptions.ReadTimeOut())));
    if (!io->InputBufferIsEmpty()) return false;
    if (++aConnection->ReadCount >= emptyLimit) CloseConnection(aContext);
    return true;
  }
  // One wait for the whole time left: without a thread where the scheduler
  // can hold the connection, else blocked in the poll (a stop interrupts
  // it).
  const auto wait = static_cast<std::int32_t>(std::min<std::int64_t>(left, INT32_MAX));
  if (yarn && HTTPServer().ParkUntilFirstBytes(*tcp, *yarn, wait)) return true;
  io->CheckForDataOnSource(wait);
  return io->InputBufferIsEmpty();
}

void TvynWSServer_Talvex_Base::ServeEnabled(TIdContext* aContext, TvynWSConnectionServer* aConnection) {
  TIdIOHandler* io = aContext->Connection()->IOHandler();
  if (io->InputBufferIsEmpty()) io->CheckForDataOnSource(kEnabledWaitMs);
  if (io->InputBufferIsEmpty()) return;
  TIdBytes bytes;
  io->InputBuffer()->ExtractToBytes(bytes, -1, false);
  aConnection->AddRecBytes(static_cast<std::int64_t>(bytes.size()));
  // An event stream's client has nothing to say; plain TCP bytes are the
  // owner's.
  if (aConnection->Transport() != TwsTransport::trpTCP || !OnBinary) return;
  auto data = std::make_shared<TMemoryStream>();
  data->WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  data->SetPosition(0);
  aConnection->AddPendingEvent();
  Deliver([this, aConnection, data, pending = aConnection->PendingCounter()] {
    if (OnBinary) OnBinary(aConnection, *data);
    --*pending;
  });
}

void TvynWSServer_Talvex_Base::AttachThrottle(TIdTCPConnection* aConnection) {
  if (!FThrottle.Enabled || FThrottle.BitsPerSec <= 0 || !aConnection || !aConnection->IOHandler()) return;
  TIdIOHandler* io = aConnection->IOHandler();
  const auto bits = static_cast<std::int32_t>(std::min<std::int64_t>(FThrottle.BitsPerSec, INT32_MAX));
  TIdConnectionIntercept* last = io->Intercept();
  while (last && last->Intercept()) last = last->Intercept();
  // Owned by the intercept it is chained to (the log's), else by the
  // handler's clean-up at the connection's end like any accepted intercept.
  auto* throttle = new TIdInterceptThrottler(last);
  throttle->SetBitsPerSec(bits);
  if (last) {
    last->SetIntercept(throttle);
  } else {
    io->SetIntercept(throttle);
  }
  throttle->Connect(aConnection);
}

void TvynWSServer_Talvex_Base::ServeHTTP(TIdContext* aContext) {
  bool parked = false;
  try {
    parked = HTTPServer().DoExecuteHTTP(aContext);
  } catch (const EIdSilentException&) {
  } catch (const EIdReadTimeout&) {
  }
  if (!parked) CloseConnection(aContext);
}

detail::TClassifyOptions TvynWSServer_Talvex_Base::ClassifyOptions(TvynWSConnectionServer* aConnection) {
  detail::TClassifyOptions flags;
  flags.AuthenticationEnabled = FAuthentication.Enabled;
  flags.SessionEnabled = FAuthentication.Session.Enabled;
  flags.SSL = aConnection && aConnection->ServerSSL();
  flags.OAuth2Server = FAuthentication.OAuth.OAuth2 != nullptr;
  flags.HTTP2Enabled = FHTTP2Options.Enabled;
  flags.BuiltinFiles.JavascriptFiles = FOptions.JavascriptFiles;
  flags.BuiltinFiles.HTMLFiles = FOptions.HTMLFiles;
  flags.BuiltinFiles.FlashFallBack = FFallBack.Flash.Enabled;
  flags.BuiltinFiles.EventSourceFallBack = FFallBack.ServerSentEvents.Enabled;
  return flags;
}

TIdBytes TvynWSServer_Talvex_Base::Gather(TIdIOHandler* aIO, bool& aOverLimit) {
  // Stops as soon as a head is complete (no wait after its last byte);
  // bytes that look like an HTTP request line are waited for up to the
  // request time, anything else only for ReadTimeOut per pause. The line
  // and head limits apply before anything is classified.
  aOverLimit = false;
  const std::int32_t lineLimit =
      HTTPServer().MaximumRequestLineLength > 0 ? HTTPServer().MaximumRequestLineLength : kGatherHeadLimit;
  auto overLimit = [&](const TIdBytes& aBytes) {
    if (static_cast<std::int32_t>(aBytes.size()) > kGatherHeadLimit) return true;
    const auto lineEnd = std::find(aBytes.begin(), aBytes.end(), '\n');
    return std::distance(aBytes.begin(), lineEnd) > lineLimit;
  };
  TIdBytes bytes;
  const std::int32_t requestTimeout = HTTPServer().RequestTimeout > 0 ? HTTPServer().RequestTimeout : 20000;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(requestTimeout);
  std::size_t searched = 0;
  for (;;) {
    bytes.clear();
    const std::int32_t size = aIO->InputBuffer() ? aIO->InputBuffer()->Size() : 0;
    if (size > 0) aIO->InputBuffer()->ExtractToBytes(bytes, std::min(size, kGatherHeadLimit + 1), false, 0);
    if (overLimit(bytes)) {
      aOverLimit = true;
      break;
    }
    if (static_cast<std::int64_t>(bytes.size()) > MaxReadBufferSize) break;
    const bool preface =
        bytes.size() >= 4 && std::equal(bytes.begin(), bytes.begin() + 4, detail::kHTTP2Preface.begin());
    if (preface && bytes.size() >= detail::kHTTP2Preface.size()) break;
    if (!preface && HeadEnd(bytes, searched > 2 ? searched - 2 : 0) >= 0) break;
    searched = bytes.size();
    const bool httpLike = preface || LooksLikeHTTPStart(bytes);
    std::int32_t wait = FOptions.ReadTimeOut();
    if (httpLike) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      wait = static_cast<std::int32_t>(std::min<std::int64_t>(left.count(), kHeadGatherStepMs));
    }
    if (!aIO->CheckForDataOnSource(wait) && !httpLike) break;
    if (!aIO->Connected()) break;
  }
  if (static_cast<std::int64_t>(bytes.size()) > MaxReadBufferSize && MaxReadBufferSize >= 0)
    bytes.resize(static_cast<std::size_t>(MaxReadBufferSize));
  return bytes;
}

void TvynWSServer_Talvex_Base::Dispatch(TIdContext* aContext, TvynWSConnectionServer* aConnection,
                                        detail::TwsRequestKind aKind) {
  using detail::TwsRequestKind;
  TIdTCPConnection* tcp = aContext->Connection();
  switch (aKind) {
    case TwsRequestKind::rkWebSocketUpgrade:
      aConnection->HeadersRequest().Clear();
      if (tcp && tcp->IOHandler()) detail::ClearInput(tcp->IOHandler());
      throw Exception(kUpgradeNotAvailable);
    case TwsRequestKind::rkHTTP:
    // HTTP/1.x branches whose own answers are not wired yet reach the
    // owner's handlers as plain requests.
    case TwsRequestKind::rkSessionRequest:
    case TwsRequestKind::rkMessagePost:
    case TwsRequestKind::rkProtocolPost:
    case TwsRequestKind::rkOAuth2:
    case TwsRequestKind::rkBuiltinFile:
    case TwsRequestKind::rkEventStream:
      aConnection->SetTransport(TwsTransport::trpHTTP);
      ServeHTTP(aContext);
      return;
    case TwsRequestKind::rkOther: {
      bool accept = false;
      if (OnUnknownProtocol) OnUnknownProtocol(aConnection, accept);
      if (accept) {
        aConnection->SetTransport(TwsTransport::trpTCP);
        aConnection->SetEnabled(true);
        return;
      }
      CloseConnection(aContext);
      return;
    }
    default:
      // Branches whose layer this build does not have end like an unknown
      // protocol: closed.
      CloseConnection(aContext);
      return;
  }
}

// ---------------------------------------------------------------------------
// TvynWSHTTPServer

TvynWSHTTPServer::TvynWSHTTPServer(TComponent* aOwner) : TvynWSServer_Talvex_Base(aOwner) {}

TvynWSHTTPServer::~TvynWSHTTPServer() { EndComponent(); }

std::string TvynWSHTTPServer::DocumentRoot() const {
  std::string root = FDocumentRoot;
  if (!root.empty() && (root.back() == '/' || root.back() == '\\')) root.pop_back();
  return root;
}

void TvynWSHTTPServer::InitHTTPServer(TvynWSHTTPCustomServer& aServer) {
  TvynWSServer_Talvex_Base::InitHTTPServer(aServer);
  aServer.OnCommandGet = [this](TIdContext* AContext, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
    CommandGet(AContext, q, r);
  };
  aServer.OnCommandOther = [this](TIdContext* AContext, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
    CommandOther(AContext, q, r);
  };
  aServer.OnCreateSession = [this](TIdContext* AContext, TIdHTTPSession*& VSession) {
    if (OnCreateSession) OnCreateSession(AContext, VSession);
  };
  aServer.OnInvalidSession = [this](TIdContext* AContext, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r,
                                    bool& VContinue, const std::string& AId) {
    if (OnInvalidSession) OnInvalidSession(AContext, q, r, VContinue, AId);
  };
  aServer.OnSessionStart = [this](TIdHTTPSession* S) {
    if (OnSessionStart) OnSessionStart(S);
  };
  aServer.OnSessionEnd = [this](TIdHTTPSession* S) {
    if (OnSessionEnd) OnSessionEnd(S);
  };
  aServer.OnCreatePostStream = [this](TIdContext* AContext, TIdHeaderList& AHeaders, TStream*& VPostStream) {
    CreatePostStream(AContext, AHeaders, VPostStream);
  };
  aServer.OnDoneWithPostStream = [this](TIdContext* AContext, TIdHTTPRequestInfo* q, bool& VCanFree) {
    DoneWithPostStream(AContext, q, VCanFree);
  };
  aServer.OnParseAuthentication = [this](TIdContext* AContext, const std::string& AAuthType,
                                         const std::string& AAuthData, std::string& VUsername, std::string& VPassword,
                                         bool& VHandled) {
    ParseAuthentication(AContext, AAuthType, AAuthData, VUsername, VPassword, VHandled);
  };
}

void TvynWSHTTPServer::CommandGet(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                  TIdHTTPResponseInfo* AResponseInfo) {
  HandleCommand(AContext, ARequestInfo, AResponseInfo, false);
}

void TvynWSHTTPServer::CommandOther(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                    TIdHTTPResponseInfo* AResponseInfo) {
  HandleCommand(AContext, ARequestInfo, AResponseInfo, true);
}

void TvynWSHTTPServer::HandleCommand(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                     TIdHTTPResponseInfo* AResponseInfo, bool aOther) {
  TvynWSConnectionServer* connection = ConnectionOf(AContext);
  auto addAltSvc = [&] {
    if (connection && !connection->AltSvc().empty() && !AResponseInfo->HeaderHasBeenWritten() &&
        AResponseInfo->CustomHeaders().IndexOf(connection->AltSvc()) < 0)
      AResponseInfo->CustomHeaders().Add(connection->AltSvc());
  };
  if (ForwardRequest(connection, ARequestInfo, AResponseInfo)) return;
  if (Authentication().Enabled && !(connection && connection->IsInternal()) &&
      !AuthenticateRequest(connection, ARequestInfo, AResponseInfo)) {
    AResponseInfo->AuthRealm = kWSServerSoftware;
    AResponseInfo->SetCloseConnection(true);
    return;
  }
  if (!aOther && !DocumentRoot().empty()) {
    addAltSvc();
    if (ServeDocument(AContext, ARequestInfo, AResponseInfo)) return;
  }
  if (aOther) {
    if (OnCommandOther) OnCommandOther(AContext, ARequestInfo, AResponseInfo);
  } else {
    if (OnCommandGet) OnCommandGet(AContext, ARequestInfo, AResponseInfo);
  }
  addAltSvc();
}

bool TvynWSHTTPServer::AuthenticateRequest(TvynWSConnectionServer* aConnection, TIdHTTPRequestInfo* ARequestInfo,
                                           TIdHTTPResponseInfo* AResponseInfo) {
  if (UncheckableAuthentication()) {
    // No token service in this build: a missing check never lets a request
    // through.
    if (AResponseInfo->WWWAuthenticate().IndexOf(kBearerChallenge) < 0)
      AResponseInfo->WWWAuthenticate().Add(kBearerChallenge);
    return false;
  }
  if (!Authentication().Basic.Enabled) return true;
  if (!ARequestInfo->AuthExists) return false;
  bool ok = CheckCredentials(aConnection, ARequestInfo->AuthUsername, ARequestInfo->AuthPassword);
  if (ok && aConnection) {
    auto& a = aConnection->Authentication();
    a.Authenticated = true;
    a.AuthType = TwsAuthentication::authBasic;
    a.User = ARequestInfo->AuthUsername;
    a.Password = ARequestInfo->AuthPassword;
  }
  return ok;
}

bool TvynWSHTTPServer::CheckCredentials(TvynWSConnectionServer* aConnection, const std::string& aUser,
                                        const std::string& aPassword) {
  const TStringList& users = Authentication().AuthUsers;
  int index = users.IndexOfName(aUser);
  if (index >= 0 && !aUser.empty() && users.ValueFromIndex(index) == aPassword) return true;
  bool authenticated = false;
  if (OnAuthentication) OnAuthentication(aConnection, aUser, aPassword, authenticated);
  return authenticated;
}

bool TvynWSHTTPServer::ServeDocument(TIdContext*, TIdHTTPRequestInfo* ARequestInfo,
                                     TIdHTTPResponseInfo* AResponseInfo) {
  std::string file;
  // The path as sent: the resolver refuses what would leave the root before
  // decoding can hide it. Checked and opened in one step, and served from
  // what was opened: a link swapped in meanwhile is never followed.
  const int fd = IdOpenDocument(DocumentRoot(), ARequestInfo->URI, file);
  if (fd < 0) return false;
  struct Closer {
    int Fd;
    ~Closer() { ::close(Fd); }
  } closer{fd};
  AResponseInfo->SetContentType(HTTPServer().MIMETable().GetFileMIMEType(file));
  if (!Charset.empty()) AResponseInfo->CharSet = Charset;
  AResponseInfo->ServeOpenedFile(fd, file);
  return true;
}
