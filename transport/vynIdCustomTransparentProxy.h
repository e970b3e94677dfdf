// A proxy that a socket I/O handler passes through without the protocol
// above noticing: the handshake runs right after the TCP connection to the
// proxy is made. Proxies chain.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/vynIdComponent.h"
#include "transport/vynIdStack.h"

class TIdIOHandler;
class TIdSocketHandle;

class EIdTransparentProxyCircularLink : public EIdException {
public:
  using EIdException::EIdException;
};
class EIdTransparentProxyUDPNotSupported : public EIdException {
public:
  EIdTransparentProxyUDPNotSupported();
};
class EIdTransparentProxyCantBind : public EIdException {
public:
  EIdTransparentProxyCantBind();
};

class TIdCustomTransparentProxy : public TIdComponent {
public:
  explicit TIdCustomTransparentProxy(TComponent* AOwner = nullptr);
  ~TIdCustomTransparentProxy() override;

  void Assign(const TPersistent& ASource) override;

  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool AValue) = 0;

  // Opens the tunnel to AHost:APort over AIOHandler, which is connected to
  // this proxy; through the chained proxy first when one is set and enabled.
  void Connect(TIdIOHandler* AIOHandler, const std::string& AHost, std::uint16_t APort,
               TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4);

  // Datagram relaying and accepting through the proxy; the base supports
  // neither.
  virtual void OpenUDP(TIdSocketHandle* AHandle, const std::string& AHost = "", std::uint16_t APort = 0,
                       TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4);
  virtual void CloseUDP(TIdSocketHandle* AHandle);
  virtual std::int32_t RecvFromUDP(TIdSocketHandle* AHandle, TIdBytes& ABuffer, std::string& VPeerIP,
                                   std::uint16_t& VPeerPort, TIdIPVersion& VIPVersion, std::int32_t AMSec = -1);
  virtual void SendToUDP(TIdSocketHandle* AHandle, const std::string& AHost, std::uint16_t APort,
                         TIdIPVersion AIPVersion, const TIdBytes& ABuffer);
  virtual void Bind(TIdIOHandler* AIOHandler, std::uint16_t APort);
  virtual bool Listen(TIdIOHandler* AIOHandler, std::int32_t ATimeOut);

  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& AValue) { FHost = AValue; }
  std::uint16_t Port() const { return FPort; }
  void SetPort(std::uint16_t AValue) { FPort = AValue; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TIdIPVersion AValue) { FIPVersion = AValue; }
  const std::string& Username() const { return FUsername; }
  void SetUsername(const std::string& AValue) { FUsername = AValue; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& AValue) { FPassword = AValue; }
  // Passed through first (referenced, not owned).
  TIdCustomTransparentProxy* ChainedProxy() const { return FChainedProxy; }
  void SetChainedProxy(TIdCustomTransparentProxy* AValue);

  // A new proxy of the same class, without owner and with default settings.
  virtual std::unique_ptr<TIdCustomTransparentProxy> MakeOfSameClass() const = 0;

protected:
  void Notification(TComponent* AComponent, TOperation AOperation) override;
  virtual void OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, std::uint16_t APort,
                          TIdIPVersion AIPVersion) = 0;

  std::string FHost;
  std::string FPassword;
  std::uint16_t FPort = 0;
  TIdIPVersion FIPVersion = TIdIPVersion::Id_IPv4;
  std::string FUsername;
  TIdCustomTransparentProxy* FChainedProxy = nullptr;
  // Set by OpenTunnel when it had the handler reconnect: the handler's Open
  // ran the whole chain again, so nothing is left to do here.
  bool FReopenedByTunnel = false;
};
