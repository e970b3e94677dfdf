#include "transport/vynIdCustomTCPServer.h"

#include <sys/socket.h>

#include <chrono>

#include "transport/vynIdSchedulerOfEvents.h"
#include "transport/vynIdStack.h"

namespace {
constexpr const char* kSchedulerChangeWhileActive = "Cannot change the scheduler while the server is Active.";
constexpr const char* kThreadsDidNotEnd = "Connection threads did not end within %d ms after the server was stopped.";
constexpr const char* kDefaultServerName = "IdCustomTCPServer";
constexpr const char* kListenerSuffix = " Listener #";
constexpr const char* kSchedulerSuffix = "Scheduler";
// Each step of a stop's wait: connections are told again to close, and
// those accepted in the meantime are reached too.
constexpr std::int32_t kStopStepMs = 500;
// The longest a listener waits before it looks again for a free thread.
constexpr std::int32_t kThreadWaitStepMs = 250;
// A failed accept (out of descriptors, say) is retried after this pause, so
// a lasting failure does not turn the listener into a busy loop.
constexpr std::int32_t kAcceptFailurePauseMs = 100;

// The server whose connection or listener this thread serves: a stop from
// such a thread must not wait for the thread itself.
thread_local TIdCustomTCPServer* tServingServer = nullptr;

struct ConnectionToken {
  explicit ConnectionToken(std::shared_ptr<std::atomic<int>> ACount) : Count(std::move(ACount)) { ++*Count; }
  ~ConnectionToken() { --*Count; }
  ConnectionToken(const ConnectionToken&) = delete;
  ConnectionToken& operator=(const ConnectionToken&) = delete;
  std::shared_ptr<std::atomic<int>> Count;
};
}  // namespace

// ---------------------------------------------------------------------------
// TIdListenerThread

TIdListenerThread::TIdListenerThread(TIdCustomTCPServer* AServer, TIdSocketHandle* ABinding, const std::string& AName)
    : TIdThread(true, true, AName), FBinding(ABinding), FServer(AServer) {}

TIdListenerThread::~TIdListenerThread() { EndThread(); }

void TIdListenerThread::PrepareRun() {
  tServingServer = FServer;
  TIdThread::PrepareRun();
  if (OnBeforeRun) OnBeforeRun(this);
}

void TIdListenerThread::Run() { FServer->AcceptOne(this); }

void TIdListenerThread::AfterRun() {
  // This thread owns the listening socket while it runs.
  FBinding->CloseSocket();
  TIdThread::AfterRun();
}

// ---------------------------------------------------------------------------
// TIdCustomTCPServer

TIdCustomTCPServer::TIdCustomTCPServer(TComponent* AOwner) : TIdComponent(AOwner) {
  ContextClass = [](std::unique_ptr<TIdTCPConnection> AConnection, TIdYarn* AYarn, TIdContextThreadList* AList) {
    return std::make_unique<TIdServerContext>(std::move(AConnection), AYarn, AList);
  };
}

TIdCustomTCPServer::~TIdCustomTCPServer() {
  SetActive(false);
  JoinPendingStop();
  SetIOHandler(nullptr);
  SetIntercept(nullptr);
  if (FScheduler && !ImplicitScheduler()) FScheduler->RemoveFreeNotification(this);
  FScheduler = nullptr;
  FImplicitScheduler.reset();
}

void TIdCustomTCPServer::JoinPendingStop() {
  std::thread stopper;
  {
    std::lock_guard<std::mutex> g(FStopperLock);
    if (!FStopper.joinable() || FStopper.get_id() == std::this_thread::get_id()) return;
    stopper = std::move(FStopper);
  }
  stopper.join();
}

void TIdCustomTCPServer::SetActive(bool AValue) {
  // The scheduler is looked at only from a shared thread: elsewhere a stop
  // running on a thread of its own may be freeing the implicit one.
  const TIdScheduler* shared = TIdSchedulerOfEvents::SharedThreadScheduler();
  const bool fromOwnThread = tServingServer == this || (shared && shared == FScheduler);
  // A stop that a connection deferred ends before anything else changes.
  if (!fromOwnThread) JoinPendingStop();
  std::lock_guard<std::recursive_mutex> g(FActiveLock);
  if (AValue == FActive.load()) return;
  if (IsDesigning() || IsLoading()) {
    FActive.store(AValue);
    return;
  }
  if (AValue) {
    CheckActivation();
    try {
      BeginService();
      FActive.store(true);
    } catch (...) {
      FActive.store(true);
      try {
        SetActive(false);
      } catch (...) {
        // The failure to start is the one to report.
      }
      throw;
    }
    return;
  }
  FActive.store(false);
  if (fromOwnThread) {
    // Waiting here would wait for this very thread: the stop runs on a
    // thread of its own, and the next Start or the destructor joins it.
    FStopping.store(true);
    std::lock_guard<std::mutex> sg(FStopperLock);
    FStopper = std::thread([this] {
      std::lock_guard<std::recursive_mutex> lock(FActiveLock);
      try {
        EndService();
      } catch (const Exception& e) {
        FireListenException(nullptr, e);
      }
    });
    return;
  }
  EndService();
}

