// One socket with its local binding and its peer, collections of them, and
// the set of sockets a thread waits on.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Classes.h"
#include "transport/vynIdStack.h"
#include "transport/vynIdTextEncoding.h"

class TIdSocketHandles;
class TIdSocketHandle;

namespace detail {
struct ConnectStopState;
}

// Ends, from any thread, the outgoing connections that one thread makes while
// it is installed there with a Scope. A caller that wants to end a piece of
// work several layers down (a token request, then the request itself, each
// on a connection of its own) cannot reach those sockets; this reaches every
// one of them. Stop shuts each connected or connecting socket down (the
// owning thread's blocked read, write or connect ends with a socket error;
// the owner still closes it) and makes every later connect of the scope fail
// at once with ECONNABORTED. One object serves one piece of work.
class TIdConnectStop {
public:
  TIdConnectStop();
  ~TIdConnectStop();
  TIdConnectStop(const TIdConnectStop&) = delete;
  TIdConnectStop& operator=(const TIdConnectStop&) = delete;

  void Stop();
  bool Stopped() const;

  // Installs aStop for the calling thread until the scope ends (the one
  // installed before comes back then).
  class Scope {
  public:
    explicit Scope(TIdConnectStop& aStop);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

  private:
    std::shared_ptr<detail::ConnectStopState> FPrevious;
  };

private:
  // Shared with the sockets registered in it, which may outlive this object.
  std::shared_ptr<detail::ConnectStopState> FState;
};

// ---------------------------------------------------------------------------
// Socket list

class TIdSocketList {
public:
  virtual ~TIdSocketList() = default;
  // A new list of the platform class.
  static std::unique_ptr<TIdSocketList> CreateSocketList();

  virtual TIdStackSocketHandle GetItem(int AIndex) = 0;
  TIdStackSocketHandle Items(int AIndex) { return GetItem(AIndex); }
  virtual void Add(TIdStackSocketHandle AHandle) = 0;
  virtual std::unique_ptr<TIdSocketList> Clone() = 0;
  virtual int Count() = 0;
  virtual void Remove(TIdStackSocketHandle AHandle) = 0;
  virtual void Clear() = 0;
  virtual bool ContainsSocket(TIdStackSocketHandle AHandle) = 0;
  // Each list may be null; afterwards each given list holds its ready sockets.
  static bool Select(TIdSocketList* AReadList, TIdSocketList* AWriteList, TIdSocketList* AExceptList,
                     std::int32_t ATimeout = IdTimeoutInfinite);
  virtual bool SelectRead(std::int32_t ATimeout = IdTimeoutInfinite) = 0;
  // As SelectRead, and fills VSocketList (created when null) with the ready sockets.
  virtual bool SelectReadList(std::unique_ptr<TIdSocketList>& VSocketList,
                              std::int32_t ATimeout = IdTimeoutInfinite) = 0;
  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }

protected:
  std::recursive_mutex FLock;
};

// Descriptors waited on with poll(); capacity of 64 as on every platform of
// the system.
class TIdSocketListLinux final : public TIdSocketList {
public:
  static constexpr int Capacity = 64;
  TIdStackSocketHandle GetItem(int AIndex) override;
  void Add(TIdStackSocketHandle AHandle) override;
  std::unique_ptr<TIdSocketList> Clone() override;
  int Count() override;
  void Remove(TIdStackSocketHandle AHandle) override;
  void Clear() override;
  bool ContainsSocket(TIdStackSocketHandle AHandle) override;
  bool SelectRead(std::int32_t ATimeout = IdTimeoutInfinite) override;
  bool SelectReadList(std::unique_ptr<TIdSocketList>& VSocketList, std::int32_t ATimeout = IdTimeoutInfinite) override;

  std::vector<TIdStackSocketHandle> Snapshot();
  void Assign(const std::vector<TIdStackSocketHandle>& AItems);

private:
  std::vector<TIdStackSocketHandle> FItems;
};

// ---------------------------------------------------------------------------
// Socket handle

class TIdSocketHandle : public TPersistent {
public:
  explicit TIdSocketHandle(TIdSocketHandles* ACollection = nullptr);
  ~TIdSocketHandle() override;
  TIdSocketHandle(const TIdSocketHandle&) = delete;
  TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

  void Assign(const TPersistent& Source) override;

