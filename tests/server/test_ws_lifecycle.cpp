// The server component's lifecycle on loopback: asynchronous Start, Stop and
// ReStart, failed starts reported through OnException, stops from a
// connection thread, destruction during a start, timers.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/Dispatcher.h"
#include "server_fixture.h"

using namespace wstest;

namespace {

class WSLifecycle : public ::testing::Test {
protected:
  void SetUp() override {
    port = FreePort();
    server = std::make_unique<TvynWSHTTPServer>();
    server->NotifyEvents = TwsNotifyEvent::neNoSync;
    BindLoopback(*server, port);
    server->OnException = [this](TvynWSConnectionServer* c, const Exception& e) {
      std::lock_guard<std::mutex> g(lock);
      errors.push_back(e.Message());
      if (!c) ++serverErrors;
    };
  }
  // The server goes first: its destructor stops it, and that stop still
  // calls the handlers, which use the members below.
  void TearDown() override { server.reset(); }
  std::vector<std::string> Errors() {
    std::lock_guard<std::mutex> g(lock);
    return errors;
  }

  StackUser stack;
  std::uint16_t port = 0;
  std::unique_ptr<TvynWSHTTPServer> server;
  std::mutex lock;
  std::vector<std::string> errors;
  std::atomic<int> serverErrors{0};
  // Handlers that outlive a test body count here, not in its locals.
  std::atomic<int> startups{0}, shutdowns{0};
  std::atomic<bool> inHandler{false}, release{false};
};

TEST_F(WSLifecycle, StartReturnsAtOnceThenListens) {
  server->OnStartup = [&](TComponent* s) {
    EXPECT_EQ(s, server.get());
    ++startups;
  };
  server->OnShutdown = [&](TComponent*) { ++shutdowns; };
  {
    // Holding the main lock keeps the start thread from running: Start
    // must return anyway and Active reads false until the thread ran.
    std::lock_guard<std::recursive_mutex> g(server->MainLock());
    server->Start();
    EXPECT_FALSE(server->Active());
  }
  ASSERT_TRUE(WaitUntil([&] { return server->Active(); }));
  EXPECT_EQ(startups.load(), 1);
  std::string r = Get(port, "/");
  EXPECT_EQ(r.rfind("HTTP/1.1 200 OK", 0), 0u) << r;
  EXPECT_NE(r.find("Server: Corvane 4.5.1"), std::string::npos) << r;
  EXPECT_NE(r.find("<HTML><BODY><B>200 OK</B></BODY></HTML>"), std::string::npos) << r;
  server->Stop();
  // Active turns false as the stop begins; OnShutdown follows its end.
  ASSERT_TRUE(WaitUntil([&] { return shutdowns.load() == 1; }));
  EXPECT_FALSE(server->Active());
  EXPECT_EQ(Connect(port).get(), -1);
}

}  // namespace

