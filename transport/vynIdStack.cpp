#include "transport/vynIdStack.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>

#include "platform/DateUtils.h"
#include "transport/vynIdResourceStringsCore.h"

TIdStack* GStack = nullptr;

namespace {

std::mutex& StackLock() {
  static std::mutex lock;
  return lock;
}
int GStackUsage = 0;

struct ErrorRow {
  int Wsa;
  int Errno;
  const char* Text;
};

// The socket error table: keyed by errno, with the Winsock number kept so that
// numbers the resolver raises as such (10022, 10047, ...) find their text too.
const ErrorRow kErrorRows[] = {
    {10004, EINTR, "Interrupted system call."},
    {10009, EBADF, "Bad file number."},
    {10013, EACCES, "Access denied."},
    {10014, EFAULT, "Buffer fault."},
    {10022, EINVAL, "Invalid argument."},
    {10024, EMFILE, "Too many open files."},
    {10035, EWOULDBLOCK, "Operation would block."},
    {10036, EINPROGRESS, "Operation now in progress."},
    {10037, EALREADY, "Operation already in progress."},
    {10038, ENOTSOCK, "Socket operation on non-socket."},
    {10039, EDESTADDRREQ, "Destination address required."},
    {10040, EMSGSIZE, "Message too long."},
    {10041, EPROTOTYPE, "Protocol wrong type for socket."},
    {10042, ENOPROTOOPT, "Bad protocol option."},
    {10043, EPROTONOSUPPORT, "Protocol not supported."},
    {10044, ESOCKTNOSUPPORT, "Socket type not supported."},
    {10045, EOPNOTSUPP, "Operation not supported on socket."},
    {10046, EPFNOSUPPORT, "Protocol family not supported."},
    {10047, EAFNOSUPPORT, "Address family not supported by protocol family."},
    {10048, EADDRINUSE, "Address already in use."},
    {10049, EADDRNOTAVAIL, "Cannot assign requested address."},
    {10050, ENETDOWN, "Network is down."},
    {10051, ENETUNREACH, "Network is unreachable."},
    {10052, ENETRESET, "Net dropped connection or reset."},
    {10053, ECONNABORTED, "Software caused connection abort."},
    {10054, ECONNRESET, "Connection reset by peer."},
    {10055, ENOBUFS, "No buffer space available."},
    {10056, EISCONN, "Socket is already connected."},
    {10057, ENOTCONN, "Socket is not connected."},
    {10058, ESHUTDOWN, "Cannot send or receive after socket is closed."},
    {10059, ETOOMANYREFS, "Too many references, cannot splice."},
    {10060, ETIMEDOUT, "Connection timed out."},
    {10061, ECONNREFUSED, "Connection refused."},
    {10062, ELOOP, "Too many levels of symbolic links."},
    {10063, ENAMETOOLONG, "File name too long."},
    {10064, EHOSTDOWN, "Host is down."},
    {10065, EHOSTUNREACH, "No route to host."},
    {10066, ENOTEMPTY, "Directory not empty"},
};

// An IPv4 field: digits only after trimming, 0..255.
bool ParseIPv4Field(std::string_view aField, std::uint32_t& aValue) {
  std::string field = Trim(aField);
  if (field.empty() || field.size() > 3) return false;
  std::uint32_t v = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (v > 255) return false;
  aValue = v;
  return true;
}

// Host-order 32-bit value of a strict dotted quad.
bool ParseIPv4(const std::string& aIP, std::uint32_t& aValue) {
  std::uint32_t result = 0;
  std::size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t dot = aIP.find('.', start);
    if ((i < 3) != (dot != std::string::npos)) return false;
    std::uint32_t field = 0;
    if (!ParseIPv4Field(std::string_view(aIP).substr(start, i < 3 ? dot - start : std::string::npos), field))
      return false;
    result = (result << 8) | field;
    start = dot + 1;
  }
  aValue = result;
  return true;
}

bool ParseIPv6(const std::string& aIP, in6_addr& aAddr) {
  std::string text = Trim(aIP);
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  return inet_pton(AF_INET6, text.c_str(), &aAddr) == 1;
}

std::string FormatIPv6(const in6_addr& aAddr) {
  std::string result;
  char group[8];
  for (int i = 0; i < 8; ++i) {
    unsigned word = (static_cast<unsigned>(aAddr.s6_addr[2 * i]) << 8) | aAddr.s6_addr[2 * i + 1];
    std::snprintf(group, sizeof group, "%X", word);
    if (i > 0) result += ':';
    result += group;
  }
  return result;
}

// Fills a socket address from text and port; returns its length.
socklen_t MakeSockAddr(const std::string& aIP, std::uint16_t aPort, TIdIPVersion aIPVersion, sockaddr_storage& aAddr) {
  std::memset(&aAddr, 0, sizeof aAddr);
  if (aIPVersion == TIdIPVersion::Id_IPv4) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&aAddr);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(aPort);
    if (!aIP.empty()) TIdStack::TranslateStringToTInAddr(aIP, &sin->sin_addr, aIPVersion);
    return sizeof(sockaddr_in);
  }
  if (aIPVersion == TIdIPVersion::Id_IPv6) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&aAddr);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(aPort);
    if (!aIP.empty()) TIdStack::TranslateStringToTInAddr(aIP, &sin6->sin6_addr, aIPVersion);
    return sizeof(sockaddr_in6);
  }
  throw EIdIPVersionUnsupported();
}

