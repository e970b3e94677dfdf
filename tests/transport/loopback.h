// Plain-socket peers on loopback for the transport tests: a listener, its
// accepted connections, and small blocking helpers. Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

namespace loopback {

// A descriptor closed when it goes out of scope.
class Fd {
public:
  Fd() = default;
  explicit Fd(int aFd) : FFd(aFd) {}
  Fd(Fd&& o) noexcept : FFd(o.release()) {}
  Fd& operator=(Fd&& o) noexcept {
    reset(o.release());
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return FFd; }
  int release() {
    int fd = FFd;
    FFd = -1;
    return fd;
  }
  void reset(int aFd = -1) {
    if (FFd >= 0) ::close(FFd);
    FFd = aFd;
  }

private:
  int FFd = -1;
};

inline bool IsV6(const std::string& aHost) { return aHost.find(':') != std::string::npos; }

// A listening socket on a free port of aHost (127.0.0.1 or ::1).
class Listener {
public:
  explicit Listener(const std::string& aHost = "127.0.0.1", int aBacklog = 16) : FHost(aHost) {
    int family = IsV6(aHost) ? AF_INET6 : AF_INET;
    FFd = Fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (FFd.get() < 0) throw std::runtime_error("socket");
    int on = 1;
    ::setsockopt(FFd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage addr{};
    socklen_t len;
    if (family == AF_INET6) {
      ::setsockopt(FFd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
      auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
      a->sin6_family = AF_INET6;
      ::inet_pton(AF_INET6, aHost.c_str(), &a->sin6_addr);
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&addr);
      a->sin_family = AF_INET;
      ::inet_pton(AF_INET, aHost.c_str(), &a->sin_addr);
      len = sizeof *a;
    }
    if (::bind(FFd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) throw std::runtime_error("bind");
    if (::listen(FFd.get(), aBacklog) != 0) throw std::runtime_error("listen");
    ::getsockname(FFd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    FPort = family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                               : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  }
  std::uint16_t Port() const { return FPort; }
  const std::string& Host() const { return FHost; }
  int Handle() const { return FFd.get(); }

  // Waits at most aMs for a connection.
  Fd Accept(int aMs = 5000) {
    pollfd p{FFd.get(), POLLIN, 0};
    if (::poll(&p, 1, aMs) != 1) throw std::runtime_error("accept timed out");
    return Fd(::accept4(FFd.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

private:
  std::string FHost;
  Fd FFd;
  std::uint16_t FPort = 0;
};

inline void SendAll(int aFd, const std::string& aData) {
  std::size_t sent = 0;
  while (sent < aData.size()) {
    ssize_t n = ::send(aFd, aData.data() + sent, aData.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send");
    sent += static_cast<std::size_t>(n);
  }
}

// Reads until aCount bytes arrived, the peer closed, or aMs passed.
inline std::string RecvUpTo(int aFd, std::size_t aCount, int aMs = 5000) {
  std::string result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
  char buf[65536];
  while (result.size() < aCount) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{aFd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) != 1) break;
    ssize_t n = ::recv(aFd, buf, std::min(sizeof buf, aCount - result.size()), 0);
    if (n <= 0) break;
    result.append(buf, static_cast<std::size_t>(n));
  }
  return result;
}

// Closes with SO_LINGER 0: the peer sees a reset.
inline void CloseWithReset(Fd& aFd) {
  linger l{1, 0};
  ::setsockopt(aFd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  aFd.reset();
}

}  // namespace loopback
