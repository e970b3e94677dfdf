// The TCP server over real loopback sockets: accepting, both schedulers,
// the limits, and stopping with clients connected.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/transport/tcpserver_fixture.h"
#include "transport/vynIdCustomTCPServer.h"
#include "transport/vynIdIOHandler.h"

using namespace tcpserver_test;

namespace {

// Echoes every line it reads, until the client closes.
void EchoLines(TIdContext* AContext) {
  TIdIOHandler* io = AContext->Connection()->IOHandler();
  std::string line = io->ReadLn();
  io->WriteLn(line);
}

// A server on one loopback binding with an ephemeral port; the port is read
// back after the start.
struct TestServer {
  explicit TestServer(const std::string& AHost = "127.0.0.1") : host(AHost) {
    TIdSocketHandle& b = server.Bindings().Add();
    b.SetIP(AHost);
    b.SetIPVersion(loopback::IsV6(AHost) ? TIdIPVersion::Id_IPv6 : TIdIPVersion::Id_IPv4);
    b.SetPort(0);
    server.Name = "Test";
  }
  void Start() { server.SetActive(true); }
  std::uint16_t Port() { return server.Bindings().Items(0).Port(); }
  Fd Client() { return Connect(host, Port()); }

  std::string host;
  TIdCustomTCPServer server;
};

}  // namespace

TEST(TcpServer, EchoesManyClientsOnBothSchedulersAndAddressFamilies) {
  struct Case {
    const char* host;
    bool pool;
  };
  for (const Case& c : {Case{"127.0.0.1", false}, Case{"::1", false}, Case{"127.0.0.1", true}, Case{"::1", true}}) {
    SCOPED_TRACE(std::string(c.host) + (c.pool ? " pool" : " thread per connection"));
    TestServer t(c.host);
    TIdSchedulerOfThreadPool pool;
    pool.PoolSize = 4;
    if (c.pool) t.server.SetScheduler(&pool);
    t.server.OnExecute = EchoLines;
    t.Start();
    constexpr int kClients = 16;
    std::vector<std::thread> clients;
    std::atomic<int> good{0};
    for (int i = 0; i < kClients; ++i)
      clients.emplace_back([&, i] {
        Fd fd = t.Client();
        std::string expected;
        for (int n = 0; n < 5; ++n) {
          std::string line = "client " + std::to_string(i) + " line " + std::to_string(n) + "\r\n";
          loopback::SendAll(fd.get(), line);
          expected += line;
        }
        if (loopback::RecvUpTo(fd.get(), expected.size()) == expected) ++good;
      });
    for (auto& th : clients) th.join();
    EXPECT_EQ(good.load(), kClients);
    t.server.SetActive(false);
    EXPECT_EQ(t.server.Contexts().Count(), 0);
    EXPECT_EQ(t.server.ConnectionCount(), 0);
  }
}

TEST(TcpServer, ConnectionEventsComeInOrderAndAFailingExecuteEndsOnlyItsConnection) {
  TestServer t;
  std::mutex m;
  std::vector<std::string> events;
  auto note = [&](const std::string& e) {
    std::lock_guard<std::mutex> g(m);
    events.push_back(e);
  };
  t.server.OnContextCreated = [&](TIdContext*) { note("created"); };
  t.server.OnConnect = [&](TIdContext*) { note("connect"); };
  t.server.OnExecute = [&](TIdContext* AContext) {
    std::string line = AContext->Connection()->IOHandler()->ReadLn();
    note("execute " + line);
    if (line == "fail") throw EIdException("handler failed");
    AContext->Connection()->IOHandler()->WriteLn("ok");
  };
  t.server.OnDisconnect = [&](TIdContext*) { note("disconnect"); };
  t.server.OnException = [&](TIdContext*, const Exception& e) { note("exception " + e.Message()); };
  t.Start();
  {
    Fd c = t.Client();
    loopback::SendAll(c.get(), "a\r\n");
    EXPECT_EQ(loopback::RecvUpTo(c.get(), 4), "ok\r\n");
    loopback::SendAll(c.get(), "fail\r\n");
    // The server closes a connection whose handler failed.
    EXPECT_EQ(loopback::RecvUpTo(c.get(), 1, 5000), "");
  }
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> g(m);
    return events.size() >= 6;
  }));
  t.server.SetActive(false);
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(events, (std::vector<std::string>{"created", "connect", "execute a", "execute fail", "disconnect",
                                              "exception handler failed"}));
}

