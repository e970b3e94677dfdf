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
#include <QRegularExpression>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/DateUtils.h"
#include "platform/SysUtils.h"
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
    ASSERT_TRUE(WaitForCommand(w));
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
  // The request leaves the UI thread.
  QThread* uiThread = QThread::currentThread();
  std::atomic<bool> offTheUIThread{false};
  oauth.OnStart = [&] { offTheUIThread = QThread::currentThread() != uiThread; };
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
  if (oauth.Starts > 0) {  // the exchange data needs no token
    EXPECT_TRUE(offTheUIThread);
  }
  EXPECT_TRUE(w.pnlMethods->isEnabled());
  EXPECT_EQ(w.pnlMethods->cursor().shape(), Qt::ArrowCursor);
}

using F = TFRMCryptohopper;
INSTANTIATE_TEST_SUITE_P(Commands, ButtonTest, ::testing::ValuesIn(WindowCommands()),
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
  EXPECT_TRUE(w.pnlMethods->isEnabled());
  EXPECT_EQ(w.pnlMethods->cursor().shape(), Qt::ArrowCursor);
  EXPECT_TRUE(
      QRegularExpression("^Last request: GET /v1/hopper/99, 404, \\d+ ms$").match(w.lblRequest->text()).hasMatch())
      << w.lblRequest->text().toStdString();

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
  // The status bar keeps the start's error until the box is clicked again.
  QTest::qWait(600);
  const std::string field = w.lblWebhook->text().toStdString();
  ASSERT_EQ(field.rfind("Webhook: ", 0), 0u) << field;
  EXPECT_NE(field, "Webhook: off");
  EXPECT_NE(shown.find(field.substr(std::string("Webhook: ").size())), std::string::npos) << field;
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

// ---------------------------------------------------------------------------
// Requests off the UI thread, against the real HTTP client

namespace slow {

// The service's API over plain HTTP on loopback, one connection at a time:
// each request is answered after the delay queued for it. A client that
// goes away first is counted.
class SlowService {
public:
  SlowService() {
    FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (FListener < 0 || ::bind(FListener, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(FListener, 4) != 0 ||
        ::getsockname(FListener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("no loopback listener");
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this] { Run(); });
  }
  ~SlowService() {
    FEnd = true;
    FThread.join();
    ::close(FListener);
  }
  std::string Origin() const { return "http://127.0.0.1:" + std::to_string(FPort); }
  void Answer(std::string aBody, int aDelayMs) {
    std::lock_guard<std::mutex> guard(FLock);
    FAnswers.push_back({std::move(aBody), aDelayMs});
  }
  std::atomic<int> Received{0};
  std::atomic<int> LeftEarly{0};

private:
  struct Canned {
    std::string Body;
    int DelayMs;
  };
  static bool Wait(int aFd, short aEvents, int aMs) {
    pollfd p{aFd, aEvents, 0};
    return ::poll(&p, 1, aMs) == 1;
  }
  void Run() {
    while (!FEnd) {
      if (!Wait(FListener, POLLIN, 20)) continue;
      const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      Serve(fd);
      ::close(fd);
    }
  }
  void Serve(int aFd) {
    std::string head;
    char buf[4096];
    for (int i = 0; i < 500 && head.find("\r\n\r\n") == std::string::npos; ++i) {
      if (!Wait(aFd, POLLIN, 10)) continue;
      const ssize_t n = ::recv(aFd, buf, sizeof buf, 0);
      if (n <= 0) return;
      head.append(buf, static_cast<std::size_t>(n));
    }
    ++Received;
    Canned answer{"{}", 0};
    {
      std::lock_guard<std::mutex> guard(FLock);
      if (!FAnswers.empty()) {
        answer = FAnswers.front();
        FAnswers.pop_front();
      }
    }
    // Waits in steps, watching for the client to go.
    for (int waited = 0; waited < answer.DelayMs && !FEnd; waited += 10) {
      if (Wait(aFd, POLLIN, 10) && ::recv(aFd, buf, sizeof buf, MSG_DONTWAIT) <= 0) {
        ++LeftEarly;
        return;
      }
    }
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(answer.Body.size()) +
        "\r\nConnection: close\r\n\r\n" + answer.Body;
    ::send(aFd, response.data(), response.size(), MSG_NOSIGNAL);
  }

  int FListener = -1;
  std::uint16_t FPort = 0;
  std::atomic<bool> FEnd{false};
  std::mutex FLock;
  std::deque<Canned> FAnswers;
  std::thread FThread;
};

class SlowServiceTest : public ::testing::Test {
protected:
  OAuth2Script oauth;
  InstalledOAuth2 installed{oauth};
  SlowService service;
  TFRMCryptohopper w;
  ModalScript modals;

  void SetUp() override {
    w.cryptohopper->SetAPIHost(service.Origin());
    w.show();
  }
  std::string Log() const { return w.memoLog->toPlainText().toStdString(); }
  // Clicks and returns at once, the request still out.
  void Press(QPushButton* aButton) {
    w.PageControl1->setCurrentWidget(w.tabHopper);
    QTest::mouseClick(aButton, Qt::LeftButton);
  }
  bool WaitUntil(const std::function<bool()>& aDone, int aMs = 5000) {
    for (int i = 0; i < aMs / 5 && !aDone(); ++i) QTest::qWait(5);
    return aDone();
  }
};

TEST_F(SlowServiceTest, TheWindowLivesWhileARequestIsOut) {
  service.Answer("{\"data\":\"late\"}", 600);
  bool timerFired = false;
  QTimer::singleShot(50, [&] { timerFired = true; });
  const QSize before = w.size();

  Press(w.btnGetHoppers);
  // Back from the click at once, the request under way.
  ASSERT_TRUE(w.CommandRunning());
  EXPECT_FALSE(w.pnlMethods->isEnabled());
  EXPECT_FALSE(w.chkWebhook->isEnabled());
  EXPECT_EQ(w.pnlMethods->cursor().shape(), Qt::WaitCursor);
  EXPECT_TRUE(w.btnStop->isEnabled());
  EXPECT_TRUE(w.txtClientId->isEnabled()) << "only the command area waits";
  EXPECT_EQ(w.lblRequest->text().toStdString(), "Request running...");

  ASSERT_TRUE(WaitUntil([&] { return service.Received == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return timerFired; }, 400));
  w.resize(before + QSize(40, 30));
  QTest::qWait(20);
  EXPECT_EQ(w.size(), before + QSize(40, 30));
  w.repaint();
  // A second click while the area is disabled sends nothing.
  QTest::mouseClick(w.btnGetHoppers, Qt::LeftButton);
  EXPECT_TRUE(w.CommandRunning()) << "the request ended before the timer";

  ASSERT_TRUE(WaitForCommand(w));
  EXPECT_EQ(Log(), "{\"data\":\"late\"}");
  EXPECT_EQ(service.Received, 1);
  EXPECT_TRUE(w.pnlMethods->isEnabled());
  EXPECT_TRUE(w.chkWebhook->isEnabled());
  EXPECT_EQ(w.pnlMethods->cursor().shape(), Qt::ArrowCursor);
  EXPECT_FALSE(w.btnStop->isEnabled());
  EXPECT_TRUE(QRegularExpression("^Last request: GET /v1/hopper, 200, \\d+ ms$").match(w.lblRequest->text()).hasMatch())
      << w.lblRequest->text().toStdString();
  EXPECT_TRUE(modals.Windows.empty());
}

TEST_F(SlowServiceTest, StopEndsTheRequestAndLogsNothing) {
  service.Answer("{\"data\":\"never shown\"}", 20000);
  Press(w.btnGetHoppers);
  ASSERT_TRUE(WaitUntil([&] { return service.Received == 1; }));
  QTest::qWait(50);
  const auto clicked = std::chrono::steady_clock::now();
  QTest::mouseClick(w.btnStop, Qt::LeftButton);
  ASSERT_TRUE(WaitForCommand(w, 3000)) << "Stop did not end the request";
  EXPECT_LT(std::chrono::steady_clock::now() - clicked, std::chrono::seconds(3));
  EXPECT_TRUE(Log().empty());
  EXPECT_TRUE(modals.Windows.empty()) << "an error box for a stopped request";
  EXPECT_EQ(w.lblRequest->text().toStdString(), "Request stopped");
  EXPECT_TRUE(w.pnlMethods->isEnabled());
  EXPECT_TRUE(WaitUntil([&] { return service.LeftEarly == 1; })) << "the connection was not shut";

  // The next command is not stopped with it.
  service.Answer("{\"data\":\"next\"}", 0);
  Press(w.btnGetHoppers);
  ASSERT_TRUE(WaitForCommand(w));
  EXPECT_EQ(Log(), "{\"data\":\"next\"}");
  EXPECT_TRUE(modals.Windows.empty());
}

TEST_F(SlowServiceTest, AnswersLandInClickOrder) {
  // Slower first: an answer that overtook another would show here. Each
  // click comes as soon as the area takes one again.
  const int delays[] = {300, 150, 0};
  for (int i = 0; i < 3; ++i) service.Answer("{\"n\":" + std::to_string(i) + "}", delays[i]);
  // The hopper toggles read and update on the same worker in between.
  service.Answer("{\"data\":{\"hopper\":{\"id\":\"4\",\"name\":\"Bot\",\"enabled\":0}}}", 100);
  service.Answer("{\"n\":3}", 0);
  for (int i = 0; i < 3; ++i) {
    Press(w.btnGetHoppers);
    ASSERT_TRUE(WaitUntil([&] { return !w.CommandRunning(); }));
  }
  modals.Answer("4");
  Press(w.btnEnableHopper);
  ASSERT_TRUE(WaitForCommand(w));
  EXPECT_EQ(Log(), "{\"n\":0}\n{\"n\":1}\n{\"n\":2}\n{\"n\":3}");
  EXPECT_EQ(service.Received, 5);
}

TEST_F(SlowServiceTest, ClosingTheWindowEndsARequestStillOut) {
  auto window = std::make_unique<TFRMCryptohopper>();
  window->cryptohopper->SetAPIHost(service.Origin());
  service.Answer("{}", 20000);
  window->show();
  QTest::mouseClick(window->btnGetHoppers, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return service.Received == 1; }));
  const auto before = std::chrono::steady_clock::now();
  window.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
  QTest::qWait(20);  // a late answer, if any, finds no window
}

}  // namespace slow

