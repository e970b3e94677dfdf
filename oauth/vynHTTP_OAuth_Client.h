// The base of the OAuth2 client: the authorization server's settings, the
// local listener that receives the browser's redirect, and opening a URL in
// the user's browser.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http_api/vynHTTP_Classes.h"
#include "http_api/vynHTTP_Client.h"
#include "platform/Classes.h"
#include "server/vynWSOptions.h"

class TvynWSConnectionServer;
class TIdHTTPRequestInfo;
class TIdHTTPResponseInfo;

// The listener's TLS settings: the server component's, nothing added (so
// the OpenSSL options reach the listener too). Port is the port TLS is
// spoken on; it is the bound port when the listener speaks HTTPS.
class TvynHTTPOAuthSSL_Options : public TvynWSSSL_Options {};

class TvynHTTPOAuth_LocalServerOptions : public TPersistent {
public:
  TvynHTTPOAuth_LocalServerOptions();
  // Copies IP, RedirectURL, Port, SSL, then SSLOptions.
  void Assign(const TPersistent& aSource) override;
  // RedirectURL when set, otherwise the listener's own URL (scheme, IP and
  // Port; no path, no trailing slash).
  std::string GetURL() const;

  std::string IP;
  std::int32_t Port = 8080;
  std::string RedirectURL;
  bool SSL = false;
  TvynHTTPOAuthSSL_Options SSLOptions;
};

class TvynHTTPOAuth_AuthorizationServer : public TPersistent {
public:
  // Copies AuthURL, TokenURL, then Scope as text.
  void Assign(const TPersistent& aSource) override;
  // The scope lines trimmed and joined by one space, path-encoded, with "/"
  // and ":" encoded as well.
  std::string GetScope() const;

  std::string AuthURL;
  TStringList Scope;
  std::string TokenURL;
};

namespace detail {
// What the client needs of its local listener: an HTTP server on its own
// threads whose GET/HEAD/POST requests reach OnCommandGet with the
// connection (none where there is no server component), the request (its
// decoded query parameters as name=value lines in Params) and the response
// (status and content text). SetActive(false) called from one of
// the listener's own connection threads must not wait for that connection.
// The HTTP server component provides it; tests may install their own.
class OAuthLocalServer {
public:
  virtual ~OAuthLocalServer() = default;
  virtual bool Active() = 0;
  virtual void SetActive(bool aValue) = 0;
  virtual void SetPort(std::int32_t aValue) = 0;
  virtual bool SSL() = 0;
  virtual void SetSSL(bool aValue) = 0;
  virtual void SetSSLOptions(const TvynHTTPOAuthSSL_Options& aValue) = 0;
  virtual void AddBinding(const std::string& aIP, std::uint16_t aPort) = 0;
  virtual void ClearBindings() = 0;
  std::function<void(TvynWSConnectionServer* aConnection, TIdHTTPRequestInfo* aRequestInfo,
                     TIdHTTPResponseInfo* aResponseInfo)>
      OnCommandGet;
};

using OAuthLocalServerFactory = std::function<std::unique_ptr<OAuthLocalServer>()>;

// Installs the process's listener factory (an empty function removes it) and
// returns the one it replaces. Without one there is no local listener: the
// authorization-code grant cannot start.
OAuthLocalServerFactory SetOAuthLocalServerFactory(OAuthLocalServerFactory aFactory);

// Listeners on the HTTP server component (TvynWSHTTPServer). The program
// installs this factory at start-up.
OAuthLocalServerFactory ServerComponentListenerFactory();
}  // namespace detail

class TvynHTTPComponentClient_OAuth : public TvynHTTPComponentClientAuthToken_Base {
public:
  explicit TvynHTTPComponentClient_OAuth(TComponent* aOwner = nullptr);
  ~TvynHTTPComponentClient_OAuth() override;

  TvynHTTPOAuth_AuthorizationServer& AuthorizationServerOptions() { return *FAuthorizationServerOptions; }
  void SetAuthorizationServerOptions(const TvynHTTPOAuth_AuthorizationServer& aValue) {
    FAuthorizationServerOptions->Assign(aValue);
  }
  TvynHTTPOAuth_LocalServerOptions& LocalServerOptions() { return *FLocalServerOptions; }
  void SetLocalServerOptions(const TvynHTTPOAuth_LocalServerOptions& aValue) { FLocalServerOptions->Assign(aValue); }

  void Start() override;
  virtual void Stop();

  // Asks the desktop to open aURL (the default browser for http/https);
  // true when it accepted the request.
  static bool OpenURL(const std::string& aURL);

protected:
  // The listener's request handler; the grants give it its behaviour.
  virtual void OnLocalServerRequestEvent(TvynWSConnectionServer* aConnection, TIdHTTPRequestInfo* aRequestInfo,
                                         TIdHTTPResponseInfo* aResponseInfo);
  // True when the listener is active afterwards; false when no listener
  // component is installed in this process.
  virtual bool StartLocalServer();
  virtual void StopLocalServer();
  // Whether a listener has been created and is active.
  bool LocalServerActive();

private:
  std::unique_ptr<detail::OAuthLocalServer> FHTTPServer;
  std::unique_ptr<TvynHTTPOAuth_AuthorizationServer> FAuthorizationServerOptions;
  std::unique_ptr<TvynHTTPOAuth_LocalServerOptions> FLocalServerOptions;
};
