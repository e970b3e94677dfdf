// The HTTP server started as a whole (listener, worker threads, the TLS
// server handler) against real peers on loopback: raw bytes from python3 for
// malformed, slow, half-closed and smuggling requests, and openssl s_client
// over TLS 1.2 and 1.3, curl over HTTPS. The tests of the request loop run
// with a thread per connection and with the event scheduler (one worker, so
// that a client that keeps the worker waiting shows).
#include <gtest/gtest.h>

#include <cctype>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "openssl_peer.h"
#include "tests/transport/tcpserver_fixture.h"
#include "tests/transport/http_exchange.h"
#include "transport/vynIdCustomHTTPServer.h"
#include "transport/vynIdSSLOpenSSL.h"
#include "transport/vynIdSchedulerOfEvents.h"
#include "transport/vynIdStack.h"

using opensslpeer::Certificates;
using opensslpeer::Process;

namespace {

Certificates* gCerts = nullptr;

// --- the python3 raw-byte peer (raw_peer.py): steps in, readings out

std::string Hex(std::string_view AData) {
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  out.reserve(AData.size() * 2);
  for (unsigned char c : AData) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}
std::string Conn(int AN) { return "conn " + std::to_string(AN) + "\n"; }
std::string Send(std::string_view AData) { return "send " + Hex(AData) + "\n"; }
std::string Drip(std::string_view AData, int AMs) { return "drip " + Hex(AData) + " " + std::to_string(AMs) + "\n"; }
std::string Sleep(int AMs) { return "sleep " + std::to_string(AMs) + "\n"; }
std::string Read(int AMs) { return "read " + std::to_string(AMs) + "\n"; }
const std::string kShutWr = "shutwr\n";

struct Reading {
  int Conn = -1;
  std::string State;  // closed, reset or open
  std::string Data;
  // The status codes of the responses in Data, in order.
  std::vector<int> Statuses() const {
    std::vector<int> codes;
    for (std::size_t pos = 0; (pos = Data.find("HTTP/1.1 ", pos)) != std::string::npos; pos += 9) {
      const char* code = Data.c_str() + pos + 9;
      if (pos + 13 <= Data.size() && std::isdigit(code[0]) && std::isdigit(code[1]) && std::isdigit(code[2]) &&
          code[3] == ' ')
        codes.push_back(std::atoi(code));
    }
    return codes;
  }
};

std::vector<Reading> RawPeer(std::uint16_t APort, const std::string& ASteps) {
  Process peer({"python3", SOURCE_ROOT "/tests/transport_peer/raw_peer.py", std::to_string(APort)});
  peer.Write(ASteps);
  peer.CloseInput();
  const std::string out = peer.ReadAll(60000);
  EXPECT_EQ(peer.Wait(5000), 0) << out;
  std::vector<Reading> readings;
  std::size_t pos = 0;
  while ((pos = out.find("#READ ", pos)) != std::string::npos) {
    std::size_t eol = out.find('\n', pos);
    if (eol == std::string::npos) break;
    Reading r;
    char state[16] = {};
    std::size_t length = 0;
    if (std::sscanf(out.c_str() + pos, "#READ %d %15s %zu", &r.Conn, state, &length) != 3) break;
    r.State = state;
    r.Data = out.substr(eol + 1, length);
    readings.push_back(r);
    pos = eol + 1 + length;
  }
  return readings;
}

// One read on one connection: what the peer got.
Reading Exchange(std::uint16_t APort, const std::string& ASteps) {
  std::vector<Reading> r = RawPeer(APort, Conn(0) + ASteps);
  return r.empty() ? Reading{} : r.back();
}

// --- the server

class HTTPServerPeerTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    TIdStack::IncUsage();
    if (!gCerts) gCerts = new Certificates();
  }
  static void TearDownTestSuite() {
    delete gCerts;
    gCerts = nullptr;
    TIdStack::DecUsage();
  }

  void SetUp() override {
    port = tcpserver_test::FreePort();
    TIdSocketHandle& b = server.Bindings().Add();
    b.SetIP("127.0.0.1");
    b.SetPort(port);
    server.KeepAlive = true;
    server.OnCommandGet =
        server.OnCommandOther = [this](TIdContext* AContext, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
          std::string body;
          if (TStream* s = q->PostStream()) {
            body.resize(static_cast<std::size_t>(s->Size()));
            if (!body.empty()) s->ReadBuffer(body.data(), s->Size());
          }
          std::string tls;
          if (auto* h = dynamic_cast<TIdSSLIOHandlerSocketOpenSSL*>(AContext->Connection()->IOHandler())) {
            tls = " " + h->GetSSLVersion();
            if (TIdX509* peer = h->SSLSocket()->PeerCert()) tls += " " + peer->Subject().OneLine();
          }
          std::lock_guard<std::mutex> lock(mutex);
          documents.push_back(q->Document);
          r->ContentText = q->Command + " " + q->Document + " " + body + tls;
        };
    server.OnException = [this](TIdContext*, const Exception& e) {
      std::lock_guard<std::mutex> lock(mutex);
      exceptions.push_back(e.Message());
    };
    server.OnConnect = [this](TIdContext*) { ++connects; };
    server.OnDisconnect = [this](TIdContext*) { ++disconnects; };
    if (UseEvents()) {
      events.Workers = 1;
      server.SetScheduler(&events);
    }
  }
  virtual bool UseEvents() const { return false; }

  // A python3 client run against the server's port: AScript finds `ctx`,
  // a TLS client context that takes any certificate, and the port in
  // sys.argv[1]. What it prints; it must end well.
  std::string RunTLSClient(const std::string& AScript) {
    Process client({"python3", "-c",
                    "import socket, ssl, sys\n"
                    "ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)\n"
                    "ctx.check_hostname = False\n"
                    "ctx.verify_mode = ssl.CERT_NONE\n" +
                        AScript,
                    std::to_string(port)});
    client.CloseInput();
    const std::string out = client.ReadAll(30000);
    EXPECT_EQ(client.Wait(5000), 0) << out;
    return out;
  }

  // ADocument asked for and answered on AFd; on the event scheduler the
  // connection then waits parked for its next request.
  void AnswerOneThenPark(int AFd, http_exchange::Reader& AReader, const std::string& ADocument) {
    loopback::SendAll(AFd, "GET " + ADocument + " HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_EQ(AReader.Next(10000).Status, 200);
    if (UseEvents()) {
      ASSERT_TRUE(tcpserver_test::WaitUntil([&] { return events.ParkedCount() == 1; }, 10000));
    }
  }
  void TearDown() override {
    server.SetActive(false);
    if (HasFailure())
      for (const std::string& e : Exceptions()) std::fprintf(stderr, "server exception: %s\n", e.c_str());
  }

  // TLS on the server's port through the TLS server handler, speaking
  // AVersion (one version per server: under the 1.1 API a version set falls
  // back to the TLS 1.2 method).
  void UseTLS(TIdSSLVersion AVersion) {
    TIdSSLOptions& o = tls.SSLOptions();
    o.Mode = TIdSSLMode::sslmServer;
    o.SetMethod(AVersion);
    o.CertFile = gCerts->Path("server.pem");
    o.KeyFile = gCerts->Path("server.key");
    server.SetIOHandler(&tls);
    server.OnQuerySSLPort = [](std::uint16_t, bool& VUseSSL) { VUseSSL = true; };
  }

  std::vector<std::string> Documents() {
    std::lock_guard<std::mutex> lock(mutex);
    return documents;
  }
  std::vector<std::string> Exceptions() {
    std::lock_guard<std::mutex> lock(mutex);
    return exceptions;
  }

  // s_client on the server's port; its output carries the session summary
  // and what the server sent.
  std::unique_ptr<Process> SClient(const std::vector<std::string>& AExtra) {
    std::vector<std::string> args{
        "openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port), "-CAfile", gCerts->Path("ca.pem"),
        "-crlf",   "-ign_eof"};
    args.insert(args.end(), AExtra.begin(), AExtra.end());
    return std::make_unique<Process>(args);
  }

  std::uint16_t port = 0;
  std::mutex mutex;
  std::vector<std::string> documents;
  std::vector<std::string> exceptions;
  std::atomic<int> connects{0};
  std::atomic<int> disconnects{0};
  // Declared before the server, which uses them until it is destroyed.
  TIdServerIOHandlerSSLOpenSSL tls;
  TIdSchedulerOfEvents events;
  TIdHTTPServer server;
};

