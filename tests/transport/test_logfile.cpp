// Traffic logs and the throttler on real loopback connections: client logs on
// a TCP client, server logs on handlers that took over accepted sockets.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <future>
#include <sstream>
#include <thread>
#include <cctype>

#include "platform/DateUtils.h"
#include "tests/transport/loopback.h"
#include "tests/transport/tz_guard.h"
#include "transport/vynIdCustomTCPServer.h"
#include "transport/vynIdIOHandlerStack.h"
#include "transport/vynIdInterceptThrottler.h"
#include "transport/vynIdLogFile.h"
#include "transport/vynIdTCPClient.h"

namespace {

using namespace std::chrono_literals;

TIdBytes Bytes(const std::string& s) { return TIdBytes(s.begin(), s.end()); }

std::string ReadFile(const std::string& aName) {
  std::ifstream in(aName, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The file's lines, each without its CR LF.
std::vector<std::string> Lines(const std::string& aText) {
  std::vector<std::string> result;
  std::size_t start = 0;
  for (std::size_t end; (end = aText.find("\r\n", start)) != std::string::npos; start = end + 2)
    result.push_back(aText.substr(start, end - start));
  if (start < aText.size()) result.push_back(aText.substr(start));
  return result;
}

unsigned ModeOf(const std::string& aName) {
  struct stat st {};
  if (::stat(aName.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}

bool Exists(const std::string& aName) { return ::access(aName.c_str(), F_OK) == 0; }

// Waits at most 10 s until the file holds at least aCount CR LF line ends.
bool WaitUntilLines(const std::string& aName, std::size_t aCount) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    const std::string text = ReadFile(aName);
    std::size_t n = 0;
    for (std::size_t pos = 0; (pos = text.find("\r\n", pos)) != std::string::npos; pos += 2) ++n;
    if (n >= aCount) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// A log file name of the test's own, removed afterwards.
class LogTest : public ::testing::Test {
protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    file = ::testing::TempDir() + "log-" + info->test_suite_name() + "-" + info->name() + "-" +
           std::to_string(::getpid()) + ".log";
    ::unlink(file.c_str());
  }
  void TearDown() override { ::unlink(file.c_str()); }

  std::string file;
  TZGuard zone{"UTC"};
  // 2026-01-01 12:34:56 UTC
  TTestClock clock{1767270896000};
};

const char* const kStamp = "2026-01-01 12:34:56";

// ---------------------------------------------------------------------------
// Texts

TEST(LogTexts, TimeStampLeavesOutMidnight) {
  EXPECT_EQ(detail::LogTimeStamp(EncodeDateTime(2026, 3, 4, 5, 6, 7, 0)), "2026-03-04 05:06:07");
  EXPECT_EQ(detail::LogTimeStamp(EncodeDateTime(2026, 3, 4, 0, 0, 0, 0)), "2026-03-04");
  EXPECT_EQ(detail::LogTimeStamp(EncodeDateTime(2026, 3, 4, 0, 0, 0, 1)), "2026-03-04 00:00:00");
}

TEST(LogTexts, LineBreakMarkers) {
  struct Case {
    std::string In, Replaced;
  };
  const Case cases[] = {
      {"GET / HTTP/1.1\r\nHost: h\r\n", "GET / HTTP/1.1<EOL>Host: h<EOL>"},
      {"\r\r\n\n", "<CR><EOL><LF>"},
      {"\n\r", "<LF><CR>"},
      {"end\r", "end<CR>"},
      {std::string("\0\xFF\xC3\xA9", 4), std::string("\0\xFF\xC3\xA9", 4)},  // every byte as it came
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detail::LogDataText(Bytes(c.In), true), c.Replaced);
    EXPECT_EQ(detail::LogDataText(Bytes(c.In), false), c.In);
  }
}

// ---------------------------------------------------------------------------
// Client logs

using ClientLogTest = LogTest;

TEST_F(ClientLogTest, RequestAndResponseWithRawLineBreaks) {
  loopback::Listener listener;
  TvynIdLogFileClient log;
  log.SetFilename(file);
  log.SetReplaceCRLF(false);
  log.SetActive(true);
  TIdTCPClient client;
  client.SetIntercept(&log);
  client.Connect("127.0.0.1", listener.Port());
  loopback::Fd peer = listener.Accept();
  const std::string request = "GET /x HTTP/1.1\r\nHost: h\r\n\r\n";
  client.IOHandler()->Write(request);
  ASSERT_EQ(loopback::RecvUpTo(peer.get(), request.size()), request);
  loopback::SendAll(peer.get(), "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(client.IOHandler()->ReadLn(), "HTTP/1.1 200 OK");
  loopback::SendAll(peer.get(), "\xC3\xA9t\xE9\n");
  client.IOHandler()->ReadLn();
  client.Disconnect();

  EXPECT_EQ(ReadFile(file), std::string("Stat Connected.\r\n") +                  //
                                "Sent " + kStamp + ": " + request + "\r\n" +      //
                                "Recv " + kStamp + ": HTTP/1.1 200 OK\r\n\r\n" +  //
                                "Recv " + kStamp + ": \xC3\xA9t\xE9\n\r\n" +      //
                                "Stat Disconnected.\r\n");
  // The file holds credentials and tokens: its owner alone may read it.
  EXPECT_EQ(ModeOf(file), 0600u);
}

TEST_F(ClientLogTest, ReplacedLineBreaksAndNoTimeStamp) {
  loopback::Listener listener;
  TvynIdLogFileClient log;
  log.SetFilename(file);
  log.SetLogTime(false);
  log.SetActive(true);
  TIdTCPClient client;
  client.SetIntercept(&log);
  client.Connect("127.0.0.1", listener.Port());
  loopback::Fd peer = listener.Accept();
  client.IOHandler()->Write(std::string("one\r\ntwo\r\n"));
  loopback::SendAll(peer.get(), "three\n");
  client.IOHandler()->ReadLn();
  log.SetActive(false);
  EXPECT_EQ(Lines(ReadFile(file)),
            (std::vector<std::string>{"Stat Connected.", "Sent : one<EOL>two<EOL>", "Recv : three<LF>"}));
}

TEST_F(ClientLogTest, SentBeforeAndReceivedAfterTheChainedIntercepts) {
  loopback::Listener listener;
  TvynIdLogFileClient log;
  log.SetFilename(file);
  log.SetLogTime(false);
  log.SetActive(true);
  TIdConnectionIntercept upper;
  auto toUpper = [](TIdConnectionIntercept*, TIdBytes& b) {
    for (auto& c : b) c = static_cast<std::uint8_t>(std::toupper(c));
  };
  upper.OnSend = toUpper;
  upper.OnReceive = toUpper;
  log.SetIntercept(&upper);
  TIdTCPClient client;
  client.SetIntercept(&log);
  client.Connect("127.0.0.1", listener.Port());
  loopback::Fd peer = listener.Accept();
  client.IOHandler()->Write(std::string("ask"));
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 3), "ASK");
  loopback::SendAll(peer.get(), "answer\n");
  EXPECT_EQ(client.IOHandler()->ReadLn(), "ANSWER");
  // What the protocol code handed over, and what it was handed.
  const auto lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "Sent : ask");
  EXPECT_EQ(lines[2], "Recv : ANSWER<LF>");
}

TEST_F(ClientLogTest, InactiveWritesNothingButTheChainStillRuns) {
  loopback::Listener listener;
  TvynIdLogFileClient log;
  log.SetFilename(file);
  TIdConnectionIntercept tail;
  int sent = 0;
  tail.OnSend = [&](TIdConnectionIntercept*, TIdBytes&) { ++sent; };
  log.SetIntercept(&tail);
  TIdTCPClient client;
  client.SetIntercept(&log);
  client.Connect("127.0.0.1", listener.Port());
  client.IOHandler()->Write(std::string("x"));
  client.Disconnect();
  EXPECT_EQ(sent, 1);
  EXPECT_FALSE(Exists(file));
  // Lines written directly are dropped too while no file is open.
  log.LogSendString("dropped");
  EXPECT_FALSE(Exists(file));
}

TEST_F(ClientLogTest, FileHandling) {
  {
    std::ofstream old(file, std::ios::binary);
    old << "earlier\r\n";
  }
  ::chmod(file.c_str(), 0640);
  TvynIdLogFileClient log;
  log.SetFilename(file);
  log.SetActive(true);
  try {
    log.SetFilename(file + ".other");
    FAIL();
  } catch (const EIdException& e) {
    EXPECT_STREQ(e.what(), "Unable to set Filename while log file is open.");
  }
  EXPECT_EQ(log.Filename(), file);
  log.LogRecvString("later");
  log.SetActive(false);
  EXPECT_EQ(log.FileStream(), nullptr);
  // Appended; the mode of a file that was there is left as it was.
  EXPECT_EQ(ReadFile(file), std::string("earlier\r\nRecv ") + kStamp + ": later\r\n");
  EXPECT_EQ(ModeOf(file), 0640u);

  // A file that cannot be made: activation fails and the log stays off.
  TvynIdLogFileClient bad;
  bad.SetFilename(::testing::TempDir() + "no-such-dir/x.log");
  EXPECT_THROW(bad.SetActive(true), Exception);
  EXPECT_FALSE(bad.Active());
}

TEST_F(ClientLogTest, LinesWrittenDirectly) {
  TvynWSIdLogFileClient log;
  log.SetFilename(file);
  log.SetLogTime(false);
  log.WriteFormattedLine("%s=%d\r\n", "n", 5);  // activates the log
  EXPECT_TRUE(log.Active());
  log.LogSendString("a\r\nb");
  log.LogSendDecodedString("frame");
  log.LogRecvDecodedString("reply");
  log.SetReplaceCRLF(false);
  log.SetLogTime(true);
  log.WriteFormattedLine("%s", "raw");
  // Frames sent are kept out when unmasking asks for it.
  log.UnMaskFrames = true;
  log.SentData = false;
  log.LogSendString("hidden");
  log.SentData = true;
  log.LogSendString("shown");
  log.SetActive(false);
  EXPECT_EQ(Lines(ReadFile(file)), (std::vector<std::string>{
                                       "n=5<EOL>",
                                       std::string("Sent ") + kStamp + ": a",  // as given, stamp always
                                       "b",
                                       std::string("Sent ") + kStamp + ": frame",
                                       std::string("Recv ") + kStamp + ": reply",
                                       std::string(kStamp) + " raw",
                                       std::string("Sent ") + kStamp + ": shown",
                                   }));
}

TEST_F(ClientLogTest, LinesFromSeveralThreadsStayWhole) {
  TvynIdLogFileClient log;
  log.SetFilename(file);
  log.SetActive(true);
  constexpr int kThreads = 4, kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      const std::string text = std::string(200, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) log.LogSendString(text);
    });
  for (auto& t : threads) t.join();
  log.SetActive(false);
  const auto lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  // Each line is one thread's text whole: the prefix, then 200 of one letter.
  const std::string prefix = std::string("Sent ") + kStamp + ": ";
  for (const std::string& line : lines) {
    ASSERT_EQ(line.size(), prefix.size() + 200) << line.substr(0, 60);
    ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line.substr(0, 60);
    const char c = line[prefix.size()];
    ASSERT_TRUE(c >= 'a' && c < 'a' + kThreads) << line.substr(0, 60);
    ASSERT_EQ(line.substr(prefix.size()), std::string(200, c)) << line.substr(0, 60);
  }
}