// Reads text, port and version from a socket address; false for another family.
bool ReadSockAddr(const sockaddr_storage& aAddr, std::string& VIP, std::uint16_t& VPort, TIdIPVersion& VIPVersion) {
  if (aAddr.ss_family == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&aAddr);
    VIP = TIdStack::TranslateTInAddrToString(&sin->sin_addr, TIdIPVersion::Id_IPv4);
    VPort = ntohs(sin->sin_port);
    VIPVersion = TIdIPVersion::Id_IPv4;
    return true;
  }
  if (aAddr.ss_family == AF_INET6) {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&aAddr);
    VIP = TIdStack::TranslateTInAddrToString(&sin6->sin6_addr, TIdIPVersion::Id_IPv6);
    VPort = ntohs(sin6->sin6_port);
    VIPVersion = TIdIPVersion::Id_IPv6;
    return true;
  }
  return false;
}

// Resolver result code to the socket error number that is raised.
[[noreturn]] void RaiseResolverError(TIdStack& aStack, int aCode, int aSavedErrno) {
  int err = aCode;
  switch (aCode) {
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      err = 0;
      break;
#endif
    case EAI_AGAIN:
      err = Id_WSATRY_AGAIN;
      break;
    case EAI_BADFLAGS:
      err = 10022;
      break;
    case EAI_FAIL:
      err = Id_WSANO_RECOVERY;
      break;
    case EAI_FAMILY:
      err = 10047;
      break;
    case EAI_MEMORY:
      err = 8;
      break;
#ifdef EAI_NODATA
    case EAI_NODATA:
      err = Id_WSANO_DATA;
      break;
#endif
    case EAI_NONAME:
      err = Id_WSAHOST_NOT_FOUND;
      break;
    case EAI_SERVICE:
      err = 10109;
      break;
    case EAI_SOCKTYPE:
      err = 10044;
      break;
    case EAI_SYSTEM:
      err = aSavedErrno;
      break;
    default:
      break;
  }
  aStack.RaiseSocketError(err);
}

bool HasNonASCII(const std::string& aText) {
  for (unsigned char c : aText)
    if (c > 127) return true;
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------

EIdIPVersionUnsupported::EIdIPVersionUnsupported() : EIdStackError(RSIPVersionUnsupported) {}
EIdStackSetSizeExceeded::EIdStackSetSizeExceeded() : EIdStackError(RSSetSizeExceeded) {}
EIdCannotSetIPVersionWhenConnected::EIdCannotSetIPVersionWhenConnected()
    : EIdSocketHandleError(RSCannotSetIPVersionWhenConnected) {}
EIdConnClosedGracefully::EIdConnClosedGracefully() : EIdSilentException(RSConnectionClosedGracefully) {}

int IdIPFamily(TIdIPVersion AIPVersion) {
  switch (AIPVersion) {
    case TIdIPVersion::Id_IPv4:
      return AF_INET;
    case TIdIPVersion::Id_IPv6:
      return AF_INET6;
  }
  throw EIdIPVersionUnsupported();
}

// ---------------------------------------------------------------------------
// Local addresses and parsed addresses

TIdStackLocalAddress& TIdStackLocalAddressList::Add(std::unique_ptr<TIdStackLocalAddress> aItem) {
  FItems.push_back(std::move(aItem));
  return *FItems.back();
}

int TIdStackLocalAddressList::IndexOfIP(const std::string& AIP) const {
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i]->IPAddress == AIP) return static_cast<int>(i);
  return -1;
}

int TIdStackLocalAddressList::IndexOfIP(const std::string& AIP, TIdIPVersion AIPVersion) const {
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i]->IPVersion == AIPVersion && FItems[i]->IPAddress == AIP) return static_cast<int>(i);
  return -1;
}

std::unique_ptr<TIdIPAddress> TIdIPAddress::MakeAddressObject(const std::string& AIP) {
  auto result = MakeAddressObject(AIP, TIdIPVersion::Id_IPv4);
  if (!result) result = MakeAddressObject(AIP, TIdIPVersion::Id_IPv6);
  return result;
}

std::unique_ptr<TIdIPAddress> TIdIPAddress::MakeAddressObject(const std::string& AIP, TIdIPVersion AIPVersion) {
  auto result = std::make_unique<TIdIPAddress>();
  result->AddrType = AIPVersion;
  if (AIPVersion == TIdIPVersion::Id_IPv4) {
    if (!ParseIPv4(AIP, result->IPv4)) return nullptr;
    return result;
  }
  in6_addr addr{};
  if (!ParseIPv6(AIP, addr)) return nullptr;
  for (int i = 0; i < 8; ++i)
    result->IPv6[static_cast<std::size_t>(i)] =
        static_cast<std::uint16_t>((addr.s6_addr[2 * i] << 8) | addr.s6_addr[2 * i + 1]);
  return result;
}

int TIdIPAddress::CompareAddress(const std::string& AIP, bool& VErr) const {
  VErr = true;
  auto other = MakeAddressObject(AIP, AddrType);
  if (!other) return 0;
  VErr = false;
  if (AddrType == TIdIPVersion::Id_IPv4) return IPv4 < other->IPv4 ? -1 : (IPv4 > other->IPv4 ? 1 : 0);
  return IPv6 < other->IPv6 ? -1 : (IPv6 > other->IPv6 ? 1 : 0);
}

std::string TIdIPAddress::IPAsString() const {
  if (AddrType == TIdIPVersion::Id_IPv4) {
    std::uint32_t n = htonl(IPv4);
    return TIdStack::TranslateTInAddrToString(&n, AddrType);
  }
  in6_addr addr{};
  for (int i = 0; i < 8; ++i) {
    addr.s6_addr[2 * i] = static_cast<std::uint8_t>(IPv6[static_cast<std::size_t>(i)] >> 8);
    addr.s6_addr[2 * i + 1] = static_cast<std::uint8_t>(IPv6[static_cast<std::size_t>(i)]);
  }
  return FormatIPv6(addr);
}

