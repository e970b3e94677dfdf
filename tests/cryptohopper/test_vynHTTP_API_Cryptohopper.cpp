#include "cryptohopper/vynHTTP_API_Cryptohopper.h"

#include <gtest/gtest.h>

#include <cmath>
#include <chrono>
#include <limits>
#include <thread>

#include "cryptohopper/vynWebSocket_APIs.h"
#include "server/vynWSHTTPServer.h"
#include "platform/DateUtils.h"
#include "tests/cryptohopper/fake_oauth2.h"
#include "tests/http_api/fake_http.h"

namespace {

constexpr const char* kBase = "https://127.0.0.1:8443/v1";
constexpr const char* kJSON = "content-type: application/json";

class TestClient : public TvynHTTP_Cryptohopper {
public:
  using TvynHTTP_Cryptohopper::GetHTTPServer;
  void DeliverToken(const std::string& aToken, const std::string& aExpiresIn, bool& aHandled) {
    OnAfterAccessTokenEvent(nullptr, aToken, "bearer", aExpiresIn, "", "", "", aHandled);
  }
  explicit TestClient(std::int32_t aWaitMs = 300) {
    TokenWaitMs = aWaitMs;
    SetAPIHost("https://127.0.0.1:8443");
    SetWebHost("https://127.0.0.1:9443");
  }
};

// A client with a recording HTTP component, a scripted OAuth2 client and a
// clock that only moves when told.
class ClientTest : public ::testing::Test {
protected:
  TTestClock clock;
  RecordingHTTP http;
  OAuth2Script oauth;
  InstalledOAuth2 installed{oauth};
  TestClient client;