// ---------------------------------------------------------------------------
// Status bar

TEST_F(WindowTest, StatusBarShowsTokenAndLastRequest) {
  EXPECT_EQ(w.lblToken->text().toStdString(), "Token: none");
  EXPECT_EQ(w.lblWebhook->text().toStdString(), "Webhook: off");
  EXPECT_EQ(w.lblRequest->text().toStdString(), "Last request: none");
  oauth.Expires_In = "7200";  // used for half of it
  http.Status = 201;
  modals.Answer("My bot");
  Click(w.btnCreateHopper);
  const TDateTime expires = w.cryptohopper->TokenExpires();
  ASSERT_NE(expires, 0);
  EXPECT_NEAR(SecondsBetween(expires, Now()), 3600, 5);
  int h, m, sec, ms;
  DecodeTime(expires, h, m, sec, ms);
  const QRegularExpressionMatch token =
      QRegularExpression("^Token: valid until (\\d\\d):(\\d\\d):(\\d\\d)$").match(w.lblToken->text());
  ASSERT_TRUE(token.hasMatch()) << w.lblToken->text().toStdString();
  EXPECT_EQ(token.captured(1).toInt(), h);
  EXPECT_EQ(token.captured(2).toInt(), m);
  EXPECT_EQ(token.captured(3).toInt(), sec);
  EXPECT_TRUE(
      QRegularExpression("^Last request: POST /v1/hopper, 201, \\d+ ms$").match(w.lblRequest->text()).hasMatch())
      << w.lblRequest->text().toStdString();
}

