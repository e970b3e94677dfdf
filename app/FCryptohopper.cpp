#include "app/FCryptohopper.h"

#include <cctype>

#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "json/vynJSON.h"
#include "platform/DateUtils.h"
#include "platform/SysUtils.h"
#include "transport/vynIdSocketHandle.h"

namespace {

constexpr const char* kCaption = "Cryptohopper - Corvane";
constexpr int kClientWidth = 823;
constexpr int kClientHeight = 798;
constexpr int kTopHeight = 126;
constexpr int kMethodsHeight = 245;
constexpr const char* kFontName = "Tahoma";
constexpr int kFontPoints = 8;

constexpr const char* kWebhookURLExample = "https://example.com/cryptohopper/webhook";
constexpr const char* kOrderBookDepth = "5";
constexpr const char* kStartOrderSize = "0.002";
constexpr const char* kUnknownError = "An error of an unknown kind occurred";
constexpr const char* kWebhookNotRunning = "The webhook receiver is not running: ";

// The log's controls and the status bar.
constexpr const char* kStopCaption = "Stop";
constexpr const char* kReadableJSONCaption = "Readable JSON";
constexpr const char* kTokenNone = "Token: none";
constexpr const char* kTokenValidUntil = "Token: valid until %02d:%02d:%02d";
constexpr const char* kWebhookOff = "Webhook: off";
constexpr const char* kWebhookListening = "Webhook: listening on ";
constexpr const char* kWebhookFailed = "Webhook: ";
constexpr const char* kRequestNone = "Last request: none";
constexpr const char* kRequestRunning = "Request running...";
constexpr const char* kRequestStopping = "Stopping the request...";
constexpr const char* kRequestStopped = "Request stopped";
constexpr const char* kRequestDone = "Last request: %s %s, %s, %lld ms";
constexpr const char* kNoAnswer = "no answer";
// The token's expiry and the receiver's state change on other threads: the
// status bar looks at them this often.
constexpr int kStatusIntervalMs = 500;

// Prompt captions and texts.
// The prompt's caption and the Orders tab's label alike.
constexpr const char* kHopperIdCaption = "Hopper Id";
constexpr const char* kHopperIdPrompt = "Set the Hopper Id";
constexpr const char* kOrderIdCaption = "Order Id";
constexpr const char* kOrderIdPrompt = "Set the Order Id";
constexpr const char* kExchangeNameCaption = "Exchange Name";
constexpr const char* kExchangeNamePrompt = "Set the Exchange Name";
constexpr const char* kPairNameCaption = "Pair Name";
constexpr const char* kPairNamePrompt = "Set the Pair Name";
constexpr const char* kHopperNameCaption = "Hopper Name";
constexpr const char* kHopperNamePrompt = "Set the Name";

constexpr const char* kSideLabel = "Side";
constexpr const char* kAmountLabel = "Amount";
constexpr const char* kSideBuy = "Buy";
// The order buttons' captions, also the titles of their groups.
constexpr const char* kMarketOrder = "Market Order";
constexpr const char* kLimitOrder = "Limit Order";
constexpr const char* kSideSell = "Sell";

QString Q(const char* aText) { return QString::fromUtf8(aText); }
QString Q(const std::string& aText) { return QString::fromStdString(aText); }
std::string S(const QLineEdit* aEdit) { return aEdit->text().toStdString(); }

QLineEdit* AddField(QGridLayout* aGrid, int aRow, int aColumn, const char* aName, const char* aLabel,
                    const QString& aStart) {
  auto* edit = new QLineEdit(aStart);
  edit->setObjectName(Q(aName));
  auto* label = new QLabel(Q(aLabel));
  label->setBuddy(edit);
  aGrid->addWidget(label, aRow, aColumn);
  aGrid->addWidget(edit, aRow, aColumn + 1);
  return edit;
}

QPushButton* MakeButton(const char* aName, const char* aCaption) {
  auto* button = new QPushButton(Q(aCaption));
  button->setObjectName(Q(aName));
  return button;
}

QComboBox* MakeSide(const char* aName) {
  auto* box = new QComboBox;
  box->setObjectName(Q(aName));
  box->setEditable(false);
  box->addItem(Q(kSideBuy));
  box->addItem(Q(kSideSell));
  box->setCurrentIndex(0);
  return box;
}

QWidget* MakeTab(QTabWidget* aTabs, const char* aName, const char* aCaption) {
  auto* page = new QWidget;
  page->setObjectName(Q(aName));
  aTabs->addTab(page, Q(aCaption));
  return page;
}

// Buttons in rows of aPerRow, the rest of the tab left empty.
void PlaceButtons(QWidget* aTab, std::initializer_list<QPushButton*> aButtons, int aPerRow) {
  auto* outer = new QVBoxLayout(aTab);
  auto* grid = new QGridLayout;
  int i = 0;
  for (QPushButton* b : aButtons) {
    grid->addWidget(b, i / aPerRow, i % aPerRow);
    ++i;
  }
  for (int c = aPerRow; c < 6; ++c) grid->setColumnStretch(c, 1);
  outer->addLayout(grid);
  outer->addStretch(1);
}

TvynHTTPCTHOrderSide SideOf(const QComboBox* aBox) {
  return aBox->currentIndex() == 0 ? TvynHTTPCTHOrderSide::cthosBuy : TvynHTTPCTHOrderSide::cthosSell;
}

// The order amounts and prices: "." as the decimal separator whatever the
// user's locale.
long double NumberOf(const QLineEdit* aEdit) { return StrToFloat(S(aEdit)); }

// The path (and query) of a URL: what the status bar shows of a request.
std::string PathOf(const std::string& aURL) {
  const std::size_t scheme = aURL.find("://");
  const std::size_t path = aURL.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  return path == std::string::npos ? "/" : aURL.substr(path);
}

}  // namespace

