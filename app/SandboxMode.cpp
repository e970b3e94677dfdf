#include "app/SandboxMode.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLineEdit>

#include "platform/SysUtils.h"

namespace {
constexpr const char* kSandboxTitleSuffix = " (sandbox)";
constexpr const char* kSandboxHopperId = "1";
constexpr const char* kSandboxCoin = "BTC";
}  // namespace

std::uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw Exception("Cannot find a free port: no socket");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
  ::close(fd);
  if (!ok) throw Exception("Cannot find a free port on 127.0.0.1");
  return ntohs(a.sin_port);
}

void ConnectToSandbox(TFRMCryptohopper& aWindow, const sandbox::Service& aService) {
  TvynHTTP_Cryptohopper& client = *aWindow.cryptohopper;
  client.SetAPIHost(aService.Origin());
  client.SetWebHost(aService.Origin());
  // The REST calls and the token request trust exactly the sandbox's
  // certificate (the token request takes the root the REST calls use).
  client.TLSOptions().RootCertFile = aService.CertFile();
  client.TLSOptions().VerifyCertificate = true;

  const sandbox::Options& s = aService.Settings();
  aWindow.txtClientId->setText(QString::fromStdString(s.ClientId));
  aWindow.txtClientSecret->setText(QString::fromStdString(s.ClientSecret));
  aWindow.txtLocalIP->setText("127.0.0.1");
  aWindow.txtLocalPort->setText(QString::number(FreeLoopbackPort()));

  const std::uint16_t webhookPort = FreeLoopbackPort();
  aWindow.txtHost->setText("127.0.0.1");
  aWindow.txtPort->setText(QString::number(webhookPort));
  aWindow.txtValidationCode->setText(QString::fromStdString(s.ValidationCode));
  aWindow.txtCertificate->setText(QString::fromStdString(aService.CombinedFile()));
  aWindow.txtPassword->clear();
  aWindow.txtWebhookURL->setText(
      QString::fromStdString("https://127.0.0.1:" + std::to_string(webhookPort) + "/webhook"));

  aWindow.txtHopperId->setText(kSandboxHopperId);
  aWindow.txtCoin->setText(kSandboxCoin);
  aWindow.setWindowTitle(aWindow.windowTitle() + kSandboxTitleSuffix);
}
