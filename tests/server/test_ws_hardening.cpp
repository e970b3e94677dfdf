// The server component under hostile or careless clients and settings:
// connections that never speak or speak something else, requests that try
// to buy large answers or confuse the classifier, a document root whose
// links change under it, authentication that cannot be checked, HEAD and
// GET agreeing, the throttle and the thread pool switch.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "server_fixture.h"
#include "transport/vynIdSchedulerOfEvents.h"

using namespace wstest;
namespace fs = std::filesystem;

namespace {

// Counts the passes of the connection loop, so that a test can tell waiting
// from spinning without timing anything.
class CountingServer : public TvynWSHTTPServer {
public:
  ~CountingServer() override { EndComponent(); }
  std::atomic<long> Passes{0};

protected:
  void Execute(TIdContext* aContext) override {
    ++Passes;
    TvynWSHTTPServer::Execute(aContext);
  }
};

class WSHardening : public ::testing::Test {
protected:
  void SetUp() override {
    port = FreePort();
    server.NotifyEvents = TwsNotifyEvent::neNoSync;
    BindLoopback(server, port);
    server.OnCommandGet = server.OnCommandOther = [this](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
      ++handled;
      r->ContentText = "handler:" + q->Document;
    };
    server.OnException = [this](TvynWSConnectionServer* c, const Exception& e) {
      std::lock_guard<std::mutex> g(lock);
      if (!c) serverErrors.push_back(e.Message());
    };
  }
  void TearDown() override { server.SetActive(false); }
  static std::string Body(const std::string& aResponse) {
    const std::size_t end = aResponse.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : aResponse.substr(end + 4);
  }
  static std::string Field(const std::string& aResponse, const std::string& aName) {
    const std::size_t at = aResponse.find("\r\n" + aName + ": ");
    if (at == std::string::npos || at > aResponse.find("\r\n\r\n")) return "<none>";
    const std::size_t from = at + aName.size() + 4;
    return aResponse.substr(from, aResponse.find("\r\n", from) - from);
  }
  std::vector<std::string> ServerErrors() {
    std::lock_guard<std::mutex> g(lock);
    return serverErrors;
  }