// ---------------------------------------------------------------------------
// TIdStack

TIdStack::~TIdStack() = default;

void TIdStack::IncUsage() {
  std::lock_guard<std::mutex> lock(StackLock());
  if (GStackUsage == 0) {
    if (GStack) throw EIdStackError(RSStackAlreadyCreated);
    GStack = new TIdStackLinux();
  }
  ++GStackUsage;
}

void TIdStack::DecUsage() {
  std::lock_guard<std::mutex> lock(StackLock());
  if (GStackUsage == 0) return;
  if (--GStackUsage == 0) {
    delete GStack;
    GStack = nullptr;
  }
}

std::string TIdStack::ResolveHost(const std::string& AHost, TIdIPVersion AIPVersion) {
  switch (AIPVersion) {
    case TIdIPVersion::Id_IPv4:
      if (SameText(AHost, "LOCALHOST")) return "127.0.0.1";
      if (IsIP(AHost)) return AHost;
      return LookupHostAddress(AHost, AIPVersion);
    case TIdIPVersion::Id_IPv6: {
      if (SameText(AHost, "LOCALHOST")) return "::1";
      std::string canonical = MakeCanonicalIPv6Address(AHost);
      if (!canonical.empty()) return canonical;
      return LookupHostAddress(AHost, AIPVersion);
    }
  }
  throw EIdIPVersionUnsupported();
}

std::string TIdStack::WSGetServByPort(std::uint16_t APortNumber) {
  TStringList list;
  AddServByPortToList(APortNumber, list);
  return list.Count() > 0 ? list[0] : std::string();
}

bool TIdStack::IsValidIPv4MulticastGroup(const std::string& AIP) {
  std::uint32_t value = 0;
  if (!ParseIPv4(AIP, value)) return false;
  const std::uint32_t first = value >> 24;
  return first >= 224 && first <= 239;
}

bool TIdStack::IsValidIPv6MulticastGroup(const std::string& AIP) {
  // The first byte, not the first characters of the text: "FF:..." is the
  // group 00FF, an ordinary address.
  in6_addr addr{};
  return ParseIPv6(AIP, addr) && addr.s6_addr[0] == 0xFF;
}

void TIdPacketInfo::Reset() { *this = TIdPacketInfo(); }

bool TIdStack::IsIP(const std::string& AIP) {
  std::uint32_t value = 0;
  return ParseIPv4(AIP, value);
}

std::string TIdStack::MakeCanonicalIPv6Address(const std::string& AAddr) {
  in6_addr addr{};
  if (!ParseIPv6(AAddr, addr)) return std::string();
  return FormatIPv6(addr);
}

void TIdStack::AddLocalAddressesToList(TStrings& AAddresses) {
  TIdStackLocalAddressList list;
  GetLocalAddressList(list);
  for (int i = 0; i < list.Count(); ++i)
    if (list.Addresses(i).IPVersion == TIdIPVersion::Id_IPv4) AAddresses.Add(list.Addresses(i).IPAddress);
}

const TStrings& TIdStack::LocalAddresses() {
  if (!FLocalAddresses) {
    auto list = std::make_unique<TStringList>();
    AddLocalAddressesToList(*list);
    FLocalAddresses = std::move(list);
  }
  return *FLocalAddresses;
}

std::string TIdStack::LocalAddress() {
  const TStrings& list = LocalAddresses();
  return list.Count() > 0 ? list[0] : std::string();
}

std::uint16_t TIdStack::HostToNetwork(std::uint16_t AValue) { return htons(AValue); }
std::uint32_t TIdStack::HostToNetwork(std::uint32_t AValue) { return htonl(AValue); }
std::uint64_t TIdStack::HostToNetwork(std::uint64_t AValue) {
  // Each 32-bit half swapped and the halves exchanged.
  auto low = static_cast<std::uint32_t>(AValue);
  auto high = static_cast<std::uint32_t>(AValue >> 32);
  return (static_cast<std::uint64_t>(htonl(low)) << 32) | htonl(high);
}
TIdIPv6Address TIdStack::HostToNetwork(const TIdIPv6Address& AValue) {
  TIdIPv6Address result;
  for (std::size_t i = 0; i < 8; ++i) result[i] = htons(AValue[i]);
  return result;
}
std::uint16_t TIdStack::NetworkToHost(std::uint16_t AValue) { return ntohs(AValue); }
std::uint32_t TIdStack::NetworkToHost(std::uint32_t AValue) { return ntohl(AValue); }
std::uint64_t TIdStack::NetworkToHost(std::uint64_t AValue) { return HostToNetwork(AValue); }
TIdIPv6Address TIdStack::NetworkToHost(const TIdIPv6Address& AValue) {
  TIdIPv6Address result;
  for (std::size_t i = 0; i < 8; ++i) result[i] = ntohs(AValue[i]);
  return result;
}

std::string TIdStack::WSTranslateSocketErrorMsg(int AErr) {
  const char* text = "";
  for (const ErrorRow& row : kErrorRows)
    if (row.Errno == AErr || row.Wsa == AErr) {
      text = row.Text;
      break;
    }
  return Format(RSStackError, AErr, text);
}

void TIdStack::RaiseSocketError(int AErr) {
  if (AErr == ENOTSOCK || AErr == 10038) throw EIdNotASocket(AErr, WSTranslateSocketErrorMsg(AErr));
  throw EIdSocketError(AErr, WSTranslateSocketErrorMsg(AErr));
}

