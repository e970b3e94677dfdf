#include "transport/vynIdServerIOHandler.h"

#include <cerrno>

#include "transport/vynIdIOHandlerStack.h"
#include "transport/vynIdScheduler.h"
#include "transport/vynIdStack.h"
#include "transport/vynIdThread.h"

namespace {
// The longest a listener waits for a connection before it looks whether it
// was stopped.
constexpr std::int32_t kAcceptPollMs = 250;
}  // namespace

// ---------------------------------------------------------------------------
// TIdServerIOHandler

TIdServerIOHandler::TIdServerIOHandler(TComponent* AOwner) : TIdComponent(AOwner) {}

TIdServerIOHandler::~TIdServerIOHandler() { SetScheduler(nullptr); }

std::unique_ptr<TIdIOHandler> TIdServerIOHandler::Accept(TIdSocketHandle&, TIdThread*, TIdYarn*) { return nullptr; }

std::unique_ptr<TIdIOHandler> TIdServerIOHandler::MakeClientIOHandler(TIdYarn*) { return nullptr; }

void TIdServerIOHandler::SetScheduler(TIdScheduler* AScheduler) {
  if (AScheduler == FScheduler) return;
  if (FScheduler) FScheduler->RemoveFreeNotification(this);
  FScheduler = AScheduler;
  if (FScheduler) FScheduler->FreeNotification(this);
}

void TIdServerIOHandler::Notification(TComponent* AComponent, TOperation AOperation) {
  if (AOperation == TOperation::opRemove && AComponent == FScheduler) FScheduler = nullptr;
  TIdComponent::Notification(AComponent, AOperation);
}

bool TIdServerIOHandler::WaitForConnection(TIdSocketHandle& AListener, TIdThread* AListenerThread) {
  for (;;) {
    if (AListenerThread && AListenerThread->Stopped()) return false;
    if (!AListener.HandleAllocated()) return false;
    if (AListener.Readable(kAcceptPollMs)) return !(AListenerThread && AListenerThread->Stopped());
  }
}

bool TIdServerIOHandler::AcceptInto(TIdSocketHandle& AListener, TIdIOHandlerSocket& AHandler) {
  if (AHandler.Binding()->Accept(AListener.Handle())) return true;
  const int err = errno;
  switch (err) {
    // Nobody waiting after all: another thread took the connection, or the
    // peer went before we came to it.
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ECONNABORTED:
    case EPROTO:
    case EINTR:
      return false;
    default:
      // Out of descriptors or memory: the listener reports it and goes on.
      GStack->RaiseSocketError(err);
  }
}

// ---------------------------------------------------------------------------
// TIdServerIOHandlerSocket

TIdServerIOHandlerSocket::TIdServerIOHandlerSocket(TComponent* AOwner) : TIdServerIOHandler(AOwner) {
  IOHandlerSocketClass = [] { return std::unique_ptr<TIdIOHandlerSocket>(MakeIOHandler<TIdIOHandlerSocket>()); };
}

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerSocket::Accept(TIdSocketHandle& AListener, TIdThread* AListenerThread,
                                                               TIdYarn*) {
  std::unique_ptr<TIdIOHandlerSocket> handler = IOHandlerSocketClass();
  handler->Open();
  for (;;) {
    if (!WaitForConnection(AListener, AListenerThread)) return nullptr;
    if (AcceptInto(AListener, *handler)) break;
  }
  handler->AfterAccept();
  return handler;
}

// ---------------------------------------------------------------------------
// TIdServerIOHandlerStack

TIdServerIOHandlerStack::TIdServerIOHandlerStack(TComponent* AOwner) : TIdServerIOHandlerSocket(AOwner) {
  IOHandlerSocketClass = [] { return std::make_unique<TIdIOHandlerStack>(); };
}

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerStack::MakeClientIOHandler(TIdYarn*) {
  return std::make_unique<TIdIOHandlerStack>();
}
