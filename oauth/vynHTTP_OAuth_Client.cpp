#include "oauth/vynHTTP_OAuth_Client.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fcntl.h>
#include <atomic>
#include <mutex>
#include <thread>

#include "platform/SysUtils.h"
#include "server/vynWSHTTPServer.h"
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
// The listener whose request handler runs on this thread, if any.
thread_local const void* tServingListener = nullptr;

// The listener on the server component. Requests of every method the
// component hands to OnCommandGet (HEAD, GET, POST) reach the handler with
// their decoded query parameters.
//
// The handler may stop the listener from the connection it serves. That
// connection cannot wait for itself, and the browser should still get its
// answer: the answer is written at once, and a stopper thread of the
// listener's own then deactivates the server (waiting for every connection)
// and clears the bindings. Whoever uses the listener next waits for it.
class ServerComponentListener : public detail::OAuthLocalServer {
public:
  ServerComponentListener() {
    FServer.OnCommandGet = [this](TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                  TIdHTTPResponseInfo* AResponseInfo) {
      Serve(TvynWSServer_Talvex_Base::ConnectionOf(AContext), ARequestInfo, AResponseInfo);
    };
  }
  ~ServerComponentListener() override { FinishStop(); }

  bool Active() override {
    if (Serving()) return !FStopRequested && FServer.Active();
    FinishStop();
    return FServer.Active();
  }
  void SetActive(bool aValue) override {
    if (Serving() && !aValue) {
      FStopRequested = true;
      return;
    }
    FinishStop();
    FServer.SetActive(aValue);
  }
  void SetPort(std::int32_t aValue) override {
    FinishStop();
    FServer.SetPort(aValue);
  }
  bool SSL() override { return FServer.SSL(); }
  void SetSSL(bool aValue) override {
    FinishStop();
    FServer.SetSSL(aValue);
  }
  void SetSSLOptions(const TvynHTTPOAuthSSL_Options& aValue) override {
    FinishStop();
    // Everything, the OpenSSL options included.
    FServer.SSLOptions().Assign(aValue);
  }
  void AddBinding(const std::string& aIP, std::uint16_t aPort) override {
    FinishStop();
    TIdSocketHandle& binding = FServer.Bindings().Add();
    binding.SetIP(aIP);
    binding.SetPort(aPort);
    if (aIP.find(':') != std::string::npos) binding.SetIPVersion(TIdIPVersion::Id_IPv6);
  }
  void ClearBindings() override {
    // From the connection being served the stopper clears them, once the
    // listener threads that use them have ended.
    if (Serving()) return;
    FinishStop();
    FServer.Bindings().Clear();
  }

private:
  bool Serving() const { return tServingListener == this; }

  void Serve(TvynWSConnectionServer* AConnection, TIdHTTPRequestInfo* ARequestInfo,
             TIdHTTPResponseInfo* AResponseInfo) {
    tServingListener = this;
    try {
      if (OnCommandGet) OnCommandGet(AConnection, ARequestInfo, AResponseInfo);
    } catch (...) {
      tServingListener = nullptr;
      throw;
    }
    tServingListener = nullptr;
    if (!FStopRequested.exchange(false)) return;
    // Answered now: the stop closes every connection, this one included.
    AResponseInfo->SetCloseConnection(true);
    AResponseInfo->WriteHeader();
    AResponseInfo->WriteContent();
    std::lock_guard<std::mutex> guard(FStopperLock);
    if (FStopper.joinable()) return;  // one stop on its way is enough
    FStopper = std::thread([this] {
      try {
        FServer.SetActive(false);
      } catch (...) {
        // Nobody to report to on this thread; the next start tries anew.
      }
      FServer.Bindings().Clear();
    });
  }

  // Waits for a stop handed to the stopper thread.
  void FinishStop() {
    std::thread stopper;
    {
      std::lock_guard<std::mutex> guard(FStopperLock);
      stopper = std::move(FStopper);
    }
    if (stopper.joinable()) stopper.join();
  }

  TvynWSHTTPServer FServer;
  std::atomic<bool> FStopRequested{false};
  std::mutex FStopperLock;
  std::thread FStopper;
};
}  // namespace

detail::OAuthLocalServerFactory detail::ServerComponentListenerFactory() {
  return [] { return std::make_unique<ServerComponentListener>(); };
}

detail::OAuthLocalServerFactory detail::SetOAuthLocalServerFactory(OAuthLocalServerFactory aFactory) {
  std::lock_guard<std::mutex> guard(FactoryLock());
  std::swap(Factory(), aFactory);
  return aFactory;
}

// ---------------------------------------------------------------------------

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

void TvynHTTPComponentClient_OAuth::OnLocalServerRequestEvent(TvynWSConnectionServer*, TIdHTTPRequestInfo*,
                                                              TIdHTTPResponseInfo*) {}

bool TvynHTTPComponentClient_OAuth::StartLocalServer() {
  if (!FHTTPServer) {
    {
      std::lock_guard<std::mutex> guard(FactoryLock());
      if (Factory()) FHTTPServer = Factory()();
    }
    if (!FHTTPServer) return false;
    FHTTPServer->OnCommandGet = [this](TvynWSConnectionServer* aConnection, TIdHTTPRequestInfo* aRequestInfo,
                                       TIdHTTPResponseInfo* aResponseInfo) {
      OnLocalServerRequestEvent(aConnection, aRequestInfo, aResponseInfo);
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
  if (!FHTTPServer) return;
  if (FHTTPServer->Active()) FHTTPServer->SetActive(false);
  // Also after a start that could not bind: the next start adds its binding
  // anew and must not find this one still there.
  FHTTPServer->ClearBindings();
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
