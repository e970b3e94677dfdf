// Socket stack and socket handles against plain sockets on loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/DateUtils.h"
#include "tests/transport/loopback.h"
#include "transport/vynIdResourceStringsCore.h"
#include "transport/vynIdSocketHandle.h"
#include "transport/vynIdStack.h"

namespace {

// Holds a stack reference for the test's lifetime.
class StackTest : public ::testing::Test {
protected:
  void SetUp() override { TIdStack::IncUsage(); }
  void TearDown() override { TIdStack::DecUsage(); }
};

using TIdStackAddressTest = StackTest;

TEST_F(TIdStackAddressTest, IsIPAcceptsOnlyFourFieldsOfAtMost255) {
  struct Case {
    const char* Text;
    bool Expected;
  } cases[] = {
      {"192.168.1.10", true}, {"0.0.0.0", true},    {"255.255.255.255", true}, {" 1 . 2 .3. 4 ", true},
      {"1.2.3", false},       {"1.2.3.4.5", false}, {"1.2.3.256", false},      {"256.1.1.1", false},
      {"1.2.3.", false},      {"1..2.3", false},    {"a.b.c.d", false},        {"", false},
      {"1.2.3.-4", false},    {"1.2.3.4x", false},  {"1.2.3.0004", false},     {"4294967297.1.1.1", false},
  };
  for (const Case& c : cases) EXPECT_EQ(TIdStack::IsIP(c.Text), c.Expected) << c.Text;
}

TEST_F(TIdStackAddressTest, BadIPv4TextIsRejectedNotWrapped) {
  std::uint32_t addr = 0;
  for (const char* text : {"1.2.3.256", "1.2.3", "300.1.1.1", "1.2.3.4.5", "10.0.0.x"})
    EXPECT_THROW(TIdStack::TranslateStringToTInAddr(text, &addr, TIdIPVersion::Id_IPv4), EConvertError) << text;
  TIdStack::TranslateStringToTInAddr(" 10. 1.2.3", &addr, TIdIPVersion::Id_IPv4);
  EXPECT_EQ(TIdStack::TranslateTInAddrToString(&addr, TIdIPVersion::Id_IPv4), "10.1.2.3");
}

TEST_F(TIdStackAddressTest, ResolveHostLiteralsWithoutResolver) {
  struct Case {
    const char* Host;
    TIdIPVersion Version;
    const char* Expected;
  } cases[] = {
      {"localhost", TIdIPVersion::Id_IPv4, "127.0.0.1"},
      {"LocalHost", TIdIPVersion::Id_IPv4, "127.0.0.1"},
      {"localhost", TIdIPVersion::Id_IPv6, "::1"},
      {"10.1.2.3", TIdIPVersion::Id_IPv4, "10.1.2.3"},
      {"::1", TIdIPVersion::Id_IPv6, "0:0:0:0:0:0:0:1"},
      {"fe80::0a:00b0", TIdIPVersion::Id_IPv6, "FE80:0:0:0:0:0:A:B0"},
      {"::ffff:1.2.3.4", TIdIPVersion::Id_IPv6, "0:0:0:0:0:FFFF:102:304"},
  };
  for (const Case& c : cases) EXPECT_EQ(GStack->ResolveHost(c.Host, c.Version), c.Expected) << c.Host;
  EXPECT_EQ(TIdStack::MakeCanonicalIPv6Address("1:2:3"), "");
  EXPECT_EQ(TIdStack::MakeCanonicalIPv6Address("1::2::3"), "");
}

TEST_F(TIdStackAddressTest, ResolverErrorKeepsItsNumberAndText) {
  // A numeric-only lookup of a name fails in the resolver without any query.
  try {
    GStack->HostByAddress("no-such-address", TIdIPVersion::Id_IPv4);
    FAIL() << "no error";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 11001);
    EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
  }
}

