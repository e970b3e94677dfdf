// The stack I/O handler against plain sockets on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cctype>
#include <atomic>
#include <climits>
#include <future>
#include <thread>

#include "platform/DateUtils.h"
#include "tests/transport/loopback.h"
#include "tests/transport/tcpserver_fixture.h"
#include "transport/vynIdIOHandlerStack.h"
#include "transport/vynIdIntercept.h"

namespace {

using namespace std::chrono_literals;

TIdBytes Bytes(const std::string& s) { return TIdBytes(s.begin(), s.end()); }
std::string Text(const TIdBytes& b) { return std::string(b.begin(), b.end()); }

// A handler connected to a peer socket accepted from a plain listener.
class IOHandlerTest : public ::testing::Test {
protected:
  explicit IOHandlerTest(const std::string& aHost = "127.0.0.1") : listener(aHost) {}

  void Connect() {
    io = std::make_unique<TIdIOHandlerStack>();
    io->SetHost(listener.Host());
    io->SetPort(listener.Port());
    if (listener.Host() == "::1") io->SetIPVersion(TIdIPVersion::Id_IPv6);
    io->Open();
    peer = listener.Accept();
  }
  void SetUp() override { Connect(); }

  // Sends the chunks with a pause between them, so that each arrives in a
  // receive of its own, on a thread of its own.
  std::thread SendChunks(std::vector<std::string> aChunks, std::chrono::milliseconds aPause = 80ms) {
    return std::thread([this, aChunks = std::move(aChunks), aPause] {
      for (const std::string& c : aChunks) {
        loopback::SendAll(peer.get(), c);
        std::this_thread::sleep_for(aPause);
      }
    });
  }

