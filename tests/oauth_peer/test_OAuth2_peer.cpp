// The OAuth2 client against a real HTTPS token endpoint on loopback, with
// certificates made at test time and the test's CA trusted explicitly.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "json/vynJSON.h"
#include "oauth/vynHTTP_OAuth2_Client.h"
#include "tests/oauth/fake_listener.h"
#include "tests/oauth_peer/token_server.h"

namespace {

// Exposes the refresh timer's state.
class Probe : public TvynHTTPComponentClient_OAuth2 {
public:
  using TvynHTTPComponentClient_OAuth2::ExpiresIn;
  using TvynHTTPComponentClient_OAuth2::RefreshToken;
  using TvynHTTPComponentClient_OAuth2::TimerEnabled;
  using TvynHTTPComponentClient_OAuth2::TimerInterval;
};

std::string Field(const std::string& AJSON, const char* AName) {
  TvynJSON doc;
  doc.Read(AJSON);
  TvynObjectJSON* n = doc.FindNode(AName);
  return n ? n->ValueText() : std::string();
}

// Every event as one line, in order; events may come from the timer thread.
class Recorder {
public:
  void Attach(TvynHTTPComponentClient_OAuth2& C) {
    C.OnBeforeAccessToken = [this](TComponent*, std::string& URL, std::string&, bool&) { Add("before " + URL); };
    C.OnAfterAccessToken = [this](TComponent*, const std::string& T, const std::string& Type, const std::string& E,
                                  const std::string& R, const std::string& S, const std::string&,
                                  bool&) { Add("after " + T + " " + Type + " " + E + " " + R + " " + S); };
    C.OnErrorAccessToken = [this](TComponent*, const std::string& E, const std::string& D, const std::string& U,
                                  const std::string&) { Add("error " + E + "|" + D + "|" + U); };
    C.OnBeforeRefreshToken = [this](TComponent*, std::string&, std::string&, bool&) { Add("before refresh"); };
    C.OnAfterRefreshToken = [this](TComponent*, const std::string& T, const std::string&, const std::string& E,
                                   const std::string& R, const std::string&, const std::string&,
                                   bool&) { Add("refreshed " + T + " " + E + " " + R); };
    C.OnErrorRefreshToken = [this](TComponent*, const std::string& E, const std::string& D, const std::string& U,
                                   const std::string&) { Add("refresh error " + E + "|" + D + "|" + U); };
    C.OnAuthToken = [this](TComponent*, const std::string& Type, const std::string& T, const std::string&) {
      Add("token " + Type + " " + T);
    };
    C.OnAuthTokenError = [this](TComponent*, const std::string& E, const std::string& D, const std::string&) {
      Add("token error " + E + "|" + D);
    };
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> g(FLock);
    return FLines;
  }
  // True once a line starting with APrefix was recorded, within AMs.
  bool WaitFor(const std::string& APrefix, int AMs) {
    std::unique_lock<std::mutex> l(FLock);
    return FChanged.wait_for(l, std::chrono::milliseconds(AMs), [&] {
      for (const auto& s : FLines)
        if (s.rfind(APrefix, 0) == 0) return true;
      return false;
    });
  }

private:
  void Add(std::string S) {
    {
      std::lock_guard<std::mutex> g(FLock);
      FLines.push_back(std::move(S));
    }
    FChanged.notify_all();
  }
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<std::string> FLines;
};

class OAuth2Peer : public ::testing::Test {
protected:
  static void SetUpTestSuite() { Certs = new webpeer::Certificates(); }
  static void TearDownTestSuite() {
    delete Certs;
    Certs = nullptr;
  }
  void SetUp() override { Server = std::make_unique<tokenpeer::TokenServer>(*Certs); }

  // A client-credentials client for APath, verifying against the test's CA.
  void Configure(Probe& C, const std::string& APath) {
    C.OAuth2Options().GrantType = TvynOAuth2GrantTypes::auth2ClientCredentials;
    C.OAuth2Options().ClientId = "id";
    C.OAuth2Options().ClientSecret = "secret";
    C.AuthorizationServerOptions().TokenURL = Server->URL(APath);
    C.AuthorizationServerOptions().Scope.SetText("read,notifications,manage,trade");
    C.HTTPClientOptions().TLSOptions().Version = TwsTLSVersions::tls1_2;  // as the service client sets it
    C.HTTPClientOptions().TLSOptions().VerifyCertificate = true;
    C.HTTPClientOptions().TLSOptions().RootCertFile = Certs->Path("ca.pem");
    Events.Attach(C);
  }