void TIdStack::RaiseLastSocketError() { RaiseSocketError(WSGetLastError()); }

int TIdStack::CheckForSocketError(int AResult) {
  if (AResult == Id_SOCKET_ERROR) RaiseLastSocketError();
  return AResult;
}

int TIdStack::CheckForSocketError(int AResult, const std::vector<int>& AIgnore) {
  if (AResult != Id_SOCKET_ERROR) return AResult;
  int err = WSGetLastError();
  for (int ignored : AIgnore)
    if (ignored == err) return err;
  RaiseSocketError(err);
}

void TIdStack::TranslateStringToTInAddr(const std::string& AIP, void* AInAddr, TIdIPVersion AIPVersion) {
  if (AIPVersion == TIdIPVersion::Id_IPv4) {
    std::uint32_t value = 0;
    if (!ParseIPv4(AIP, value)) throw EConvertError(Format(RSInvalidIPAddress, AIP));
    value = htonl(value);
    std::memcpy(AInAddr, &value, sizeof value);
    return;
  }
  if (AIPVersion == TIdIPVersion::Id_IPv6) {
    in6_addr addr{};
    if (!ParseIPv6(AIP, addr)) throw EConvertError(Format(RSInvalidIPAddress, AIP));
    std::memcpy(AInAddr, &addr, sizeof addr);
    return;
  }
  throw EIdIPVersionUnsupported();
}

std::string TIdStack::TranslateTInAddrToString(const void* AInAddr, TIdIPVersion AIPVersion) {
  if (AIPVersion == TIdIPVersion::Id_IPv4) {
    const auto* b = static_cast<const std::uint8_t*>(AInAddr);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
  }
  if (AIPVersion == TIdIPVersion::Id_IPv6) {
    in6_addr addr;
    std::memcpy(&addr, AInAddr, sizeof addr);
    return FormatIPv6(addr);
  }
  throw EIdIPVersionUnsupported();
}

// ---------------------------------------------------------------------------
// TIdStackBSDBase

TIdStackSocketHandle TIdStackBSDBase::NewSocketHandle(int ASocketType, int AProtocol, TIdIPVersion AIPVersion,
                                                      bool ANonBlocking) {
  int fd = WSSocket(IdIPFamily(AIPVersion), ASocketType, AProtocol, ANonBlocking);
  if (fd == Id_INVALID_SOCKET) RaiseLastSocketError();
  int on = 1;
  if (AIPVersion == TIdIPVersion::Id_IPv6) {
    // Each binding serves one family; a dual-stack socket would also take IPv4.
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  }
  if (ASocketType == SOCK_DGRAM || ASocketType == SOCK_RAW) {
    // The kernel keeps a datagram's arrival address and hop limit only when
    // asked before it arrives; ReceiveMsg reads them, other receives ignore
    // them.
    if (AIPVersion == TIdIPVersion::Id_IPv6) {
      ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
      ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on);
    } else {
      ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
      ::setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    }
  }
  return fd;
}

TIdStackSocketHandle TIdStackBSDBase::WSSocket(int AFamily, int AStruct, int AProtocol, bool AOverlapped) {
  // Overlapped I/O has no POSIX counterpart; the nearest is a non-blocking
  // socket, which is what callers asking for it want.
  return ::socket(AFamily, AStruct | SOCK_CLOEXEC | (AOverlapped ? SOCK_NONBLOCK : 0), AProtocol);
}

void TIdStackBSDBase::Bind(TIdStackSocketHandle ASocket, const std::string& AIP, std::uint16_t APort,
                           TIdIPVersion AIPVersion) {
  sockaddr_storage addr;
  socklen_t len = MakeSockAddr(AIP, APort, AIPVersion, addr);
  CheckForSocketError(::bind(ASocket, reinterpret_cast<sockaddr*>(&addr), len));
}

bool TIdStackBSDBase::Connect(TIdStackSocketHandle ASocket, const std::string& AIP, std::uint16_t APort,
                              TIdIPVersion AIPVersion, std::int32_t ATimeout) {
  sockaddr_storage addr;
  socklen_t len = MakeSockAddr(AIP, APort, AIPVersion, addr);
  if (ATimeout <= 0) {
    int rc = ::connect(ASocket, reinterpret_cast<sockaddr*>(&addr), len);
    if (rc == -1 && errno == EINTR) {
      // An interrupted connect goes on in the background; wait for its end.
      pollfd p{ASocket, POLLOUT, 0};
      while (::poll(&p, 1, -1) == -1 && errno == EINTR) {
      }
      int err = 0;
      socklen_t errLen = sizeof err;
      ::getsockopt(ASocket, SOL_SOCKET, SO_ERROR, &err, &errLen);
      if (err != 0) RaiseSocketError(err);
      return true;
    }
    CheckForSocketError(rc);
    return true;
  }
  SetBlocking(ASocket, false);
  int rc = ::connect(ASocket, reinterpret_cast<sockaddr*>(&addr), len);
  if (rc == -1 && errno != EINPROGRESS && errno != EINTR) {
    int err = errno;
    SetBlocking(ASocket, true);
    RaiseSocketError(err);
  }
  if (rc == -1) {
    const std::uint64_t deadline = GetTickCount64() + static_cast<std::uint64_t>(ATimeout);
    for (;;) {
      std::uint64_t now = GetTickCount64();
      if (now >= deadline) return false;
      pollfd p{ASocket, POLLOUT, 0};
      int n = ::poll(&p, 1, static_cast<int>(deadline - now));
      if (n == -1 && errno == EINTR) continue;
      if (n == -1) RaiseLastSocketError();
      if (n == 0) return false;
      break;
    }
    int err = 0;
    socklen_t errLen = sizeof err;
    CheckForSocketError(::getsockopt(ASocket, SOL_SOCKET, SO_ERROR, &err, &errLen));
    if (err != 0) {
      SetBlocking(ASocket, true);
      RaiseSocketError(err);
    }
  }
  SetBlocking(ASocket, true);
  return true;
}