// ---------------------------------------------------------------------------
// Server logs

// The server's side of one connection: a handler that took over a socket
// accepted from the listener, inside a connection, as the TCP server does.
struct ServerSide {
  explicit ServerSide(loopback::Listener& aListener) {
    io.Open();
    pollfd p{aListener.Handle(), POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1 || !io.Binding()->Accept(aListener.Handle())) throw std::runtime_error("accept");
    io.AfterAccept();
    connection.SetIOHandler(&io);
  }
  // What the server does with its log for a new connection.
  void Attach(TIdServerIntercept& aLog) {
    intercept.reset(aLog.Accept(&connection));
    connection.SetIntercept(intercept.get());
    intercept->Connect(&connection);
  }
  TIdTCPConnection connection;
  TIdIOHandlerStack io;
  std::unique_ptr<TIdConnectionIntercept> intercept;
};

// A client connection with its local address as the server sees it.
struct ClientSide {
  explicit ClientSide(loopback::Listener& aListener) {
    client.Connect(aListener.Host(), aListener.Port());
    label = client.Socket()->Binding()->IP() + ":" + std::to_string(client.Socket()->Binding()->Port());
  }
  TIdTCPClient client;
  std::string label;
};

using ServerLogTest = LogTest;

TEST_F(ServerLogTest, ConnectionsShareOneFileLineByLine) {
  loopback::Listener listener;
  TvynIdLogFileServer log;
  log.SetFilename(file);
  log.SetReplaceCRLF(false);
  ClientSide c1(listener), c2(listener);
  ServerSide s1(listener), s2(listener);
  s1.Attach(log);
  s2.Attach(log);
  EXPECT_EQ(ModeOf(file), 0600u);  // the connect lines opened the file
  constexpr int kBlocks = 200;
  auto talk = [](ServerSide& s, char c) {
    for (int i = 0; i < kBlocks; ++i) s.io.Write(std::string(100, c) + "\r\n");
  };
  std::thread t1(talk, std::ref(s1), 'x'), t2(talk, std::ref(s2), 'y');
  t1.join();
  t2.join();
  c1.client.IOHandler()->WriteLn("hello");
  EXPECT_EQ(s1.io.ReadLn(), "hello");
  s1.io.Close();
  s2.io.Close();

  const std::string text = ReadFile(file);
  const std::string sent1 = c1.label + " Sent " + kStamp + ": " + std::string(100, 'x') + "\r\n\r\n";
  const std::string sent2 = c2.label + " Sent " + kStamp + ": " + std::string(100, 'y') + "\r\n\r\n";
  std::size_t count1 = 0, count2 = 0, pos = 0;
  std::vector<std::string> others;
  while (pos < text.size()) {
    if (text.compare(pos, sent1.size(), sent1) == 0) {
      ++count1;
      pos += sent1.size();
    } else if (text.compare(pos, sent2.size(), sent2) == 0) {
      ++count2;
      pos += sent2.size();
    } else {
      const std::size_t end = text.find("\r\n", pos);
      ASSERT_NE(end, std::string::npos) << text.substr(pos, 80);
      others.push_back(text.substr(pos, end - pos));
      pos = end + 2;
    }
  }
  EXPECT_EQ(count1, static_cast<std::size_t>(kBlocks));
  EXPECT_EQ(count2, static_cast<std::size_t>(kBlocks));
  std::sort(others.begin(), others.end());
  // The received data ends in its own CR LF, so its line is followed by an
  // empty one.
  std::vector<std::string> expected = {
      c1.label + " Stat Connected.",    c2.label + " Stat Connected.", c1.label + " Recv " + kStamp + ": hello", "",
      c1.label + " Stat Disconnected.",  // still named after the socket closed
      c2.label + " Stat Disconnected.",
  };
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(others, expected);
}

