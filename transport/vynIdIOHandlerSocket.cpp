#include "transport/vynIdIOHandlerSocket.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <typeinfo>

#include "transport/vynIdSocks.h"

TIdIOHandlerSocket::TIdIOHandlerSocket(TComponent* AOwner) : TIdIOHandler(AOwner) {}

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  SetTransparentProxy(nullptr);
  try {
    if (FOpened || BindingAllocated()) TIdIOHandlerSocket::Close();
  } catch (...) {
  }
}

void TIdIOHandlerSocket::Notification(TComponent* AComponent, TOperation AOperation) {
  if (AOperation == TOperation::opRemove && AComponent == FTransparentProxy &&
      FTransparentProxy != FImplicitTransparentProxy.get())
    FTransparentProxy = nullptr;
  TIdIOHandler::Notification(AComponent, AOperation);
}

TIdCustomTransparentProxy* TIdIOHandlerSocket::TransparentProxy() {
  if (!FTransparentProxy) {
    FImplicitTransparentProxy = std::make_unique<TIdSocksInfo>();
    FTransparentProxy = FImplicitTransparentProxy.get();
  }
  return FTransparentProxy;
}

TIdCustomTransparentProxy* TIdIOHandlerSocket::ActiveTransparentProxy() const {
  return FTransparentProxy && FTransparentProxy->Enabled() ? FTransparentProxy : nullptr;
}

void TIdIOHandlerSocket::SetTransparentProxy(TIdCustomTransparentProxy* AValue) {
  if (AValue == FTransparentProxy) return;
  if (AValue && !AValue->Owner()) {
    // Copied into a proxy of our own, kept when it is of the same class.
    if (!FImplicitTransparentProxy || typeid(*FImplicitTransparentProxy) != typeid(*AValue)) {
      auto own = AValue->MakeOfSameClass();
      if (FTransparentProxy && FTransparentProxy != FImplicitTransparentProxy.get())
        FTransparentProxy->RemoveFreeNotification(this);
      FImplicitTransparentProxy = std::move(own);
    }
    FImplicitTransparentProxy->Assign(*AValue);
    FTransparentProxy = FImplicitTransparentProxy.get();
    return;
  }
  if (FTransparentProxy && FTransparentProxy != FImplicitTransparentProxy.get())
    FTransparentProxy->RemoveFreeNotification(this);
  FImplicitTransparentProxy.reset();
  FTransparentProxy = AValue;
  if (FTransparentProxy) FTransparentProxy->FreeNotification(this);
}

void TIdIOHandlerSocket::Open() {
  TIdIOHandler::Open();
  if (!FBinding) {
    FBinding = std::make_unique<TIdSocketHandle>();
  } else {
    // A descriptor left from an earlier connection is closed, not leaked.
    FBinding->CloseSocket();
    FBinding->Reset(true);
  }
  FBinding->SetClientPortMin(FBoundPortMin);
  FBinding->SetClientPortMax(FBoundPortMax);
  if (!FHost.empty() && FPort > 0) ConnectSocket();
}

void TIdIOHandlerSocket::Close() {
  if (FBinding) FBinding->CloseSocket();
  TIdIOHandler::Close();
}

bool TIdIOHandlerSocket::Connected() {
  return (BindingAllocated() && TIdIOHandler::Connected()) || !InputBufferIsEmpty();
}

void TIdIOHandlerSocket::AfterAccept() {
  if (FBinding) FIPVersion = FBinding->IPVersion();
  SetSendAfterPeerEnd(true);
}

bool TIdIOHandlerSocket::SourceIsOpen() { return BindingAllocated(); }

bool TIdIOHandlerSocket::BindingAllocated() const { return FBinding && FBinding->HandleAllocated(); }

void TIdIOHandlerSocket::Interrupt() {
  if (FBinding) FBinding->Shutdown();
}

std::int64_t TIdIOHandlerSocket::WriteFile(const std::string& AFile, bool AEnableTransferFile) {
  struct stat st {};
  if (::stat(AFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  // The kernel copies the file only when nothing between here and the socket
  // would see or change the bytes: no write buffer, no intercept, no TLS.
  if (!AEnableTransferFile || WriteBufferingActive() || Intercept() || !WritesPlainBytes())
    return TIdIOHandler::WriteFile(AFile, AEnableTransferFile);
  if (!InputEndedOnly()) CheckForDisconnect(true, true);
  TFileStream file(AFile, fmOpenRead);
  struct stat opened {};
  if (::fstat(file.Handle(), &opened) != 0) RaiseTransportError(errno);
  const std::int64_t size = opened.st_size;
  BeginWork(TWorkMode::wmWrite, size);
  std::int64_t sent = 0;
  try {
    off_t offset = 0;
    while (sent < size) {
      const std::size_t chunk = static_cast<std::size_t>(std::min<std::int64_t>(size - sent, 1 << 30));
      const ssize_t n = ::sendfile(FBinding->Handle(), file.Handle(), &offset, chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        // As a failed send: other errors raise at once, a connection that
        // ended is closed first.
        const int err = CheckTransportError(Id_SOCKET_ERROR);
        if (err != ETIMEDOUT) {
          FClosedGracefully = true;
          CloseOnPeerEnd();
        }
        RaiseTransportError(err);
      }
      // The file got shorter while it was being sent: what it held is sent.
      if (n == 0) break;
      sent += n;
      DoWork(TWorkMode::wmWrite, n);
    }
  } catch (...) {
    EndWork(TWorkMode::wmWrite);
    throw;
  }
  EndWork(TWorkMode::wmWrite);
  return sent;
}

std::string TIdIOHandlerSocket::Destination() const {
  if (FPort > 0 && FPort != FDefaultPort) return FHost + ":" + std::to_string(FPort);
  return FHost;
}

void TIdIOHandlerSocket::SetDestination(const std::string& AValue) {
  std::size_t colon = AValue.rfind(':');
  if (colon == std::string::npos) return;
  SetHost(AValue.substr(0, colon));
  std::int32_t value = 0;
  std::string port = Trim(AValue.substr(colon + 1, 255));
  if (TryStrToInt(port, value) && value >= 0 && value <= 65535)
    SetPort(static_cast<std::uint16_t>(value));
  else
    SetPort(FDefaultPort);
}

void TIdIOHandlerSocket::SetUseNagle(bool AValue) {
  FUseNagle = AValue;
  if (BindingAllocated()) FBinding->SetUseNagle(AValue);
}

void TIdIOHandlerSocket::SetLingerState(std::int32_t AValue) {
  FLingerState = AValue;
  if (FBinding) FBinding->SetLingerState(AValue);
}

void TIdIOHandlerSocket::FireBeforeBind() {
  if (OnBeforeBind) OnBeforeBind(this);
}
void TIdIOHandlerSocket::FireAfterBind() {
  if (OnAfterBind) OnAfterBind(this);
}
void TIdIOHandlerSocket::FireSocketAllocated() {
  if (OnSocketAllocated) OnSocketAllocated(this);
}

int TIdIOHandlerSocket::CheckTransportError(int AResult) { return TIdIOHandler::CheckTransportError(AResult); }

void TIdIOHandlerSocket::RaiseTransportError(int AErr) { GStack->RaiseSocketError(AErr); }
