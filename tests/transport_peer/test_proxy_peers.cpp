// Tunnels through real proxy programs on loopback: HTTP CONNECT through
// tinyproxy and squid (with a Basic login after 407), SOCKS 4 and 5 through
// danted, SOCKS 5 through microsocks (with user name and password), SOCKS 4A
// through a python3 relay, to a local echo server and to openssl s_server
// over TLS.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "proxy_peers.h"
#include "transport/vynIdConnectThroughHttpProxy.h"
#include "transport/vynIdIOHandlerStack.h"
#include "transport/vynIdSSLOpenSSL.h"
#include "transport/vynIdSocks.h"
#include "transport/vynIdTCPClient.h"

using proxypeer::EchoServer;
using proxypeer::Peer;
using proxypeer::TempDir;

namespace {

TempDir* gDir = nullptr;
EchoServer* gEcho = nullptr;

class ProxyPeerTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    TIdStack::IncUsage();
    gDir = new TempDir();
    gEcho = new EchoServer();
  }
  static void TearDownTestSuite() {
    delete gEcho;
    gEcho = nullptr;
    delete gDir;
    gDir = nullptr;
    TIdStack::DecUsage();
  }

  // A handler for the echo server through aProxy, which has no owner and
  // is therefore copied into the handler.
  static std::unique_ptr<TIdIOHandlerStack> Through(std::unique_ptr<TIdCustomTransparentProxy> aProxy,
                                                    const std::string& aHost = "127.0.0.1", std::uint16_t aPort = 0) {
    auto io = std::make_unique<TIdIOHandlerStack>();
    io->SetTransparentProxy(aProxy.get());
    io->SetHost(aHost);
    io->SetPort(aPort ? aPort : gEcho->Port());
    io->SetReadTimeout(10000);
    return io;
  }
  static void Echo(TIdIOHandler& aIO, const std::string& aLine) {
    aIO.WriteLn(aLine);
    EXPECT_EQ(aIO.ReadLn(), aLine);
  }
};

std::unique_ptr<TIdConnectThroughHttpProxy> HttpProxy(const Peer& aPeer, const std::string& aUser = "",
                                                      const std::string& aPassword = "") {
  auto proxy = std::make_unique<TIdConnectThroughHttpProxy>();
  proxy->SetHost("127.0.0.1");
  proxy->SetPort(aPeer.Port());
  proxy->SetEnabled(true);
  proxy->SetUsername(aUser);
  proxy->SetPassword(aPassword);
  return proxy;
}

std::unique_ptr<TIdSocksInfo> Socks(const Peer& aPeer, TSocksVersion aVersion, const std::string& aUser = "",
                                    const std::string& aPassword = "") {
  auto socks = std::make_unique<TIdSocksInfo>();
  socks->SetHost("127.0.0.1");
  socks->SetPort(aPeer.Port());
  socks->SetVersion(aVersion);
  socks->SetUsername(aUser);
  socks->SetPassword(aPassword);
  if (!aUser.empty()) socks->SetAuthentication(TSocksAuthentication::saUsernamePassword);
  return socks;
}

// ---------------------------------------------------------------------------
// HTTP CONNECT

using HttpPeerFactory = std::unique_ptr<Peer> (*)(const TempDir&, const std::string&, const std::string&);

struct HttpPeerCase {
  const char* Name;
  HttpPeerFactory Make;
};

class HttpProxyPeerTest : public ProxyPeerTest, public ::testing::WithParamInterface<HttpPeerCase> {};

TEST_P(HttpProxyPeerTest, TunnelsWithoutLogin) {
  auto peer = GetParam().Make(*gDir, "", "");
  auto io = Through(HttpProxy(*peer));
  io->Open();
  Echo(*io, std::string("open tunnel through ") + GetParam().Name);
  io->Close();
}

TEST_P(HttpProxyPeerTest, LogsInAfter407) {
  auto peer = GetParam().Make(*gDir, "tunnel-user", "s3cret.Pw-1");
  auto io = Through(HttpProxy(*peer, "tunnel-user", "s3cret.Pw-1"));
  io->Open();
  Echo(*io, "logged in");
  io->Close();
}