// ---------------------------------------------------------------------------
// The window

TFRMCryptohopper::TFRMCryptohopper(QWidget* aParent) : QWidget(aParent) {
  setObjectName(QStringLiteral("FRMCryptohopper"));
  setWindowTitle(Q(kCaption));
  setFont(detail::WindowFont());

  // The window's stored values go over the class defaults; they are the same
  // values today, so the fields take their start texts from the options.
  cryptohopper = std::make_unique<TvynHTTP_Cryptohopper>();
  TvynHTTPCryptohopper_Options& o = cryptohopper->CryptohopperOptions();
  o.LogOptions.Enabled = false;
  o.Webhook.Enabled = false;
  o.Webhook.SSLOptions.VerifyCertificate = false;
  o.Webhook.SSLOptions.VerifyDepth = 0;
  o.Webhook.SSLOptions.Version = TwsTLSVersions::tls1_2;
  o.Webhook.SSLOptions.OpenSSL_Options.APIVersion = TwsOpenSSLAPI::oslAPI_1_0;
  o.Webhook.SSLOptions.OpenSSL_Options.LibPath = TwsOpenSSLLibPath::oslpNone;
  o.Webhook.SSLOptions.OpenSSL_Options.ECDHE = false;
  o.Webhook.SSLOptions.Port = 443;
  cryptohopper->OnWebhook = [this](TComponent* Sender, const std::string& aBody, const std::string& aSignature) {
    cryptohopperWebhook(Sender, aBody, aSignature);
  };
  cryptohopper->OnWebhookError = [this](TComponent*, const std::string& aMessage, bool aRunning) {
    cryptohopperWebhookError(aMessage, aRunning);
  };

  // Raised on the worker; the status bar is the UI thread's.
  cryptohopper->OnRequestDone = [this](TComponent*, const std::string& aMethod, const std::string& aURL,
                                       std::int32_t aStatusCode, std::int64_t aMilliseconds) {
    QMetaObject::invokeMethod(
        this, [=, this] { ShowRequestDone(aMethod, aURL, aStatusCode, aMilliseconds); }, Qt::QueuedConnection);
  };

  CreateControls();
  ConnectCommands();
  FStatusTimer = new QTimer(this);
  connect(FStatusTimer, &QTimer::timeout, this, [this] { UpdateStatus(); });
  FStatusTimer->start(kStatusIntervalMs);
  UpdateStatus();
  FWorker = std::make_unique<detail::CommandWorker>();

  resize(kClientWidth, kClientHeight);
  if (QScreen* screen = QGuiApplication::primaryScreen()) move(screen->availableGeometry().center() - rect().center());
}

TFRMCryptohopper::~TFRMCryptohopper() {
  // A request still out ends now, and the worker with it: nothing uses the
  // client any more once it is gone.
  if (FCommand) FCommand->Stop();
  FWorker.reset();
  // The client goes first, while the window is whole: a webhook that arrives
  // while it stops its receiver is still queued safely.
  cryptohopper.reset();
}

