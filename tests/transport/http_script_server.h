// A scripted HTTP server on loopback for the client's tests: it reads each
// request head (and a Content-Length body), records it, and answers with the
// exact bytes a handler returns, so tests can send answers no real server
// would (cut short, malformed, interim heads). Each connection is served on
// a thread of its own; every wait is bounded.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/transport/loopback.h"

namespace httpscript {

struct Recorded {
  std::string Head;  // request line and headers, up to the empty line
  std::string Body;
  int Connection = 0;  // which accepted connection (0-based) carried it
  std::string RequestLine() const { return Head.substr(0, Head.find("\r\n")); }
  // The value of the first header named AName (exact case), or "".
  std::string Header(const std::string& AName) const {
    const std::string key = "\r\n" + AName + ": ";
    const auto at = Head.find(key);
    if (at == std::string::npos) return {};
    const auto start = at + key.size();
    return Head.substr(start, Head.find("\r\n", start) - start);
  }
  bool HasHeader(const std::string& AName) const { return Head.find("\r\n" + AName + ":") != std::string::npos; }
};

struct Reply {
  Reply(std::string ABytes = {}, bool AClose = false, std::string AInterim = {}, bool ASkipBody = false)
      : Bytes(std::move(ABytes)), Close(AClose), Interim(std::move(AInterim)), SkipBody(ASkipBody) {}
  std::string Bytes;
  bool Close = false;     // close the connection after the answer
  std::string Interim;    // sent after the head, before the body is read
  bool SkipBody = false;  // do not wait for the request body
};

using Handler = std::function<Reply(const Recorded& ARequest, int AIndex)>;

class Server {
public:
  explicit Server(Handler AHandler, const std::string& AHost = "127.0.0.1")
      : FListener(AHost), FHandler(std::move(AHandler)) {
    FThread = std::thread([this] { Run(); });
  }
  ~Server() {
    FStop = true;
    FThread.join();
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  std::uint16_t Port() const { return FListener.Port(); }
  std::string URL(const std::string& APath = "/") const { return "http://127.0.0.1:" + std::to_string(Port()) + APath; }
  std::vector<Recorded> Requests() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FRequests;
  }
  int Connections() const { return FConnections; }

private:
  static std::size_t ContentLengthOf(const std::string& AHead) {
    std::string lower;
    for (char c : AHead) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) return 0;
    return static_cast<std::size_t>(std::stoull(AHead.substr(at + 17, AHead.find("\r\n", at + 2) - at - 17)));
  }

  // Bytes until the peer closes or the server stops; false when nothing
  // more will come.
  bool Fill(int AFd, std::string& ABuffer) {
    for (int waited = 0; waited < 10000 && !FStop; waited += 50) {
      pollfd p{AFd, POLLIN, 0};
      if (::poll(&p, 1, 50) != 1) continue;
      char buf[65536];
      ssize_t n = ::recv(AFd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      ABuffer.append(buf, static_cast<std::size_t>(n));
      return true;
    }
    return false;
  }

  void Serve(loopback::Fd& AFd, int AConnection) {
    std::string buffer;
    for (;;) {
      std::size_t end;
      while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
        if (!Fill(AFd.get(), buffer)) return;
      Recorded r;
      r.Head = buffer.substr(0, end + 2);
      r.Connection = AConnection;
      buffer.erase(0, end + 4);
      const int index = FNextIndex++;
      // The handler sees the head first so that it can answer before the
      // body (interim answers, refusals).
      Reply reply;
      {
        // Handlers run one at a time, in the order requests arrive.
        std::lock_guard<std::mutex> lock(FHandlerMutex);
        reply = FHandler(r, index);
      }
      if (!reply.Interim.empty()) loopback::SendAll(AFd.get(), reply.Interim);
      if (!reply.SkipBody) {
        const std::size_t length = ContentLengthOf(r.Head);
        while (buffer.size() < length)
          if (!Fill(AFd.get(), buffer)) break;
        r.Body = buffer.substr(0, std::min(length, buffer.size()));
        buffer.erase(0, r.Body.size());
      }
      {
        std::lock_guard<std::mutex> lock(FMutex);
        FRequests.push_back(r);
      }
      try {
        loopback::SendAll(AFd.get(), reply.Bytes);
      } catch (...) {
        return;
      }
      if (reply.Close) return;
    }
  }

  void Run() {
    while (!FStop) {
      pollfd p{FListener.Handle(), POLLIN, 0};
      if (::poll(&p, 1, 50) != 1) continue;
      int fd = ::accept4(FListener.Handle(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      const int n = FConnections++;
      FWorkers.emplace_back([this, fd, n] {
        loopback::Fd owned(fd);
        Serve(owned, n);
      });
    }
    for (std::thread& t : FWorkers) t.join();
  }

  loopback::Listener FListener;
  Handler FHandler;
  std::atomic<bool> FStop{false};
  std::atomic<int> FConnections{0};
  std::atomic<int> FNextIndex{0};
  std::mutex FMutex;
  std::mutex FHandlerMutex;
  std::vector<Recorded> FRequests;
  std::vector<std::thread> FWorkers;
  std::thread FThread;
};

// A complete answer with a Content-Length.
inline std::string Answer(int ACode, const std::string& AReason, const std::string& ABody,
                          const std::string& AExtraHeaders = "") {
  return "HTTP/1.1 " + std::to_string(ACode) + " " + AReason + "\r\n" + AExtraHeaders +
         "Content-Length: " + std::to_string(ABody.size()) + "\r\n\r\n" + ABody;
}

}  // namespace httpscript