  static webpeer::Certificates* Certs;
  std::unique_ptr<tokenpeer::TokenServer> Server;
  Recorder Events;
};
webpeer::Certificates* OAuth2Peer::Certs = nullptr;

TEST_F(OAuth2Peer, ClientCredentialsPostsTheFormInOrderAndArmsTheRefreshTimer) {
  Probe c;
  Configure(c, "/token/3600");
  c.Start();
  const auto reqs = Server->Requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(Field(reqs[0], "method"), "POST");
  EXPECT_EQ(Field(reqs[0], "path"), "/token/3600");
  EXPECT_EQ(Field(reqs[0], "body"),
            "grant_type=client_credentials&scope=read,notifications,manage,trade"
            "&redirect_uri=http://127.0.0.1:8080&client_id=id&client_secret=secret");
  EXPECT_EQ(Field(reqs[0], "accept"), "application/json");
  EXPECT_EQ(Field(reqs[0], "content_type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(Field(reqs[0], "authorization"), "");
  EXPECT_EQ(Events.Lines(), (std::vector<std::string>{"before " + Server->URL("/token/3600"),
                                                      "after AT-1 bearer 3600 RT-1 read", "token bearer AT-1"}));
  EXPECT_TRUE(c.TimerEnabled());
  EXPECT_EQ(c.TimerInterval(), 3601000);
  EXPECT_EQ(c.RefreshToken(), "RT-1");
  EXPECT_EQ(c.ExpiresIn(), 3600);

  // A refresh by hand arms the timer for the lifetime itself.
  c.Refresh("RT-1");
  const auto all = Server->Requests(2);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(Field(all[1], "body"),
            "grant_type=refresh_token&refresh_token=RT-1&scope=read,notifications,manage,trade"
            "&client_id=id&client_secret=secret");
  EXPECT_EQ(c.TimerInterval(), 3600000);
  EXPECT_EQ(c.RefreshToken(), "RT-2");

  c.Stop();
  EXPECT_FALSE(c.TimerEnabled());
}

TEST_F(OAuth2Peer, CredentialsRightWrongAndWithoutSecret) {
  struct Case {
    const char* Secret;
    std::vector<std::string> Expected;
    const char* Body;
  };
  const std::string uri = "https://127.0.0.1/doc";
  const Case cases[] = {
      {"secret", {"after GOOD bearer 0  ", "token bearer GOOD"}, "&client_id=id&client_secret=secret"},
      {"wrong",
       {"error invalid_client|Bad credentials|" + uri, "token error invalid_client|Bad credentials"},
       "&client_id=id&client_secret=wrong"},
      // No secret: the parameter is left out, not sent empty.
      {"",
       {"error invalid_client|Bad credentials|" + uri, "token error invalid_client|Bad credentials"},
       "&client_id=id"},
  };
  std::size_t seen = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Secret);
    Recorder events;
    Probe c;
    Configure(c, "/check");
    events.Attach(c);
    c.OnBeforeAccessToken = nullptr;
    c.OAuth2Options().ClientSecret = k.Secret;
    c.Start();
    EXPECT_EQ(events.Lines(), k.Expected);
    const auto reqs = Server->Requests(++seen);
    ASSERT_EQ(reqs.size(), seen);
    const std::string body = Field(reqs.back(), "body");
    EXPECT_EQ(body.substr(body.size() - std::string(k.Body).size()), k.Body);
    EXPECT_FALSE(c.TimerEnabled());  // expires_in 0 and errors arm nothing
  }
}

TEST_F(OAuth2Peer, AnswersOtherThanATokenOrA400) {
  struct Case {
    const char* Path;
    std::vector<std::string> Expected;
    std::int32_t Interval;  // 0: timer not armed
  };
  const Case cases[] = {
      {"/status/401", {"error invalid_request|no luck here|", "token error invalid_request|no luck here"}, 0},
      {"/status/500", {"error invalid_request|no luck here|", "token error invalid_request|no luck here"}, 0},
      // A 200 without a token still reports one, empty.
      {"/bare", {"after  bearer   ", "token bearer "}, 0},
      {"/token/none", {"after AT-1 bearer  RT-1 read", "token bearer AT-1"}, 0},
      {"/token/text", {"after AT-2 bearer 3600 RT-2 read", "token bearer AT-2"}, 3601000},
      {"/token/0", {"after AT-3 bearer 0 RT-3 read", "token bearer AT-3"}, 0},
      {"/token/-5", {"after AT-4 bearer -5 RT-4 read", "token bearer AT-4"}, 0},
      // Too long for a 32-bit millisecond interval: the longest one instead.
      {"/token/2147483647", {"after AT-5 bearer 2147483647 RT-5 read", "token bearer AT-5"}, 2147483647},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Path);
    Recorder events;
    Probe c;
    Configure(c, k.Path);
    events.Attach(c);
    c.OnBeforeAccessToken = nullptr;
    c.Start();
    EXPECT_EQ(events.Lines(), k.Expected);
    EXPECT_EQ(c.TimerEnabled(), k.Interval != 0);
    if (k.Interval) {
      EXPECT_EQ(c.TimerInterval(), k.Interval);
    }
    c.Stop();
  }
}