void TFRMCryptohopper::CreateControls() {
  const TvynHTTPCryptohopper_Options& o = cryptohopper->CryptohopperOptions();
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);

  // Settings panel
  pnlTop = new QWidget;
  pnlTop->setObjectName(QStringLiteral("pnlTop"));
  pnlTop->setFixedHeight(kTopHeight);
  auto* top = new QGridLayout(pnlTop);
  txtClientId = AddField(top, 0, 0, "txtClientId", "Client Id", {});
  txtClientSecret = AddField(top, 0, 2, "txtClientSecret", "Client Secret", {});
  txtClientSecret->setEchoMode(QLineEdit::Password);
  txtLocalIP = AddField(top, 1, 0, "txtLocalIP", "Local IP", Q(o.OAuth2.LocalIP));
  txtLocalPort = AddField(top, 1, 2, "txtLocalPort", "Local Port", QString::number(o.OAuth2.LocalPort));
  chkWebhook = new QCheckBox(QStringLiteral("Webhook"));
  chkWebhook->setObjectName(QStringLiteral("chkWebhook"));
  chkWebhook->setChecked(o.Webhook.Enabled);
  top->addWidget(chkWebhook, 2, 0);
  txtHost = AddField(top, 2, 2, "txtHost", "Host:", Q(o.Webhook.Host));
  txtPort = AddField(top, 2, 4, "txtPort", "Port:", QString::number(o.Webhook.Port));
  txtValidationCode = AddField(top, 2, 6, "txtValidationCode", "Validation Code:", Q(o.Webhook.ValidationCode));
  txtCertificate = AddField(top, 3, 2, "txtCertificate", "Certificate:", QStringLiteral("vyn.pem"));
  txtPassword = AddField(top, 3, 4, "txtPassword", "Password:", {});
  root->addWidget(pnlTop);

  // Command area
  pnlMethods = new QWidget;
  pnlMethods->setObjectName(QStringLiteral("pnlMethods"));
  pnlMethods->setFixedHeight(kMethodsHeight);
  auto* methods = new QVBoxLayout(pnlMethods);
  methods->setContentsMargins(4, 0, 4, 4);
  PageControl1 = new QTabWidget;
  PageControl1->setObjectName(QStringLiteral("PageControl1"));
  methods->addWidget(PageControl1);
  root->addWidget(pnlMethods);

  tabHopper = MakeTab(PageControl1, "tabHopper", "Hopper");
  btnGetHoppers = MakeButton("btnGetHoppers", "Get Hoppers");
  btnCreateHopper = MakeButton("btnCreateHopper", "Create Hopper");
  btnGetHopper = MakeButton("btnGetHopper", "Get Hopper");
  btnDeleteHopper = MakeButton("btnDeleteHopper", "Delete Hopper");
  btnEnableHopper = MakeButton("btnEnableHopper", "Enable Hopper");
  btnDisableHopper = MakeButton("btnDisableHopper", "Disable Hopper");
  btnEnablePaperTrading = MakeButton("btnEnablePaperTrading", "Enable PaperTrading");
  btnDisablePaperTrading = MakeButton("btnDisablePaperTrading", "Disable PaperTrading");
  PlaceButtons(tabHopper,
               {btnGetHoppers, btnCreateHopper, btnGetHopper, btnDeleteHopper, btnEnableHopper, btnDisableHopper,
                btnEnablePaperTrading, btnDisablePaperTrading},
               4);

  tabOrders = MakeTab(PageControl1, "tabOrders", "Orders");
  {
    auto* grid = new QGridLayout(tabOrders);
    txtHopperId = AddField(grid, 0, 0, "txtHopperId", kHopperIdCaption, QStringLiteral("0"));
    txtCoin = AddField(grid, 0, 2, "txtCoin", "Coin", {});
    auto* buttons = new QHBoxLayout;
    btnGetOpenOrders = MakeButton("btnGetOpenOrders", "Get Open Orders");
    btnDeleteOrder = MakeButton("btnDeleteOrder", "Delete Order");
    btnDeleteAllOrders = MakeButton("btnDeleteAllOrders", "Delete All Orders");
    btnGetOpenOrder = MakeButton("btnGetOpenOrder", "Get Open Order");
    btnCancelOrder = MakeButton("btnCancelOrder", "Cancel Order");
    for (QPushButton* b : {btnGetOpenOrders, btnDeleteOrder, btnDeleteAllOrders, btnGetOpenOrder, btnCancelOrder})
      buttons->addWidget(b);
    grid->addLayout(buttons, 1, 0, 1, 6);

    auto* market = new QGroupBox(Q(kMarketOrder));
    market->setObjectName(QStringLiteral("grpMarketOrder"));
    auto* m = new QGridLayout(market);
    cboMarketSide = MakeSide("cboMarketSide");
    auto* marketSideLabel = new QLabel(Q(kSideLabel));
    marketSideLabel->setBuddy(cboMarketSide);
    m->addWidget(marketSideLabel, 0, 0);
    m->addWidget(cboMarketSide, 0, 1);
    txtMarketOrderSize = AddField(m, 1, 0, "txtMarketOrderSize", kAmountLabel, Q(kStartOrderSize));
    cboPlaceMarketOrder = MakeButton("cboPlaceMarketOrder", kMarketOrder);
    m->addWidget(cboPlaceMarketOrder, 3, 1);
    grid->addWidget(market, 2, 0, 1, 3);

    auto* limit = new QGroupBox(Q(kLimitOrder));
    limit->setObjectName(QStringLiteral("grpLimitOrder"));
    auto* l = new QGridLayout(limit);
    cboLimitSide = MakeSide("cboLimitSide");
    auto* limitSideLabel = new QLabel(Q(kSideLabel));
    limitSideLabel->setBuddy(cboLimitSide);
    l->addWidget(limitSideLabel, 0, 0);
    l->addWidget(cboLimitSide, 0, 1);
    txtLimitOrderSize = AddField(l, 1, 0, "txtLimitOrderSize", kAmountLabel, Q(kStartOrderSize));
    txtLimitOrderPrice = AddField(l, 2, 0, "txtLimitOrderPrice", "Limit Price", QStringLiteral("100.00"));
    cboPlaceLimitOrder = MakeButton("cboPlaceLimitOrder", kLimitOrder);
    l->addWidget(cboPlaceLimitOrder, 3, 1);
    grid->addWidget(limit, 2, 3, 1, 3);
  }

  tabPosition = MakeTab(PageControl1, "tabPosition", "Position");
  btnGetPosition = MakeButton("btnGetPosition", "Get Position");
  PlaceButtons(tabPosition, {btnGetPosition}, 4);

  tabTrades = MakeTab(PageControl1, "tabTrades", "Trades");
  btnGetTradeHistory = MakeButton("btnGetTradeHistory", "Get Trade History");
  PlaceButtons(tabTrades, {btnGetTradeHistory}, 4);

  tabExchange = MakeTab(PageControl1, "tabExchange", "Exchange");
  btnGetExchange = MakeButton("btnGetExchange", "Get Exchange");
  btnGetAllTickers = MakeButton("btnGetAllTickers", "Get All Tickers");
  btnGetMarketTicker = MakeButton("btnGetMarketTicker", "Get Market Ticker");
  btnGetOrderBook = MakeButton("btnGetOrderBook", "Get Order Book");
  PlaceButtons(tabExchange, {btnGetExchange, btnGetAllTickers, btnGetMarketTicker, btnGetOrderBook}, 4);

  tabWebhooks = MakeTab(PageControl1, "tabWebhooks", "Webhooks");
  {
    auto* outer = new QVBoxLayout(tabWebhooks);
    auto* grid = new QGridLayout;
    txtWebhookURL = AddField(grid, 0, 0, "txtWebhookURL", "URL", Q(kWebhookURLExample));
    grid->setColumnStretch(1, 1);
    outer->addLayout(grid);
    auto* buttons = new QHBoxLayout;
    btnCreateWebhook = MakeButton("btnCreateWebhook", "Create Webhook");
    btnDeleteWebhook = MakeButton("btnDeleteWebhook", "Delete Webhook");
    buttons->addWidget(btnCreateWebhook);
    buttons->addWidget(btnDeleteWebhook);
    buttons->addStretch(1);
    outer->addLayout(buttons);
    outer->addStretch(1);
  }
  PageControl1->setCurrentWidget(tabHopper);

  CreateLogAndStatus(root);
}