TEST_F(TIdStackAddressTest, SocketErrorMessages) {
  EXPECT_EQ(GStack->WSTranslateSocketErrorMsg(ECONNREFUSED),
            Format("Socket Error # %d\r\nConnection refused.", ECONNREFUSED));
  // The resolver raises Winsock numbers as such; they find their row too.
  EXPECT_EQ(GStack->WSTranslateSocketErrorMsg(10047),
            "Socket Error # 10047\r\nAddress family not supported by protocol family.");
  EXPECT_EQ(GStack->WSTranslateSocketErrorMsg(11002), "Socket Error # 11002\r\n");
  EXPECT_THROW(GStack->RaiseSocketError(ENOTSOCK), EIdNotASocket);
}

TEST_F(TIdStackAddressTest, ServiceNames) {
  EXPECT_EQ(GStack->WSGetServByName("8081"), 8081);
  EXPECT_THROW(GStack->WSGetServByName("65536"), EIdInvalidServiceName);
  try {
    GStack->WSGetServByName("no-such-service");
    FAIL();
  } catch (const EIdInvalidServiceName& e) {
    EXPECT_EQ(e.Message(), "no-such-service is not a valid service.");
  }
}

TEST_F(TIdStackAddressTest, ServicesByNameAndPort) {
  EXPECT_EQ(GStack->WSGetServByName("http"), 80);
  EXPECT_EQ(GStack->WSGetServByPort(80), "http");
  // The name first, then its aliases.
  TStringList names;
  GStack->AddServByPortToList(80, names);
  ASSERT_GE(names.Count(), 2);
  EXPECT_EQ(names[0], "http");
  EXPECT_EQ(names[1], "www");
  // A port without an entry is an error, not an empty name.
  TStringList none;
  EXPECT_THROW(GStack->AddServByPortToList(61234, none), EIdSocketError);
  EXPECT_EQ(none.Count(), 0);
}

TEST_F(TIdStackAddressTest, RawSocketCallAnswersWithoutRaising) {
  const int fd = GStack->WSSocket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  GStack->WSCloseHandle(fd);
  EXPECT_EQ(GStack->WSSocket(12345, SOCK_STREAM, 0), -1);
  EXPECT_EQ(GStack->WSGetLastError(), EAFNOSUPPORT);
  // The handle form raises the same failure.
  EXPECT_THROW(GStack->NewSocketHandle(SOCK_STREAM, 12345), EIdSocketError);
}

TEST_F(TIdStackAddressTest, LocalHostAndItsAddresses) {
  char name[256] = {};
  ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(GStack->ReadLocalHostName(), name);
  EXPECT_EQ(GStack->HostName(), name);
  EXPECT_TRUE(GStack->CheckIPVersionSupport(TIdIPVersion::Id_IPv4));
  EXPECT_TRUE(GStack->CheckIPVersionSupport(TIdIPVersion::Id_IPv6));

  TIdStackLocalAddressList all;
  GStack->GetLocalAddressList(all);
  const int v4 = all.IndexOfIP("127.0.0.1", TIdIPVersion::Id_IPv4);
  ASSERT_GE(v4, 0);
  auto* loop4 = dynamic_cast<TIdStackLocalAddressIPv4*>(&all.Addresses(v4));
  ASSERT_NE(loop4, nullptr);
  EXPECT_EQ(loop4->SubNetMask, "255.0.0.0");
  EXPECT_GT(loop4->InterfaceIndex, 0u);
  const int v6 = all.IndexOfIP("0:0:0:0:0:0:0:1");
  ASSERT_GE(v6, 0);
  EXPECT_EQ(all.Addresses(v6).IPVersion, TIdIPVersion::Id_IPv6);
  EXPECT_NE(dynamic_cast<TIdStackLocalAddressIPv6*>(&all.Addresses(v6)), nullptr);
  EXPECT_EQ(all.IndexOfIP("0:0:0:0:0:0:0:1", TIdIPVersion::Id_IPv4), -1);
  EXPECT_EQ(all.IndexOfIP("::1"), -1);  // exact text only

  // The plain lists hold the IPv4 addresses alone.
  const TStrings& v4only = GStack->LocalAddresses();
  EXPECT_GE(v4only.IndexOf("127.0.0.1"), 0);
  for (int i = 0; i < v4only.Count(); ++i) EXPECT_TRUE(TIdStack::IsIP(v4only[i])) << v4only[i];
  EXPECT_EQ(GStack->LocalAddress(), v4only[0]);
}

