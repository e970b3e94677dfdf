// The window's Webhook box with the real receiver: checking it starts the
// receiver with the window's settings (curl plays the service), unchecking
// stops it, and a receiver that cannot start is shown in the error box with
// the box unchecked again.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextDocument>

#include "json/vynJSON.h"
#include "tests/app/window_script.h"
#include "tests/cryptohopper_peer/webhook_peer.h"

namespace {

class WindowWebhookTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { FCert = new webhookpeer::ReceiverCertificate(); }
  static void TearDownTestSuite() {
    delete FCert;
    FCert = nullptr;
  }

  void SetUp() override {
    Port = webpeer::FreePort();
    w.txtHost->setText("127.0.0.1");
    w.txtPort->setText(QString::number(Port));
    w.txtCertificate->setText(QString::fromStdString(FCert->Path()));
    w.txtPassword->setText(webhookpeer::kKeyPassword);
    w.txtValidationCode->setText("4242");
    w.show();
  }

  std::string Log() const { return w.memoLog->toPlainText().toStdString(); }
  std::vector<std::string> Errors() const {
    std::vector<std::string> out;
    for (const Seen& s : modals.Windows) out.push_back(s.Kind + ": " + s.Text);
    return out;
  }
  // Lets the UI thread run until ADone, at most about ten seconds.
  static bool Pump(const std::function<bool()>& ADone) {
    for (int i = 0; i < 1000 && !ADone(); ++i) QTest::qWait(10);
    return ADone();
  }
  webhookpeer::Answer Post(const std::string& ABody, const std::string& ASignature = {}) {
    return webhookpeer::Call(Port, FCert->Path(), "POST", ABody, ASignature);
  }

  static webhookpeer::ReceiverCertificate* FCert;
  std::uint16_t Port = 0;
  TFRMCryptohopper w;
  ModalScript modals;
};
webhookpeer::ReceiverCertificate* WindowWebhookTest::FCert = nullptr;

TEST_F(WindowWebhookTest, CheckingStartsTheReceiverAndUncheckingStopsIt) {
  ClickOnItsPage(w, w.chkWebhook);
  ASSERT_TRUE(w.chkWebhook->isChecked());
  ASSERT_TRUE(Pump([&] { return w.cryptohopper->WebhookActive(); }));

  const webhookpeer::Answer validate = Post("{\"type\":\"validate\"}");
  EXPECT_EQ(validate.Status, 200);
  EXPECT_EQ(validate.Body, "4242");
  EXPECT_TRUE(Log().empty()) << "a validation is not an event";

  const std::string event = "{\"type\":\"messages\",\"data\":{\"order_id\":\"77\"}}";
  EXPECT_EQ(Post(event, "sig").Status, 200);
  ASSERT_TRUE(Pump([&] { return !Log().empty(); }));
  EXPECT_EQ(Log(), event);
  // Without a signature: answered, not logged.
  EXPECT_EQ(Post("{\"type\":\"messages\",\"n\":2}").Status, 200);
  QTest::qWait(100);
  EXPECT_EQ(Log(), event);

  ClickOnItsPage(w, w.chkWebhook);
  EXPECT_FALSE(w.chkWebhook->isChecked());
  // The receiver reports itself inactive when its stop begins; the listener
  // closes on the stop thread a moment later.
  ASSERT_TRUE(Pump([&] { return !w.cryptohopper->WebhookActive() && webhookpeer::Refused(Port); }));
  EXPECT_NE(Post("{\"type\":\"validate\"}").Exit, 0) << "nothing listens any more";
  EXPECT_TRUE(Errors().empty()) << Errors().front();
}

TEST_F(WindowWebhookTest, AReceiverThatCannotStartIsShownAndUnchecked) {
  struct Case {
    const char* Name;
    std::function<void()> Spoil;
  };
  int blocker = -1;
  const Case cases[] = {
      {"wrong key password", [&] { w.txtPassword->setText("not-it"); }},
      {"missing certificate", [&] { w.txtCertificate->setText("/nonexistent/vyn.pem"); }},
      {"port in use",
       [&] {
         blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
         sockaddr_in a{};
         a.sin_family = AF_INET;
         a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
         a.sin_port = htons(Port);
         ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
         ASSERT_EQ(::listen(blocker, 1), 0);
       }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name);
    SetUp();
    modals.Windows.clear();
    k.Spoil();
    ClickOnItsPage(w, w.chkWebhook);
    ASSERT_TRUE(Pump([&] { return !modals.Windows.empty(); }));
    ASSERT_EQ(modals.Windows.size(), 1u);
    EXPECT_EQ(modals.Windows[0].Kind, "error");
    EXPECT_EQ(modals.Windows[0].Text.rfind("The webhook receiver is not running: ", 0), 0u) << modals.Windows[0].Text;
    EXPECT_FALSE(w.chkWebhook->isChecked());
    EXPECT_FALSE(w.cryptohopper->WebhookActive());
    if (blocker >= 0) ::close(blocker);
    blocker = -1;
  }
  // Mended, the box works again.
  SetUp();
  modals.Windows.clear();
  ClickOnItsPage(w, w.chkWebhook);
  ASSERT_TRUE(Pump([&] { return w.cryptohopper->WebhookActive(); }));
  EXPECT_EQ(Post("{\"type\":\"validate\"}").Body, "4242");
  EXPECT_TRUE(modals.Windows.empty());
}

}  // namespace

namespace {

// Ten thousand calls from many connections at once: each lands in the log
// exactly once.
TEST_F(WindowWebhookTest, TenThousandConcurrentCallsAllReachTheLogOnce) {
  constexpr int kCalls = 10000;
  ClickOnItsPage(w, w.chkWebhook);
  ASSERT_TRUE(Pump([&] { return w.cryptohopper->WebhookActive(); }));
  webpeer::Python flood(webhookpeer::kFloodScript, {std::to_string(Port), FCert->Path(), std::to_string(kCalls), "16"});
  // The UI thread keeps taking the bodies while the calls arrive; about five
  // minutes at most.
  bool done = false;
  for (int i = 0; i < 3000 && !done; ++i) {
    QTest::qWait(20);
    done = flood.Proc().WaitFor("DONE", 80);
  }
  ASSERT_TRUE(done) << flood.Proc().Output();
  EXPECT_NE(flood.Proc().Output().find("DONE ok=10000 failed=0"), std::string::npos) << flood.Proc().Output();
  auto entries = [&] { return w.memoLog->document()->blockCount(); };
  Pump([&] { return entries() >= kCalls; });
  std::vector<int> seen(kCalls, 0);
  int foreign = 0;
  const QStringList lines = w.memoLog->toPlainText().split(QChar('\n'));
  for (const QString& line : lines) {
    TvynJSON doc;
    doc.Read(line.toStdString());
    TvynObjectJSON* n = doc.FindNode("n");
    const int at = n ? std::atoi(n->ValueText().c_str()) : -1;
    if (at < 0 || at >= kCalls) {
      ++foreign;
      continue;
    }
    ++seen[static_cast<std::size_t>(at)];
  }
  EXPECT_EQ(foreign, 0);
  int lost = 0, doubled = 0;
  for (int count : seen) {
    lost += count == 0;
    doubled += count > 1;
  }
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(doubled, 0);
  EXPECT_EQ(lines.size(), kCalls);
}

}  // namespace
