// The Webhook box end to end, as bin/cryptohopper --sandbox runs it: the
// window's fields as sandbox mode fills them (a free high port, the
// sandbox's certificate) start the real receiver; the sandbox registers it
// with its "validate" call and then sends it signed order events, which
// must land in the log once each. Calls the sandbox did not sign, and calls
// after the box is unchecked, must leave the log alone.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QRegularExpression>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTest>

#include <algorithm>

#include "app/SandboxMode.h"
#include "tests/app/window_script.h"
#include "tests/cryptohopper_peer/webhook_peer.h"

namespace {

class SandboxWebhookBoxTest : public ::testing::Test {
protected:
  void SetUp() override {
    service.Start();
    ConnectToSandbox(w, service);
    Port = static_cast<std::uint16_t>(w.txtPort->text().toInt());
    w.show();
  }
  void TearDown() override { service.Stop(); }

  void Click(QAbstractButton* aButton) { ClickOnItsPage(w, aButton); }
  // Lets the UI thread run until aDone, at most about twenty seconds.
  static bool Pump(const std::function<bool()>& aDone) {
    for (int i = 0; i < 2000 && !aDone(); ++i) QTest::qWait(10);
    return aDone();
  }
  // Every webhook call the sandbox queued has been answered (or has failed)
  // and every body the receiver took has reached the log.
  void Settle() {
    ASSERT_TRUE(Pump([&] { return service.WaitWebhooksIdle(0); }));
    // The receiver queues a body before it answers; one more turn of the
    // event loop appends what is queued.
    QTest::qWait(50);
  }
  // The log's entries, one a line.
  std::vector<std::string> Entries() const {
    std::vector<std::string> out;
    for (const QString& line : w.memoLog->toPlainText().split(QChar('\n'), Qt::SkipEmptyParts))
      out.push_back(line.toStdString());
    return out;
  }
  int Count(const std::string& aEntry) const {
    const std::vector<std::string> all = Entries();
    return static_cast<int>(std::count(all.begin(), all.end(), aEntry));
  }
  std::vector<std::string> Errors() const {
    std::vector<std::string> out;
    for (const Seen& s : modals.Windows) out.push_back(s.Kind + ": " + s.Text);
    return out;
  }
  std::vector<sandbox::WebhookDelivery> Delivered(const std::string& aType) const {
    std::vector<sandbox::WebhookDelivery> out;
    for (const sandbox::WebhookDelivery& d : service.Deliveries())
      if (d.Type == aType) out.push_back(d);
    return out;
  }
  sandbox::Service service;
  TFRMCryptohopper w;
  ModalScript modals;
  std::uint16_t Port = 0;
};

TEST_F(SandboxWebhookBoxTest, TheBoxReceivesTheSandboxsEventsUntilUnchecked) {
  // Sandbox mode filled in a high port and the sandbox's own certificate.
  ASSERT_GE(Port, 1024);
  EXPECT_EQ(w.txtCertificate->text().toStdString(), service.CombinedFile());
  EXPECT_EQ(w.txtWebhookURL->text().toStdString(), "https://127.0.0.1:" + std::to_string(Port) + "/webhook");

  Click(w.chkWebhook);
  ASSERT_TRUE(w.chkWebhook->isChecked());
  ASSERT_TRUE(Pump([&] { return w.cryptohopper->WebhookActive(); })) << ::testing::PrintToString(Errors());

  // Registering the URL makes the sandbox call "validate": the receiver
  // answers with the window's code, and nothing is logged for it.
  Click(w.btnCreateWebhook);
  Settle();
  const std::vector<std::string> afterCreate = Entries();
  ASSERT_EQ(afterCreate.size(), 1u) << ::testing::PrintToString(afterCreate);
  EXPECT_NE(afterCreate[0].find("\"status\":\"pending\""), std::string::npos) << afterCreate[0];
  const std::vector<sandbox::WebhookDelivery> validations = Delivered("validate");
  ASSERT_EQ(validations.size(), 1u);
  EXPECT_EQ(validations[0].Status, 200);
  EXPECT_EQ(validations[0].Answer, w.txtValidationCode->text().toStdString());
  EXPECT_TRUE(Delivered("messages").empty());

  // A limit order placed through the window is one event: the order's
  // answer and the signed event each appear once.
  Click(w.cboPlaceLimitOrder);
  Settle();
  const std::vector<sandbox::WebhookDelivery> events = Delivered("messages");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Status, 200);
  EXPECT_EQ(events[0].Answer, "");
  EXPECT_FALSE(events[0].Signature.empty());
  EXPECT_NE(events[0].Body.find("\"message_type\":\"order_placed\""), std::string::npos) << events[0].Body;
  EXPECT_EQ(Count(events[0].Body), 1) << ::testing::PrintToString(Entries());
  EXPECT_EQ(Entries().size(), 3u);