// The whole path: the TCP server asks the log for a connection log per
// accepted connection; two clients talk at once.
TEST_F(ServerLogTest, OnTheTCPServerEveryConnectionKeepsItsOwnLines) {
  TvynIdLogFileServer log;
  log.SetFilename(file);
  log.SetLogTime(false);
  TIdCustomTCPServer server;
  TIdSocketHandle& binding = server.Bindings().Add();
  binding.SetIP("127.0.0.1");
  binding.SetPort(0);
  server.SetIntercept(&log);
  server.OnExecute = [](TIdContext* AContext) {
    TIdIOHandler* io = AContext->Connection()->IOHandler();
    io->WriteLn(io->ReadLn());
  };
  server.SetActive(true);
  const std::uint16_t port = server.Bindings().Items(0).Port();

  constexpr int kLines = 50;
  auto talk = [port](char aLetter, std::string& aLabel) {
    TIdTCPClient client;
    client.Connect("127.0.0.1", port);
    aLabel = "127.0.0.1:" + std::to_string(client.Socket()->Binding()->Port());
    for (int i = 0; i < kLines; ++i) {
      const std::string line = std::string(1, aLetter) + std::to_string(i);
      client.IOHandler()->WriteLn(line);
      if (client.IOHandler()->ReadLn() != line) throw std::runtime_error("echo");
    }
    client.Disconnect();
  };
  std::string label1, label2;
  auto a = std::async(std::launch::async, talk, 'a', std::ref(label1));
  auto b = std::async(std::launch::async, talk, 'b', std::ref(label2));
  a.get();
  b.get();
  ASSERT_TRUE(WaitUntilLines(file, 2 * (2 + 2 * kLines)));
  server.SetActive(false);

  // Per peer: its status lines, and the data of its lines joined again.
  std::map<std::string, std::vector<std::string>> status;
  std::map<std::string, std::string> received, sent;
  for (const std::string& line : Lines(ReadFile(file))) {
    const std::size_t blank = line.find(' ');
    ASSERT_NE(blank, std::string::npos) << line;
    const std::string label = line.substr(0, blank), rest = line.substr(blank + 1);
    ASSERT_TRUE(label == label1 || label == label2) << line;
    if (rest.rfind("Stat ", 0) == 0)
      status[label].push_back(rest);
    else if (rest.rfind("Recv : ", 0) == 0)
      received[label] += rest.substr(7);
    else if (rest.rfind("Sent : ", 0) == 0)
      sent[label] += rest.substr(7);
    else
      ADD_FAILURE() << line;
  }
  for (const auto& [label, letter] : {std::pair{label1, 'a'}, std::pair{label2, 'b'}}) {
    std::string expected;
    for (int i = 0; i < kLines; ++i) expected += std::string(1, letter) + std::to_string(i) + "<EOL>";
    EXPECT_EQ(received[label], expected) << label;
    EXPECT_EQ(sent[label], expected) << label;
    EXPECT_EQ(status[label], (std::vector<std::string>{"Stat Connected.", "Stat Disconnected."})) << label;
  }
}

