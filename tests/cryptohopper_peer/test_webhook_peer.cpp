// The service client's webhook receiver over real HTTPS: curl plays the
// service calling it, with a certificate made at test time whose key is
// protected by a password.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <thread>
#include <utility>

#include "cryptohopper/vynWebSocket_APIs.h"
#include "tests/cryptohopper_peer/webhook_peer.h"

namespace {

using webhookpeer::Answer;
using webhookpeer::Call;

// Counts the requests that reach the handler.
class Probe : public TvynHTTP_Cryptohopper {
public:
  using TvynHTTP_Cryptohopper::SyncWebhookState;
  std::atomic<int> HandlerCalls{0};

protected:
  void OnWebhookRequestEvent(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                             TIdHTTPResponseInfo* AResponseInfo) override {
    ++HandlerCalls;
    TvynHTTP_Cryptohopper::OnWebhookRequestEvent(AContext, ARequestInfo, AResponseInfo);
  }
};

struct Event {
  std::string Body;
  std::string Signature;
  bool operator==(const Event&) const = default;
};

class WebhookTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { FCert = new webhookpeer::ReceiverCertificate(); }
  static void TearDownTestSuite() {
    delete FCert;
    FCert = nullptr;
  }

  void SetUp() override {
    Port = webpeer::FreePort();
    Configure(client);
    client.OnWebhook = [this](TComponent* Sender, const std::string& aBody, const std::string& aSignature) {
      EXPECT_EQ(Sender, &client);
      std::lock_guard<std::mutex> g(Lock);
      Events.push_back({aBody, aSignature});
    };
    client.OnWebhookError = [this](TComponent*, const std::string& aMessage, bool aRunning) {
      std::lock_guard<std::mutex> g(Lock);
      Errors.push_back(aMessage);
      ErrorRunning = aRunning;
      Changed.notify_all();
    };
  }

  void Configure(TvynHTTP_Cryptohopper& C) {
    TvynHTTPCryptohopperWebhook_Options& o = C.CryptohopperOptions().Webhook;
    o.Enabled = true;
    o.Host = "127.0.0.1";
    o.Port = Port;
    o.SSLOptions.CertFile = FCert->Path();
    o.SSLOptions.KeyFile = FCert->Path();
    o.SSLOptions.RootCertFile = FCert->Path();
    o.SSLOptions.Password = webhookpeer::kKeyPassword;
    o.SSLOptions.Version = TwsTLSVersions::tls1_2;
  }

