// The window's commands as a table, and a script that answers the modal
// windows a click opens: shared by the window tests that use a recording
// HTTP client and those against a real HTTPS server.
#pragma once

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <deque>
#include <string>
#include <vector>

#include "app/FCryptohopper.h"

// Waits, bounded, until the command under way has shown its outcome (its
// answer logged, its error box closed).
inline bool WaitForCommand(TFRMCryptohopper& aWindow, int aMs = 30000) {
  for (int i = 0; i < aMs / 5 && aWindow.CommandRunning(); ++i) QTest::qWait(5);
  return !aWindow.CommandRunning();
}

// Clicks a control the way a user does: its tab brought to the front, then
// the mouse; then waits for the command to end.
inline void ClickOnItsPage(TFRMCryptohopper& aWindow, QAbstractButton* aButton) {
  for (QWidget* p = aButton; p; p = p->parentWidget())
    if (aWindow.PageControl1->indexOf(p) >= 0) aWindow.PageControl1->setCurrentWidget(p);
  QTest::mouseClick(aButton, Qt::LeftButton);
  WaitForCommand(aWindow);
}

// One modal window the script met: a prompt or an error box.
struct Seen {
  std::string Kind;  // "prompt", "error" or "unexpected"
  std::string Title;
  std::string Text;  // the prompt's label or the box's text
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  bool WaitCursor = false;
};

// Answers the modal windows that appear while a click runs, in order. Each
// step handles one window; a window with no step left is cancelled and noted
// as unexpected, so a test never hangs on a forgotten dialog.
class ModalScript {
public:
  ModalScript() {
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Tick(); });
    FTimer.start(5);
  }
  void Answer(std::string aText) { FSteps.push_back({true, std::move(aText)}); }
  void Cancel() { FSteps.push_back({false, {}}); }
  std::vector<Seen> Windows;

private:
  struct Step {
    bool Accept;
    std::string Text;
  };
  void Tick() {
    // About a minute of ticks at most, then the script gives up.
    if (++FTicks > 12000) FTimer.stop();
    QWidget* w = QApplication::activeModalWidget();
    if (!w || !w->isVisible()) return;
    Seen seen;
    seen.Title = w->windowTitle().toStdString();
    seen.WaitCursor = QApplication::overrideCursor() != nullptr;
    auto* dialog = qobject_cast<QDialog*>(w);
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
      seen.Kind = "error";
      seen.Text = box->text().toStdString();
      seen.Icon = box->icon();
      Windows.push_back(seen);
      box->accept();
      return;
    }
    auto* input = qobject_cast<QInputDialog*>(w);
    if (!input || FSteps.empty()) {
      seen.Kind = "unexpected";
      Windows.push_back(seen);
      if (dialog) dialog->reject();
      return;
    }
    seen.Kind = "prompt";
    seen.Text = input->labelText().toStdString();
    Windows.push_back(seen);
    const Step step = FSteps.front();
    FSteps.pop_front();
    if (step.Accept) {
      input->setTextValue(QString::fromStdString(step.Text));
      input->accept();
    } else {
      input->setTextValue(QStringLiteral("typed, then cancelled"));
      input->reject();
    }
  }
  QTimer FTimer;
  std::deque<Step> FSteps;
  int FTicks = 0;
};

// ---------------------------------------------------------------------------
// The commands

struct Prompted {
  std::string Caption;
  std::string Label;
  std::string Answer;
};

struct ButtonCase {
  const char* name;
  QPushButton* TFRMCryptohopper::*button;
  std::vector<Prompted> prompts;
  const char* method;
  const char* path;
  const char* body;
};

const Prompted kHopper7{"Hopper Id", "Set the Hopper Id", "7"};
const Prompted kOrder345{"Order Id", "Set the Order Id", "345"};
const Prompted kBinance{"Exchange Name", "Set the Exchange Name", "binance"};
const Prompted kPair{"Pair Name", "Set the Pair Name", "BTC-USDT"};

// Every button with the prompts it opens and the request it makes, with the
// hopper id field at "12", the coin at "BTC" and the webhook URL at
// "https://h.example/w".
inline const std::vector<ButtonCase>& WindowCommands() {
  using F = TFRMCryptohopper;
  static const std::vector<ButtonCase> commands{
      ButtonCase{"GetHoppers", &F::btnGetHoppers, {}, "GET", "/hopper", ""},
      ButtonCase{"CreateHopper",
                 &F::btnCreateHopper,
                 {{"Hopper Name", "Set the Name", "My bot"}},
                 "POST",
                 "/hopper",
                 "{\"name\":\"My bot\"}"},
      ButtonCase{"GetHopper", &F::btnGetHopper, {kHopper7}, "GET", "/hopper/7", ""},
      ButtonCase{"DeleteHopper", &F::btnDeleteHopper, {kHopper7}, "DELETE", "/hopper/7", ""},
      ButtonCase{"GetOpenOrders", &F::btnGetOpenOrders, {}, "GET", "/hopper/12/order", ""},
      ButtonCase{"DeleteOrder", &F::btnDeleteOrder, {kOrder345}, "DELETE", "/hopper/12/order", "{\"order_id\": 345}"},
      ButtonCase{"DeleteAllOrders", &F::btnDeleteAllOrders, {}, "DELETE", "/hopper/12/order/all", ""},
      ButtonCase{"GetOpenOrder", &F::btnGetOpenOrder, {kOrder345}, "GET", "/hopper/12/order/345", ""},
      ButtonCase{"CancelOrder", &F::btnCancelOrder, {kOrder345}, "DELETE", "/hopper/12/order/345", ""},
      ButtonCase{"MarketOrder",
                 &F::cboPlaceMarketOrder,
                 {},
                 "POST",
                 "/hopper/12/order",
                 "{\"order_type\":\"buy\",\"coin\":\"BTC\",\"amount\":0.002}"},
      ButtonCase{"LimitOrder",
                 &F::cboPlaceLimitOrder,
                 {},
                 "POST",
                 "/hopper/12/order",
                 "{\"order_type\":\"buy\",\"coin\":\"BTC\",\"amount\":0.002,\"price\":100}"},
      ButtonCase{"GetPosition", &F::btnGetPosition, {kHopper7}, "GET", "/hopper/7/position", ""},
      ButtonCase{"GetTradeHistory", &F::btnGetTradeHistory, {kHopper7}, "GET", "/hopper/7/trade", ""},
      ButtonCase{"GetExchange", &F::btnGetExchange, {}, "GET", "/exchange", ""},
      ButtonCase{"GetAllTickers", &F::btnGetAllTickers, {kBinance}, "GET", "/exchange/binance/ticker", ""},
      ButtonCase{
          "GetMarketTicker", &F::btnGetMarketTicker, {kBinance, kPair}, "GET", "/exchange/binance/ticker/BTC-USDT", ""},
      ButtonCase{
          "GetOrderBook", &F::btnGetOrderBook, {kBinance, kPair}, "GET", "/exchange/binance/BTC-USDT/orderbook/5", ""},
      ButtonCase{"CreateWebhook",
                 &F::btnCreateWebhook,
                 {},
                 "POST",
                 "/api/webhooks",
                 "{\"webhook_url\": \"https://h.example/w\", \"message_types\": "
                 "\"config_error,on_first_start,on_panic_end,on_panic_start,order_cancelled,trade_completed,"
                 "trade_error,order_placed,order_trigger\"}"},
      ButtonCase{"DeleteWebhook",
                 &F::btnDeleteWebhook,
                 {},
                 "DELETE",
                 "/api/webhooks",
                 "{\"webhook_url\": \"https://h.example/w\"}"}};
  return commands;
}
