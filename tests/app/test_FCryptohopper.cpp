#include "app/FCryptohopper.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTest>
#include <QTimer>

#include <clocale>
#include <cstdlib>
#include <deque>
#include <atomic>
#include <thread>

#include "tests/app/window_script.h"
#include "tests/cryptohopper/fake_oauth2.h"
#include "tests/http_api/fake_http.h"

namespace {

constexpr const char* kHost = "https://127.0.0.1:8443";
constexpr const char* kBase = "https://127.0.0.1:8443/v1";

class WindowTest : public ::testing::Test {
protected:
  RecordingHTTP http;
  OAuth2Script oauth;
  InstalledOAuth2 installed{oauth};
  TFRMCryptohopper w;
  ModalScript modals;

  void SetUp() override {
    w.cryptohopper->SetAPIHost(kHost);
    w.show();
  }

  // Clicks the control the way a user does: its tab brought to the front,
  // then the mouse.
  void Click(QAbstractButton* aButton) {
    for (QWidget* p = aButton; p; p = p->parentWidget())
      if (w.PageControl1->indexOf(p) >= 0) w.PageControl1->setCurrentWidget(p);
    ASSERT_TRUE(aButton->isVisible()) << aButton->objectName().toStdString();
    QTest::mouseClick(aButton, Qt::LeftButton);
  }

  std::string Log() const { return w.memoLog->toPlainText().toStdString(); }

  std::vector<Seen> Errors() const {
    std::vector<Seen> out;
    for (const Seen& s : modals.Windows)
      if (s.Kind != "prompt") out.push_back(s);
    return out;
  }

