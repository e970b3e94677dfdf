// An I/O handler that owns a socket handle: local binding for outgoing
// connections, and the bind events.
#pragma once

#include <functional>
#include <memory>

#include "transport/vynIdIOHandler.h"
#include "transport/vynIdSocketHandle.h"

class TIdCustomTransparentProxy;
class TIdIOHandlerSocket;
using TIdIOHandlerSocketEvent = std::function<void(TIdIOHandlerSocket* ASender)>;

class TIdIOHandlerSocket : public TIdIOHandler {
public:
  explicit TIdIOHandlerSocket(TComponent* AOwner = nullptr);
  ~TIdIOHandlerSocket() override;

  void Open() override;
  void Close() override;
  bool Connected() override;
  void AfterAccept() override;
  bool SourceIsOpen() override;
  std::int64_t WriteFile(const std::string& AFile, bool AEnableTransferFile = false) override;
  // The binding holds a descriptor.
  bool BindingAllocated() const;
  // Stops a blocked read or write from another thread: the socket is shut
  // down, and the thread that owns the connection sees it closed.
  void Interrupt();

  TIdSocketHandle* Binding() const { return FBinding.get(); }
  std::string Destination() const override;
  void SetDestination(const std::string& AValue) override;

  const std::string& BoundIP() const { return FBoundIP; }
  void SetBoundIP(const std::string& AValue) { FBoundIP = AValue; }
  std::uint16_t BoundPort() const { return FBoundPort; }
  void SetBoundPort(std::uint16_t AValue) { FBoundPort = AValue; }
  std::uint16_t BoundPortMin() const { return FBoundPortMin; }
  void SetBoundPortMin(std::uint16_t AValue) { FBoundPortMin = AValue; }
  std::uint16_t BoundPortMax() const { return FBoundPortMax; }
  void SetBoundPortMax(std::uint16_t AValue) { FBoundPortMax = AValue; }
  std::uint16_t DefaultPort() const { return FDefaultPort; }
  void SetDefaultPort(std::uint16_t AValue) { FDefaultPort = AValue; }
  bool UseNagle() const { return FUseNagle; }
  void SetUseNagle(bool AValue);
  TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
  void SetReuseSocket(TIdReuseSocket AValue) { FReuseSocket = AValue; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TIdIPVersion AValue) { FIPVersion = AValue; }
  std::int32_t LingerState() const { return FLingerState; }
  void SetLingerState(std::int32_t AValue);

  // The proxy the connection passes through. Reading it when none is set
  // makes an owned SOCKS proxy, disabled. A proxy with an owner is linked;
  // one without is copied into a proxy of the same class that the handler
  // owns. None drops the link or frees the owned proxy.
  TIdCustomTransparentProxy* TransparentProxy();
  void SetTransparentProxy(TIdCustomTransparentProxy* AValue);
  // The proxy to pass through when one is set and enabled, else none.
  TIdCustomTransparentProxy* ActiveTransparentProxy() const;

  TIdIOHandlerSocketEvent OnBeforeBind;
  TIdIOHandlerSocketEvent OnAfterBind;
  TIdIOHandlerSocketEvent OnSocketAllocated;

protected:
  virtual void ConnectSocket() = 0;
  virtual void FireBeforeBind();
  virtual void FireAfterBind();
  virtual void FireSocketAllocated();
  // True when the bytes written reach the socket unchanged, so that a file
  // may go to it straight from the kernel; a TLS handler says no.
  virtual bool WritesPlainBytes() const { return true; }
  // The stack's error numbers and texts.
  int CheckTransportError(int AResult) override;
  [[noreturn]] void RaiseTransportError(int AErr) override;

  void Notification(TComponent* AComponent, TOperation AOperation) override;

  std::unique_ptr<TIdSocketHandle> FBinding;
  TIdCustomTransparentProxy* FTransparentProxy = nullptr;
  // Set when the handler made the proxy and owns it.
  std::unique_ptr<TIdCustomTransparentProxy> FImplicitTransparentProxy;
  std::string FBoundIP;
  std::uint16_t FBoundPort = 0;
  std::uint16_t FBoundPortMax = 0;
  std::uint16_t FBoundPortMin = 0;
  std::uint16_t FDefaultPort = 0;
  bool FUseNagle = true;
  TIdReuseSocket FReuseSocket = TIdReuseSocket::rsOSDependent;
  TIdIPVersion FIPVersion = TIdIPVersion::Id_IPv4;
  std::int32_t FLingerState = -1;
};
