// SOCKS 4, 4A and 5 as a transparent proxy: the CONNECT handshake, for SOCKS 5
// without authentication or with user name and password.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/vynIdCustomTransparentProxy.h"

class EIdSocksError : public EIdException {
public:
  using EIdException::EIdException;
};
#define VYN_SOCKS_ERROR(Name)         \
  class Name : public EIdSocksError { \
  public:                             \
    Name();                           \
  };
VYN_SOCKS_ERROR(EIdSocksRequestFailed)
VYN_SOCKS_ERROR(EIdSocksRequestServerFailed)
VYN_SOCKS_ERROR(EIdSocksRequestIdentFailed)
VYN_SOCKS_ERROR(EIdSocksUnknownError)
VYN_SOCKS_ERROR(EIdSocksServerRespondError)
VYN_SOCKS_ERROR(EIdSocksAuthMethodError)
VYN_SOCKS_ERROR(EIdSocksAuthError)
VYN_SOCKS_ERROR(EIdSocksServerGeneralError)
VYN_SOCKS_ERROR(EIdSocksServerPermissionError)
VYN_SOCKS_ERROR(EIdSocksServerNetUnreachableError)
VYN_SOCKS_ERROR(EIdSocksServerHostUnreachableError)
VYN_SOCKS_ERROR(EIdSocksServerConnectionRefusedError)
VYN_SOCKS_ERROR(EIdSocksServerTTLExpiredError)
VYN_SOCKS_ERROR(EIdSocksServerCommandError)
VYN_SOCKS_ERROR(EIdSocksServerAddressError)
VYN_SOCKS_ERROR(EIdSocksUDPNotSupportedBySOCKSVersion)
#undef VYN_SOCKS_ERROR
// A destination the protocol cannot carry (a name over 255 bytes, a NUL in
// it, an IPv6 address for SOCKS 4): refused before anything is sent.
class EIdSocksHostNameInvalid : public EIdSocksError {
public:
  using EIdSocksError::EIdSocksError;
};

enum class TSocksAuthentication : std::uint8_t { saNoAuthentication, saUsernamePassword };
enum class TSocksVersion : std::uint8_t { svNoSocks, svSocks4, svSocks4A, svSocks5 };

class TIdSocksInfo : public TIdCustomTransparentProxy {
public:
  static constexpr std::uint16_t IdPORT_SOCKS = 1080;

  explicit TIdSocksInfo(TComponent* AOwner = nullptr);
  ~TIdSocksInfo() override;

  void Assign(const TPersistent& ASource) override;
  bool Enabled() const override;
  // Off sets svNoSocks; on leaves a chosen version, and picks SOCKS 5 when
  // none is chosen.
  void SetEnabled(bool AValue) override;
  std::unique_ptr<TIdCustomTransparentProxy> MakeOfSameClass() const override;

  // Datagram relaying is not offered; SOCKS 4 cannot do it at all.
  void OpenUDP(TIdSocketHandle* AHandle, const std::string& AHost = "", std::uint16_t APort = 0,
               TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4) override;

  TSocksAuthentication Authentication() const { return FAuthentication; }
  void SetAuthentication(TSocksAuthentication AValue) { FAuthentication = AValue; }
  TSocksVersion Version() const { return FVersion; }
  void SetVersion(TSocksVersion AValue) { FVersion = AValue; }
  // The address and port the proxy reported in its last reply.
  const std::string& BoundAddress() const { return FBoundAddress; }
  std::uint16_t BoundPort() const { return FBoundPortReply; }

protected:
  void OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, std::uint16_t APort,
                  TIdIPVersion AIPVersion) override;
  void MakeSocks4Request(TIdIOHandler* AIOHandler, const std::string& AHost, std::uint16_t APort,
                         std::uint8_t ARequest);
  void MakeSocks5Request(TIdIOHandler* AIOHandler, const std::string& AHost, std::uint16_t APort,
                         std::uint8_t ARequest);
  void AuthenticateSocks5Connection(TIdIOHandler* AIOHandler);
  void ReadSocks4Reply(TIdIOHandler* AIOHandler);
  void ReadSocks5Reply(TIdIOHandler* AIOHandler);

  TSocksAuthentication FAuthentication = TSocksAuthentication::saNoAuthentication;
  TSocksVersion FVersion = TSocksVersion::svNoSocks;
  std::string FBoundAddress;
  std::uint16_t FBoundPortReply = 0;
};
