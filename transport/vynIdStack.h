// The process-wide socket stack: every socket call of the transport goes
// through it, and every failing call becomes an exception with a fixed text.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Classes.h"
#include "transport/vynIdGlobal.h"

enum class TIdIPVersion : std::uint8_t { Id_IPv4 = 0, Id_IPv6 = 1 };
enum class TIdReuseSocket : std::uint8_t { rsOSDependent, rsTrue, rsFalse };

using TIdStackSocketHandle = int;
inline constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;
inline constexpr int Id_SOCKET_ERROR = -1;

// Time-out values: a positive number is a limit in milliseconds.
inline constexpr std::int32_t IdTimeoutDefault = -1;   // the configured default
inline constexpr std::int32_t IdTimeoutInfinite = -2;  // no limit

// Resolver results keep these numbers whatever the platform.
inline constexpr int Id_WSAHOST_NOT_FOUND = 11001;
inline constexpr int Id_WSATRY_AGAIN = 11002;
inline constexpr int Id_WSANO_RECOVERY = 11003;
inline constexpr int Id_WSANO_DATA = 11004;

// Eight 16-bit words of an IPv6 address.
using TIdIPv6Address = std::array<std::uint16_t, 8>;

// ---------------------------------------------------------------------------
// Exceptions

class EIdSocketError : public EIdException {
public:
  EIdSocketError(int aLastError, std::string aMessage) : EIdException(std::move(aMessage)), FLastError(aLastError) {}
  int LastError() const { return FLastError; }

private:
  int FLastError;
};
class EIdNotASocket : public EIdSocketError {
public:
  using EIdSocketError::EIdSocketError;
};
class EIdStackError : public EIdException {
public:
  using EIdException::EIdException;
};
class EIdIPVersionUnsupported : public EIdStackError {
public:
  EIdIPVersionUnsupported();
};
class EIdStackSetSizeExceeded : public EIdStackError {
public:
  EIdStackSetSizeExceeded();
};
class EIdStackInitializationFailed : public EIdStackError {
public:
  using EIdStackError::EIdStackError;
};
class EIdInvalidServiceName : public EIdException {
public:
  using EIdException::EIdException;
};
class EIdSocketHandleError : public EIdException {
public:
  using EIdException::EIdException;
};
class EIdPackageSizeTooBig : public EIdSocketHandleError {
public:
  using EIdSocketHandleError::EIdSocketHandleError;
};
class EIdNotAllBytesSent : public EIdSocketHandleError {
public:
  using EIdSocketHandleError::EIdSocketHandleError;
};
class EIdCouldNotBindSocket : public EIdSocketHandleError {
public:
  using EIdSocketHandleError::EIdSocketHandleError;
};
class EIdCanNotBindPortInRange : public EIdSocketHandleError {
public:
  using EIdSocketHandleError::EIdSocketHandleError;
};
class EIdInvalidPortRange : public EIdSocketHandleError {
public:
  using EIdSocketHandleError::EIdSocketHandleError;
};
class EIdCannotSetIPVersionWhenConnected : public EIdSocketHandleError {
public:
  EIdCannotSetIPVersionWhenConnected();
};
class EIdConnClosedGracefully : public EIdSilentException {
public:
  EIdConnClosedGracefully();
};

// ---------------------------------------------------------------------------
// Local addresses

class TIdStackLocalAddress {
public:
  virtual ~TIdStackLocalAddress() = default;
  std::string IPAddress;
  TIdIPVersion IPVersion = TIdIPVersion::Id_IPv4;
  std::uint32_t InterfaceIndex = 0;
};
class TIdStackLocalAddressIPv4 : public TIdStackLocalAddress {
public:
  std::string SubNetMask;
};
class TIdStackLocalAddressIPv6 : public TIdStackLocalAddress {};

class TIdStackLocalAddressList {
public:
  int Count() const { return static_cast<int>(FItems.size()); }
  TIdStackLocalAddress& Addresses(int aIndex) const { return *FItems.at(static_cast<std::size_t>(aIndex)); }
  TIdStackLocalAddress& Add(std::unique_ptr<TIdStackLocalAddress> aItem);
  void Clear() { FItems.clear(); }
  // Exact text match; -1 when absent.
  int IndexOfIP(const std::string& AIP) const;
  int IndexOfIP(const std::string& AIP, TIdIPVersion AIPVersion) const;

private:
  std::vector<std::unique_ptr<TIdStackLocalAddress>> FItems;
};