void TIdCustomTCPServer::BeginService() {
  FStopping.store(false);
  if (FBindings.Count() == 0) {
    TIdSocketHandle& first = FBindings.Add();
    first.SetIPVersion(TIdIPVersion::Id_IPv4);
    first.SetPort(DefaultPort());
    // Both wildcard addresses listen when the machine has IPv6.
    if (GStack->SupportsIPv6()) {
      TIdSocketHandle& second = FBindings.Add();
      second.SetIPVersion(TIdIPVersion::Id_IPv6);
      second.SetPort(DefaultPort());
    }
  }
  if (!FIOHandler) {
    FImplicitIOHandler = std::make_unique<TIdServerIOHandlerStack>();
    FIOHandler = FImplicitIOHandler.get();
    FIOHandler->SetScheduler(FScheduler);
  }
  FIOHandler->Init();
  if (!FScheduler) {
    auto scheduler = std::make_unique<TIdSchedulerOfThreadDefault>();
    scheduler->Name = Name + kSchedulerSuffix;
    FImplicitScheduler = std::move(scheduler);
    FScheduler = FImplicitScheduler.get();
    FIOHandler->SetScheduler(FScheduler);
  }
  FScheduler->Init();
  StartListening();
}

void TIdCustomTCPServer::EndService() {
  FStopping.store(true);
  try {
    StopListening();
    if (FScheduler) {
      const auto started = std::chrono::steady_clock::now();
      bool reported = false;
      for (;;) {
        // Again at every step: a connection whose thread had not yet
        // listed its context at the last pass is reached now.
        CloseAllContexts();
        if (FScheduler->TerminateAllYarns(kStopStepMs)) break;
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        if (!reported && TerminateWaitTime > 0 && waited.count() >= TerminateWaitTime) {
          reported = true;
          FireListenException(nullptr, EIdException(Format(kThreadsDidNotEnd, TerminateWaitTime)));
        }
      }
    }
  } catch (...) {
    if (ImplicitScheduler()) FreeImplicitScheduler();
    throw;
  }
  if (ImplicitScheduler()) FreeImplicitScheduler();
  if (FIOHandler) FIOHandler->Shutdown();
}

void TIdCustomTCPServer::FreeImplicitScheduler() {
  FScheduler = nullptr;
  if (FIOHandler) FIOHandler->SetScheduler(nullptr);
  FImplicitScheduler.reset();
}

void TIdCustomTCPServer::StartListening() {
  auto& listeners = FListeners.LockList();
  try {
    const int first = static_cast<int>(listeners.size());
    const int count = FBindings.Count();
    for (int i = first; i < count; ++i) {
      TIdSocketHandle& binding = FBindings.Items(i);
      try {
        binding.AllocateSocket(SOCK_STREAM);
        // Listeners reuse their address unless told otherwise, so that a
        // restart does not wait for old connections in TIME_WAIT.
        binding.SetReuseSocket(ReuseSocket == TIdReuseSocket::rsOSDependent ? TIdReuseSocket::rsTrue : ReuseSocket);
        FireBeforeBind(&binding);
        binding.Bind();
        binding.SetUseNagle(UseNagle);
      } catch (...) {
        for (int j = first; j <= i; ++j) FBindings.Items(j).CloseSocket();
        throw;
      }
    }
    if (count > first) FireAfterBind();
    const std::string serverName = Name.empty() ? kDefaultServerName : Name;
    for (int i = first; i < count; ++i) {
      TIdSocketHandle& binding = FBindings.Items(i);
      std::unique_ptr<TIdListenerThread> listener;
      try {
        binding.Listen(ListenQueue);
        listener =
            std::make_unique<TIdListenerThread>(this, &binding, serverName + kListenerSuffix + std::to_string(i + 1));
        listener->OnBeforeRun = [this](TIdThread* AThread) { FireBeforeListenerRun(AThread); };
        listener->SetPriority(TThreadPriority::tpHighest);
        listeners.push_back(listener.get());
        listener.release()->Start();
      } catch (...) {
        binding.CloseSocket();
        throw;
      }
    }
  } catch (...) {
    FListeners.UnlockList();
    throw;
  }
  FListeners.UnlockList();
}