TEST_F(TIdStackAddressTest, SixtyFourBitNetworkOrderIsBigEndianInMemory) {
  std::uint64_t n = TIdStack::HostToNetwork(std::uint64_t{0x0102030405060708});
  unsigned char bytes[8];
  std::memcpy(bytes, &n, 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(bytes[i], i + 1);
  EXPECT_EQ(TIdStack::NetworkToHost(n), 0x0102030405060708u);
}

TEST_F(TIdStackAddressTest, AddressObjectsCompareNumerically) {
  auto a = TIdIPAddress::MakeAddressObject("10.0.0.2");
  ASSERT_TRUE(a);
  bool err = true;
  EXPECT_EQ(a->CompareAddress("10.0.0.10", err), -1);
  EXPECT_FALSE(err);
  EXPECT_EQ(a->CompareAddress("9.255.255.255", err), 1);
  a->CompareAddress("::1", err);
  EXPECT_TRUE(err);
  EXPECT_FALSE(TIdIPAddress::MakeAddressObject("10.0.0.300"));
  auto b = TIdIPAddress::MakeAddressObject("::1");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->AddrType, TIdIPVersion::Id_IPv6);
  EXPECT_EQ(b->IPAsString(), "0:0:0:0:0:0:0:1");
}

// ---------------------------------------------------------------------------
// Socket handles

using TIdSocketHandleTest = StackTest;

struct FamilyCase {
  const char* Host;
  TIdIPVersion Version;
  const char* CanonicalPeer;
};

class TIdSocketHandleFamilyTest : public ::testing::TestWithParam<FamilyCase> {
protected:
  void SetUp() override { TIdStack::IncUsage(); }
  void TearDown() override { TIdStack::DecUsage(); }
};

TEST_P(TIdSocketHandleFamilyTest, ConnectReadsBothBindingsBack) {
  const FamilyCase& c = GetParam();
  loopback::Listener listener(c.Host);
  TIdSocketHandle handle;
  handle.SetIPVersion(c.Version);
  handle.AllocateSocket();
  EXPECT_EQ(handle.SocketType(), SOCK_STREAM);
  EXPECT_TRUE(handle.UseNagle());
  handle.Bind();
  handle.SetPeer(c.Host, listener.Port(), c.Version);
  ASSERT_TRUE(handle.Connect());
  EXPECT_EQ(handle.PeerIP(), c.CanonicalPeer);
  EXPECT_EQ(handle.PeerPort(), listener.Port());
  EXPECT_EQ(handle.IP(), c.CanonicalPeer);
  EXPECT_NE(handle.Port(), 0);
  loopback::Fd peer = listener.Accept();
  EXPECT_EQ(handle.Send(TIdBytes{'h', 'i'}), 2);
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 2), "hi");
}

TEST_P(TIdSocketHandleFamilyTest, AcceptInstallsThePeer) {
  const FamilyCase& c = GetParam();
  TIdSocketHandle server;
  server.SetIPVersion(c.Version);
  server.AllocateSocket();
  server.SetIP(c.Host);
  server.Bind();
  server.Listen();
  TIdSocketHandle client;
  client.SetIPVersion(c.Version);
  client.AllocateSocket();
  client.SetPeer(c.Host, server.Port(), c.Version);
  ASSERT_TRUE(client.Connect());
  TIdSocketHandle accepted;
  ASSERT_TRUE(server.Readable(5000));
  ASSERT_TRUE(accepted.Accept(server.Handle()));
  EXPECT_EQ(accepted.PeerIP(), c.CanonicalPeer);
  EXPECT_EQ(accepted.PeerPort(), client.Port());
  EXPECT_EQ(accepted.IPVersion(), c.Version);
  EXPECT_THROW(
      accepted.SetIPVersion(c.Version == TIdIPVersion::Id_IPv4 ? TIdIPVersion::Id_IPv6 : TIdIPVersion::Id_IPv4),
      EIdCannotSetIPVersionWhenConnected);
}

