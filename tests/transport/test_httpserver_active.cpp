// The HTTP server on its TCP server: activation, keep-alive clients served
// by worker threads, and stops with clients still connected.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "http_exchange.h"
#include "loopback.h"
#include "tcpserver_fixture.h"
#include "transport/vynIdCustomHTTPServer.h"
#include "transport/vynIdStack.h"

namespace {

using namespace std::chrono_literals;

class HTTPServerActiveTest : public ::testing::Test {
protected:
  void SetUp() override {
    TIdStack::IncUsage();
    port = tcpserver_test::FreePort();
    TIdSocketHandle& b = server.Bindings().Add();
    b.SetIP("127.0.0.1");
    b.SetPort(port);
    server.KeepAlive = true;
    server.OnCommandGet = [this](TIdContext* AContext, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
      ++requests;
      contextSeen = contextSeen || AContext != nullptr;
      r->ContentText = q->Document;
    };
  }
  void TearDown() override {
    server.SetActive(false);
    TIdStack::DecUsage();
  }

  std::uint16_t port = 0;
  TIdHTTPServer server;
  std::atomic<int> requests{0};
  std::atomic<bool> contextSeen{false};
};

TEST_F(HTTPServerActiveTest, ServesKeepAliveClientsOnWorkerThreads) {
  EXPECT_EQ(server.DefaultPort(), 80);
  server.SetActive(true);
  std::vector<loopback::Fd> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(tcpserver_test::Connect("127.0.0.1", port));
  for (int round = 0; round < 2; ++round) {
    for (auto& c : clients) {
      loopback::SendAll(c.get(), "GET /r" + std::to_string(round) + " HTTP/1.1\r\nHost: h\r\n\r\n");
      http_exchange::Reader reader(c.get());
      http_exchange::Response r = reader.Next();
      EXPECT_EQ(r.Status, 200);
      EXPECT_EQ(r.Body, "/r" + std::to_string(round));
    }
  }
  EXPECT_EQ(requests, 6);
  EXPECT_TRUE(contextSeen);
  // The stop closes the idle keep-alive connections and returns.
  auto ms = tcpserver_test::TimeMs([&] { server.SetActive(false); });
  EXPECT_LT(ms, 5000);
  for (auto& c : clients) EXPECT_TRUE(http_exchange::Reader(c.get()).ClosedWithin(2000));
}

TEST_F(HTTPServerActiveTest, StartStopCyclesWithClientsConnected) {
  server.RequestTimeout = 500;
  for (int cycle = 0; cycle < 5; ++cycle) {
    SCOPED_TRACE(cycle);
    server.SetActive(true);
    // One client idle, one half-way through its head, one served.
    loopback::Fd idle = tcpserver_test::Connect("127.0.0.1", port);
    loopback::Fd partial = tcpserver_test::Connect("127.0.0.1", port);
    loopback::SendAll(partial.get(), "GET / HTTP/1.1\r\nHo");
    loopback::Fd served = tcpserver_test::Connect("127.0.0.1", port);
    loopback::SendAll(served.get(), "GET /x HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(http_exchange::Reader(served.get()).Next().Body, "/x");
    auto ms = tcpserver_test::TimeMs([&] { server.SetActive(false); });
    EXPECT_LT(ms, 5000);
  }
}

}  // namespace
