// An HTTP proxy as a transparent proxy: a CONNECT request opens a tunnel to
// the destination, with a Basic login when the proxy asks for one (407).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/vynIdCustomTransparentProxy.h"

// The proxy refused the tunnel or answered something that is not HTTP; the
// message is the proxy's status line (or says what was wrong with it).
class EIdHttpProxyError : public EIdException {
public:
  using EIdException::EIdException;
};

class TIdConnectThroughHttpProxy : public TIdCustomTransparentProxy {
public:
  explicit TIdConnectThroughHttpProxy(TComponent* AOwner = nullptr);
  ~TIdConnectThroughHttpProxy() override;

  void Assign(const TPersistent& ASource) override;
  bool Enabled() const override { return FEnabled; }
  void SetEnabled(bool AValue) override { FEnabled = AValue; }
  std::unique_ptr<TIdCustomTransparentProxy> MakeOfSameClass() const override;

  // Set only while the handler reconnects to send the request with a login.
  bool AuthorizationRequired() const { return FAuthorizationRequired; }

  // Limits on what the proxy may answer before the tunnel is open.
  static constexpr int kMaxHeaderLines = 100;
  // A refusal body up to this size is skipped to reuse the connection; a
  // larger one (or one of unknown length) costs a reconnect instead.
  static constexpr std::int64_t kMaxSkippedBody = 1 << 20;

protected:
  void OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, std::uint16_t APort,
                  TIdIPVersion AIPVersion) override;
  virtual void SendConnectRequest(TIdIOHandler* AIOHandler, const std::string& AHost, std::uint16_t APort,
                                  TIdIPVersion AIPVersion, bool ALogin);

  bool FAuthorizationRequired = false;
  bool FEnabled = false;
};
