#include "app/FCryptohopper.h"

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
#include <QTabWidget>
#include <QThread>
#include <QVBoxLayout>

#include "json/vynJSON.h"
#include "platform/SysUtils.h"

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

// The wait cursor for as long as a request runs; gone again before an error
// box appears.
class WaitCursor {
public:
  WaitCursor() { QApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

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

  CreateControls();
  ConnectCommands();

  resize(kClientWidth, kClientHeight);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

TFRMCryptohopper::~TFRMCryptohopper() {
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

  // Log region
  pnlBody = new QWidget;
  pnlBody->setObjectName(QStringLiteral("pnlBody"));
  auto* body = new QVBoxLayout(pnlBody);
  body->setContentsMargins(0, 0, 0, 0);
  memoLog = new QPlainTextEdit;
  memoLog->setObjectName(QStringLiteral("memoLog"));
  memoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  body->addWidget(memoLog);
  root->addWidget(pnlBody, 1);
}

void TFRMCryptohopper::RunCommand(const std::function<void()>& aCommand) {
  try {
    aCommand();
  } catch (...) {
    detail::ShowException(std::current_exception());
  }
}

void TFRMCryptohopper::ConnectCommands() {
  const auto on = [this](QPushButton* aButton, std::function<void()> aCommand) {
    connect(aButton, &QPushButton::clicked, this, [this, aCommand] { RunCommand(aCommand); });
  };

  on(btnGetHoppers, [this] {
    WaitCursor busy;
    DoLog(GetCryptohopper().GetHoppers());
  });
  on(btnCreateHopper, [this] {
    const std::string name = Prompt(kHopperNameCaption, kHopperNamePrompt);
    // The name is data: a quote or backslash in it must not break the JSON.
    const std::string body = "{\"name\":\"" + detail::JSONEscape(name) + "\"}";
    WaitCursor busy;
    DoLog(GetCryptohopper().CreateHopper(body));
  });
  on(btnGetHopper, [this] {
    const std::string id = GetHopperId();
    WaitCursor busy;
    DoLog(GetCryptohopper().GetHopper(id));
  });
  on(btnDeleteHopper, [this] {
    const std::string id = GetHopperId();
    WaitCursor busy;
    DoLog(GetCryptohopper().DeleteHopper(id));
  });
  on(btnEnableHopper, [this] { ToggleHopper(false, 1); });
  on(btnDisableHopper, [this] { ToggleHopper(false, 0); });
  on(btnEnablePaperTrading, [this] { ToggleHopper(true, 1); });
  on(btnDisablePaperTrading, [this] { ToggleHopper(true, 0); });

  on(btnGetOpenOrders, [this] {
    const std::string id = S(txtHopperId);
    WaitCursor busy;
    DoLog(GetCryptohopper().GetOpenOrders(id));
  });
  on(btnDeleteOrder, [this] {
    const std::string orderId = GetOrderId();
    const std::string id = S(txtHopperId);
    WaitCursor busy;
    DoLog(GetCryptohopper().DeleteOrder(id, orderId));
  });
  on(btnDeleteAllOrders, [this] {
    const std::string id = S(txtHopperId);
    WaitCursor busy;
    DoLog(GetCryptohopper().DeleteAllOrders(id));
  });
  on(btnGetOpenOrder, [this] {
    const std::string orderId = GetOrderId();
    const std::string id = S(txtHopperId);
    WaitCursor busy;
    DoLog(GetCryptohopper().GetOpenOrder(id, orderId));
  });
  on(btnCancelOrder, [this] {
    const std::string orderId = GetOrderId();
    const std::string id = S(txtHopperId);
    WaitCursor busy;
    DoLog(GetCryptohopper().CancelOrder(id, orderId));
  });
  on(cboPlaceMarketOrder, [this] {
    const TvynHTTPCTHOrderSide side = SideOf(cboMarketSide);
    const std::string coin = S(txtCoin);
    const long double amount = NumberOf(txtMarketOrderSize);
    const std::string id = S(txtHopperId);
    WaitCursor busy;
    DoLog(GetCryptohopper().PlaceMarketOrder(id, side, coin, amount));
  });
  on(cboPlaceLimitOrder, [this] {
    const TvynHTTPCTHOrderSide side = SideOf(cboLimitSide);
    const std::string coin = S(txtCoin);
    const long double amount = NumberOf(txtLimitOrderSize);
    const long double price = NumberOf(txtLimitOrderPrice);
    const std::string id = S(txtHopperId);
    WaitCursor busy;
    DoLog(GetCryptohopper().PlaceLimitOrder(id, side, coin, amount, price));
  });

  on(btnGetPosition, [this] {
    const std::string id = GetHopperId();
    WaitCursor busy;
    DoLog(GetCryptohopper().GetPosition(id));
  });
  on(btnGetTradeHistory, [this] {
    const std::string id = GetHopperId();
    WaitCursor busy;
    DoLog(GetCryptohopper().GetTradeHistory(id));
  });

  on(btnGetExchange, [this] {
    WaitCursor busy;
    DoLog(GetCryptohopper().GetExchange());
  });
  on(btnGetAllTickers, [this] {
    const std::string exchange = GetExchangeName();
    WaitCursor busy;
    DoLog(GetCryptohopper().GetAllTickers(exchange));
  });
  on(btnGetMarketTicker, [this] {
    const std::string exchange = GetExchangeName();
    const std::string pair = GetPairName();
    WaitCursor busy;
    DoLog(GetCryptohopper().GetMarketTicker(exchange, pair));
  });
  on(btnGetOrderBook, [this] {
    const std::string exchange = GetExchangeName();
    const std::string pair = GetPairName();
    WaitCursor busy;
    DoLog(GetCryptohopper().GetOrderBook(exchange, pair, kOrderBookDepth));
  });

  on(btnCreateWebhook, [this] {
    const std::string url = S(txtWebhookURL);
    WaitCursor busy;
    DoLog(GetCryptohopper().CreateWebhook(url, std::string()));
  });
  on(btnDeleteWebhook, [this] {
    const std::string url = S(txtWebhookURL);
    WaitCursor busy;
    DoLog(GetCryptohopper().DeleteWebhook(url));
  });

  // clicked, not toggled: unchecking the box after a failed start must not
  // run the command again.
  connect(chkWebhook, &QCheckBox::clicked, this, [this] { RunCommand([this] { chkWebhookClick(); }); });
}

void TFRMCryptohopper::chkWebhookClick() {
  const bool start = chkWebhook->isChecked();
  try {
    WaitCursor busy;
    TvynHTTP_Cryptohopper& client = GetCryptohopper();
    if (start)
      client.StartWebhook();
    else
      client.StopWebhook();
  } catch (...) {
    // A receiver that did not start is not running: the box says so.
    if (start) chkWebhook->setChecked(false);
    throw;
  }
}

void TFRMCryptohopper::ToggleHopper(bool aPaperTrading, std::int32_t aValue) {
  TvynHTTPCTHopper hopper;
  const std::string id = GetHopperId();
  WaitCursor busy;
  if (!GetCryptohopper().GetHopper(id, hopper)) return;
  (aPaperTrading ? hopper.Paper_Trading : hopper.Enabled) = aValue;
  DoLog(GetCryptohopper().UpdateHopper(id, hopper));
}

void TFRMCryptohopper::DoLog(const std::string& aText) {
  // One entry; CR LF and lone CR break lines like LF does.
  QString text = Q(aText);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QChar('\r'), QChar('\n'));
  memoLog->appendPlainText(text);
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
    if (!aRunning) self->chkWebhook->setChecked(false);
    detail::ShowException(Exception(aRunning ? aMessage : std::string(kWebhookNotRunning) + aMessage));
  });
}

// ---------------------------------------------------------------------------
// Application, error display, dispatcher

namespace detail {

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
