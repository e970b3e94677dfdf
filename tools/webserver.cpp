// webserver: serves the files under a folder over HTTP/1.x (and HTTPS on a
// second port), for people, scripts and benchmarks.
//
//   webserver --root DIR [--host ADDR] [--port N]
//             [--tls-port N --cert FILE --key FILE] [--keep-alive]
//
// GET and HEAD serve files (a folder's index.html for a path ending in
// "/"); POST answers a small JSON acknowledgement after reading the body.
// It prints where it listens and stops cleanly on SIGINT or SIGTERM.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "transport/vynIdCustomHTTPServer.h"
#include "transport/vynIdSSLOpenSSL.h"
#include "transport/vynIdServerIOHandler.h"
#include "transport/vynIdStack.h"

namespace {

constexpr const char* kUsage =
    "usage: webserver --root DIR [--host ADDR] [--port N] [--tls-port N --cert FILE --key FILE] [--keep-alive]\n";
constexpr const char* kPostAnswer = "{\"status\":\"ok\"}";

// Accepts through the TLS engine's server handler; each connection starts
// in pass-through and the HTTP server switches TLS on for the TLS port.
class TLSServerIOHandler : public TIdServerIOHandler {
public:
  TIdServerIOHandlerSSLOpenSSL& Engine() { return FEngine; }
  void Init() override { FEngine.Init(); }
  void Shutdown() override { FEngine.Shutdown(); }
  std::unique_ptr<TIdIOHandler> Accept(TIdSocketHandle& AListener, TIdThread* AListenerThread, TIdYarn*) override {
    while (WaitForConnection(AListener, AListenerThread)) {
      std::unique_ptr<TIdIOHandler> handler(FEngine.Accept(AListener));
      if (handler) {
        handler->AfterAccept();
        return handler;
      }
      // Nobody was waiting after all, or the system refused for now: try
      // again a little later rather than spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nullptr;
  }

private:
  TIdServerIOHandlerSSLOpenSSL FEngine;
};

struct Options {
  std::string Root, Host = "127.0.0.1", Cert, Key;
  int Port = 8080, TLSPort = 0;
  bool KeepAlive = false;
};

bool ParsePort(const char* AText, int& VPort) {
  char* end = nullptr;
  long v = std::strtol(AText, &end, 10);
  if (!end || *end || v < 1 || v > 65535) return false;
  VPort = static_cast<int>(v);
  return true;
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--keep-alive") {
      o.KeepAlive = true;
    } else if (a == "--root" && (v = value())) {
      o.Root = v;
    } else if (a == "--host" && (v = value())) {
      o.Host = v;
    } else if (a == "--port" && (v = value())) {
      if (!ParsePort(v, o.Port)) return false;
    } else if (a == "--tls-port" && (v = value())) {
      if (!ParsePort(v, o.TLSPort)) return false;
    } else if (a == "--cert" && (v = value())) {
      o.Cert = v;
    } else if (a == "--key" && (v = value())) {
      o.Key = v;
    } else {
      return false;
    }
  }
  if (o.Root.empty()) return false;
  if (o.TLSPort && (o.Cert.empty() || o.Key.empty())) return false;
  return true;
}

void Handle(const Options& o, TIdHTTPRequestInfo& q, TIdHTTPResponseInfo& r) {
  if (q.CommandType == THTTPCommandType::hcPOST) {
    r.SetContentType("application/json");
    r.ContentText = kPostAnswer;
    return;
  }
  std::string path = q.URI;
  if (!path.empty() && path.back() == '/') path += "index.html";
  std::string file;
  if (!IdResolveDocumentPath(o.Root, path, file)) {
    r.SetResponseNo(404);
    return;
  }
  r.ContentDisposition = "inline";
  r.SmartServeFile(nullptr, &q, file);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // The signals are taken by sigwait below; every thread started from here
  // on inherits the block.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  TIdStack::IncUsage();
  int rc = 0;
  {
    TIdHTTPServer server;
    server.Name = "webserver";
    server.KeepAlive = o.KeepAlive;
    server.MaxConnections = 1000;
    // A response goes out as head then body; with Nagle on, the body waits
    // for the client's delayed ACK (about 40 ms) on every keep-alive request.
    server.UseNagle = false;
    server.OnCommandGet = [&o](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) { Handle(o, *q, *r); };
    server.OnCommandOther = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) { r->SetResponseNo(405); };
    TIdSocketHandle& plain = server.Bindings().Add();
    plain.SetIP(o.Host);
    plain.SetPort(static_cast<std::uint16_t>(o.Port));
    std::unique_ptr<TLSServerIOHandler> tls;
    if (o.TLSPort) {
      tls = std::make_unique<TLSServerIOHandler>();
      tls->Engine().SSLOptions().Mode = TIdSSLMode::sslmServer;
      tls->Engine().SSLOptions().SetMethod(TIdSSLVersion::sslvTLSv1_2);
      tls->Engine().SSLOptions().CertFile = o.Cert;
      tls->Engine().SSLOptions().KeyFile = o.Key;
      server.SetIOHandler(tls.get());
      TIdSocketHandle& secure = server.Bindings().Add();
      secure.SetIP(o.Host);
      secure.SetPort(static_cast<std::uint16_t>(o.TLSPort));
      const std::uint16_t tlsPort = static_cast<std::uint16_t>(o.TLSPort);
      server.OnQuerySSLPort = [tlsPort](std::uint16_t APort, bool& VUseSSL) { VUseSSL = APort == tlsPort; };
    }
    try {
      server.SetActive(true);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "webserver: cannot start: %s\n", e.what());
      rc = 1;
    }
    if (rc == 0) {
      std::printf("listening on http://%s:%d/\n", o.Host.c_str(), o.Port);
      if (o.TLSPort) std::printf("listening on https://%s:%d/\n", o.Host.c_str(), o.TLSPort);
      std::fflush(stdout);
      int sig = 0;
      sigwait(&stopSignals, &sig);
      server.SetActive(false);
      std::printf("stopped\n");
    }
    server.SetIOHandler(nullptr);
  }
  TIdStack::DecUsage();
  return rc;
}
