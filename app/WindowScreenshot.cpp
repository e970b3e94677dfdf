// The README's picture of the window, from a real run: the window on the
// sandbox service (as bin/cryptohopper --sandbox opens it) starts its
// webhook receiver, registers it, reads the hoppers and places a limit
// order, whose event arrives at the receiver; then the window is saved as a
// PNG. scripts/screenshot runs it on a virtual display.
//   window_screenshot <file.png>
#include <chrono>
#include <cstdio>
#include <functional>

#include <QCheckBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include "app/FCryptohopper.h"
#include "app/SandboxMode.h"
#include "transport/vynIdStack.h"

namespace {
// Lets the event loop run until aDone, at most aMs.
bool RunUntil(const std::function<bool()>& aDone, int aMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
  while (!aDone() && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return aDone();
}

bool Command(TFRMCryptohopper& aWindow, QAbstractButton* aButton) {
  aButton->click();
  return RunUntil([&] { return !aWindow.CommandRunning(); }, 30000);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: window_screenshot <file.png>\n", stderr);
    return 2;
  }
  detail::Application application(argc, argv);
  detail::QtUIDispatcher dispatcher;
  SetUIDispatcher(&dispatcher);
  detail::SetOAuthLocalServerFactory(detail::ServerComponentListenerFactory());
  TIdStack::IncUsage();
  int result = 0;
  {
    sandbox::Service service;
    service.Start();
    {
      TFRMCryptohopper window;
      ConnectToSandbox(window, service);
      window.show();
      RunUntil([] { return false; }, 300);

      const auto step = [&](const char* aWhat, bool aDone) {
        if (!aDone && result == 0) {
          std::fprintf(stderr, "window_screenshot: %s failed\n", aWhat);
          result = 1;
        }
      };
      step("the webhook box",
           Command(window, window.chkWebhook) && RunUntil([&] { return window.cryptohopper->WebhookActive(); }, 10000));
      step("Create Webhook", Command(window, window.btnCreateWebhook));
      step("Get Hoppers", Command(window, window.btnGetHoppers));
      window.PageControl1->setCurrentWidget(window.tabOrders);
      const int before = window.memoLog->document()->blockCount();
      step("Limit Order", Command(window, window.cboPlaceLimitOrder));
      // The order's answer, then its event from the sandbox.
      step("the order's webhook event", RunUntil(
                                            [&] {
                                              return window.memoLog->toPlainText().contains("order_placed") &&
                                                     window.memoLog->document()->blockCount() > before + 1;
                                            },
                                            15000));
      RunUntil([] { return false; }, 500);  // the status bar catches up, the window paints
      if (result == 0 && !window.grab().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "window_screenshot: cannot write %s\n", argv[1]);
        result = 1;
      }
    }
    service.Stop();
  }
  TIdStack::DecUsage();
  SetUIDispatcher(nullptr);
  return result;
}