  // Waits (bounded) until the receiver's state is AActive.
  static bool WaitActive(TvynHTTP_Cryptohopper& C, bool AActive) {
    for (int i = 0; i < 1000 && C.WebhookActive() != AActive; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return C.WebhookActive() == AActive;
  }

  // Waits (bounded) for the first error report.
  bool WaitError() {
    std::unique_lock<std::mutex> l(Lock);
    return Changed.wait_for(l, std::chrono::seconds(10), [&] { return !Errors.empty(); });
  }

  std::vector<Event> TakeEvents() {
    std::lock_guard<std::mutex> g(Lock);
    return std::exchange(Events, {});
  }

  Answer Post(const std::string& ABody, const std::string& ASignature = {}) {
    return Call(Port, FCert->Path(), "POST", ABody, ASignature);
  }

  static webhookpeer::ReceiverCertificate* FCert;
  std::uint16_t Port = 0;
  Probe client;
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<Event> Events;
  std::vector<std::string> Errors;
  bool ErrorRunning = true;
};
webhookpeer::ReceiverCertificate* WebhookTest::FCert = nullptr;

TEST_F(WebhookTest, AnswersEachKindOfCallAsTheServiceExpects) {
  client.StartWebhook();
  ASSERT_TRUE(WaitActive(client, true));
  const std::string message = "{\"type\":\"messages\",\"data\":{\"order\":7}}";
  struct Case {
    const char* Name;
    std::string Method;
    std::string Body;
    std::string Signature;
    int Status;
    std::string ContentType;  // prefix; empty: not checked
    std::string Answer;
    std::vector<Event> Raised;
  };
  const Case cases[] = {
      {"validate", "POST", "{\"type\":\"validate\"}", "", 200, "text/html", "9632", {}},
      {"validate signed", "POST", "{\"type\":\"validate\"}", "sha=1", 200, "text/html", "9632", {}},
      {"message signed", "POST", message, "c2lnbmF0dXJl", 200, "text/html", "", {{message, "c2lnbmF0dXJl"}}},
      {"message unsigned", "POST", message, "", 200, "text/html", "", {}},
      {"other case", "POST", "{\"type\":\"Validate\"}", "", 404, "", "", {}},
      {"unknown type", "POST", "{\"type\":\"order\"}", "s", 404, "", "", {}},
      {"no type", "POST", "{\"data\":1}", "s", 404, "", "", {}},
      {"malformed", "POST", "{\"type\":\"messa", "s", 404, "", "", {}},
      {"plain GET", "GET", "", "", 404, "", "", {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name);
    const Answer a = Call(Port, FCert->Path(), k.Method, k.Body, k.Signature);
    ASSERT_EQ(a.Exit, 0);
    EXPECT_EQ(a.Status, k.Status);
    if (k.Status == 200) {
      EXPECT_EQ(a.Body, k.Answer);
    }
    if (!k.ContentType.empty()) {
      EXPECT_EQ(a.ContentType.rfind(k.ContentType, 0), 0u) << a.ContentType;
    }
    EXPECT_EQ(TakeEvents(), k.Raised);
  }
}

TEST_F(WebhookTest, OtherMethodsNeverReachTheHandler) {
  client.StartWebhook();
  ASSERT_TRUE(WaitActive(client, true));
  for (const char* method : {"PUT", "DELETE"}) {
    SCOPED_TRACE(method);
    const Answer a = Call(Port, FCert->Path(), method, "{\"type\":\"validate\"}", "s");
    ASSERT_EQ(a.Exit, 0);
    // The server's own answer for a request nobody handled.
    EXPECT_EQ(a.Status, 200);
    EXPECT_EQ(a.Body, "<HTML><BODY><B>200 OK</B></BODY></HTML>");
  }
  EXPECT_EQ(client.HandlerCalls, 0);
  EXPECT_TRUE(TakeEvents().empty());
}

TEST_F(WebhookTest, OptionsChangedWhileRunningTakeEffectAtTheNextRequest) {
  client.StartWebhook();
  ASSERT_TRUE(WaitActive(client, true));
  TvynHTTPCryptohopperWebhook_Options& o = client.CryptohopperOptions().Webhook;
  o.ValidationCode = "code-2";
  EXPECT_EQ(Post("{\"type\":\"validate\"}").Body, "code-2");
  // Disabled but not yet stopped (no request has synchronised the state):
  // every call is refused.
  o.Enabled = false;
  EXPECT_TRUE(client.WebhookActive());
  EXPECT_EQ(Post("{\"type\":\"validate\"}").Status, 404);
  EXPECT_EQ(Post("{\"type\":\"messages\"}", "s").Status, 404);
  EXPECT_TRUE(TakeEvents().empty());
  // The next synchronisation stops it.
  client.SyncWebhookState();
  ASSERT_TRUE(WaitActive(client, false));
  // Inactive from the moment the stop begins; the listener closes on the
  // stop thread a moment later.
  for (int i = 0; i < 1000 && !webhookpeer::Refused(Port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_NE(Post("{\"type\":\"validate\"}").Exit, 0) << "nothing listens any more";
}

TEST_F(WebhookTest, ValidationCodeWrittenWhileCallsArriveIsNeverTorn) {
  client.StartWebhook();
  ASSERT_TRUE(WaitActive(client, true));
  const std::string a(3000, 'a'), b(5000, 'b');
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop && i < 200000; ++i) client.CryptohopperOptions().Webhook.ValidationCode = (i % 2) ? a : b;
  });
  for (int i = 0; i < 20; ++i) {
    const std::string got = Post("{\"type\":\"validate\"}").Body;
    EXPECT_TRUE(got == a || got == b) << got.size();
  }
  stop = true;
  writer.join();
}

TEST_F(WebhookTest, StopAndStartAgainOnTheNewSettings) {
  client.StartWebhook();
  ASSERT_TRUE(WaitActive(client, true));
  client.StopWebhook();
  ASSERT_TRUE(WaitActive(client, false));
  // Host and port changes apply at the next start after a stop.
  const std::uint16_t old = Port;
  Port = webpeer::FreePort();
  client.CryptohopperOptions().Webhook.Port = Port;
  client.StartWebhook();
  ASSERT_TRUE(WaitActive(client, true));
  EXPECT_EQ(Post("{\"type\":\"validate\"}").Body, "9632");
  EXPECT_NE(Call(old, FCert->Path(), "POST", "{\"type\":\"validate\"}").Exit, 0);
  EXPECT_TRUE(Errors.empty());
}

// A receiver that cannot start is reported, never silent, and stays off.
TEST_F(WebhookTest, AStartThatFailsIsReported) {
  struct Case {
    const char* Name;
    std::function<void(TvynHTTPCryptohopperWebhook_Options&)> Spoil;
  };
  int blocker = -1;
  const Case cases[] = {
      {"missing certificate",
       [](TvynHTTPCryptohopperWebhook_Options& o) {
         o.SSLOptions.CertFile = o.SSLOptions.KeyFile = o.SSLOptions.RootCertFile = "/nonexistent/vyn.pem";
       }},
      {"wrong key password", [](TvynHTTPCryptohopperWebhook_Options& o) { o.SSLOptions.Password = "wrong"; }},
      {"port in use",
       [&](TvynHTTPCryptohopperWebhook_Options& o) {
         blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
         sockaddr_in a{};
         a.sin_family = AF_INET;
         a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
         a.sin_port = htons(static_cast<std::uint16_t>(o.Port));
         ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
         ASSERT_EQ(::listen(blocker, 1), 0);
       }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name);
    Probe c;
    Port = webpeer::FreePort();
    Configure(c);
    k.Spoil(c.CryptohopperOptions().Webhook);
    {
      std::lock_guard<std::mutex> g(Lock);
      Errors.clear();
      ErrorRunning = true;
    }
    c.OnWebhookError = client.OnWebhookError;
    c.StartWebhook();  // returns at once: the start runs on its own thread
    ASSERT_TRUE(WaitError());
    {
      std::lock_guard<std::mutex> g(Lock);
      EXPECT_FALSE(Errors.front().empty());
      EXPECT_FALSE(ErrorRunning);
    }
    EXPECT_FALSE(c.WebhookActive());
    // The next request's synchronisation only configures it again.
    c.SyncWebhookState();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(c.WebhookActive());
    if (blocker >= 0) ::close(blocker);
    blocker = -1;
  }
}

TEST_F(WebhookTest, TheClientGoesWhileCallsArrive) {
  auto c = std::make_unique<Probe>();
  Configure(*c);
  std::atomic<int> raised{0};
  c->OnWebhook = [&](TComponent*, const std::string&, const std::string&) { ++raised; };
  c->StartWebhook();
  ASSERT_TRUE(WaitActive(*c, true));
  std::atomic<bool> stop{false};
  std::thread caller([&] {
    for (int i = 0; !stop && i < 200; ++i) Post("{\"type\":\"messages\"}", "s");
  });
  for (int i = 0; i < 2000 && raised == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  c.reset();  // stops and frees the receiver before the options its handler reads
  stop = true;
  caller.join();
  EXPECT_GT(raised.load(), 0);
}

}  // namespace
