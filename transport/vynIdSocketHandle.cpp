#include "transport/vynIdSocketHandle.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "platform/DateUtils.h"
#include "transport/vynIdResourceStringsCore.h"

namespace {

// poll() over the descriptors with the transport's time-out convention:
// -2 (or any other negative value) waits without limit. Returns the revents
// per descriptor; EINTR restarts with the time that is left.
std::vector<short> PollAll(std::vector<pollfd>& aFds, std::int32_t aTimeout, int& aReady) {
  const bool infinite = aTimeout < 0;
  const std::uint64_t deadline = GetTickCount64() + (infinite ? 0 : static_cast<std::uint64_t>(aTimeout));
  for (;;) {
    int wait = -1;
    if (!infinite) {
      std::uint64_t now = GetTickCount64();
      wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
    }
    int n = ::poll(aFds.data(), aFds.size(), wait);
    if (n == -1 && errno == EINTR) continue;
    if (n == -1) GStack->RaiseLastSocketError();
    aReady = n;
    std::vector<short> result;
    result.reserve(aFds.size());
    for (const pollfd& p : aFds) result.push_back(p.revents);
    return result;
  }
}

constexpr short kReadReady = POLLIN | POLLHUP | POLLERR | POLLNVAL;
constexpr short kWriteReady = POLLOUT | POLLHUP | POLLERR | POLLNVAL;

}  // namespace

// ---------------------------------------------------------------------------
// Socket list

std::unique_ptr<TIdSocketList> TIdSocketList::CreateSocketList() { return std::make_unique<TIdSocketListLinux>(); }

TIdStackSocketHandle TIdSocketListLinux::GetItem(int AIndex) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FItems.size())) throw EIdStackSetSizeExceeded();
  return FItems[static_cast<std::size_t>(AIndex)];
}

void TIdSocketListLinux::Add(TIdStackSocketHandle AHandle) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  if (std::find(FItems.begin(), FItems.end(), AHandle) != FItems.end()) return;
  if (static_cast<int>(FItems.size()) >= Capacity) throw EIdStackSetSizeExceeded();
  FItems.push_back(AHandle);
}

std::unique_ptr<TIdSocketList> TIdSocketListLinux::Clone() {
  auto result = std::make_unique<TIdSocketListLinux>();
  result->Assign(Snapshot());
  return result;
}

int TIdSocketListLinux::Count() {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return static_cast<int>(FItems.size());
}

void TIdSocketListLinux::Remove(TIdStackSocketHandle AHandle) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  auto it = std::find(FItems.begin(), FItems.end(), AHandle);
  if (it == FItems.end()) return;
  // The last item takes the freed place.
  *it = FItems.back();
  FItems.pop_back();
}

void TIdSocketListLinux::Clear() {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FItems.clear();
}

bool TIdSocketListLinux::ContainsSocket(TIdStackSocketHandle AHandle) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return std::find(FItems.begin(), FItems.end(), AHandle) != FItems.end();
}

std::vector<TIdStackSocketHandle> TIdSocketListLinux::Snapshot() {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return FItems;
}

void TIdSocketListLinux::Assign(const std::vector<TIdStackSocketHandle>& AItems) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FItems = AItems;
}

bool TIdSocketListLinux::SelectRead(std::int32_t ATimeout) {
  std::unique_ptr<TIdSocketList> ignored;
  return SelectReadList(ignored, ATimeout);
}

bool TIdSocketListLinux::SelectReadList(std::unique_ptr<TIdSocketList>& VSocketList, std::int32_t ATimeout) {
  // The wait runs on a copy so other threads may change the list meanwhile.
  std::vector<TIdStackSocketHandle> items = Snapshot();
  std::vector<pollfd> fds;
  for (TIdStackSocketHandle h : items) fds.push_back(pollfd{h, POLLIN, 0});
  int ready = 0;
  std::vector<short> revents = PollAll(fds, ATimeout, ready);
  if (VSocketList || ready > 0) {
    std::vector<TIdStackSocketHandle> readyItems;
    for (std::size_t i = 0; i < items.size(); ++i)
      if (revents[i] & kReadReady) readyItems.push_back(items[i]);
    if (!VSocketList) VSocketList = CreateSocketList();
    auto* list = static_cast<TIdSocketListLinux*>(VSocketList.get());
    list->Assign(readyItems);
  }
  return ready > 0;
}

