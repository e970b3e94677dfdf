// The whole program end to end: the window (offscreen) drives the service
// client, which fetches its OAuth2 token from the sandbox service and sends
// every command to it over real HTTPS, as bin/cryptohopper --sandbox does.
// The sandbox records what arrived; the window's log must end with what it
// answered.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTest>

#include <chrono>
#include <thread>

#include "app/SandboxMode.h"
#include "tests/app/window_script.h"

namespace {

struct Sent {
  const char* Method;
  std::string Path;
  std::string Body;
};

struct Step {
  const char* Name;
  QPushButton* TFRMCryptohopper::*Button;
  std::vector<std::string> Answers;  // typed into the prompts, in order
  std::vector<Sent> Requests;        // what reaches the sandbox, in order
  bool Authorized = true;
};

class SandboxWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    service.Start();
    ConnectToSandbox(w, service);
    w.show();
  }
  void TearDown() override { service.Stop(); }

  void Click(QAbstractButton* aButton) { ClickOnItsPage(w, aButton); }
  std::string Log() const { return w.memoLog->toPlainText().toStdString(); }
  std::vector<std::string> Errors() const {
    std::vector<std::string> out;
    for (const Seen& s : modals.Windows)
      if (s.Kind != "prompt") out.push_back(s.Kind + ": " + s.Text);
    return out;
  }
  std::vector<sandbox::RequestRecord> APIRequests() const {
    std::vector<sandbox::RequestRecord> out;
    for (const sandbox::RequestRecord& r : service.Requests())
      if (r.Path.rfind("/v1", 0) == 0) out.push_back(r);
    return out;
  }
  std::vector<sandbox::RequestRecord> TokenRequests() const {
    std::vector<sandbox::RequestRecord> out;
    for (const sandbox::RequestRecord& r : service.Requests())
      if (r.Path == "/oauth2/token") out.push_back(r);
    return out;
  }
  // The header lines of a request whose name is aName (letter case ignored).
  static std::vector<std::string> Lines(const sandbox::RequestRecord& r, const std::string& aName) {
    std::vector<std::string> out;
    for (const std::string& line : r.HeaderLines)
      if (line.size() > aName.size() && line[aName.size()] == ':' &&
          QString::fromStdString(line.substr(0, aName.size()))
                  .compare(QString::fromStdString(aName), Qt::CaseInsensitive) == 0)
        out.push_back(line);
    return out;
  }
  static std::string Token(const sandbox::RequestRecord& aTokenRequest) {
    const std::string marker = "\"access_token\":\"";
    const std::size_t at = aTokenRequest.Answer.find(marker);
    if (at == std::string::npos) return {};
    const std::size_t from = at + marker.size();
    return aTokenRequest.Answer.substr(from, aTokenRequest.Answer.find('"', from) - from);
  }

  sandbox::Service service;
  TFRMCryptohopper w;
  ModalScript modals;
};

std::string Hopper3(int aEnabled, int aPaper) {
  return "{\"name\":\"My bot\",\"enabled\":" + std::to_string(aEnabled) +
         ",\"config\":{\"base_currency\":\"USDT\",\"exchange\":\"binance\",\"paper_trading\":" +
         std::to_string(aPaper) + ",\"buying_enabled\":1,\"selling_enabled\":1}}";
}