INSTANTIATE_TEST_SUITE_P(Loopback, TIdSocketHandleFamilyTest,
                         ::testing::Values(FamilyCase{"127.0.0.1", TIdIPVersion::Id_IPv4, "127.0.0.1"},
                                           FamilyCase{"::1", TIdIPVersion::Id_IPv6, "0:0:0:0:0:0:0:1"}),
                         [](const auto& info) {
                           return std::string(info.param.Version == TIdIPVersion::Id_IPv4 ? "IPv4" : "IPv6");
                         });

TEST_F(TIdSocketHandleTest, ConnectRefusedCarriesTheErrorNumber) {
  std::uint16_t port;
  {
    loopback::Listener gone;
    port = gone.Port();
  }
  TIdSocketHandle handle;
  handle.AllocateSocket();
  handle.SetPeer("127.0.0.1", port);
  for (std::int32_t timeout : {IdTimeoutInfinite, std::int32_t{5000}}) {
    handle.AllocateSocket();
    try {
      handle.Connect(timeout);
      FAIL() << "connected to a closed port";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.LastError(), ECONNREFUSED);
      EXPECT_EQ(e.Message(), Format("Socket Error # %d\r\nConnection refused.", ECONNREFUSED));
    }
  }
}

// Linux drops SYNs while a listener's accept queue is full, so a connect to
// it stays pending: the bounded way to make a connect time out on loopback.
TEST_F(TIdSocketHandleTest, ConnectWithTimeLimitGivesUpOnAFullBacklog) {
  loopback::Listener listener("127.0.0.1", 0);
  std::vector<loopback::Fd> fillers;
  bool pending = false;
  // Fill the queue until a connect stays pending; a handful is enough.
  for (int i = 0; i < 8 && !pending; ++i) {
    TIdSocketHandle probe;
    probe.AllocateSocket();
    probe.SetPeer("127.0.0.1", listener.Port());
    if (probe.Connect(300)) {
      fillers.emplace_back(::dup(probe.Handle()));
    } else {
      pending = true;
    }
  }
  ASSERT_TRUE(pending) << "the listener kept accepting";
  TIdSocketHandle handle;
  handle.AllocateSocket();
  handle.SetPeer("127.0.0.1", listener.Port());
  std::uint64_t start = GetTickCount64();
  EXPECT_FALSE(handle.Connect(500));
  std::uint64_t elapsed = GetTickCount64() - start;
  EXPECT_GE(elapsed, 450u);
  EXPECT_LT(elapsed, 10000u);
}

TEST_F(TIdSocketHandleTest, ClientPortRange) {
  // Three adjacent free ports found by binding them.
  std::uint16_t base = 0;
  for (int attempt = 0; attempt < 50 && base == 0; ++attempt) {
    loopback::Listener probe;
    std::uint16_t p = probe.Port();
    if (p > 65000) continue;
    bool free3 = true;
    for (int k = 1; k < 3 && free3; ++k) {
      loopback::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<std::uint16_t>(p + k));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      free3 = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    if (free3) base = p;
  }
  ASSERT_NE(base, 0);
  // Hold base itself through a listener we re-create below.
  auto rangeHandle = [&](TIdSocketHandle& h) {
    h.AllocateSocket();
    h.SetIP("127.0.0.1");
    h.SetClientPortMin(base);
    h.SetClientPortMax(static_cast<std::uint16_t>(base + 2));
  };
  {
    // All free: the highest port is taken.
    TIdSocketHandle h;
    rangeHandle(h);
    h.Bind();
    EXPECT_EQ(h.Port(), base + 2);
  }
  {
    // All taken: the range error names min and max.
    TIdSocketHandle taken[3];
    for (int k = 0; k < 3; ++k) {
      taken[k].AllocateSocket();
      taken[k].SetIP("127.0.0.1");
      taken[k].SetPort(static_cast<std::uint16_t>(base + k));
      taken[k].Bind();
      taken[k].Listen();
    }
    TIdSocketHandle h;
    rangeHandle(h);
    try {
      h.Bind();
      FAIL() << "bound inside a taken range";
    } catch (const EIdCanNotBindPortInRange& e) {
      EXPECT_EQ(e.Message(), Format("Can not bind in port range (%d - %d)", base, base + 2));
    }
  }
  TIdSocketHandle bad;
  bad.AllocateSocket();
  bad.SetClientPortMin(6000);
  bad.SetClientPortMax(5000);
  try {
    bad.Bind();
    FAIL();
  } catch (const EIdInvalidPortRange& e) {
    EXPECT_EQ(e.Message(), "Invalid Port Range (6000 - 5000)");
  }
}

