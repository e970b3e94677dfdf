// Datagram, multicast, broadcast and raw-packet operations of the socket
// stack and handles, on loopback UDP (IPv4 and ::1) and raw ICMP.
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <string>

#include "transport/vynIdResourceStringsCore.h"
#include "transport/vynIdSocketHandle.h"
#include "transport/vynIdStack.h"

namespace {

TIdBytes Bytes(const std::string& s) { return TIdBytes(s.begin(), s.end()); }
std::string Text(const TIdBytes& b, std::size_t n) { return std::string(b.begin(), b.begin() + static_cast<long>(n)); }

struct FamilyCase {
  const char* Host;
  TIdIPVersion Version;
  const char* Canonical;
};

class DatagramTest : public ::testing::TestWithParam<FamilyCase> {
protected:
  void SetUp() override { TIdStack::IncUsage(); }
  void TearDown() override { TIdStack::DecUsage(); }

  // A datagram socket bound to the family's loopback address on a free port.
  std::unique_ptr<TIdSocketHandle> Bound() {
    auto handle = std::make_unique<TIdSocketHandle>();
    handle->SetBinding(GetParam().Host, 0, GetParam().Version);
    handle->AllocateSocket(SOCK_DGRAM);
    handle->Bind();
    return handle;
  }
};

TEST_P(DatagramTest, SendToAndRecvFromReportTheSender) {
  auto receiver = Bound();
  auto sender = Bound();
  EXPECT_EQ(receiver->SocketType(), SOCK_DGRAM);
  sender->SendTo(GetParam().Host, receiver->Port(), Bytes("xhellox"), 1, 5);
  ASSERT_TRUE(receiver->Readable(5000));
  TIdBytes in(64);
  std::string ip;
  std::uint16_t port = 0;
  TIdIPVersion version{};
  int n = receiver->RecvFrom(in, ip, port, version);
  EXPECT_EQ(Text(in, static_cast<std::size_t>(n)), "hello");
  EXPECT_EQ(ip, GetParam().Canonical);
  EXPECT_EQ(port, sender->Port());
  EXPECT_EQ(version, GetParam().Version);
}

TEST_P(DatagramTest, ReceiveMsgGivesArrivalAddressInterfaceAndHopLimit) {
  auto receiver = Bound();
  auto sender = Bound();
  sender->SetTTL(17);
  sender->SendTo(GetParam().Host, receiver->Port(), Bytes("datagram"));
  ASSERT_TRUE(receiver->Readable(5000));
  TIdBytes in(64);
  TIdPacketInfo pkt;
  pkt.TTL = 99;  // stale values must not survive
  pkt.DestIP = "stale";
  std::uint32_t n = GStack->ReceiveMsg(receiver->Handle(), in, pkt);
  EXPECT_EQ(Text(in, n), "datagram");
  EXPECT_EQ(pkt.SourceIP, GetParam().Canonical);
  EXPECT_EQ(pkt.SourcePort, sender->Port());
  EXPECT_EQ(pkt.SourceIPVersion, GetParam().Version);
  EXPECT_EQ(pkt.DestIP, GetParam().Canonical);
  EXPECT_EQ(pkt.DestPort, receiver->Port());
  EXPECT_EQ(pkt.DestIPVersion, GetParam().Version);
  EXPECT_EQ(pkt.DestIF, ::if_nametoindex("lo"));
  EXPECT_EQ(pkt.TTL, 17);
  pkt.Reset();
  EXPECT_EQ(pkt.DestIP, "");
  EXPECT_EQ(pkt.TTL, 0);
  EXPECT_EQ(pkt.DestIPVersion, TIdIPVersion::Id_IPv4);
}

TEST_P(DatagramTest, EncodedSendConvertsTheText) {
  struct Case {
    TIdTextEncoding Encoding;
    std::string Expected;
  } cases[] = {
      {nullptr, "gr??e"},  // the transport's default: 7-bit ASCII
      {detail::EncodingUTF8(),
       "gr\xC3\xBC\xC3\x9F"
       "e"},
      {detail::Encoding8Bit(),
       "gr\xFC\xDF"
       "e"},
  };
  auto receiver = Bound();
  auto sender = Bound();
  sender->SetPeer(GetParam().Host, receiver->Port(), GetParam().Version);
  ASSERT_TRUE(sender->Connect());
  for (const Case& c : cases) {
    EXPECT_EQ(sender->Send("gr\xC3\xBC\xC3\x9F"
                           "e",
                           c.Encoding),
              static_cast<int>(c.Expected.size()));
    ASSERT_TRUE(receiver->Readable(5000));
    TIdBytes in(64);
    int n = receiver->Receive(in);
    EXPECT_EQ(Text(in, static_cast<std::size_t>(n)), c.Expected);
  }
}

TEST_P(DatagramTest, ADatagramTooLongForTheProtocolIsRefused) {
  auto sender = Bound();
  try {
    sender->SendTo(GetParam().Host, 9, TIdBytes(70000, 'x'));
    FAIL() << "no exception";
  } catch (const EIdPackageSizeTooBig& e) {
    EXPECT_EQ(e.Message(), RSPackageSizeTooBig);
  }
}

TEST_P(DatagramTest, MulticastOptionsReachTheSocket) {
  auto handle = Bound();
  const bool v6 = GetParam().Version == TIdIPVersion::Id_IPv6;
  const int level = v6 ? IPPROTO_IPV6 : IPPROTO_IP;
  int value = -1;
  handle->SetMulticastTTL(5);
  handle->GetSockOpt(level, v6 ? IPV6_MULTICAST_HOPS : IP_MULTICAST_TTL, value);
  EXPECT_EQ(value, 5);
  for (bool loop : {false, true}) {
    handle->SetLoopBack(loop);
    handle->GetSockOpt(level, v6 ? IPV6_MULTICAST_LOOP : IP_MULTICAST_LOOP, value);
    EXPECT_EQ(value, loop ? 1 : 0);
  }
  // No group: nothing is asked of the kernel, so nothing fails either
  // (dropping a group never joined would).
  for (const char* notAGroup : {"10.1.2.3", "223.255.255.255", "ff::1", "::1", "nonsense", ""}) {
    EXPECT_NO_THROW(handle->AddMulticastMembership(notAGroup)) << notAGroup;
    EXPECT_NO_THROW(handle->DropMulticastMembership(notAGroup)) << notAGroup;
  }
}

INSTANTIATE_TEST_SUITE_P(Loopback, DatagramTest,
                         ::testing::Values(FamilyCase{"127.0.0.1", TIdIPVersion::Id_IPv4, "127.0.0.1"},
                                           FamilyCase{"::1", TIdIPVersion::Id_IPv6, "0:0:0:0:0:0:0:1"}),
                         [](const auto& info) {
                           return std::string(info.param.Version == TIdIPVersion::Id_IPv4 ? "IPv4" : "IPv6");
                         });

class StackDatagramTest : public ::testing::Test {
protected:
  void SetUp() override { TIdStack::IncUsage(); }
  void TearDown() override { TIdStack::DecUsage(); }
};

TEST_F(StackDatagramTest, MulticastGroupsAreRecognisedByTheirAddress) {
  struct Case {
    const char* IP;
    bool V4, V6;
  } cases[] = {
      {"224.0.0.1", true, false},
      {"239.255.255.255", true, false},
      {"223.255.255.255", false, false},
      {"240.0.0.1", false, false},
      {"224.0.0", false, false},
      {"ff02::1", false, true},
      {"FF0E:0:0:0:0:0:0:1", false, true},
      {"ff::1", false, false},
      {"::1", false, false},
      {"fe80::1", false, false},
      {"", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TIdStack::IsValidIPv4MulticastGroup(c.IP), c.V4) << c.IP;
    EXPECT_EQ(TIdStack::IsValidIPv6MulticastGroup(c.IP), c.V6) << c.IP;
  }
}

TEST_F(StackDatagramTest, JoiningAGroupOnTheLoopbackInterface) {
  TIdSocketHandle handle;
  handle.SetBinding("127.0.0.1", 0);
  handle.AllocateSocket(SOCK_DGRAM);
  handle.Bind();
  handle.AddMulticastMembership("239.1.2.3");
  // A second join of the same group on the same interface is refused by the
  // kernel, which shows the first one took place.
  EXPECT_THROW(handle.AddMulticastMembership("239.1.2.3"), EIdSocketError);
  handle.DropMulticastMembership("239.1.2.3");
  EXPECT_THROW(handle.DropMulticastMembership("239.1.2.3"), EIdSocketError);
}

TEST_F(StackDatagramTest, InternetChecksum) {
  struct Case {
    TIdBytes Data;
    std::uint16_t Expected;  // stored low byte first
  } cases[] = {
      // RFC 1071's example: the sum ddf2 in network order, complement 220d.
      {{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, 0x0D22},
      {{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6}, 0x0423},  // odd last byte added alone
      {{0x01}, 0xFFFE},
      {{}, 0xFFFF},
      {{0xFF, 0xFF, 0xFF, 0xFF}, 0x0000},  // carries folded back
  };
  for (const Case& c : cases) EXPECT_EQ(GStack->CalcCheckSum(c.Data), c.Expected) << c.Data.size();
}

TEST_F(StackDatagramTest, WriteChecksumRefusesAnOffsetOutsideTheBuffer) {
  TIdBytes data(3, 0);
  for (std::int32_t offset : {-1, 2, 3})
    EXPECT_THROW(GStack->WriteChecksum(-1, data, offset, "127.0.0.1", 0), EIdException);
}

// Raw ICMP needs CAP_NET_RAW; the tests run as root.
std::unique_ptr<TIdSocketHandle> RawICMP(TIdIPVersion aVersion) {
  auto handle = std::make_unique<TIdSocketHandle>();
  handle->SetIPVersion(aVersion);
  try {
    handle->AllocateSocket(SOCK_RAW, aVersion == TIdIPVersion::Id_IPv6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
  } catch (const EIdSocketError& e) {
    ADD_FAILURE() << "raw sockets need CAP_NET_RAW (run the tests as root): " << e.Message();
    return nullptr;
  }
  return handle;
}

TIdBytes EchoRequest(std::uint8_t aType, std::uint16_t aId) {
  TIdBytes packet = {aType, 0, 0, 0, static_cast<std::uint8_t>(aId >> 8), static_cast<std::uint8_t>(aId), 0, 1};
  for (char c : std::string("ping payload, odd")) packet.push_back(static_cast<std::uint8_t>(c));
  return packet;
}

// The next ICMP message of aType with aId, without the IPv4 header.
TIdBytes AwaitICMP(TIdSocketHandle& aHandle, std::uint8_t aType, std::uint16_t aId, bool aHasIPHeader) {
  for (int i = 0; i < 50 && aHandle.Readable(2000); ++i) {
    TIdBytes in(2048);
    std::string ip;
    std::uint16_t port;
    TIdIPVersion version;
    int n = aHandle.RecvFrom(in, ip, port, version);
    in.resize(static_cast<std::size_t>(n));
    if (aHasIPHeader) in.erase(in.begin(), in.begin() + (in.at(0) & 0x0F) * 4);
    if (in.size() >= 8 && in[0] == aType && in[4] == (aId >> 8) && in[5] == (aId & 0xFF)) return in;
  }
  return {};
}

TEST_F(StackDatagramTest, AnEchoRequestWithItsChecksumWrittenIsAnswered) {
  auto handle = RawICMP(TIdIPVersion::Id_IPv4);
  if (!handle) return;
  const auto id = static_cast<std::uint16_t>(::getpid());
  TIdBytes request = EchoRequest(8, id);
  request[2] = 0xAB;  // stale bytes in the field do not count
  GStack->WriteChecksum(handle->Handle(), request, 2, "127.0.0.1", 0);
  EXPECT_EQ(GStack->CalcCheckSum(request), 0);
  handle->SendTo("127.0.0.1", 0, request);
  // The kernel answers only a request whose checksum is right.
  TIdBytes reply = AwaitICMP(*handle, 0, id, true);
  ASSERT_FALSE(reply.empty()) << "no echo reply";
  EXPECT_EQ(GStack->CalcCheckSum(reply), 0) << "the kernel's checksum over the reply";
}

TEST_F(StackDatagramTest, TheIPv6ChecksumCoversThePseudoHeader) {
  auto handle = RawICMP(TIdIPVersion::Id_IPv6);
  if (!handle) return;
  const auto id = static_cast<std::uint16_t>(::getpid() + 1);
  handle->SendTo("::1", 0, EchoRequest(128, id));
  // The kernel checksums ICMPv6 itself; the reply's checksum, recomputed
  // with the pseudo-header of ::1 to ::1, must come out the same.
  TIdBytes reply = AwaitICMP(*handle, 129, id, false);
  ASSERT_FALSE(reply.empty()) << "no echo reply";
  TIdBytes recomputed = reply;
  GStack->WriteChecksum(handle->Handle(), recomputed, 2, "::1", 0, TIdIPVersion::Id_IPv6);
  EXPECT_EQ(recomputed, reply);
  EXPECT_NE(GStack->CalcCheckSum(reply), 0) << "without the pseudo-header the sum must differ";
}

TEST_F(StackDatagramTest, BroadcastTurnsTheOptionOnForOneSend) {
  // The loopback network's own broadcast address keeps the traffic on this host.
  const std::string broadcastIP = "127.255.255.255";
  TIdSocketHandle receiver;
  receiver.SetBinding(broadcastIP, 0);
  receiver.AllocateSocket(SOCK_DGRAM);
  receiver.Bind();
  TIdSocketHandle sender;
  sender.SetBinding("127.0.0.1", 0);
  sender.AllocateSocket(SOCK_DGRAM);
  sender.Bind();
  try {
    sender.SendTo(broadcastIP, receiver.Port(), Bytes("x"));
    FAIL() << "a broadcast without SO_BROADCAST went out";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), EACCES);
  }
  int option = -1;
  for (bool enabled : {false, true}) {
    sender.SetBroadcastEnabled(enabled);
    sender.Broadcast(" to all ", receiver.Port(), " " + broadcastIP + " ");
    ASSERT_TRUE(receiver.Readable(5000));
    TIdBytes in(64);
    int n = receiver.Receive(in);
    EXPECT_EQ(Text(in, static_cast<std::size_t>(n)), " to all ");
    sender.GetSockOpt(SOL_SOCKET, SO_BROADCAST, option);
    EXPECT_EQ(option, enabled ? 1 : 0) << "the option goes back to BroadcastEnabled";
  }
  TIdSocketHandle v6;
  v6.SetBinding("::1", 0, TIdIPVersion::Id_IPv6);
  v6.AllocateSocket(SOCK_DGRAM);
  EXPECT_THROW(v6.Broadcast(TIdBytes{1}, 9), EIdIPVersionUnsupported);
}

TEST_F(StackDatagramTest, BothFamiliesAreOfferedHere) {
  EXPECT_TRUE(GStack->SupportsIPv4());
  EXPECT_TRUE(GStack->SupportsIPv6());
}

}  // namespace