void TFRMCryptohopper::CreateLogAndStatus(QVBoxLayout* aRoot) {
  // Log region: the Stop button and the JSON switch above the log.
  pnlBody = new QWidget;
  pnlBody->setObjectName(QStringLiteral("pnlBody"));
  auto* body = new QVBoxLayout(pnlBody);
  body->setContentsMargins(0, 0, 0, 0);
  auto* bar = new QHBoxLayout;
  bar->setContentsMargins(4, 0, 4, 0);
  btnStop = MakeButton("btnStop", kStopCaption);
  btnStop->setEnabled(false);
  bar->addWidget(btnStop);
  bar->addStretch(1);
  chkReadableJSON = new QCheckBox(Q(kReadableJSONCaption));
  chkReadableJSON->setObjectName(QStringLiteral("chkReadableJSON"));
  chkReadableJSON->setChecked(false);
  bar->addWidget(chkReadableJSON);
  body->addLayout(bar);
  memoLog = new QPlainTextEdit;
  memoLog->setObjectName(QStringLiteral("memoLog"));
  memoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  body->addWidget(memoLog);
  aRoot->addWidget(pnlBody, 1);

  StatusBar = new QStatusBar;
  StatusBar->setObjectName(QStringLiteral("StatusBar"));
  StatusBar->setSizeGripEnabled(false);
  const auto field = [this](const char* aName, const char* aText) {
    auto* label = new QLabel(Q(aText));
    label->setObjectName(Q(aName));
    StatusBar->addWidget(label, 1);
    return label;
  };
  lblToken = field("lblToken", kTokenNone);
  lblWebhook = field("lblWebhook", kWebhookOff);
  lblRequest = field("lblRequest", kRequestNone);
  aRoot->addWidget(StatusBar);
}

void TFRMCryptohopper::RunCommand(const std::function<void()>& aCommand) {
  // A command area disabled by a command in progress takes no clicks; this
  // guards the webhook box and calls from code alike.
  if (FCommand) return;
  try {
    aCommand();
  } catch (...) {
    if (FCommand) EndCommand();
    detail::ShowException(std::current_exception());
  }
}

void TFRMCryptohopper::BeginCommand() {
  FCommand = std::make_shared<TIdConnectStop>();
  pnlMethods->setEnabled(false);
  chkWebhook->setEnabled(false);
  pnlMethods->setCursor(Qt::WaitCursor);
  btnStop->setEnabled(true);
  lblRequest->setText(Q(kRequestRunning));
}

void TFRMCryptohopper::EndCommand() {
  FCommand.reset();
  pnlMethods->unsetCursor();
  pnlMethods->setEnabled(true);
  chkWebhook->setEnabled(true);
  btnStop->setEnabled(false);
  UpdateStatus();
}

void TFRMCryptohopper::StopCommand() {
  if (!FCommand || FCommand->Stopped()) return;
  FCommand->Stop();
  btnStop->setEnabled(false);
  lblRequest->setText(Q(kRequestStopping));
}

void TFRMCryptohopper::RunOnWorker(std::function<std::string()> aWork, Then aThen, std::function<void()> aFailed) {
  std::shared_ptr<TIdConnectStop> stop = FCommand;
  FWorker->Post([this, stop, aWork = std::move(aWork), aThen = std::move(aThen), aFailed = std::move(aFailed)] {
    std::string result;
    std::exception_ptr error;
    {
      TIdConnectStop::Scope scope(*stop);
      try {
        result = aWork();
      } catch (...) {
        error = std::current_exception();
      }
    }
    // Queued calls run in the order they were made: answers land in click
    // order, after the request's status.
    QMetaObject::invokeMethod(
        this, [=, this] { WorkerDone(stop, result, error, aThen, aFailed); }, Qt::QueuedConnection);
  });
}