bool TIdSocketList::Select(TIdSocketList* AReadList, TIdSocketList* AWriteList, TIdSocketList* AExceptList,
                           std::int32_t ATimeout) {
  struct Entry {
    TIdSocketListLinux* List;
    short Events;
    short Ready;
  };
  const Entry entries[] = {{static_cast<TIdSocketListLinux*>(AReadList), POLLIN, kReadReady},
                           {static_cast<TIdSocketListLinux*>(AWriteList), POLLOUT, kWriteReady},
                           {static_cast<TIdSocketListLinux*>(AExceptList), POLLPRI, POLLPRI | POLLERR}};
  std::vector<pollfd> fds;
  std::vector<std::pair<std::size_t, TIdStackSocketHandle>> owners;
  for (std::size_t e = 0; e < 3; ++e) {
    if (!entries[e].List) continue;
    for (TIdStackSocketHandle h : entries[e].List->Snapshot()) {
      fds.push_back(pollfd{h, entries[e].Events, 0});
      owners.emplace_back(e, h);
    }
  }
  int ready = 0;
  std::vector<short> revents = PollAll(fds, ATimeout, ready);
  std::vector<TIdStackSocketHandle> readyItems[3];
  for (std::size_t i = 0; i < fds.size(); ++i)
    if (revents[i] & entries[owners[i].first].Ready) readyItems[owners[i].first].push_back(owners[i].second);
  bool any = false;
  for (std::size_t e = 0; e < 3; ++e) {
    if (!entries[e].List) continue;
    entries[e].List->Assign(readyItems[e]);
    any = any || !readyItems[e].empty();
  }
  return any;
}

// ---------------------------------------------------------------------------
// Connect stop

namespace detail {
// The descriptors are shut down under the lock; a socket leaves before its
// descriptor is closed, so a number the system hands out again is never hit.
struct ConnectStopState {
  std::mutex Lock;
  bool Stopped = false;
  std::vector<TIdStackSocketHandle> Sockets;
};
}  // namespace detail

namespace {
thread_local std::shared_ptr<detail::ConnectStopState> tCurrentConnectStop;
}

TIdConnectStop::TIdConnectStop() : FState(std::make_shared<detail::ConnectStopState>()) {}
TIdConnectStop::~TIdConnectStop() = default;

void TIdConnectStop::Stop() {
  std::lock_guard<std::mutex> guard(FState->Lock);
  FState->Stopped = true;
  for (TIdStackSocketHandle s : FState->Sockets) ::shutdown(s, SHUT_RDWR);
}

bool TIdConnectStop::Stopped() const {
  std::lock_guard<std::mutex> guard(FState->Lock);
  return FState->Stopped;
}

TIdConnectStop::Scope::Scope(TIdConnectStop& aStop) : FPrevious(std::move(tCurrentConnectStop)) {
  tCurrentConnectStop = aStop.FState;
}

TIdConnectStop::Scope::~Scope() { tCurrentConnectStop = std::move(FPrevious); }

void TIdSocketHandle::LeaveConnectStop() {
  if (!FConnectStop) return;
  {
    std::lock_guard<std::mutex> guard(FConnectStop->Lock);
    auto& sockets = FConnectStop->Sockets;
    sockets.erase(std::remove(sockets.begin(), sockets.end(), FHandle), sockets.end());
  }
  FConnectStop.reset();
}

// ---------------------------------------------------------------------------
// Socket handle

TIdSocketHandle::TIdSocketHandle(TIdSocketHandles* ACollection)
    : FCollection(ACollection), FReadSocketList(TIdSocketList::CreateSocketList()) {
  TIdStack::IncUsage();
  if (FCollection) FPort = FCollection->DefaultPort;
}