TEST_P(HttpProxyPeerTest, WrongOrMissingLoginIsRefused) {
  auto peer = GetParam().Make(*gDir, "user", "secret");
  for (const char* password : {"wrong", ""}) {
    SCOPED_TRACE(password);
    auto io = Through(HttpProxy(*peer, *password ? "user" : "", password));
    try {
      io->Open();
      ADD_FAILURE() << "tunnel opened";
    } catch (const EIdHttpProxyError& e) {
      // 407, or 401 from tinyproxy for a wrong password.
      EXPECT_NE(e.Message().find(" 40"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(io->BindingAllocated());
  }
}

TEST_P(HttpProxyPeerTest, RefusedDestinationIsTheStatusLine) {
  // Nothing listens on the freed port: the proxy answers with an error.
  auto peer = GetParam().Make(*gDir, "", "");
  auto io = Through(HttpProxy(*peer), "127.0.0.1", proxypeer::FreePort());
  try {
    io->Open();
    ADD_FAILURE() << "tunnel opened";
  } catch (const EIdHttpProxyError& e) {
    EXPECT_EQ(e.Message().rfind("HTTP/1.", 0), 0u) << e.Message();
    EXPECT_EQ(e.Message().find(" 200 "), std::string::npos) << e.Message();
  }
}

TEST_P(HttpProxyPeerTest, TLSThroughTheTunnelAfterALogin) {
  // The TLS handshake runs inside the tunnel, after the reconnect that the
  // login needs.
  opensslpeer::Certificates certs;
  opensslpeer::SServer server(certs, {});
  auto peer = GetParam().Make(*gDir, "user", "secret");
  TIdSSLIOHandlerSocketOpenSSL tls;
  auto proxy = HttpProxy(*peer, "user", "secret");
  tls.SetTransparentProxy(proxy.get());
  tls.SetHost("localhost");
  tls.SetPort(server.Port());
  tls.SetReadTimeout(10000);
  tls.SSLOptions().SetMethod(TIdSSLVersion::sslvTLSv1_3);
  tls.SSLOptions().Mode = TIdSSLMode::sslmClient;
  tls.SSLOptions().RootCertFile = certs.Path("ca.pem");
  tls.SSLOptions().VerifyMode = {TIdSSLVerifyMode::sslvrfPeer};
  tls.SetPassThrough(false);
  // The proxy resolves "localhost"; the certificate names it.
  tls.Open();
  EXPECT_EQ(tls.GetSSLVersion(), "TLSv1.3");
  tls.WriteLn("through the proxy");
  EXPECT_EQ(tls.ReadLn(), "yxorp eht hguorht");
  tls.Close();
}

INSTANTIATE_TEST_SUITE_P(Peers, HttpProxyPeerTest,
                         ::testing::Values(HttpPeerCase{"tinyproxy", &proxypeer::Tinyproxy},
                                           HttpPeerCase{"squid", &proxypeer::Squid}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(ProxyPeerTest, SquidTunnelsToAnIPv6Target) {
  // The bracketed literal is what lets the proxy tell address from port.
  EchoServer echo6("::1");
  auto peer = proxypeer::Squid(*gDir);
  auto io = Through(HttpProxy(*peer), "::1", echo6.Port());
  io->Open();
  Echo(*io, "over IPv6");
  io->Close();
  EXPECT_EQ(echo6.Accepted(), 1);
}

TEST_F(ProxyPeerTest, ThroughTheClientComponent) {
  auto peer = proxypeer::Tinyproxy(*gDir, "user", "secret");
  TComponent owner;
  auto* proxy = TComponent::Create<TIdConnectThroughHttpProxy>(&owner);
  proxy->Assign(*HttpProxy(*peer, "user", "secret"));
  proxy->SetEnabled(true);
  TIdTCPClient client;
  client.CreateIOHandler();
  client.Socket()->SetTransparentProxy(proxy);
  client.SetReadTimeout(10000);
  client.Connect("127.0.0.1", gEcho->Port());
  Echo(*client.IOHandler(), "client");
  client.Disconnect();
  EXPECT_FALSE(proxy->AuthorizationRequired());
}

// ---------------------------------------------------------------------------
// SOCKS

TEST_F(ProxyPeerTest, DantedSocks4And5) {
  auto peer = proxypeer::Danted(*gDir);
  struct Case {
    TSocksVersion Version;
    std::string Host;
  };
  for (const Case& c : {Case{TSocksVersion::svSocks4, "127.0.0.1"}, Case{TSocksVersion::svSocks4, "localhost"},
                        Case{TSocksVersion::svSocks5, "127.0.0.1"}, Case{TSocksVersion::svSocks5, "localhost"}}) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.Version)) + " " + c.Host);
    auto socks = Socks(*peer, c.Version);
    socks->SetUsername("bob");  // SOCKS 4's user id
    auto io = Through(std::move(socks), c.Host);
    io->Open();
    Echo(*io, "danted");
    io->Close();
  }
}

TEST_F(ProxyPeerTest, DantedRefusals) {
  // danted does not resolve SOCKS 4A names (it tries the address 0.0.0.1)
  // and rejects the request, which must be an error and not a tunnel. A
  // port with no listener is refused by both versions.
  auto peer = proxypeer::Danted(*gDir);
  {
    auto io = Through(Socks(*peer, TSocksVersion::svSocks4A), "localhost");
    try {
      io->Open();
      ADD_FAILURE();
    } catch (const EIdSocksError& e) {
      EXPECT_EQ(e.Message(), "Request rejected or failed.") << peer->Log();
    }
  }
  const std::uint16_t closed = proxypeer::FreePort();
  auto io4 = Through(Socks(*peer, TSocksVersion::svSocks4), "127.0.0.1", closed);
  EXPECT_THROW(io4->Open(), EIdSocksRequestFailed);
  auto io5 = Through(Socks(*peer, TSocksVersion::svSocks5), "127.0.0.1", closed);
  EXPECT_THROW(io5->Open(), EIdSocksServerConnectionRefusedError);
  EXPECT_FALSE(io5->BindingAllocated());
}

TEST_F(ProxyPeerTest, Socks4AThroughARelayThatResolves) {
  auto peer = proxypeer::Socks4ARelay(*gDir, "bob");
  for (TSocksVersion version : {TSocksVersion::svSocks4A, TSocksVersion::svSocks4}) {
    auto socks = Socks(*peer, version);
    socks->SetUsername("bob");
    auto io = Through(std::move(socks), "localhost");
    io->Open();
    Echo(*io, "resolved by the relay");
    io->Close();
  }
  auto stranger = Socks(*peer, TSocksVersion::svSocks4A);
  stranger->SetUsername("eve");
  auto io = Through(std::move(stranger), "localhost");
  EXPECT_THROW(io->Open(), EIdSocksRequestFailed);
}

TEST_F(ProxyPeerTest, MicrosocksSocks5WithAndWithoutLogin) {
  auto open = proxypeer::Microsocks(*gDir);
  for (const char* host : {"127.0.0.1", "localhost"}) {
    auto io = Through(Socks(*open, TSocksVersion::svSocks5), host);
    io->Open();
    Echo(*io, std::string("microsocks ") + host);
    io->Close();
  }
  auto guarded = proxypeer::Microsocks(*gDir, "user", "secret");
  auto io = Through(Socks(*guarded, TSocksVersion::svSocks5, "user", "secret"));
  io->Open();
  Echo(*io, "microsocks login");
  io->Close();

  auto wrong = Through(Socks(*guarded, TSocksVersion::svSocks5, "user", "wrong"));
  EXPECT_THROW(wrong->Open(), EIdSocksAuthError);
  auto none = Through(Socks(*guarded, TSocksVersion::svSocks5));
  EXPECT_THROW(none->Open(), EIdSocksAuthMethodError);
  EXPECT_FALSE(none->BindingAllocated());
}

TEST_F(ProxyPeerTest, MicrosocksSocks5ToIPv6) {
  EchoServer echo6("::1");
  auto peer = proxypeer::Microsocks(*gDir);
  auto io = Through(Socks(*peer, TSocksVersion::svSocks5), "::1", echo6.Port());
  io->Open();
  Echo(*io, "socks over IPv6");
  io->Close();
}

TEST_F(ProxyPeerTest, ProxyReachedOverIPv6) {
  // The socket to the proxy takes the proxy's IP version, not the target's.
  auto peer = proxypeer::Microsocks(*gDir, "", "", true);
  auto socks = Socks(*peer, TSocksVersion::svSocks5);
  socks->SetHost("::1");
  socks->SetIPVersion(TIdIPVersion::Id_IPv6);
  auto io = Through(std::move(socks));
  io->Open();
  Echo(*io, "to the proxy over IPv6");
  io->Close();
}

TEST_F(ProxyPeerTest, SocksChainedToAnHttpProxy) {
  // microsocks carries the connection to tinyproxy, which opens the tunnel
  // with a login after its 407 (reconnecting through microsocks).
  auto socksPeer = proxypeer::Microsocks(*gDir);
  auto httpPeer = proxypeer::Tinyproxy(*gDir, "user", "secret");
  TComponent owner;
  auto* socks = TComponent::Create<TIdSocksInfo>(&owner);
  socks->Assign(*Socks(*socksPeer, TSocksVersion::svSocks5));
  auto* http = TComponent::Create<TIdConnectThroughHttpProxy>(&owner);
  http->Assign(*HttpProxy(*httpPeer, "user", "secret"));
  socks->SetChainedProxy(http);
  TIdIOHandlerStack io;
  io.SetTransparentProxy(socks);
  io.SetHost("127.0.0.1");
  io.SetPort(gEcho->Port());
  io.SetReadTimeout(10000);
  io.Open();
  Echo(io, "two hops");
  io.Close();
}

}  // namespace