void TFRMCryptohopper::WorkerDone(const std::shared_ptr<TIdConnectStop>& aStop, const std::string& aResult,
                                  std::exception_ptr aError, const Then& aThen, const std::function<void()>& aFailed) {
  if (aStop != FCommand) return;
  // A stopped command shows neither its answer nor the error the shut
  // connection caused.
  if (aStop->Stopped()) {
    EndCommand();
    lblRequest->setText(Q(kRequestStopped));
    return;
  }
  try {
    if (aError) std::rethrow_exception(aError);
    aThen(aResult);
  } catch (...) {
    // The area is usable again, and the cursor normal, before the box shows.
    if (FCommand == aStop) EndCommand();
    if (aFailed) aFailed();
    detail::ShowException(std::current_exception());
  }
}

void TFRMCryptohopper::Request(std::function<std::string(TvynHTTP_Cryptohopper&)> aOperation) {
  TvynHTTP_Cryptohopper& client = GetCryptohopper();
  BeginCommand();
  RunOnWorker([&client, aOperation = std::move(aOperation)] { return aOperation(client); },
              [this](const std::string& aAnswer) {
                EndCommand();
                DoLog(aAnswer);
              });
}

void TFRMCryptohopper::ConnectCommands() {
  const auto on = [this](QPushButton* aButton, std::function<void()> aCommand) {
    connect(aButton, &QPushButton::clicked, this, [this, aCommand] { RunCommand(aCommand); });
  };
  using C = TvynHTTP_Cryptohopper;

  on(btnGetHoppers, [this] { Request([](C& c) { return c.GetHoppers(); }); });
  on(btnCreateHopper, [this] {
    const std::string name = Prompt(kHopperNameCaption, kHopperNamePrompt);
    // The name is data: a quote or backslash in it must not break the JSON.
    const std::string body = "{\"name\":\"" + detail::JSONEscape(name) + "\"}";
    Request([body](C& c) { return c.CreateHopper(body); });
  });
  on(btnGetHopper, [this] {
    const std::string id = GetHopperId();
    Request([id](C& c) { return c.GetHopper(id); });
  });
  on(btnDeleteHopper, [this] {
    const std::string id = GetHopperId();
    Request([id](C& c) { return c.DeleteHopper(id); });
  });
  on(btnEnableHopper, [this] { ToggleHopper(false, 1); });
  on(btnDisableHopper, [this] { ToggleHopper(false, 0); });
  on(btnEnablePaperTrading, [this] { ToggleHopper(true, 1); });
  on(btnDisablePaperTrading, [this] { ToggleHopper(true, 0); });

  on(btnGetOpenOrders, [this] {
    const std::string id = S(txtHopperId);
    Request([id](C& c) { return c.GetOpenOrders(id); });
  });
  on(btnDeleteOrder, [this] {
    const std::string orderId = GetOrderId();
    const std::string id = S(txtHopperId);
    Request([id, orderId](C& c) { return c.DeleteOrder(id, orderId); });
  });
  on(btnDeleteAllOrders, [this] {
    const std::string id = S(txtHopperId);
    Request([id](C& c) { return c.DeleteAllOrders(id); });
  });
  on(btnGetOpenOrder, [this] {
    const std::string orderId = GetOrderId();
    const std::string id = S(txtHopperId);
    Request([id, orderId](C& c) { return c.GetOpenOrder(id, orderId); });
  });
  on(btnCancelOrder, [this] {
    const std::string orderId = GetOrderId();
    const std::string id = S(txtHopperId);
    Request([id, orderId](C& c) { return c.CancelOrder(id, orderId); });
  });
  on(cboPlaceMarketOrder, [this] {
    const TvynHTTPCTHOrderSide side = SideOf(cboMarketSide);
    const std::string coin = S(txtCoin);
    const long double amount = NumberOf(txtMarketOrderSize);
    const std::string id = S(txtHopperId);
    Request([=](C& c) { return c.PlaceMarketOrder(id, side, coin, amount); });
  });
  on(cboPlaceLimitOrder, [this] {
    const TvynHTTPCTHOrderSide side = SideOf(cboLimitSide);
    const std::string coin = S(txtCoin);
    const long double amount = NumberOf(txtLimitOrderSize);
    const long double price = NumberOf(txtLimitOrderPrice);
    const std::string id = S(txtHopperId);
    Request([=](C& c) { return c.PlaceLimitOrder(id, side, coin, amount, price); });
  });

  on(btnGetPosition, [this] {
    const std::string id = GetHopperId();
    Request([id](C& c) { return c.GetPosition(id); });
  });
  on(btnGetTradeHistory, [this] {
    const std::string id = GetHopperId();
    Request([id](C& c) { return c.GetTradeHistory(id); });
  });

  on(btnGetExchange, [this] { Request([](C& c) { return c.GetExchange(); }); });
  on(btnGetAllTickers, [this] {
    const std::string exchange = GetExchangeName();
    Request([exchange](C& c) { return c.GetAllTickers(exchange); });
  });
  on(btnGetMarketTicker, [this] {
    const std::string exchange = GetExchangeName();
    const std::string pair = GetPairName();
    Request([exchange, pair](C& c) { return c.GetMarketTicker(exchange, pair); });
  });
  on(btnGetOrderBook, [this] {
    const std::string exchange = GetExchangeName();
    const std::string pair = GetPairName();
    Request([exchange, pair](C& c) { return c.GetOrderBook(exchange, pair, kOrderBookDepth); });
  });

  on(btnCreateWebhook, [this] {
    const std::string url = S(txtWebhookURL);
    Request([url](C& c) { return c.CreateWebhook(url, std::string()); });
  });
  on(btnDeleteWebhook, [this] {
    const std::string url = S(txtWebhookURL);
    Request([url](C& c) { return c.DeleteWebhook(url); });
  });

  // clicked, not toggled: unchecking the box after a failed start must not
  // run the command again.
  connect(chkWebhook, &QCheckBox::clicked, this, [this] { RunCommand([this] { chkWebhookClick(); }); });
  connect(btnStop, &QPushButton::clicked, this, [this] { StopCommand(); });
  connect(chkReadableJSON, &QCheckBox::toggled, this, [this] { RenderLog(); });
}