namespace {

TEST_F(WSLifecycle, ReStartOnAStoppedServerOnlyStarts) {
  server->OnStartup = [&](TComponent*) { ++startups; };
  server->OnShutdown = [&](TComponent*) { ++shutdowns; };
  server->ReStart();
  ASSERT_TRUE(WaitUntil([&] { return startups.load() == 1; }));
  EXPECT_TRUE(server->Active());
  EXPECT_EQ(shutdowns.load(), 0);

  // Running: it stops, waits for the stop, then starts again.
  server->ReStart();
  ASSERT_TRUE(WaitUntil([&] { return startups.load() == 2; }));
  EXPECT_EQ(shutdowns.load(), 1);
  EXPECT_TRUE(server->Active());
  EXPECT_EQ(Get(port, "/").rfind("HTTP/1.1 200 OK", 0), 0u);
}

// A box checked and unchecked quickly: the threads of the requests may take
// the main lock in any order, yet the last request made decides.
TEST_F(WSLifecycle, TheLastOfQuickStartsAndStopsWins) {
  server->OnStartup = [&](TComponent*) { ++startups; };
  server->OnShutdown = [&](TComponent*) { ++shutdowns; };
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    startups = 0;
    shutdowns = 0;
    {
      // Every thread waits for the lock, so they all race for it at once.
      std::lock_guard<std::recursive_mutex> g(server->MainLock());
      server->Start();
      server->Stop();
      server->Start();
      server->Stop();
      server->Start();
    }
    ASSERT_TRUE(WaitUntil([&] { return startups.load() == 1; }));
    // Overtaken requests that ran late would stop it again.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(server->Active());
    EXPECT_EQ(shutdowns.load(), 0);
    EXPECT_EQ(startups.load(), 1);
    {
      std::lock_guard<std::recursive_mutex> g(server->MainLock());
      server->Stop();
      server->Start();
      server->Stop();
    }
    ASSERT_TRUE(WaitUntil([&] { return shutdowns.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(server->Active());
    EXPECT_EQ(startups.load(), 1);
  }
}

TEST_F(WSLifecycle, SetActiveTrueOnARunningServerClosesItsConnections) {
  server->SetActive(true);
  loopback::Fd idle = Connect(port);
  ASSERT_GE(idle.get(), 0);
  ASSERT_TRUE(WaitUntil([&] { return server->Count() == 1; }));
  server->SetActive(true);
  // The idle connection was closed by the server: the read ends.
  EXPECT_EQ(RecvAll(idle.get(), 5000), "");
  EXPECT_TRUE(server->Active());
}

TEST_F(WSLifecycle, StopFromAConnectionThreadDoesNotWaitForItself) {
  server->OnShutdown = [&](TComponent*) { ++shutdowns; };
  server->OnCommandGet = [&](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
    if (q->Document == "/sync") server->SetActive(false);
    if (q->Document == "/async") server->Stop();
    r->ContentText = "bye";
  };
  for (const char* path : {"/sync", "/async"}) {
    SCOPED_TRACE(path);
    int before = shutdowns.load();
    server->SetActive(true);
    Get(port, path);
    ASSERT_TRUE(WaitUntil([&] { return shutdowns.load() == before + 1; }));
    EXPECT_FALSE(server->Active());
  }
}

// A stop thread holds the main lock and waits for the connections; one of
// them asks for a stop too. Neither may wait for the other.
TEST_F(WSLifecycle, StopFromAConnectionWhileAStopWaitsForIt) {
  server->OnShutdown = [&](TComponent*) { ++shutdowns; };
  server->OnCommandGet = [&](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo*) {
    inHandler = true;
    WaitUntil([&] { return release.load(); });
    server->SetActive(false);
  };
  server->SetActive(true);
  loopback::Fd c = Connect(port);
  loopback::SendAll(c.get(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_TRUE(WaitUntil([&] { return inHandler.load(); }));
  server->Stop();
  ASSERT_TRUE(WaitUntil([&] { return !server->Active(); }));
  release = true;
  ASSERT_TRUE(WaitUntil([&] { return shutdowns.load() >= 1; }));
}

TEST_F(WSLifecycle, DestroyingDuringAStartIsSafe) {
  for (int i = 0; i < 20; ++i) {
    auto s = std::make_unique<TvynWSHTTPServer>();
    s->NotifyEvents = TwsNotifyEvent::neNoSync;
    BindLoopback(*s, port);
    s->Start();
    if (i % 2) std::this_thread::sleep_for(std::chrono::milliseconds(i));
    s.reset();
    // Whatever the start thread had reached, the port is free again.
    EXPECT_EQ(Connect(port).get(), -1) << i;
  }
}

TEST_F(WSLifecycle, AFailedStartReachesOnExceptionWithoutConnection) {
  loopback::Listener taken;
  BindLoopback(*server, taken.Port());
  server->Start();
  ASSERT_TRUE(WaitUntil([&] { return serverErrors.load() == 1; }));
  EXPECT_FALSE(server->Active());
  auto e = Errors();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_NE(e[0].find("ddress already in use"), std::string::npos) << e[0];

  // A direct write raises instead.
  EXPECT_THROW(server->SetActive(true), Exception);
  EXPECT_FALSE(server->Active());
}

TEST_F(WSLifecycle, AFailedStartIsQueuedToTheUIThreadWhenNotNoSync) {
  TQueueDispatcher ui;
  ui.SetUIThread();
  SetUIDispatcher(&ui);
  server->NotifyEvents = TwsNotifyEvent::neSynchronous;
  loopback::Listener taken;
  BindLoopback(*server, taken.Port());
  std::thread::id seenOn;
  server->OnException = [&](TvynWSConnectionServer* c, const Exception&) {
    EXPECT_EQ(c, nullptr);
    seenOn = std::this_thread::get_id();
  };
  server->Start();
  for (int i = 0; i < 100 && seenOn == std::thread::id(); ++i) ui.Pump(100);
  // The start thread ends before the dispatcher it queued to.
  server.reset();
  SetUIDispatcher(nullptr);
  EXPECT_EQ(seenOn, std::this_thread::get_id());
}

TEST_F(WSLifecycle, RefusedTCPConnectClosesBeforeAnythingIsRead) {
  std::atomic<int> commands{0};
  std::string error;
  std::mutex m;
  server->OnTCPConnect = [](TvynWSConnectionServer* c, bool& Accept) {
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(c->Guid().size(), 32u);
    Accept = false;
  };
  server->OnError = [&](TvynWSConnectionServer* c, const std::string& aError) {
    std::lock_guard<std::mutex> g(m);
    error = aError;
    EXPECT_EQ(c->MsgError(), aError);
  };
  server->OnCommandGet = [&](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo*) { ++commands; };
  server->SetActive(true);
  EXPECT_EQ(Get(port, "/"), "");
  EXPECT_EQ(commands.load(), 0);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> g(m);
    return !error.empty();
  }));
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(error, "Connection rejected by server.");
}

TEST_F(WSLifecycle, WatchDogStartsAServerThatStopped) {
  server->WatchDog().Enabled = true;
  server->WatchDog().Interval = 1;
  server->SetActive(true);
  // The inner server stops by itself (not through the component).
  server->HTTPServer().SetActive(false);
  ASSERT_FALSE(server->Active());
  ASSERT_TRUE(WaitUntil([&] { return server->Active(); }, 15000));
  EXPECT_EQ(Get(port, "/").rfind("HTTP/1.1 200 OK", 0), 0u);
  // A stop through the component ends the watchdog too.
  server->SetActive(false);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_FALSE(server->Active());
}

// Many start/stop cycles with clients connected and sending; every wait is
// bounded and the last stop leaves nothing behind.
TEST_F(WSLifecycle, StartStopCyclesWithClientsConnected) {
  server->SetKeepAlive(true);
  server->OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) { r->ContentText = "ok"; };
  std::atomic<bool> done{false};
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 3; ++t) {
    clients.emplace_back([&] {
      for (int i = 0; i < 400 && !done.load(); ++i) {
        loopback::Fd fd = Connect(port);
        if (fd.get() < 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
          continue;
        }
        try {
          loopback::SendAll(fd.get(), "GET / HTTP/1.1\r\nHost: x\r\n\r\nGET / HTTP/1.1\r\nHost: x\r\n\r\n");
        } catch (const std::exception&) {
          continue;
        }
        if (loopback::RecvUpTo(fd.get(), 64, 500).find("200 OK") != std::string::npos) ++answered;
      }
    });
  }
  for (int cycle = 0; cycle < 25; ++cycle) {
    if (cycle % 3 == 0) {
      server->SetActive(true);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      server->SetActive(false);
    } else {
      server->Start();
      WaitUntil([&] { return server->Active(); }, 5000);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      server->Stop();
      WaitUntil([&] { return !server->Active(); }, 5000);
    }
  }
  done = true;
  for (auto& c : clients) c.join();
  server->SetActive(false);
  EXPECT_EQ(server->Count(), 0);
  // After all that it still starts and answers.
  server->SetActive(true);
  EXPECT_NE(Get(port, "/").find("ok"), std::string::npos);
}

}  // namespace