TEST(TcpServer, DefaultBindingsListenOnBothWildcardsWithNamedListeners) {
  TIdCustomTCPServer server;
  server.Name = "Srv";
  const std::uint16_t port = FreePort();
  server.SetDefaultPort(port);
  std::vector<std::string> names;
  std::mutex m;
  server.OnBeforeListenerRun = [&](TIdThread* AThread) {
    std::lock_guard<std::mutex> g(m);
    names.push_back(AThread->Name());
  };
  server.OnExecute = EchoLines;
  server.SetActive(true);
  ASSERT_EQ(server.Bindings().Count(), 2);
  EXPECT_EQ(server.Bindings().Items(0).IPVersion(), TIdIPVersion::Id_IPv4);
  EXPECT_EQ(server.Bindings().Items(1).IPVersion(), TIdIPVersion::Id_IPv6);
  for (const char* host : {"127.0.0.1", "::1"}) {
    Fd c = Connect(host, port);
    loopback::SendAll(c.get(), "hi\r\n");
    EXPECT_EQ(loopback::RecvUpTo(c.get(), 4), "hi\r\n") << host;
  }
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> g(m);
    return names.size() == 2;
  }));
  server.SetActive(false);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Srv Listener #1", "Srv Listener #2"}));
  EXPECT_TRUE(server.ImplicitIOHandler());
  EXPECT_EQ(server.Scheduler(), nullptr) << "the implicit scheduler goes with the stop";
}

// Port 0 asks the system for a free port; the default port only fills new
// bindings. (Servers with the default 80 would otherwise all fight over it.)
TEST(TcpServer, ABindingSetToPortZeroListensOnAFreePortNotTheDefault) {
  loopback::Listener taken("127.0.0.1");
  TIdCustomTCPServer server;
  server.SetDefaultPort(taken.Port());
  TIdSocketHandle& b = server.Bindings().Add();
  EXPECT_EQ(b.Port(), taken.Port());
  b.SetIP("127.0.0.1");
  b.SetPort(0);
  server.OnExecute = EchoLines;
  server.SetActive(true);
  const std::uint16_t port = server.Bindings().Items(0).Port();
  EXPECT_NE(port, 0);
  EXPECT_NE(port, taken.Port());
  Fd c = Connect("127.0.0.1", port);
  loopback::SendAll(c.get(), "hi\r\n");
  EXPECT_EQ(loopback::RecvUpTo(c.get(), 4), "hi\r\n");
  server.SetActive(false);
}
TEST(TcpServer, AStartThatCannotBindFailsAndLeavesTheServerInactive) {
  loopback::Listener taken("127.0.0.1");
  TIdCustomTCPServer server;
  server.ReuseSocket = TIdReuseSocket::rsFalse;
  TIdSocketHandle& b = server.Bindings().Add();
  b.SetIP("127.0.0.1");
  b.SetPort(taken.Port());
  server.OnExecute = EchoLines;
  EXPECT_THROW(server.SetActive(true), EIdSocketError);
  EXPECT_FALSE(server.Active());
  EXPECT_FALSE(server.Bindings().Items(0).HandleAllocated());
  // The same server starts once the port is free.
  server.Bindings().Items(0).SetPort(0);
  server.SetActive(true);
  EXPECT_TRUE(server.Active());
}

TEST(TcpServer, TheSchedulerCannotChangeWhileActive) {
  TestServer t;
  t.server.OnExecute = EchoLines;
  t.Start();
  TIdSchedulerOfThreadPool other;
  try {
    t.server.SetScheduler(&other);
    FAIL() << "no error";
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "Cannot change the scheduler while the server is Active.");
  }
}

