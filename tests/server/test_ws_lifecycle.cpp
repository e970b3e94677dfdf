// The server component's lifecycle on loopback: asynchronous Start, Stop and
// ReStart, failed starts reported through OnException, stops from a
// connection thread, destruction during a start, timers.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

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
};

TEST_F(WSLifecycle, StartReturnsAtOnceThenListens) {
  std::atomic<int> startups{0}, shutdowns{0};
  server->OnStartup = [&](TComponent* s) {
    EXPECT_EQ(s, server.get());
    ++startups;
  };
  server->OnShutdown = [&](TComponent*) { ++shutdowns; };
  {
    // Holding the main lock keeps the start thread from running: Start
    // must return anyway and Active reads false until the thread ran.
    std::lock_guard<std::recursive_timed_mutex> g(server->MainLock());
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