// ---------------------------------------------------------------------------
// Parsed address value

class TIdIPAddress {
public:
  TIdIPVersion AddrType = TIdIPVersion::Id_IPv4;
  std::uint32_t IPv4 = 0;
  TIdIPv6Address IPv6{};
  // No object (nullptr) for a text that is not an address literal.
  static std::unique_ptr<TIdIPAddress> MakeAddressObject(const std::string& AIP);
  static std::unique_ptr<TIdIPAddress> MakeAddressObject(const std::string& AIP, TIdIPVersion AIPVersion);
  // -1, 0, 1 by numeric order; VErr set for another version or a bad text.
  int CompareAddress(const std::string& AIP, bool& VErr) const;
  std::string IPAsString() const;
};

// ---------------------------------------------------------------------------
// What a received datagram carried besides its bytes

class TIdPacketInfo {
public:
  // Empty addresses, zero ports, interfaces and hop limit, IPv4.
  void Reset();
  std::string SourceIP;
  std::uint16_t SourcePort = 0;
  std::uint32_t SourceIF = 0;
  TIdIPVersion SourceIPVersion = TIdIPVersion::Id_IPv4;
  std::string DestIP;
  std::uint16_t DestPort = 0;
  std::uint32_t DestIF = 0;
  TIdIPVersion DestIPVersion = TIdIPVersion::Id_IPv4;
  // Hop limit (IPv6) or time to live (IPv4) of the datagram as it arrived.
  std::uint8_t TTL = 0;
};

// ---------------------------------------------------------------------------
// The stack

class TIdStack {
public:
  virtual ~TIdStack();

  // Usage counting: the first IncUsage creates the stack, the last DecUsage
  // frees it.
  static void IncUsage();
  static void DecUsage();

  // Sockets.
  virtual TIdStackSocketHandle NewSocketHandle(int ASocketType, int AProtocol,
                                               TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4,
                                               bool ANonBlocking = false) = 0;
  // The platform's socket(): a descriptor, or -1 without raising.
  virtual TIdStackSocketHandle WSSocket(int AFamily, int AStruct, int AProtocol, bool AOverlapped = false) = 0;
  virtual void Bind(TIdStackSocketHandle ASocket, const std::string& AIP, std::uint16_t APort,
                    TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4) = 0;
  // ATimeout > 0: non-blocking connect waited for with poll; False when the
  // time ran out (the socket is left non-blocking and must be closed).
  virtual bool Connect(TIdStackSocketHandle ASocket, const std::string& AIP, std::uint16_t APort,
                       TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4, std::int32_t ATimeout = IdTimeoutInfinite) = 0;
  virtual void Listen(TIdStackSocketHandle ASocket, int ABackLog) = 0;
  virtual TIdStackSocketHandle Accept(TIdStackSocketHandle ASocket, std::string& VIP, std::uint16_t& VPort,
                                      TIdIPVersion& VIPVersion) = 0;
  virtual void GetSocketName(TIdStackSocketHandle ASocket, std::string& VIP, std::uint16_t& VPort,
                             TIdIPVersion& VIPVersion) = 0;
  virtual void GetPeerName(TIdStackSocketHandle ASocket, std::string& VIP, std::uint16_t& VPort,
                           TIdIPVersion& VIPVersion) = 0;
  // Send-side shutdown and close with a negative linger value; otherwise
  // SO_LINGER (on, ALinger seconds) and close.
  virtual void Disconnect(TIdStackSocketHandle ASocket, std::int32_t ALinger = -1) = 0;
  // shutdown(): stops I/O that another thread is blocked in.
  virtual int WSHalfClose(TIdStackSocketHandle ASocket, int AHow) = 0;
  virtual int WSCloseHandle(TIdStackSocketHandle ASocket) = 0;