  // A market order fills at once: placed and traded, two events, in order.
  Click(w.cboPlaceMarketOrder);
  Settle();
  const std::vector<sandbox::WebhookDelivery> more = Delivered("messages");
  ASSERT_EQ(more.size(), 3u);
  EXPECT_NE(more[1].Body.find("\"order_placed\""), std::string::npos);
  EXPECT_NE(more[2].Body.find("\"trade_completed\""), std::string::npos);
  const std::vector<std::string> entries = Entries();
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[4], more[1].Body);
  EXPECT_EQ(entries[5], more[2].Body);

  // Calls the sandbox did not sign are answered and add nothing.
  struct Unsigned {
    const char* Name;
    std::vector<std::string> Header;  // curl -H arguments
  };
  const Unsigned calls[] = {
      {"no signature header", {}},
      {"an empty signature header", {"-H", "X-HUB-SIGNATURE;"}},
  };
  for (const Unsigned& c : calls) {
    SCOPED_TRACE(c.Name);
    std::vector<std::string> argv{"curl",
                                  "-sS",
                                  "--max-time",
                                  "20",
                                  "--cacert",
                                  service.CertFile(),
                                  "-o",
                                  "/dev/null",
                                  "-w",
                                  "%{http_code}",
                                  "-H",
                                  "Content-Type: application/json",
                                  "--data-binary",
                                  "{\"type\":\"messages\",\"unsigned\":1}"};
    argv.insert(argv.end(), c.Header.begin(), c.Header.end());
    argv.push_back("https://127.0.0.1:" + std::to_string(Port) + "/webhook");
    const webpeer::CommandResult r = webpeer::RunCommand(argv);
    EXPECT_EQ(r.Out, "200") << r.Err;
  }
  QTest::qWait(100);
  EXPECT_EQ(Entries(), entries);

  // Unchecked, the receiver stops: its port refuses connections, and the
  // sandbox's next event finds nobody and is logged nowhere.
  Click(w.chkWebhook);
  EXPECT_FALSE(w.chkWebhook->isChecked());
  // The stop runs on the receiver's own thread and closes the listener
  // shortly after the receiver reports itself inactive.
  ASSERT_TRUE(Pump([&] { return !w.cryptohopper->WebhookActive() && webhookpeer::Refused(Port); }));
  Click(w.cboPlaceLimitOrder);
  Settle();
  const std::vector<sandbox::WebhookDelivery> last = Delivered("messages");
  ASSERT_EQ(last.size(), 4u);
  EXPECT_EQ(last[3].Status, 0) << last[3].Answer;
  EXPECT_EQ(Entries().size(), 7u);
  EXPECT_EQ(Count(last[3].Body), 0);
  EXPECT_TRUE(Errors().empty()) << Errors().front();
}

// The status bar after a token, a receiver start and a request, all real.
TEST_F(SandboxWebhookBoxTest, StatusBarFollowsTokenReceiverAndRequests) {
  const auto text = [](QLabel* aLabel) { return aLabel->text().toStdString(); };
  EXPECT_EQ(text(w.lblToken), "Token: none");
  EXPECT_EQ(text(w.lblWebhook), "Webhook: off");

  Click(w.chkWebhook);
  const std::string listening = "Webhook: listening on 127.0.0.1:" + std::to_string(Port);
  ASSERT_TRUE(Pump([&] { return text(w.lblWebhook) == listening; })) << text(w.lblWebhook);
  EXPECT_EQ(text(w.lblToken), "Token: none") << "starting the receiver asks for no token";

  Click(w.btnCreateWebhook);
  EXPECT_TRUE(QRegularExpression("^Token: valid until \\d\\d:\\d\\d:\\d\\d$").match(w.lblToken->text()).hasMatch())
      << text(w.lblToken);
  EXPECT_NE(w.cryptohopper->TokenExpires(), 0);
  const std::string request = text(w.lblRequest);
  EXPECT_TRUE(QRegularExpression("^Last request: POST /v1/api/webhooks, 20\\d, \\d+ ms$")
                  .match(w.lblRequest->text())
                  .hasMatch())
      << request;
  EXPECT_EQ(text(w.lblWebhook), listening);

  Click(w.chkWebhook);
  EXPECT_TRUE(Pump([&] { return text(w.lblWebhook) == "Webhook: off"; })) << text(w.lblWebhook);
  EXPECT_TRUE(Errors().empty()) << Errors().front();
}

}  // namespace