void TIdStackBSDBase::Listen(TIdStackSocketHandle ASocket, int ABackLog) {
  CheckForSocketError(::listen(ASocket, ABackLog));
}

TIdStackSocketHandle TIdStackBSDBase::Accept(TIdStackSocketHandle ASocket, std::string& VIP, std::uint16_t& VPort,
                                             TIdIPVersion& VIPVersion) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  int fd;
  do {
    fd = ::accept4(ASocket, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) return Id_INVALID_SOCKET;
  if (!ReadSockAddr(addr, VIP, VPort, VIPVersion)) {
    ::close(fd);
    throw EIdIPVersionUnsupported();
  }
  return fd;
}

void TIdStackBSDBase::GetSocketName(TIdStackSocketHandle ASocket, std::string& VIP, std::uint16_t& VPort,
                                    TIdIPVersion& VIPVersion) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  CheckForSocketError(::getsockname(ASocket, reinterpret_cast<sockaddr*>(&addr), &len));
  if (!ReadSockAddr(addr, VIP, VPort, VIPVersion)) throw EIdIPVersionUnsupported();
}

void TIdStackBSDBase::GetPeerName(TIdStackSocketHandle ASocket, std::string& VIP, std::uint16_t& VPort,
                                  TIdIPVersion& VIPVersion) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  CheckForSocketError(::getpeername(ASocket, reinterpret_cast<sockaddr*>(&addr), &len));
  if (!ReadSockAddr(addr, VIP, VPort, VIPVersion)) throw EIdIPVersionUnsupported();
}

void TIdStackBSDBase::Disconnect(TIdStackSocketHandle ASocket, std::int32_t ALinger) {
  if (ALinger < 0) {
    ::shutdown(ASocket, SHUT_WR);
  } else {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = ALinger & 0xFFFF;
    ::setsockopt(ASocket, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  WSCloseHandle(ASocket);
}

int TIdStackBSDBase::WSHalfClose(TIdStackSocketHandle ASocket, int AHow) { return ::shutdown(ASocket, AHow); }

int TIdStackBSDBase::WSCloseHandle(TIdStackSocketHandle ASocket) {
  // close() is not retried on EINTR: the descriptor is gone either way.
  return ::close(ASocket);
}

int TIdStackBSDBase::Receive(TIdStackSocketHandle ASocket, TIdBytes& VBuffer) {
  return CheckForSocketError(WSRecvData(ASocket, VBuffer.data(), VBuffer.size(), 0));
}

int TIdStackBSDBase::Send(TIdStackSocketHandle ASocket, const TIdBytes& ABuffer, std::int32_t AOffset,
                          std::int32_t ASize) {
  std::int64_t available = static_cast<std::int64_t>(ABuffer.size()) - AOffset;
  if (AOffset < 0 || available <= 0) return 0;
  std::int64_t size = ASize < 0 ? available : std::min<std::int64_t>(ASize, available);
  if (size == 0) return 0;
  return CheckForSocketError(WSSendData(ASocket, ABuffer.data() + AOffset, static_cast<std::size_t>(size), 0));
}

int TIdStackBSDBase::WSRecvData(TIdStackSocketHandle ASocket, void* ABuffer, std::size_t ALength, int AFlags) {
  ssize_t n;
  do {
    n = ::recv(ASocket, ABuffer, ALength, AFlags);
  } while (n == -1 && errno == EINTR);
  return static_cast<int>(n);
}

int TIdStackBSDBase::WSSendData(TIdStackSocketHandle ASocket, const void* ABuffer, std::size_t ALength, int AFlags) {
  ssize_t n;
  do {
    n = ::send(ASocket, ABuffer, ALength, AFlags | MSG_NOSIGNAL);
  } while (n == -1 && errno == EINTR);
  return static_cast<int>(n);
}

int TIdStackBSDBase::ReceiveFrom(TIdStackSocketHandle ASocket, TIdBytes& VBuffer, std::string& VFromIP,
                                 std::uint16_t& VFromPort, TIdIPVersion& VFromIPVersion) {
  return CheckForSocketError(RecvFrom(ASocket, VBuffer.data(), VBuffer.size(), 0, VFromIP, VFromPort, VFromIPVersion));
}

void TIdStackBSDBase::SendTo(TIdStackSocketHandle ASocket, const TIdBytes& ABuffer, std::int32_t AOffset,
                             std::int32_t ASize, const std::string& AIP, std::uint16_t APort, TIdIPVersion AIPVersion) {
  std::int64_t available = static_cast<std::int64_t>(ABuffer.size()) - AOffset;
  if (AOffset < 0 || available < 0) available = 0;
  std::int64_t size = ASize < 0 ? available : std::min<std::int64_t>(ASize, available);
  const std::uint8_t* data = size > 0 ? ABuffer.data() + AOffset : nullptr;
  int n = WSSendTo(ASocket, data, static_cast<std::size_t>(size), 0, AIP, APort, AIPVersion);
  if (n == Id_SOCKET_ERROR) {
    int err = WSGetLastError();
    if (err == EMSGSIZE) throw EIdPackageSizeTooBig(RSPackageSizeTooBig);
    RaiseSocketError(err);
  }
  if (n != size) throw EIdNotAllBytesSent(RSNotAllBytesSent);
}

void TIdStackBSDBase::SetMulticastTTL(TIdStackSocketHandle ASocket, int AValue, TIdIPVersion AIPVersion) {
  if (AIPVersion == TIdIPVersion::Id_IPv6)
    SetSocketOption(ASocket, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, AValue);
  else
    SetSocketOption(ASocket, IPPROTO_IP, IP_MULTICAST_TTL, AValue);
}

void TIdStackBSDBase::SetLoopBack(TIdStackSocketHandle ASocket, bool AValue, TIdIPVersion AIPVersion) {
  if (AIPVersion == TIdIPVersion::Id_IPv6)
    SetSocketOption(ASocket, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, AValue ? 1 : 0);
  else
    SetSocketOption(ASocket, IPPROTO_IP, IP_MULTICAST_LOOP, AValue ? 1 : 0);
}

namespace {

void ChangeMembership(TIdStack& aStack, TIdStackSocketHandle aSocket, const std::string& aGroupIP,
                      const std::string& aLocalIP, TIdIPVersion aIPVersion, bool aJoin) {
  if (aIPVersion == TIdIPVersion::Id_IPv6) {
    if (!TIdStack::IsValidIPv6MulticastGroup(aGroupIP)) return;
    ipv6_mreq req{};
    TIdStack::TranslateStringToTInAddr(aGroupIP, &req.ipv6mr_multiaddr, aIPVersion);
    req.ipv6mr_interface = 0;
    aStack.CheckForSocketError(
        ::setsockopt(aSocket, IPPROTO_IPV6, aJoin ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP, &req, sizeof req));
    return;
  }
  if (aIPVersion != TIdIPVersion::Id_IPv4) throw EIdIPVersionUnsupported();
  if (!TIdStack::IsValidIPv4MulticastGroup(aGroupIP)) return;
  ip_mreq req{};
  TIdStack::TranslateStringToTInAddr(aGroupIP, &req.imr_multiaddr, aIPVersion);
  if (aLocalIP.empty())
    req.imr_interface.s_addr = htonl(INADDR_ANY);
  else
    TIdStack::TranslateStringToTInAddr(aLocalIP, &req.imr_interface, aIPVersion);
  aStack.CheckForSocketError(
      ::setsockopt(aSocket, IPPROTO_IP, aJoin ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &req, sizeof req));
}

}  // namespace

void TIdStackBSDBase::AddMulticastMembership(TIdStackSocketHandle ASocket, const std::string& AGroupIP,
                                             const std::string& ALocalIP, TIdIPVersion AIPVersion) {
  ChangeMembership(*this, ASocket, AGroupIP, ALocalIP, AIPVersion, true);
}

void TIdStackBSDBase::DropMulticastMembership(TIdStackSocketHandle ASocket, const std::string& AGroupIP,
                                              const std::string& ALocalIP, TIdIPVersion AIPVersion) {
  ChangeMembership(*this, ASocket, AGroupIP, ALocalIP, AIPVersion, false);
}

void TIdStackBSDBase::SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int AOptVal) {
  CheckForSocketError(::setsockopt(ASocket, ALevel, AOptName, &AOptVal, sizeof AOptVal));
}

void TIdStackBSDBase::GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int& AOptVal) {
  socklen_t len = sizeof AOptVal;
  CheckForSocketError(::getsockopt(ASocket, ALevel, AOptName, &AOptVal, &len));
}

