// bin/cryptohopper-sandbox: the sandbox service on its own, for people and
// scripts. See tools/sandbox/sandbox.h and the README.
//
//   cryptohopper-sandbox [--port N] [--client-id ID] [--client-secret S]
//                        [--cert-dir DIR] [--expires-in SECONDS]
//                        [--validation-code CODE] [--webhook-ca FILE]
//
// It prints its URLs and credentials and runs until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/sandbox/sandbox.h"
#include "transport/vynIdStack.h"

namespace {

constexpr const char* kUsage =
    "usage: cryptohopper-sandbox [--port N] [--client-id ID] [--client-secret S] [--cert-dir DIR]\n"
    "                            [--expires-in SECONDS] [--validation-code CODE] [--webhook-ca FILE]\n";

bool ParseNumber(const char* aText, long aMin, long aMax, long& aOut) {
  char* end = nullptr;
  aOut = std::strtol(aText, &end, 10);
  return end && !*end && *aText && aOut >= aMin && aOut <= aMax;
}

bool ParseArgs(int argc, char** argv, sandbox::Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!v) return false;
    ++i;
    long n = 0;
    if (a == "--port" && ParseNumber(v, 0, 65535, n))
      o.Port = static_cast<std::uint16_t>(n);
    else if (a == "--client-id" && *v)
      o.ClientId = v;
    else if (a == "--client-secret" && *v)
      o.ClientSecret = v;
    else if (a == "--cert-dir" && *v)
      o.CertDir = v;
    else if (a == "--expires-in" && ParseNumber(v, 1, 86400 * 365, n))
      o.ExpiresIn = static_cast<std::int32_t>(n);
    else if (a == "--validation-code")
      o.ValidationCode = v;
    else if (a == "--webhook-ca" && *v)
      o.WebhookRootCertFile = v;
    else
      return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  sandbox::Options options;
  if (!ParseArgs(argc, argv, options)) {
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
    sandbox::Service service(options);
    try {
      service.Start();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "cryptohopper-sandbox: cannot start: %s\n", e.what());
      rc = 1;
    }
    if (rc == 0) {
      const sandbox::Options& s = service.Settings();
      std::printf("API base URL:   %s\n", service.APIBaseURL().c_str());
      std::printf("Token URL:      %s\n", service.TokenURL().c_str());
      std::printf("Authorize URL:  %s\n", service.AuthorizeURL().c_str());
      std::printf("Client id:      %s\n", s.ClientId.c_str());
      std::printf("Client secret:  %s\n", s.ClientSecret.c_str());
      std::printf("Certificate:    %s\n", service.CertFile().c_str());
      std::printf("Validation code for webhooks: %s\n", s.ValidationCode.c_str());
      std::printf("Try: curl --cacert %s -d 'grant_type=client_credentials&client_id=%s&client_secret=%s' %s\n",
                  service.CertFile().c_str(), s.ClientId.c_str(), s.ClientSecret.c_str(), service.TokenURL().c_str());
      std::printf("Stop with Ctrl+C.\n");
      std::fflush(stdout);
      int sig = 0;
      sigwait(&stopSignals, &sig);
      service.Stop();
      std::printf("stopped\n");
    }
  }
  TIdStack::DecUsage();
  return rc;
}
