// The window's commands end to end: each button's request goes through the
// service client, the REST base and the HTTP client component to a local
// HTTPS stand-in for the service, whose answer lands in the log; an error
// status shows the error box with the status line and the body.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTest>

#include "json/vynJSON.h"
#include "tests/app/window_script.h"
#include "tests/cryptohopper/fake_oauth2.h"
#include "tests/http_api_peer/echo_server.h"

namespace {

using webpeer::Certificates;
using webpeer::EchoServer;

class HTTPSWindowTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    FCerts = new Certificates();
    FEcho = new EchoServer(FCerts);
  }
  static void TearDownTestSuite() {
    delete FEcho;
    delete FCerts;
  }

  void SetUp() override {
    // The service client checks certificates; the stand-in's chains to the
    // test root.
    w.cryptohopper->SetAPIHost(FEcho->Origin());
    w.cryptohopper->TLSOptions().RootCertFile = FCerts->Path("ca.pem");
    w.txtHopperId->setText("12");
    w.txtCoin->setText("BTC");
    w.txtWebhookURL->setText("https://h.example/w");
    w.show();
  }

  void Click(QAbstractButton* aButton) { ClickOnItsPage(w, aButton); }
  std::string Log() const { return w.memoLog->toPlainText().toStdString(); }
  std::vector<std::string> Errors() const {
    std::vector<std::string> out;
    for (const Seen& s : modals.Windows)
      if (s.Kind != "prompt") out.push_back(s.Kind + ": " + s.Text);
    return out;
  }

  static Certificates* FCerts;
  static EchoServer* FEcho;

  OAuth2Script oauth;
  InstalledOAuth2 installed{oauth};
  TFRMCryptohopper w;
  ModalScript modals;
};
Certificates* HTTPSWindowTest::FCerts = nullptr;
EchoServer* HTTPSWindowTest::FEcho = nullptr;

std::string Field(const std::string& AEcho, const char* AName) {
  TvynJSON answer;
  answer.Read(AEcho);
  TvynObjectJSON* n = answer.FindNode(AName);
  return n ? n->ValueText() : "(missing)";
}

TEST_F(HTTPSWindowTest, EveryCommandReachesTheServerAndLogsItsAnswer) {
  for (const ButtonCase& c : WindowCommands()) {
    SCOPED_TRACE(c.name);
    w.memoLog->clear();
    modals.Windows.clear();
    for (const Prompted& p : c.prompts) modals.Answer(p.Answer);
    Click(w.*c.button);
    ASSERT_TRUE(Errors().empty()) << Errors().front();
    const std::string log = Log();
    EXPECT_EQ(Field(log, "method"), c.method);
    EXPECT_EQ(Field(log, "path"), std::string("/v1") + c.path);
    EXPECT_EQ(Field(log, "body_hex"), webpeer::Hex(c.body));
    // The token of the (stand-in) OAuth2 client travels with the commands
    // that need one.
    const std::string token = Field(log, "access_token");
    EXPECT_TRUE(token.empty() || token == oauth.Access_Token) << token;
  }
}

TEST_F(HTTPSWindowTest, PublicMarketDataNeedsNoToken) {
  struct Case {
    QPushButton* TFRMCryptohopper::*Button;
    std::vector<std::string> Answers;
    const char* Path;
  } cases[] = {
      {&TFRMCryptohopper::btnGetExchange, {}, "/v1/exchange"},
      {&TFRMCryptohopper::btnGetAllTickers, {"binance"}, "/v1/exchange/binance/ticker"},
      {&TFRMCryptohopper::btnGetMarketTicker, {"binance", "BTC-USDT"}, "/v1/exchange/binance/ticker/BTC-USDT"},
  };
  // An OAuth2 client that never answers would stall a command that asked it.
  oauth.Answer = OAuth2Script::Outcome::Nothing;
  for (const Case& c : cases) {
    w.memoLog->clear();
    for (const std::string& a : c.Answers) modals.Answer(a);
    Click(w.*c.Button);
    EXPECT_EQ(Field(Log(), "path"), c.Path);
    EXPECT_EQ(Field(Log(), "access_token"), "");
  }
  EXPECT_EQ(oauth.Starts, 0);
  EXPECT_TRUE(Errors().empty());
}

TEST_F(HTTPSWindowTest, ErrorStatusShowsStatusLineAndBody) {
  // The stand-in answers every path under /status/404 with that status.
  w.cryptohopper->SetAPIHost(FEcho->Origin() + "/status/404");
  Click(w.btnGetExchange);
  ASSERT_EQ(Errors().size(), 1u);
  // The box ends the message with a full stop, as it does every message.
  EXPECT_EQ(Errors()[0], "error: HTTP/1.1 404 Not Found. {\"error\": 404, \"message\": \"as asked\"}.");
  EXPECT_EQ(Log(), "");
  // The window stays usable: the next command goes through.
  w.cryptohopper->SetAPIHost(FEcho->Origin());
  Click(w.btnGetExchange);
  EXPECT_EQ(Field(Log(), "path"), "/v1/exchange");
}

TEST_F(HTTPSWindowTest, UntrustedCertificateIsRefused) {
  // Without the test root the stand-in's certificate chains to nothing the
  // system trusts: the command fails before any request is sent.
  w.cryptohopper->TLSOptions().RootCertFile.clear();
  Click(w.btnGetExchange);
  ASSERT_EQ(Errors().size(), 1u);
  EXPECT_EQ(Log(), "");
}

}  // namespace