void TIdStackBSDBase::SetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) {
  int flags = CheckForSocketError(::fcntl(ASocket, F_GETFL));
  flags = ABlocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  CheckForSocketError(::fcntl(ASocket, F_SETFL, flags));
}

bool TIdStackBSDBase::WouldBlock(int AResult) { return AResult == EWOULDBLOCK || AResult == EAGAIN; }

int TIdStackBSDBase::IOControl(TIdStackSocketHandle ASocket, unsigned long ACmd, void* AArg) {
  return ::ioctl(ASocket, ACmd, AArg);
}

void TIdStackBSDBase::SetKeepAliveValues(TIdStackSocketHandle ASocket, bool AEnabled, std::int32_t ATimeMS,
                                         std::int32_t AInterval) {
  if (!AEnabled) {
    SetSocketOption(ASocket, SOL_SOCKET, SO_KEEPALIVE, 0);
    return;
  }
  SetSocketOption(ASocket, SOL_SOCKET, SO_KEEPALIVE, 1);
  // The kernel counts whole seconds, at least one.
  SetSocketOption(ASocket, IPPROTO_TCP, TCP_KEEPIDLE, std::max(1, ATimeMS / 1000));
  SetSocketOption(ASocket, IPPROTO_TCP, TCP_KEEPINTVL, std::max(1, AInterval / 1000));
}

std::uint16_t TIdStackBSDBase::WSGetServByName(const std::string& AServiceName) {
  if (servent* s = ::getservbyname(AServiceName.c_str(), nullptr)) return ntohs(static_cast<std::uint16_t>(s->s_port));
  std::int32_t port = 0;
  std::string text = Trim(AServiceName);
  bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || !TryStrToInt(text, port) || port < 0 || port > 65535)
    throw EIdInvalidServiceName(Format(RSInvalidServiceName, AServiceName));
  return static_cast<std::uint16_t>(port);
}

void TIdStackBSDBase::AddServByPortToList(std::uint16_t APortNumber, TStrings& AAddresses) {
  servent* s = ::getservbyport(htons(APortNumber), nullptr);
  if (!s) RaiseSocketError(ENOENT);
  AAddresses.Add(s->s_name);
  for (char** alias = s->s_aliases; alias && *alias; ++alias) AAddresses.Add(*alias);
}