TEST_F(TIdSocketHandleTest, LingerIsKeptPerSocket) {
  loopback::Listener listener;
  auto connect = [&](TIdSocketHandle& h) {
    h.AllocateSocket();
    h.SetPeer("127.0.0.1", listener.Port());
    ASSERT_TRUE(h.Connect());
  };
  TIdSocketHandle abortive, normal;
  connect(abortive);
  loopback::Fd peerA = listener.Accept();
  connect(normal);
  loopback::Fd peerB = listener.Accept();
  abortive.SetLingerState(0);
  abortive.CloseSocket();
  normal.CloseSocket();
  EXPECT_FALSE(abortive.HandleAllocated());
  char c;
  pollfd p{peerA.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  EXPECT_EQ(::recv(peerA.get(), &c, 1, 0), -1);
  EXPECT_EQ(errno, ECONNRESET);
  // The other socket of the process still closes with a FIN.
  p = pollfd{peerB.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  EXPECT_EQ(::recv(peerB.get(), &c, 1, 0), 0);
}

TEST_F(TIdSocketHandleTest, Readable) {
  loopback::Listener listener;
  TIdSocketHandle h;
  EXPECT_THROW(h.Readable(0), EIdConnClosedGracefully);
  h.AllocateSocket();
  h.SetPeer("127.0.0.1", listener.Port());
  ASSERT_TRUE(h.Connect());
  loopback::Fd peer = listener.Accept();
  EXPECT_FALSE(h.Readable(0));  // polls
  std::uint64_t start = GetTickCount64();
  EXPECT_FALSE(h.Readable(150));
  EXPECT_GE(GetTickCount64() - start, 140u);
  // -1 waits without limit: data sent later wakes it.
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    loopback::SendAll(peer.get(), "x");
  });
  EXPECT_TRUE(h.Readable(-1));
  writer.join();
  h.CloseSocket();
  EXPECT_THROW(h.Readable(0), EIdConnClosedGracefully);
}

