#include "transport/vynIdIOHandlerStack.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "transport/vynIdCustomTransparentProxy.h"

TIdIOHandlerStack::TIdIOHandlerStack(TComponent* AOwner) : TIdIOHandlerSocket(AOwner) {}

bool TIdIOHandlerStack::Connected() {
  // A Close the owner asked for ends the connection, buffered bytes or not.
  if (ClosedLocally()) return false;
  ReadFromSource(false, 0, false);
  return TIdIOHandlerSocket::Connected();
}

void TIdIOHandlerStack::CheckForDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer) {
  bool disconnected;
  if (FClosedGracefully) {
    // After a half-close the socket may stay for sending; reading is over
    // either way.
    if (BindingAllocated() && !FSendAfterPeerEnd) {
      CloseOnPeerEnd();
      DoStatus(TIdStatus::hsDisconnected);
    }
    disconnected = true;
  } else {
    disconnected = !BindingAllocated();
  }
  if (disconnected && (AIgnoreBuffer || InputBufferIsEmpty()) && ARaiseExceptionIfDisconnected)
    throw EIdConnClosedGracefully();
}

bool TIdIOHandlerStack::Readable(std::int32_t AMSec) {
  if (!FBinding) throw EIdConnClosedGracefully();
  return FBinding->Readable(AMSec);
}

std::int32_t TIdIOHandlerStack::ReadDataFromSource(TIdBytes& VBuffer) {
  return TIdIOHandlerStack::ReadDataFromSourceInto(VBuffer.data(), static_cast<std::int32_t>(VBuffer.size()));
}

bool TIdIOHandlerStack::PrepareReceive(std::int32_t ATimeout) {
  if (!FBinding || !FBinding->HandleAllocated()) {
    FReceiveLimit = -1;
    return true;
  }
  if (ATimeout == 0) {
    FReceiveLimit = 0;
    return true;
  }
  const std::int32_t wanted = ATimeout < 0 ? 0 : ATimeout;
  if (wanted != FSocketReceiveTimeout) {
    timeval tv{};
    tv.tv_sec = wanted / 1000;
    tv.tv_usec = (wanted % 1000) * 1000;
    // Without the time-out on the socket the limit is kept by a readiness
    // wait, as it always was.
    if (::setsockopt(FBinding->Handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
      FReceiveLimit = -1;
      return ATimeout < 0;
    }
    FSocketReceiveTimeout = wanted;
  }
  FReceiveLimit = ATimeout < 0 ? -1 : ATimeout;
  if (FReceiveLimit > 0) FReceiveDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeout);
  return true;
}

std::int32_t TIdIOHandlerStack::ReadDataFromSourceInto(std::uint8_t* ABuffer, std::int32_t ALength) {
  const std::int32_t limit = FReceiveLimit;
  // Each limit serves one receive; a later one without PrepareReceive
  // blocks as before.
  FReceiveLimit = -1;
  for (;;) {
    int n = GStack->WSRecvData(FBinding->Handle(), ABuffer, static_cast<std::size_t>(ALength),
                               limit == 0 ? MSG_DONTWAIT : 0);
    FLastReceiveFilled = n >= ALength;
    if (n >= 0 || limit < 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return GStack->CheckForSocketError(n);
    if (limit > 0) {
      // Back before the limit (a socket someone made non-blocking): the
      // rest of it is waited for as before.
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(FReceiveDeadline - std::chrono::steady_clock::now())
              .count();
      if (left > 0 && FBinding->Readable(static_cast<std::int32_t>(left))) continue;
    }
    // The limit ran out: reported as a time-out, which ends no connection.
    errno = ETIMEDOUT;
    return -1;
  }
}

std::int32_t TIdIOHandlerStack::WriteDataToTarget(const TIdBytes& ABuffer, std::int32_t AOffset, std::int32_t ALength) {
  return FBinding->Send(ABuffer, AOffset, ALength);
}

void TIdIOHandlerStack::ConnectSocket() {
  // Through a proxy the socket goes to the proxy, and the proxy's handshake
  // then reaches our own host and port.
  TIdCustomTransparentProxy* proxy = ActiveTransparentProxy();
  const std::string& host = proxy ? proxy->Host() : FHost;
  const std::uint16_t port = proxy ? proxy->Port() : FPort;
  const TIdIPVersion version = proxy ? proxy->IPVersion() : FIPVersion;

  FireBeforeBind();
  // The socket's family is that of the peer it goes to: the proxy's, when
  // there is one.
  FBinding->SetIPVersion(version);
  FBinding->AllocateSocket(SOCK_STREAM, 0);
  FireSocketAllocated();
  if (!FBoundIP.empty()) FBinding->SetIP(FBoundIP);
  FBinding->SetPort(FBoundPort);
  FBinding->SetClientPortMin(FBoundPortMin);
  FBinding->SetClientPortMax(FBoundPortMax);
  FBinding->SetReuseSocket(FReuseSocket);
  FBinding->Bind();
  FBinding->SetUseNagle(FUseNagle);
  FBinding->SetLingerState(FLingerState);
  FireAfterBind();

  std::string address;
  if (version == TIdIPVersion::Id_IPv6) {
    address = TIdStack::MakeCanonicalIPv6Address(host);
  } else if (TIdStack::IsIP(host)) {
    address = host;
  }
  if (address.empty()) {
    DoStatus(TIdStatus::hsResolving, host);
    address = GStack->ResolveHost(host, version);
  }
  FBinding->SetPeer(address, port, version);
  DoStatus(TIdStatus::hsConnecting, FBinding->PeerIP());

  bool connected;
  try {
    connected = FBinding->Connect(FConnectTimeout > 0 ? FConnectTimeout : IdTimeoutInfinite);
  } catch (...) {
    // A failed connect leaves no half-made socket behind for later reads.
    FBinding->CloseSocket();
    throw;
  }
  if (!connected) {
    Close();
    throw EIdConnectTimeout();
  }
  if (proxy) {
    try {
      proxy->Connect(this, FHost, FPort, FIPVersion);
    } catch (...) {
      // A refused tunnel leaves no socket to the proxy behind.
      if (FBinding) FBinding->CloseSocket();
      throw;
    }
  }
}