  loopback::Listener listener;
  std::unique_ptr<TIdIOHandlerStack> io;
  loopback::Fd peer;
};

// ---------------------------------------------------------------------------
// Lines

struct LineCase {
  const char* Name;
  std::vector<std::string> Chunks;
  std::string Terminator;
  std::vector<std::string> Lines;
};

class ReadLnTest : public IOHandlerTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(ReadLnTest, LinesComeOutWhateverTheReceives) {
  const LineCase& c = GetParam();
  std::thread writer = SendChunks(c.Chunks);
  io->SetReadTimeout(10000);
  for (const std::string& expected : c.Lines) {
    EXPECT_EQ(io->ReadLn(c.Terminator), expected);
    EXPECT_FALSE(io->ReadLnTimedOut());
  }
  writer.join();
  EXPECT_TRUE(io->InputBufferIsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Loopback, ReadLnTest,
    ::testing::Values(
        LineCase{"CRLFAndLF", {"abc\r\ndef\n"}, "\n", {"abc", "def"}},
        LineCase{"LoneCRStaysInTheLine", {"abc\rdef\n"}, "\n", {"abc\rdef"}},
        LineCase{"CRLFSplitAcrossReceives", {"abc\r", "\ndef\n"}, "\n", {"abc", "def"}},
        LineCase{"LineInManyPieces", {"a", "b", "c\r", "\n"}, "\n", {"abc"}},
        LineCase{"EmptyLines", {"\r\n\n", "x\n"}, "\n", {"", "", "x"}},
        LineCase{"LongTerminatorSplitAfter1", {"body\r", "\n.\r\nnext\r\n.\r\n"}, "\r\n.\r\n", {"body", "next"}},
        LineCase{"LongTerminatorSplitAfter3", {"body\r\n.", "\r\n"}, "\r\n.\r\n", {"body"}},
        LineCase{"LongTerminatorByteByByte", {"b", "\r", "\n", ".", "\r", "\n"}, "\r\n.\r\n", {"b"}},
        LineCase{"OtherTerminatorKeepsCR", {"a\r|b|"}, "|", {"a\r", "b"}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(IOHandlerTest, MaxLineLengthSplitsOrRaises) {
  io->SetMaxLineLength(10);
  io->SetMaxLineAction(TIdMaxLineAction::maSplit);
  loopback::SendAll(peer.get(), std::string(25, 'x') + "\n" + std::string(25, 'y') + "\n");
  struct {
    std::size_t Length;
    bool Split;
  } expected[] = {{10, true}, {10, true}, {5, false}};
  for (auto e : expected) {
    EXPECT_EQ(io->ReadLn().size(), e.Length);
    EXPECT_EQ(io->ReadLnSplit(), e.Split);
  }
  io->SetMaxLineAction(TIdMaxLineAction::maException);
  try {
    io->ReadLn();
    FAIL() << "no error";
  } catch (const EIdReadLnMaxLineLengthExceeded& e) {
    EXPECT_EQ(e.Message(), "Max line length exceeded.");
  }
  EXPECT_EQ(io->InputBuffer()->Size(), 26) << "the buffered bytes stay";
  bool wasSplit = false;
  EXPECT_EQ(io->ReadLnSplit(wasSplit, "\n", -1, 20), std::string(20, 'y'));
  EXPECT_TRUE(wasSplit);
  EXPECT_EQ(io->MaxLineAction(), TIdMaxLineAction::maException);
}

TEST_F(IOHandlerTest, ReadTimeoutOnASilentPeer) {
  io->SetReadTimeout(100);
  std::uint64_t start = GetTickCount64();
  EXPECT_EQ(io->ReadLn(), "");
  EXPECT_TRUE(io->ReadLnTimedOut());
  std::uint64_t elapsed = GetTickCount64() - start;
  EXPECT_GE(elapsed, 90u);
  EXPECT_LT(elapsed, 5000u);
  TIdBytes bytes;
  try {
    io->ReadBytes(bytes, 1);
    FAIL() << "no time-out";
  } catch (const EIdReadTimeout& e) {
    EXPECT_EQ(e.Message(), "Read timed out.");
  }
  // An explicit time-out on ReadLn overrides the property.
  start = GetTickCount64();
  EXPECT_EQ(io->ReadLn("\n", 50), "");
  EXPECT_TRUE(io->ReadLnTimedOut());
  EXPECT_LT(GetTickCount64() - start, 5000u);
}

// A limited read waits in the receive itself (the socket's receive time-out);
// what that leaves on the socket must not cut a later read short, and a
// socket made non-blocking must still wait its limit.
TEST_F(IOHandlerTest, ReceiveLimitsDoNotOutliveTheirRead) {
  EXPECT_EQ(io->ReadLn("\n", 100), "");
  ASSERT_TRUE(io->ReadLnTimedOut());
  // Unlimited now: a line that comes later than the earlier limit is read.
  auto unlimited = std::async(std::launch::async, [this] { return io->ReadLn("\n", IdTimeoutInfinite); });
  std::this_thread::sleep_for(250ms);
  loopback::SendAll(peer.get(), "later\n");
  ASSERT_EQ(unlimited.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(unlimited.get(), "later");

  const int fd = io->Binding()->Handle();
  ASSERT_EQ(::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
  std::thread slow = std::thread([this] {
    std::this_thread::sleep_for(200ms);
    loopback::SendAll(peer.get(), "slow\n");
  });
  EXPECT_EQ(io->ReadLn("\n", 5000), "slow");
  EXPECT_FALSE(io->ReadLnTimedOut());
  slow.join();
  // A zero limit takes what is there without waiting.
  loopback::SendAll(peer.get(), "x");
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(io->CheckForDataOnSource(0));
  EXPECT_FALSE(io->CheckForDataOnSource(0));
}

// Bytes that arrived before the check answer it at once; the limit is for
// waiting when nothing is there. (Every new server connection whose request
// came with it waited out the limit before being served.)
TEST_F(IOHandlerTest, CheckForDataReturnsAtOnceWhenBytesHaveArrived) {
  loopback::SendAll(peer.get(), "GET / HTTP/1.1\r\n\r\n");
  std::this_thread::sleep_for(100ms);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(io->CheckForDataOnSource(30000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s) << "waited for more after the bytes were there";
  EXPECT_EQ(io->InputBuffer()->Size(), 18);
}

TEST_F(IOHandlerTest, ReadLnWaitSkipsEmptyLines) {
  loopback::SendAll(peer.get(), "\r\n  \r\nvalue\r\n\r\n\r\n");
  EXPECT_EQ(io->ReadLnWait(), "value");
  EXPECT_THROW(io->ReadLnWait(2), EIdReadLnWaitMaxAttemptsExceeded);
  io->SetReadTimeout(50);
  EXPECT_THROW(io->ReadLnWait(), EIdReadTimeout);
}

// ---------------------------------------------------------------------------
// Peer close, local close, reset

TEST_F(IOHandlerTest, BufferedBytesOutliveThePeersClose) {
  loopback::SendAll(peer.get(), "12345");
  peer.reset();
  TIdBytes bytes;
  io->ReadBytes(bytes, 3);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "123");
  // Wait for the close to be seen, bounded.
  for (int i = 0; i < 100 && !io->ClosedGracefully(); ++i) {
    io->CheckForDataOnSource(50);
  }
  EXPECT_TRUE(io->ClosedGracefully());
  EXPECT_TRUE(io->Connected()) << "two bytes are still buffered";
  EXPECT_THROW(io->ReadBytes(bytes, 3), EIdConnClosedGracefully);
  EXPECT_EQ(io->InputBuffer()->Size(), 2);
  io->ReadBytes(bytes, 2);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "12345");
  EXPECT_FALSE(io->Connected());
}

// After the peer ended its sending (shutdown SHUT_WR), an accepted handler
// still answers; one this side opened closes at the peer's end as before.
TEST_F(IOHandlerTest, AcceptedHandlerAnswersAfterThePeersHalfClose) {
  loopback::Listener server("127.0.0.1");
  TIdIOHandlerStack accepted;
  accepted.Open();
  loopback::Fd client = tcpserver_test::Connect("127.0.0.1", server.Port());
  ASSERT_TRUE(accepted.Binding()->Accept(server.Handle()));
  accepted.AfterAccept();
  EXPECT_TRUE(accepted.SendAfterPeerEnd());
  EXPECT_FALSE(io->SendAfterPeerEnd());
  for (int fd : {client.get(), peer.get()}) {
    loopback::SendAll(fd, "request\n");
    ::shutdown(fd, SHUT_WR);
  }

  EXPECT_EQ(accepted.ReadLn(), "request");
  EXPECT_THROW(accepted.ReadLn(), EIdConnClosedGracefully);
  EXPECT_FALSE(accepted.Connected());
  EXPECT_TRUE(accepted.BindingAllocated());
  // The end is seen once; reading again does not wait or spin.
  EXPECT_EQ(accepted.ReadFromSource(false, 1000, false), 0);
  EXPECT_THROW(accepted.ReadLn(), EIdConnClosedGracefully);
  accepted.WriteLn("answer");
  EXPECT_EQ(loopback::RecvUpTo(client.get(), 8, 3000), "answer\r\n");
  accepted.Close();
  EXPECT_EQ(loopback::RecvUpTo(client.get(), 1, 3000), "") << "the owner's close ends it";

  EXPECT_EQ(io->ReadLn(), "request");
  EXPECT_THROW(io->ReadLn(), EIdConnClosedGracefully);
  EXPECT_FALSE(io->BindingAllocated());
  EXPECT_ANY_THROW(io->WriteLn("answer"));
}

TEST_F(IOHandlerTest, LocalCloseEndsTheConnectionEvenWithUnreadBytes) {
  loopback::SendAll(peer.get(), "unread");
  ASSERT_TRUE(io->CheckForDataOnSource(5000));
  io->Close();
  EXPECT_FALSE(io->Connected());
  EXPECT_FALSE(io->BindingAllocated());
  // A later open connects again, with a fresh input buffer.
  io->Open();
  loopback::Fd second = listener.Accept();
  EXPECT_TRUE(io->Connected());
  EXPECT_TRUE(io->InputBufferIsEmpty());
  loopback::SendAll(second.get(), "again\n");
  EXPECT_EQ(io->ReadLn(), "again");
}

TEST_F(IOHandlerTest, AResetPeerIsAnErrorNotAnEnd) {
  loopback::SendAll(peer.get(), "partial body without end");
  ASSERT_TRUE(io->CheckForDataOnSource(5000));
  loopback::CloseWithReset(peer);
  try {
    std::string all = io->AllData();
    FAIL() << "a reset read as a complete body: " << all;
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), ECONNRESET);
  }
}

TEST_F(IOHandlerTest, AllDataReadsUntilTheClose) {
  std::thread writer = SendChunks({"first ", "second ", "third"}, 100ms);
  writer.join();
  peer.reset();
  EXPECT_EQ(io->AllData(), "first second third");
}

TEST_F(IOHandlerTest, ResetDuringReadLnRaisesTheSocketError) {
  loopback::CloseWithReset(peer);
  io->SetReadTimeout(10000);
  try {
    io->ReadLn();
    FAIL();
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), ECONNRESET);
    EXPECT_EQ(e.Message(), Format("Socket Error # %d\r\nConnection reset by peer.", ECONNRESET));
  }
}

TEST_F(IOHandlerTest, WriteToAResetPeerRaises) {
  loopback::CloseWithReset(peer);
  std::this_thread::sleep_for(50ms);
  TIdBytes block(65536, 'x');
  // The first send may still be accepted locally; a later one fails.
  EXPECT_THROW(
      {
        for (int i = 0; i < 100; ++i) io->Write(block);
      },
      EIdSocketError);
}

TEST_F(IOHandlerTest, BlockedReadIsStoppedFromAnotherThread) {
  auto reader = std::async(std::launch::async, [this] {
    try {
      io->ReadLn();
      return std::string("returned");
    } catch (const EIdConnClosedGracefully&) {
      return std::string("closed");
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
  });
  ASSERT_EQ(reader.wait_for(200ms), std::future_status::timeout) << "the read did not block";
  io->Interrupt();
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(reader.get(), "closed");
  EXPECT_FALSE(io->BindingAllocated()) << "the owning thread closed the socket";
}

// ---------------------------------------------------------------------------
// Counted reads and streams

TEST_F(IOHandlerTest, DeclaredLengthsAllocateNothingUpFront) {
  io->SetLargeStream(true);
  // A 64-bit length of 10^12 followed by a few bytes and the close.
  TIdBytes prefix(8);
  std::uint64_t n = TIdStack::HostToNetwork(std::uint64_t{1000000000000});
  std::memcpy(prefix.data(), &n, 8);
  loopback::SendAll(peer.get(), std::string(prefix.begin(), prefix.end()) + std::string(1000, 'z'));
  peer.reset();
  TMemoryStream stream;
  EXPECT_THROW(io->ReadStream(&stream), EIdConnClosedGracefully);
  EXPECT_EQ(stream.Size(), 1000);
}

TEST_F(IOHandlerTest, ReadStreamPastTheLargestPositionIsRefused) {
  TMemoryStream stream;
  const std::int64_t nearEnd = INT64_MAX - 10;
  stream.SetPosition(nearEnd);
  try {
    io->ReadStream(&stream, 100);
    FAIL();
  } catch (const EIdIOHandlerStreamDataTooLarge& e) {
    EXPECT_EQ(e.Message(), "Data is too large for stream");
  }
  // A count the peer declares is checked the same way.
  io->SetLargeStream(true);
  loopback::SendAll(peer.get(), std::string("\x40\0\0\0\0\0\0\0", 8));
  stream.SetPosition(std::int64_t{1} << 62);
  EXPECT_THROW(io->ReadStream(&stream), EIdIOHandlerStreamDataTooLarge);
  EXPECT_EQ(stream.Size(), 0);
}

TEST_F(IOHandlerTest, HugeReadBytesCountFailsOnCloseWithoutAllocating) {
  loopback::SendAll(peer.get(), "0123456789");
  peer.reset();
  TIdBytes bytes;
  EXPECT_THROW(io->ReadBytes(bytes, INT32_MAX - 1), EIdConnClosedGracefully);
  EXPECT_TRUE(bytes.empty());
  EXPECT_EQ(io->InputBuffer()->Size(), 10);
}

// Blocks of at least one receive go straight into the caller's array while
// nothing is buffered; whatever ends such a read early must leave every byte
// that arrived readable, in order, and the caller's array as it was.
std::string Pattern(std::size_t aSize, std::size_t aFrom = 0) {
  std::string s(aSize, '\0');
  for (std::size_t i = 0; i < aSize; ++i) s[i] = static_cast<char>('a' + (aFrom + i) % 23);
  return s;
}

TEST_F(IOHandlerTest, LargeReadBytesEndedEarlyKeepsWhatArrived) {
  std::int64_t worked = 0;
  io->OnWork = [&](TComponent*, TWorkMode m, std::int64_t count) {
    if (m == TWorkMode::wmRead) worked = count;
  };
  io->BeginWork(TWorkMode::wmRead, 0);
  // A whole block in several receives.
  std::thread writer = SendChunks({Pattern(20000), Pattern(30000, 20000)}, 30ms);
  TIdBytes bytes = Bytes("ab");
  io->ReadBytes(bytes, 50000);
  writer.join();
  EXPECT_EQ(Text(bytes), "ab" + Pattern(50000));
  EXPECT_EQ(worked, 50000) << "counted as if through the input buffer";
  io->EndWork(TWorkMode::wmRead);

  // A time-out part of the way.
  io->SetReadTimeout(300);
  loopback::SendAll(peer.get(), Pattern(33000));
  bytes = Bytes("ab");
  EXPECT_THROW(io->ReadBytes(bytes, 40000), EIdReadTimeout);
  EXPECT_EQ(Text(bytes), "ab");
  EXPECT_EQ(io->InputBuffer()->Size(), 33000);
  loopback::SendAll(peer.get(), Pattern(7000, 33000));
  io->ReadBytes(bytes, 40000, false);
  EXPECT_EQ(Text(bytes), Pattern(40000));

  // The peer's close part of the way.
  loopback::SendAll(peer.get(), Pattern(35000));
  peer.reset();
  bytes.clear();
  EXPECT_THROW(io->ReadBytes(bytes, 40000), EIdConnClosedGracefully);
  EXPECT_TRUE(bytes.empty());
  io->ReadBytes(bytes, 35000);
  EXPECT_EQ(Text(bytes), Pattern(35000));
}

TEST_F(IOHandlerTest, ReadStreamForms) {
  // 32-bit length prefix: exactly that many bytes, the rest stays buffered.
  loopback::SendAll(peer.get(), std::string("\0\0\0\x05", 4) + "hellotail");
  TStringStream counted;
  io->ReadStream(&counted);
  EXPECT_EQ(counted.DataString(), "hello");
  // Given count, no stream: the bytes are skipped.
  io->ReadStream(nullptr, 2);
  // Until disconnect: everything up to the close, no exception.
  std::thread writer = SendChunks({"-more", "-end"}, 50ms);
  writer.join();
  peer.reset();
  TStringStream rest;
  io->ReadStream(&rest, -1, true);
  EXPECT_EQ(rest.DataString(), "il-more-end");
}

TEST_F(IOHandlerTest, ReadStreamReportsWork) {
  std::vector<std::int64_t> progress;
  std::int64_t begun = -1;
  int ended = 0;
  io->OnWorkBegin = [&](TComponent*, TWorkMode m, std::int64_t max) {
    if (m == TWorkMode::wmRead) begun = max;
  };
  io->OnWork = [&](TComponent*, TWorkMode m, std::int64_t count) {
    if (m == TWorkMode::wmRead) progress.push_back(count);
  };
  io->OnWorkEnd = [&](TComponent*, TWorkMode) { ++ended; };
  std::thread writer = SendChunks({std::string(3000, 'a'), std::string(2000, 'b')}, 50ms);
  TMemoryStream stream;
  io->ReadStream(&stream, 5000);
  writer.join();
  EXPECT_EQ(begun, 5000);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 5000);
  EXPECT_EQ(ended, 1);
}

TEST_F(IOHandlerTest, NumbersAndCharacters) {
  std::string data("\x01\x02\x03\x04\x05\x06\x07\x08\xFF\xFE", 10);
  data +=
      "\xC3\xA9"
      "a";
  loopback::SendAll(peer.get(), data);
  EXPECT_EQ(io->ReadInt32(), 0x01020304);
  EXPECT_EQ(io->ReadUInt16(), 0x0506);
  EXPECT_EQ(io->ReadUInt16(false), 0x0807);
  EXPECT_EQ(io->ReadInt16(), -2);
  EXPECT_EQ(io->ReadChar(detail::EncodingUTF8()), "\xC3\xA9");
  EXPECT_EQ(io->ReadChar(), "a");
}

TEST_F(IOHandlerTest, CaptureWaitForAndDiscard) {
  loopback::SendAll(peer.get(), "one\r\n..two\r\n.\r\nhead<END>tail|x");
  TStringList lines;
  io->Capture(lines);
  ASSERT_EQ(lines.Count(), 2);
  EXPECT_EQ(lines[0], "one");
  EXPECT_EQ(lines[1], ".two");
  EXPECT_EQ(io->WaitFor("<END>"), "head");
  EXPECT_EQ(io->WaitFor("|", true, true), "tail|");
  io->Discard(1);
  EXPECT_TRUE(io->InputBufferIsEmpty());
  loopback::SendAll(peer.get(), "a\r\nb\r\nc\r\n.\r\n");
  io->SetMaxCapturedLines(1);
  TStringList limited;
  EXPECT_THROW(io->Capture(limited), EIdMaxCaptureLineExceeded);
}

TEST_F(IOHandlerTest, ReadLnRFCUnstuffsDotsAndSeesTheEnd) {
  loopback::SendAll(peer.get(), "..dot\r\nplain\r\n.\r\n");
  bool end = true;
  EXPECT_EQ(io->ReadLnRFC(end), ".dot");
  EXPECT_FALSE(end);
  EXPECT_EQ(io->ReadLnRFC(end), "plain");
  EXPECT_FALSE(end);
  io->ReadLnRFC(end);
  EXPECT_TRUE(end);
}

TEST_F(IOHandlerTest, InputLnEditsAndEchoes) {
  struct Case {
    const char* Typed;
    const char* Mask;
    std::int32_t TabWidth;
    const char* Line;
    const char* Echo;
  } cases[] = {
      {"ab\bc\x1B"
       "d\r\n",
       "", 8, "acd", "ab\b \bcd\r\n"},
      {"a\tb\n", "", 4, "a   b", "a   b\r\n"},
      {"pw\n", "*", 8, "pw", "**\r\n"},
      {"\b\bx\n", "", 8, "x", "x\r\n"},
  };
  for (const Case& c : cases) {
    loopback::SendAll(peer.get(), c.Typed);
    EXPECT_EQ(io->InputLn(c.Mask, true, c.TabWidth), c.Line) << c.Typed;
    EXPECT_EQ(loopback::RecvUpTo(peer.get(), std::strlen(c.Echo)), c.Echo) << c.Typed;
  }
  io->SetMaxLineLength(3);
  loopback::SendAll(peer.get(), "abcdefg\n");
  EXPECT_EQ(io->InputLn("", false).size(), 4u) << "characters past the limit are ignored";
}

TEST_F(IOHandlerTest, DiscardAllEndsAtTheClose) {
  std::thread writer = SendChunks({"junk", "more junk"}, 50ms);
  writer.join();
  peer.reset();
  io->DiscardAll();
  EXPECT_TRUE(io->InputBufferIsEmpty());
}

// ---------------------------------------------------------------------------
// Writing

TEST_F(IOHandlerTest, WriteBufferThresholdSendsWholeBlocks) {
  io->WriteBufferOpen(100);
  io->Write(TIdBytes(250, 'w'));
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 250, 300).size(), 200u);
  io->WriteBufferClose();
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 50, 5000).size(), 50u);
  io->WriteBufferOpen(100);
  io->Write(TIdBytes(60, 'c'));
  io->WriteBufferCancel();
  EXPECT_FALSE(io->WriteBufferingActive());
  io->Write(std::string("!"));
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 61, 300), "!");
}