TEST_F(OAuth2Peer, TheServiceCertificateIsCheckedWhenVerificationIsOn) {
  tokenpeer::TokenServer otherName(*Certs, "other");  // signed by the test CA for other.test
  struct Case {
    const char* Name;
    bool Verify;
    bool TrustTestCA;
    bool OtherName;
    bool Token;
  };
  const Case cases[] = {
      {"trusted CA", true, true, false, true},
      {"system roots only", true, false, false, false},
      {"wrong host name", true, true, true, false},
      {"verification off", false, false, false, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name);
    Recorder events;
    Probe c;
    Configure(c, "/token/60");
    events.Attach(c);
    if (k.OtherName) c.AuthorizationServerOptions().TokenURL = otherName.URL("/token/60");
    c.HTTPClientOptions().TLSOptions().VerifyCertificate = k.Verify;
    if (!k.TrustTestCA) c.HTTPClientOptions().TLSOptions().RootCertFile.clear();
    c.Start();
    const auto lines = events.Lines();
    ASSERT_FALSE(lines.empty());
    if (k.Token) {
      EXPECT_EQ(lines.back().rfind("token bearer AT-", 0), 0u) << lines.back();
    } else {
      // The failure is reported, never raised, and the secret never left.
      EXPECT_EQ(lines[lines.size() - 2].rfind("error invalid_request|", 0), 0u) << lines[lines.size() - 2];
      EXPECT_GT(lines[lines.size() - 2].size(), std::string("error invalid_request||").size());
    }
    c.Stop();
  }
  for (const std::string& r : otherName.Requests(0)) ADD_FAILURE() << "reached the wrong host: " << r;
}

TEST_F(OAuth2Peer, TheRefreshTimerRefreshesWhenTheTokenRunsOut) {
  Probe c;
  Configure(c, "/token/1");
  c.Start();
  EXPECT_EQ(c.TimerInterval(), 2000);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(Events.WaitFor("refreshed", 8000));
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, std::chrono::milliseconds(1800));
  EXPECT_TRUE(Events.WaitFor("token bearer AT-2", 1000));
  const auto reqs = Server->Requests(2);
  ASSERT_GE(reqs.size(), 2u);
  EXPECT_EQ(Field(reqs[1], "body"),
            "grant_type=refresh_token&refresh_token=RT-1&scope=read,notifications,manage,trade"
            "&client_id=id&client_secret=secret");
  // The refreshed token's lifetime re-arms it, without the extra second.
  for (int i = 0; i < 100 && c.RefreshToken() != "RT-2"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(c.RefreshToken(), "RT-2");
  EXPECT_EQ(c.TimerInterval(), 1000);
  // Re-armed from its own handler, it fires again.
  ASSERT_TRUE(Events.WaitFor("refreshed AT-3", 8000));
  c.Stop();
  EXPECT_FALSE(c.TimerEnabled());
  const std::size_t count = Server->Requests(0).size();
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_EQ(Server->Requests(0).size(), count) << "a stopped client refreshed";
}