  // Transfers; -1 from the platform raises.
  virtual int Receive(TIdStackSocketHandle ASocket, TIdBytes& VBuffer) = 0;
  virtual int Send(TIdStackSocketHandle ASocket, const TIdBytes& ABuffer, std::int32_t AOffset = 0,
                   std::int32_t ASize = -1) = 0;
  // Raw forms: the platform's result, -1 on failure (read the error with
  // WSGetLastError).
  virtual int WSRecvData(TIdStackSocketHandle ASocket, void* ABuffer, std::size_t ALength, int AFlags) = 0;
  virtual int WSSendData(TIdStackSocketHandle ASocket, const void* ABuffer, std::size_t ALength, int AFlags) = 0;

  // Datagrams. ReceiveFrom raises on failure; RecvFrom and WSSendTo give the
  // platform's result (-1 on failure). SendTo raises EIdPackageSizeTooBig for
  // a datagram too long for the protocol and EIdNotAllBytesSent for a short
  // send.
  virtual int ReceiveFrom(TIdStackSocketHandle ASocket, TIdBytes& VBuffer, std::string& VFromIP,
                          std::uint16_t& VFromPort, TIdIPVersion& VFromIPVersion) = 0;
  virtual void SendTo(TIdStackSocketHandle ASocket, const TIdBytes& ABuffer, std::int32_t AOffset, std::int32_t ASize,
                      const std::string& AIP, std::uint16_t APort, TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4) = 0;
  virtual int RecvFrom(TIdStackSocketHandle ASocket, void* ABuffer, std::size_t ALength, int AFlags,
                       std::string& VFromIP, std::uint16_t& VFromPort, TIdIPVersion& VFromIPVersion) = 0;
  virtual int WSSendTo(TIdStackSocketHandle ASocket, const void* ABuffer, std::size_t ALength, int AFlags,
                       const std::string& AIP, std::uint16_t APort, TIdIPVersion AIPVersion) = 0;
  // One datagram with its addresses, interfaces and hop limit; the count.
  virtual std::uint32_t ReceiveMsg(TIdStackSocketHandle ASocket, TIdBytes& VBuffer, TIdPacketInfo& APkt) = 0;

  // Multicast. Membership changes only for a multicast group (IPv4 224 to
  // 239 in the first field, IPv6 FF..); any other text changes nothing.
  virtual void SetMulticastTTL(TIdStackSocketHandle ASocket, int AValue, TIdIPVersion AIPVersion) = 0;
  virtual void SetLoopBack(TIdStackSocketHandle ASocket, bool AValue, TIdIPVersion AIPVersion) = 0;
  virtual void AddMulticastMembership(TIdStackSocketHandle ASocket, const std::string& AGroupIP,
                                      const std::string& ALocalIP, TIdIPVersion AIPVersion) = 0;
  virtual void DropMulticastMembership(TIdStackSocketHandle ASocket, const std::string& AGroupIP,
                                       const std::string& ALocalIP, TIdIPVersion AIPVersion) = 0;
  static bool IsValidIPv4MulticastGroup(const std::string& AIP);
  static bool IsValidIPv6MulticastGroup(const std::string& AIP);

  // The Internet checksum (RFC 1071) of AData, 16-bit words read
  // little-endian, so that it is stored low byte first.
  virtual std::uint16_t CalcCheckSum(const TIdBytes& AData) = 0;
  // Stores the checksum of VBuffer at AOffset (the field counts as zero).
  // IPv6 sums the pseudo-header of source and destination address, length
  // and next header in front of the data, as ICMPv6 requires.
  virtual void WriteChecksum(TIdStackSocketHandle ASocket, TIdBytes& VBuffer, std::int32_t AOffset,
                             const std::string& AIP, std::uint16_t APort,
                             TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4) = 0;