TEST_F(SandboxWindowTest, EveryButtonReachesTheSandboxAndLogsItsAnswer) {
  using F = TFRMCryptohopper;
  const std::string hook = w.txtWebhookURL->text().toStdString();
  const std::string limit = R"({"order_type":"buy","coin":"BTC","amount":0.002,"price":100})";
  const std::vector<Step> steps = {
      {"GetHoppers", &F::btnGetHoppers, {}, {{"GET", "/v1/hopper", ""}}},
      {"CreateHopper", &F::btnCreateHopper, {"My bot"}, {{"POST", "/v1/hopper", R"({"name":"My bot"})"}}},
      {"GetHopper", &F::btnGetHopper, {"3"}, {{"GET", "/v1/hopper/3", ""}}},
      {"EnableHopper",
       &F::btnEnableHopper,
       {"3"},
       {{"GET", "/v1/hopper/3", ""}, {"PATCH", "/v1/hopper/3", Hopper3(1, 0)}}},
      {"DisableHopper",
       &F::btnDisableHopper,
       {"3"},
       {{"GET", "/v1/hopper/3", ""}, {"PATCH", "/v1/hopper/3", Hopper3(0, 0)}}},
      {"EnablePaperTrading",
       &F::btnEnablePaperTrading,
       {"3"},
       {{"GET", "/v1/hopper/3", ""}, {"PATCH", "/v1/hopper/3", Hopper3(0, 1)}}},
      {"DisablePaperTrading",
       &F::btnDisablePaperTrading,
       {"3"},
       {{"GET", "/v1/hopper/3", ""}, {"PATCH", "/v1/hopper/3", Hopper3(0, 0)}}},
      {"MarketOrder",
       &F::cboPlaceMarketOrder,
       {},
       {{"POST", "/v1/hopper/1/order", R"({"order_type":"buy","coin":"BTC","amount":0.002})"}}},
      {"LimitOrder", &F::cboPlaceLimitOrder, {}, {{"POST", "/v1/hopper/1/order", limit}}},
      {"GetOpenOrders", &F::btnGetOpenOrders, {}, {{"GET", "/v1/hopper/1/order", ""}}},
      {"GetOpenOrder", &F::btnGetOpenOrder, {"1002"}, {{"GET", "/v1/hopper/1/order/1002", ""}}},
      {"CancelOrder", &F::btnCancelOrder, {"1002"}, {{"DELETE", "/v1/hopper/1/order/1002", ""}}},
      {"LimitOrder again", &F::cboPlaceLimitOrder, {}, {{"POST", "/v1/hopper/1/order", limit}}},
      {"DeleteOrder", &F::btnDeleteOrder, {"1003"}, {{"DELETE", "/v1/hopper/1/order", "{\"order_id\": 1003}"}}},
      {"LimitOrder once more", &F::cboPlaceLimitOrder, {}, {{"POST", "/v1/hopper/1/order", limit}}},
      {"DeleteAllOrders", &F::btnDeleteAllOrders, {}, {{"DELETE", "/v1/hopper/1/order/all", ""}}},
      {"GetPosition", &F::btnGetPosition, {"1"}, {{"GET", "/v1/hopper/1/position", ""}}},
      {"GetTradeHistory", &F::btnGetTradeHistory, {"1"}, {{"GET", "/v1/hopper/1/trade", ""}}},
      {"GetExchange", &F::btnGetExchange, {}, {{"GET", "/v1/exchange", ""}}, false},
      {"GetAllTickers", &F::btnGetAllTickers, {"binance"}, {{"GET", "/v1/exchange/binance/ticker", ""}}, false},
      {"GetMarketTicker",
       &F::btnGetMarketTicker,
       {"binance", "BTC-USDT"},
       {{"GET", "/v1/exchange/binance/ticker/BTC-USDT", ""}},
       false},
      {"GetOrderBook",
       &F::btnGetOrderBook,
       {"binance", "BTC-USDT"},
       {{"GET", "/v1/exchange/binance/BTC-USDT/orderbook/5", ""}}},
      {"CreateWebhook",
       &F::btnCreateWebhook,
       {},
       {{"POST", "/v1/api/webhooks",
         "{\"webhook_url\": \"" + hook +
             "\", \"message_types\": \"config_error,on_first_start,on_panic_end,on_panic_start,order_cancelled,"
             "trade_completed,trade_error,order_placed,order_trigger\"}"}}},
      {"DeleteWebhook",
       &F::btnDeleteWebhook,
       {},
       {{"DELETE", "/v1/api/webhooks", "{\"webhook_url\": \"" + hook + "\"}"}}},
      {"DeleteHopper", &F::btnDeleteHopper, {"3"}, {{"DELETE", "/v1/hopper/3", ""}}},
  };

  std::string token;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.Name);
    w.memoLog->clear();
    modals.Windows.clear();
    service.ClearRequests();
    for (const std::string& a : step.Answers) modals.Answer(a);
    Click(w.*step.Button);
    ASSERT_TRUE(Errors().empty()) << Errors().front();

    const std::vector<sandbox::RequestRecord> sent = APIRequests();
    ASSERT_EQ(sent.size(), step.Requests.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
      const sandbox::RequestRecord& r = sent[i];
      EXPECT_EQ(r.Method, step.Requests[i].Method);
      EXPECT_EQ(r.Path, step.Requests[i].Path);
      EXPECT_EQ(r.Body, step.Requests[i].Body);
      EXPECT_EQ(r.Status, 200) << r.Answer;
      const std::vector<std::string> tokenLines = Lines(r, "access-token");
      if (step.Authorized) {
        EXPECT_EQ(Lines(r, "content-type"), std::vector<std::string>{"content-type: application/json"});
        ASSERT_EQ(tokenLines.size(), 1u);
        if (token.empty()) token = tokenLines[0].substr(std::string("access-token: ").size());
        // The one token of the first command travels with every later one.
        EXPECT_EQ(tokenLines[0], "access-token: " + token);
      } else {
        EXPECT_TRUE(tokenLines.empty());
        EXPECT_TRUE(Lines(r, "content-type").empty());
      }
    }
    // The window logs the last answer, as the sandbox sent it.
    EXPECT_EQ(Log(), sent.back().Answer);
  }

  // Exactly one token request for all of it, with the window's credentials.
  EXPECT_EQ(service.TokensIssued(), 1);
  ASSERT_FALSE(token.empty());

  // The sandbox's state followed the commands.
  service.ClearRequests();
  modals.Answer("3");
  Click(w.btnGetHopper);
  EXPECT_EQ(APIRequests().back().Status, 404);
}