  std::vector<std::string> Authorized(const std::string& aToken = "tok") { return {kJSON, "access-token: " + aToken}; }
};

std::string MessageOf(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

// ---------------------------------------------------------------------------
// The endpoint catalogue

struct EndpointCase {
  const char* name;
  std::function<std::string(TvynHTTP_API_Cryptohopper&)> call;
  const char* method;
  const char* path;
  bool authorized;
  bool hasBody;
  const char* body;
};

class EndpointTest : public ClientTest, public ::testing::WithParamInterface<EndpointCase> {};

TEST_P(EndpointTest, MethodURLHeadersAndBody) {
  const EndpointCase& e = GetParam();
  http.Response = "{\"data\":1}";
  EXPECT_EQ(e.call(client), "{\"data\":1}");
  ASSERT_EQ(http.Requests.size(), 1u);
  const RecordedRequest& r = http.Requests[0];
  EXPECT_EQ(r.Method, e.method);
  EXPECT_EQ(r.URL, std::string(kBase) + e.path);
  EXPECT_EQ(r.Headers, e.authorized ? Authorized() : std::vector<std::string>{});
  EXPECT_EQ(oauth.Starts, e.authorized ? 1 : 0);
  EXPECT_EQ(r.HasBody, e.hasBody);
  EXPECT_EQ(r.Body, e.body);
}

using C = TvynHTTP_API_Cryptohopper;
const auto kBuy = TvynHTTPCTHOrderSide::cthosBuy;
const auto kSell = TvynHTTPCTHOrderSide::cthosSell;

INSTANTIATE_TEST_SUITE_P(
    Catalogue, EndpointTest,
    ::testing::Values(
        EndpointCase{"GetHoppers", [](C& c) { return c.GetHoppers(); }, "GET", "/hopper", true, false, ""},
        EndpointCase{"CreateHopper", [](C& c) { return c.CreateHopper("{\"name\":\"n\"}"); }, "POST", "/hopper", true,
                     true, "{\"name\":\"n\"}"},
        EndpointCase{"GetHopper", [](C& c) { return c.GetHopper("12"); }, "GET", "/hopper/12", true, false, ""},
        EndpointCase{"DeleteHopper", [](C& c) { return c.DeleteHopper("12"); }, "DELETE", "/hopper/12", true, false,
                     ""},
        EndpointCase{"UpdateHopper", [](C& c) { return c.UpdateHopper("12", "{\"enabled\":0}"); }, "PATCH",
                     "/hopper/12", true, true, "{\"enabled\":0}"},
        EndpointCase{"UpdateHopperRecord",
                     [](C& c) {
                       TvynHTTPCTHopper h;
                       h.HopperName = "A";
                       h.Paper_Trading = 1;
                       return c.UpdateHopper("12", h);
                     },
                     "PATCH", "/hopper/12", true, true, "{\"name\":\"A\",\"config\":{\"paper_trading\":1}}"},
        EndpointCase{"GetOpenOrders", [](C& c) { return c.GetOpenOrders("12"); }, "GET", "/hopper/12/order", true,
                     false, ""},
        EndpointCase{"CreateNewOrder",
                     [](C& c) {
                       TvynHTTPCTHOrder o;
                       o.Coin = "ETH";
                       o.MarketOrder = 1;
                       return c.CreateNewOrder("12", o);
                     },
                     "POST", "/hopper/12/order", true, true, "{\"coin\":\"ETH\",\"market_order\":1}"},
        EndpointCase{"PlaceMarketOrder", [](C& c) { return c.PlaceMarketOrder("12", kBuy, "BTC", 0.002L); }, "POST",
                     "/hopper/12/order", true, true, "{\"order_type\":\"buy\",\"coin\":\"BTC\",\"amount\":0.002}"},
        EndpointCase{"PlaceLimitOrder", [](C& c) { return c.PlaceLimitOrder("12", kSell, "BTC", 1.5L, 25000.25L); },
                     "POST", "/hopper/12/order", true, true,
                     "{\"order_type\":\"sell\",\"coin\":\"BTC\",\"amount\":1.5,\"price\":25000.25}"},
        EndpointCase{"DeleteOrder", [](C& c) { return c.DeleteOrder("12", "345"); }, "DELETE", "/hopper/12/order", true,
                     true, "{\"order_id\": 345}"},
        EndpointCase{"DeleteAllOrders", [](C& c) { return c.DeleteAllOrders("12"); }, "DELETE", "/hopper/12/order/all",
                     true, false, ""},
        EndpointCase{"GetOpenOrder", [](C& c) { return c.GetOpenOrder("12", "345"); }, "GET", "/hopper/12/order/345",
                     true, false, ""},
        EndpointCase{"CancelOrder", [](C& c) { return c.CancelOrder("12", "345"); }, "DELETE", "/hopper/12/order/345",
                     true, false, ""},
        EndpointCase{"GetPosition", [](C& c) { return c.GetPosition("12"); }, "GET", "/hopper/12/position", true, false,
                     ""},
        EndpointCase{"GetTradeHistory", [](C& c) { return c.GetTradeHistory("12"); }, "GET", "/hopper/12/trade", true,
                     false, ""},
        EndpointCase{"GetTradeHistoryById", [](C& c) { return c.GetTradeHistoryById("12", "9"); }, "GET",
                     "/hopper/12/trade/9", true, false, ""},
        EndpointCase{"GetExchange", [](C& c) { return c.GetExchange(); }, "GET", "/exchange", false, false, ""},
        EndpointCase{"GetAllTickers", [](C& c) { return c.GetAllTickers("binance"); }, "GET",
                     "/exchange/binance/ticker", false, false, ""},
        EndpointCase{"GetMarketTicker", [](C& c) { return c.GetMarketTicker("binance", "BTC-USDT"); }, "GET",
                     "/exchange/binance/ticker/BTC-USDT", false, false, ""},
        EndpointCase{"GetOrderBook", [](C& c) { return c.GetOrderBook("binance", "BTC-USDT", "20"); }, "GET",
                     "/exchange/binance/BTC-USDT/orderbook/20", true, false, ""},
        EndpointCase{"CreateWebhook", [](C& c) { return c.CreateWebhook("https://h.example/w", "order_placed"); },
                     "POST", "/api/webhooks", true, true,
                     "{\"webhook_url\": \"https://h.example/w\", \"message_types\": \"order_placed\"}"},
        EndpointCase{"CreateWebhookDefaultTypes", [](C& c) { return c.CreateWebhook("https://h.example/w", ""); },
                     "POST", "/api/webhooks", true, true,
                     "{\"webhook_url\": \"https://h.example/w\", \"message_types\": "
                     "\"config_error,on_first_start,on_panic_end,on_panic_start,order_cancelled,trade_completed,"
                     "trade_error,order_placed,order_trigger\"}"},
        EndpointCase{"DeleteWebhook", [](C& c) { return c.DeleteWebhook("https://h.example/w"); }, "DELETE",
                     "/api/webhooks", true, true, "{\"webhook_url\": \"https://h.example/w\"}"}),
    [](const auto& info) { return std::string(info.param.name); });

// Path arguments go into the path exactly as given (the service's paths take
// pairs such as BTC/USDT as typed); body arguments are data and cannot add
// JSON members or break the text.
TEST_F(ClientTest, PathArgumentsAsGivenBodyArgumentsAsData) {
  client.GetMarketTicker("binance", "BTC/USDT");
  client.GetHopper("");
  client.DeleteOrder("12", "abc");
  client.CreateWebhook("https://h/\"x\\", "a\"b");
  ASSERT_EQ(http.Requests.size(), 4u);
  EXPECT_EQ(http.Requests[0].URL, std::string(kBase) + "/exchange/binance/ticker/BTC/USDT");
  EXPECT_EQ(http.Requests[1].URL, std::string(kBase) + "/hopper/");
  EXPECT_EQ(http.Requests[2].Body, "{\"order_id\": \"abc\"}");
  EXPECT_EQ(http.Requests[3].Body, "{\"webhook_url\": \"https://h/\\\"x\\\\\", \"message_types\": \"a\\\"b\"}");
}

TEST_F(ClientTest, OrderIdIsANumberOnlyWhenJSONWouldReadItAsOne) {
  const std::pair<const char*, const char*> cases[] = {{"-5", "-5"},       {"0", "0"},         {"-", "\"-\""},
                                                       {"007", "\"007\""}, {"1e3", "\"1e3\""}, {"1.5", "\"1.5\""}};
  for (const auto& [id, json] : cases) {
    http.Requests.clear();
    client.DeleteOrder("12", id);
    EXPECT_EQ(http.Requests.at(0).Body, std::string("{\"order_id\": ") + json + "}") << id;
  }
}

TEST_F(ClientTest, ErrorStatusOfTheServiceCarriesTheBody) {
  http.Error = CannedError{401, "HTTP/1.1 401 Unauthorized", "{\"error\":\"bad token\"}"};
  EXPECT_EQ(MessageOf([&] { client.GetHoppers(); }), "HTTP/1.1 401 Unauthorized. {\"error\":\"bad token\"}");
  // A failed request changes no token state.
  http.Error.reset();
  client.GetHoppers();
  EXPECT_EQ(oauth.Starts, 1);
}

// ---------------------------------------------------------------------------
// The token rule

TEST_F(ClientTest, TokenRequestedBeforeTheFirstAuthorizedCallThenReused) {
  std::size_t requestsAtStart = 99;
  oauth.OnStart = [&] { requestsAtStart = http.Requests.size(); };
  client.GetHoppers();
  EXPECT_EQ(requestsAtStart, 0u);
  EXPECT_EQ(oauth.Starts, 1);
  EXPECT_EQ(oauth.Stops, 1);
  clock.AdvanceSeconds(1000);
  oauth.Access_Token = "second";
  client.GetPosition("1");
  EXPECT_EQ(oauth.Starts, 1);
  EXPECT_EQ(http.Requests.at(1).Headers, Authorized("tok"));
}

struct LifetimeCase {
  const char* expiresIn;
  std::int64_t reusedForSeconds;
};

class LifetimeTest : public ClientTest, public ::testing::WithParamInterface<LifetimeCase> {};

TEST_P(LifetimeTest, ReusedForHalfTheLifetimeInWholeSecondsThenRenewed) {
  oauth.Expires_In = GetParam().expiresIn;
  client.GetHoppers();
  clock.AdvanceSeconds(static_cast<double>(GetParam().reusedForSeconds));
  client.GetHoppers();
  EXPECT_EQ(oauth.Starts, 1);
  oauth.Access_Token = "renewed";
  clock.AdvanceMs(1);
  client.GetHoppers();
  EXPECT_EQ(oauth.Starts, 2);
  EXPECT_EQ(http.Requests.at(2).Headers, Authorized("renewed"));
}

INSTANTIATE_TEST_SUITE_P(ExpiresIn, LifetimeTest,
                         ::testing::Values(LifetimeCase{"3600", 1800}, LifetimeCase{"7", 3}, LifetimeCase{"", 60},
                                           LifetimeCase{"+10", 5}));

TEST_F(ClientTest, ExpiresInThatIsNotADecimalIntegerFails) {
  for (const char* bad : {"abc", "0x10", "$10", "1.5", " 7", "99999999999"}) {
    oauth.Expires_In = bad;
    EXPECT_EQ(MessageOf([&] { client.GetHoppers(); }), "'" + std::string(bad) + "' is not a valid integer value");
  }
  EXPECT_TRUE(http.Requests.empty());
  EXPECT_EQ(oauth.Stops, oauth.Starts);  // the OAuth2 client is stopped on the error path too
}

TEST_F(ClientTest, FailedConversionKeepsTheHeldTokenWhole) {
  client.GetHoppers();  // "tok" for 1800 s
  clock.AdvanceSeconds(1801);
  oauth.Access_Token = "new";
  oauth.Expires_In = "abc";
  EXPECT_EQ(MessageOf([&] { client.GetHoppers(); }), "'abc' is not a valid integer value");
  // Neither half of the failed answer was taken: the next request asks again.
  oauth.Expires_In = "3600";
  client.GetHoppers();
  EXPECT_EQ(oauth.Starts, 3);
  EXPECT_EQ(http.Requests.back().Headers, Authorized("new"));
}

TEST_F(ClientTest, NoTokenWithinTheWaitIsATimeout) {
  oauth.Answer = OAuth2Script::Outcome::Nothing;
  const std::uint64_t t0 = GetTickCount64();
  EXPECT_EQ(MessageOf([&] { client.GetHoppers(); }), "OAuth2 Timeout: Cannot Get Access Token.");
  EXPECT_GE(GetTickCount64() - t0, 250u);
  EXPECT_TRUE(http.Requests.empty());
  EXPECT_EQ(oauth.Stops, 1);
}

// A grant that completes on another thread (the redirect listener's): the
// waiting request wakes when the token arrives, well before the time-out.
TEST(vynCryptohopperClient, TokenArrivingFromAnotherThreadEndsTheWait) {
  TTestClock clock;
  RecordingHTTP http;
  OAuth2Script oauth;
  oauth.Answer = OAuth2Script::Outcome::Nothing;
  InstalledOAuth2 installed(oauth);
  TestClient client(5000);
  std::thread grant;
  oauth.OnStart = [&] {
    grant = std::thread([&client] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      bool handled = false;
      client.DeliverToken("late", "3600", handled);
    });
  };
  const std::uint64_t t0 = GetTickCount64();
  client.GetHoppers();
  grant.join();
  EXPECT_LT(GetTickCount64() - t0, 4000u);
  EXPECT_EQ(http.Requests.at(0).Headers, (std::vector<std::string>{kJSON, "access-token: late"}));
}

TEST_F(ClientTest, LifetimeBelowTwoSecondsOrEmptyTokenIsATimeout) {
  for (const char* expires : {"1", "0", "-60"}) {
    oauth.Expires_In = expires;
    EXPECT_EQ(MessageOf([&] { client.GetHoppers(); }), "OAuth2 Timeout: Cannot Get Access Token.") << expires;
  }
  // An answer without access_token is no token: nothing is sent with an
  // empty access-token line.
  oauth.Expires_In = "3600";
  oauth.Access_Token = "";
  EXPECT_EQ(MessageOf([&] { client.GetHoppers(); }), "OAuth2 Timeout: Cannot Get Access Token.");
  EXPECT_EQ(MessageOf([&] { client.GetHoppers(); }), "OAuth2 Timeout: Cannot Get Access Token.");
  EXPECT_EQ(oauth.Starts, 5);
  EXPECT_TRUE(http.Requests.empty());
}

TEST_F(ClientTest, TokenWithALineBreakIsRefused) {
  oauth.Access_Token = "tok\r\nx-injected: 1";
  EXPECT_EQ(MessageOf([&] { client.GetHoppers(); }), "OAuth2 Error: the access token holds a control character.");
  EXPECT_TRUE(http.Requests.empty());
}

TEST_F(ClientTest, TokenEndpointErrorEndsTheOperation) {
  oauth.Answer = OAuth2Script::Outcome::Error;
  oauth.Error = "invalid_request";
  oauth.Error_Description = "{\"message\":\"unauthorized\"}";
  EXPECT_EQ(MessageOf([&] { client.GetHoppers(); }), "OAuth2 Error: invalid_request: {\"message\":\"unauthorized\"}");
  EXPECT_TRUE(http.Requests.empty());
  EXPECT_EQ(oauth.Stops, 1);
}

TEST_F(ClientTest, PublicReadsNeedNoCredentialsAndNoToken) {
  oauth.Answer = OAuth2Script::Outcome::Error;
  client.GetExchange();
  client.GetAllTickers("x");
  client.GetMarketTicker("x", "y");
  EXPECT_EQ(oauth.Created, 0);
  EXPECT_EQ(http.Requests.size(), 3u);
}

TEST_F(ClientTest, OAuth2ClientSetFromTheOptionsAtEveryTokenRequest) {
  TvynHTTPCryptohopperOAuth2_Options& o = client.CryptohopperOptions().OAuth2;
  o.ClientId = "id";
  o.ClientSecret = "secret";
  o.LocalPort = 8181;
  client.GetHoppers();
  EXPECT_EQ(oauth.AuthURL, "https://127.0.0.1:9443/oauth2/authorize");
  EXPECT_EQ(oauth.TokenURL, "https://127.0.0.1:9443/oauth2/token");
  EXPECT_EQ(oauth.TLSVersion, TwsTLSVersions::tls1_2);
  EXPECT_TRUE(oauth.VerifyCertificate);  // the token endpoint's certificate is checked too
  EXPECT_EQ(oauth.GrantType, TvynOAuth2GrantTypes::auth2ClientCredentials);
  EXPECT_EQ(oauth.Scope, "read,notifications,manage,trade\r\n");
  EXPECT_EQ(oauth.ClientId, "id");
  EXPECT_EQ(oauth.ClientSecret, "secret");
  EXPECT_EQ(oauth.IP, "127.0.0.1");
  EXPECT_EQ(oauth.Port, 8181);
  EXPECT_EQ(oauth.RedirectURL, "");
  clock.AdvanceSeconds(2000);
  o.ClientId = "id2";
  o.Scope.SetText("read\ntrade");
  o.RedirectURL = "http://127.0.0.1:8181/cb";
  client.GetHoppers();
  EXPECT_EQ(oauth.Created, 1);  // one OAuth2 client for the client's life
  EXPECT_EQ(oauth.ClientId, "id2");
  EXPECT_EQ(oauth.Scope, "read\r\ntrade\r\n");
  EXPECT_EQ(oauth.RedirectURL, "http://127.0.0.1:8181/cb");
}

TEST(vynCryptohopperClient, NoOAuth2ClientInstalledFailsClearly) {
  RecordingHTTP http;
  auto previous = detail::SetOAuth2ClientFactory({});
  TestClient client;
  EXPECT_EQ(MessageOf([&] { client.GetHoppers(); }), "No OAuth2 client is installed.");
  EXPECT_TRUE(http.Requests.empty());
  detail::SetOAuth2ClientFactory(std::move(previous));
}

TEST(vynCryptohopperClient, LiveHostsByDefault) {
  RecordingHTTP http;
  TvynHTTP_Cryptohopper client;
  client.GetExchange();
  EXPECT_EQ(http.Requests.at(0).URL, "https://api.cryptohopper.com/v1/exchange");
  EXPECT_EQ(http.Requests.at(0).TLSVersion, TwsTLSVersions::tls1_2);
  // Credentials go to the service only: its certificate is checked.
  EXPECT_TRUE(http.Requests.at(0).VerifyCertificate);
  EXPECT_EQ(client.Version(), "4.5.1");
}

TEST_F(ClientTest, EachRequestConfiguresTheReceiverItShouldRunButNeverStartsIt) {
  client.GetHTTPServer();  // made with TLS 1.2, inactive
  TvynWSHTTPServer& server = client.GetHTTPServer();
  EXPECT_TRUE(server.SSL());
  EXPECT_EQ(server.SSLOptions().Version, TwsTLSVersions::tls1_2);

  // Disabled: a request leaves the receiver alone.
  client.GetExchange();
  EXPECT_EQ(server.Bindings().Count(), 0);

  TvynHTTPCryptohopperWebhook_Options& o = client.CryptohopperOptions().Webhook;
  o.Enabled = true;
  o.Host = "127.0.0.9";
  o.Port = 70000;  // taken as 16 bits for the binding
  o.SSLOptions.CertFile = "c.pem";
  o.SSLOptions.Password = "pw";
  o.SSLOptions.Version = TwsTLSVersions::tls1_2;
  o.SSLOptions.Port = 1;
  client.GetExchange();
  client.GetExchange();  // a second request configures afresh, not twice
  ASSERT_EQ(server.Bindings().Count(), 1);
  EXPECT_EQ(server.Bindings().Items(0).IP(), "127.0.0.9");
  EXPECT_EQ(server.Bindings().Items(0).Port(), 70000 & 0xFFFF);
  EXPECT_EQ(server.SSLOptions().CertFile, "c.pem");
  EXPECT_EQ(server.SSLOptions().Password, "pw");
  EXPECT_EQ(server.SSLOptions().Port, 70000) << "the receiver's port, not the one in the options";
  EXPECT_FALSE(server.Active());
  EXPECT_FALSE(client.WebhookActive());
  EXPECT_EQ(http.Requests.size(), 3u);
}

// ---------------------------------------------------------------------------
// Options

TEST_F(ClientTest, LogFileNameTakenOnlyWhenLoggingIsSwitched) {
  TvynHTTPCryptohopperLog_Options& log = client.CryptohopperOptions().LogOptions;
  client.GetExchange();
  log.Enabled = true;
  log.FileName = "/tmp/a.log";
  client.GetExchange();
  log.FileName = "/tmp/b.log";
  client.GetExchange();
  log.Enabled = false;
  client.GetExchange();
  log.Enabled = true;
  client.GetExchange();
  ASSERT_EQ(http.Requests.size(), 5u);
  EXPECT_FALSE(http.Requests[0].Log);
  EXPECT_TRUE(http.Requests[1].Log);
  EXPECT_EQ(http.Requests[1].LogFileName, "/tmp/a.log");
  EXPECT_EQ(http.Requests[2].LogFileName, "/tmp/a.log");
  EXPECT_FALSE(http.Requests[3].Log);
  EXPECT_TRUE(http.Requests[4].Log);
  EXPECT_EQ(http.Requests[4].LogFileName, "/tmp/b.log");
}

TEST(vynCryptohopperOptions, DefaultsAndAssignCopiesEveryMember) {
  TvynHTTPCryptohopper_Options a;
  EXPECT_EQ(a.OAuth2.LocalIP, "127.0.0.1");
  EXPECT_EQ(a.OAuth2.LocalPort, 8080);
  EXPECT_EQ(a.OAuth2.Scope.Text(), "read,notifications,manage,trade\r\n");
  EXPECT_EQ(a.Webhook.Host, "127.0.0.1");
  EXPECT_EQ(a.Webhook.Port, 443);
  EXPECT_EQ(a.Webhook.ValidationCode, "9632");
  EXPECT_FALSE(a.Webhook.Enabled);
  EXPECT_FALSE(a.LogOptions.Enabled);

  a.LogOptions.Enabled = true;
  a.LogOptions.FileName = "f";
  a.OAuth2.ClientId = "i";
  a.OAuth2.ClientSecret = "s";
  a.OAuth2.LocalIP = "::1";
  a.OAuth2.LocalPort = 1;
  a.OAuth2.RedirectURL = "r";
  a.OAuth2.Scope.SetText("x\ny");
  a.Webhook.Enabled = true;
  a.Webhook.Host = "h";
  a.Webhook.Port = 2;
  a.Webhook.ValidationCode = "v";
  a.Webhook.SSLOptions.CertFile = "cert";
  a.Webhook.SSLOptions.Password = "pw";
  a.Webhook.SSLOptions.Port = 3;

  RecordingHTTP http;
  TvynHTTP_Cryptohopper client;
  TvynHTTPCryptohopper_Options* owned = &client.CryptohopperOptions();
  client.SetCryptohopperOptions(a);
  const TvynHTTPCryptohopper_Options& b = client.CryptohopperOptions();
  EXPECT_EQ(&b, owned);  // copied into, never replaced
  EXPECT_TRUE(b.LogOptions.Enabled);
  EXPECT_EQ(b.LogOptions.FileName, "f");
  EXPECT_EQ(b.OAuth2.ClientId, "i");
  EXPECT_EQ(b.OAuth2.ClientSecret, "s");
  EXPECT_EQ(b.OAuth2.LocalIP, "::1");
  EXPECT_EQ(b.OAuth2.LocalPort, 1);
  EXPECT_EQ(b.OAuth2.RedirectURL, "r");
  EXPECT_EQ(b.OAuth2.Scope.Text(), "x\r\ny\r\n");
  EXPECT_TRUE(b.Webhook.Enabled);
  EXPECT_EQ(b.Webhook.Host, "h");
  EXPECT_EQ(b.Webhook.Port, 2);
  EXPECT_EQ(b.Webhook.ValidationCode, "v");
  EXPECT_EQ(b.Webhook.SSLOptions.CertFile, "cert");
  EXPECT_EQ(b.Webhook.SSLOptions.Password, "pw");
  EXPECT_EQ(b.Webhook.SSLOptions.Port, 3);

  EXPECT_EQ(MessageOf([&] { a.OAuth2.Assign(a.LogOptions); }),
            "Cannot assign a TvynHTTPCryptohopperLog_Options to a TvynHTTPCryptohopperOAuth2_Options");
}

// ---------------------------------------------------------------------------
// Records

struct OrderCase {
  const char* name;
  std::function<void(TvynHTTPCTHOrder&)> set;
  const char* json;
};

class OrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(OrderTest, WritesOnlySetMembersInOrder) {
  TvynHTTPCTHOrder o;
  GetParam().set(o);
  EXPECT_EQ(o.GetJSONText(), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, OrderTest,
    ::testing::Values(OrderCase{"New", [](TvynHTTPCTHOrder&) {}, "{\"coin\":\"\"}"},
                      OrderCase{"CoinOnly", [](TvynHTTPCTHOrder& o) { o.Coin = "BTC"; }, "{\"coin\":\"BTC\"}"},
                      OrderCase{"AmountMinusOneUnset", [](TvynHTTPCTHOrder& o) { o.Amount = -1; }, "{\"coin\":\"\"}"},
                      OrderCase{"AmountBelowMinusOneUnset", [](TvynHTTPCTHOrder& o) { o.Amount = -7.5L; },
                                "{\"coin\":\"\"}"},
                      OrderCase{"AmountMinusHalfSet", [](TvynHTTPCTHOrder& o) { o.Amount = -0.5L; },
                                "{\"coin\":\"\",\"amount\":-0.5}"},
                      OrderCase{"PriceZero", [](TvynHTTPCTHOrder& o) { o.Price = 0; }, "{\"coin\":\"\",\"price\":0}"},
                      OrderCase{"Sell", [](TvynHTTPCTHOrder& o) { o.OrderSide = TvynHTTPCTHOrderSide::cthosSell; },
                                "{\"order_type\":\"sell\",\"coin\":\"\"}"},
                      OrderCase{"Everything",
                                [](TvynHTTPCTHOrder& o) {
                                  o.PctProfit = 2.5L;
                                  o.TrailingBuyPct = 0.25L;
                                  o.TrailingBuy = 0;
                                  o.MarketOrder = 1;
                                  o.Price = 100;
                                  o.Amount = 1.0L / 3;
                                  o.Coin = "ETH";
                                  o.OrderSide = TvynHTTPCTHOrderSide::cthosBuy;
                                },
                                "{\"order_type\":\"buy\",\"coin\":\"ETH\",\"amount\":0.333333333333333,\"price\":100,"
                                "\"market_order\":1,\"trailing_buy\":0,\"trailing_buy_pct\":0.25,\"pct_profit\":2.5}"},
                      OrderCase{"CoinIsData", [](TvynHTTPCTHOrder& o) { o.Coin = "{\"x\":\"1\"}"; },
                                "{\"coin\":\"{\\\"x\\\":\\\"1\\\"}\"}"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(vynCTHOrder, NumberThatIsNotFiniteIsRefusedNotWritten) {
  for (long double bad :
       {std::numeric_limits<long double>::quiet_NaN(), std::numeric_limits<long double>::infinity()}) {
    TvynHTTPCTHOrder o;
    o.Coin = "BTC";
    o.Amount = 1;
    o.Price = bad;  // dropping it would turn a limit order into a market order
    EXPECT_EQ(MessageOf([&] { o.GetJSONText(); }), "The order's price is not a finite number.");
  }
  TvynHTTPCTHOrder o;
  o.Amount = std::numeric_limits<long double>::quiet_NaN();
  EXPECT_THROW(o.GetJSONText(), EConvertError);
}

TEST_F(ClientTest, OrderWithABadNumberSendsNothing) {
  EXPECT_THROW(client.PlaceLimitOrder("1", kBuy, "BTC", 1, std::nanl("")), EConvertError);
  EXPECT_TRUE(http.Requests.empty());
}

struct HopperWriteCase {
  const char* name;
  std::function<void(TvynHTTPCTHopper&)> set;
  const char* json;
};

class HopperWriteTest : public ::testing::TestWithParam<HopperWriteCase> {};

TEST_P(HopperWriteTest, WritesSetMembersWithSettingsUnderConfig) {
  TvynHTTPCTHopper h;
  GetParam().set(h);
  EXPECT_EQ(h.GetJSONText(), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Hoppers, HopperWriteTest,
    ::testing::Values(
        HopperWriteCase{"New", [](TvynHTTPCTHopper&) {}, "{}"},
        HopperWriteCase{"PaperTradingOnly", [](TvynHTTPCTHopper& h) { h.Paper_Trading = 1; },
                        "{\"config\":{\"paper_trading\":1}}"},
        HopperWriteCase{"NameEnabledExchange",
                        [](TvynHTTPCTHopper& h) {
                          h.Exchange = "x";
                          h.Enabled = 1;
                          h.HopperName = "A";
                        },
                        "{\"name\":\"A\",\"enabled\":1,\"config\":{\"exchange\":\"x\"}}"},
        HopperWriteCase{"AllConfigInOrder",
                        [](TvynHTTPCTHopper& h) {
                          h.API_Secret = "s/+";
                          h.API_Key = "k";
                          h.Selling_Enabled = 0;
                          h.Buying_Enabled = 1;
                          h.Paper_Trading = 0;
                          h.Exchange = "e";
                          h.Base_Currency = "USDT";
                          h.Enabled = 0;
                        },
                        "{\"enabled\":0,\"config\":{\"base_currency\":\"USDT\",\"exchange\":\"e\",\"paper_trading\":0,"
                        "\"buying_enabled\":1,\"selling_enabled\":0,\"api_key\":\"k\",\"api_secret\":\"s/+\"}}"},
        HopperWriteCase{"NameWithQuoteStaysValid", [](TvynHTTPCTHopper& h) { h.HopperName = "My \"best\" \\ bot"; },
                        "{\"name\":\"My \\\"best\\\" \\\\ bot\"}"},
        HopperWriteCase{"NameThatLooksLikeJSON", [](TvynHTTPCTHopper& h) { h.HopperName = "[1]"; },
                        "{\"name\":\"[1]\"}"},
        HopperWriteCase{"NonASCIIKept", [](TvynHTTPCTHopper& h) { h.HopperName = "Caf\xC3\xA9"; },
                        "{\"name\":\"Caf\xC3\xA9\"}"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(vynCTHopperRead, FlatMembersOfDataHopper) {
  TvynHTTPCTHopper h;
  h.API_Key = "keep";
  EXPECT_TRUE(TvynHTTP_API_Cryptohopper::ReadHopper(
      "{\"data\":{\"hopper\":{\"id\":\"5\",\"name\":\"Bot\",\"enabled\":true,\"exchange\":\"kraken\","
      "\"base_currency\":\"EUR\",\"buying_enabled\":\"1\",\"selling_enabled\":false,\"paper_trading\":0,"
      "\"api_key\":\"x\"}}}",
      h));
  EXPECT_EQ(h.HopperName, "Bot");
  EXPECT_EQ(h.Enabled, 1);
  EXPECT_EQ(h.Exchange, "kraken");
  EXPECT_EQ(h.Base_Currency, "EUR");
  EXPECT_EQ(h.Buying_Enabled, 1);
  EXPECT_EQ(h.Selling_Enabled, 0);
  EXPECT_EQ(h.Paper_Trading, 0);
  EXPECT_EQ(h.API_Key, "keep");  // never read
}

TEST(vynCTHopperRead, MissingShapeLeavesTheRecordUntouched) {
  for (const char* text : {"{\"data\":{}}", "{\"hopper\":{\"name\":\"x\"}}", "not json", "{\"data\":[]}"}) {
    TvynHTTPCTHopper h;
    EXPECT_FALSE(TvynHTTP_API_Cryptohopper::ReadHopper(text, h)) << text;
    EXPECT_EQ(h.GetJSONText(), "{}");
    EXPECT_EQ(h.Enabled, -1);
  }
}

TEST(vynCTHopperRead, NumberAsTextAndAbsentMembers) {
  TvynHTTPCTHopper h;
  h.Exchange = "old";
  h.Paper_Trading = 1;
  EXPECT_TRUE(TvynHTTP_API_Cryptohopper::ReadHopper("{\"data\":{\"hopper\":{\"name\":12}}}", h));
  EXPECT_EQ(h.HopperName, "12");
  EXPECT_EQ(h.Exchange, "old");
  EXPECT_EQ(h.Paper_Trading, 1);
}

TEST(vynCTHopperRead, UnconvertibleIntegerEndsTheReadKeepingWhatWasSet) {
  for (const char* bad : {"null", "\"yes\"", "\"\"", "99999999999"}) {
    TvynHTTPCTHopper h;
    const std::string text =
        std::string("{\"data\":{\"hopper\":{\"name\":\"N\",\"enabled\":") + bad + ",\"exchange\":\"e\"}}}";
    EXPECT_THROW(TvynHTTP_API_Cryptohopper::ReadHopper(text, h), EConvertError) << bad;
    EXPECT_EQ(h.HopperName, "N");
    EXPECT_EQ(h.Exchange, "");
  }
}

TEST_F(ClientTest, GetHopperRecordForm) {
  http.Response = "{\"data\":{\"hopper\":{\"enabled\":\"0\",\"paper_trading\":1}}}";
  TvynHTTPCTHopper h;
  EXPECT_TRUE(client.GetHopper("7", h));
  EXPECT_EQ(h.Enabled, 0);
  EXPECT_EQ(h.Paper_Trading, 1);
  EXPECT_EQ(http.Requests.at(0).URL, std::string(kBase) + "/hopper/7");
  http.Response = "";
  TvynHTTPCTHopper untouched;
  EXPECT_FALSE(client.GetHopper("7", untouched));
  EXPECT_EQ(untouched.Enabled, -1);
}

}  // namespace