class HTTPServerSchedulingTest : public HTTPServerPeerTest, public ::testing::WithParamInterface<bool> {
protected:
  bool UseEvents() const override { return GetParam(); }
};

#define POST_HEAD "POST /p HTTP/1.1\r\nHost: h\r\n"
// Sent right behind a refused request on the same connection: it must never
// be read as a request of its own.
#define SMUGGLED "GET /smuggled HTTP/1.1\r\nHost: h\r\n\r\n"

struct RefusalCase {
  const char* Name;
  std::string Request;
  int Status;
};

class HTTPServerRefusalPeerTest : public HTTPServerPeerTest, public ::testing::WithParamInterface<RefusalCase> {};

// Each refused request gets its status, the connection closes, and whatever
// followed it on the connection is never served.
TEST_P(HTTPServerRefusalPeerTest, AnsweredOnceAndClosed) {
  server.MaximumRequestLineLength = 1024;
  server.MaximumHeaderLineCount = 50;
  server.MaximumRequestBodySize = 1000;
  server.SetActive(true);
  Reading r = Exchange(port, Send(GetParam().Request + SMUGGLED) + Read(10000));
  EXPECT_EQ(r.State, "closed") << r.Data;
  EXPECT_EQ(r.Statuses(), std::vector<int>{GetParam().Status}) << r.Data;
  EXPECT_NE(r.Data.find("Connection: close\r\n"), std::string::npos) << r.Data;
  EXPECT_TRUE(Documents().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Framing, HTTPServerRefusalPeerTest,
    ::testing::Values(
        RefusalCase{"LengthAndChunked", POST_HEAD "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
                    400},
        RefusalCase{"ChunkedAndLength", POST_HEAD "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n0\r\n\r\n",
                    400},
        RefusalCase{"TwoLengths", POST_HEAD "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", 400},
        RefusalCase{"SameLengthTwice", POST_HEAD "Content-Length: 5\r\ncontent-length: 5\r\n\r\nhello", 400},
        RefusalCase{"LengthNotANumber", POST_HEAD "Content-Length: 5x\r\n\r\nhello", 400},
        RefusalCase{"LengthHex", POST_HEAD "Content-Length: 0x5\r\n\r\nhello", 400},
        RefusalCase{"LengthNegative", POST_HEAD "Content-Length: -5\r\n\r\n", 400},
        RefusalCase{"LastCodingNotChunked", POST_HEAD "Transfer-Encoding: chunked, identity2\r\n\r\n0\r\n\r\n", 400},
        RefusalCase{"CodingUnknown", POST_HEAD "Transfer-Encoding: xchunked\r\n\r\n0\r\n\r\n", 400},
        RefusalCase{"BlankBeforeColon", POST_HEAD "Transfer-Encoding : chunked\r\n\r\n0\r\n\r\n", 400},
        RefusalCase{"HeaderWithoutColon", "GET / HTTP/1.1\r\nHost: h\r\nNoColonHere\r\n\r\n", 400},
        RefusalCase{"HeaderWithEmptyName", "GET / HTTP/1.1\r\nHost: h\r\n: value\r\n\r\n", 400},
        RefusalCase{"ContinuationFirst", "GET / HTTP/1.1\r\n Host: h\r\n\r\n", 400},
        RefusalCase{"NoHostIn11", "GET / HTTP/1.1\r\n\r\n", 400}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

INSTANTIATE_TEST_SUITE_P(
    Chunks, HTTPServerRefusalPeerTest,
    ::testing::Values(
        RefusalCase{"SizeNotHex", POST_HEAD "Transfer-Encoding: chunked\r\n\r\n5g\r\nhello\r\n0\r\n\r\n", 400},
        RefusalCase{"SizeNegative", POST_HEAD "Transfer-Encoding: chunked\r\n\r\n-5\r\nhello\r\n0\r\n\r\n", 400},
        RefusalCase{"SizeOverflow",
                    POST_HEAD "Transfer-Encoding: chunked\r\n\r\n10000000000000005\r\nhello\r\n0\r\n\r\n", 400},
        RefusalCase{"SizeMissing", POST_HEAD "Transfer-Encoding: chunked\r\n\r\n\r\nhello\r\n0\r\n\r\n", 400},
        RefusalCase{"DataLongerThanSize", POST_HEAD "Transfer-Encoding: chunked\r\n\r\n3\r\nhello\r\n0\r\n\r\n", 400},
        RefusalCase{"NoCRLFAfterData", POST_HEAD "Transfer-Encoding: chunked\r\n\r\n5\r\nhello0\r\n\r\n", 400},
        RefusalCase{"ChunksPastTheLimit",
                    POST_HEAD "Transfer-Encoding: chunked\r\n\r\n" + std::string("3e8\r\n") + std::string(1000, 'a') +
                        "\r\n1\r\nb\r\n0\r\n\r\n",
                    413}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

INSTANTIATE_TEST_SUITE_P(
    Limits, HTTPServerRefusalPeerTest,
    ::testing::Values(RefusalCase{"RequestLineTooLong",
                                  "GET /" + std::string(1100, 'a') + " HTTP/1.1\r\nHost: h\r\n\r\n", 414},
                      RefusalCase{"TooManyHeaderLines",
                                  [] {
                                    std::string r = "GET / HTTP/1.1\r\nHost: h\r\n";
                                    for (int i = 0; i < 60; ++i) r += "X-" + std::to_string(i) + ": v\r\n";
                                    return r + "\r\n";
                                  }(),
                                  431},
                      RefusalCase{"DeclaredBodyTooLarge", POST_HEAD "Content-Length: 1001\r\n\r\n", 413},
                      RefusalCase{"HugeDeclaredBody", POST_HEAD "Content-Length: 999999999999999999\r\n\r\n", 413}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// Line ends the reader tolerates, and lines it refuses, as a second reader
// on the way would.
TEST_P(HTTPServerSchedulingTest, LineEndsAndMalformedRequestLines) {
  server.SetActive(true);
  // Bare LF ends lines as CR LF does.
  Reading bare = Exchange(port, Send("GET /bare HTTP/1.1\nHost: h\nConnection: close\n\n") + Read(10000));
  EXPECT_EQ(bare.Statuses(), std::vector<int>{200}) << bare.Data;
  EXPECT_NE(bare.Data.find("GET /bare "), std::string::npos) << bare.Data;
  EXPECT_EQ(bare.State, "closed");

  // Empty lines before a request line are skipped.
  Reading skipped =
      Exchange(port, Send("\r\n\r\nGET /after HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n") + Read(10000));
  EXPECT_EQ(skipped.Statuses(), std::vector<int>{200}) << skipped.Data;

  // A request line without a blank, and a NUL in the line or a header
  // (a path cut at it, or a header read two ways), are refused.
  const std::string nulByte(1, '\0');
  for (const std::string& request : {std::string("GARBAGE\r\n\r\n"), std::string("\0\0\0\r\n", 5),
                                     "GET /a" + nulByte + "b HTTP/1.1\r\nHost: h\r\n\r\n",
                                     "GET /a HTTP/1.1\r\nHost: h\r\nX-A: 1" + nulByte + "\r\n\r\n"}) {
    Reading r = Exchange(port, Send(request) + Read(10000));
    EXPECT_EQ(r.Statuses(), std::vector<int>{400}) << r.Data;
    EXPECT_EQ(r.State, "closed");
  }
  ASSERT_EQ(Documents().size(), 2u);
}

// Chunked is the only transfer coding the server decodes; a body coded
// otherwise would reach the handler still coded.
TEST_P(HTTPServerSchedulingTest, ChunkedBodyFromRawBytes) {
  server.SetActive(true);
  Reading r = Exchange(port, Send(POST_HEAD "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                                            "5;ext=1\r\nhello\r\n1\r\n!\r\n0\r\nX-Trailer: t\r\n\r\n") +
                                 Read(10000));
  EXPECT_EQ(r.Statuses(), std::vector<int>{200}) << r.Data;
  EXPECT_NE(r.Data.find("POST /p hello!"), std::string::npos) << r.Data;
  Reading coded = Exchange(port, Send(POST_HEAD "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n") + Read(10000));
  EXPECT_EQ(coded.Statuses(), std::vector<int>{501}) << coded.Data;
}

// A client that sends one byte at a time is gathered until its head is
// complete; one too slow for the request time-out gets 408, and an idle one
// is dropped after the idle time-out.
TEST_P(HTTPServerSchedulingTest, SlowClientsAndIdleConnections) {
  server.IdleTimeout = 600;
  server.RequestTimeout = 5000;
  server.SetActive(true);
  Reading slow = Exchange(port, Drip("GET /slow HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n", 5) + Read(10000));
  EXPECT_EQ(slow.Statuses(), std::vector<int>{200}) << slow.Data;
  EXPECT_NE(slow.Data.find("GET /slow "), std::string::npos);

  server.SetActive(false);
  server.IdleTimeout = 5000;
  server.RequestTimeout = 400;
  server.SetActive(true);
  // The request line arrives at once, then the head trickles past the limit.
  Reading tooSlow = Exchange(
      port, Send("GET /late HTTP/1.1\r\n") + Drip("Host: h\r\nX-Slow: " + std::string(40, 'z'), 50) + Read(10000));
  EXPECT_EQ(tooSlow.Statuses(), std::vector<int>{408}) << tooSlow.Data;
  EXPECT_EQ(tooSlow.State, "closed");

  server.SetActive(false);
  server.IdleTimeout = 300;
  server.SetActive(true);
  const auto ms = tcpserver_test::TimeMs([&] {
    Reading idle = Exchange(port, Read(20000));
    EXPECT_EQ(idle.State, "closed");
    EXPECT_EQ(idle.Data, "");
  });
  EXPECT_LT(ms, 15000);
  EXPECT_TRUE(Documents().size() == 1);
}

// A client may end its sending side once its request is out; it still gets
// every answer, and the connection closes after the last.
TEST_P(HTTPServerSchedulingTest, HalfClosedClientStillGetsItsAnswers) {
  server.SetActive(true);
  struct Case {
    const char* Name;
    std::string Requests;
    std::vector<int> Statuses;
    const char* Body;
  } cases[] = {
      {"get", "GET /one HTTP/1.1\r\nHost: h\r\n\r\n", {200}, "GET /one "},
      {"post", POST_HEAD "Content-Length: 5\r\n\r\nhello", {200}, "POST /p hello"},
      // The server looks for a body it was not told of and finds the end.
      {"post without length", "POST /p HTTP/1.1\r\nHost: h\r\n\r\n", {200}, "POST /p "},
      {"chunked post", POST_HEAD "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", {200}, "POST /p abc"},
      {"pipelined", "GET /a HTTP/1.1\r\nHost: h\r\n\r\nGET /b HTTP/1.1\r\nHost: h\r\n\r\n", {200, 200}, "GET /b "},
      {"http/1.0", "GET /old HTTP/1.0\r\n\r\n", {200}, "GET /old "},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name);
    Reading r = Exchange(port, Send(k.Requests) + kShutWr + Read(10000));
    EXPECT_EQ(r.Statuses(), k.Statuses) << r.Data;
    EXPECT_NE(r.Data.find(k.Body), std::string::npos) << r.Data;
    EXPECT_EQ(r.State, "closed");
  }
  // A body cut short by the half-close is not served.
  Reading cut = Exchange(port, Send(POST_HEAD "Content-Length: 10\r\n\r\nabc") + kShutWr + Read(10000));
  EXPECT_TRUE(cut.Statuses().empty()) << cut.Data;
  EXPECT_EQ(cut.State, "closed");
}

// Past MaxConnections a new connection is accepted and closed at once; the
// ones already served go on, and a place that frees up is taken again.
TEST_P(HTTPServerSchedulingTest, ConnectionLimit) {
  server.MaxConnections = 2;
  server.SetActive(true);
  std::vector<Reading> r = RawPeer(
      port,
      Conn(0) + Send("GET /first HTTP/1.1\r\nHost: h\r\n\r\n") + Read(300) +                               //
          Conn(1) + Send("GET /second HTTP/1.1\r\nHost: h\r\n\r\n") + Read(300) + Conn(2) + Read(10000) +  // refused
          Conn(0) + Send("GET /again HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n") + Read(10000) + Sleep(500) +
          Conn(3) + Send("GET /third HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n") + Read(10000));
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0].Statuses(), std::vector<int>{200});
  EXPECT_EQ(r[1].Statuses(), std::vector<int>{200});
  EXPECT_EQ(r[2].State, "closed");
  EXPECT_EQ(r[2].Data, "");
  EXPECT_EQ(r[3].Statuses(), std::vector<int>{200});
  EXPECT_EQ(r[4].Statuses(), std::vector<int>{200}) << r[4].State;
  EXPECT_EQ(Documents(), (std::vector<std::string>{"/first", "/second", "/again", "/third"}));
}

// --- TLS through the server handler, with openssl s_client as the peer

// The same handler serves one version, then the other: its options are
// read again at each start.
TEST_P(HTTPServerSchedulingTest, SClientOverTLS12And13) {
  for (const char* version : {"1.2", "1.3"}) {
    SCOPED_TRACE(version);
    server.SetActive(false);
    UseTLS(version[2] == '2' ? TIdSSLVersion::sslvTLSv1_2 : TIdSSLVersion::sslvTLSv1_3);
    server.SetActive(true);
    auto client = SClient({std::string("-tls1_") + version[2]});
    client->Write("GET /tls HTTP/1.1\nHost: localhost\n\nGET /tls2 HTTP/1.1\nHost: localhost\nConnection: close\n\n");
    const std::string& out = client->ReadAll(20000);
    EXPECT_NE(out.find("Verify return code: 0 (ok)"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("GET /tls  TLSv") + version), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("GET /tls2  TLSv") + version), std::string::npos) << out;
    EXPECT_EQ(client->Wait(5000), 0) << out;
  }
}

TEST_P(HTTPServerSchedulingTest, ClientCertificateAskedForAndVerified) {
  struct Case {
    const char* Name;
    TIdSSLVersion Version;
    std::vector<std::string> Args;
    bool Served;
  } cases[] = {
      {"with certificate 1.3",
       TIdSSLVersion::sslvTLSv1_3,
       {"-cert", gCerts->Path("client.pem"), "-key", gCerts->Path("client.key")},
       true},
      {"with certificate 1.2",
       TIdSSLVersion::sslvTLSv1_2,
       {"-cert", gCerts->Path("client.pem"), "-key", gCerts->Path("client.key")},
       true},
      {"without 1.3", TIdSSLVersion::sslvTLSv1_3, {}, false},
      {"without 1.2", TIdSSLVersion::sslvTLSv1_2, {}, false},
      // Signed by an intermediate the client does not send: no chain to
      // the trusted root.
      {"untrusted 1.3",
       TIdSSLVersion::sslvTLSv1_3,
       {"-cert", gCerts->Path("leaf.pem"), "-key", gCerts->Path("leaf.key")},
       false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name);
    server.SetActive(false);
    UseTLS(k.Version);
    tls.SSLOptions().RootCertFile = gCerts->Path("ca.pem");
    tls.SSLOptions().VerifyMode = {TIdSSLVerifyMode::sslvrfPeer, TIdSSLVerifyMode::sslvrfFailIfNoPeerCert};
    server.SetActive(true);
    auto client = SClient(k.Args);
    client->Write("GET /cert HTTP/1.1\nHost: localhost\nConnection: close\n\n");
    const std::string& out = client->ReadAll(20000);
    client->Wait(5000);
    // The body is empty, then comes the version.
    if (k.Served) {
      EXPECT_NE(out.find("GET /cert  TLSv"), std::string::npos) << out;
    }
    EXPECT_EQ(out.find("/CN=Test Client") != std::string::npos, k.Served) << out;
    EXPECT_EQ(out.find("HTTP/1.1 200") != std::string::npos, k.Served) << out;
  }
}

// A handshake that fails ends that connection only: another TLS client in
// the middle of its keep-alive connection is served on.
TEST_P(HTTPServerSchedulingTest, BadHandshakeClosesOnlyThatConnection) {
  UseTLS(TIdSSLVersion::sslvTLSv1_3);
  server.SetActive(true);
  auto keeper = SClient({});
  keeper->Write("GET /before HTTP/1.1\nHost: localhost\n\n");
  ASSERT_TRUE(keeper->WaitFor("GET /before  TLSv1.3", 20000)) << keeper->Output();

  // Plain HTTP on the TLS port, and a handshake record with garbage inside.
  Reading plain = Exchange(port, Send("GET / HTTP/1.1\r\nHost: h\r\n\r\n") + Read(10000));
  EXPECT_NE(plain.State, "open");
  EXPECT_EQ(plain.Data.find("HTTP/1.1"), std::string::npos);
  Reading garbage = Exchange(port, Send(std::string("\x16\x03\x01\x00\x05hello", 10)) + Read(10000));
  EXPECT_NE(garbage.State, "open");
  // A client that offers only a cipher suite the server does not.
  auto old = SClient({"-tls1_3", "-ciphersuites", "TLS_AES_128_CCM_8_SHA256"});
  old->CloseInput();
  old->ReadAll(20000);
  EXPECT_NE(old->Wait(5000), 0);

  keeper->Write("GET /after HTTP/1.1\nHost: localhost\nConnection: close\n\n");
  EXPECT_TRUE(keeper->WaitFor("GET /after  TLSv1.3", 20000)) << keeper->Output();
  EXPECT_EQ(Documents(), (std::vector<std::string>{"/before", "/after"}));
}

// --- keep-alive connections between requests (parked with events)

// Many keep-alive clients, each asking in turn: all are answered, each
// connection is set up and torn down once, and with events the idle ones
// wait parked rather than on threads.
TEST_P(HTTPServerSchedulingTest, ManyKeepAliveConnections) {
  constexpr int kClients = 64;
  server.IdleTimeout = 60000;
  server.SetActive(true);
  std::vector<loopback::Fd> clients;
  std::vector<http_exchange::Reader> readers;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(tcpserver_test::Connect("127.0.0.1", port));
    readers.emplace_back(clients.back().get());
  }
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < kClients; ++i)
      loopback::SendAll(clients[i].get(), "GET /r" + std::to_string(round) + " HTTP/1.1\r\nHost: h\r\n\r\n");
    for (int i = 0; i < kClients; ++i) {
      http_exchange::Response r = readers[i].Next(10000);
      ASSERT_EQ(r.Status, 200) << "client " << i << " round " << round;
      EXPECT_EQ(r.Body, "GET /r" + std::to_string(round) + " ");
    }
    if (UseEvents()) {
      EXPECT_TRUE(tcpserver_test::WaitUntil([&] { return events.ParkedCount() == kClients; }, 10000))
          << events.ParkedCount();
    }
  }
  EXPECT_EQ(Documents().size(), 3u * kClients);
  EXPECT_EQ(server.Contexts().Count(), kClients);
  clients.clear();
  EXPECT_TRUE(tcpserver_test::WaitUntil([&] { return server.ConnectionCount() == 0; }, 10000));
  EXPECT_EQ(connects.load(), kClients);
  EXPECT_EQ(disconnects.load(), kClients);
  EXPECT_EQ(server.Contexts().Count(), 0);
  if (UseEvents()) {
    EXPECT_EQ(events.ParkedCount(), 0);
  }
}

// A pipelined burst larger than one receive: the first receive takes a
// block that ends exactly at a request's end and leaves the rest in the
// socket, where no new arrival will point to it. Every request is answered.
TEST_P(HTTPServerSchedulingTest, PipelinedBurstLongerThanOneReceive) {
  constexpr int kRequests = 16;
  constexpr std::size_t kRequestSize = 4096;  // divides the receive block
  server.IdleTimeout = 60000;
  server.SetActive(true);
  loopback::Fd c = tcpserver_test::Connect("127.0.0.1", port);
  http_exchange::Reader reader(c.get());
  ASSERT_NO_FATAL_FAILURE(AnswerOneThenPark(c.get(), reader, "/first"));
  std::string burst;
  for (int i = 0; i < kRequests; ++i) {
    std::string head = "GET /p" + std::to_string(100 + i) + " HTTP/1.1\r\nHost: h\r\nX-Pad: ";
    head += std::string(kRequestSize - head.size() - 4, 'x') + "\r\n\r\n";
    ASSERT_EQ(head.size(), kRequestSize);
    burst += head;
  }
  loopback::SendAll(c.get(), burst);
  for (int i = 0; i < kRequests; ++i) {
    http_exchange::Response r = reader.Next(10000);
    ASSERT_EQ(r.Status, 200) << "request " << i;
    EXPECT_EQ(r.Body, "GET /p" + std::to_string(100 + i) + " ");
  }
}

// The same over TLS, where the library reads the socket ahead of the
// records it returns: every request of the burst is answered.
TEST_P(HTTPServerSchedulingTest, PipelinedBurstOverTLS) {
  UseTLS(TIdSSLVersion::sslvTLSv1_3);
  server.IdleTimeout = 60000;
  server.SetActive(true);
  static const char* kClient = R"(
s = ctx.wrap_socket(socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20))
def until(text, got):
    while text not in got:
        data = s.recv(65536)
        if not data:
            break
        got += data
    return got
s.sendall(b"GET /first HTTP/1.1\r\nHost: h\r\n\r\n")
got = until(b"GET /first ", b"")
burst = b""
for i in range(64):
    head = b"GET /p%d HTTP/1.1\r\nHost: h\r\nX-Pad: " % (100 + i)
    burst += head + b"x" * (4096 - len(head) - 4) + b"\r\n\r\n"
s.sendall(burst)
got = until(b"GET /p163 ", got)
sys.stdout.write(got.decode("latin-1"))
)";
  const std::string out = RunTLSClient(kClient);
  for (int i = 0; i < 64; ++i) EXPECT_NE(out.find("GET /p" + std::to_string(100 + i) + " "), std::string::npos) << i;
}