TEST_F(IOHandlerTest, WriteStreamForms) {
  TStringStream source("0123456789");
  source.SetPosition(6);
  io->Write(source, 0);  // rewinds, sends all
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 10), "0123456789");
  source.SetPosition(7);
  io->Write(source, -1);  // from the position
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 3), "789");
  source.SetPosition(2);
  io->Write(source, 3, true);  // with a 32-bit count
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 7), std::string("\0\0\0\x03"
                                                           "234",
                                                           7));
  source.SetPosition(8);
  EXPECT_THROW(io->Write(source, 5), EIdNoDataToRead);
}

TEST_F(IOHandlerTest, WriteTextForms) {
  TStringList lines;
  lines.Add("a");
  lines.Add(".b");
  io->Write(lines, true);
  io->WriteRFCStrings(lines);
  io->WriteLn("caf\xC3\xA9");
  io->Write(std::int32_t{258});
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 36),
            std::string("\0\0\0\x02", 4) + "a\r\n.b\r\na\r\n..b\r\n.\r\ncaf?\r\n" + std::string("\0\0\x01\x02", 4));
}

// A file in the test's temporary folder, removed with the object.
class TempFile {
public:
  explicit TempFile(const std::string& aContent) {
    std::string pattern = ::testing::TempDir() + "iohandler-XXXXXX";
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw std::runtime_error("mkstemp");
    FName = pattern;
    if (::write(fd, aContent.data(), aContent.size()) != static_cast<ssize_t>(aContent.size())) {
      ::close(fd);
      throw std::runtime_error("write");
    }
    ::close(fd);
  }
  ~TempFile() { ::unlink(FName.c_str()); }
  const std::string& Name() const { return FName; }

private:
  std::string FName;
};