TEST_F(OAuth2Peer, ARefreshFailingOnTheTimerThreadIsReportedAndTheClientMayGoFromThatHandler) {
  auto c = std::make_unique<Probe>();
  Configure(*c, "/token/1");
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> errors;
  bool freed = false;
  // The refresh goes to a port nothing listens on.
  c->OnBeforeRefreshToken = [](TComponent*, std::string& URL, std::string&, bool&) {
    URL = "https://127.0.0.1:1/token";
  };
  c->OnAuthTokenError = [&](TComponent*, const std::string& E, const std::string& D, const std::string&) {
    // This handler goes with the client: what it needs afterwards is taken
    // off its captures first.
    std::mutex& l = lock;
    std::condition_variable& ch = changed;
    bool& done = freed;
    std::lock_guard<std::mutex> g(l);
    errors.push_back(E + "|" + (D.empty() ? "no message" : "message"));
    c.reset();  // frees the client, and so its timer, from the timer's own handler
    done = true;
    ch.notify_all();
  };
  c->Start();
  std::unique_lock<std::mutex> l(lock);
  ASSERT_TRUE(changed.wait_for(l, std::chrono::seconds(8), [&] { return freed; }));
  EXPECT_EQ(errors, std::vector<std::string>{"TimerException|message"});
}

TEST_F(OAuth2Peer, FreeingTheClientWaitsForARefreshInProgress) {
  auto c = std::make_unique<Probe>();
  Configure(*c, "/token/1");
  std::mutex lock;
  std::condition_variable changed;
  bool entered = false;
  c->OnBeforeRefreshToken = [&](TComponent*, std::string&, std::string&, bool&) {
    {
      std::lock_guard<std::mutex> g(lock);
      entered = true;
    }
    changed.notify_all();
    // Long enough for the test thread to be freeing the client meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  };
  c->Start();
  {
    std::unique_lock<std::mutex> l(lock);
    ASSERT_TRUE(changed.wait_for(l, std::chrono::seconds(8), [&] { return entered; }));
  }
  // The refresh goes on reading the options and arms a new timer; neither
  // may outlive the client.
  c.reset();
  EXPECT_TRUE(Events.WaitFor("refreshed AT-2", 1));
}

TEST_F(OAuth2Peer, AClientFreedWhileItsTimerWaitsEndsAtOnce) {
  // Armed for an hour: freeing must not wait for it (the test's time-out
  // would end a wait that long).
  for (int i = 0; i < 3; ++i) {
    Probe c;
    Configure(c, "/token/3600");
    c.Start();
    EXPECT_TRUE(c.TimerEnabled());
  }
}

TEST_F(OAuth2Peer, RefreshErrorsAreReportedByTheirKind) {
  struct Case {
    const char* Path;
    std::string Expected;
  };
  const Case cases[] = {
      {"/check", "refresh error invalid_client|Bad credentials|https://127.0.0.1/doc"},
      {"/status/401", "refresh error invalid_request|no luck here|"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Path);
    Recorder events;
    Probe c;
    Configure(c, k.Path);
    events.Attach(c);
    c.OnBeforeRefreshToken = nullptr;
    c.OAuth2Options().ClientSecret = "wrong";
    c.Refresh("RT-9");
    const auto lines = events.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], k.Expected);
    EXPECT_FALSE(c.TimerEnabled());
  }
}

TEST_F(OAuth2Peer, BasicCredentialsAndParametersChangedBeforeSending) {
  Probe c;
  Configure(c, "/token/60");
  c.OAuth2Options().Username = "id";
  c.OAuth2Options().Password = "pw";
  c.OnBeforeAccessToken = [](TComponent*, std::string&, std::string& Parameters, bool&) { Parameters += "&extra=1"; };
  c.Start();
  const auto reqs = Server->Requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(Field(reqs[0], "authorization"), "Basic aWQ6cHc=");
  const std::string body = Field(reqs[0], "body");
  EXPECT_EQ(body.substr(body.size() - 8), "&extra=1");
  c.Stop();
}

