#include "transport/vynIdSocks.h"

#include <cstring>

#include "transport/vynIdIOHandler.h"
#include "transport/vynIdResourceStringsCore.h"

#define VYN_SOCKS_ERROR(Name, Text) \
  Name::Name() : EIdSocksError(Text) {}
VYN_SOCKS_ERROR(EIdSocksRequestFailed, RSSocksRequestFailed)
VYN_SOCKS_ERROR(EIdSocksRequestServerFailed, RSSocksRequestServerFailed)
VYN_SOCKS_ERROR(EIdSocksRequestIdentFailed, RSSocksRequestIdentFailed)
VYN_SOCKS_ERROR(EIdSocksUnknownError, RSSocksUnknownError)
VYN_SOCKS_ERROR(EIdSocksServerRespondError, RSSocksServerRespondError)
VYN_SOCKS_ERROR(EIdSocksAuthMethodError, RSSocksAuthMethodError)
VYN_SOCKS_ERROR(EIdSocksAuthError, RSSocksAuthError)
VYN_SOCKS_ERROR(EIdSocksServerGeneralError, RSSocksServerGeneralError)
VYN_SOCKS_ERROR(EIdSocksServerPermissionError, RSSocksServerPermissionError)
VYN_SOCKS_ERROR(EIdSocksServerNetUnreachableError, RSSocksServerNetUnreachableError)
VYN_SOCKS_ERROR(EIdSocksServerHostUnreachableError, RSSocksServerHostUnreachableError)
VYN_SOCKS_ERROR(EIdSocksServerConnectionRefusedError, RSSocksServerConnectionRefusedError)
VYN_SOCKS_ERROR(EIdSocksServerTTLExpiredError, RSSocksServerTTLExpiredError)
VYN_SOCKS_ERROR(EIdSocksServerCommandError, RSSocksServerCommandError)
VYN_SOCKS_ERROR(EIdSocksServerAddressError, RSSocksServerAddressError)
VYN_SOCKS_ERROR(EIdSocksUDPNotSupportedBySOCKSVersion, RSSocksUDPNotSupported)
#undef VYN_SOCKS_ERROR

namespace {

constexpr std::uint8_t kSocks4Version = 4;
constexpr std::uint8_t kSocks5Version = 5;
constexpr std::uint8_t kCommandConnect = 1;
constexpr std::uint8_t kMethodNone = 0;
constexpr std::uint8_t kMethodUserPass = 2;
constexpr std::uint8_t kMethodRefused = 255;
constexpr std::uint8_t kAuthVersion = 1;
constexpr std::uint8_t kAddressIPv4 = 1;
constexpr std::uint8_t kAddressName = 3;
constexpr std::uint8_t kAddressIPv6 = 4;
constexpr std::size_t kMaxField = 255;

void AppendPort(TIdBytes& ABytes, std::uint16_t APort) {
  ABytes.push_back(static_cast<std::uint8_t>(APort >> 8));
  ABytes.push_back(static_cast<std::uint8_t>(APort & 0xFF));
}

void AppendBytes(TIdBytes& ABytes, const TIdBytes& AMore) { ABytes.insert(ABytes.end(), AMore.begin(), AMore.end()); }

// The address bytes in network order, when AHost is an IP literal of that
// version.
bool LiteralAddress(const std::string& AHost, TIdIPVersion AVersion, TIdBytes& VBytes) {
  if (AVersion == TIdIPVersion::Id_IPv4) {
    if (!TIdStack::IsIP(AHost)) return false;
  } else if (TIdStack::MakeCanonicalIPv6Address(AHost).empty()) {
    return false;
  }
  VBytes.assign(AVersion == TIdIPVersion::Id_IPv4 ? 4 : 16, 0);
  TIdStack::TranslateStringToTInAddr(AHost, VBytes.data(), AVersion);
  return true;
}

// A name the proxy is to resolve: refused when it cannot travel whole.
TIdBytes NameBytes(TIdIOHandler* AIOHandler, const std::string& AHost) {
  TIdBytes name = AIOHandler->DefStringEncoding()->GetBytes(AHost);
  if (name.empty() || name.size() > kMaxField || std::memchr(name.data(), 0, name.size()) != nullptr)
    throw EIdSocksHostNameInvalid(Format(RSSocksHostNameInvalid, AHost));
  return name;
}

// A user name or password, cut to what its length byte can say.
TIdBytes FieldBytes(TIdIOHandler* AIOHandler, const std::string& AText) {
  TIdBytes bytes = AIOHandler->DefStringEncoding()->GetBytes(AText);
  if (bytes.size() > kMaxField) bytes.resize(kMaxField);
  return bytes;
}

// Reads exactly ACount bytes of a SOCKS 5 reply; any failure is the
// server's silence.
TIdBytes ReadSocks5(TIdIOHandler* AIOHandler, std::int32_t ACount) {
  TIdBytes bytes;
  try {
    AIOHandler->ReadBytes(bytes, ACount, false);
  } catch (const EIdException&) {
    throw EIdSocksServerRespondError();
  }
  return bytes;
}

}  // namespace