void TFRMCryptohopper::chkWebhookClick() {
  const bool start = chkWebhook->isChecked();
  FWebhookError.clear();
  TvynHTTP_Cryptohopper* client;
  try {
    client = &GetCryptohopper();
  } catch (...) {
    // A receiver that did not start is not running: the box says so.
    if (start) chkWebhook->setChecked(false);
    throw;
  }
  const TvynHTTPCryptohopperWebhook_Options& o = client->CryptohopperOptions().Webhook;
  if (start) FWebhookAddress = o.Host + ":" + std::to_string(o.Port);
  BeginCommand();
  RunOnWorker(
      [client, start] {
        if (start)
          client->StartWebhook();
        else
          client->StopWebhook();
        return std::string();
      },
      [this](const std::string&) { EndCommand(); },
      [this, start] {
        if (start) chkWebhook->setChecked(false);
      });
}

void TFRMCryptohopper::ToggleHopper(bool aPaperTrading, std::int32_t aValue) {
  // The command owns the record on every path; the worker fills it in.
  auto hopper = std::make_shared<TvynHTTPCTHopper>();
  const std::string id = GetHopperId();
  TvynHTTP_Cryptohopper& client = GetCryptohopper();
  BeginCommand();
  // The read and the update run on the same worker; between them the UI
  // thread sets the member and copies the fields again.
  RunOnWorker([&client, hopper, id] { return client.GetHopper(id, *hopper) ? std::string("1") : std::string(); },
              [this, &client, hopper, id, aPaperTrading, aValue](const std::string& aFound) {
                if (aFound.empty()) {
                  EndCommand();
                  return;
                }
                (aPaperTrading ? hopper->Paper_Trading : hopper->Enabled) = aValue;
                GetCryptohopper();
                RunOnWorker([&client, hopper, id] { return client.UpdateHopper(id, *hopper); },
                            [this](const std::string& aAnswer) {
                              EndCommand();
                              DoLog(aAnswer);
                            });
              });
}

void TFRMCryptohopper::ShowRequestDone(const std::string& aMethod, const std::string& aURL, std::int32_t aStatusCode,
                                       std::int64_t aMilliseconds) {
  const std::string status = aStatusCode > 0 ? std::to_string(aStatusCode) : std::string(kNoAnswer);
  lblRequest->setText(QString::asprintf(kRequestDone, aMethod.c_str(), PathOf(aURL).c_str(), status.c_str(),
                                        static_cast<long long>(aMilliseconds)));
}

void TFRMCryptohopper::UpdateStatus() {
  const TDateTime expires = cryptohopper->TokenExpires();
  if (expires == 0) {
    lblToken->setText(Q(kTokenNone));
  } else {
    int h, m, sec, ms;
    DecodeTime(expires, h, m, sec, ms);
    lblToken->setText(QString::asprintf(kTokenValidUntil, h, m, sec));
  }
  // The receiver is only looked at between commands, when the worker does
  // not touch it.
  if (FCommand) return;
  if (cryptohopper->WebhookActive())
    lblWebhook->setText(Q(kWebhookListening + FWebhookAddress));
  else if (!FWebhookError.empty())
    lblWebhook->setText(Q(kWebhookFailed + FWebhookError));
  else
    lblWebhook->setText(Q(kWebhookOff));
}

namespace {
// One entry as the log shows it; CR LF and lone CR break lines like LF does.
QString LogEntry(const std::string& aText, bool aReadable) {
  std::optional<std::string> readable;
  if (aReadable) readable = detail::ReadableJSON(aText);
  QString text = Q(readable ? *readable : aText);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QChar('\r'), QChar('\n'));
  return text;
}
}  // namespace

void TFRMCryptohopper::DoLog(const std::string& aText) {
  FLogEntries.push_back(aText);
  memoLog->appendPlainText(LogEntry(aText, chkReadableJSON->isChecked()));
}

void TFRMCryptohopper::RenderLog() {
  const bool readable = chkReadableJSON->isChecked();
  memoLog->clear();
  for (const std::string& entry : FLogEntries) memoLog->appendPlainText(LogEntry(entry, readable));
}

