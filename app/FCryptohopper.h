// The program's one window: credentials and server settings, one button per
// service operation on six tabs, the webhook switch and the log pane.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <QApplication>
#include <QWidget>

#include "cryptohopper/vynWebSocket_APIs.h"
#include "platform/Dispatcher.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QTimer;
class QVBoxLayout;
class TIdConnectStop;

namespace detail {
// One thread that runs the window's requests, one job after the other in
// the order they were posted. It never touches a widget.
class CommandWorker {
public:
  CommandWorker();
  // Waits for the job in hand; jobs not yet begun are dropped.
  ~CommandWorker();
  CommandWorker(const CommandWorker&) = delete;
  CommandWorker& operator=(const CommandWorker&) = delete;
  void Post(std::function<void()> aJob);

private:
  void Run();
  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<std::function<void()>> FJobs;
  bool FEnding = false;
  std::thread FThread;
};
}  // namespace detail

class TFRMCryptohopper : public QWidget {
  Q_OBJECT

public:
  explicit TFRMCryptohopper(QWidget* aParent = nullptr);
  ~TFRMCryptohopper() override;

  // Appends aText to the end of the log as one entry (indented when it is
  // JSON and "Readable JSON" is checked).
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

  // Whether a command is under way (its request out, or its answer not yet
  // shown): the command area is disabled meanwhile.
  bool CommandRunning() const { return FCommand != nullptr; }
  // Ends the running command's request: its connections are shut down, the
  // log gets nothing and the status bar says it was stopped.
  void StopCommand();

  // Regions
  QWidget* pnlTop = nullptr;
  QWidget* pnlMethods = nullptr;
  QWidget* pnlBody = nullptr;
  QTabWidget* PageControl1 = nullptr;
  QPlainTextEdit* memoLog = nullptr;
  QPushButton* btnStop = nullptr;
  QCheckBox* chkReadableJSON = nullptr;
  QStatusBar* StatusBar = nullptr;
  QLabel* lblToken = nullptr;
  QLabel* lblWebhook = nullptr;
  QLabel* lblRequest = nullptr;

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
  // What the UI thread does with a request's result.
  using Then = std::function<void(const std::string& aResult)>;

  void CreateControls();
  void CreateLogAndStatus(QVBoxLayout* aRoot);
  void ConnectCommands();
  // Runs a command's UI part (prompts, field reads, the copy into the
  // client's options): an error there goes to the error display and ends
  // the command before any request.
  void RunCommand(const std::function<void()>& aCommand);
  // The usual command: its request on the worker, the answer logged.
  void Request(std::function<std::string(TvynHTTP_Cryptohopper&)> aOperation);
  // Begins a command: disables the command area under the wait cursor.
  void BeginCommand();
  void EndCommand();
  // Runs aWork on the worker under the command's connection stop; back on
  // the UI thread aThen gets its result, unless the command was stopped or
  // aWork failed (aFailed runs first then, and the error box shows).
  void RunOnWorker(std::function<std::string()> aWork, Then aThen, std::function<void()> aFailed = {});
  void WorkerDone(const std::shared_ptr<TIdConnectStop>& aStop, const std::string& aResult, std::exception_ptr aError,
                  const Then& aThen, const std::function<void()>& aFailed);
  std::string Prompt(const char* aCaption, const char* aPrompt);
  void ToggleHopper(bool aPaperTrading, std::int32_t aValue);
  void chkWebhookClick();
  // The log again from its entries, in the form the check box asks for.
  void RenderLog();
  void ShowRequestDone(const std::string& aMethod, const std::string& aURL, std::int32_t aStatusCode,
                       std::int64_t aMilliseconds);
  void UpdateStatus();

  // The running command's connection stop; none when idle.
  std::shared_ptr<TIdConnectStop> FCommand;
  // Every entry as it was logged, for showing the log in the other form.
  std::vector<std::string> FLogEntries;
  // The address the receiver was last started on, and why its last start
  // failed (empty when it did not).
  std::string FWebhookAddress;
  std::string FWebhookError;
  QTimer* FStatusTimer = nullptr;
  // Made last, ended first: no job runs once the window starts to go.
  std::unique_ptr<detail::CommandWorker> FWorker;
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

// aText indented two spaces a level when it is one JSON value (strings and
// numbers kept byte for byte); nothing when it is not JSON.
std::optional<std::string> ReadableJSON(std::string_view aText);

// The window's font: Tahoma 8 pt where installed, the default sans font at
// 8 pt otherwise.
QFont WindowFont();

}  // namespace detail
