// The HTTP CONNECT tunnel against scripted proxies on loopback: the request
// bytes, the login after a 407 on the same or a new connection, and every
// answer that must not be taken for an open tunnel. tinyproxy and squid are
// driven by the peer tests.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/transport/loopback.h"
#include "transport/vynIdConnectThroughHttpProxy.h"
#include "transport/vynIdIOHandlerStack.h"
#include "transport/vynIdSocks.h"
#include "transport/vynIdTCPClient.h"

namespace {

// A proxy that accepts up to as many connections as it has scripts, one
// after the other, and runs each script on its connection. What the client
// sent on each connection is kept.
class FakeProxy {
public:
  using Script = std::function<void(int aFd, std::string& aReceived)>;
  explicit FakeProxy(std::vector<Script> aScripts) : FReceived(aScripts.size()) {
    FThread = std::thread([this, scripts = std::move(aScripts)] {
      for (std::size_t i = 0; i < scripts.size(); ++i) {
        try {
          loopback::Fd fd = FListener.Accept(5000);
          scripts[i](fd.get(), FReceived[i]);
          // Waits for the client's close, so nothing is cut short.
          FReceived[i] += loopback::RecvUpTo(fd.get(), 1 << 20, 3000);
        } catch (const std::exception&) {
          return;
        }
      }
    });
  }
  ~FakeProxy() { Join(); }
  std::uint16_t Port() const { return FListener.Port(); }
  // What the client sent on each connection, once every script has ended.
  const std::vector<std::string>& Received() {
    Join();
    return FReceived;
  }

private:
  void Join() {
    if (FThread.joinable()) FThread.join();
  }
  loopback::Listener FListener;
  std::vector<std::string> FReceived;
  std::thread FThread;
};

// Reads one request head (up to the empty line) into aReceived.
void ReadHead(int aFd, std::string& aReceived) {
  const std::size_t start = aReceived.size();
  for (int i = 0; i < 4096 && aReceived.find("\r\n\r\n", start) == std::string::npos; ++i) {
    std::string byte = loopback::RecvUpTo(aFd, 1, 5000);
    if (byte.empty()) return;
    aReceived += byte;
  }
}

// Reads a request head and answers it.
FakeProxy::Script Answer(std::vector<std::string> aReplies) {
  return [replies = std::move(aReplies)](int fd, std::string& got) {
    for (const std::string& reply : replies) {
      ReadHead(fd, got);
      loopback::SendAll(fd, reply);
    }
  };
}

const std::string kRequest = "CONNECT 127.0.0.1:8080 HTTP/1.0\r\n\r\n";
// "user:secret" in Base64.
const std::string kLoginRequest =
    "CONNECT 127.0.0.1:8080 HTTP/1.0\r\nProxy-Authorization: Basic dXNlcjpzZWNyZXQ=\r\n\r\n";
const std::string k407Close =
    "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"p\"\r\n"
    "Proxy-Connection: close\r\n\r\n";
const std::string k407KeepAlive =
    "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"p\"\r\n"
    "Content-Length: 12\r\n\r\nlog in first";

class HttpProxyTest : public ::testing::Test {
protected:
  // The handler, bound for aTarget through the proxy at aProxyPort; the
  // proxy object has no owner, so the handler tunnels through its own copy.
  void Prepare(std::uint16_t aProxyPort, const std::string& aTarget = "127.0.0.1", std::uint16_t aTargetPort = 8080,
               const std::string& aUser = "", const std::string& aPassword = "") {
    TIdConnectThroughHttpProxy proxy;
    proxy.SetHost("127.0.0.1");
    proxy.SetPort(aProxyPort);
    proxy.SetEnabled(true);
    proxy.SetUsername(aUser);
    proxy.SetPassword(aPassword);
    io.SetTransparentProxy(&proxy);
    io.SetHost(aTarget);
    io.SetPort(aTargetPort);
    io.SetReadTimeout(3000);
  }
  TIdIOHandlerStack io;
};

struct TargetCase {
  const char* Name;
  std::string Host;
  std::string RequestLine;
};

class HttpProxyTargetTest : public HttpProxyTest, public ::testing::WithParamInterface<TargetCase> {};

TEST_P(HttpProxyTargetTest, RequestLineNamesTheTarget) {
  FakeProxy proxy({Answer({"HTTP/1.0 200 Connection established\r\n\r\nhello\n"})});
  Prepare(proxy.Port(), GetParam().Host, 443);
  io.Open();
  EXPECT_EQ(io.ReadLn(), "hello");
  io.Close();
  EXPECT_EQ(proxy.Received().at(0), GetParam().RequestLine + "\r\n\r\n");
}

INSTANTIATE_TEST_SUITE_P(Targets, HttpProxyTargetTest,
                         ::testing::Values(TargetCase{"IPv4", "10.1.2.3", "CONNECT 10.1.2.3:443 HTTP/1.0"},
                                           TargetCase{"Name", "example.org", "CONNECT example.org:443 HTTP/1.0"},
                                           TargetCase{"IPv6", "::1", "CONNECT [::1]:443 HTTP/1.0"},
                                           TargetCase{"IPv6Long", "2001:db8::7", "CONNECT [2001:db8::7]:443 HTTP/1.0"},
                                           TargetCase{"IPv6Bracketed", "[::1]", "CONNECT [::1]:443 HTTP/1.0"}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(HttpProxyTest, BodyAndHeadersOfASuccessAreNotTunnelData) {
  // A Content-Length on a success says nothing about the tunnel: the bytes
  // after the empty line are the destination's.
  FakeProxy proxy({Answer({"HTTP/1.1 200 OK\r\nContent-Length: 6\r\nVia: test\r\n\r\nfirst\nsecond\n"})});
  Prepare(proxy.Port());
  io.Open();
  EXPECT_EQ(io.ReadLn(), "first");
  EXPECT_EQ(io.ReadLn(), "second");
  io.Close();
}

struct RefusalCase {
  const char* Name;
  std::string Reply;  // empty: the proxy stays silent
  std::string Message;
  bool Credentials;
};

class HttpProxyRefusalTest : public HttpProxyTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(HttpProxyRefusalTest, NeverAnOpenTunnel) {
  const RefusalCase& c = GetParam();
  FakeProxy proxy({[&c](int fd, std::string& got) {
    ReadHead(fd, got);
    if (!c.Reply.empty()) loopback::SendAll(fd, c.Reply);
  }});
  Prepare(proxy.Port(), "127.0.0.1", 8080, c.Credentials ? "user" : "", c.Credentials ? "secret" : "");
  io.SetReadTimeout(300);
  try {
    io.Open();
    ADD_FAILURE() << "the tunnel counted as open";
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), c.Message);
  }
  EXPECT_FALSE(io.BindingAllocated()) << "no socket to the proxy is left";
  EXPECT_EQ(proxy.Received().at(0), kRequest);
}

std::string ManyHeaders() {
  std::string reply = "HTTP/1.0 200 OK\r\n";
  for (int i = 0; i <= TIdConnectThroughHttpProxy::kMaxHeaderLines; ++i)
    reply += "X-Filler: " + std::to_string(i) + "\r\n";
  return reply + "\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HttpProxyRefusalTest,
    ::testing::Values(
        RefusalCase{"EmptyStatusLine", "\r\n\r\n", "The HTTP proxy sent no status line.", false},
        RefusalCase{"BlankStatusLine", "   \r\n\r\n", "The HTTP proxy sent no status line.", false},
        RefusalCase{"NonNumericCode", "HTTP/1.0 OK fine\r\n\r\n", "HTTP/1.0 OK fine", false},
        RefusalCase{"NoCode", "HTTP/1.0\r\n\r\n", "HTTP/1.0", false},
        RefusalCase{"CodeWithLetters", "HTTP/1.0 2x0 Yes\r\n\r\n", "HTTP/1.0 2x0 Yes", false},
        RefusalCase{"NotHTTP", "SSH-2.0-OpenSSH_9.2\r\n\r\n", "SSH-2.0-OpenSSH_9.2", false},
        RefusalCase{"Forbidden", "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 403 Forbidden",
                    false},
        RefusalCase{"BadGateway", "HTTP/1.1 502 Bad Gateway\r\n\r\n", "HTTP/1.1 502 Bad Gateway", false},
        RefusalCase{"LoginWithoutCredentials", k407Close, "HTTP/1.0 407 Proxy Authentication Required", false},
        RefusalCase{"Silent", "", "Read timed out.", false},
        RefusalCase{"SilentAfterStatus", "HTTP/1.0 200 OK\r\n", "Read timed out.", false},
        RefusalCase{"TooManyHeaderLines", ManyHeaders(), "The HTTP proxy sent too many header lines.", false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(HttpProxyTest, ProxyClosingBeforeAnAnswerIsAnError) {
  FakeProxy proxy({[](int fd, std::string& got) {
    ReadHead(fd, got);
    ::shutdown(fd, SHUT_WR);
  }});
  Prepare(proxy.Port());
  EXPECT_THROW(io.Open(), EIdConnClosedGracefully);
  EXPECT_FALSE(io.BindingAllocated());
}

TEST_F(HttpProxyTest, HostThatWouldBreakTheRequestIsRefusedUnsent) {
  for (const std::string& host :
       {std::string("evil.org:1 HTTP/1.0\r\nX-Injected: 1\r\n\r\n"), std::string("a b"), std::string("a\0b", 3)}) {
    FakeProxy proxy({Answer({})});
    Prepare(proxy.Port(), host);
    try {
      io.Open();
      ADD_FAILURE() << host;
    } catch (const EIdHttpProxyError& e) {
      EXPECT_EQ(e.Message().rfind("Host name cannot be sent to the HTTP proxy: ", 0), 0u) << e.Message();
    }
    EXPECT_EQ(proxy.Received().at(0), "");
  }
}

// ---------------------------------------------------------------------------
// Login after 407

TEST_F(HttpProxyTest, LoginOnTheSameConnectionSkipsTheRefusalBody) {
  FakeProxy proxy({Answer({k407KeepAlive, "HTTP/1.1 200 Connection established\r\n\r\nin\n"})});
  Prepare(proxy.Port(), "127.0.0.1", 8080, "user", "secret");
  io.Open();
  EXPECT_EQ(io.ReadLn(), "in") << "the refusal's body was skipped";
  io.Close();
  ASSERT_EQ(proxy.Received().size(), 1u);
  EXPECT_EQ(proxy.Received()[0], kRequest + kLoginRequest);
}

struct ReconnectCase {
  const char* Name;
  std::string FirstReply;
};

class HttpProxyReconnectTest : public HttpProxyTest, public ::testing::WithParamInterface<ReconnectCase> {};

TEST_P(HttpProxyReconnectTest, LoginOnANewConnection) {
  FakeProxy proxy({Answer({GetParam().FirstReply}), Answer({"HTTP/1.0 200 Connection established\r\n\r\nin\n"})});
  Prepare(proxy.Port(), "127.0.0.1", 8080, "user", "secret");
  io.Open();
  EXPECT_EQ(io.ReadLn(), "in");
  auto* own = dynamic_cast<TIdConnectThroughHttpProxy*>(io.ActiveTransparentProxy());
  ASSERT_NE(own, nullptr);
  EXPECT_FALSE(own->AuthorizationRequired()) << "reset once the reconnect is done";
  io.Close();
  const auto& received = proxy.Received();
  EXPECT_EQ(received.at(0), kRequest);
  EXPECT_EQ(received.at(1), kLoginRequest);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HttpProxyReconnectTest,
    ::testing::Values(
        ReconnectCase{"ProxyConnectionClose", k407Close},
        ReconnectCase{"ConnectionClose",
                      "HTTP/1.1 407 Proxy Authentication Required\r\nConnection: Close\r\nContent-Length: 0\r\n\r\n"},
        // Without a length the body runs to the close: the connection
        // cannot be used again.
        ReconnectCase{"NoLength", "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n"},
        ReconnectCase{"Chunked",
                      "HTTP/1.1 407 Proxy Authentication Required\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
        ReconnectCase{"HugeBody", "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 99999999999\r\n\r\n"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(HttpProxyTest, SecondRefusalAfterTheLoginIsAnError) {
  for (const bool sameConnection : {true, false}) {
    SCOPED_TRACE(sameConnection ? "same connection" : "reconnected");
    const std::string second = "HTTP/1.0 407 Still No\r\nContent-Length: 0\r\n\r\n";
    std::vector<FakeProxy::Script> scripts;
    if (sameConnection)
      scripts = {Answer({k407KeepAlive, second})};
    else
      scripts = {Answer({k407Close}), Answer({second})};
    FakeProxy proxy(std::move(scripts));
    TIdIOHandlerStack handler;
    TIdConnectThroughHttpProxy http;
    http.SetHost("127.0.0.1");
    http.SetPort(proxy.Port());
    http.SetEnabled(true);
    http.SetUsername("user");
    http.SetPassword("secret");
    handler.SetTransparentProxy(&http);
    handler.SetHost("127.0.0.1");
    handler.SetPort(8080);
    handler.SetReadTimeout(3000);
    try {
      handler.Open();
      ADD_FAILURE();
    } catch (const EIdHttpProxyError& e) {
      EXPECT_EQ(e.Message(), "HTTP/1.0 407 Still No");
    }
    EXPECT_FALSE(handler.BindingAllocated());
    const auto& received = proxy.Received();
    EXPECT_EQ(received.at(0), sameConnection ? kRequest + kLoginRequest : kRequest);
    if (!sameConnection) {
      EXPECT_EQ(received.at(1), kLoginRequest);
    }
  }
}

TEST(HttpProxyChainTest, ReconnectingFirstHopRunsTheChainOnce) {
  // The HTTP proxy is the first hop and tunnels to a SOCKS 5 proxy; its 407
  // with close makes the handler reconnect, which runs the whole chain again
  // — the SOCKS hop must then not be run a second time.
  auto socksHop = [](int fd, std::string& got) {
    got += loopback::RecvUpTo(fd, 3, 5000);
    loopback::SendAll(fd, std::string("\x05\x00", 2));
    got += loopback::RecvUpTo(fd, 10, 5000);
    loopback::SendAll(fd, std::string("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10) + "through\n");
  };
  FakeProxy proxy({Answer({k407Close}), [&](int fd, std::string& got) {
                     ReadHead(fd, got);
                     loopback::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n");
                     socksHop(fd, got);
                   }});
  TComponent owner;
  auto* http = TComponent::Create<TIdConnectThroughHttpProxy>(&owner);
  auto* socks = TComponent::Create<TIdSocksInfo>(&owner);
  http->SetHost("127.0.0.1");
  http->SetPort(proxy.Port());
  http->SetEnabled(true);
  http->SetUsername("user");
  http->SetPassword("secret");
  socks->SetHost("10.0.0.2");
  socks->SetPort(1080);
  socks->SetVersion(TSocksVersion::svSocks5);
  http->SetChainedProxy(socks);
  TIdTCPClient client;
  client.CreateIOHandler();
  client.Socket()->SetTransparentProxy(http);
  client.SetReadTimeout(3000);
  client.Connect("10.0.0.3", 443);
  EXPECT_EQ(client.IOHandler()->ReadLn(), "through");
  client.Disconnect();
  const auto& received = proxy.Received();
  EXPECT_EQ(received.at(0), "CONNECT 10.0.0.2:1080 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(received.at(1), "CONNECT 10.0.0.2:1080 HTTP/1.0\r\nProxy-Authorization: Basic dXNlcjpzZWNyZXQ=\r\n\r\n" +
                                std::string("\x05\x01\x00", 3) +
                                std::string("\x05\x01\x00\x01\x0a\x00\x00\x03\x01\xbb", 10));
}

TEST(HttpProxyPropertyTest, CopiedWithItsSwitch) {
  TIdConnectThroughHttpProxy loose;
  EXPECT_FALSE(loose.Enabled()) << "off until switched on";
  loose.SetHost("proxy.lan");
  loose.SetPort(3128);
  loose.SetEnabled(true);
  TIdIOHandlerStack io;
  io.SetTransparentProxy(&loose);
  auto* own = dynamic_cast<TIdConnectThroughHttpProxy*>(io.ActiveTransparentProxy());
  ASSERT_NE(own, nullptr);
  EXPECT_NE(own, &loose);
  EXPECT_EQ(own->Host(), "proxy.lan");
  EXPECT_EQ(own->Port(), 3128);
  EXPECT_THROW(own->OpenUDP(nullptr), EIdTransparentProxyUDPNotSupported);
}

}  // namespace
