#include "transport/vynIdCustomTransparentProxy.h"

#include "transport/vynIdResourceStringsCore.h"

EIdTransparentProxyUDPNotSupported::EIdTransparentProxyUDPNotSupported()
    : EIdException(RSTransparentProxyCanNotSupportUDP) {}
EIdTransparentProxyCantBind::EIdTransparentProxyCantBind() : EIdException(RSTransparentProxyCannotBind) {}

TIdCustomTransparentProxy::TIdCustomTransparentProxy(TComponent* AOwner) : TIdComponent(AOwner) {}

TIdCustomTransparentProxy::~TIdCustomTransparentProxy() { SetChainedProxy(nullptr); }

void TIdCustomTransparentProxy::Assign(const TPersistent& ASource) {
  const auto* source = dynamic_cast<const TIdCustomTransparentProxy*>(&ASource);
  if (!source) {
    TIdComponent::Assign(ASource);
    return;
  }
  FHost = source->FHost;
  FPassword = source->FPassword;
  FPort = source->FPort;
  FIPVersion = source->FIPVersion;
  FUsername = source->FUsername;
}

void TIdCustomTransparentProxy::SetChainedProxy(TIdCustomTransparentProxy* AValue) {
  if (AValue == FChainedProxy) return;
  for (TIdCustomTransparentProxy* link = AValue; link; link = link->FChainedProxy)
    if (link == this) throw EIdTransparentProxyCircularLink(Format(RSInterceptCircularLink, ClassName()));
  if (FChainedProxy) FChainedProxy->RemoveFreeNotification(this);
  FChainedProxy = AValue;
  if (FChainedProxy) FChainedProxy->FreeNotification(this);
}

void TIdCustomTransparentProxy::Notification(TComponent* AComponent, TOperation AOperation) {
  if (AOperation == TOperation::opRemove && AComponent == FChainedProxy) FChainedProxy = nullptr;
  TIdComponent::Notification(AComponent, AOperation);
}

void TIdCustomTransparentProxy::Connect(TIdIOHandler* AIOHandler, const std::string& AHost, std::uint16_t APort,
                                        TIdIPVersion AIPVersion) {
  FReopenedByTunnel = false;
  if (FChainedProxy && FChainedProxy->Enabled()) {
    OpenTunnel(AIOHandler, FChainedProxy->Host(), FChainedProxy->Port(), TIdIPVersion::Id_IPv4);
    if (FReopenedByTunnel) {
      FReopenedByTunnel = false;
      return;
    }
    FChainedProxy->Connect(AIOHandler, AHost, APort, AIPVersion);
  } else {
    OpenTunnel(AIOHandler, AHost, APort, AIPVersion);
  }
}

void TIdCustomTransparentProxy::OpenUDP(TIdSocketHandle*, const std::string&, std::uint16_t, TIdIPVersion) {
  throw EIdTransparentProxyUDPNotSupported();
}
void TIdCustomTransparentProxy::CloseUDP(TIdSocketHandle*) { throw EIdTransparentProxyUDPNotSupported(); }
std::int32_t TIdCustomTransparentProxy::RecvFromUDP(TIdSocketHandle*, TIdBytes&, std::string&, std::uint16_t&,
                                                    TIdIPVersion&, std::int32_t) {
  throw EIdTransparentProxyUDPNotSupported();
}
void TIdCustomTransparentProxy::SendToUDP(TIdSocketHandle*, const std::string&, std::uint16_t, TIdIPVersion,
                                          const TIdBytes&) {
  throw EIdTransparentProxyUDPNotSupported();
}
void TIdCustomTransparentProxy::Bind(TIdIOHandler*, std::uint16_t) { throw EIdTransparentProxyCantBind(); }
bool TIdCustomTransparentProxy::Listen(TIdIOHandler*, std::int32_t) { throw EIdTransparentProxyCantBind(); }