TEST_F(ServerLogTest, IPv6PeersAndWebSocketMessages) {
  loopback::Listener listener("::1");
  TvynWSIdLogFileServer log;
  log.SetFilename(file);
  log.SetLogTime(false);
  log.UnMaskFrames = true;
  TIdTCPClient client;
  client.SetIPVersion(TIdIPVersion::Id_IPv6);
  client.Connect("::1", listener.Port());
  ServerSide s(listener);
  s.Attach(log);
  auto* ws = dynamic_cast<TvynWSIdLogFileServerConnection*>(s.intercept.get());
  ASSERT_NE(ws, nullptr);
  EXPECT_TRUE(ws->UnMaskFrames);
  const std::string label = "0:0:0:0:0:0:0:1:" + std::to_string(client.Socket()->Binding()->Port());
  EXPECT_EQ(ws->PeerLabel(), label);
  ws->LogRecvDecodedString("{\"op\":1}");
  EXPECT_EQ(Lines(ReadFile(file)),
            (std::vector<std::string>{label + " Stat Connected.", label + " <<-- " + kStamp + ": {\"op\":1}"}));
}

TEST_F(ServerLogTest, NoPeerAndNoServerLog) {
  TvynIdLogFileServer log;
  log.SetFilename(file);
  std::unique_ptr<TIdConnectionIntercept> intercept(log.Accept(nullptr));
  auto* conn = dynamic_cast<TIdServerInterceptLogFileConnection*>(intercept.get());
  ASSERT_NE(conn, nullptr);
  EXPECT_TRUE(conn->Active());
  EXPECT_EQ(conn->ServerInterceptLog(), &log);
  EXPECT_EQ(conn->PeerLabel(), "0.0.0.0:0");
  // Empty text never opens the file.
  log.LogWriteString("");
  EXPECT_FALSE(log.HasInit());
  EXPECT_FALSE(Exists(file));
  conn->Connect(nullptr);
  EXPECT_TRUE(log.HasInit());
  EXPECT_EQ(ReadFile(file), "0.0.0.0:0 Stat Connected.\r\n");
  try {
    log.SetFilename(file + ".other");
    FAIL();
  } catch (const EIdException& e) {
    EXPECT_STREQ(e.what(), "Unable to set Filename while log file is open.");
  }
}

