// Server I/O handlers: they accept a connection on a listening socket into
// an I/O handler of their kind (plain here, TLS in vynIdSSLOpenSSL).
#pragma once

#include <functional>
#include <memory>

#include "transport/vynIdComponent.h"
#include "transport/vynIdIOHandlerSocket.h"
#include "transport/vynIdSocketHandle.h"

class TIdScheduler;
class TIdThread;
class TIdYarn;

class TIdServerIOHandler : public TIdComponent {
public:
  explicit TIdServerIOHandler(TComponent* AOwner = nullptr);
  ~TIdServerIOHandler() override;

  // The next connection on AListener, in a handler the caller owns; none
  // when AListenerThread was stopped before one came. A failed accept of the
  // system (out of descriptors, memory) raises EIdSocketError.
  virtual std::unique_ptr<TIdIOHandler> Accept(TIdSocketHandle& AListener, TIdThread* AListenerThread, TIdYarn* AYarn);
  virtual std::unique_ptr<TIdIOHandler> MakeClientIOHandler(TIdYarn* AYarn);
  virtual void Init() {}
  virtual void Shutdown() {}
  virtual void SetScheduler(TIdScheduler* AScheduler);
  TIdScheduler* Scheduler() const { return FScheduler; }

protected:
  void Notification(TComponent* AComponent, TOperation AOperation) override;
  // Waits, in steps of at most 250 ms, until AListener is readable; false
  // when AListenerThread was stopped first.
  static bool WaitForConnection(TIdSocketHandle& AListener, TIdThread* AListenerThread);
  // Accepts into AHandler's socket; false when nobody was waiting any more
  // (taken by another listener, or gone again). Errors of the system raise.
  static bool AcceptInto(TIdSocketHandle& AListener, TIdIOHandlerSocket& AHandler);

  TIdScheduler* FScheduler = nullptr;
};

using TIdIOHandlerSocketClass = std::function<std::unique_ptr<TIdIOHandlerSocket>()>;

class TIdServerIOHandlerSocket : public TIdServerIOHandler {
public:
  explicit TIdServerIOHandlerSocket(TComponent* AOwner = nullptr);

  std::unique_ptr<TIdIOHandler> Accept(TIdSocketHandle& AListener, TIdThread* AListenerThread, TIdYarn* AYarn) override;

  // The class of handler that Accept makes (TIdIOHandlerSocket's default
  // class unless set).
  TIdIOHandlerSocketClass IOHandlerSocketClass;
};

class TIdServerIOHandlerStack : public TIdServerIOHandlerSocket {
public:
  explicit TIdServerIOHandlerStack(TComponent* AOwner = nullptr);

  std::unique_ptr<TIdIOHandler> MakeClientIOHandler(TIdYarn* AYarn) override;
};