TEST(TcpServer, AtTheThreadLimitTheListenerWaitsForAFreeThread) {
  // MaxThreads 2 admits three concurrent connections; the fourth waits in
  // the backlog and is served once one of them ends.
  TestServer t;
  TIdSchedulerOfThreadDefault scheduler;
  scheduler.MaxThreads = 2;
  t.server.SetScheduler(&scheduler);
  std::mutex lock;
  std::vector<std::string> listenErrors;
  t.server.OnListenException = [&](TIdListenerThread*, const Exception& e) {
    std::lock_guard<std::mutex> g(lock);
    listenErrors.push_back(e.Message());
  };
  auto errors = [&] {
    std::lock_guard<std::mutex> g(lock);
    return listenErrors;
  };
  t.server.OnExecute = EchoLines;
  t.Start();
  std::vector<Fd> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(t.Client());
    loopback::SendAll(clients.back().get(), "x\r\n");
    EXPECT_EQ(loopback::RecvUpTo(clients.back().get(), 3), "x\r\n") << i;
  }
  Fd fourth = t.Client();
  loopback::SendAll(fourth.get(), "4\r\n");
  EXPECT_EQ(loopback::RecvUpTo(fourth.get(), 3, 600), "") << "served beyond the limit";
  // Reaching the limit is told once, however long the listener waits.
  EXPECT_EQ(errors(), std::vector<std::string>{"The maximum number of threads for this scheduler is exceeded."});
  clients.front().reset();
  EXPECT_EQ(loopback::RecvUpTo(fourth.get(), 3, 5000), "4\r\n");
}

TEST(TcpServer, MaxConnectionsClosesTheConnectionsBeyondTheLimit) {
  struct LimitServer : TIdCustomTCPServer {
    std::atomic<int> limitReached{0};
    void ConnectionLimitReached(TIdIOHandler*) override { ++limitReached; }
    // The threads call the override until the stop: stop before it goes.
    ~LimitServer() override { SetActive(false); }
  } server;
  TIdSocketHandle& b = server.Bindings().Add();
  b.SetIP("127.0.0.1");
  server.MaxConnections = 2;
  std::atomic<int> connects{0};
  server.OnConnect = [&](TIdContext*) { ++connects; };
  server.OnExecute = EchoLines;
  server.SetActive(true);
  const std::uint16_t port = server.Bindings().Items(0).Port();
  // Opened at once, before any connection thread has run: the limit counts
  // from the accept.
  std::vector<Fd> clients;
  for (int i = 0; i < 4; ++i) clients.push_back(Connect("127.0.0.1", port));
  int served = 0, closed = 0;
  for (auto& c : clients) {
    loopback::SendAll(c.get(), "q\r\n");
    std::string r = loopback::RecvUpTo(c.get(), 3, 3000);
    if (r == "q\r\n") ++served;
    if (r.empty()) ++closed;
  }
  EXPECT_EQ(served, 2);
  EXPECT_EQ(closed, 2);
  EXPECT_EQ(server.limitReached.load(), 2);
  EXPECT_EQ(connects.load(), 2);
  // Once one ends, a new connection is served again.
  clients.front().reset();
  ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() < 2; }));
  Fd again = Connect("127.0.0.1", port);
  loopback::SendAll(again.get(), "r\r\n");
  EXPECT_EQ(loopback::RecvUpTo(again.get(), 3), "r\r\n");
}

TEST(TcpServer, PoolKeepsPoolSizeIdleThreadsAfterABurst) {
  TestServer t;
  TIdSchedulerOfThreadPool pool;
  pool.PoolSize = 4;
  t.server.SetScheduler(&pool);
  t.server.OnExecute = EchoLines;
  t.Start();
  EXPECT_EQ(pool.ThreadPool().Count(), 4);
  {
    std::vector<Fd> clients;
    for (int i = 0; i < 10; ++i) {
      clients.push_back(t.Client());
      loopback::SendAll(clients.back().get(), "p\r\n");
    }
    for (auto& c : clients) EXPECT_EQ(loopback::RecvUpTo(c.get(), 3), "p\r\n");
    // The listener holds one more yarn, for the connection to come; it takes
    // it after handing the last one on, so the echo may come first.
    EXPECT_TRUE(WaitUntil([&] { return pool.ActiveYarns().Count() == 11; })) << pool.ActiveYarns().Count();
  }
  // Four go back into the pool, the other six end; the listener's waiting
  // yarn keeps its thread.
  ASSERT_TRUE(WaitUntil([&] { return pool.ActiveYarns().Count() == 1 && pool.LiveThreads() == 5; }))
      << pool.ActiveYarns().Count() << " active, " << pool.LiveThreads() << " live, " << pool.ThreadPool().Count()
      << " idle";
  EXPECT_EQ(pool.ThreadPool().Count(), 4);
  // The pooled threads serve the next connections.
  Fd c = t.Client();
  loopback::SendAll(c.get(), "again\r\n");
  EXPECT_EQ(loopback::RecvUpTo(c.get(), 7), "again\r\n");
  c.reset();
  t.server.SetActive(false);
  EXPECT_EQ(pool.LiveThreads(), 0) << "the stop ends the idle threads too";
}

