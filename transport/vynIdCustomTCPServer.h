// The multi-threaded TCP server: one listening socket and accept thread per
// binding; each accepted connection becomes a context that runs on a thread
// its scheduler hands out, until the connection closes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "transport/vynIdComponent.h"
#include "transport/vynIdContext.h"
#include "transport/vynIdIntercept.h"
#include "transport/vynIdScheduler.h"
#include "transport/vynIdServerIOHandler.h"
#include "transport/vynIdSocketHandle.h"
#include "transport/vynIdTCPConnection.h"
#include "transport/vynIdThread.h"
#include "transport/vynIdThreadSafe.h"

class TIdCustomTCPServer;
class TIdListenerThread;

// A context that knows its server.
class TIdServerContext : public TIdContext {
public:
  using TIdContext::TIdContext;
  TIdCustomTCPServer* Server() const { return FServer; }
  void SetServer(TIdCustomTCPServer* AServer) { FServer = AServer; }
  // Counts the connection with its server until the run ends or the
  // context goes, whichever comes first.
  std::shared_ptr<void> CountToken;

private:
  TIdCustomTCPServer* FServer = nullptr;
};

// Makes the server's contexts (its ContextClass).
using TIdServerContextClass = std::function<std::unique_ptr<TIdServerContext>(
    std::unique_ptr<TIdTCPConnection> AConnection, TIdYarn* AYarn, TIdContextThreadList* AList)>;

using TIdServerThreadEvent = std::function<void(TIdContext* AContext)>;
using TIdServerThreadExceptionEvent = std::function<void(TIdContext* AContext, const Exception& AException)>;
using TIdListenExceptionEvent = std::function<void(TIdListenerThread* AThread, const Exception& AException)>;
using TIdSocketHandleEvent = std::function<void(TIdSocketHandle* AHandle)>;
using TIdServerNotifyEvent = std::function<void(TComponent* ASender)>;

// Accepts on one binding; created parked, in loop mode.
class TIdListenerThread : public TIdThread {
  friend class TIdCustomTCPServer;

public:
  TIdListenerThread(TIdCustomTCPServer* AServer, TIdSocketHandle* ABinding, const std::string& AName);
  ~TIdListenerThread() override;

  TIdSocketHandle* Binding() const { return FBinding; }
  TIdCustomTCPServer* Server() const { return FServer; }

  TIdNotifyThreadEvent OnBeforeRun;

protected:
  void AfterRun() override;
  void PrepareRun() override;
  void Run() override;

private:
  TIdSocketHandle* FBinding;
  TIdCustomTCPServer* FServer;
};

class TIdCustomTCPServer : public TIdComponent {
public:
  explicit TIdCustomTCPServer(TComponent* AOwner = nullptr);
  ~TIdCustomTCPServer() override;

  bool Active() const { return FActive.load(); }
  virtual void SetActive(bool AValue);
  // Binds and listens on the bindings that have no listener yet.
  void StartListening();
  // Ends every listener and closes its socket.
  void StopListening();

  TIdSocketHandles& Bindings() { return FBindings; }
  // Copies the address, port and IP version of each of AValue's handles.
  virtual void SetBindings(const TIdSocketHandles& AValue);
  std::uint16_t DefaultPort() const { return FBindings.DefaultPort; }
  virtual void SetDefaultPort(std::uint16_t AValue);
  TIdScheduler* Scheduler() const { return FScheduler; }
  virtual void SetScheduler(TIdScheduler* AValue);
  bool ImplicitScheduler() const { return FImplicitScheduler != nullptr && FScheduler == FImplicitScheduler.get(); }
  TIdServerIOHandler* IOHandler() const { return FIOHandler; }
  virtual void SetIOHandler(TIdServerIOHandler* AValue);
  bool ImplicitIOHandler() const { return FImplicitIOHandler != nullptr && FIOHandler == FImplicitIOHandler.get(); }
  TIdServerIntercept* Intercept() const { return FIntercept; }
  virtual void SetIntercept(TIdServerIntercept* AValue);