TEST_F(SandboxWindowTest, TheTokenRequestIsTheClientCredentialsForm) {
  Click(w.btnGetHoppers);
  Click(w.btnGetHoppers);
  const std::vector<sandbox::RequestRecord> tokens = TokenRequests();
  ASSERT_EQ(tokens.size(), 1u);
  const sandbox::RequestRecord& t = tokens[0];
  EXPECT_EQ(t.Method, "POST");
  const std::string& s = service.Settings().ClientSecret;
  EXPECT_EQ(t.Body.rfind("grant_type=client_credentials&scope=read,notifications,manage,trade&", 0), 0u) << t.Body;
  const std::string tail = "client_id=" + service.Settings().ClientId + "&client_secret=" + s;
  EXPECT_EQ(t.Body.substr(t.Body.size() - tail.size()), tail) << t.Body;
  EXPECT_EQ(Lines(t, "Accept"), std::vector<std::string>{"Accept: application/json"});
  EXPECT_EQ(Lines(t, "Content-Type"), std::vector<std::string>{"Content-Type: application/x-www-form-urlencoded"});
  EXPECT_EQ(APIRequests().size(), 2u);
  EXPECT_TRUE(Errors().empty());
}

TEST_F(SandboxWindowTest, WrongSecretShowsTheOAuth2ErrorAndSendsNothing) {
  w.txtClientSecret->setText("not the secret");
  Click(w.btnGetHoppers);
  ASSERT_EQ(Errors().size(), 1u);
  EXPECT_EQ(Errors()[0], "error: OAuth2 Error: invalid_client: The client id or secret is wrong.");
  EXPECT_TRUE(APIRequests().empty());
  EXPECT_EQ(Log(), "");
  // With the right secret the window goes on working.
  w.txtClientSecret->setText(QString::fromStdString(service.Settings().ClientSecret));
  Click(w.btnGetHoppers);
  EXPECT_EQ(Errors().size(), 1u);
  EXPECT_EQ(APIRequests().size(), 1u);
  EXPECT_EQ(service.TokensIssued(), 1);
}

TEST_F(SandboxWindowTest, AShortLifetimeBringsANewTokenRequest) {
  // 2 seconds announced: the client keeps the token for one.
  service.SetExpiresIn(2);
  Click(w.btnGetHoppers);
  EXPECT_EQ(service.TokensIssued(), 1);
  // Past that second the token is stale, however fast the commands ran.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Click(w.btnGetHoppers);
  EXPECT_EQ(service.TokensIssued(), 2);
  const std::vector<sandbox::RequestRecord> api = APIRequests();
  ASSERT_EQ(api.size(), 2u);
  ASSERT_EQ(Lines(api[1], "access-token").size(), 1u);
  EXPECT_NE(Lines(api[0], "access-token"), Lines(api[1], "access-token"));
  // The new token is the one the sandbox issued last.
  EXPECT_EQ(Lines(api[1], "access-token")[0], "access-token: " + Token(TokenRequests().back()));
  EXPECT_TRUE(Errors().empty());
}

TEST_F(SandboxWindowTest, AnErrorAnswerShowsItsBody) {
  modals.Answer("99");
  Click(w.btnGetHopper);
  ASSERT_EQ(Errors().size(), 1u);
  EXPECT_EQ(Errors()[0], "error: HTTP/1.1 404 Not Found. {\"error\":\"not_found\",\"message\":\"Hopper not found\"}.");
  EXPECT_EQ(Log(), "");
}

}  // namespace