TIdSocketHandle::~TIdSocketHandle() {
  try {
    CloseSocket();
  } catch (...) {
  }
  TIdStack::DecUsage();
}

void TIdSocketHandle::Assign(const TPersistent& Source) {
  const auto& src = AssignSource<TIdSocketHandle>(Source);
  FIP = src.FIP;
  FPort = src.FPort;
  FPeerIP = src.FPeerIP;
  FPeerPort = src.FPeerPort;
  FIPVersion = src.FIPVersion;
}

void TIdSocketHandle::AllocateSocket(int ASocketType, int AProtocol) {
  CloseSocket();
  if (FHandle != Id_INVALID_SOCKET) Reset(true);
  AssignHandle(GStack->NewSocketHandle(ASocketType, AProtocol, FIPVersion, FOverLapped));
}

void TIdSocketHandle::AssignHandle(TIdStackSocketHandle AHandle) {
  LeaveConnectStop();
  if (FHandle != Id_INVALID_SOCKET) FReadSocketList->Remove(FHandle);
  FHandle = AHandle;
  FHandleAllocated = AHandle != Id_INVALID_SOCKET;
  if (!FHandleAllocated) {
    FSocketType = 0;
    return;
  }
  FReadSocketList->Add(FHandle);
  GStack->GetSocketOption(FHandle, SOL_SOCKET, SO_TYPE, FSocketType);
  if (FSocketType == SOCK_STREAM) {
    int noDelay = 0;
    GStack->GetSocketOption(FHandle, IPPROTO_TCP, TCP_NODELAY, noDelay);
    FUseNagle = noDelay == 0;
  }
}

void TIdSocketHandle::Bind() {
  GStack->SetSocketOption(FHandle, SOL_SOCKET, SO_REUSEADDR, FReuseSocket == TIdReuseSocket::rsTrue ? 1 : 0);
  if (FPort == 0 && FClientPortMin != 0 && FClientPortMax != 0) {
    if (FClientPortMax < FClientPortMin)
      throw EIdInvalidPortRange(Format(RSInvalidPortRange, FClientPortMin, FClientPortMax));
    for (int port = FClientPortMax; port >= FClientPortMin; --port) {
      try {
        GStack->Bind(FHandle, FIP, static_cast<std::uint16_t>(port), FIPVersion);
      } catch (const EIdSocketError&) {
        continue;
      }
      UpdateBindingLocal();
      return;
    }
    throw EIdCanNotBindPortInRange(Format(RSCannotBindRange, FClientPortMin, FClientPortMax));
  }
  GStack->Bind(FHandle, FIP, FPort, FIPVersion);
  UpdateBindingLocal();
}

bool TIdSocketHandle::Connect(std::int32_t ATimeout) {
  if (const std::shared_ptr<detail::ConnectStopState>& stop = tCurrentConnectStop) {
    std::lock_guard<std::recursive_mutex> lock(FConnectionHandle);
    LeaveConnectStop();
    std::lock_guard<std::mutex> guard(stop->Lock);
    if (stop->Stopped) GStack->RaiseSocketError(ECONNABORTED);
    stop->Sockets.push_back(FHandle);
    FConnectStop = stop;
  }
  if (!GStack->Connect(FHandle, FPeerIP, FPeerPort, FIPVersion, ATimeout)) return false;
  std::lock_guard<std::recursive_mutex> lock(FConnectionHandle);
  if (FHandle != Id_INVALID_SOCKET) {
    UpdateBindingLocal();
    UpdateBindingPeer();
  }
  return true;
}

void TIdSocketHandle::Listen(int AQueueCount) { GStack->Listen(FHandle, AQueueCount); }

bool TIdSocketHandle::Accept(TIdStackSocketHandle ASocket) {
  Reset(true);
  std::string ip;
  std::uint16_t port = 0;
  TIdIPVersion version = TIdIPVersion::Id_IPv4;
  TIdStackSocketHandle accepted = GStack->Accept(ASocket, ip, port, version);
  if (accepted == Id_INVALID_SOCKET) return false;
  FIPVersion = version;
  AssignHandle(accepted);
  UpdateBindingLocal();
  UpdateBindingPeer();
  return true;
}

