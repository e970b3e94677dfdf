// Transparent proxies against scripted proxies on loopback: the exact bytes
// of each handshake, every refusal the proxy can answer with, and proxies
// that close or fall silent. The real proxy programs are driven by the peer
// tests.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "tests/transport/loopback.h"
#include "transport/vynIdIOHandlerStack.h"
#include "transport/vynIdSocks.h"
#include "transport/vynIdTCPClient.h"

namespace {

std::string Bytes(std::initializer_list<int> aBytes) {
  std::string s;
  for (int b : aBytes) s.push_back(static_cast<char>(b));
  return s;
}

std::string PortBytes(std::uint16_t aPort) { return Bytes({aPort >> 8, aPort & 0xFF}); }

// A proxy that accepts one connection and runs a script on it, on a thread
// of its own; what the client sent is kept for the test to check.
class ScriptedProxy {
public:
  using Script = std::function<void(int aFd, std::string& aReceived)>;
  explicit ScriptedProxy(Script aScript, const std::string& aHost = "127.0.0.1") : FListener(aHost) {
    FThread = std::thread([this, aScript = std::move(aScript)] {
      try {
        loopback::Fd fd = FListener.Accept();
        aScript(fd.get(), FReceived);
        // Waits for the client's close, so nothing is cut short.
        FReceived += loopback::RecvUpTo(fd.get(), 1 << 20, 3000);
      } catch (const std::exception&) {
      }
    });
  }
  ~ScriptedProxy() { Join(); }
  void Join() {
    if (FThread.joinable()) FThread.join();
  }
  std::uint16_t Port() const { return FListener.Port(); }
  // Everything the client sent, once the script has ended.
  const std::string& Received() {
    Join();
    return FReceived;
  }

private:
  loopback::Listener FListener;
  std::string FReceived;
  std::thread FThread;
};

// Reads exactly aCount bytes into aReceived.
std::string Take(int aFd, std::string& aReceived, std::size_t aCount) {
  std::string got = loopback::RecvUpTo(aFd, aCount, 5000);
  aReceived += got;
  return got;
}

class SocksTest : public ::testing::Test {
protected:
  // A stack handler bound for aTarget through the proxy.
  void Prepare(std::uint16_t aProxyPort, TSocksVersion aVersion, const std::string& aTarget = "127.0.0.1",
               std::uint16_t aTargetPort = 8080) {
    socks = std::make_unique<TIdSocksInfo>();
    socks->SetHost("127.0.0.1");
    socks->SetPort(aProxyPort);
    socks->SetVersion(aVersion);
    io.SetTransparentProxy(socks.get());
    io.SetHost(aTarget);
    io.SetPort(aTargetPort);
    io.SetReadTimeout(3000);
  }
  std::unique_ptr<TIdSocksInfo> socks;
  TIdIOHandlerStack io;
};

// ---------------------------------------------------------------------------
// SOCKS 5

TEST_F(SocksTest, Socks5ConsumesABoundNameOfTen) {
  ScriptedProxy proxy([](int fd, std::string& got) {
    Take(fd, got, 3);
    loopback::SendAll(fd, Bytes({5, 0}));
    Take(fd, got, 10);
    // Success, bound address of type name with ten bytes, then the port,
    // then the first bytes of the tunnelled stream in the same segment.
    loopback::SendAll(fd, Bytes({5, 0, 0, 3, 10}) + "abcdefghij" + Bytes({0x1F, 0x90}) + "tunnel\r\n");
  });
  Prepare(proxy.Port(), TSocksVersion::svSocks5, "127.0.0.1", 8080);
  io.Open();
  EXPECT_EQ(io.ReadLn(), "tunnel") << "all 17 reply bytes were consumed";
  EXPECT_EQ(io.TransparentProxy(), io.ActiveTransparentProxy());
  io.Close();
  EXPECT_EQ(proxy.Received(), Bytes({5, 1, 0}) + Bytes({5, 1, 0, 1, 127, 0, 0, 1}) + PortBytes(8080));
}

struct Socks5TargetCase {
  const char* Name;
  std::string Host;
  std::string AddressBytes;
};

class Socks5TargetTest : public SocksTest, public ::testing::WithParamInterface<Socks5TargetCase> {};

TEST_P(Socks5TargetTest, AddressTypeFollowsTheHostText) {
  const std::size_t requestLength = 3 + GetParam().AddressBytes.size() + 2;
  ScriptedProxy proxy([requestLength](int fd, std::string& got) {
    Take(fd, got, 3);
    loopback::SendAll(fd, Bytes({5, 0}));
    Take(fd, got, requestLength);
    loopback::SendAll(fd, Bytes({5, 0, 0, 4}) + std::string(16, '\0') + Bytes({0, 80}) + "ok\n");
  });
  Prepare(proxy.Port(), TSocksVersion::svSocks5, GetParam().Host, 443);
  io.Open();
  EXPECT_EQ(io.ReadLn(), "ok") << "an IPv6 bound address is consumed too";
  io.Close();
  EXPECT_EQ(proxy.Received(), Bytes({5, 1, 0}) + Bytes({5, 1, 0}) + GetParam().AddressBytes + PortBytes(443));
}

INSTANTIATE_TEST_SUITE_P(
    Socks5, Socks5TargetTest,
    ::testing::Values(Socks5TargetCase{"IPv4", "10.1.2.3", Bytes({1, 10, 1, 2, 3})},
                      Socks5TargetCase{"IPv6", "::1", Bytes({4}) + std::string(15, '\0') + Bytes({1})},
                      Socks5TargetCase{"Name", "example.org", Bytes({3, 11}) + "example.org"},
                      Socks5TargetCase{"Name255", std::string(255, 'a'), Bytes({3, 255}) + std::string(255, 'a')}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(SocksTest, Socks5NameOver255BytesIsRefusedNotCut) {
  ScriptedProxy proxy([](int, std::string&) {});
  Prepare(proxy.Port(), TSocksVersion::svSocks5, std::string(256, 'a'), 80);
  EXPECT_THROW(io.Open(), EIdSocksHostNameInvalid);
  EXPECT_FALSE(io.BindingAllocated()) << "the socket to the proxy is closed";
  EXPECT_EQ(proxy.Received(), "") << "nothing was sent";
}

TEST_F(SocksTest, Socks5UserAndPassword) {
  ScriptedProxy proxy([](int fd, std::string& got) {
    Take(fd, got, 3);
    loopback::SendAll(fd, Bytes({5, 2}));
    Take(fd, got, 1 + 1 + 4 + 1 + 6);
    loopback::SendAll(fd, Bytes({1, 0}));
    Take(fd, got, 10);
    loopback::SendAll(fd, Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}) + "in\n");
  });
  Prepare(proxy.Port(), TSocksVersion::svSocks5);
  socks->SetAuthentication(TSocksAuthentication::saUsernamePassword);
  socks->SetUsername("user");
  socks->SetPassword("secret");
  io.SetTransparentProxy(socks.get());
  io.Open();
  EXPECT_EQ(io.ReadLn(), "in");
  io.Close();
  EXPECT_EQ(proxy.Received().substr(0, 16), Bytes({5, 1, 2}) + Bytes({1, 4}) + "user" + Bytes({6}) + "secret");
}

struct Socks5FailCase {
  const char* Name;
  bool UserPass;
  std::string MethodReply;
  std::string AuthReply;
  int ReplyCode;  // -1: no request reply
  std::string Message;
};

class Socks5FailTest : public SocksTest, public ::testing::WithParamInterface<Socks5FailCase> {};

TEST_P(Socks5FailTest, RaisesTheMatchingError) {
  const Socks5FailCase& c = GetParam();
  ScriptedProxy proxy([&c](int fd, std::string& got) {
    Take(fd, got, 3);
    loopback::SendAll(fd, c.MethodReply);
    if (c.UserPass && !c.AuthReply.empty()) {
      Take(fd, got, 1 + 1 + 1 + 1 + 1);
      loopback::SendAll(fd, c.AuthReply);
    }
    if (c.ReplyCode >= 0) {
      Take(fd, got, 10);
      loopback::SendAll(fd, Bytes({5, c.ReplyCode, 0, 1, 0, 0, 0, 0, 0, 0}));
    }
  });
  Prepare(proxy.Port(), TSocksVersion::svSocks5);
  if (c.UserPass) {
    socks->SetAuthentication(TSocksAuthentication::saUsernamePassword);
    socks->SetUsername("u");
    socks->SetPassword("p");
    io.SetTransparentProxy(socks.get());
  }
  try {
    io.Open();
    ADD_FAILURE() << "no error";
  } catch (const EIdSocksError& e) {
    EXPECT_EQ(e.Message(), c.Message);
  }
  EXPECT_FALSE(io.BindingAllocated());
}

INSTANTIATE_TEST_SUITE_P(
    Socks5, Socks5FailTest,
    ::testing::Values(
        Socks5FailCase{"NoAcceptableMethod", false, Bytes({5, 255}), "", -1, "Invalid socks authentication method."},
        Socks5FailCase{"OtherMethod", false, Bytes({5, 2}), "", -1, "Invalid socks authentication method."},
        Socks5FailCase{"BadPassword", true, Bytes({5, 2}), Bytes({1, 1}), -1, "Authentication error to socks server."},
        Socks5FailCase{"ClosedDuringNegotiation", false, Bytes({5}), "", -1, "Socks server did not respond."},
        Socks5FailCase{"General", false, Bytes({5, 0}), "", 1, "General SOCKS server failure."},
        Socks5FailCase{"Ruleset", false, Bytes({5, 0}), "", 2, "Connection not allowed by ruleset."},
        Socks5FailCase{"Network", false, Bytes({5, 0}), "", 3, "Network unreachable."},
        Socks5FailCase{"Host", false, Bytes({5, 0}), "", 4, "Host unreachable."},
        Socks5FailCase{"Refused", false, Bytes({5, 0}), "", 5, "Connection refused."},
        Socks5FailCase{"TTL", false, Bytes({5, 0}), "", 6, "TTL expired."},
        Socks5FailCase{"Command", false, Bytes({5, 0}), "", 7, "Command not supported."},
        Socks5FailCase{"AddressType", false, Bytes({5, 0}), "", 8, "Address type not supported."},
        Socks5FailCase{"Unknown", false, Bytes({5, 0}), "", 9, "Unknown socks error."}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(SocksTest, Socks5SilentProxyIsNoResponse) {
  ScriptedProxy proxy([](int fd, std::string& got) { Take(fd, got, 3); });
  Prepare(proxy.Port(), TSocksVersion::svSocks5);
  io.SetReadTimeout(200);
  try {
    io.Open();
    ADD_FAILURE();
  } catch (const EIdSocksServerRespondError& e) {
    EXPECT_EQ(e.Message(), "Socks server did not respond.");
  }
}

// ---------------------------------------------------------------------------
// SOCKS 4 and 4A

TEST_F(SocksTest, Socks4And4ARequests) {
  for (TSocksVersion version : {TSocksVersion::svSocks4, TSocksVersion::svSocks4A}) {
    const bool is4A = version == TSocksVersion::svSocks4A;
    SCOPED_TRACE(is4A ? "4A" : "4");
    const std::size_t length = is4A ? 8 + 3 + 10 : 8 + 3;
    ScriptedProxy proxy([length](int fd, std::string& got) {
      Take(fd, got, length);
      loopback::SendAll(fd, Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "go\n");
    });
    TIdIOHandlerStack handler;
    TIdSocksInfo info;
    info.SetHost("127.0.0.1");
    info.SetPort(proxy.Port());
    info.SetVersion(version);
    info.SetUsername("bob");
    handler.SetTransparentProxy(&info);
    handler.SetHost(is4A ? "target.lan" : "localhost");
    handler.SetPort(0x1234);
    handler.SetReadTimeout(3000);
    handler.Open();
    EXPECT_EQ(handler.ReadLn(), "go");
    handler.Close();
    std::string expected = Bytes({4, 1, 0x12, 0x34}) + (is4A ? Bytes({0, 0, 0, 1}) : Bytes({127, 0, 0, 1})) + "bob" +
                           Bytes({0}) + (is4A ? "target.lan" + Bytes({0}) : "");
    EXPECT_EQ(proxy.Received(), expected);
  }
}

struct Socks4FailCase {
  const char* Name;
  int Code;
  std::string Message;
};

class Socks4FailTest : public SocksTest, public ::testing::WithParamInterface<Socks4FailCase> {};

TEST_P(Socks4FailTest, RaisesTheMatchingError) {
  const int code = GetParam().Code;
  ScriptedProxy proxy([code](int fd, std::string& got) {
    Take(fd, got, 9);
    loopback::SendAll(fd, Bytes({0, code, 0, 0, 0, 0, 0, 0}));
  });
  Prepare(proxy.Port(), TSocksVersion::svSocks4);
  try {
    io.Open();
    ADD_FAILURE();
  } catch (const EIdSocksError& e) {
    EXPECT_EQ(e.Message(), GetParam().Message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Socks4, Socks4FailTest,
    ::testing::Values(Socks4FailCase{"Rejected", 91, "Request rejected or failed."},
                      Socks4FailCase{"CannotConnect", 92, "Request rejected because SOCKS server cannot connect."},
                      Socks4FailCase{"Ident", 93,
                                     "Request rejected because the client program and identd report different "
                                     "user-ids."},
                      Socks4FailCase{"Unknown", 0, "Unknown socks error."}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(SocksTest, Socks4RefusesWhatItCannotCarry) {
  struct Case {
    TSocksVersion Version;
    std::string Host;
  };
  for (const Case& c : {Case{TSocksVersion::svSocks4, "::1"}, Case{TSocksVersion::svSocks4A, std::string(256, 'n')},
                        Case{TSocksVersion::svSocks4A, std::string("a\0b", 3)}}) {
    ScriptedProxy proxy([](int, std::string&) {});
    TIdIOHandlerStack handler;
    TIdSocksInfo info;
    info.SetHost("127.0.0.1");
    info.SetPort(proxy.Port());
    info.SetVersion(c.Version);
    handler.SetTransparentProxy(&info);
    handler.SetHost(c.Host);
    handler.SetPort(80);
    EXPECT_THROW(handler.Open(), EIdSocksHostNameInvalid) << c.Host.size();
    EXPECT_EQ(proxy.Received(), "");
  }
}

// ---------------------------------------------------------------------------
// The handler's proxy property and chains

TEST(TransparentProxyPropertyTest, ImplicitLinkedAndCopied) {
  TIdIOHandlerStack io;
  EXPECT_EQ(io.ActiveTransparentProxy(), nullptr);
  auto* implicit = dynamic_cast<TIdSocksInfo*>(io.TransparentProxy());
  ASSERT_NE(implicit, nullptr) << "reading makes a SOCKS proxy";
  EXPECT_FALSE(implicit->Enabled());
  EXPECT_EQ(implicit->Port(), 1080);

  // Without an owner: copied into the handler's own proxy.
  TIdSocksInfo loose;
  loose.SetHost("proxy.lan");
  loose.SetVersion(TSocksVersion::svSocks4A);
  io.SetTransparentProxy(&loose);
  EXPECT_NE(io.TransparentProxy(), &loose);
  EXPECT_EQ(io.TransparentProxy(), implicit) << "the own proxy of the same class is kept";
  EXPECT_EQ(implicit->Host(), "proxy.lan");
  EXPECT_EQ(implicit->Version(), TSocksVersion::svSocks4A);
  EXPECT_EQ(io.ActiveTransparentProxy(), implicit);

  // With an owner: linked, and forgotten when it ends.
  TComponent owner;
  auto* owned = TComponent::Create<TIdSocksInfo>(&owner);
  io.SetTransparentProxy(owned);
  EXPECT_EQ(io.TransparentProxy(), owned);
  owned->Destroy();
  EXPECT_EQ(io.ActiveTransparentProxy(), nullptr);
  EXPECT_NE(io.TransparentProxy(), nullptr) << "a fresh disabled one";
  EXPECT_FALSE(io.TransparentProxy()->Enabled());
}

TEST(TransparentProxyPropertyTest, SettingsAndCircularChains) {
  TIdSocksInfo a, b, c;
  a.SetEnabled(true);
  EXPECT_EQ(a.Version(), TSocksVersion::svSocks5);
  a.SetEnabled(false);
  EXPECT_EQ(a.Version(), TSocksVersion::svNoSocks);
  a.SetChainedProxy(&b);
  b.SetChainedProxy(&c);
  try {
    c.SetChainedProxy(&a);
    ADD_FAILURE();
  } catch (const EIdTransparentProxyCircularLink& e) {
    EXPECT_EQ(e.Message(), "TIdSocksInfo: Circular links are not allowed");
  }
  EXPECT_THROW(a.SetChainedProxy(&a), EIdTransparentProxyCircularLink);
  EXPECT_THROW(a.Bind(nullptr, 0), EIdTransparentProxyCantBind);
  EXPECT_THROW(a.OpenUDP(nullptr), EIdSocksUDPNotSupportedBySOCKSVersion);
}

TEST(TransparentProxyChainTest, TheFirstProxyTunnelsToTheSecond) {
  // One scripted SOCKS 5 proxy plays both hops: the first request goes to
  // the chained proxy's address, the second to the destination.
  ScriptedProxy proxy([](int fd, std::string& got) {
    for (int hop = 0; hop < 2; ++hop) {
      Take(fd, got, 3);
      loopback::SendAll(fd, Bytes({5, 0}));
      Take(fd, got, 10);
      loopback::SendAll(fd, Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
    }
    loopback::SendAll(fd, "through\n");
  });
  // Owned, so the handler links this very proxy, chain and all (a copy
  // would carry the settings only).
  TComponent owner;
  auto* first = TComponent::Create<TIdSocksInfo>(&owner);
  auto* second = TComponent::Create<TIdSocksInfo>(&owner);
  first->SetHost("127.0.0.1");
  first->SetPort(proxy.Port());
  first->SetVersion(TSocksVersion::svSocks5);
  second->SetHost("10.0.0.2");
  second->SetPort(1081);
  second->SetVersion(TSocksVersion::svSocks5);
  first->SetChainedProxy(second);
  TIdTCPClient client;
  client.CreateIOHandler();
  client.Socket()->SetTransparentProxy(first);
  client.SetReadTimeout(3000);
  client.Connect("10.0.0.3", 443);
  EXPECT_EQ(client.IOHandler()->ReadLn(), "through");
  client.Disconnect();
  std::string hop1 = Bytes({5, 1, 0}) + Bytes({5, 1, 0, 1, 10, 0, 0, 2}) + PortBytes(1081);
  std::string hop2 = Bytes({5, 1, 0}) + Bytes({5, 1, 0, 1, 10, 0, 0, 3}) + PortBytes(443);
  EXPECT_EQ(proxy.Received(), hop1 + hop2);
}

}  // namespace