  // The only error box shown, with its caption and icon checked.
  std::string OnlyError() const {
    const std::vector<Seen> errors = Errors();
    EXPECT_EQ(errors.size(), 1u);
    if (errors.size() != 1) return "(" + std::to_string(errors.size()) + " error boxes)";
    EXPECT_EQ(errors[0].Kind, "error");
    EXPECT_EQ(errors[0].Title, QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName().toStdString());
    EXPECT_EQ(errors[0].Icon, QMessageBox::Critical);
    EXPECT_FALSE(errors[0].WaitCursor) << "the wait cursor stays over the error box";
    return errors[0].Text;
  }
};

// ---------------------------------------------------------------------------
// Controls

TEST_F(WindowTest, ControlsCarryTheirLabelsStartValuesAndTabs) {
  EXPECT_EQ(w.windowTitle().toStdString(), "Cryptohopper - Corvane");
  EXPECT_EQ(w.size(), QSize(823, 798));
  EXPECT_EQ(w.pnlTop->height(), 126);
  EXPECT_EQ(w.pnlMethods->height(), 245);
  EXPECT_EQ(w.font().pointSize(), 8);
  if (QFontDatabase::families().contains("Tahoma")) {
    EXPECT_EQ(w.font().family().toStdString(), "Tahoma");
  }
  EXPECT_TRUE(Log().empty());

  struct Field {
    const char* name;
    const char* label;
    const char* start;
  };
  const Field fields[] = {
      {"txtClientId", "Client Id", ""},
      {"txtClientSecret", "Client Secret", ""},
      {"txtLocalIP", "Local IP", "127.0.0.1"},
      {"txtLocalPort", "Local Port", "8080"},
      {"txtHost", "Host:", "127.0.0.1"},
      {"txtPort", "Port:", "443"},
      {"txtValidationCode", "Validation Code:", "9632"},
      {"txtCertificate", "Certificate:", "vyn.pem"},
      {"txtPassword", "Password:", ""},
      {"txtHopperId", "Hopper Id", "0"},
      {"txtCoin", "Coin", ""},
      {"txtMarketOrderSize", "Amount", "0.002"},
      {"txtLimitOrderSize", "Amount", "0.002"},
      {"txtLimitOrderPrice", "Limit Price", "100.00"},
      {"txtWebhookURL", "URL", nullptr},
  };
  for (const Field& f : fields) {
    auto* edit = w.findChild<QLineEdit*>(f.name);
    ASSERT_NE(edit, nullptr) << f.name;
    if (f.start) {
      EXPECT_EQ(edit->text().toStdString(), f.start) << f.name;
    }
    std::string label;
    for (QLabel* l : w.findChildren<QLabel*>())
      if (l->buddy() == edit) label = l->text().toStdString();
    EXPECT_EQ(label, f.label) << f.name;
  }
  EXPECT_EQ(w.txtClientSecret->echoMode(), QLineEdit::Password);
  EXPECT_EQ(w.txtPassword->echoMode(), QLineEdit::Normal);
  EXPECT_TRUE(w.txtWebhookURL->text().startsWith("https://"));
  EXPECT_EQ(w.chkWebhook->text().toStdString(), "Webhook");
  EXPECT_FALSE(w.chkWebhook->isChecked());

  for (QComboBox* side : {w.cboMarketSide, w.cboLimitSide}) {
    EXPECT_FALSE(side->isEditable());
    ASSERT_EQ(side->count(), 2);
    EXPECT_EQ(side->itemText(0).toStdString(), "Buy");
    EXPECT_EQ(side->itemText(1).toStdString(), "Sell");
    EXPECT_EQ(side->currentIndex(), 0);
  }

  const std::vector<std::pair<const char*, const char*>> tabs = {
      {"tabHopper", "Hopper"}, {"tabOrders", "Orders"},     {"tabPosition", "Position"},
      {"tabTrades", "Trades"}, {"tabExchange", "Exchange"}, {"tabWebhooks", "Webhooks"}};
  ASSERT_EQ(w.PageControl1->count(), static_cast<int>(tabs.size()));
  for (int i = 0; i < w.PageControl1->count(); ++i) {
    EXPECT_EQ(w.PageControl1->widget(i)->objectName().toStdString(), tabs[i].first);
    EXPECT_EQ(w.PageControl1->tabText(i).toStdString(), tabs[i].second);
  }
  EXPECT_EQ(w.PageControl1->currentIndex(), 0);
}

// ---------------------------------------------------------------------------
// Each button: prompts, request, log

class ButtonTest : public WindowTest, public ::testing::WithParamInterface<ButtonCase> {};

TEST_P(ButtonTest, ReachesTheClientAndLogsTheAnswer) {
  const ButtonCase& c = GetParam();
  w.txtHopperId->setText("12");
  w.txtCoin->setText("BTC");
  w.txtWebhookURL->setText("https://h.example/w");
  http.Response = std::string("{\"answer\":\"") + c.name + "\"}";
  // The request runs under the wait cursor, and only the request.
  bool waitCursorAtRequest = false;
  oauth.OnStart = [&] { waitCursorAtRequest = QApplication::overrideCursor() != nullptr; };
  for (const Prompted& p : c.prompts) modals.Answer(p.Answer);

  Click(w.*c.button);

  ASSERT_EQ(modals.Windows.size(), c.prompts.size());
  for (std::size_t i = 0; i < c.prompts.size(); ++i) {
    EXPECT_EQ(modals.Windows[i].Kind, "prompt");
    EXPECT_EQ(modals.Windows[i].Title, c.prompts[i].Caption);
    EXPECT_EQ(modals.Windows[i].Text, c.prompts[i].Label);
    EXPECT_FALSE(modals.Windows[i].WaitCursor);
  }
  ASSERT_EQ(http.Requests.size(), 1u);
  EXPECT_EQ(http.Requests[0].Method, c.method);
  EXPECT_EQ(http.Requests[0].URL, std::string(kBase) + c.path);
  EXPECT_EQ(http.Requests[0].Body, c.body);
  EXPECT_EQ(Log(), http.Response);
  if (oauth.Starts > 0) {
    EXPECT_TRUE(waitCursorAtRequest);
  }
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

using F = TFRMCryptohopper;
INSTANTIATE_TEST_SUITE_P(
    Commands, ButtonTest, ::testing::ValuesIn(WindowCommands()),
    [](const auto& info) { return std::string(info.param.name); });

// A cancelled prompt gives the empty default and the command goes on with it.
TEST_F(WindowTest, CancelledPromptsSendTheEmptyDefault) {
  struct Case {
    QPushButton* TFRMCryptohopper::*button;
    std::vector<const char*> answers;  // nullptr: cancel
    const char* path;
    const char* body;
  };
  const Case cases[] = {
      {&F::btnGetHopper, {nullptr}, "/hopper/", ""},
      {&F::btnCreateHopper, {nullptr}, "/hopper", "{\"name\":\"\"}"},
      {&F::btnGetMarketTicker, {"binance", nullptr}, "/exchange/binance/ticker/", ""},
      {&F::btnGetOrderBook, {nullptr, nullptr}, "/exchange///orderbook/5", ""},
      {&F::btnCancelOrder, {nullptr}, "/hopper/0/order/", ""},
  };
  http.Response = "{\"answer\":\"as the service says\"}";
  std::string expectedLog;
  for (const Case& c : cases) {
    http.Requests.clear();
    for (const char* a : c.answers) a ? modals.Answer(a) : modals.Cancel();
    Click(w.*c.button);
    ASSERT_EQ(http.Requests.size(), 1u) << c.path;
    EXPECT_EQ(http.Requests[0].URL, std::string(kBase) + c.path);
    EXPECT_EQ(http.Requests[0].Body, c.body) << c.path;
    expectedLog += (expectedLog.empty() ? "" : "\n") + http.Response;
  }
  EXPECT_EQ(Log(), expectedLog);
  EXPECT_TRUE(Errors().empty());
}

// The name is data: a quote or a backslash cannot break the body or add members.
TEST_F(WindowTest, CreateHopperKeepsTheBodyWellFormed) {
  modals.Answer("a\",\"enabled\":1,\"x\":\"\\");
  Click(w.btnCreateHopper);
  ASSERT_EQ(http.Requests.size(), 1u);
  EXPECT_EQ(http.Requests[0].Body, "{\"name\":\"a\\\",\\\"enabled\\\":1,\\\"x\\\":\\\"\\\\\"}");
}

// ---------------------------------------------------------------------------
// GetCryptohopper

TEST_F(WindowTest, FieldsReachTheClientAsTyped) {
  w.txtClientId->setText(" id-1 ");
  w.txtClientSecret->setText("s3cret");
  w.txtLocalIP->setText("127.0.0.2");
  w.txtLocalPort->setText("8181");
  w.txtHost->setText("127.0.0.3");
  w.txtPort->setText("8443");
  w.txtValidationCode->setText("1111");
  w.txtCertificate->setText(" my.pem");
  w.txtPassword->setText("p w");
  Click(w.btnGetHoppers);
  ASSERT_EQ(http.Requests.size(), 1u);
  EXPECT_EQ(oauth.ClientId, " id-1 ");
  EXPECT_EQ(oauth.ClientSecret, "s3cret");
  EXPECT_EQ(oauth.IP, "127.0.0.2");
  EXPECT_EQ(oauth.Port, 8181);
  const TvynHTTPCryptohopper_Options& o = w.cryptohopper->CryptohopperOptions();
  EXPECT_EQ(o.Webhook.Host, "127.0.0.3");
  EXPECT_EQ(o.Webhook.Port, 8443);
  EXPECT_EQ(o.Webhook.ValidationCode, "1111");
  EXPECT_FALSE(o.Webhook.Enabled);
  EXPECT_EQ(o.OAuth2.Scope.Text(), "read,notifications,manage,trade\r\n");  // one line
  // One PEM file is certificate, key and root of the receiver.
  EXPECT_EQ(o.Webhook.SSLOptions.CertFile, " my.pem");
  EXPECT_EQ(o.Webhook.SSLOptions.KeyFile, " my.pem");
  EXPECT_EQ(o.Webhook.SSLOptions.RootCertFile, " my.pem");
  EXPECT_EQ(o.Webhook.SSLOptions.Password, "p w");
  // The window's stored TLS settings of the receiver.
  EXPECT_EQ(o.Webhook.SSLOptions.Version, TwsTLSVersions::tls1_2);
  EXPECT_EQ(o.Webhook.SSLOptions.Port, 443);
  EXPECT_FALSE(o.Webhook.SSLOptions.VerifyCertificate);
}

// A port that is not an integer stops the command after the copies before it.
TEST_F(WindowTest, PortThatIsNotAnIntegerStopsBeforeAnyRequest) {
  struct Case {
    QLineEdit* TFRMCryptohopper::*field;
    bool hostCopied;  // txtHost comes after txtLocalPort and before txtPort
  };
  for (const Case c : {Case{&F::txtLocalPort, false}, Case{&F::txtPort, true}}) {
    TFRMCryptohopper fresh;
    fresh.cryptohopper->SetAPIHost(kHost);
    fresh.txtClientId->setText("id-1");
    fresh.txtClientSecret->setText("s3cret");
    fresh.txtLocalIP->setText("127.0.0.2");
    fresh.txtHost->setText("127.0.0.3");
    fresh.txtValidationCode->setText("1111");
    (fresh.*c.field)->setText("80a");
    modals.Windows.clear();
    fresh.show();
    QTest::mouseClick(fresh.btnGetHoppers, Qt::LeftButton);

    EXPECT_EQ(OnlyError(), "'80a' is not a valid integer value.");
    EXPECT_TRUE(http.Requests.empty());
    EXPECT_EQ(oauth.Starts, 0);
    EXPECT_TRUE(fresh.memoLog->toPlainText().isEmpty());
    const TvynHTTPCryptohopper_Options& o = fresh.cryptohopper->CryptohopperOptions();
    EXPECT_EQ(o.OAuth2.ClientId, "id-1");
    EXPECT_EQ(o.OAuth2.ClientSecret, "s3cret");
    EXPECT_EQ(o.OAuth2.LocalIP, "127.0.0.2");
    EXPECT_EQ(o.Webhook.Host, c.hostCopied ? "127.0.0.3" : "127.0.0.1");
    EXPECT_EQ(o.Webhook.ValidationCode, "9632");
  }
}

// ---------------------------------------------------------------------------
// Orders

TEST_F(WindowTest, EachOrderTakesItsSideFromItsOwnGroup) {
  struct Case {
    int marketSide, limitSide;
    QPushButton* TFRMCryptohopper::*button;
    const char* orderType;
  };
  const Case cases[] = {
      {0, 1, &F::cboPlaceLimitOrder, "\"order_type\":\"sell\""},
      {1, 0, &F::cboPlaceLimitOrder, "\"order_type\":\"buy\""},
      {1, 0, &F::cboPlaceMarketOrder, "\"order_type\":\"sell\""},
      {0, 1, &F::cboPlaceMarketOrder, "\"order_type\":\"buy\""},
  };
  for (const Case& c : cases) {
    http.Requests.clear();
    w.cboMarketSide->setCurrentIndex(c.marketSide);
    w.cboLimitSide->setCurrentIndex(c.limitSide);
    Click(w.*c.button);
    ASSERT_EQ(http.Requests.size(), 1u);
    EXPECT_NE(http.Requests[0].Body.find(c.orderType), std::string::npos) << http.Requests[0].Body;
  }
}

TEST_F(WindowTest, AmountOrPriceThatIsNotANumberSendsNothing) {
  struct Case {
    QLineEdit* TFRMCryptohopper::*field;
    QPushButton* TFRMCryptohopper::*button;
    const char* text;
  };
  const Case cases[] = {
      {&F::txtMarketOrderSize, &F::cboPlaceMarketOrder, "abc"},
      {&F::txtLimitOrderSize, &F::cboPlaceLimitOrder, "0,5"},
      {&F::txtLimitOrderPrice, &F::cboPlaceLimitOrder, "1,000.00"},
  };
  for (const Case& c : cases) {
    modals.Windows.clear();
    (w.*c.field)->setText(c.text);
    Click(w.*c.button);
    EXPECT_EQ(OnlyError(), "'" + std::string(c.text) + "' is not a valid floating point value.");
    (w.*c.field)->setText("1");
  }
  EXPECT_TRUE(http.Requests.empty());
  EXPECT_TRUE(Log().empty());
}

// Makes a locale whose decimal separator is a comma and sets it for the C
// library and for Qt; the previous ones come back at the end.
class CommaLocale {
public:
  CommaLocale() {
    if (!FDir.isValid()) throw std::runtime_error("no temporary folder for the locale");
    const QString path = FDir.filePath("de_DE.UTF-8");
    QProcess localedef;
    localedef.start("localedef", {"-i", "de_DE", "-f", "UTF-8", path});
    if (!localedef.waitForStarted(10000))
      throw std::runtime_error("localedef cannot be started: install the locales package (scripts/setup)");
    if (!localedef.waitForFinished(120000) || !QFileInfo(path).isDir())
      throw std::runtime_error("localedef did not build de_DE.UTF-8: " +
                               localedef.readAllStandardError().toStdString());
    const char* old = std::getenv("LOCPATH");
    if (old) FOldLocPath = old;
    FHadLocPath = old != nullptr;
    setenv("LOCPATH", FDir.path().toLocal8Bit().constData(), 1);
    FOldLocale = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) throw std::runtime_error("setlocale refused de_DE.UTF-8");
    FOldQLocale = QLocale();
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  }
  ~CommaLocale() {
    QLocale::setDefault(FOldQLocale);
    if (!FOldLocale.empty()) std::setlocale(LC_ALL, FOldLocale.c_str());
    if (FHadLocPath)
      setenv("LOCPATH", FOldLocPath.c_str(), 1);
    else
      unsetenv("LOCPATH");
  }

private:
  QTemporaryDir FDir;
  std::string FOldLocale, FOldLocPath;
  bool FHadLocPath = false;
  QLocale FOldQLocale;
};

TEST_F(WindowTest, PointFiveIsOneHalfUnderACommaLocale) {
  std::unique_ptr<CommaLocale> locale;
  try {
    locale = std::make_unique<CommaLocale>();
  } catch (const std::exception& e) {
    FAIL() << e.what();
  }
  ASSERT_STREQ(std::localeconv()->decimal_point, ",");
  ASSERT_EQ(QLocale().decimalPoint(), QStringLiteral(","));
  w.txtMarketOrderSize->setText("0.5");
  w.txtLimitOrderSize->setText("0.5");
  w.txtLimitOrderPrice->setText("2.25");
  w.txtCoin->setText("ETH");
  Click(w.cboPlaceMarketOrder);
  Click(w.cboPlaceLimitOrder);
  ASSERT_EQ(http.Requests.size(), 2u);
  EXPECT_EQ(http.Requests[0].Body, "{\"order_type\":\"buy\",\"coin\":\"ETH\",\"amount\":0.5}");
  EXPECT_EQ(http.Requests[1].Body, "{\"order_type\":\"buy\",\"coin\":\"ETH\",\"amount\":0.5,\"price\":2.25}");
  EXPECT_TRUE(Errors().empty());
}

// ---------------------------------------------------------------------------
// Hopper toggles

struct ToggleCase {
  const char* name;
  QPushButton* TFRMCryptohopper::*button;
  const char* body;
};

class ToggleTest : public WindowTest, public ::testing::WithParamInterface<ToggleCase> {};

constexpr const char* kHopperAnswer =
    "{\"data\":{\"hopper\":{\"id\":\"7\",\"name\":\"Bot\",\"enabled\":1,\"exchange\":\"kraken\","
    "\"base_currency\":\"EUR\",\"buying_enabled\":1,\"selling_enabled\":0,\"paper_trading\":0}}}";

TEST_P(ToggleTest, SendsTheHopperAsReadWithOneMemberChanged) {
  const ToggleCase& c = GetParam();
  http.Response = kHopperAnswer;
  modals.Answer("7");
  Click(w.*c.button);
  ASSERT_EQ(http.Requests.size(), 2u);
  EXPECT_EQ(http.Requests[0].Method, "GET");
  EXPECT_EQ(http.Requests[0].URL, std::string(kBase) + "/hopper/7");
  EXPECT_EQ(http.Requests[1].Method, "PATCH");
  EXPECT_EQ(http.Requests[1].URL, std::string(kBase) + "/hopper/7");
  EXPECT_EQ(http.Requests[1].Body, c.body);
  EXPECT_EQ(Log(), kHopperAnswer);  // the update's answer, once
  EXPECT_EQ(modals.Windows.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Toggles, ToggleTest,
    ::testing::Values(
        ToggleCase{"EnableHopper", &F::btnEnableHopper,
                   "{\"name\":\"Bot\",\"enabled\":1,\"config\":{\"base_currency\":\"EUR\",\"exchange\":\"kraken\","
                   "\"paper_trading\":0,\"buying_enabled\":1,\"selling_enabled\":0}}"},
        ToggleCase{"DisableHopper", &F::btnDisableHopper,
                   "{\"name\":\"Bot\",\"enabled\":0,\"config\":{\"base_currency\":\"EUR\",\"exchange\":\"kraken\","
                   "\"paper_trading\":0,\"buying_enabled\":1,\"selling_enabled\":0}}"},
        ToggleCase{"EnablePaperTrading", &F::btnEnablePaperTrading,
                   "{\"name\":\"Bot\",\"enabled\":1,\"config\":{\"base_currency\":\"EUR\",\"exchange\":\"kraken\","
                   "\"paper_trading\":1,\"buying_enabled\":1,\"selling_enabled\":0}}"},
        ToggleCase{"DisablePaperTrading", &F::btnDisablePaperTrading,
                   "{\"name\":\"Bot\",\"enabled\":1,\"config\":{\"base_currency\":\"EUR\",\"exchange\":\"kraken\","
                   "\"paper_trading\":0,\"buying_enabled\":1,\"selling_enabled\":0}}"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowTest, ToggleThatFindsNoHopperLogsNothing) {
  for (const char* answer : {"{}", "{\"data\":{}}", "{\"data\":{\"hoppers\":[]}}", ""}) {
    http.Requests.clear();
    http.Response = answer;
    modals.Answer("7");
    Click(w.btnEnableHopper);
    EXPECT_EQ(http.Requests.size(), 1u) << answer;
  }
  EXPECT_TRUE(Log().empty());
  EXPECT_TRUE(Errors().empty());
}

// ---------------------------------------------------------------------------
// Errors

TEST_F(WindowTest, ErrorBoxShowsTheMessageAndTheWindowStaysUsable) {
  http.Error = CannedError{404, "HTTP/1.1 404 Not Found", "{\"error\":\"no such hopper\"}"};
  modals.Answer("99");
  Click(w.btnGetHopper);
  const std::string text = OnlyError();
  EXPECT_NE(text.find("{\"error\":\"no such hopper\"}."), std::string::npos) << text;
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);

  http.Error.reset();
  http.Response = "{\"data\":[]}";
  Click(w.btnGetHoppers);
  EXPECT_EQ(Log(), "{\"data\":[]}");
}

TEST_F(WindowTest, TokenErrorsReachTheErrorBox) {
  oauth.Answer = OAuth2Script::Outcome::Error;
  oauth.Error = "invalid_client";
  oauth.Error_Description = "unknown client";
  Click(w.btnGetHoppers);
  const std::string text = OnlyError();
  EXPECT_EQ(text.rfind("OAuth2 Error: invalid_client"), 0u) << text;
  EXPECT_TRUE(http.Requests.empty());
}

TEST(ErrorBoxText, AppendsAFullStopUnlessTheMessageEndsInOneOrBelowIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"Bad thing", "Bad thing."},
      {"Bad thing.", "Bad thing."},
      {"", ""},
      {"Why?", "Why?."},
      {"Stop!", "Stop!"},           // "!" sorts before "."
      {"(see log)", "(see log)"},   // so does ")"
      {"Line\n", "Line\n"},         // and a line break
      {"{\"a\":1}", "{\"a\":1}."},  // "}" sorts after it
      {"caf\xC3\xA9", "caf\xC3\xA9."},
  };
  for (const auto& [message, shown] : cases) EXPECT_EQ(detail::ErrorBoxText(message), shown) << message;
}

// ---------------------------------------------------------------------------
// Webhook

TEST_F(WindowTest, WebhookBoxThatCannotStartIsUncheckedAgain) {
  // The start fails on the receiver's own thread; the window learns of it
  // from there.
  w.txtPort->setText("0");
  w.txtCertificate->setText("/nonexistent/vyn.pem");
  Click(w.chkWebhook);
  for (int i = 0; i < 1000 && Errors().empty(); ++i) QTest::qWait(10);
  const std::string shown = OnlyError();
  EXPECT_EQ(shown.rfind("The webhook receiver is not running: ", 0), 0u) << shown;
  EXPECT_FALSE(w.chkWebhook->isChecked());
  EXPECT_FALSE(w.cryptohopper->WebhookActive());
  const TvynHTTPCryptohopperWebhook_Options& o = w.cryptohopper->CryptohopperOptions().Webhook;
  EXPECT_TRUE(o.Enabled) << "the copy is made before the start";
  EXPECT_EQ(o.SSLOptions.CertFile, "/nonexistent/vyn.pem");
  EXPECT_EQ(o.SSLOptions.KeyFile, "/nonexistent/vyn.pem");
  EXPECT_EQ(o.SSLOptions.RootCertFile, "/nonexistent/vyn.pem");
  EXPECT_TRUE(http.Requests.empty());
  EXPECT_TRUE(Log().empty());

  modals.Windows.clear();
  w.txtPort->setText("80a");
  Click(w.chkWebhook);
  EXPECT_EQ(OnlyError(), "'80a' is not a valid integer value.");
  EXPECT_FALSE(w.chkWebhook->isChecked());
}

TEST_F(WindowTest, WebhookBodyFromAnotherThreadIsLoggedOnTheUIThread) {
  ASSERT_TRUE(w.cryptohopper->OnWebhook);
  const std::string body = "{\"type\":\"order_placed\",\"data\":{}}";
  std::thread connection([&] { w.cryptohopper->OnWebhook(w.cryptohopper.get(), body, "signature"); });
  connection.join();
  // Handed over, not written from the connection thread.
  EXPECT_TRUE(Log().empty());
  for (int i = 0; i < 200 && Log().empty(); ++i) QTest::qWait(10);
  EXPECT_EQ(Log(), body);
}

TEST_F(WindowTest, WebhookBodyQueuedWhileTheWindowClosesIsDropped) {
  auto window = std::make_unique<TFRMCryptohopper>();
  std::thread connection([&] { window->cryptohopperWebhook(nullptr, "{\"late\":1}", "s"); });
  connection.join();
  window.reset();
  QTest::qWait(20);  // the queued call runs and finds no window
  SUCCEED();
}

// The program's dispatcher: Synchronize runs on the UI thread, waits for it,
// and brings its error back to the waiting thread.
TEST(QtUIDispatcher, SynchronizeRunsOnTheUIThreadAndReturnsItsError) {
  detail::QtUIDispatcher dispatcher;
  QThread* uiThread = QThread::currentThread();
  std::atomic<bool> done{false};
  bool ranOnUIThread = false;
  std::string error;
  std::thread worker([&] {
    dispatcher.Synchronize([&] { ranOnUIThread = QThread::currentThread() == uiThread; });
    try {
      dispatcher.Synchronize([] { throw Exception("from the UI thread"); });
    } catch (const Exception& e) {
      error = e.Message();
    }
    done = true;
  });
  for (int i = 0; i < 500 && !done; ++i) QTest::qWait(10);
  const bool finished = done;
  if (!finished) QCoreApplication::processEvents();  // let a stuck call end before the join
  worker.join();
  ASSERT_TRUE(finished);
  EXPECT_TRUE(ranOnUIThread);
  EXPECT_EQ(error, "from the UI thread");

  bool inline_ = false;
  dispatcher.Synchronize([&] { inline_ = true; });  // from the UI thread itself: at once
  EXPECT_TRUE(inline_);
}

// ---------------------------------------------------------------------------
// Log

TEST_F(WindowTest, LogAppendsEachTextAsOneEntry) {
  w.DoLog("first");
  w.DoLog("");
  w.DoLog("two\r\nlines");
  w.DoLog("{\"\xC3\xA9\":1}");
  EXPECT_EQ(Log(), "first\n\ntwo\nlines\n{\"\xC3\xA9\":1}");
}

}  // namespace
