// Raw HTTP/1.x exchanges for the server tests: a response read from a plain
// socket, framed by its Content-Length, every wait bounded.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <map>
#include <string>

#include "platform/SysUtils.h"

namespace http_exchange {

struct Response {
  int Status = 0;
  std::string StatusLine;
  std::string Head;  // every header line, CR LF ended
  std::string Body;
  bool Complete = false;
  std::string Header(const std::string& aName) const {
    std::size_t pos = 0;
    while (pos < Head.size()) {
      std::size_t end = Head.find("\r\n", pos);
      if (end == std::string::npos) break;
      std::string line = Head.substr(pos, end - pos);
      std::size_t colon = line.find(':');
      if (colon != std::string::npos && SameText(line.substr(0, colon), aName)) return Trim(line.substr(colon + 1));
      pos = end + 2;
    }
    return {};
  }
  bool HasHeader(const std::string& aName) const {
    return Head.find("\r\n" + aName + ":") != std::string::npos || Head.rfind(aName + ":", 0) == 0;
  }
};

// Buffered reader over a socket.
class Reader {
public:
  explicit Reader(int aFd) : FFd(aFd) {}
  // False when nothing more arrives in aMs or the peer closed.
  bool Fill(int aMs) {
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, aMs) != 1) return false;
    char buf[16384];
    ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
    if (n <= 0) {
      FClosed = true;
      return false;
    }
    FData.append(buf, static_cast<std::size_t>(n));
    return true;
  }
  // One response; the body by Content-Length (none without one).
  Response Next(int aMs = 5000) {
    Response r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
    auto left = [&] {
      return static_cast<int>(std::max<long>(
          0,
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count()));
    };
    std::size_t end;
    while ((end = FData.find("\r\n\r\n")) == std::string::npos) {
      if (FClosed || left() == 0 || !Fill(left())) return r;
    }
    std::string head = FData.substr(0, end + 2);
    FData.erase(0, end + 4);
    std::size_t first = head.find("\r\n");
    r.StatusLine = head.substr(0, first);
    r.Head = head.substr(first + 2);
    if (r.StatusLine.size() >= 12) r.Status = std::atoi(r.StatusLine.c_str() + 9);
    std::string cl = r.Header("Content-Length");
    std::size_t length = cl.empty() ? 0 : static_cast<std::size_t>(std::stoll(cl));
    while (FData.size() < length) {
      if (FClosed || left() == 0 || !Fill(left())) break;
    }
    std::size_t take = std::min(length, FData.size());
    r.Body = FData.substr(0, take);
    FData.erase(0, take);
    r.Complete = take == length;
    return r;
  }
  // True when the peer closes within aMs with nothing more sent.
  bool ClosedWithin(int aMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
    while (!FClosed) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      if (!Fill(static_cast<int>(left.count())) && !FClosed) return false;
    }
    return FData.empty();
  }
  std::string& Pending() { return FData; }

private:
  int FFd;
  std::string FData;
  bool FClosed = false;
};

}  // namespace http_exchange