std::string AllByteValues(std::size_t aSize) {
  std::string s(aSize, '\0');
  for (std::size_t i = 0; i < aSize; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return s;
}

TEST_F(IOHandlerTest, WriteFileSendsTheWholeFileEitherWay) {
  const std::string content = AllByteValues(700 * 1024);
  TempFile file(content);
  for (bool transfer : {false, true}) {
    SCOPED_TRACE(transfer ? "kernel transfer" : "through the handler");
    std::int64_t begun = -1, last = 0;
    io->OnWorkBegin = [&](TComponent*, TWorkMode m, std::int64_t max) {
      if (m == TWorkMode::wmWrite) begun = max;
    };
    io->OnWork = [&](TComponent*, TWorkMode m, std::int64_t count) {
      if (m == TWorkMode::wmWrite) last = count;
    };
    // The peer reads while the file goes out: it is larger than the socket
    // buffers.
    auto received = std::async(std::launch::async, [&] { return loopback::RecvUpTo(peer.get(), content.size()); });
    EXPECT_EQ(io->WriteFile(file.Name(), transfer), static_cast<std::int64_t>(content.size()));
    EXPECT_TRUE(received.get() == content);
    EXPECT_EQ(begun, static_cast<std::int64_t>(content.size()));
    EXPECT_EQ(last, static_cast<std::int64_t>(content.size()));
  }
}

TEST_F(IOHandlerTest, WriteFileOfAMissingFile) {
  const std::string missing = ::testing::TempDir() + "no-such-file-here";
  // The socket handler answers 0; the base raises with the name.
  EXPECT_EQ(io->WriteFile(missing, true), 0);
  try {
    io->TIdIOHandler::WriteFile(missing);
    FAIL();
  } catch (const EIdFileNotFound& e) {
    EXPECT_EQ(e.Message(), "File \"" + missing + "\" not found");
  }
  io->Write(std::string("end"));
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 4, 300), "end");
}

