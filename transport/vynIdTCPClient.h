// The client side of a TCP connection: where to connect, the local binding,
// time-outs and socket options, and Connect itself. Every setting is kept
// here and handed to the current I/O handler at once.
#pragma once

#include <cstdint>
#include <string>

#include "transport/vynIdIOHandlerSocket.h"
#include "transport/vynIdTCPConnection.h"

class EIdHostRequired : public EIdException {
public:
  EIdHostRequired();
};
class EIdPortRequired : public EIdException {
public:
  EIdPortRequired();
};

class TIdTCPClientCustom : public TIdTCPConnection {
public:
  explicit TIdTCPClientCustom(TComponent* AOwner = nullptr);

  virtual void Connect();
  void Connect(const std::string& AHost);
  void Connect(const std::string& AHost, std::uint16_t APort);
  // Connects, reads until the peer closes, and always disconnects.
  virtual std::string ConnectAndGetAll();

  void SetIOHandler(TIdIOHandler* AValue) override;

  // --- settings
  const std::string& Host() const { return FHost; }
  virtual void SetHost(const std::string& AValue);
  std::uint16_t Port() const { return FPort; }
  virtual void SetPort(std::uint16_t AValue);
  TIdIPVersion IPVersion() const { return FIPVersion; }
  virtual void SetIPVersion(TIdIPVersion AValue);
  const std::string& Destination() const { return FDestination; }
  void SetDestination(const std::string& AValue) { FDestination = AValue; }
  const std::string& BoundIP() const { return FBoundIP; }
  void SetBoundIP(const std::string& AValue);
  std::uint16_t BoundPort() const { return FBoundPort; }
  void SetBoundPort(std::uint16_t AValue);
  std::uint16_t BoundPortMin() const { return FBoundPortMin; }
  void SetBoundPortMin(std::uint16_t AValue);
  std::uint16_t BoundPortMax() const { return FBoundPortMax; }
  void SetBoundPortMax(std::uint16_t AValue);
  std::int32_t ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(std::int32_t AValue);
  // The handler's value when there is a handler.
  std::int32_t ReadTimeout() const;
  void SetReadTimeout(std::int32_t AValue);
  // The socket handler's values when there is one.
  TIdReuseSocket ReuseSocket() const;
  void SetReuseSocket(TIdReuseSocket AValue);
  bool UseNagle() const;
  void SetUseNagle(bool AValue);
  std::int32_t LingerState() const { return FLingerState; }
  void SetLingerState(std::int32_t AValue);
  const std::string& Username() const { return FUsername; }
  void SetUsername(const std::string& AValue) { FUsername = AValue; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& AValue) { FPassword = AValue; }

  TIdNotifyEvent OnConnected;
  TIdIOHandlerSocketEvent OnBeforeBind;
  TIdIOHandlerSocketEvent OnAfterBind;
  TIdIOHandlerSocketEvent OnSocketAllocated;

protected:
  virtual void FireConnected();
  virtual TIdIOHandler* MakeDefaultClientHandler();
  // Hands every setting to the current handler.
  void ApplySettingsToIOHandler();
  void ApplySocketSettings(TIdIOHandlerSocket& ASocket);

  std::string FBoundIP;
  std::uint16_t FBoundPort = 0;
  std::uint16_t FBoundPortMax = 0;
  std::uint16_t FBoundPortMin = 0;
  std::int32_t FConnectTimeout = 0;
  std::string FDestination;
  std::string FHost;
  TIdIPVersion FIPVersion = TIdIPVersion::Id_IPv4;
  std::string FPassword;
  std::uint16_t FPort = 0;
  std::int32_t FReadTimeout = -1;
  std::string FUsername;
  TIdReuseSocket FReuseSocket = TIdReuseSocket::rsOSDependent;
  bool FUseNagle = true;
  std::int32_t FLingerState = -1;
};

class TIdTCPClient : public TIdTCPClientCustom {
public:
  using TIdTCPClientCustom::TIdTCPClientCustom;
};