// ---------------------------------------------------------------------------
// Readable JSON

TEST(ReadableJSON, IndentsJSONAndKeepsItsTokens) {
  const std::pair<const char*, const char*> cases[] = {
      {"{\"a\":1,\"b\":[true,null,\"x\"]}", "{\n  \"a\": 1,\n  \"b\": [\n    true,\n    null,\n    \"x\"\n  ]\n}"},
      {" {} ", "{}"},
      {"[[],{}]", "[\n  [],\n  {}\n]"},
      // Numbers and strings byte for byte, escapes and all.
      {"[1.10,-0,2E+3,\"a\\\"b\\\\\\u00e9 , : {\"]", "[\n  1.10,\n  -0,\n  2E+3,\n  \"a\\\"b\\\\\\u00e9 , : {\"\n]"},
      {"\"caf\xC3\xA9\"", "\"caf\xC3\xA9\""},
      {"42", "42"},
      {"{\r\n \"k\" :\t\"v\"\n}", "{\n  \"k\": \"v\"\n}"},
  };
  for (const auto& [text, readable] : cases) {
    const std::optional<std::string> out = detail::ReadableJSON(text);
    ASSERT_TRUE(out.has_value()) << text;
    EXPECT_EQ(*out, readable) << text;
  }
}

TEST(ReadableJSON, TextThatIsNotJSONIsRefused) {
  const char* cases[] = {
      "",       "plain text",  "{\"a\":1", "{\"a\":1}}", "{\"a\" 1}", "{a:1}",      "[1,]",
      "{,}",    "[01]",        "[1.]",     "[-]",        "[1e]",      "\"a\\x\"",   "\"a\nb\"",
      "\"open", "[\"\\u12\"]", "tru",      "{} {}",      "[1 2]",     "{\"a\":1,}", "<html></html>",
  };
  for (const char* text : cases) EXPECT_FALSE(detail::ReadableJSON(text).has_value()) << text;
  // Nesting is bounded: too deep is shown as it is, never a crash.
  EXPECT_FALSE(detail::ReadableJSON(std::string(100000, '[') + std::string(100000, ']')).has_value());
  EXPECT_TRUE(detail::ReadableJSON(std::string(512, '[') + std::string(512, ']')).has_value());
}