  // The live contexts; lock it (LockList) to walk them.
  TIdContextThreadList& Contexts() { return FContexts; }
  // Connections accepted and not yet ended, counted from the accept on
  // (Contexts only lists a connection once its thread runs).
  int ConnectionCount() const { return FConnectionCount->load(); }

  std::string Name;
  std::int32_t ListenQueue = 15;
  // 0: no limit.
  std::int32_t MaxConnections = 0;
  TIdReuseSocket ReuseSocket = TIdReuseSocket::rsOSDependent;
  bool UseNagle = true;
  // Milliseconds a stop waits for connection threads before it reports
  // them through OnListenException and waits on.
  std::int32_t TerminateWaitTime = 5000;
  TIdServerContextClass ContextClass;

  TIdServerThreadEvent OnContextCreated;
  TIdServerThreadEvent OnConnect;
  TIdServerThreadEvent OnDisconnect;
  TIdServerThreadEvent OnExecute;
  TIdServerThreadExceptionEvent OnException;
  TIdListenExceptionEvent OnListenException;
  TIdSocketHandleEvent OnBeforeBind;
  TIdServerNotifyEvent OnAfterBind;
  TIdNotifyThreadEvent OnBeforeListenerRun;

protected:
  friend class TIdListenerThread;

  void Notification(TComponent* AComponent, TOperation AOperation) override;

  virtual void CheckActivation() {}
  virtual void FireContextCreated(TIdContext* AContext);
  virtual void AttachContext(TIdContext* AContext);
  virtual void DetachContext(TIdContext* AContext);
  virtual std::unique_ptr<TIdTCPConnection> NewConnection();
  virtual void FireBeforeBind(TIdSocketHandle* AHandle);
  virtual void FireAfterBind();
  virtual void FireBeforeListenerRun(TIdThread* AThread);
  virtual void FireConnect(TIdContext* AContext);
  virtual void FireDisconnect(TIdContext* AContext);
  virtual void FireException(TIdContext* AContext, const Exception& AException);
  // OnExecute, then whether the connection is still up.
  virtual bool RunExecute(TIdContext* AContext);
  virtual void FireListenException(TIdListenerThread* AThread, const Exception& AException);
  virtual void ConnectionLimitReached(TIdIOHandler*) {}
  // Stops the connection's I/O from this thread; its own thread closes it.
  virtual void CloseContext(TIdContext* AContext);
  virtual void BeginService();
  virtual void EndService();

  // One accept pass of AListener (the listener thread's Run).
  void AcceptOne(TIdListenerThread* AListener);
  // Tells every live context to stop.
  void CloseAllContexts();
  // A stop is in progress: connections accepted now are closed at once.
  bool Stopping() const { return FStopping.load(); }

private:
  void FreeImplicitScheduler();
  void WaitBeforeNextAccept(TIdListenerThread* AListener);
  // Waits for a stop that a connection thread handed to a thread of its own.
  void JoinPendingStop();

  std::atomic<bool> FActive{false};
  std::atomic<bool> FStopping{false};
  // Serialises Start and Stop.
  std::recursive_mutex FActiveLock;
  std::mutex FStopperLock;
  std::thread FStopper;
  TIdSocketHandles FBindings;
  TIdScheduler* FScheduler = nullptr;
  std::unique_ptr<TIdScheduler> FImplicitScheduler;
  TIdServerIOHandler* FIOHandler = nullptr;
  std::unique_ptr<TIdServerIOHandler> FImplicitIOHandler;
  TIdServerIntercept* FIntercept = nullptr;
  TIdContextThreadList FContexts{false};
  TIdThreadSafeList<TIdListenerThread> FListeners;
  std::shared_ptr<std::atomic<int>> FConnectionCount = std::make_shared<std::atomic<int>>(0);
};