  StackUser stack;
  std::uint16_t port = 0;
  CountingServer server;
  std::atomic<int> handled{0};
  std::mutex lock;
  std::vector<std::string> serverErrors;
};

TEST_F(WSHardening, AnUndecodedSchemeIsRefusedOnlyWhereAuthenticationIsRequired) {
  server.SetActive(true);
  const std::string bearer = "Authorization: Bearer some-token\r\n";
  EXPECT_EQ(Body(Get(port, "/open", bearer)), "handler:/open");
  EXPECT_EQ(Body(Get(port, "/open", "Authorization: Negotiate abc\r\n")), "handler:/open");
  server.SetActive(false);
  server.Authentication().Enabled = true;
  server.Authentication().Basic.Enabled = true;
  server.SetActive(true);
  const std::string refused = Get(port, "/closed", bearer);
  EXPECT_TRUE(refused.starts_with("HTTP/1.1 401 ")) << refused;
  EXPECT_EQ(handled.load(), 2);
}

TEST_F(WSHardening, TokenAuthenticationThisBuildCannotCheckRefusesEveryRequest) {
  TComponent tokenService;
  struct Case {
    const char* Name;
    std::function<void()> Configure;
  };
  const std::vector<Case> cases{
      {"OAuth2", [&] { server.Authentication().OAuth.OAuth2 = &tokenService; }},
      {"JWT", [&] { server.Authentication().JWT.JWT = &tokenService; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    server.SetActive(false);
    server.Authentication().OAuth.OAuth2 = nullptr;
    server.Authentication().JWT.JWT = nullptr;
    server.Authentication().Enabled = true;
    c.Configure();
    {
      std::lock_guard<std::mutex> g(lock);
      serverErrors.clear();
    }
    server.SetActive(true);
    // The start says that requests will be refused.
    const std::vector<std::string> told = ServerErrors();
    EXPECT_EQ(told.size(), 1u);
    EXPECT_TRUE(!told.empty() && told[0].find("cannot be checked") != std::string::npos)
        << ::testing::PrintToString(told);
    for (const char* credentials :
         {"", "Authorization: Bearer eyJhbGciOi.x.y\r\n", "Authorization: Basic YWxpY2U6d29uZGVy\r\n"}) {
      SCOPED_TRACE(credentials);
      const std::string r = Get(port, "/private", credentials);
      EXPECT_TRUE(r.starts_with("HTTP/1.1 401 ")) << r;
      EXPECT_NE(r.find("\r\nWWW-Authenticate: "), std::string::npos) << r;
    }
  }
  EXPECT_EQ(handled.load(), 0);
  server.SetActive(false);
  server.Authentication().OAuth.OAuth2 = nullptr;
  server.Authentication().JWT.JWT = nullptr;
}

TEST_F(WSHardening, HeadTellsWhatGetWouldSend) {
  server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
    if (q->Document == "/missing") r->SetResponseNo(404);
    if (q->Document == "/text") r->ContentText = "twelve bytes";
  };
  server.SetActive(true);
  for (const char* path : {"/missing", "/text", "/Corvane.js"}) {
    SCOPED_TRACE(path);
    const std::string get = Get(port, path);
    const std::string head =
        Exchange(port, std::string("HEAD ") + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(head.substr(0, head.find("\r\n")), get.substr(0, get.find("\r\n"))) << head;
    EXPECT_EQ(Field(head, "Content-Length"), std::to_string(Body(get).size())) << head;
    EXPECT_EQ(Field(head, "Content-Type"), Field(get, "Content-Type"));
    EXPECT_EQ(Body(head), "");
  }
}

TEST_F(WSHardening, AnAcceptedUnknownProtocolIsHandedOnAndThenWaits) {
  server.OnUnknownProtocol = [](TvynWSConnectionServer*, bool& aAccept) { aAccept = true; };
  std::string received;
  server.OnBinary = [&](TvynWSConnectionServer*, TMemoryStream& aData) {
    std::lock_guard<std::mutex> g(lock);
    received.append(reinterpret_cast<const char*>(aData.Memory()), static_cast<std::size_t>(aData.Size()));
  };
  auto got = [&] {
    std::lock_guard<std::mutex> g(lock);
    return received;
  };
  server.SetActive(true);
  loopback::Fd fd = Connect(port);
  loopback::SendAll(fd.get(), std::string("\x01\x02raw", 5));
  ASSERT_TRUE(WaitUntil([&] { return got() == std::string("\x01\x02raw", 5); }, 5000)) << got().size();
  // Idle now: the loop waits for input instead of passing again and again.
  const long before = server.Passes.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LE(server.Passes.load() - before, 5);
  loopback::SendAll(fd.get(), "more");
  ASSERT_TRUE(WaitUntil([&] { return got().ends_with("more"); }, 5000));
}

TEST_F(WSHardening, ASilentConnectionWaitsWithoutPassesAndEndsAtTheRequestTime) {
  server.HTTPServer().RequestTimeout = 600;
  server.SetActive(true);
  loopback::Fd quiet = Connect(port);
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  const long before = server.Passes.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LE(server.Passes.load() - before, 3);
  // Closed once the request time passed, without an answer.
  EXPECT_EQ(RecvAll(quiet.get(), 5000), "");
  EXPECT_TRUE(WaitUntil([&] { return server.Count() == 0; }, 5000));
  // A client that speaks in time is served as before.
  EXPECT_EQ(Body(Get(port, "/x")), "handler:/x");
}

TEST_F(WSHardening, OnTheEventSchedulerASilentConnectionIsParkedUntilTheRequestTime) {
  TIdSchedulerOfEvents events;
  server.HTTPServer().SetScheduler(&events);
  server.HTTPServer().RequestTimeout = 800;
  server.SetActive(true);
  std::vector<loopback::Fd> quiet;
  for (int i = 0; i < 3; ++i) quiet.push_back(Connect(port));
  EXPECT_TRUE(WaitUntil([&] { return events.ParkedCount() == 3; }, 5000)) << events.ParkedCount();
  // A parked connection that speaks is served.
  loopback::SendAll(quiet[0].get(), "GET /late HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(Body(RecvAll(quiet[0].get())), "handler:/late");
  for (std::size_t i = 1; i < quiet.size(); ++i) EXPECT_EQ(RecvAll(quiet[i].get(), 5000), "") << i;
  EXPECT_TRUE(WaitUntil([&] { return server.Count() == 0; }, 5000));
  server.SetActive(false);
  server.HTTPServer().SetScheduler(nullptr);
}

TEST_F(WSHardening, BuiltinListsCannotAmplifyAndOverlongLinesAreNotClassified) {
  server.FallBack().Flash.Enabled = true;
  server.SetActive(true);
  const std::string single = Get(port, "/CorvaneFlash.js");
  ASSERT_TRUE(single.starts_with("HTTP/1.1 200 ")) << single;
  // Under the line limit: a file named again and again comes once.
  std::string names = "CorvaneFlash.js";
  for (int i = 0; i < 3; ++i) names += ",CorvaneFlash.js";
  const std::string fewTimes = Get(port, "/" + names);
  EXPECT_TRUE(fewTimes.starts_with("HTTP/1.1 200 ")) << fewTimes;
  EXPECT_EQ(Body(fewTimes), Body(single) + "\r\n");
  // A list longer than any useful one is no request for built-in files.
  std::string many = "CorvaneFlash.js";
  while (many.size() < 7000) many += ",CorvaneFlash.js";
  const std::string longList = Get(port, "/" + many);
  EXPECT_EQ(longList.find("var CorvaneFlash"), std::string::npos) << longList.substr(0, 200);
  EXPECT_EQ(handled.load(), 1);
  // Over the line limit: refused by the request reader, never classified.
  while (many.size() < 16 * 1024) many += ",CorvaneFlash.js";
  const std::string overlong = Get(port, "/" + many);
  EXPECT_TRUE(overlong.starts_with("HTTP/1.1 414 ")) << overlong.substr(0, 200);
  EXPECT_LT(overlong.size(), 4096u);
  EXPECT_EQ(handled.load(), 1);
}

TEST_F(WSHardening, OnlyThisRequestsOwnFieldsClassifyIt) {
  server.SetKeepAlive(true);
  server.SetActive(true);
  // A value that mentions an upgrade is no upgrade.
  EXPECT_EQ(Body(Get(port, "/note", "X-Note: Upgrade: websocket\r\n")), "handler:/note");
  EXPECT_EQ(Body(Get(port, "/half", "Upgrade: websocket\r\n")), "handler:/half");
  // Nor does a later pipelined request make the first one something else.
  for (const char* second : {"Upgrade: websocket\r\nConnection: Upgrade\r\n", "Accept: text/event-stream\r\n"}) {
    SCOPED_TRACE(second);
    const std::string answer = Exchange(
        port,
        std::string("GET /first HTTP/1.1\r\nHost: x\r\n\r\nGET /second HTTP/1.1\r\nHost: x\r\n") + second + "\r\n",
        1000);
    EXPECT_NE(answer.find("handler:/first"), std::string::npos) << answer;
  }
}

TEST_F(WSHardening, ALinkSwappedIntoTheRootIsNeverFollowed) {
  const fs::path base = fs::temp_directory_path() / ("ws_swap_" + std::to_string(::getpid()));
  fs::remove_all(base);
  fs::create_directories(base / "www");
  std::ofstream(base / "secret.txt") << "TOP-SECRET";
  std::ofstream(base / "www" / "plain.txt") << "public";
  std::ofstream(base / "www" / "x.txt") << "public";
  server.SetDocumentRoot((base / "www").string());
  server.SetActive(true);
  std::atomic<bool> stop{false};
  // Swaps x.txt between a regular file and a link to the secret, each
  // change a single rename.
  std::thread swapper([&] {
    const std::string www = (base / "www").string();
    for (int i = 0; !stop.load() && i < 2000000; ++i) {
      const std::string tmp = www + "/tmp";
      if (i % 2 == 0) {
        ::symlink((base / "secret.txt").c_str(), tmp.c_str());
      } else {
        ::link((www + "/plain.txt").c_str(), tmp.c_str());
      }
      ::rename(tmp.c_str(), (www + "/x.txt").c_str());
    }
  });
  int leaks = 0, served = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  for (int i = 0; i < 3000 && std::chrono::steady_clock::now() < until; ++i) {
    const std::string r = Get(port, "/x.txt");
    if (r.find("TOP-SECRET") != std::string::npos) ++leaks;
    if (Body(r) == "public") ++served;
  }
  stop.store(true);
  swapper.join();
  EXPECT_EQ(leaks, 0);
  EXPECT_GT(served, 0);
  server.SetActive(false);
  fs::remove_all(base);
}

TEST_F(WSHardening, TheThrottleSlowsATransfer) {
  const std::string big(30000, 'z');
  server.OnCommandGet = [&](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) { r->ContentText = big; };
  server.Throttle().Enabled = true;
  // 30000 bytes at 30000 bytes a second: a second at least.
  server.Throttle().BitsPerSec = 8 * 30000;
  server.SetActive(true);
  const auto started = std::chrono::steady_clock::now();
  const std::string r = Exchange(port, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 20000);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(Body(r), big);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 900);
}

TEST_F(WSHardening, TheThreadPoolIsNotSwitchedWhileActive) {
  server.SetActive(true);
  EXPECT_THROW(server.SetThreadPool(true), Exception);
  EXPECT_FALSE(server.ThreadPool());
  server.SetActive(false);
  server.SetThreadPool(true);
  server.SetActive(true);
  // Off and on again while running: the pool the server uses stays.
  EXPECT_THROW(server.SetThreadPool(false), Exception);
  EXPECT_TRUE(server.ThreadPool());
  server.SetThreadPool(true);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Body(Get(port, "/pooled")), "handler:/pooled") << i;
  server.SetActive(false);
  server.SetThreadPool(false);
  EXPECT_FALSE(server.ThreadPool());
}

}  // namespace