  // Options.
  virtual void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int AOptVal) = 0;
  virtual void GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int& AOptVal) = 0;
  virtual void SetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) = 0;
  virtual bool WouldBlock(int AResult) = 0;
  virtual int IOControl(TIdStackSocketHandle ASocket, unsigned long ACmd, void* AArg) = 0;
  virtual void SetKeepAliveValues(TIdStackSocketHandle ASocket, bool AEnabled, std::int32_t ATimeMS,
                                  std::int32_t AInterval) = 0;

  // Names and addresses.
  std::string ResolveHost(const std::string& AHost, TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4);
  virtual std::string HostByAddress(const std::string& AAddress, TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4) = 0;
  virtual std::string ReadLocalHostName() = 0;
  std::string HostName() { return ReadLocalHostName(); }
  virtual std::uint16_t WSGetServByName(const std::string& AServiceName) = 0;
  virtual void AddServByPortToList(std::uint16_t APortNumber, TStrings& AAddresses) = 0;
  std::string WSGetServByPort(std::uint16_t APortNumber);
  static bool IsIP(const std::string& AIP);
  // Canonical upper-case eight-group form, "" for a text that is no IPv6 literal.
  static std::string MakeCanonicalIPv6Address(const std::string& AAddr);
  virtual bool SupportsIPv4() = 0;
  virtual bool SupportsIPv6() = 0;
  virtual bool CheckIPVersionSupport(TIdIPVersion AIPVersion) = 0;
  virtual void GetLocalAddressList(TIdStackLocalAddressList& AAddresses) = 0;
  // IPv4 addresses only.
  void AddLocalAddressesToList(TStrings& AAddresses);
  const TStrings& LocalAddresses();
  std::string LocalAddress();

  // Byte order.
  static std::uint16_t HostToNetwork(std::uint16_t AValue);
  static std::uint32_t HostToNetwork(std::uint32_t AValue);
  static std::uint64_t HostToNetwork(std::uint64_t AValue);
  static TIdIPv6Address HostToNetwork(const TIdIPv6Address& AValue);
  static std::uint16_t NetworkToHost(std::uint16_t AValue);
  static std::uint32_t NetworkToHost(std::uint32_t AValue);
  static std::uint64_t NetworkToHost(std::uint64_t AValue);
  static TIdIPv6Address NetworkToHost(const TIdIPv6Address& AValue);

  // Errors.
  virtual int WSGetLastError() = 0;
  virtual void WSSetLastError(int AErr) = 0;
  virtual std::string WSTranslateSocketErrorMsg(int AErr);
  [[noreturn]] void RaiseSocketError(int AErr);
  [[noreturn]] void RaiseLastSocketError();
  int CheckForSocketError(int AResult);
  int CheckForSocketError(int AResult, const std::vector<int>& AIgnore);

  // Text and network forms of addresses; a bad text raises EConvertError.
  static void TranslateStringToTInAddr(const std::string& AIP, void* AInAddr, TIdIPVersion AIPVersion);
  static std::string TranslateTInAddrToString(const void* AInAddr, TIdIPVersion AIPVersion);

protected:
  TIdStack() = default;
  virtual std::string LookupHostAddress(const std::string& AHostName, TIdIPVersion AIPVersion) = 0;

private:
  std::unique_ptr<TStringList> FLocalAddresses;
};