TEST(ServerLogLifetime, AConnectionLogOutlivingItsServerLogWritesNothing) {
  auto log = std::make_unique<TvynIdLogFileServer>();
  log->SetFilename(::testing::TempDir() + "log-outlived-" + std::to_string(::getpid()) + ".log");
  std::unique_ptr<TIdConnectionIntercept> intercept(log->Accept(nullptr));
  log.reset();
  auto* conn = static_cast<TIdServerInterceptLogFileConnection*>(intercept.get());
  EXPECT_EQ(conn->ServerInterceptLog(), nullptr);
  TIdBytes block = Bytes("data");
  conn->Receive(block);  // must not touch the freed log
  conn->Disconnect();
}

TEST(ServerLogDefaultFile, NamedAfterTheProgramAndOpenedOnTheFirstLine) {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string expected(exe, static_cast<std::size_t>(n));
  expected =
      expected.substr(0, expected.rfind('.') > expected.rfind('/') ? expected.rfind('.') : expected.size()) + ".log";
  ::unlink(expected.c_str());
  {
    TvynIdLogFileServer log;
    std::unique_ptr<TIdConnectionIntercept> intercept(log.Accept(nullptr));
    EXPECT_FALSE(Exists(expected));  // not when the server starts
    log.LogWriteString("first\r\n");
    EXPECT_EQ(log.Filename(), expected);
    EXPECT_EQ(ReadFile(expected), "first\r\n");
    EXPECT_EQ(ModeOf(expected), 0600u);
  }
  ::unlink(expected.c_str());
}

