// Helpers for the server component's tests: a component on a free loopback
// port, raw HTTP exchanges over plain sockets, bounded waits.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "server/vynWSHTTPServer.h"
#include "tests/transport/loopback.h"
#include "transport/vynIdStack.h"

namespace wstest {

// Waits up to aMs for aCondition; true when it held.
inline bool WaitUntil(const std::function<bool()>& aCondition, int aMs = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
  while (!aCondition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A free port on 127.0.0.1 (closed again; good enough for one test).
inline std::uint16_t FreePort() {
  loopback::Listener l;
  return l.Port();
}

inline loopback::Fd Connect(std::uint16_t aPort, const std::string& aHost = "127.0.0.1") {
  loopback::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(aPort);
  ::inet_pton(AF_INET, aHost.c_str(), &a.sin_addr);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return loopback::Fd();
  return fd;
}

// Reads until the peer closes or aMs passed.
inline std::string RecvAll(int aFd, int aMs = 5000) { return loopback::RecvUpTo(aFd, 1 << 24, aMs); }

// Sends aRequest on a fresh connection and returns all the answer (the
// request should ask for the connection to close).
inline std::string Exchange(std::uint16_t aPort, const std::string& aRequest, int aMs = 5000) {
  loopback::Fd fd = Connect(aPort);
  if (fd.get() < 0) return "<no connection>";
  loopback::SendAll(fd.get(), aRequest);
  return RecvAll(fd.get(), aMs);
}

inline std::string Get(std::uint16_t aPort, const std::string& aPath, const std::string& aExtra = "") {
  return Exchange(aPort, "GET " + aPath + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + aExtra + "\r\n");
}

// Keeps the socket stack alive for a test.
struct StackUser {
  StackUser() { TIdStack::IncUsage(); }
  ~StackUser() { TIdStack::DecUsage(); }
};

// One loopback binding on aPort.
inline void BindLoopback(TvynWSServer_Talvex_Base& aServer, std::uint16_t aPort) {
  aServer.Bindings().Clear();
  TIdSocketHandle& b = aServer.Bindings().Add();
  b.SetIP("127.0.0.1");
  b.SetPort(aPort);
  aServer.SetPort(aPort);
}

}  // namespace wstest