TEST_F(WindowTest, ReadableJSONCheckBoxShowsTheLogBothWays) {
  EXPECT_EQ(w.chkReadableJSON->text().toStdString(), "Readable JSON");
  EXPECT_FALSE(w.chkReadableJSON->isChecked());
  const std::string answer = "{\"data\":[1,2]}";
  http.Response = answer;
  Click(w.btnGetHoppers);
  w.DoLog("not json {");
  EXPECT_EQ(Log(), answer + "\nnot json {");

  w.chkReadableJSON->click();
  EXPECT_EQ(Log(), "{\n  \"data\": [\n    1,\n    2\n  ]\n}\nnot json {");
  // A webhook body that arrives meanwhile is shown indented too.
  std::thread connection([&] { w.cryptohopper->OnWebhook(w.cryptohopper.get(), "{\"type\":\"x\"}", "sig"); });
  connection.join();
  for (int i = 0; i < 200 && Log().find("\"type\"") == std::string::npos; ++i) QTest::qWait(10);
  EXPECT_EQ(Log(), "{\n  \"data\": [\n    1,\n    2\n  ]\n}\nnot json {\n{\n  \"type\": \"x\"\n}");

  w.chkReadableJSON->click();
  EXPECT_EQ(Log(), answer + "\nnot json {\n{\"type\":\"x\"}");
}
