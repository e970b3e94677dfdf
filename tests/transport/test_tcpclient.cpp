// The TCP client and connection against plain sockets on loopback: connect
// and its failures, status reports, settings reaching the handler, and the
// command/reply exchange of line protocols.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <atomic>
#include <optional>
#include <thread>

#include "tests/transport/loopback.h"
#include "transport/vynIdHTTP.h"
#include "transport/vynIdIOHandlerStack.h"
#include "transport/vynIdTCPClient.h"

namespace {

// ---------------------------------------------------------------------------
// Replies

struct FormattedCase {
  const char* Name;
  std::string Code;
  std::vector<std::string> Text;
  std::vector<std::string> Lines;
  // The text a read of Lines gives (a lone code reads as one empty line).
  std::vector<std::string> ReadText;
};

class ReplyFormatTest : public ::testing::TestWithParam<FormattedCase> {};

TEST_P(ReplyFormatTest, WritesAndReadsBack) {
  const FormattedCase& c = GetParam();
  TIdReplyRFC reply;
  reply.SetCode(c.Code);
  for (const auto& t : c.Text) reply.Text().Add(t);
  TStringList lines;
  reply.FormattedReply(lines);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end()), c.Lines);

  if (c.Code.empty()) return;  // text alone has no code to read back
  TIdReplyRFC back;
  back.SetFormattedReply(lines);
  EXPECT_EQ(back.Code(), c.Code);
  EXPECT_EQ(std::vector<std::string>(back.Text().begin(), back.Text().end()), c.ReadText);
}