TvynHTTP_Cryptohopper& TFRMCryptohopper::GetCryptohopper() {
  TvynHTTPCryptohopper_Options& o = cryptohopper->CryptohopperOptions();
  o.OAuth2.ClientId = S(txtClientId);
  o.OAuth2.ClientSecret = S(txtClientSecret);
  o.OAuth2.LocalIP = S(txtLocalIP);
  o.OAuth2.LocalPort = StrToInt(S(txtLocalPort));
  o.Webhook.Enabled = chkWebhook->isChecked();
  o.Webhook.Host = S(txtHost);
  o.Webhook.Port = StrToInt(S(txtPort));
  o.Webhook.ValidationCode = S(txtValidationCode);
  const std::string certificate = S(txtCertificate);
  o.Webhook.SSLOptions.CertFile = certificate;
  o.Webhook.SSLOptions.KeyFile = certificate;
  o.Webhook.SSLOptions.RootCertFile = certificate;
  o.Webhook.SSLOptions.Password = S(txtPassword);
  return *cryptohopper;
}

std::string TFRMCryptohopper::Prompt(const char* aCaption, const char* aPrompt) {
  bool ok = false;
  const QString text = QInputDialog::getText(this, Q(aCaption), Q(aPrompt), QLineEdit::Normal, QString(), &ok);
  return ok ? text.toStdString() : std::string();
}

std::string TFRMCryptohopper::GetHopperId() { return Prompt(kHopperIdCaption, kHopperIdPrompt); }
std::string TFRMCryptohopper::GetOrderId() { return Prompt(kOrderIdCaption, kOrderIdPrompt); }
std::string TFRMCryptohopper::GetExchangeName() { return Prompt(kExchangeNameCaption, kExchangeNamePrompt); }
std::string TFRMCryptohopper::GetPairName() { return Prompt(kPairNameCaption, kPairNamePrompt); }

void TFRMCryptohopper::cryptohopperWebhook(TComponent*, const std::string& aBody, const std::string&) {
  // Raised on a connection thread: only the UI thread touches the log, and
  // a body that arrives while the window closes is dropped.
  QPointer<TFRMCryptohopper> self(this);
  QueueOnUIThread([self, aBody] {
    if (self) self->DoLog(aBody);
  });
}

void TFRMCryptohopper::cryptohopperWebhookError(const std::string& aMessage, bool aRunning) {
  // The receiver reports from its own threads; the user learns of it on the
  // UI thread, and a receiver that does not run leaves the box unchecked.
  QPointer<TFRMCryptohopper> self(this);
  QueueOnUIThread([self, aMessage, aRunning] {
    if (!self) return;
    if (!aRunning) {
      self->chkWebhook->setChecked(false);
      self->FWebhookError = aMessage;
      self->UpdateStatus();
    }
    detail::ShowException(Exception(aRunning ? aMessage : std::string(kWebhookNotRunning) + aMessage));
  });
}

// ---------------------------------------------------------------------------
// Application, error display, dispatcher

namespace detail {

CommandWorker::CommandWorker() : FThread([this] { Run(); }) {}

CommandWorker::~CommandWorker() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FEnding = true;
    FJobs.clear();
  }
  FWake.notify_all();
  FThread.join();
}

void CommandWorker::Post(std::function<void()> aJob) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FJobs.push_back(std::move(aJob));
  }
  FWake.notify_all();
}

void CommandWorker::Run() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(FLock);
      FWake.wait(lock, [this] { return FEnding || !FJobs.empty(); });
      if (FEnding) return;
      job = std::move(FJobs.front());
      FJobs.pop_front();
    }
    job();
  }
}

namespace {
// Writes one JSON text again, indented, checking it as it goes: the tokens
// are copied as they stand, only the white space between them changes.
class JSONIndenter {
public:
  explicit JSONIndenter(std::string_view aText) : FText(aText) {}

  std::optional<std::string> Run() {
    State state = State::Value;
    for (;;) {
      SkipSpace();
      if (FPos == FText.size()) {
        if (state == State::AfterValue && FOpen.empty()) return FOut;
        return std::nullopt;
      }
      const char c = FText[FPos];
      switch (state) {
        case State::Value:
        case State::ValueOrClose:
        case State::KeyOrClose:
          if ((state == State::ValueOrClose && c == ']') || (state == State::KeyOrClose && c == '}')) {
            Close(c, false);
            state = State::AfterValue;
            break;
          }
          if (state != State::Value) NewLine();
          if (state == State::KeyOrClose) {
            if (!String()) return std::nullopt;
            state = State::Colon;
            break;
          }
          if (!Value(state)) return std::nullopt;
          break;
        case State::Key:
          if (!String()) return std::nullopt;
          state = State::Colon;
          break;
        case State::Colon:
          if (c != ':') return std::nullopt;
          ++FPos;
          FOut += ": ";
          state = State::Value;
          break;
        case State::AfterValue:
          if (FOpen.empty()) return std::nullopt;
          if (c == ',') {
            ++FPos;
            FOut += ',';
            NewLine();
            state = FOpen.back() == '{' ? State::Key : State::Value;
          } else if (c == (FOpen.back() == '{' ? '}' : ']')) {
            Close(c, true);
          } else {
            return std::nullopt;
          }
          break;
      }
    }
  }

private:
  enum class State { Value, ValueOrClose, KeyOrClose, Key, Colon, AfterValue };
  static constexpr std::size_t kMaxDepth = 512;
  static constexpr const char* kIndent = "  ";