int TIdStackBSDBase::WSGetLastError() { return errno; }
void TIdStackBSDBase::WSSetLastError(int AErr) { errno = AErr; }

// ---------------------------------------------------------------------------
// TIdStackLinux

TIdStackLinux::TIdStackLinux() {
  // Writes to a socket the peer closed must fail with EPIPE, not end the process.
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

std::string TIdStackLinux::LookupHostAddress(const std::string& AHostName, TIdIPVersion AIPVersion) {
  addrinfo hints{};
  hints.ai_family = IdIPFamily(AIPVersion);
  hints.ai_socktype = SOCK_STREAM;
  // Non-ASCII names go out in their IDNA form.
  hints.ai_flags = HasNonASCII(AHostName) ? AI_IDN : 0;
  addrinfo* result = nullptr;
  int rc = ::getaddrinfo(AHostName.c_str(), nullptr, &hints, &result);
  int saved = errno;
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(result, &::freeaddrinfo);
  if (rc != 0) RaiseResolverError(*this, rc, saved);
  if (!result) RaiseSocketError(Id_WSAHOST_NOT_FOUND);
  if (AIPVersion == TIdIPVersion::Id_IPv4)
    return TranslateTInAddrToString(&reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr, AIPVersion);
  return TranslateTInAddrToString(&reinterpret_cast<sockaddr_in6*>(result->ai_addr)->sin6_addr, AIPVersion);
}

std::string TIdStackLinux::HostByAddress(const std::string& AAddress, TIdIPVersion AIPVersion) {
  addrinfo hints{};
  hints.ai_family = IdIPFamily(AIPVersion);
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* result = nullptr;
  int rc = ::getaddrinfo(AAddress.c_str(), nullptr, &hints, &result);
  int saved = errno;
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(result, &::freeaddrinfo);
  if (rc != 0) RaiseResolverError(*this, rc, saved);
  char host[1025];
  rc = ::getnameinfo(result->ai_addr, result->ai_addrlen, host, sizeof host, nullptr, 0, NI_NAMEREQD);
  saved = errno;
  if (rc != 0) RaiseResolverError(*this, rc, saved);
  return host;
}

std::string TIdStackLinux::ReadLocalHostName() {
  char name[251] = {};
  if (::gethostname(name, 250) != 0) return std::string();
  return name;
}

int TIdStackLinux::RecvFrom(TIdStackSocketHandle ASocket, void* ABuffer, std::size_t ALength, int AFlags,
                            std::string& VFromIP, std::uint16_t& VFromPort, TIdIPVersion& VFromIPVersion) {
  sockaddr_storage from{};
  socklen_t fromLen = sizeof from;
  ssize_t n;
  do {
    n = ::recvfrom(ASocket, ABuffer, ALength, AFlags, reinterpret_cast<sockaddr*>(&from), &fromLen);
  } while (n == -1 && errno == EINTR);
  if (n >= 0 && !ReadSockAddr(from, VFromIP, VFromPort, VFromIPVersion)) {
    // A connected socket may leave the address out; its peer is the sender.
    VFromIP.clear();
    VFromPort = 0;
  }
  return static_cast<int>(n);
}

int TIdStackLinux::WSSendTo(TIdStackSocketHandle ASocket, const void* ABuffer, std::size_t ALength, int AFlags,
                            const std::string& AIP, std::uint16_t APort, TIdIPVersion AIPVersion) {
  sockaddr_storage to;
  socklen_t toLen = MakeSockAddr(AIP, APort, AIPVersion, to);
  ssize_t n;
  do {
    n = ::sendto(ASocket, ABuffer, ALength, AFlags | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), toLen);
  } while (n == -1 && errno == EINTR);
  return static_cast<int>(n);
}

std::uint32_t TIdStackLinux::ReceiveMsg(TIdStackSocketHandle ASocket, TIdBytes& VBuffer, TIdPacketInfo& APkt) {
  sockaddr_storage from{};
  iovec iov{VBuffer.data(), VBuffer.size()};
  alignas(cmsghdr) unsigned char control[256];
  msghdr msg{};
  msg.msg_name = &from;
  msg.msg_namelen = sizeof from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(ASocket, &msg, 0);
  } while (n == -1 && errno == EINTR);
  CheckForSocketError(static_cast<int>(n));
  APkt.Reset();
  if (!ReadSockAddr(from, APkt.SourceIP, APkt.SourcePort, APkt.SourceIPVersion)) APkt.SourceIP.clear();
  // The port the datagram was sent to is the socket's own.
  sockaddr_storage local{};
  socklen_t localLen = sizeof local;
  std::string localIP;
  if (::getsockname(ASocket, reinterpret_cast<sockaddr*>(&local), &localLen) == 0)
    ReadSockAddr(local, localIP, APkt.DestPort, APkt.DestIPVersion);
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      APkt.DestIP = TranslateTInAddrToString(&info.ipi_addr, TIdIPVersion::Id_IPv4);
      APkt.DestIF = static_cast<std::uint32_t>(info.ipi_ifindex);
      APkt.DestIPVersion = TIdIPVersion::Id_IPv4;
    } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
      in6_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      APkt.DestIP = TranslateTInAddrToString(&info.ipi6_addr, TIdIPVersion::Id_IPv6);
      APkt.DestIF = info.ipi6_ifindex;
      APkt.DestIPVersion = TIdIPVersion::Id_IPv6;
    } else if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) ||
               (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT)) {
      int hops = 0;
      std::memcpy(&hops, CMSG_DATA(c), sizeof hops);
      APkt.TTL = static_cast<std::uint8_t>(hops);
    }
  }
  return static_cast<std::uint32_t>(n);
}