INSTANTIATE_TEST_SUITE_P(Replies, ReplyFormatTest,
                         ::testing::Values(FormattedCase{"OneLine", "250", {"OK"}, {"250 OK"}, {"OK"}},
                                           FormattedCase{"Continued",
                                                         "220",
                                                         {"first", "second", "last"},
                                                         {"220-first", "220-second", "220 last"},
                                                         {"first", "second", "last"}},
                                           FormattedCase{"CodeOnly", "354", {}, {"354"}, {""}},
                                           FormattedCase{"NoCode", "", {"plain text"}, {"plain text"}, {}}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(ReplyTest, CodesOutsideTheRangeAreRefused) {
  TIdReplyRFC reply;
  for (const char* bad : {"99", "1000", "abc", "099", "2 5"}) {
    try {
      reply.SetCode(bad);
      ADD_FAILURE() << bad;
    } catch (const EIdException& e) {
      EXPECT_EQ(e.Message(), std::string("Reply Code is not valid: ") + bad);
    }
  }
  reply.SetCode("999");
  EXPECT_EQ(reply.NumericCode(), 999);
  reply.SetNumericCode(0);
  EXPECT_EQ(reply.Code(), "");
}

TEST(ReplyTest, ACollectionKeepsCodesUnique) {
  TIdReplies replies;
  replies.Add("200", "fine");
  TIdReplyRFC& other = replies.Add("500", "bad");
  try {
    other.SetCode("200");
    ADD_FAILURE();
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "Reply Code already exists: 200");
  }
  EXPECT_EQ(other.Code(), "500");
  EXPECT_EQ(replies.Find("200")->Text()[0], "fine");
}

TEST(ReplyTest, HTTPErrorsAreReplyErrors) {
  try {
    throw EIdHTTPProtocolException::CreateError(404, "HTTP/1.1 404 Not Found", "body");
  } catch (const EIdReplyRFCError& e) {
    EXPECT_EQ(e.ErrorCode(), 404);
    EXPECT_EQ(e.Message(), "HTTP/1.1 404 Not Found");
  }
}

// ---------------------------------------------------------------------------
// Connecting

std::uint16_t LocalPortOf(int aFd, bool aPeer) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (aPeer)
    ::getpeername(aFd, reinterpret_cast<sockaddr*>(&addr), &len);
  else
    ::getsockname(aFd, reinterpret_cast<sockaddr*>(&addr), &len);
  return addr.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                                    : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

std::uint16_t ClosedPort() {
  loopback::Listener gone;
  return gone.Port();
}

struct MissingCase {
  const char* Name;
  std::string Host;
  std::uint16_t Port;
  std::string Message;
};

class ConnectMissingTest : public ::testing::TestWithParam<MissingCase> {};

TEST_P(ConnectMissingTest, RaisedBeforeAnySocketIsMade) {
  TIdTCPClient client;
  client.SetHost(GetParam().Host);
  client.SetPort(GetParam().Port);
  try {
    client.Connect();
    ADD_FAILURE();
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), GetParam().Message);
  }
  EXPECT_EQ(client.IOHandler(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Client, ConnectMissingTest,
                         ::testing::Values(MissingCase{"NoHost", "", 80, "A Host is required"},
                                           MissingCase{"NoPort", "127.0.0.1", 0, "A Port is required"}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(TCPClientTest, ConnectReportsAndSecondConnectIsRefused) {
  loopback::Listener listener;
  TIdTCPClient client;
  std::vector<std::string> log;
  client.OnStatus = [&](TComponent*, TIdStatus, const std::string& text) { log.push_back(text); };
  client.OnConnected = [&](TComponent*) { log.push_back("OnConnected"); };
  client.Connect("127.0.0.1", listener.Port());
  loopback::Fd peer = listener.Accept();
  EXPECT_TRUE(client.Connected());
  EXPECT_TRUE(client.ManagedIOHandler());
  EXPECT_NE(client.Socket(), nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"Connecting to 127.0.0.1.", "Connected.", "OnConnected"}));
  EXPECT_THROW(client.Connect(), EIdAlreadyConnected);

  loopback::SendAll(peer.get(), "hello\r\n");
  EXPECT_EQ(client.IOHandler()->ReadLn(), "hello");
}

TEST(TCPClientTest, RefusedConnectFreesOnlyAManagedHandler) {
  const std::uint16_t port = ClosedPort();
  {
    TIdTCPClient client;
    EXPECT_THROW(client.Connect("127.0.0.1", port), EIdSocketError);
    EXPECT_EQ(client.IOHandler(), nullptr) << "the handler the client made is gone";
    EXPECT_FALSE(client.Connected());
  }
  {
    TIdIOHandlerStack own;
    TIdTCPClient client;
    client.SetIOHandler(&own);
    EXPECT_THROW(client.Connect("127.0.0.1", port), EIdSocketError);
    EXPECT_EQ(client.IOHandler(), &own) << "a handler assigned from outside stays";
    EXPECT_FALSE(own.BindingAllocated());
    // The next Connect starts from scratch.
    loopback::Listener listener;
    client.Connect("127.0.0.1", listener.Port());
    EXPECT_TRUE(client.Connected());
  }
}

TEST(TCPClientTest, ConnectTimeoutFreesTheManagedHandler) {
  // A full accept queue makes the kernel drop SYNs: connects stay pending.
  loopback::Listener listener("127.0.0.1", 0);
  std::vector<std::unique_ptr<TIdTCPClient>> fillers;
  bool timedOut = false;
  for (int i = 0; i < 8 && !timedOut; ++i) {
    auto client = std::make_unique<TIdTCPClient>();
    client->SetConnectTimeout(300);
    try {
      client->Connect("127.0.0.1", listener.Port());
      fillers.push_back(std::move(client));
    } catch (const EIdConnectTimeout& e) {
      EXPECT_EQ(e.Message(), "Connect timed out.");
      EXPECT_EQ(client->IOHandler(), nullptr);
      timedOut = true;
    }
  }
  EXPECT_TRUE(timedOut);
}

TEST(TCPClientTest, BoundPortRangeAndBoundIP) {
  // A range that a free port is found in; the peer sees the local port.
  loopback::Listener probe;
  const std::uint16_t low = probe.Port();
  loopback::Listener listener;
  TIdTCPClient client;
  client.SetBoundIP("127.0.0.1");
  client.SetBoundPortMin(low);
  client.SetBoundPortMax(static_cast<std::uint16_t>(low + 20));
  client.Connect("127.0.0.1", listener.Port());
  loopback::Fd peer = listener.Accept();
  const std::uint16_t local = LocalPortOf(peer.get(), true);
  EXPECT_GT(local, low) << "the first port of the range is taken by the probe";
  EXPECT_LE(local, low + 20);
  EXPECT_EQ(client.Socket()->Binding()->Port(), local);
}

TEST(TCPClientTest, IPv6AndNagleReachTheSocket) {
  loopback::Listener listener("::1");
  TIdTCPClient client;
  client.SetIPVersion(TIdIPVersion::Id_IPv6);
  client.SetUseNagle(false);
  client.SetLingerState(0);
  client.Connect("::1", listener.Port());
  loopback::Fd peer = listener.Accept();
  int fd = client.Socket()->Binding()->Handle();
  int nodelay = 0;
  socklen_t len = sizeof nodelay;
  ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
  EXPECT_NE(nodelay, 0);
  EXPECT_FALSE(client.UseNagle());
  EXPECT_EQ(client.Socket()->LingerState(), 0);
}

TEST(TCPClientTest, SettingsReachAHandlerAssignedLaterAndOneAssignedBefore) {
  TIdIOHandlerStack before;
  TIdTCPClient client;
  client.SetIOHandler(&before);
  client.SetHost("example.invalid");
  client.SetPort(4321);
  client.SetReadTimeout(1234);
  client.SetConnectTimeout(555);
  client.SetBoundIP("127.0.0.1");
  client.SetReuseSocket(TIdReuseSocket::rsTrue);
  EXPECT_EQ(before.Host(), "example.invalid");
  EXPECT_EQ(before.Port(), 4321);
  EXPECT_EQ(before.ReadTimeout(), 1234);
  EXPECT_EQ(before.ConnectTimeout(), 555);
  EXPECT_EQ(before.BoundIP(), "127.0.0.1");
  EXPECT_EQ(before.ReuseSocket(), TIdReuseSocket::rsTrue);

  TIdIOHandlerStack after;
  client.SetIOHandler(&after);
  EXPECT_EQ(after.Host(), "example.invalid");
  EXPECT_EQ(after.ReadTimeout(), 1234);
  EXPECT_EQ(after.BoundIP(), "127.0.0.1");
  // The handler's own value is what the client reports.
  after.SetReadTimeout(77);
  EXPECT_EQ(client.ReadTimeout(), 77);
}

TEST(TCPClientTest, AHandlerDestroyedElsewhereIsForgotten) {
  TIdTCPClient client;
  {
    TIdIOHandlerStack gone;
    client.SetIOHandler(&gone);
    EXPECT_EQ(client.Socket(), &gone);
  }
  EXPECT_EQ(client.IOHandler(), nullptr);
  EXPECT_EQ(client.Socket(), nullptr);
  EXPECT_FALSE(client.Connected());

  // A replaced handler reports its work to the client no longer.
  TIdIOHandlerStack first, second;
  client.SetIOHandler(&first);
  EXPECT_EQ(first.WorkTarget(), &client);
  client.SetIOHandler(&second);
  EXPECT_EQ(first.WorkTarget(), nullptr);
  EXPECT_EQ(second.WorkTarget(), &client);
}

TEST(TCPClientTest, CreateIOHandlerRefusedWhileConnected) {
  loopback::Listener listener;
  TIdTCPClient client;
  client.CreateIOHandler<TIdIOHandlerStack>();
  ASSERT_TRUE(client.ManagedIOHandler());
  client.Connect("127.0.0.1", listener.Port());
  try {
    client.CreateIOHandler();
    ADD_FAILURE();
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "Cannot change a connected IOHandler.");
  }
  EXPECT_TRUE(client.Connected());
}