TEST(TcpServer, StopReturnsPromptlyWithSilentAndBusyClients) {
  for (bool pool : {false, true}) {
    SCOPED_TRACE(pool ? "pool" : "thread per connection");
    TestServer t;
    TIdSchedulerOfThreadPool scheduler;
    scheduler.PoolSize = 2;
    if (pool) t.server.SetScheduler(&scheduler);
    std::atomic<int> disconnects{0};
    t.server.OnExecute = EchoLines;
    t.server.OnDisconnect = [&](TIdContext*) { ++disconnects; };
    t.Start();
    std::vector<Fd> clients;
    // Silent clients: connected, never sending; the handlers block reading.
    for (int i = 0; i < 6; ++i) clients.push_back(t.Client());
    // One that sent half a line.
    loopback::SendAll(clients.back().get(), "half");
    ASSERT_TRUE(WaitUntil([&] { return t.server.Contexts().Count() == 6; }));
    const long long ms = TimeMs([&] { t.server.SetActive(false); });
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(disconnects.load(), 6);
    EXPECT_EQ(t.server.Contexts().Count(), 0);
    // The clients see the close.
    for (auto& c : clients) EXPECT_EQ(loopback::RecvUpTo(c.get(), 1, 2000), "");
  }
}

TEST(TcpServer, AStopFromAConnectionThreadDoesNotWaitForThatThread) {
  auto t = std::make_unique<TestServer>();
  std::atomic<bool> stopped{false};
  t->server.OnExecute = [&](TIdContext* AContext) {
    std::string line = AContext->Connection()->IOHandler()->ReadLn();
    if (line == "stop") {
      t->server.SetActive(false);
      stopped = true;
    }
  };
  t->Start();
  Fd other = t->Client();
  Fd c = t->Client();
  loopback::SendAll(c.get(), "stop\r\n");
  ASSERT_TRUE(WaitUntil([&] { return stopped.load(); }));
  EXPECT_FALSE(t->server.Active());
  // Every connection ends, the caller's too.
  EXPECT_EQ(loopback::RecvUpTo(other.get(), 1, 3000), "");
  EXPECT_EQ(loopback::RecvUpTo(c.get(), 1, 3000), "");
  // A stop from here waits for the handed-over one; only then are the
  // events free to change. A restart serves again.
  t->server.SetActive(false);
  t->server.Bindings().Items(0).SetPort(0);
  t->server.OnExecute = EchoLines;
  t->Start();
  Fd again = t->Client();
  loopback::SendAll(again.get(), "z\r\n");
  EXPECT_EQ(loopback::RecvUpTo(again.get(), 3), "z\r\n");
  again.reset();
  t.reset();
}

TEST(TcpServer, StartStopCyclesWithClientsArrivingStayClean) {
  // Many bounded cycles; clients connect while the server starts and stops.
  TestServer t;
  t.server.OnExecute = EchoLines;
  std::atomic<bool> done{false};
  std::atomic<std::uint16_t> port{0};
  std::atomic<int> echoed{0};
  std::thread clients([&] {
    while (!done.load()) {
      std::uint16_t p = port.load();
      if (p == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      try {
        Fd c = Connect("127.0.0.1", p);
        loopback::SendAll(c.get(), "s\r\n");
        if (loopback::RecvUpTo(c.get(), 3, 500) == "s\r\n") ++echoed;
      } catch (const std::exception&) {
        // Refused between cycles.
      }
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int cycles = 0;
  for (; cycles < 40 && std::chrono::steady_clock::now() < deadline; ++cycles) {
    t.server.Bindings().Items(0).SetPort(0);
    t.Start();
    port = t.Port();
    std::this_thread::sleep_for(std::chrono::milliseconds(cycles % 5 * 5));
    // Leave a silent client behind half the time.
    Fd silent;
    if (cycles % 2 == 0) silent = t.Client();
    t.server.SetActive(false);
    port = 0;
    EXPECT_EQ(t.server.Contexts().Count(), 0);
    EXPECT_EQ(t.server.ConnectionCount(), 0);
  }
  done = true;
  clients.join();
  EXPECT_GE(cycles, 10);
  EXPECT_GT(echoed.load(), 0);
}