  void SkipSpace() {
    while (FPos < FText.size() &&
           (FText[FPos] == ' ' || FText[FPos] == '\t' || FText[FPos] == '\n' || FText[FPos] == '\r'))
      ++FPos;
  }
  void NewLine() {
    FOut += '\n';
    for (std::size_t i = 0; i < FOpen.size(); ++i) FOut += kIndent;
  }
  void Close(char aClose, bool aHadItems) {
    ++FPos;
    FOpen.pop_back();
    if (aHadItems) NewLine();
    FOut += aClose;
  }
  // One value; an object or array only opens here.
  bool Value(State& aState) {
    const char c = FText[FPos];
    if (c == '{' || c == '[') {
      if (FOpen.size() >= kMaxDepth) return false;
      ++FPos;
      FOpen.push_back(c);
      FOut += c;
      aState = c == '{' ? State::KeyOrClose : State::ValueOrClose;
      return true;
    }
    aState = State::AfterValue;
    if (c == '"') return String();
    if (c == '-' || (c >= '0' && c <= '9')) return Number();
    for (std::string_view word : {"true", "false", "null"})
      if (FText.substr(FPos, word.size()) == word) return Copy(FPos + word.size());
    return false;
  }
  bool Copy(std::size_t aEnd) {
    FOut.append(FText.substr(FPos, aEnd - FPos));
    FPos = aEnd;
    return true;
  }
  bool String() {
    if (FText[FPos] != '"') return false;
    std::size_t i = FPos + 1;
    while (i < FText.size() && FText[i] != '"') {
      const auto c = static_cast<unsigned char>(FText[i]);
      if (c < 0x20) return false;
      if (c == '\\') {
        if (++i == FText.size()) return false;
        const char e = FText[i];
        if (e == 'u') {
          for (int k = 1; k <= 4; ++k)
            if (i + k >= FText.size() || !std::isxdigit(static_cast<unsigned char>(FText[i + k]))) return false;
          i += 4;
        } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
          return false;
        }
      }
      ++i;
    }
    if (i == FText.size()) return false;
    return Copy(i + 1);
  }
  bool Number() {
    std::size_t i = FPos;
    const auto digits = [&] {
      const std::size_t from = i;
      while (i < FText.size() && FText[i] >= '0' && FText[i] <= '9') ++i;
      return i > from;
    };
    if (FText[i] == '-') ++i;
    if (i < FText.size() && FText[i] == '0')
      ++i;
    else if (!digits())
      return false;
    if (i < FText.size() && FText[i] == '.') {
      ++i;
      if (!digits()) return false;
    }
    if (i < FText.size() && (FText[i] == 'e' || FText[i] == 'E')) {
      ++i;
      if (i < FText.size() && (FText[i] == '+' || FText[i] == '-')) ++i;
      if (!digits()) return false;
    }
    return Copy(i);
  }

  std::string_view FText;
  std::size_t FPos = 0;
  std::string FOut;
  std::string FOpen;  // the brackets open, innermost last
};
}  // namespace

std::optional<std::string> ReadableJSON(std::string_view aText) { return JSONIndenter(aText).Run(); }

std::string ErrorBoxText(const std::string& aMessage) {
  if (!aMessage.empty() && static_cast<unsigned char>(aMessage.back()) > '.') return aMessage + ".";
  return aMessage;
}

void ShowException(const std::exception& aError) {
  const auto* e = dynamic_cast<const Exception*>(&aError);
  const std::string message = e ? e->Message() : std::string(aError.what());
  const QString title = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
  QMessageBox box(QMessageBox::Critical, title, Q(ErrorBoxText(message)), QMessageBox::Ok,
                  QApplication::activeWindow());
  box.exec();
}

void ShowException(std::exception_ptr aError) {
  try {
    std::rethrow_exception(aError);
  } catch (const std::exception& e) {
    ShowException(e);
  } catch (...) {
    ShowException(Exception(kUnknownError));
  }
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Application::notify(QObject* aReceiver, QEvent* aEvent) {
  try {
    return QApplication::notify(aReceiver, aEvent);
  } catch (...) {
    ShowException(std::current_exception());
    return false;
  }
}

void QtUIDispatcher::Queue(std::function<void()> aProc) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) {
    aProc();
    return;
  }
  QMetaObject::invokeMethod(app, std::move(aProc), Qt::QueuedConnection);
}

void QtUIDispatcher::Synchronize(std::function<void()> aProc) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread()) {
    aProc();
    return;
  }
  // The error, if any, goes back to the waiting thread.
  std::exception_ptr error;
  QMetaObject::invokeMethod(
      app,
      [&] {
        try {
          aProc();
        } catch (...) {
          error = std::current_exception();
        }
      },
      Qt::BlockingQueuedConnection);
  if (error) std::rethrow_exception(error);
}

QFont WindowFont() {
  if (QFontDatabase::families().contains(Q(kFontName))) return QFont(Q(kFontName), kFontPoints);
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPointSize(kFontPoints);
  return font;
}

}  // namespace detail