TEST_F(IOHandlerTest, WriteFileWithTransferStillPassesTheIntercept) {
  TempFile file("abc");
  TIdConnectionIntercept intercept;
  intercept.OnSend = [](TIdConnectionIntercept*, TIdBytes& b) {
    for (auto& c : b) c = static_cast<std::uint8_t>(std::toupper(c));
  };
  io->SetIntercept(&intercept);
  EXPECT_EQ(io->WriteFile(file.Name(), true), 3);
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 3), "ABC");
  io->SetIntercept(nullptr);
  // Buffered output keeps its order: the file joins the write buffer.
  io->WriteBufferOpen();
  io->Write(std::string("<"));
  io->WriteFile(file.Name(), true);
  io->Write(std::string(">"));
  io->WriteBufferClose();
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 5), "<abc>");
}

TEST_F(IOHandlerTest, WriteFileToAResetPeerRaisesAndCloses) {
  TempFile file(AllByteValues(8 * 1024 * 1024));
  loopback::CloseWithReset(peer);
  std::this_thread::sleep_for(100ms);
  try {
    io->WriteFile(file.Name(), true);
    FAIL() << "a file written to a reset peer counted as sent";
  } catch (const EIdSocketError& e) {
    EXPECT_TRUE(e.LastError() == ECONNRESET || e.LastError() == EPIPE) << e.LastError();
  }
  EXPECT_FALSE(io->Connected());
}