std::uint16_t TIdStackLinux::CalcCheckSum(const TIdBytes& AData) {
  std::uint64_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < AData.size(); i += 2) sum += static_cast<std::uint32_t>(AData[i] | (AData[i + 1] << 8));
  if (i < AData.size()) sum += AData[i];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

void TIdStackLinux::WriteChecksum(TIdStackSocketHandle ASocket, TIdBytes& VBuffer, std::int32_t AOffset,
                                  const std::string& AIP, std::uint16_t APort, TIdIPVersion AIPVersion) {
  if (AOffset < 0 || static_cast<std::size_t>(AOffset) + 2 > VBuffer.size()) throw EIdException(RSIndexOutOfBounds);
  VBuffer[static_cast<std::size_t>(AOffset)] = 0;
  VBuffer[static_cast<std::size_t>(AOffset) + 1] = 0;
  std::uint16_t sum;
  if (AIPVersion == TIdIPVersion::Id_IPv6) {
    in6_addr dest{};
    TranslateStringToTInAddr(AIP, &dest, AIPVersion);
    // The source is the address the kernel will send from: the socket's
    // own when bound, else the one the route to the destination picks.
    in6_addr source{};
    sockaddr_in6 local{};
    socklen_t localLen = sizeof local;
    if (::getsockname(ASocket, reinterpret_cast<sockaddr*>(&local), &localLen) == 0 && local.sin6_family == AF_INET6)
      source = local.sin6_addr;
    if (IN6_IS_ADDR_UNSPECIFIED(&source)) {
      int probe = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      if (probe == Id_INVALID_SOCKET) RaiseLastSocketError();
      sockaddr_in6 to{};
      to.sin6_family = AF_INET6;
      to.sin6_addr = dest;
      to.sin6_port = htons(APort == 0 ? 9 : APort);
      localLen = sizeof local;
      int rc = ::connect(probe, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      if (rc == 0) rc = ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &localLen);
      int err = errno;
      ::close(probe);
      if (rc != 0) RaiseSocketError(err);
      source = local.sin6_addr;
    }
    int protocol = 0;
    GetSocketOption(ASocket, SOL_SOCKET, SO_PROTOCOL, protocol);
    TIdBytes pseudo;
    pseudo.reserve(40 + VBuffer.size());
    pseudo.insert(pseudo.end(), source.s6_addr, source.s6_addr + 16);
    pseudo.insert(pseudo.end(), dest.s6_addr, dest.s6_addr + 16);
    const auto length = static_cast<std::uint32_t>(VBuffer.size());
    for (int shift = 24; shift >= 0; shift -= 8) pseudo.push_back(static_cast<std::uint8_t>(length >> shift));
    pseudo.insert(pseudo.end(), {0, 0, 0, static_cast<std::uint8_t>(protocol)});
    pseudo.insert(pseudo.end(), VBuffer.begin(), VBuffer.end());
    sum = CalcCheckSum(pseudo);
  } else {
    sum = CalcCheckSum(VBuffer);
  }
  VBuffer[static_cast<std::size_t>(AOffset)] = static_cast<std::uint8_t>(sum & 0xFF);
  VBuffer[static_cast<std::size_t>(AOffset) + 1] = static_cast<std::uint8_t>(sum >> 8);
}

bool TIdStackLinux::SupportsIPv4() { return CheckIPVersionSupport(TIdIPVersion::Id_IPv4); }
bool TIdStackLinux::SupportsIPv6() { return CheckIPVersionSupport(TIdIPVersion::Id_IPv6); }

bool TIdStackLinux::CheckIPVersionSupport(TIdIPVersion AIPVersion) {
  int fd = ::socket(IdIPFamily(AIPVersion), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return false;
  ::close(fd);
  return true;
}

void TIdStackLinux::GetLocalAddressList(TIdStackLocalAddressList& AAddresses) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) RaiseLastSocketError();
  std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> guard(list, &::freeifaddrs);
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_addr) continue;
    if (it->ifa_addr->sa_family == AF_INET) {
      auto item = std::make_unique<TIdStackLocalAddressIPv4>();
      item->IPAddress =
          TranslateTInAddrToString(&reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr, TIdIPVersion::Id_IPv4);
      if (it->ifa_netmask)
        item->SubNetMask =
            TranslateTInAddrToString(&reinterpret_cast<sockaddr_in*>(it->ifa_netmask)->sin_addr, TIdIPVersion::Id_IPv4);
      item->IPVersion = TIdIPVersion::Id_IPv4;
      item->InterfaceIndex = ::if_nametoindex(it->ifa_name);
      AAddresses.Add(std::move(item));
    } else if (it->ifa_addr->sa_family == AF_INET6) {
      auto item = std::make_unique<TIdStackLocalAddressIPv6>();
      item->IPAddress =
          TranslateTInAddrToString(&reinterpret_cast<sockaddr_in6*>(it->ifa_addr)->sin6_addr, TIdIPVersion::Id_IPv6);
      item->IPVersion = TIdIPVersion::Id_IPv6;
      item->InterfaceIndex = ::if_nametoindex(it->ifa_name);
      AAddresses.Add(std::move(item));
    }
  }
}

std::string TIdStackLinux::WSTranslateSocketErrorMsg(int AErr) {
  if (AErr == Id_WSAHOST_NOT_FOUND) return Format(RSStackError, AErr, RSStackHOST_NOT_FOUND);
  return TIdStackBSDBase::WSTranslateSocketErrorMsg(AErr);
}