void TIdCustomTCPServer::StopListening() {
  auto& listeners = FListeners.LockList();
  while (!listeners.empty()) {
    std::unique_ptr<TIdListenerThread> listener(listeners.front());
    listeners.erase(listeners.begin());
    listener->Terminate();
    // Wakes an accept that blocks without polling; the listener closes the
    // socket itself, maybe right now: Shutdown looks at the handle under the
    // binding's lock.
    listener->Binding()->Shutdown();
    listener->WaitFor();
    listener->Binding()->CloseSocket();
  }
  FListeners.UnlockList();
}

void TIdCustomTCPServer::AcceptOne(TIdListenerThread* AListener) {
  // At the thread limit, wait for a connection to end rather than fail over
  // and over; the connection waits in the backlog meanwhile.
  // Applications watch OnListenException for overload: told once each time
  // the limit is reached, not at every look.
  if (auto* scheduler = dynamic_cast<TIdSchedulerOfThread*>(FScheduler)) {
    bool told = false;
    while (!scheduler->CanMakeThread()) {
      if (AListener->Stopped()) return;
      if (!told) {
        told = true;
        FireListenException(AListener, EIdSchedulerMaxThreadsExceeded());
      }
      scheduler->WaitForActiveYarnsBelow(scheduler->MaxThreads + 1, kThreadWaitStepMs);
    }
  }
  TIdYarn* yarn = nullptr;
  std::unique_ptr<TIdTCPConnection> connection;
  std::unique_ptr<TIdServerContext> context;
  auto dropYarn = [&] {
    if (yarn && FScheduler) FScheduler->TerminateYarn(yarn);
    yarn = nullptr;
  };
  try {
    yarn = FScheduler->AcquireYarn();
    std::unique_ptr<TIdIOHandler> handler = FIOHandler->Accept(*AListener->Binding(), AListener, yarn);
    if (!handler) {
      AListener->Stop();
      dropYarn();
      return;
    }
    TIdIOHandler* raw = handler.get();
    connection = NewConnection();
    connection->AdoptIOHandler(std::move(handler));
    const bool atLimit = MaxConnections > 0 && ConnectionCount() >= MaxConnections;
    if (atLimit || Stopping()) {
      if (atLimit) ConnectionLimitReached(raw);
      connection->Disconnect();
      connection.reset();
      dropYarn();
      return;
    }
    context = ContextClass(std::move(connection), yarn, &FContexts);
    context->SetServer(this);
    context->CountToken = std::make_shared<ConnectionToken>(FConnectionCount);
    context->OnBeforeRun = [this](TIdContext* AContext) { AttachContext(AContext); };
    context->OnRun = [this](TIdContext* AContext) { return RunExecute(AContext); };
    context->OnAfterRun = [this](TIdContext* AContext) { DetachContext(AContext); };
    context->OnException = [this](TIdContext* AContext, const Exception& AException) {
      FireException(AContext, AException);
    };
    FireContextCreated(context.get());
    FScheduler->StartYarn(yarn, std::move(context));
  } catch (const Exception& e) {
    context.reset();
    connection.reset();
    dropYarn();
    FireListenException(AListener, e);
    WaitBeforeNextAccept(AListener);
  }
}

void TIdCustomTCPServer::WaitBeforeNextAccept(TIdListenerThread* AListener) {
  AListener->WaitForTerminate(kAcceptFailurePauseMs);
}

std::unique_ptr<TIdTCPConnection> TIdCustomTCPServer::NewConnection() { return std::make_unique<TIdTCPConnection>(); }

void TIdCustomTCPServer::CloseContext(TIdContext* AContext) {
  TIdTCPConnection* connection = AContext->Connection();
  if (!connection) return;
  // Another thread owns this socket: shut it down, its thread closes it.
  if (TIdIOHandlerSocket* socket = connection->Socket()) socket->Interrupt();
}

void TIdCustomTCPServer::CloseAllContexts() {
  auto& contexts = FContexts.LockList();
  try {
    for (TIdContext* context : contexts) CloseContext(context);
  } catch (...) {
    FContexts.UnlockList();
    throw;
  }
  FContexts.UnlockList();
}

void TIdCustomTCPServer::AttachContext(TIdContext* AContext) {
  tServingServer = this;
  TIdTCPConnection* connection = AContext->Connection();
  if (FIntercept && connection && connection->IOHandler()) {
    if (TIdConnectionIntercept* intercept = FIntercept->Accept(connection)) {
      connection->IOHandler()->SetIntercept(intercept);
      intercept->Connect(connection);
    }
  }
  // Accepted while the server stopped: close it too.
  if (Stopping()) CloseContext(AContext);
  FireConnect(AContext);
}

bool TIdCustomTCPServer::RunExecute(TIdContext* AContext) {
  TIdTCPConnection* connection = AContext->Connection();
  if (!OnExecute) {
    // Nothing would ever read this connection; polling it would spin.
    if (connection) connection->Disconnect(false);
    return false;
  }
  OnExecute(AContext);
  return connection && connection->Connected();
}