void TIdSocketHandle::CloseSocket() {
  std::lock_guard<std::recursive_mutex> lock(FConnectionHandle);
  if (FHandle == Id_INVALID_SOCKET) return;
  FHandleAllocated = false;
  LeaveConnectStop();
  ReleaseHandle();
  AssignHandle(Id_INVALID_SOCKET);
}

void TIdSocketHandle::ReleaseHandle() {
  if (FHandle != Id_INVALID_SOCKET) GStack->Disconnect(FHandle, FLingerState);
}

void TIdSocketHandle::Reset(bool AResetLocal) {
  AssignHandle(Id_INVALID_SOCKET);
  if (AResetLocal) {
    FIP.clear();
    FPort = 0;
  }
  FPeerIP.clear();
  FPeerPort = 0;
  FIPVersion = TIdIPVersion::Id_IPv4;
}

void TIdSocketHandle::Shutdown(int AHow) {
  std::lock_guard<std::recursive_mutex> lock(FConnectionHandle);
  if (FHandle != Id_INVALID_SOCKET) GStack->WSHalfClose(FHandle, AHow);
}

bool TIdSocketHandle::Readable(std::int32_t AMSec) {
  if (AMSec == IdTimeoutDefault) AMSec = IdTimeoutInfinite;
  if (!FHandleAllocated) throw EIdConnClosedGracefully();
  return Select(AMSec);
}

bool TIdSocketHandle::Select(std::int32_t ATimeout) { return FReadSocketList->SelectRead(ATimeout); }

int TIdSocketHandle::Receive(TIdBytes& VBuffer) { return GStack->Receive(FHandle, VBuffer); }

int TIdSocketHandle::Send(const TIdBytes& ABuffer, std::int32_t AOffset, std::int32_t ASize) {
  return GStack->Send(FHandle, ABuffer, AOffset, ASize);
}

int TIdSocketHandle::Send(std::string_view AData, const TIdTextEncoding& AByteEncoding) {
  return Send(detail::EncodingOrASCII(AByteEncoding)->GetBytes(AData));
}

void TIdSocketHandle::SendTo(const std::string& AIP, std::uint16_t APort, const TIdBytes& ABuffer, std::int32_t AOffset,
                             std::int32_t ASize) {
  SendTo(AIP, APort, ABuffer, AOffset, ASize, FIPVersion);
}

void TIdSocketHandle::SendTo(const std::string& AIP, std::uint16_t APort, const TIdBytes& ABuffer, std::int32_t AOffset,
                             std::int32_t ASize, TIdIPVersion AIPVersion) {
  GStack->SendTo(FHandle, ABuffer, AOffset, ASize, AIP, APort, AIPVersion);
}

int TIdSocketHandle::RecvFrom(TIdBytes& VBuffer, std::string& VIP, std::uint16_t& VPort, TIdIPVersion& VIPVersion) {
  return GStack->ReceiveFrom(FHandle, VBuffer, VIP, VPort, VIPVersion);
}

void TIdSocketHandle::Broadcast(const TIdBytes& AData, std::uint16_t APort, const std::string& AIP) {
  std::string ip = Trim(AIP);
  if (ip.empty()) {
    if (FIPVersion == TIdIPVersion::Id_IPv6) throw EIdIPVersionUnsupported();
    ip = "255.255.255.255";
  } else {
    ip = GStack->ResolveHost(ip, FIPVersion);
  }
  SetSockOpt(SOL_SOCKET, SO_BROADCAST, 1);
  try {
    SendTo(ip, APort, AData);
  } catch (...) {
    SetSockOpt(SOL_SOCKET, SO_BROADCAST, FBroadcastEnabled ? 1 : 0);
    throw;
  }
  SetSockOpt(SOL_SOCKET, SO_BROADCAST, FBroadcastEnabled ? 1 : 0);
}