// BSD socket operations common to every POSIX platform.
class TIdStackBSDBase : public TIdStack {
public:
  TIdStackSocketHandle NewSocketHandle(int ASocketType, int AProtocol, TIdIPVersion AIPVersion,
                                       bool ANonBlocking) override;
  TIdStackSocketHandle WSSocket(int AFamily, int AStruct, int AProtocol, bool AOverlapped) override;
  void Bind(TIdStackSocketHandle ASocket, const std::string& AIP, std::uint16_t APort,
            TIdIPVersion AIPVersion) override;
  bool Connect(TIdStackSocketHandle ASocket, const std::string& AIP, std::uint16_t APort, TIdIPVersion AIPVersion,
               std::int32_t ATimeout) override;
  void Listen(TIdStackSocketHandle ASocket, int ABackLog) override;
  TIdStackSocketHandle Accept(TIdStackSocketHandle ASocket, std::string& VIP, std::uint16_t& VPort,
                              TIdIPVersion& VIPVersion) override;
  void GetSocketName(TIdStackSocketHandle ASocket, std::string& VIP, std::uint16_t& VPort,
                     TIdIPVersion& VIPVersion) override;
  void GetPeerName(TIdStackSocketHandle ASocket, std::string& VIP, std::uint16_t& VPort,
                   TIdIPVersion& VIPVersion) override;
  void Disconnect(TIdStackSocketHandle ASocket, std::int32_t ALinger) override;
  int WSHalfClose(TIdStackSocketHandle ASocket, int AHow) override;
  int WSCloseHandle(TIdStackSocketHandle ASocket) override;
  int Receive(TIdStackSocketHandle ASocket, TIdBytes& VBuffer) override;
  int Send(TIdStackSocketHandle ASocket, const TIdBytes& ABuffer, std::int32_t AOffset, std::int32_t ASize) override;
  int WSRecvData(TIdStackSocketHandle ASocket, void* ABuffer, std::size_t ALength, int AFlags) override;
  int WSSendData(TIdStackSocketHandle ASocket, const void* ABuffer, std::size_t ALength, int AFlags) override;
  int ReceiveFrom(TIdStackSocketHandle ASocket, TIdBytes& VBuffer, std::string& VFromIP, std::uint16_t& VFromPort,
                  TIdIPVersion& VFromIPVersion) override;
  void SendTo(TIdStackSocketHandle ASocket, const TIdBytes& ABuffer, std::int32_t AOffset, std::int32_t ASize,
              const std::string& AIP, std::uint16_t APort, TIdIPVersion AIPVersion) override;
  void SetMulticastTTL(TIdStackSocketHandle ASocket, int AValue, TIdIPVersion AIPVersion) override;
  void SetLoopBack(TIdStackSocketHandle ASocket, bool AValue, TIdIPVersion AIPVersion) override;
  void AddMulticastMembership(TIdStackSocketHandle ASocket, const std::string& AGroupIP, const std::string& ALocalIP,
                              TIdIPVersion AIPVersion) override;
  void DropMulticastMembership(TIdStackSocketHandle ASocket, const std::string& AGroupIP, const std::string& ALocalIP,
                               TIdIPVersion AIPVersion) override;
  void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int AOptVal) override;
  void GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int& AOptVal) override;
  void SetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) override;
  bool WouldBlock(int AResult) override;
  int IOControl(TIdStackSocketHandle ASocket, unsigned long ACmd, void* AArg) override;
  void SetKeepAliveValues(TIdStackSocketHandle ASocket, bool AEnabled, std::int32_t ATimeMS,
                          std::int32_t AInterval) override;
  std::uint16_t WSGetServByName(const std::string& AServiceName) override;
  void AddServByPortToList(std::uint16_t APortNumber, TStrings& AAddresses) override;
  int WSGetLastError() override;
  void WSSetLastError(int AErr) override;
};

// The platform stack of this system.
class TIdStackLinux final : public TIdStackBSDBase {
public:
  TIdStackLinux();
  std::string HostByAddress(const std::string& AAddress, TIdIPVersion AIPVersion) override;
  std::string ReadLocalHostName() override;
  bool SupportsIPv4() override;
  bool SupportsIPv6() override;
  bool CheckIPVersionSupport(TIdIPVersion AIPVersion) override;
  void GetLocalAddressList(TIdStackLocalAddressList& AAddresses) override;
  std::string WSTranslateSocketErrorMsg(int AErr) override;
  int RecvFrom(TIdStackSocketHandle ASocket, void* ABuffer, std::size_t ALength, int AFlags, std::string& VFromIP,
               std::uint16_t& VFromPort, TIdIPVersion& VFromIPVersion) override;
  int WSSendTo(TIdStackSocketHandle ASocket, const void* ABuffer, std::size_t ALength, int AFlags,
               const std::string& AIP, std::uint16_t APort, TIdIPVersion AIPVersion) override;
  std::uint32_t ReceiveMsg(TIdStackSocketHandle ASocket, TIdBytes& VBuffer, TIdPacketInfo& APkt) override;
  std::uint16_t CalcCheckSum(const TIdBytes& AData) override;
  void WriteChecksum(TIdStackSocketHandle ASocket, TIdBytes& VBuffer, std::int32_t AOffset, const std::string& AIP,
                     std::uint16_t APort, TIdIPVersion AIPVersion) override;

protected:
  std::string LookupHostAddress(const std::string& AHostName, TIdIPVersion AIPVersion) override;
};

// The single stack object while any transport object is alive.
extern TIdStack* GStack;

// Address family for an IP version; any other value raises.
int IdIPFamily(TIdIPVersion AIPVersion);
