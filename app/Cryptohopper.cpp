// The program: one window, its event loop, and the error display for what a
// command raises. With --sandbox it first starts the sandbox service in this
// process and points the window at it.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include <QTimer>

#include "app/FCryptohopper.h"
#include "app/SandboxMode.h"
#include "transport/vynIdStack.h"

namespace {
constexpr const char* kUsage =
    "usage: cryptohopper [--sandbox]\n"
    "  --sandbox  run against a sandbox service started in this process, with\n"
    "             its credentials and the webhook settings filled in\n";
// Set by SIGINT or SIGTERM; the event loop looks at it and ends, so the
// sandbox stops and removes its temporary files.
volatile std::sig_atomic_t gStopRequested = 0;
void RequestStop(int) { gStopRequested = 1; }
}  // namespace

int main(int argc, char** argv) {
  detail::Application application(argc, argv);
  bool sandboxMode = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--sandbox") == 0) {
      sandboxMode = true;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  // Webhook bodies arrive on connection threads and are logged on this one.
  detail::QtUIDispatcher dispatcher;
  SetUIDispatcher(&dispatcher);
  // The OAuth2 client's redirect listener runs on the server component.
  detail::SetOAuthLocalServerFactory(detail::ServerComponentListenerFactory());
  TIdStack::IncUsage();
  int result = 0;
  {
    // Made before the window and freed after it: the window's client may
    // still be talking to it until the window is gone.
    std::unique_ptr<sandbox::Service> service;
    if (sandboxMode) {
      service = std::make_unique<sandbox::Service>();
      try {
        service->Start();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "cryptohopper: cannot start the sandbox: %s\n", e.what());
        result = 1;
      }
      if (result == 0) {
        std::printf("Sandbox service at %s (client id %s, client secret %s, certificate %s)\n",
                    service->Origin().c_str(), service->Settings().ClientId.c_str(),
                    service->Settings().ClientSecret.c_str(), service->CertFile().c_str());
        std::fflush(stdout);
      }
    }
    if (result == 0) {
      TFRMCryptohopper window;
      if (service) ConnectToSandbox(window, *service);
      window.show();
      std::signal(SIGINT, RequestStop);
      std::signal(SIGTERM, RequestStop);
      QTimer stopWatch;
      QObject::connect(&stopWatch, &QTimer::timeout, [] {
        if (gStopRequested) QApplication::quit();
      });
      stopWatch.start(200);
      result = application.exec();
    }
    if (service) service->Stop();
  }
  TIdStack::DecUsage();
  SetUIDispatcher(nullptr);
  return result;
}