void TIdSocketHandle::Broadcast(std::string_view AData, std::uint16_t APort, const std::string& AIP,
                                const TIdTextEncoding& AByteEncoding) {
  Broadcast(detail::EncodingOrASCII(AByteEncoding)->GetBytes(AData), APort, AIP);
}

void TIdSocketHandle::SetLoopBack(bool AValue) { GStack->SetLoopBack(FHandle, AValue, FIPVersion); }

void TIdSocketHandle::SetMulticastTTL(int AValue) { GStack->SetMulticastTTL(FHandle, AValue, FIPVersion); }

void TIdSocketHandle::AddMulticastMembership(const std::string& AGroupIP) {
  GStack->AddMulticastMembership(FHandle, AGroupIP, FIP, FIPVersion);
}

void TIdSocketHandle::DropMulticastMembership(const std::string& AGroupIP) {
  GStack->DropMulticastMembership(FHandle, AGroupIP, FIP, FIPVersion);
}

void TIdSocketHandle::SetPeer(const std::string& AIP, std::uint16_t APort, TIdIPVersion AIPVersion) {
  FPeerIP = AIP;
  FPeerPort = APort;
  FIPVersion = AIPVersion;
}

void TIdSocketHandle::SetBinding(const std::string& AIP, std::uint16_t APort, TIdIPVersion AIPVersion) {
  FIP = AIP;
  FPort = APort;
  FIPVersion = AIPVersion;
}

void TIdSocketHandle::UpdateBindingLocal() { GStack->GetSocketName(FHandle, FIP, FPort, FIPVersion); }
void TIdSocketHandle::UpdateBindingPeer() { GStack->GetPeerName(FHandle, FPeerIP, FPeerPort, FIPVersion); }

void TIdSocketHandle::SetSockOpt(int ALevel, int AOptName, int AOptVal) {
  GStack->SetSocketOption(FHandle, ALevel, AOptName, AOptVal);
}

void TIdSocketHandle::GetSockOpt(int ALevel, int AOptName, int& VOptVal) {
  GStack->GetSocketOption(FHandle, ALevel, AOptName, VOptVal);
}

void TIdSocketHandle::SetKeepAliveValues(bool AEnabled, std::int32_t ATimeMS, std::int32_t AInterval) {
  GStack->SetKeepAliveValues(FHandle, AEnabled, ATimeMS, AInterval);
}

void TIdSocketHandle::SetNagleOpt(bool AEnabled) {
  if (FHandleAllocated && FSocketType == SOCK_STREAM)
    GStack->SetSocketOption(FHandle, IPPROTO_TCP, TCP_NODELAY, AEnabled ? 0 : 1);
}

void TIdSocketHandle::SetTTL(int AValue) {
  if (FIPVersion == TIdIPVersion::Id_IPv6)
    GStack->SetSocketOption(FHandle, IPPROTO_IPV6, IPV6_UNICAST_HOPS, AValue);
  else
    GStack->SetSocketOption(FHandle, IPPROTO_IP, IP_TTL, AValue);
}

void TIdSocketHandle::SetIPVersion(TIdIPVersion AValue) {
  if (AValue == FIPVersion) return;
  if (FHandleAllocated) throw EIdCannotSetIPVersionWhenConnected();
  FIPVersion = AValue;
}

void TIdSocketHandle::SetBroadcastEnabled(bool AValue) {
  FBroadcastEnabled = AValue;
  if (FHandleAllocated) GStack->SetSocketOption(FHandle, SOL_SOCKET, SO_BROADCAST, AValue ? 1 : 0);
}

void TIdSocketHandle::SetUseNagle(bool AValue) {
  if (AValue == FUseNagle) return;
  FUseNagle = AValue;
  SetNagleOpt(AValue);
}

// ---------------------------------------------------------------------------

TIdSocketHandle& TIdSocketHandles::Add() {
  FItems.push_back(std::make_unique<TIdSocketHandle>(this));
  return *FItems.back();
}

void TIdSocketHandles::Delete(int AIndex) { FItems.erase(FItems.begin() + AIndex); }
