// The program's one window: credentials and server settings, one button per
// service operation on six tabs, the webhook switch and the log pane.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include <QApplication>
#include <QWidget>

#include "cryptohopper/vynWebSocket_APIs.h"
#include "platform/Dispatcher.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;

class TFRMCryptohopper : public QWidget {
  Q_OBJECT

public:
  explicit TFRMCryptohopper(QWidget* aParent = nullptr);
  ~TFRMCryptohopper() override;

  // Appends aText to the end of the log as one entry.
  void DoLog(const std::string& aText);
  // Copies the window's fields into the client's options and returns it.
  TvynHTTP_Cryptohopper& GetCryptohopper();

  // The one-line prompts; a cancelled prompt yields the empty default.
  std::string GetHopperId();
  std::string GetOrderId();
  std::string GetExchangeName();
  std::string GetPairName();

  // Bound to the client's OnWebhook: may run on any thread.
  void cryptohopperWebhook(TComponent* Sender, const std::string& aBody, const std::string& aSignature);
  // Bound to the client's OnWebhookError: may run on any thread. Shows the
  // failure in the error box and unchecks the box when the receiver does not
  // run.
  void cryptohopperWebhookError(const std::string& aMessage, bool aRunning);

  // Regions
  QWidget* pnlTop = nullptr;
  QWidget* pnlMethods = nullptr;
  QWidget* pnlBody = nullptr;
  QTabWidget* PageControl1 = nullptr;
  QPlainTextEdit* memoLog = nullptr;

  // Settings
  QLineEdit* txtClientId = nullptr;
  QLineEdit* txtClientSecret = nullptr;
  QLineEdit* txtLocalIP = nullptr;
  QLineEdit* txtLocalPort = nullptr;
  QCheckBox* chkWebhook = nullptr;
  QLineEdit* txtHost = nullptr;
  QLineEdit* txtPort = nullptr;
  QLineEdit* txtValidationCode = nullptr;
  QLineEdit* txtCertificate = nullptr;
  QLineEdit* txtPassword = nullptr;

  // Hopper
  QWidget* tabHopper = nullptr;
  QPushButton* btnGetHoppers = nullptr;
  QPushButton* btnCreateHopper = nullptr;
  QPushButton* btnGetHopper = nullptr;
  QPushButton* btnDeleteHopper = nullptr;
  QPushButton* btnEnableHopper = nullptr;
  QPushButton* btnDisableHopper = nullptr;
  QPushButton* btnEnablePaperTrading = nullptr;
  QPushButton* btnDisablePaperTrading = nullptr;

  // Orders
  QWidget* tabOrders = nullptr;
  QLineEdit* txtHopperId = nullptr;
  QLineEdit* txtCoin = nullptr;
  QPushButton* btnGetOpenOrders = nullptr;
  QPushButton* btnDeleteOrder = nullptr;
  QPushButton* btnDeleteAllOrders = nullptr;
  QPushButton* btnGetOpenOrder = nullptr;
  QPushButton* btnCancelOrder = nullptr;
  QComboBox* cboMarketSide = nullptr;
  QLineEdit* txtMarketOrderSize = nullptr;
  QPushButton* cboPlaceMarketOrder = nullptr;
  QComboBox* cboLimitSide = nullptr;
  QLineEdit* txtLimitOrderSize = nullptr;
  QLineEdit* txtLimitOrderPrice = nullptr;
  QPushButton* cboPlaceLimitOrder = nullptr;

  // Position, Trades
  QWidget* tabPosition = nullptr;
  QPushButton* btnGetPosition = nullptr;
  QWidget* tabTrades = nullptr;
  QPushButton* btnGetTradeHistory = nullptr;

  // Exchange
  QWidget* tabExchange = nullptr;
  QPushButton* btnGetExchange = nullptr;
  QPushButton* btnGetAllTickers = nullptr;
  QPushButton* btnGetMarketTicker = nullptr;
  QPushButton* btnGetOrderBook = nullptr;

  // Webhooks
  QWidget* tabWebhooks = nullptr;
  QLineEdit* txtWebhookURL = nullptr;
  QPushButton* btnCreateWebhook = nullptr;
  QPushButton* btnDeleteWebhook = nullptr;

  // The service client, owned by the window.
  std::unique_ptr<TvynHTTP_Cryptohopper> cryptohopper;

private:
  void CreateControls();
  void ConnectCommands();
  // Runs one command with a wait cursor; an error ends it and goes to the
  // application's error display.
  void RunCommand(const std::function<void()>& aCommand);
  std::string Prompt(const char* aCaption, const char* aPrompt);
  void ToggleHopper(bool aPaperTrading, std::int32_t aValue);
  void chkWebhookClick();
};

namespace detail {

// The text the error box shows for aMessage: "." appended unless the message
// is empty or already ends in "." or a character that sorts before it.
std::string ErrorBoxText(const std::string& aMessage);

// The application's error display: a modal box with the executable's base
// name as caption and the error icon.
void ShowException(const std::exception& aError);
void ShowException(std::exception_ptr aError);

// The application object: errors that escape an event handler go to the
// error display instead of ending the program.
class Application : public QApplication {
public:
  Application(int& argc, char** argv);
  bool notify(QObject* aReceiver, QEvent* aEvent) override;
};

// Hands callbacks to the Qt event loop's thread with queued calls.
class QtUIDispatcher : public IUIDispatcher {
public:
  void Queue(std::function<void()> aProc) override;
  void Synchronize(std::function<void()> aProc) override;
};

// The window's font: Tahoma 8 pt where installed, the default sans font at
// 8 pt otherwise.
QFont WindowFont();

}  // namespace detail
