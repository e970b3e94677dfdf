// The TCP server over real loopback sockets: accepting, both schedulers,
// the limits, and stopping with clients connected.
#include <gtest/gtest.h>

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