TEST_F(IOHandlerTest, SendInterceptRewritesAndWorkCountsTheWire) {
  TIdConnectionIntercept intercept;
  intercept.OnSend = [](TIdConnectionIntercept*, TIdBytes& b) {
    TIdBytes doubled = b;
    doubled.insert(doubled.end(), b.begin(), b.end());
    b = doubled;
  };
  io->SetIntercept(&intercept);
  std::int64_t written = 0;
  io->OnWork = [&](TComponent*, TWorkMode m, std::int64_t count) {
    if (m == TWorkMode::wmWrite) written = count;
  };
  io->BeginWork(TWorkMode::wmWrite, 0);
  io->Write(std::string("abc"));
  io->EndWork(TWorkMode::wmWrite);
  EXPECT_EQ(loopback::RecvUpTo(peer.get(), 6), "abcabc");
  EXPECT_EQ(written, 6);
}

TEST_F(IOHandlerTest, AnInterceptThatSwallowsABlockIsNotTheClose) {
  TIdConnectionIntercept intercept;
  int blocks = 0;
  intercept.OnReceive = [&](TIdConnectionIntercept*, TIdBytes& b) {
    if (blocks++ == 0) b.clear();  // e.g. a handshake record with no payload
  };
  io->SetIntercept(&intercept);
  io->SetReadTimeout(10000);
  std::thread writer = SendChunks({"hidden", "shown\n"}, 100ms);
  EXPECT_EQ(io->ReadLn(), "shown");
  writer.join();
  EXPECT_FALSE(io->ClosedGracefully());
  EXPECT_TRUE(io->Connected());
}

