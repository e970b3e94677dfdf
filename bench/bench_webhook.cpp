// The service client's webhook receiver on its own, for webhook.sh: it runs
// on the given port with the given certificate, counts the events it hands
// to OnWebhook, and on SIGTERM or SIGINT prints "events <n>" and ends.
//
//   bench_webhook --port N --cert PEM [--keep-alive]
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "cryptohopper/vynWebSocket_APIs.h"
#include "server/vynWSHTTPServer.h"

namespace {
// Exposes the receiver for the keep-alive switch.
class Receiver : public TvynHTTP_Cryptohopper {
public:
  using TvynHTTP_Cryptohopper::GetHTTPServer;
};
}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  std::string cert;
  bool keepAlive = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--port" && i + 1 < argc)
      port = std::atoi(argv[++i]);
    else if (a == "--cert" && i + 1 < argc)
      cert = argv[++i];
    else if (a == "--keep-alive")
      keepAlive = true;
    else {
      std::fprintf(stderr, "usage: bench_webhook --port N --cert PEM [--keep-alive]\n");
      return 2;
    }
  }
  // Every thread started from here on leaves the two signals to sigwait.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  Receiver receiver;
  std::atomic<long> events{0};
  std::atomic<bool> failed{false};
  receiver.OnWebhook = [&](TComponent*, const std::string&, const std::string&) { ++events; };
  receiver.OnWebhookError = [&](TComponent*, const std::string& aMessage, bool aRunning) {
    std::fprintf(stderr, "bench_webhook: %s\n", aMessage.c_str());
    if (!aRunning) failed = true;
  };
  TvynHTTPCryptohopperWebhook_Options& o = receiver.CryptohopperOptions().Webhook;
  o.Enabled = true;
  o.Host = "127.0.0.1";
  o.Port = port;
  o.SSLOptions.CertFile = o.SSLOptions.KeyFile = o.SSLOptions.RootCertFile = cert;
  o.SSLOptions.Version = TwsTLSVersions::tls1_2;
  receiver.GetHTTPServer().SetKeepAlive(keepAlive);
  receiver.StartWebhook();
  for (int i = 0; i < 1000 && !receiver.WebhookActive() && !failed; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!receiver.WebhookActive()) return 1;
  std::printf("READY\n");
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stop, &sig);
  receiver.StopWebhook();
  std::printf("events %ld\n", events.load());
  std::fflush(stdout);
  return 0;
}