// ---------------------------------------------------------------------------
// Throttler

TEST(Throttler, DelayFollowsTheRate) {
  struct Case {
    std::size_t Bytes;
    std::int32_t Bits;
    std::int64_t Ms;
  };
  const Case cases[] = {
      {1000, 8000, 1000},
      {1000, 0, 0},
      {1, 3, 2666},                      // truncated
      {3000000000u, 1, 24000000000000},  // 64-bit arithmetic, beyond a 32-bit wait
  };
  for (const Case& c : cases) EXPECT_EQ(TIdInterceptThrottler::DelayMs(c.Bytes, c.Bits), c.Ms);
  TIdInterceptThrottler t;
  t.SetBitsPerSec(8000);
  EXPECT_EQ(t.RecvBitsPerSec(), 8000);
  EXPECT_EQ(t.SendBitsPerSec(), 8000);
}

TEST(Throttler, SlowsTheConnectionsOwnThread) {
  TIdStack::IncUsage();
  {
    loopback::Listener listener;
    TIdInterceptThrottler throttler;
    throttler.SetSendBitsPerSec(16000);
    TIdTCPClient client;
    client.SetIntercept(&throttler);
    client.Connect("127.0.0.1", listener.Port());
    loopback::Fd peer = listener.Accept();
    auto start = std::chrono::steady_clock::now();
    client.IOHandler()->Write(TIdBytes(1000, 'z'));  // 8000 bits at 16000 per second
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 480ms);
    EXPECT_LT(took, 5s);
    EXPECT_EQ(loopback::RecvUpTo(peer.get(), 1000).size(), 1000u);
    // Receiving is not limited.
    loopback::SendAll(peer.get(), "fast\n");
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.IOHandler()->ReadLn(), "fast");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 400ms);
  }
  TIdStack::DecUsage();
}

}  // namespace