void TIdCustomTCPServer::DetachContext(TIdContext* AContext) {
  auto cleanup = [this, AContext] {
    TIdTCPConnection* connection = AContext->Connection();
    if (connection && connection->IOHandler()) {
      TIdIOHandler* handler = connection->IOHandler();
      if (TIdConnectionIntercept* intercept = handler->Intercept()) {
        std::unique_ptr<TIdConnectionIntercept> owned(intercept);
        handler->SetIntercept(nullptr);
        if (connection->Intercept() == intercept) connection->SetIntercept(nullptr);
        owned->Disconnect();
      }
      // The connection is over: its socket goes now, not when a pooled
      // thread's next task replaces the context.
      connection->Disconnect(false);
    }
    if (auto* context = dynamic_cast<TIdServerContext*>(AContext)) context->CountToken.reset();
  };
  try {
    FireDisconnect(AContext);
  } catch (...) {
    cleanup();
    throw;
  }
  cleanup();
}

void TIdCustomTCPServer::FireContextCreated(TIdContext* AContext) {
  if (OnContextCreated) OnContextCreated(AContext);
}

void TIdCustomTCPServer::FireBeforeBind(TIdSocketHandle* AHandle) {
  if (OnBeforeBind) OnBeforeBind(AHandle);
}

void TIdCustomTCPServer::FireAfterBind() {
  if (OnAfterBind) OnAfterBind(this);
}

void TIdCustomTCPServer::FireBeforeListenerRun(TIdThread* AThread) {
  if (OnBeforeListenerRun) OnBeforeListenerRun(AThread);
}

void TIdCustomTCPServer::FireConnect(TIdContext* AContext) {
  if (OnConnect) OnConnect(AContext);
}

void TIdCustomTCPServer::FireDisconnect(TIdContext* AContext) {
  if (OnDisconnect) OnDisconnect(AContext);
}

void TIdCustomTCPServer::FireException(TIdContext* AContext, const Exception& AException) {
  if (OnException) OnException(AContext, AException);
}

void TIdCustomTCPServer::FireListenException(TIdListenerThread* AThread, const Exception& AException) {
  if (OnListenException) OnListenException(AThread, AException);
}

void TIdCustomTCPServer::SetBindings(const TIdSocketHandles& AValue) {
  FBindings.Clear();
  for (int i = 0; i < AValue.Count(); ++i) {
    const TIdSocketHandle& source = AValue.Items(i);
    TIdSocketHandle& binding = FBindings.Add();
    binding.SetIP(source.IP());
    binding.SetPort(source.Port());
    binding.SetIPVersion(source.IPVersion());
  }
  FBindings.DefaultPort = AValue.DefaultPort;
}

void TIdCustomTCPServer::SetDefaultPort(std::uint16_t AValue) { FBindings.DefaultPort = AValue; }

void TIdCustomTCPServer::SetScheduler(TIdScheduler* AValue) {
  if (AValue == FScheduler) return;
  if (Active()) throw EIdException(kSchedulerChangeWhileActive);
  if (ImplicitScheduler()) {
    FScheduler = nullptr;
    FImplicitScheduler.reset();
  } else if (FScheduler) {
    FScheduler->RemoveFreeNotification(this);
  }
  FScheduler = AValue;
  if (FScheduler) FScheduler->FreeNotification(this);
  if (FIOHandler) FIOHandler->SetScheduler(FScheduler);
}

void TIdCustomTCPServer::SetIOHandler(TIdServerIOHandler* AValue) {
  if (AValue == FIOHandler) return;
  if (ImplicitIOHandler()) {
    FIOHandler = nullptr;
    FImplicitIOHandler.reset();
  } else if (FIOHandler) {
    FIOHandler->RemoveFreeNotification(this);
  }
  FIOHandler = AValue;
  if (FIOHandler) {
    FIOHandler->FreeNotification(this);
    FIOHandler->SetScheduler(FScheduler);
  }
}

void TIdCustomTCPServer::SetIntercept(TIdServerIntercept* AValue) {
  if (AValue == FIntercept) return;
  if (FIntercept) FIntercept->RemoveFreeNotification(this);
  FIntercept = AValue;
  if (FIntercept) FIntercept->FreeNotification(this);
}

void TIdCustomTCPServer::Notification(TComponent* AComponent, TOperation AOperation) {
  if (AOperation == TOperation::opRemove) {
    if (AComponent == FScheduler) FScheduler = nullptr;
    if (AComponent == FIOHandler) FIOHandler = nullptr;
    if (AComponent == FIntercept) FIntercept = nullptr;
  }
  TIdComponent::Notification(AComponent, AOperation);
}