TEST(TCPClientTest, InterceptsMustAgree) {
  TIdConnectionIntercept mine, theirs;
  TIdIOHandlerStack handler;
  handler.SetIntercept(&theirs);
  TIdTCPClient client;
  client.SetIntercept(&mine);
  try {
    client.SetIOHandler(&handler);
    ADD_FAILURE();
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "The IOHandler already has a different Intercept assigned");
  }
  EXPECT_EQ(client.IOHandler(), nullptr);

  TIdTCPClient other;
  other.SetIOHandler(&handler);
  EXPECT_THROW(other.SetIntercept(&mine), EIdException);
  other.SetIntercept(&theirs);
  EXPECT_EQ(other.Intercept(), &theirs);
}

TEST(TCPClientTest, InterceptIsConnectedWithTheClient) {
  loopback::Listener listener;
  TIdConnectionIntercept intercept;
  TComponent* seen = nullptr;
  intercept.OnConnect = [&](TIdConnectionIntercept* ASender) { seen = ASender->Connection(); };
  TIdTCPClient client;
  client.SetIntercept(&intercept);
  client.Connect("127.0.0.1", listener.Port());
  EXPECT_EQ(seen, &client);
  ASSERT_NE(client.IOHandler(), nullptr);
  EXPECT_EQ(client.IOHandler()->Intercept(), &intercept);
}

// ---------------------------------------------------------------------------
// Disconnecting

class NotifyingClient : public TIdTCPClient {
public:
  using TIdTCPClient::TIdTCPClient;
  bool Throw = false;
  int Notified = 0;

protected:
  void DisconnectNotifyPeer() override {
    ++Notified;
    IOHandler()->WriteLn("QUIT");
    if (Throw) throw EIdException("goodbye failed");
  }
};