TEST_F(IOHandlerTest, InterceptChainOrderAndCircularLinks) {
  TIdConnectionIntercept outer, inner;
  std::string order;
  outer.OnSend = [&](TIdConnectionIntercept*, TIdBytes&) { order += "outer-send "; };
  inner.OnSend = [&](TIdConnectionIntercept*, TIdBytes&) { order += "inner-send "; };
  outer.OnReceive = [&](TIdConnectionIntercept*, TIdBytes&) { order += "outer-recv "; };
  inner.OnReceive = [&](TIdConnectionIntercept*, TIdBytes&) { order += "inner-recv "; };
  outer.SetIntercept(&inner);
  TIdBytes b{'x'};
  outer.Send(b);
  outer.Receive(b);
  EXPECT_EQ(order, "outer-send inner-send inner-recv outer-recv ");
  try {
    inner.SetIntercept(&outer);
    FAIL();
  } catch (const EIdInterceptCircularLink& e) {
    EXPECT_EQ(e.Message(), "TIdConnectionIntercept: Circular links are not allowed");
  }
  {
    TIdConnectionIntercept gone;
    inner.SetIntercept(&gone);
  }
  EXPECT_EQ(inner.Intercept(), nullptr) << "a destroyed link is forgotten";
}

// ---------------------------------------------------------------------------
// Connecting

class IOHandlerConnectTest : public ::testing::Test {};

TEST_F(IOHandlerConnectTest, StatusAndIPv6) {
  loopback::Listener listener("::1");
  TIdIOHandlerStack io;
  std::vector<std::string> status;
  io.OnStatus = [&](TComponent*, TIdStatus, const std::string& text) { status.push_back(text); };
  io.SetIPVersion(TIdIPVersion::Id_IPv6);
  io.SetHost("localhost");
  io.SetPort(listener.Port());
  io.Open();
  loopback::Fd peer = listener.Accept();
  ASSERT_EQ(status.size(), 2u);
  EXPECT_EQ(status[0], "Resolving hostname localhost.");
  EXPECT_EQ(status[1], "Connecting to ::1.");
  EXPECT_EQ(io.Binding()->PeerIP(), "0:0:0:0:0:0:0:1");
  loopback::SendAll(peer.get(), "v6\n");
  EXPECT_EQ(io.ReadLn(), "v6");
}