TIdSocksInfo::TIdSocksInfo(TComponent* AOwner) : TIdCustomTransparentProxy(AOwner) { FPort = IdPORT_SOCKS; }

TIdSocksInfo::~TIdSocksInfo() = default;

void TIdSocksInfo::Assign(const TPersistent& ASource) {
  TIdCustomTransparentProxy::Assign(ASource);
  if (const auto* source = dynamic_cast<const TIdSocksInfo*>(&ASource)) {
    FAuthentication = source->FAuthentication;
    FVersion = source->FVersion;
  }
}

bool TIdSocksInfo::Enabled() const { return FVersion != TSocksVersion::svNoSocks; }

void TIdSocksInfo::SetEnabled(bool AValue) {
  if (!AValue)
    FVersion = TSocksVersion::svNoSocks;
  else if (FVersion == TSocksVersion::svNoSocks)
    FVersion = TSocksVersion::svSocks5;
}

std::unique_ptr<TIdCustomTransparentProxy> TIdSocksInfo::MakeOfSameClass() const {
  return std::make_unique<TIdSocksInfo>();
}

void TIdSocksInfo::OpenUDP(TIdSocketHandle* AHandle, const std::string& AHost, std::uint16_t APort,
                           TIdIPVersion AIPVersion) {
  if (FVersion != TSocksVersion::svSocks5) throw EIdSocksUDPNotSupportedBySOCKSVersion();
  TIdCustomTransparentProxy::OpenUDP(AHandle, AHost, APort, AIPVersion);
}

void TIdSocksInfo::OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, std::uint16_t APort, TIdIPVersion) {
  switch (FVersion) {
    case TSocksVersion::svSocks4:
    case TSocksVersion::svSocks4A:
      MakeSocks4Request(AIOHandler, AHost, APort, kCommandConnect);
      break;
    case TSocksVersion::svSocks5:
      MakeSocks5Request(AIOHandler, AHost, APort, kCommandConnect);
      break;
    case TSocksVersion::svNoSocks:
      break;
  }
}

void TIdSocksInfo::MakeSocks4Request(TIdIOHandler* AIOHandler, const std::string& AHost, std::uint16_t APort,
                                     std::uint8_t ARequest) {
  const bool socks4A = FVersion == TSocksVersion::svSocks4A;
  TIdBytes request{kSocks4Version, ARequest};
  AppendPort(request, APort);
  TIdBytes name;
  if (socks4A) {
    name = NameBytes(AIOHandler, AHost);
    request.insert(request.end(), {0, 0, 0, 1});
  } else {
    if (!TIdStack::MakeCanonicalIPv6Address(AHost).empty())
      throw EIdSocksHostNameInvalid(Format(RSSocksIPv6NotSupported, AHost));
    TIdBytes address;
    if (!LiteralAddress(AHost, TIdIPVersion::Id_IPv4, address))
      LiteralAddress(GStack->ResolveHost(AHost, TIdIPVersion::Id_IPv4), TIdIPVersion::Id_IPv4, address);
    AppendBytes(request, address);
  }
  // The user id ends at its first NUL; a NUL inside it would end it early
  // and shift everything after it.
  TIdBytes user = AIOHandler->DefStringEncoding()->GetBytes(FUsername);
  if (!user.empty() && std::memchr(user.data(), 0, user.size()) != nullptr)
    throw EIdSocksHostNameInvalid(Format(RSSocksHostNameInvalid, FUsername));
  AppendBytes(request, user);
  request.push_back(0);
  if (socks4A) {
    AppendBytes(request, name);
    request.push_back(0);
  }
  AIOHandler->WriteBufferOpen();
  try {
    AIOHandler->Write(request);
    AIOHandler->WriteBufferClose();
  } catch (...) {
    AIOHandler->WriteBufferCancel();
    throw;
  }
  ReadSocks4Reply(AIOHandler);
}

