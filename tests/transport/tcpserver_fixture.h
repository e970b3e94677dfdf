// Helpers for the TCP server tests: plain client sockets on loopback, a free
// port, and bounded waiting for a condition.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/transport/loopback.h"

namespace tcpserver_test {

using loopback::Fd;

inline Fd Connect(const std::string& aHost, std::uint16_t aPort) {
  const bool v6 = loopback::IsV6(aHost);
  Fd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) throw std::runtime_error("socket");
  sockaddr_storage addr{};
  socklen_t len;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(aPort);
    ::inet_pton(AF_INET6, aHost.c_str(), &a->sin6_addr);
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    a->sin_family = AF_INET;
    a->sin_port = htons(aPort);
    ::inet_pton(AF_INET, aHost.c_str(), &a->sin_addr);
    len = sizeof *a;
  }
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) throw std::runtime_error("connect");
  return fd;
}

// A port that was free a moment ago on both loopback addresses.
inline std::uint16_t FreePort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    loopback::Listener l4("127.0.0.1");
    try {
      Fd probe(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
      int on = 1;
      ::setsockopt(probe.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_port = htons(l4.Port());
      a.sin6_addr = in6addr_any;
      if (::bind(probe.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return l4.Port();
    } catch (...) {
    }
  }
  throw std::runtime_error("no free port");
}

// Polls aCondition every 5 ms for at most aMs; whether it became true.
inline bool WaitUntil(const std::function<bool()>& aCondition, int aMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
  while (!aCondition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Milliseconds aAction took.
inline long long TimeMs(const std::function<void()>& aAction) {
  const auto start = std::chrono::steady_clock::now();
  aAction();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace tcpserver_test