TEST_F(TIdSocketHandleTest, ShutdownFromAnotherThreadEndsABlockedWait) {
  loopback::Listener listener;
  TIdSocketHandle h;
  h.AllocateSocket();
  h.SetPeer("127.0.0.1", listener.Port());
  ASSERT_TRUE(h.Connect());
  loopback::Fd peer = listener.Accept();
  auto reader = std::async(std::launch::async, [&] {
    h.Readable(-1);
    TIdBytes buf(16);
    return h.Receive(buf);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  h.Shutdown();
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(reader.get(), 0);
}

TEST_F(TIdSocketHandleTest, NagleOption) {
  TIdSocketHandle h;
  h.AllocateSocket();
  h.SetUseNagle(false);
  int noDelay = 0;
  h.GetSockOpt(IPPROTO_TCP, TCP_NODELAY, noDelay);
  EXPECT_NE(noDelay, 0);
  h.SetUseNagle(true);
  h.GetSockOpt(IPPROTO_TCP, TCP_NODELAY, noDelay);
  EXPECT_EQ(noDelay, 0);
}

TEST_F(TIdSocketHandleTest, KeepAliveValuesReachTheSocket) {
  TIdSocketHandle h;
  h.AllocateSocket();
  h.SetKeepAliveValues(true, 7000, 3000);
  int on = 0, idle = 0, interval = 0;
  h.GetSockOpt(SOL_SOCKET, SO_KEEPALIVE, on);
  h.GetSockOpt(IPPROTO_TCP, TCP_KEEPIDLE, idle);
  h.GetSockOpt(IPPROTO_TCP, TCP_KEEPINTVL, interval);
  EXPECT_NE(on, 0);
  EXPECT_EQ(idle, 7);  // milliseconds to the kernel's seconds
  EXPECT_EQ(interval, 3);
  h.SetKeepAliveValues(false, 0, 0);
  h.GetSockOpt(SOL_SOCKET, SO_KEEPALIVE, on);
  EXPECT_EQ(on, 0);
}

TEST_F(TIdSocketHandleTest, NonBlockingReceiveAndPendingCount) {
  loopback::Listener listener;
  TIdSocketHandle h;
  h.AllocateSocket();
  h.SetPeer("127.0.0.1", listener.Port());
  ASSERT_TRUE(h.Connect());
  loopback::Fd peer = listener.Accept();
  GStack->SetBlocking(h.Handle(), false);
  TIdBytes buf(8);
  char c;
  EXPECT_EQ(GStack->WSRecvData(h.Handle(), &c, 1, 0), -1);
  EXPECT_TRUE(GStack->WouldBlock(GStack->WSGetLastError()));
  EXPECT_FALSE(GStack->WouldBlock(ECONNRESET));
  loopback::SendAll(peer.get(), "12345");
  ASSERT_TRUE(h.Readable(5000));
  int pending = 0;
  EXPECT_EQ(GStack->IOControl(h.Handle(), FIONREAD, &pending), 0);
  EXPECT_EQ(pending, 5);
  // IOControl hands the platform's answer back instead of raising.
  EXPECT_EQ(GStack->IOControl(h.Handle(), 0x7FFF, &pending), -1);
  GStack->SetBlocking(h.Handle(), true);
  EXPECT_EQ(h.Receive(buf), 5);
}

TEST_F(TIdSocketHandleTest, CollectionItemsStartWithTheDefaultPort) {
  TIdSocketHandles handles;
  handles.DefaultPort = 8080;
  EXPECT_EQ(handles.Add().Port(), 8080);
  EXPECT_EQ(handles.Count(), 1);
}

// ---------------------------------------------------------------------------
// Socket lists

using TIdSocketListTest = StackTest;

TEST_F(TIdSocketListTest, CapacityAndOrder) {
  auto list = TIdSocketList::CreateSocketList();
  for (int i = 0; i < 64; ++i) list->Add(1000 + i);
  try {
    list->Add(2000);
    FAIL();
  } catch (const EIdStackSetSizeExceeded& e) {
    EXPECT_EQ(e.Message(), "Set Size Exceeded.");
  }
  EXPECT_THROW(list->Items(64), EIdStackSetSizeExceeded);
  EXPECT_THROW(list->Items(-1), EIdStackSetSizeExceeded);
  list->Remove(1000);
  EXPECT_EQ(list->Items(0), 1063);  // the last item took the freed place
  EXPECT_EQ(list->Count(), 63);
  auto copy = list->Clone();
  EXPECT_EQ(copy->Count(), 63);
  EXPECT_TRUE(copy->ContainsSocket(1063));
}

TEST_F(TIdSocketListTest, SelectKeepsOnlyReadySockets) {
  loopback::Listener listener;
  TIdSocketHandle a, b;
  for (TIdSocketHandle* h : {&a, &b}) {
    h->AllocateSocket();
    h->SetPeer("127.0.0.1", listener.Port());
    ASSERT_TRUE(h->Connect());
  }
  loopback::Fd peerA = listener.Accept();
  loopback::Fd peerB = listener.Accept();
  auto list = TIdSocketList::CreateSocketList();
  list->Add(a.Handle());
  list->Add(b.Handle());
  EXPECT_FALSE(list->SelectRead(0));
  loopback::SendAll(peerB.get(), "x");
  std::unique_ptr<TIdSocketList> ready;
  ASSERT_TRUE(list->SelectReadList(ready, 5000));
  ASSERT_EQ(ready->Count(), 1);
  auto reads = list->Clone();
  auto writes = list->Clone();
  ASSERT_TRUE(TIdSocketList::Select(reads.get(), writes.get(), nullptr, 5000));
  EXPECT_EQ(reads->Count(), 1);
  EXPECT_EQ(writes->Count(), 2);
}

}  // namespace
