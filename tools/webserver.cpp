// webserver: serves the files under a folder over HTTP/1.x (and HTTPS on a
// second port), for people, scripts and benchmarks.
//
//   webserver --root DIR [--host ADDR] [--port N]
//             [--tls-port N --cert FILE --key FILE] [--keep-alive]
//             [--scheduler events|threads]
//
// With "events" (the default) keep-alive connections wait between requests
// in an epoll set and a few workers serve the ready ones; with "threads"
// every connection has a thread of its own (see docs/benchmarks.md).
//
// GET and HEAD serve files (a folder's index.html for a path ending in
// "/"); POST answers a small JSON acknowledgement after reading the body.
// It prints where it listens and stops cleanly on SIGINT or SIGTERM.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/vynWSHTTPServer.h"
#include "transport/vynIdSchedulerOfEvents.h"
#include "transport/vynIdStack.h"

namespace {

constexpr const char* kUsage =
    "usage: webserver --root DIR [--host ADDR] [--port N] [--tls-port N --cert FILE --key FILE] [--keep-alive]\n"
    "                 [--scheduler events|threads]\n";
constexpr const char* kPostAnswer = "{\"status\":\"ok\"}";

struct Options {
  std::string Root, Host = "127.0.0.1", Cert, Key;
  int Port = 8080, TLSPort = 0;
  bool KeepAlive = false;
  bool Events = true;
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
    } else if (a == "--scheduler" && (v = value())) {
      if (std::strcmp(v, "events") != 0 && std::strcmp(v, "threads") != 0) return false;
      o.Events = std::strcmp(v, "events") == 0;
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

// The component serves existing files from the root itself; what reaches
// this handler is a POST, a folder (its index.html) or a miss.
void Handle(const Options& o, TIdHTTPRequestInfo& q, TIdHTTPResponseInfo& r) {
  if (q.CommandType == THTTPCommandType::hcPOST) {
    r.SetContentType("application/json");
    r.ContentText = kPostAnswer;
    return;
  }
  std::string path = q.URI;
  if (!path.empty() && path.back() == '/') path += "index.html";
  std::string file;
  // Opened as checked: a link swapped in afterwards is never followed.
  const int fd = IdOpenDocument(o.Root, path, file);
  if (fd < 0) {
    r.SetResponseNo(404);
    return;
  }
  r.ContentDisposition = "inline";
  try {
    r.ServeOpenedFile(fd, file, &q);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
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
    // Outlives the server, which uses it until it is gone.
    TIdSchedulerOfEvents events;
    events.Name = "webserver";
    TvynWSHTTPServer server;
    if (o.Events) server.HTTPServer().SetScheduler(&events);
    server.NotifyEvents = TwsNotifyEvent::neNoSync;
    server.SetKeepAlive(o.KeepAlive);
    server.SetMaxConnections(1000);
    // Connections that arrive together wait in the kernel's queue until
    // accepted; past its length their SYNs are dropped and the clients
    // retry a second later.
    server.HTTPServer().ListenQueue = SOMAXCONN;
    // A response goes out as head then body; with Nagle on, the body waits
    // for the client's delayed ACK (about 40 ms) on every keep-alive request.
    server.UseNagle = false;
    server.SetDocumentRoot(o.Root);
    server.OnCommandGet = [&o](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) { Handle(o, *q, *r); };
    server.OnCommandOther = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) { r->SetResponseNo(405); };
    server.Bindings().Clear();
    TIdSocketHandle& plain = server.Bindings().Add();
    plain.SetIP(o.Host);
    plain.SetPort(static_cast<std::uint16_t>(o.Port));
    server.SetPort(o.Port);
    if (o.TLSPort) {
      TIdSocketHandle& secure = server.Bindings().Add();
      secure.SetIP(o.Host);
      secure.SetPort(static_cast<std::uint16_t>(o.TLSPort));
      // TLS on its own port only; the other binding stays plain.
      server.SSLOptions().Port = o.TLSPort;
      // TLS 1.2 and 1.3: clients agree on the highest both speak.
      server.SSLOptions().Version = TwsTLSVersions::tlsUndefined;
      server.SSLOptions().CertFile = o.Cert;
      server.SSLOptions().KeyFile = o.Key;
      server.SetSSL(true);
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
  }
  TIdStack::DecUsage();
  return rc;
}
