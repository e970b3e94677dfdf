// Start/stop stress for the TCP and HTTP servers: many bounded cycles, with
// clients connected and sending while the server stops, on every scheduler,
// and stops asked for from a connection's own thread. Meant to run clean
// under ThreadSanitizer too (SANITIZE=thread).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/transport/tcpserver_fixture.h"
#include "transport/vynIdCustomHTTPServer.h"
#include "transport/vynIdCustomTCPServer.h"
#include "transport/vynIdIOHandler.h"
#include "transport/vynIdScheduler.h"
#include "transport/vynIdSchedulerOfEvents.h"
#include "transport/vynIdStack.h"

using namespace tcpserver_test;

namespace {

// Clients that connect, send and read in a loop until told to end; every
// wait is bounded, and a refused or closed connection just starts anew.
class ClientCrowd {
public:
  ClientCrowd(int ACount, std::string ARequest, std::size_t AAnswerLength)
      : FRequest(std::move(ARequest)), FAnswerLength(AAnswerLength) {
    for (int i = 0; i < ACount; ++i) FThreads.emplace_back([this, i] { Run(i); });
  }
  ~ClientCrowd() { End(); }
  void SetPort(std::uint16_t APort) { FPort = APort; }
  void End() {
    FDone = true;
    for (auto& t : FThreads)
      if (t.joinable()) t.join();
  }
  int Answered() const { return FAnswered.load(); }

private:
  void Run(int AIndex) {
    while (!FDone.load()) {
      const std::uint16_t port = FPort.load();
      if (port == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      try {
        Fd c = Connect("127.0.0.1", port);
        // Some clients keep their connection for several requests, one
        // sends half a request and stays.
        const int rounds = AIndex % 3 == 0 ? 1 : 5;
        for (int r = 0; r < rounds && !FDone.load(); ++r) {
          if (AIndex == 1 && r == 2) {
            loopback::SendAll(c.get(), FRequest.substr(0, FRequest.size() / 2));
            loopback::RecvUpTo(c.get(), 1, 300);
            break;
          }
          loopback::SendAll(c.get(), FRequest);
          if (loopback::RecvUpTo(c.get(), FAnswerLength, 500).size() != FAnswerLength) break;
          ++FAnswered;
        }
      } catch (const std::exception&) {
        // Refused or reset while the server stopped.
      }
    }
  }

  const std::string FRequest;
  const std::size_t FAnswerLength;
  std::atomic<std::uint16_t> FPort{0};
  std::atomic<bool> FDone{false};
  std::atomic<int> FAnswered{0};
  std::vector<std::thread> FThreads;
};

void EchoLine(TIdContext* AContext) {
  TIdIOHandler* io = AContext->Connection()->IOHandler();
  io->WriteLn(io->ReadLn());
}

constexpr int kCycles = 25;
constexpr auto kTimeBudget = std::chrono::seconds(40);

template <class Server>
void Cycle(Server& AServer, ClientCrowd& ACrowd, int ACycle) {
  AServer.Bindings().Items(0).SetPort(0);
  AServer.SetActive(true);
  ACrowd.SetPort(AServer.Bindings().Items(0).Port());
  // Let the crowd reach the server before the stop, longer in some cycles.
  std::this_thread::sleep_for(std::chrono::milliseconds(5 + ACycle % 4 * 15));
  const long long ms = TimeMs([&] { AServer.SetActive(false); });
  ACrowd.SetPort(0);
  EXPECT_LT(ms, 10000) << "cycle " << ACycle;
  EXPECT_EQ(AServer.Contexts().Count(), 0) << "cycle " << ACycle;
  EXPECT_EQ(AServer.ConnectionCount(), 0) << "cycle " << ACycle;
}

enum class Scheduling { ThreadPerConnection, Pool, Events };

class ServerStress : public ::testing::TestWithParam<Scheduling> {
protected:
  void SetUp() override { TIdStack::IncUsage(); }
  void TearDown() override { TIdStack::DecUsage(); }
  // The scheduler the parameter names (the server's own by default).
  void Schedule(TIdCustomTCPServer& AServer) {
    pool.PoolSize = 3;
    events.Workers = 2;
    if (GetParam() == Scheduling::Pool) AServer.SetScheduler(&pool);
    if (GetParam() == Scheduling::Events) AServer.SetScheduler(&events);
  }
  TIdSchedulerOfThreadPool pool;
  TIdSchedulerOfEvents events;
};

TEST_P(ServerStress, TCPServerStartStopWithClientsSending) {
  TIdCustomTCPServer server;
  server.Bindings().Add().SetIP("127.0.0.1");
  Schedule(server);
  server.OnExecute = EchoLine;
  ClientCrowd crowd(4, "ping\r\n", 6);
  const auto deadline = std::chrono::steady_clock::now() + kTimeBudget;
  int cycles = 0;
  for (; cycles < kCycles && std::chrono::steady_clock::now() < deadline; ++cycles) Cycle(server, crowd, cycles);
  crowd.End();
  EXPECT_GE(cycles, 5);
  EXPECT_GT(crowd.Answered(), 0);
}

TEST_P(ServerStress, HTTPServerStartStopWithClientsSending) {
  TIdHTTPServer server;
  server.Bindings().Add().SetIP("127.0.0.1");
  Schedule(server);
  server.KeepAlive = true;
  server.RequestTimeout = 1000;
  server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) {
    r->ContentText = "pong";
    r->SetContentType("text/plain");
  };
  const std::string request = "GET /s HTTP/1.1\r\nHost: h\r\n\r\n";
  // The answer's length, measured once.
  std::size_t answerLength = 0;
  {
    server.Bindings().Items(0).SetPort(0);
    server.SetActive(true);
    Fd c = Connect("127.0.0.1", server.Bindings().Items(0).Port());
    loopback::SendAll(c.get(), request);
    std::string answer = loopback::RecvUpTo(c.get(), 4096, 300);
    ASSERT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    answerLength = answer.size();
    server.SetActive(false);
  }
  ClientCrowd crowd(4, request, answerLength);
  const auto deadline = std::chrono::steady_clock::now() + kTimeBudget;
  int cycles = 0;
  for (; cycles < kCycles && std::chrono::steady_clock::now() < deadline; ++cycles) Cycle(server, crowd, cycles);
  crowd.End();
  EXPECT_GE(cycles, 5);
  EXPECT_GT(crowd.Answered(), 0);
}

// A request that stops the server from inside a handler, while others are
// being served; the next start joins that stop and serves again.
TEST_P(ServerStress, HTTPServerStoppedFromItsOwnHandler) {
  TIdHTTPServer server;
  server.Bindings().Add().SetIP("127.0.0.1");
  Schedule(server);
  server.KeepAlive = true;
  std::atomic<int> stops{0};
  server.OnCommandGet = [&](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
    if (q->Document == "/stop") {
      server.SetActive(false);
      ++stops;
    }
    r->ContentText = "ok";
  };
  ClientCrowd crowd(3, "GET /s HTTP/1.1\r\nHost: h\r\n\r\n", 1);
  const auto deadline = std::chrono::steady_clock::now() + kTimeBudget;
  int cycles = 0;
  for (; cycles < 10 && std::chrono::steady_clock::now() < deadline; ++cycles) {
    server.Bindings().Items(0).SetPort(0);
    server.SetActive(true);
    const std::uint16_t port = server.Bindings().Items(0).Port();
    crowd.SetPort(port);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Fd c = Connect("127.0.0.1", port);
    loopback::SendAll(c.get(), "GET /stop HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return stops.load() == cycles + 1; }, 10000)) << "cycle " << cycles;
    // The stopping connection is closed too, answered or not.
    loopback::RecvUpTo(c.get(), 4096, 3000);
    EXPECT_EQ(loopback::RecvUpTo(c.get(), 1, 3000), "");
    crowd.SetPort(0);
  }
  crowd.End();
  // The destructor joins the last handed-over stop.
}

INSTANTIATE_TEST_SUITE_P(Schedulers, ServerStress,
                         ::testing::Values(Scheduling::ThreadPerConnection, Scheduling::Pool, Scheduling::Events),
                         [](const auto& AInfo) {
                           switch (AInfo.param) {
                             case Scheduling::Pool:
                               return std::string("Pool");
                             case Scheduling::Events:
                               return std::string("Events");
                             default:
                               return std::string("ThreadPerConnection");
                           }
                         });

}  // namespace