TEST_F(OAuth2Peer, AnErrorRaisedByAHandlerReachesTheCallerOfStart) {
  Probe c;
  Configure(c, "/token/60");
  c.OnAfterAccessToken = [](TComponent*, const std::string&, const std::string&, const std::string&, const std::string&,
                            const std::string&, const std::string&,
                            bool&) { throw Exception("refused by the application"); };
  bool reported = false;
  c.OnErrorAccessToken = [&](TComponent*, const std::string&, const std::string&, const std::string&,
                             const std::string&) { reported = true; };
  try {
    c.Start();
    FAIL() << "no error";
  } catch (Exception& e) {
    EXPECT_EQ(e.Message(), "refused by the application");
  }
  EXPECT_FALSE(reported);
  EXPECT_FALSE(c.TimerEnabled());
}

TEST_F(OAuth2Peer, TheCodeFromTheRedirectIsExchangedForAToken) {
  InstalledListener listener;
  Probe c;
  Configure(c, "/token/60");
  c.OAuth2Options().GrantType = TvynOAuth2GrantTypes::auth2Code;
  c.AuthorizationServerOptions().AuthURL = "https://auth.example/authorize";
  c.OnBeforeAuthorizeCode = [](TComponent*, std::string&, bool& Handled) { Handled = true; };
  c.Start();
  const TvynHTTPOAuth_LocalResponse ok = listener.Redirect("code=c0de&state=" + c.OAuth2Options().State());
  EXPECT_EQ(ok.ResponseNo, 200);
  EXPECT_EQ(ok.ContentText, "The operation was successful, you can close your browser now.");
  const auto reqs = Server->Requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(Field(reqs[0], "body"),
            "grant_type=authorization_code&code=c0de&redirect_uri=http://127.0.0.1:8080"
            "&client_id=id&client_secret=secret");
  EXPECT_TRUE(Events.WaitFor("token bearer AT-1", 0));

  // The browser is shown the endpoint's refusal.
  c.AuthorizationServerOptions().TokenURL = Server->URL("/status/401");
  const TvynHTTPOAuth_LocalResponse refused = listener.Redirect("code=c0de&state=" + c.OAuth2Options().State());
  EXPECT_EQ(refused.ResponseNo, 401);
  EXPECT_EQ(refused.ContentText, "no luck here");
  c.Stop();
}

}  // namespace

// ---------------------------------------------------------------------------
// The redirect listener on the server component, with curl as the browser.

namespace {

struct BrowserAnswer {
  int Exit = -1;
  int Status = 0;
  std::string Body;
};

// What a browser does with the redirect: GET the listener's URL with AQuery.
BrowserAnswer Browse(std::uint16_t APort, const std::string& AQuery) {
  const webpeer::CommandResult r = webpeer::RunCommand({"curl", "-sS", "--max-time", "20", "-w", "\n%{http_code}",
                                                        "http://127.0.0.1:" + std::to_string(APort) + "/?" + AQuery});
  BrowserAnswer a;
  a.Exit = r.Exit;
  const std::size_t nl = r.Out.rfind('\n');
  if (nl == std::string::npos) return a;
  a.Body = r.Out.substr(0, nl);
  a.Status = std::atoi(r.Out.c_str() + nl + 1);
  return a;
}

class RedirectListenerPeer : public OAuth2Peer {
protected:
  void SetUp() override {
    OAuth2Peer::SetUp();
    FPrevious = detail::SetOAuthLocalServerFactory(detail::ServerComponentListenerFactory());
  }
  void TearDown() override { detail::SetOAuthLocalServerFactory(std::move(FPrevious)); }

  // A code-grant client whose listener is on a free port; the browser is
  // left to the test.
  void ConfigureCodeGrant(Probe& C) {
    Configure(C, "/token/60");
    C.OAuth2Options().GrantType = TvynOAuth2GrantTypes::auth2Code;
    C.AuthorizationServerOptions().AuthURL = "https://auth.example/authorize";
    C.LocalServerOptions().Port = ListenerPort;
    C.OnBeforeAuthorizeCode = [this](TComponent*, std::string& URL, bool& Handled) {
      AuthorizationURL = URL;
      Handled = true;
    };
  }