TEST(TCPClientDisconnectTest, NeverConnectedReportsNothing) {
  NotifyingClient client;
  int events = 0;
  client.OnStatus = [&](TComponent*, TIdStatus, const std::string&) { ++events; };
  client.OnDisconnected = [&](TComponent*) { ++events; };
  client.Disconnect();
  client.CreateIOHandler();
  client.Disconnect();
  EXPECT_EQ(events, 0);
  EXPECT_EQ(client.Notified, 0);
}

TEST(TCPClientDisconnectTest, ReportsInOrderEvenWhenTheGoodbyeFails) {
  for (bool fail : {false, true}) {
    SCOPED_TRACE(fail);
    loopback::Listener listener;
    NotifyingClient client;
    client.Throw = fail;
    client.Connect("127.0.0.1", listener.Port());
    loopback::Fd peer = listener.Accept();
    std::vector<std::string> log;
    client.OnStatus = [&](TComponent*, TIdStatus, const std::string& text) { log.push_back(text); };
    client.OnDisconnected = [&](TComponent*) { log.push_back("OnDisconnected"); };
    client.Disconnect();
    EXPECT_EQ(log, (std::vector<std::string>{"Disconnecting.", "OnDisconnected", "Disconnected."}));
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(loopback::RecvUpTo(peer.get(), 100), "QUIT\r\n") << "the goodbye went out, then the close";

    // Without notifying the peer nothing more is said, and a second
    // Disconnect is silent.
    log.clear();
    client.Disconnect(false);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(client.Notified, 1);
  }
}

TEST(TCPClientDisconnectTest, ConnectAndGetAllReadsToTheCloseAndDisconnects) {
  loopback::Listener listener;
  std::thread server([&] {
    loopback::Fd peer = listener.Accept();
    loopback::SendAll(peer.get(), std::string(100000, 'x') + "end");
  });
  TIdTCPClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(listener.Port());
  std::string all = client.ConnectAndGetAll();
  server.join();
  EXPECT_EQ(all.size(), 100003u);
  EXPECT_EQ(all.substr(all.size() - 3), "end");
  EXPECT_FALSE(client.Connected());
}

// ---------------------------------------------------------------------------
// Command/reply exchange

class CommandTest : public ::testing::Test {
protected:
  void SetUp() override {
    client.SetReadTimeout(5000);
    client.Connect("127.0.0.1", listener.Port());
    peer = listener.Accept();
  }
  // Answers the next command line with aReply; returns the line.
  std::string Answer(const std::string& aReply) {
    std::string line;
    while (line.find("\r\n") == std::string::npos) {
      std::string more = loopback::RecvUpTo(peer.get(), 1, 5000);
      if (more.empty()) break;
      line += more;
    }
    loopback::SendAll(peer.get(), aReply);
    return line;
  }

  loopback::Listener listener;
  TIdTCPClient client;
  loopback::Fd peer;
};

TEST_F(CommandTest, MultiLineReplyIsReadWhole) {
  std::thread server([&] { EXPECT_EQ(Answer("250-first\r\n\r\n250-second\r\n250 last\r\n"), "EHLO x\r\n"); });
  EXPECT_EQ(client.SendCmd("EHLO x", 250), 250);
  server.join();
  const TIdReplyRFC& reply = client.LastCmdResult();
  EXPECT_EQ(reply.Code(), "250");
  EXPECT_EQ(std::vector<std::string>(reply.Text().begin(), reply.Text().end()),
            (std::vector<std::string>{"first", "second", "last"}))
      << "the empty line between is skipped";
}

TEST_F(CommandTest, DisallowedCodeRaisesTheReplyError) {
  std::thread server([&] { Answer("550-No such\r\n550 mailbox\r\n"); });
  try {
    client.SendCmd("RCPT TO:<a>", std::vector<std::int16_t>{250, 251});
    ADD_FAILURE();
  } catch (const EIdReplyRFCError& e) {
    EXPECT_EQ(e.ErrorCode(), 550);
    EXPECT_EQ(e.Message(), "No such\r\nmailbox");
  }
  server.join();
}

TEST_F(CommandTest, AnyCodeAndTextCodes) {
  std::thread server([&] {
    Answer("421 busy\r\n");
    Answer("220 ready\r\n");
    Answer("221 bye\r\n");
  });
  EXPECT_EQ(client.SendCmd("NOOP"), 421) << "-1 allows every code";
  EXPECT_EQ(client.SendCmd("HELO", "220"), "220");
  EXPECT_THROW(client.SendCmd("QUIT", "250"), EIdReplyRFCError);
  server.join();
}

TEST_F(CommandTest, ASilentPeerIsAReadTimeout) {
  client.SetReadTimeout(200);
  EXPECT_THROW(client.SendCmd("NOOP", 200), EIdReadTimeout);
}