void TIdSocksInfo::ReadSocks4Reply(TIdIOHandler* AIOHandler) {
  TIdBytes reply;
  AIOHandler->ReadBytes(reply, 8, false);
  FBoundPortReply = static_cast<std::uint16_t>(reply[2] << 8 | reply[3]);
  FBoundAddress = TIdStack::TranslateTInAddrToString(&reply[4], TIdIPVersion::Id_IPv4);
  switch (reply[1]) {
    case 90:
      return;
    case 91:
      throw EIdSocksRequestFailed();
    case 92:
      throw EIdSocksRequestServerFailed();
    case 93:
      throw EIdSocksRequestIdentFailed();
    default:
      throw EIdSocksUnknownError();
  }
}

void TIdSocksInfo::AuthenticateSocks5Connection(TIdIOHandler* AIOHandler) {
  const std::uint8_t method =
      FAuthentication == TSocksAuthentication::saUsernamePassword ? kMethodUserPass : kMethodNone;
  AIOHandler->WriteDirect(TIdBytes{kSocks5Version, 1, method});
  TIdBytes answer = ReadSocks5(AIOHandler, 2);
  if (answer[1] == kMethodRefused || answer[1] != method) throw EIdSocksAuthMethodError();
  if (method != kMethodUserPass) return;
  TIdBytes auth{kAuthVersion};
  TIdBytes user = FieldBytes(AIOHandler, FUsername);
  TIdBytes password = FieldBytes(AIOHandler, FPassword);
  auth.push_back(static_cast<std::uint8_t>(user.size()));
  AppendBytes(auth, user);
  auth.push_back(static_cast<std::uint8_t>(password.size()));
  AppendBytes(auth, password);
  AIOHandler->WriteDirect(auth);
  answer = ReadSocks5(AIOHandler, 2);
  if (answer[1] != 0) throw EIdSocksAuthError();
}

void TIdSocksInfo::MakeSocks5Request(TIdIOHandler* AIOHandler, const std::string& AHost, std::uint16_t APort,
                                     std::uint8_t ARequest) {
  // The destination is checked before a byte goes out.
  TIdBytes address;
  std::uint8_t type;
  if (LiteralAddress(AHost, TIdIPVersion::Id_IPv4, address)) {
    type = kAddressIPv4;
  } else if (LiteralAddress(AHost, TIdIPVersion::Id_IPv6, address)) {
    type = kAddressIPv6;
  } else {
    type = kAddressName;
    TIdBytes name = NameBytes(AIOHandler, AHost);
    address.assign(1, static_cast<std::uint8_t>(name.size()));
    AppendBytes(address, name);
  }
  AuthenticateSocks5Connection(AIOHandler);
  TIdBytes request{kSocks5Version, ARequest, 0, type};
  AppendBytes(request, address);
  AppendPort(request, APort);
  AIOHandler->WriteDirect(request);
  ReadSocks5Reply(AIOHandler);
}

void TIdSocksInfo::ReadSocks5Reply(TIdIOHandler* AIOHandler) {
  TIdBytes reply = ReadSocks5(AIOHandler, 5);
  switch (reply[1]) {
    case 0:
      break;
    case 1:
      throw EIdSocksServerGeneralError();
    case 2:
      throw EIdSocksServerPermissionError();
    case 3:
      throw EIdSocksServerNetUnreachableError();
    case 4:
      throw EIdSocksServerHostUnreachableError();
    case 5:
      throw EIdSocksServerConnectionRefusedError();
    case 6:
      throw EIdSocksServerTTLExpiredError();
    case 7:
      throw EIdSocksServerCommandError();
    case 8:
      throw EIdSocksServerAddressError();
    default:
      throw EIdSocksUnknownError();
  }
  // The rest of the bound address, then its port: left unread it would be
  // taken for the first bytes of the tunnelled stream.
  TIdBytes rest;
  switch (reply[3]) {
    case kAddressIPv4:
      rest = ReadSocks5(AIOHandler, 3 + 2);
      break;
    case kAddressIPv6:
      rest = ReadSocks5(AIOHandler, 15 + 2);
      break;
    case kAddressName:
      rest = ReadSocks5(AIOHandler, reply[4] + 2);
      break;
    default:
      throw EIdSocksServerAddressError();
  }
  TIdBytes bound(reply.begin() + 4, reply.end());
  bound.insert(bound.end(), rest.begin(), rest.end() - 2);
  FBoundPortReply = static_cast<std::uint16_t>(rest[rest.size() - 2] << 8 | rest[rest.size() - 1]);
  if (reply[3] == kAddressName)
    FBoundAddress.assign(bound.begin() + 1, bound.end());
  else
    FBoundAddress = TIdStack::TranslateTInAddrToString(
        bound.data(), reply[3] == kAddressIPv4 ? TIdIPVersion::Id_IPv4 : TIdIPVersion::Id_IPv6);
}