// With two workers, the next request arrives while a worker still serves the
// one before: the other worker hears of it then, and the park that follows
// must not wait for another arrival.
TEST_P(HTTPServerSchedulingTest, RequestArrivingWhileTheLastOneIsServed) {
  std::atomic<bool> serving{false};
  auto plain = server.OnCommandGet;
  server.OnCommandGet = [&serving, plain](TIdContext* AContext, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
    if (q->Document == "/slow") {
      serving = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    plain(AContext, q, r);
  };
  events.Workers = 2;
  server.IdleTimeout = 60000;
  server.SetActive(true);
  loopback::Fd c = tcpserver_test::Connect("127.0.0.1", port);
  http_exchange::Reader reader(c.get());
  ASSERT_NO_FATAL_FAILURE(AnswerOneThenPark(c.get(), reader, "/first"));
  loopback::SendAll(c.get(), "GET /slow HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_TRUE(tcpserver_test::WaitUntil([&] { return serving.load(); }, 10000));
  loopback::SendAll(c.get(), "GET /next HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(reader.Next(10000).Body, "GET /slow ");
  EXPECT_EQ(reader.Next(10000).Body, "GET /next ");
}

// Connections that arrive together each get a helper thread for their
// start; once idle for long, all but a few of those threads end, and the
// server goes on serving old and new connections.
TEST_P(HTTPServerSchedulingTest, IdleHelperThreadsEnd) {
  if (!UseEvents()) GTEST_SKIP() << "helper threads belong to the event scheduler";
  constexpr int kClients = 12;
  events.HelperIdleMs = 200;
  server.IdleTimeout = 60000;
  server.SetActive(true);
  std::vector<loopback::Fd> clients;
  std::vector<http_exchange::Reader> readers;
  // Silent at first, each keeps a helper waiting for its request.
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(tcpserver_test::Connect("127.0.0.1", port));
    readers.emplace_back(clients.back().get());
  }
  ASSERT_TRUE(tcpserver_test::WaitUntil([&] { return events.HelperCount() >= kClients; }, 10000))
      << events.HelperCount();
  for (int i = 0; i < kClients; ++i) loopback::SendAll(clients[i].get(), "GET /a HTTP/1.1\r\nHost: h\r\n\r\n");
  for (int i = 0; i < kClients; ++i) ASSERT_EQ(readers[i].Next(10000).Status, 200) << "client " << i;
  EXPECT_TRUE(tcpserver_test::WaitUntil([&] { return events.HelperCount() <= 4; }, 10000)) << events.HelperCount();
  for (int i = 0; i < kClients; ++i) loopback::SendAll(clients[i].get(), "GET /b HTTP/1.1\r\nHost: h\r\n\r\n");
  for (int i = 0; i < kClients; ++i) EXPECT_EQ(readers[i].Next(10000).Body, "GET /b ") << "client " << i;
  loopback::Fd late = tcpserver_test::Connect("127.0.0.1", port);
  http_exchange::Reader lateReader(late.get());
  loopback::SendAll(late.get(), "GET /late HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(lateReader.Next(10000).Body, "GET /late ");
}

// An idle keep-alive connection ends after the idle time-out, parked or not,
// with its disconnect told once.
TEST_P(HTTPServerSchedulingTest, IdleKeepAliveConnectionTimesOut) {
  server.IdleTimeout = 300;
  server.SetActive(true);
  loopback::Fd c = tcpserver_test::Connect("127.0.0.1", port);
  http_exchange::Reader reader(c.get());
  loopback::SendAll(c.get(), "GET /once HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(reader.Next(10000).Status, 200);
  EXPECT_TRUE(reader.ClosedWithin(10000));
  EXPECT_TRUE(tcpserver_test::WaitUntil([&] { return disconnects.load() == 1; }, 10000));
  EXPECT_EQ(connects.load(), 1);
  EXPECT_EQ(server.Contexts().Count(), 0);
  EXPECT_EQ(server.ConnectionCount(), 0);
}

// Clients that leave a request unfinished (a head cut short after a
// request, a pipelined head cut short, a body sent later) keep nobody else
// waiting; each is answered once the rest arrives.
TEST_P(HTTPServerSchedulingTest, UnfinishedRequestsKeepNobodyWaiting) {
  server.IdleTimeout = 60000;
  server.RequestTimeout = 60000;
  server.SetActive(true);
  loopback::Fd a = tcpserver_test::Connect("127.0.0.1", port);
  loopback::Fd b = tcpserver_test::Connect("127.0.0.1", port);
  loopback::Fd e = tcpserver_test::Connect("127.0.0.1", port);
  http_exchange::Reader ra(a.get()), rb(b.get()), re(e.get());
  loopback::SendAll(a.get(), "GET /a1 HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_EQ(ra.Next(10000).Status, 200);
  loopback::SendAll(e.get(), "GET /e1 HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_EQ(re.Next(10000).Status, 200);
  // a stops half-way through its next head, e right after one of its
  // lines, then a pipelined pair of b ends half-way, then a POST's body
  // stays out.
  loopback::SendAll(a.get(), "GET /a2 HTTP/1.1\r\nHo");
  loopback::SendAll(e.get(), "GET /e2 HTTP/1.1\r\nHost: h\r\n");
  loopback::SendAll(b.get(), "GET /b1 HTTP/1.1\r\nHost: h\r\n\r\nGET /b2 HTTP/1.1\r\nHo");
  EXPECT_EQ(rb.Next(10000).Body, "GET /b1 ");
  loopback::Fd c = tcpserver_test::Connect("127.0.0.1", port);
  http_exchange::Reader rc(c.get());
  loopback::SendAll(c.get(), "GET /c1 HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(rc.Next(10000).Body, "GET /c1 ");
  loopback::SendAll(c.get(), POST_HEAD "Content-Length: 5\r\n\r\n");
  // Others are served meanwhile, on a connection that was parked too.
  loopback::Fd d = tcpserver_test::Connect("127.0.0.1", port);
  http_exchange::Reader rd(d.get());
  for (const char* doc : {"/d1", "/d2"}) {
    loopback::SendAll(d.get(), std::string("GET ") + doc + " HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(rd.Next(10000).Body, std::string("GET ") + doc + " ");
  }
  loopback::SendAll(c.get(), "hello");
  EXPECT_EQ(rc.Next(10000).Body, "POST /p hello");
  loopback::SendAll(b.get(), "st: h\r\n\r\n");
  EXPECT_EQ(rb.Next(10000).Body, "GET /b2 ");
  loopback::SendAll(a.get(), "st: h\r\n\r\n");
  EXPECT_EQ(ra.Next(10000).Body, "GET /a2 ");
  loopback::SendAll(e.get(), "\r\n");
  EXPECT_EQ(re.Next(10000).Body, "GET /e2 ");
}

// A head that stalls after a parked request still meets the request
// time-out: 408 and the close.
TEST_P(HTTPServerSchedulingTest, StalledHeadAfterAParkedRequestGets408) {
  server.IdleTimeout = 60000;
  server.RequestTimeout = 300;
  server.SetActive(true);
  loopback::Fd a = tcpserver_test::Connect("127.0.0.1", port);
  http_exchange::Reader ra(a.get());
  ASSERT_NO_FATAL_FAILURE(AnswerOneThenPark(a.get(), ra, "/a1"));
  loopback::SendAll(a.get(), "GET /a2 HTTP/1.1\r\nHost: h\r\n");
  EXPECT_EQ(ra.Next(10000).Status, 408);
  EXPECT_TRUE(ra.ClosedWithin(10000));
  EXPECT_EQ(Documents().size(), 1u);
}

// A stop closes keep-alive connections that wait between requests at once,
// each torn down once, nothing left listed.
TEST_P(HTTPServerSchedulingTest, StopClosesWaitingKeepAliveConnections) {
  constexpr int kClients = 20;
  server.IdleTimeout = 60000;
  server.SetActive(true);
  std::vector<loopback::Fd> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(tcpserver_test::Connect("127.0.0.1", port));
    loopback::SendAll(clients.back().get(), "GET /w HTTP/1.1\r\nHost: h\r\n\r\n");
    http_exchange::Reader reader(clients.back().get());
    ASSERT_EQ(reader.Next(10000).Status, 200);
  }
  if (UseEvents()) {
    ASSERT_TRUE(tcpserver_test::WaitUntil([&] { return events.ParkedCount() == kClients; }, 10000));
  }
  const long long ms = tcpserver_test::TimeMs([&] { server.SetActive(false); });
  EXPECT_LT(ms, 10000);
  for (auto& c : clients) EXPECT_EQ(loopback::RecvUpTo(c.get(), 1, 10000), "");
  EXPECT_EQ(connects.load(), kClients);
  EXPECT_EQ(disconnects.load(), kClients);
  EXPECT_EQ(server.Contexts().Count(), 0);
  EXPECT_EQ(server.ConnectionCount(), 0);
  if (UseEvents()) {
    EXPECT_EQ(events.ParkedCount(), 0);
  }
  // And serves again after a restart.
  server.SetActive(true);
  loopback::Fd again = tcpserver_test::Connect("127.0.0.1", port);
  loopback::SendAll(again.get(), "GET /again HTTP/1.1\r\nHost: h\r\n\r\n");
  http_exchange::Reader reader(again.get());
  EXPECT_EQ(reader.Next(10000).Body, "GET /again ");
}

// Two requests in two TLS records that arrive in one segment: the server
// reads both at once, and the second one, held by the TLS layer, is still
// seen (no wait on a socket that has nothing more).
TEST_P(HTTPServerSchedulingTest, TwoTLSRecordsInOneSegmentAreBothAnswered) {
  UseTLS(TIdSSLVersion::sslvTLSv1_3);
  server.IdleTimeout = 60000;
  server.SetActive(true);
  static const char* kClient = R"(
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20)
inc, out = ssl.MemoryBIO(), ssl.MemoryBIO()
tls = ctx.wrap_bio(inc, out, server_hostname="localhost")
while True:
    try:
        tls.do_handshake()
        break
    except ssl.SSLWantReadError:
        s.sendall(out.read())
        data = s.recv(65536)
        if not data:
            sys.exit("closed during the handshake")
        inc.write(data)
s.sendall(out.read())
tls.write(b"GET /r1 HTTP/1.1\r\nHost: h\r\n\r\n")
tls.write(b"GET /r2 HTTP/1.1\r\nHost: h\r\n\r\n")
s.sendall(out.read())
got = b""
while b"GET /r2" not in got:
    data = s.recv(65536)
    if not data:
        break
    inc.write(data)
    try:
        while True:
            got += tls.read(65536)
    except (ssl.SSLWantReadError, ssl.SSLZeroReturnError):
        pass
sys.stdout.write(got.decode("latin-1"))
)";
  const std::string out = RunTLSClient(kClient);
  EXPECT_NE(out.find("GET /r1 "), std::string::npos) << out;
  EXPECT_NE(out.find("GET /r2 "), std::string::npos) << out;
}

// curl asks for several URLs over one HTTPS keep-alive connection.
TEST_P(HTTPServerSchedulingTest, CurlKeepAliveOverTLS) {
  UseTLS(TIdSSLVersion::sslvTLSv1_3);
  server.SetActive(true);
  const std::string base = "https://localhost:" + std::to_string(port);
  Process curl({"curl", "-sS", "--max-time", "20", "--cacert", gCerts->Path("ca.pem"), "--resolve",
                "localhost:" + std::to_string(port) + ":127.0.0.1", base + "/t1", base + "/t2", base + "/t3"});
  curl.CloseInput();
  const std::string out = curl.ReadAll(25000);
  EXPECT_EQ(curl.Wait(5000), 0) << out;
  EXPECT_EQ(out, "GET /t1  TLSv1.3GET /t2  TLSv1.3GET /t3  TLSv1.3");
  EXPECT_EQ(connects.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Scheduling, HTTPServerSchedulingTest, ::testing::Values(false, true), [](const auto& AInfo) {
  return AInfo.param ? std::string("Events") : std::string("ThreadPerConnection");
});

}  // namespace