  void AllocateSocket(int ASocketType = 1 /* SOCK_STREAM */, int AProtocol = 0);
  void Bind();
  // ATimeout > 0 limits the connect; False when it ran out (nothing closed).
  virtual bool Connect(std::int32_t ATimeout = IdTimeoutInfinite);
  void Listen(int AQueueCount = 5);
  bool Accept(TIdStackSocketHandle ASocket);
  virtual void CloseSocket();
  void Reset(bool AResetLocal = true);
  // Stops a transfer that another thread is blocked in; the descriptor stays
  // with its owning thread, which closes it.
  void Shutdown(int AHow = 2 /* SHUT_RDWR */);
  bool Readable(std::int32_t AMSec = IdTimeoutDefault);
  bool Select(std::int32_t ATimeout = IdTimeoutInfinite);
  int Receive(TIdBytes& VBuffer);
  int Send(const TIdBytes& ABuffer, std::int32_t AOffset = 0, std::int32_t ASize = -1);
  // Text converted with AByteEncoding (ASCII when none).
  int Send(std::string_view AData, const TIdTextEncoding& AByteEncoding = nullptr);
  // Datagrams: one send or one receive each. The version defaults to the
  // handle's.
  void SendTo(const std::string& AIP, std::uint16_t APort, const TIdBytes& ABuffer, std::int32_t AOffset = 0,
              std::int32_t ASize = -1);
  void SendTo(const std::string& AIP, std::uint16_t APort, const TIdBytes& ABuffer, std::int32_t AOffset,
              std::int32_t ASize, TIdIPVersion AIPVersion);
  int RecvFrom(TIdBytes& VBuffer, std::string& VIP, std::uint16_t& VPort, TIdIPVersion& VIPVersion);
  // One datagram with SO_BROADCAST on for the send, then as BroadcastEnabled
  // says. An empty AIP is the IPv4 limited broadcast 255.255.255.255.
  void Broadcast(const TIdBytes& AData, std::uint16_t APort, const std::string& AIP = "");
  void Broadcast(std::string_view AData, std::uint16_t APort, const std::string& AIP = "",
                 const TIdTextEncoding& AByteEncoding = nullptr);
  void SetLoopBack(bool AValue);
  void SetMulticastTTL(int AValue);
  // With the handle's local address as the interface (any when unbound).
  void AddMulticastMembership(const std::string& AGroupIP);
  void DropMulticastMembership(const std::string& AGroupIP);
  void SetPeer(const std::string& AIP, std::uint16_t APort, TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4);
  void SetBinding(const std::string& AIP, std::uint16_t APort, TIdIPVersion AIPVersion = TIdIPVersion::Id_IPv4);
  void UpdateBindingLocal();
  void UpdateBindingPeer();
  void SetSockOpt(int ALevel, int AOptName, int AOptVal);
  void GetSockOpt(int ALevel, int AOptName, int& VOptVal);
  void SetKeepAliveValues(bool AEnabled, std::int32_t ATimeMS, std::int32_t AInterval);
  void SetNagleOpt(bool AEnabled);
  void SetTTL(int AValue);

  // Properties.
  TIdStackSocketHandle Handle() const { return FHandle; }
  bool HandleAllocated() const { return FHandleAllocated; }
  const std::string& IP() const { return FIP; }
  void SetIP(const std::string& AValue) { FIP = AValue; }
  std::uint16_t Port() const { return FPort; }
  void SetPort(std::uint16_t AValue) { FPort = AValue; }
  const std::string& PeerIP() const { return FPeerIP; }
  std::uint16_t PeerPort() const { return FPeerPort; }
  std::uint16_t ClientPortMin() const { return FClientPortMin; }
  void SetClientPortMin(std::uint16_t AValue) { FClientPortMin = AValue; }
  std::uint16_t ClientPortMax() const { return FClientPortMax; }
  void SetClientPortMax(std::uint16_t AValue) { FClientPortMax = AValue; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TIdIPVersion AValue);
  int SocketType() const { return FSocketType; }
  bool OverLapped() const { return FOverLapped; }
  void SetOverLapped(bool AValue) { FOverLapped = AValue; }
  bool BroadcastEnabled() const { return FBroadcastEnabled; }
  void SetBroadcastEnabled(bool AValue);
  bool UseNagle() const { return FUseNagle; }
  void SetUseNagle(bool AValue);
  TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
  void SetReuseSocket(TIdReuseSocket AValue) { FReuseSocket = AValue; }
  // Seconds of SO_LINGER at close for this socket alone; negative: a
  // send-side shutdown before the close.
  std::int32_t LingerState() const { return FLingerState; }
  void SetLingerState(std::int32_t AValue) { FLingerState = AValue; }

protected:
  virtual void ReleaseHandle();
  void AssignHandle(TIdStackSocketHandle AHandle);

private:
  // Leaves the connect stop it was registered in, before its descriptor is
  // closed or forgotten.
  void LeaveConnectStop();

  TIdSocketHandles* FCollection = nullptr;
  std::int32_t FLingerState = -1;
  std::uint16_t FClientPortMin = 0;
  std::uint16_t FClientPortMax = 0;
  TIdStackSocketHandle FHandle = Id_INVALID_SOCKET;
  bool FHandleAllocated = false;
  std::string FIP;
  std::uint16_t FPort = 0;
  std::string FPeerIP;
  std::uint16_t FPeerPort = 0;
  std::unique_ptr<TIdSocketList> FReadSocketList;
  int FSocketType = 0;
  bool FOverLapped = false;
  TIdIPVersion FIPVersion = TIdIPVersion::Id_IPv4;
  std::recursive_mutex FConnectionHandle;
  bool FBroadcastEnabled = false;
  bool FUseNagle = true;
  TIdReuseSocket FReuseSocket = TIdReuseSocket::rsOSDependent;
  // The connect stop of the thread that connected this socket, if any.
  std::shared_ptr<detail::ConnectStopState> FConnectStop;
};

// An owned collection of socket handles with a default port.
class TIdSocketHandles {
public:
  TIdSocketHandles() = default;
  TIdSocketHandles(const TIdSocketHandles&) = delete;
  TIdSocketHandles& operator=(const TIdSocketHandles&) = delete;

  TIdSocketHandle& Add();
  int Count() const { return static_cast<int>(FItems.size()); }
  TIdSocketHandle& Items(int AIndex) const { return *FItems.at(static_cast<std::size_t>(AIndex)); }
  void Delete(int AIndex);
  void Clear() { FItems.clear(); }
  std::uint16_t DefaultPort = 0;

private:
  std::vector<std::unique_ptr<TIdSocketHandle>> FItems;
};