TEST_F(IOHandlerConnectTest, ConnectTimeoutLeavesTheHandlerClosed) {
  // While the accept queue is full, Linux drops new SYNs: connects stay
  // pending, a bounded stand-in for an address that drops packets.
  loopback::Listener listener("127.0.0.1", 0);
  std::vector<std::unique_ptr<TIdIOHandlerStack>> fillers;
  bool timedOut = false;
  std::uint64_t elapsed = 0;
  for (int i = 0; i < 8 && !timedOut; ++i) {
    auto io = std::make_unique<TIdIOHandlerStack>();
    io->SetHost("127.0.0.1");
    io->SetPort(listener.Port());
    io->SetConnectTimeout(500);
    std::uint64_t start = GetTickCount64();
    try {
      io->Open();
      fillers.push_back(std::move(io));
    } catch (const EIdConnectTimeout& e) {
      elapsed = GetTickCount64() - start;
      EXPECT_EQ(e.Message(), "Connect timed out.");
      EXPECT_FALSE(io->BindingAllocated());
      EXPECT_FALSE(io->Connected());
      timedOut = true;
    }
  }
  ASSERT_TRUE(timedOut);
  EXPECT_GE(elapsed, 450u);
  EXPECT_LT(elapsed, 10000u);
}

TEST_F(IOHandlerConnectTest, RefusedConnectLeavesNoSocketBehind) {
  std::uint16_t port;
  {
    loopback::Listener gone;
    port = gone.Port();
  }
  TIdIOHandlerStack io;
  io.SetHost("127.0.0.1");
  io.SetPort(port);
  for (std::int32_t timeout : {0, 5000}) {
    io.SetConnectTimeout(timeout);
    try {
      io.Open();
      FAIL() << "connected to a closed port";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.LastError(), ECONNREFUSED);
    }
    EXPECT_FALSE(io.BindingAllocated());
    EXPECT_FALSE(io.Connected());
  }
}

TEST_F(IOHandlerConnectTest, DestroyingTheHandlerDisconnectsItsIntercept) {
  loopback::Listener listener;
  TIdConnectionIntercept intercept;
  int disconnects = 0;
  intercept.OnDisconnect = [&](TIdConnectionIntercept*) { ++disconnects; };
  {
    TIdIOHandlerStack io;
    io.SetIntercept(&intercept);
    io.SetHost("127.0.0.1");
    io.SetPort(listener.Port());
    io.Open();
    loopback::Fd peer = listener.Accept();
  }
  EXPECT_EQ(disconnects, 1);
}

TEST_F(IOHandlerConnectTest, BoundPortRange) {
  loopback::Listener listener;
  loopback::Listener probe;  // a port known to be free once released
  std::uint16_t port = probe.Port();
  { loopback::Listener released = std::move(probe); }
  TIdIOHandlerStack io;
  io.SetHost("127.0.0.1");
  io.SetPort(listener.Port());
  io.SetBoundIP("127.0.0.1");
  io.SetBoundPortMin(port);
  io.SetBoundPortMax(port);
  io.Open();
  EXPECT_EQ(io.Binding()->Port(), port);
}

TEST(IOHandlerRegistryTest, DefaultAndTypedCreation) {
  std::unique_ptr<TIdIOHandler> handler(MakeDefaultIOHandler());
  ASSERT_TRUE(handler);
  EXPECT_NE(dynamic_cast<TIdIOHandlerStack*>(handler.get()), nullptr);
  std::unique_ptr<TIdIOHandlerSocket> socketHandler(MakeIOHandler<TIdIOHandlerSocket>());
  EXPECT_NE(socketHandler, nullptr);
  struct TUnregisteredHandler : TIdIOHandlerStack {};
  try {
    MakeIOHandler<TUnregisteredHandler>();
    FAIL();
  } catch (const EIdException& e) {
    EXPECT_NE(e.Message().find("No IOHandler of type"), std::string::npos);
  }
}

TEST(IOHandlerDestinationTest, HostAndPort) {
  TIdIOHandlerStack io;
  io.SetDefaultPort(80);
  struct Case {
    const char* Text;
    const char* Host;
    std::uint16_t Port;
    const char* Destination;
  } cases[] = {
      {"example.test:8080", "example.test", 8080, "example.test:8080"},
      {"example.test:80", "example.test", 80, "example.test"},
      {"example.test:abc", "example.test", 80, "example.test"},
      {"[::1]:443", "[::1]", 443, "[::1]:443"},
  };
  for (const Case& c : cases) {
    io.SetDestination(c.Text);
    EXPECT_EQ(io.Host(), c.Host);
    EXPECT_EQ(io.Port(), c.Port);
    EXPECT_EQ(io.Destination(), c.Destination);
  }
  io.SetDestination("nocolon");
  EXPECT_EQ(io.Host(), "[::1]");
}

}  // namespace