  std::uint16_t ListenerPort = webpeer::FreePort();
  std::string AuthorizationURL;

private:
  detail::OAuthLocalServerFactory FPrevious;
};

TEST_F(RedirectListenerPeer, TheBrowsersRedirectIsExchangedForAToken) {
  Probe c;
  ConfigureCodeGrant(c);
  c.Start();
  EXPECT_NE(AuthorizationURL.find("redirect_uri=http://127.0.0.1:" + std::to_string(ListenerPort)), std::string::npos)
      << AuthorizationURL;

  // Another state: refused, nothing exchanged.
  const BrowserAnswer forged = Browse(ListenerPort, "code=c0de&state=FORGED");
  EXPECT_EQ(forged.Exit, 0);
  EXPECT_EQ(forged.Status, 500);

  const BrowserAnswer ok = Browse(ListenerPort, "code=c0de&scope=read&state=" + c.OAuth2Options().State());
  EXPECT_EQ(ok.Exit, 0);
  EXPECT_EQ(ok.Status, 200);
  EXPECT_EQ(ok.Body, "The operation was successful, you can close your browser now.");
  const auto reqs = Server->Requests();
  ASSERT_EQ(reqs.size(), 1u) << "the forged redirect reached the token endpoint";
  EXPECT_EQ(Field(reqs[0], "body"), "grant_type=authorization_code&code=c0de&redirect_uri=http://127.0.0.1:" +
                                        std::to_string(ListenerPort) + "&client_id=id&client_secret=secret");
  EXPECT_TRUE(Events.WaitFor("token bearer AT-1", 1000));
  c.Stop();
  EXPECT_NE(Browse(ListenerPort, "code=x&state=" + c.OAuth2Options().State()).Exit, 0) << "still listening";
}

TEST_F(RedirectListenerPeer, AnErrorRedirectClosesTheListenerFromItsOwnConnection) {
  Probe c;
  ConfigureCodeGrant(c);
  std::vector<std::string> errors;
  std::mutex lock;
  c.OnErrorAuthorizeCode = [&](TComponent*, const std::string& E, const std::string& D, const std::string&,
                               const std::string&, const std::string&) {
    std::lock_guard<std::mutex> g(lock);
    errors.push_back(E + "|" + D);
  };
  c.Start();
  // The listener stops from the connection thread that serves this request:
  // it must not wait for itself, and the browser still gets its answer.
  const BrowserAnswer denied =
      Browse(ListenerPort, "error=access_denied&error_description=no&state=" + c.OAuth2Options().State());
  EXPECT_EQ(denied.Exit, 0);
  EXPECT_EQ(denied.Status, 200);
  {
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(errors, std::vector<std::string>{"access_denied|no"});
  }
  EXPECT_NE(Browse(ListenerPort, "code=x&state=" + c.OAuth2Options().State()).Exit, 0) << "still listening";
  EXPECT_TRUE(Server->Requests(0).empty());
  // It starts again for the next authorization.
  c.Start();
  EXPECT_EQ(Browse(ListenerPort, "code=again&state=" + c.OAuth2Options().State()).Status, 200);
  c.Stop();
}

TEST_F(RedirectListenerPeer, ATakenListenerPortFailsTheCodeGrantOnly) {
  Probe first, second;
  ConfigureCodeGrant(first);
  ConfigureCodeGrant(second);
  first.Start();
  EXPECT_THROW(second.Start(), Exception);
  EXPECT_TRUE(Server->Requests(0).empty());
  // The client-credentials grant never hears from the listener: a taken port
  // does not cost it the token, and the listener URL still goes along.
  second.OAuth2Options().GrantType = TvynOAuth2GrantTypes::auth2ClientCredentials;
  EXPECT_NO_THROW(second.Start());
  const auto reqs = Server->Requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_NE(Field(reqs[0], "body").find("grant_type=client_credentials"), std::string::npos);
  EXPECT_NE(Field(reqs[0], "body").find("redirect_uri=http://127.0.0.1:" + std::to_string(ListenerPort)),
            std::string::npos);
  second.Stop();
  // Once the port is free again, the failed starts left nothing behind.
  first.Stop();
  second.OAuth2Options().GrantType = TvynOAuth2GrantTypes::auth2Code;
  second.Start();
  EXPECT_EQ(Browse(ListenerPort, "code=c0de&state=" + second.OAuth2Options().State()).Status, 200);
  second.Stop();
}

}  // namespace
