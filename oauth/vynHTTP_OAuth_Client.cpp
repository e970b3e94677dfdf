#include "oauth/vynHTTP_OAuth_Client.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fcntl.h>
#include <mutex>

#include "platform/SysUtils.h"
#include "transport/vynIdURI.h"

extern char** environ;

namespace {
constexpr const char* kDefaultLocalIP = "127.0.0.1";
constexpr const char* kAbstractError = "Abstract Error";
constexpr const char* kBrowserOpener = "xdg-open";

std::mutex& FactoryLock() {
  static std::mutex lock;
  return lock;
}

detail::OAuthLocalServerFactory& Factory() {
  static detail::OAuthLocalServerFactory factory;
  return factory;
}

std::string ReplaceAll(std::string aText, const std::string& aWhat, const std::string& aWith) {
  for (std::size_t at = aText.find(aWhat); at != std::string::npos; at = aText.find(aWhat, at + aWith.size()))
    aText.replace(at, aWhat.size(), aWith);
  return aText;
}
}  // namespace

detail::OAuthLocalServerFactory detail::SetOAuthLocalServerFactory(OAuthLocalServerFactory aFactory) {
  std::lock_guard<std::mutex> guard(FactoryLock());
  std::swap(Factory(), aFactory);
  return aFactory;
}

// ---------------------------------------------------------------------------

void TvynHTTPOAuthSSL_Options::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynHTTPOAuthSSL_Options>(aSource);
  TvynSocketTLS_Options_Base::Assign(s);
  Port = s.Port;
}

TvynHTTPOAuth_LocalServerOptions::TvynHTTPOAuth_LocalServerOptions() : IP(kDefaultLocalIP) {}

void TvynHTTPOAuth_LocalServerOptions::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynHTTPOAuth_LocalServerOptions>(aSource);
  IP = s.IP;
  RedirectURL = s.RedirectURL;
  Port = s.Port;
  SSL = s.SSL;
  SSLOptions.Assign(s.SSLOptions);
}

std::string TvynHTTPOAuth_LocalServerOptions::GetURL() const {
  if (!RedirectURL.empty()) return RedirectURL;
  return std::string(SSL ? "https://" : "http://") + IP + ":" + std::to_string(Port);
}

void TvynHTTPOAuth_AuthorizationServer::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynHTTPOAuth_AuthorizationServer>(aSource);
  AuthURL = s.AuthURL;
  TokenURL = s.TokenURL;
  Scope.SetText(s.Scope.Text());
}

std::string TvynHTTPOAuth_AuthorizationServer::GetScope() const {
  std::string joined;
  for (int i = 0; i < Scope.Count(); ++i) {
    if (i > 0) joined += ' ';
    joined += Trim(Scope[i]);
  }
  // The scope travels inside a form body and a query: the path encoder leaves
  // "/" and ":" alone, which would end or split the value there.
  std::string encoded = TIdURI::PathEncode(joined);
  encoded = ReplaceAll(std::move(encoded), "/", "%2F");
  return ReplaceAll(std::move(encoded), ":", "%3A");
}

// ---------------------------------------------------------------------------

TvynHTTPComponentClient_OAuth::TvynHTTPComponentClient_OAuth(TComponent* aOwner)
    : TvynHTTPComponentClientAuthToken_Base(aOwner),
      FLocalServerOptions(std::make_unique<TvynHTTPOAuth_LocalServerOptions>()) {
  FAuthorizationServerOptions = std::make_unique<TvynHTTPOAuth_AuthorizationServer>();
}

TvynHTTPComponentClient_OAuth::~TvynHTTPComponentClient_OAuth() {
  StopLocalServer();
  FAuthorizationServerOptions.reset();
  FLocalServerOptions.reset();
  FHTTPServer.reset();
}

void TvynHTTPComponentClient_OAuth::Start() { throw Exception(kAbstractError); }

void TvynHTTPComponentClient_OAuth::Stop() { StopLocalServer(); }

void TvynHTTPComponentClient_OAuth::OnLocalServerRequestEvent(const TStrings&, TvynHTTPOAuth_LocalResponse&) {}

bool TvynHTTPComponentClient_OAuth::StartLocalServer() {
  if (!FHTTPServer) {
    {
      std::lock_guard<std::mutex> guard(FactoryLock());
      if (Factory()) FHTTPServer = Factory()();
    }
    if (!FHTTPServer) return false;
    FHTTPServer->OnCommandGet = [this](const TStrings& aParams, TvynHTTPOAuth_LocalResponse& aResponse) {
      OnLocalServerRequestEvent(aParams, aResponse);
    };
  }
  if (FHTTPServer->Active()) return true;
  const TvynHTTPOAuth_LocalServerOptions& o = LocalServerOptions();
  FHTTPServer->SetPort(o.Port);
  FHTTPServer->SetSSL(o.SSL);
  FHTTPServer->SetSSLOptions(o.SSLOptions);
  const std::int32_t port = FHTTPServer->SSL() ? o.SSLOptions.Port : o.Port;
  FHTTPServer->AddBinding(o.IP, static_cast<std::uint16_t>(port));
  FHTTPServer->SetActive(true);
  return FHTTPServer->Active();
}

void TvynHTTPComponentClient_OAuth::StopLocalServer() {
  if (FHTTPServer && FHTTPServer->Active()) {
    FHTTPServer->SetActive(false);
    FHTTPServer->ClearBindings();
  }
}

bool TvynHTTPComponentClient_OAuth::LocalServerActive() { return FHTTPServer && FHTTPServer->Active(); }

bool TvynHTTPComponentClient_OAuth::OpenURL(const std::string& aURL) {
  // The opener hands the URL to the desktop and returns; its exit status says
  // whether the desktop took it. Its output would only clutter the caller's.
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string program = kBrowserOpener;
  std::string url = aURL;
  char* argv[] = {program.data(), url.data(), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, kBrowserOpener, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