TEST_F(CommandTest, WriteHeaderTurnsPairsIntoFields) {
  TStringList header;
  header.Add("Subject=a=b");
  header.Add("X-Plain: kept");
  client.WriteHeader(header);
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 34), "Subject: a=b\r\nX-Plain: kept\r\n\r\n");
}

TEST(CommandWithoutHandlerTest, RaisesNotConnected) {
  TIdTCPClient client;
  EXPECT_THROW(client.SendCmd("NOOP"), EIdNotConnected);
  EXPECT_THROW(client.GetResponse(), EIdNotConnected);
  EXPECT_THROW(client.CheckForGracefulDisconnect(), EIdNotConnected);
  client.CheckForGracefulDisconnect(false);
}

}  // namespace

// ---------------------------------------------------------------------------
// Connect stop: another thread ends the connections a piece of work made

namespace connect_stop {

// A client on its own thread, inside aStop's scope: connects to aPort and
// waits for a line that never comes. Reports how the read ended.
struct BlockedReader {
  std::atomic<bool> Connected{false};
  std::atomic<bool> Ended{false};
  std::string Error;
  std::thread Thread;

  BlockedReader(TIdConnectStop* aStop, std::uint16_t aPort) {
    Thread = std::thread([this, aStop, aPort] {
      std::optional<TIdConnectStop::Scope> scope;
      if (aStop) scope.emplace(*aStop);
      TIdTCPClient client;
      // Bounds, should the stop fail.
      client.SetConnectTimeout(10000);
      client.SetReadTimeout(10000);
      try {
        client.Connect("127.0.0.1", aPort);
        Connected = true;
        client.IOHandler()->ReadLn();
        Error = "the read returned";
      } catch (const Exception& e) {
        Error = e.Message();
      }
      Ended = true;
    });
  }
  ~BlockedReader() {
    if (Thread.joinable()) Thread.join();
  }
  bool WaitFor(const std::atomic<bool>& aFlag, int aMs = 5000) {
    for (int i = 0; i < aMs / 5 && !aFlag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return aFlag;
  }
};

TEST(ConnectStopTest, StopEndsABlockedReadOnlyInItsOwnScope) {
  loopback::Listener listener;
  TIdConnectStop stop;
  // One after the other, so each accepted socket is known to be whose.
  BlockedReader other(nullptr, listener.Port());  // a thread without the scope
  ASSERT_TRUE(other.WaitFor(other.Connected));
  loopback::Fd otherPeer = listener.Accept();
  BlockedReader stopped(&stop, listener.Port());
  ASSERT_TRUE(stopped.WaitFor(stopped.Connected));
  loopback::Fd stoppedPeer = listener.Accept();

  const auto before = std::chrono::steady_clock::now();
  stop.Stop();
  EXPECT_TRUE(stop.Stopped());
  ASSERT_TRUE(stopped.WaitFor(stopped.Ended, 3000)) << "the read did not end";
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
  EXPECT_NE(stopped.Error, "the read returned");

  // The other connection still works.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(other.Ended);
  loopback::SendAll(otherPeer.get(), "line\r\n");
  ASSERT_TRUE(other.WaitFor(other.Ended));
  EXPECT_EQ(other.Error, "the read returned");
}

TEST(ConnectStopTest, AfterStopAConnectFailsAtOnceWithoutReachingThePeer) {
  loopback::Listener listener;
  TIdConnectStop stop;
  stop.Stop();
  BlockedReader reader(&stop, listener.Port());
  ASSERT_TRUE(reader.WaitFor(reader.Ended));
  EXPECT_FALSE(reader.Connected);
  EXPECT_NE(reader.Error.find("abort"), std::string::npos) << reader.Error;
  pollfd p{listener.Handle(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 100), 0) << "a connection reached the listener";
}

TEST(ConnectStopTest, StopEndsAConnectInProgress) {
  // A listener whose backlog is full leaves the next connect waiting for
  // its SYN to be answered.
  loopback::Listener listener("127.0.0.1", 0);
  std::vector<loopback::Fd> fillers;
  for (int i = 0; i < 8; ++i) {
    loopback::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(listener.Port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(std::move(fd));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  TIdConnectStop stop;
  BlockedReader reader(&stop, listener.Port());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  if (reader.Connected) GTEST_SKIP() << "the system accepted past the backlog";
  stop.Stop();
  ASSERT_TRUE(reader.WaitFor(reader.Ended, 3000)) << "the connect did not end";
  EXPECT_FALSE(reader.Connected);
}

}  // namespace connect_stop
