// The server component's plain HTTP path on loopback: what each method
// reaches, the default answer, DocumentRoot, Basic authentication, and how
// the first bytes are gathered and classified (upgrades and HTTP/2 prefaces
// without their layers, large and slow requests, silent clients).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "server_fixture.h"

using namespace wstest;

namespace {

class WSHTTP : public ::testing::Test {
protected:
  void SetUp() override {
    port = FreePort();
    server.NotifyEvents = TwsNotifyEvent::neNoSync;
    BindLoopback(server, port);
    server.OnCommandGet = [this](TIdContext* c, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
      EXPECT_NE(TvynWSServer_Talvex_Base::ConnectionOf(c), nullptr);
      r->ContentText = "get:" + q->Command + ":" + q->Document;
    };
    server.OnCommandOther = [](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
      r->ContentText = "other:" + q->Command;
    };
    server.OnError = [this](TvynWSConnectionServer*, const std::string& e) {
      std::lock_guard<std::mutex> g(lock);
      errors.push_back(e);
    };
  }
  void TearDown() override { server.SetActive(false); }
  std::string Body(const std::string& aResponse) {
    std::size_t p = aResponse.find("\r\n\r\n");
    return p == std::string::npos ? std::string() : aResponse.substr(p + 4);
  }
  std::vector<std::string> Errors() {
    std::lock_guard<std::mutex> g(lock);
    return errors;
  }

  StackUser stack;
  std::uint16_t port = 0;
  TvynWSHTTPServer server;
  std::mutex lock;
  std::vector<std::string> errors;
};

TEST_F(WSHTTP, EachMethodReachesItsHandler) {
  server.SetActive(true);
  struct Case {
    const char* Method;
    const char* Expected;
  };
  for (const Case& c : {Case{"GET", "get:GET:/hook"}, Case{"HEAD", ""}, Case{"POST", "get:POST:/hook"},
                        Case{"PUT", "other:PUT"}, Case{"DELETE", "other:DELETE"}, Case{"OPTIONS", "other:OPTIONS"}}) {
    SCOPED_TRACE(c.Method);
    std::string r = Exchange(
        port, std::string(c.Method) + " /hook HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 2\r\n\r\n{}");
    EXPECT_EQ(r.rfind("HTTP/1.1 200 OK", 0), 0u) << r;
    EXPECT_EQ(Body(r), c.Expected);
  }
}

TEST_F(WSHTTP, WithoutHandlersTheDefaultPageAnswers) {
  server.OnCommandGet = nullptr;
  server.OnCommandOther = nullptr;
  server.SetActive(true);
  for (const char* method : {"GET", "POST", "PUT"}) {
    std::string r = Exchange(port, std::string(method) + " / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(r.rfind("HTTP/1.1 200 OK", 0), 0u) << r;
    EXPECT_NE(r.find("Content-Type: text/html; charset=utf-8"), std::string::npos) << r;
    EXPECT_EQ(Body(r), "<HTML><BODY><B>200 OK</B></BODY></HTML>");
  }
}

TEST_F(WSHTTP, DocumentRootServesFilesAndNeverLeavesTheRoot) {
  namespace fs = std::filesystem;
  fs::path base = fs::current_path() / ("ws_root_" + std::to_string(::getpid()));
  fs::remove_all(base);
  fs::create_directories(base / "www" / "sub");
  std::ofstream(base / "www" / "sub" / "page.html") << "<p>page</p>";
  std::ofstream(base / "secret.txt") << "TOP-SECRET-CONTENT";
  fs::create_symlink(base / "secret.txt", base / "www" / "link.txt");
  server.SetDocumentRoot((base / "www").string() + "/");
  server.Charset = "utf-8";
  server.SetActive(true);

  std::string hit = Get(port, "/sub/page.html");
  EXPECT_EQ(Body(hit), "<p>page</p>");
  EXPECT_NE(hit.find("Content-Type: text/html; charset=utf-8"), std::string::npos) << hit;
  // A miss reaches the handler.
  EXPECT_EQ(Body(Get(port, "/sub/missing.html")), "get:GET:/sub/missing.html");
  for (const char* path : {"/../secret.txt", "/sub/../../secret.txt", "/%2e%2e/secret.txt",
                           "/sub%2f..%2f..%2fsecret.txt", "/link.txt", "/sub/page.html%00.txt", "/sub"}) {
    SCOPED_TRACE(path);
    std::string r = Get(port, path);
    EXPECT_EQ(r.find("TOP-SECRET"), std::string::npos) << r;
    EXPECT_EQ(r.find("<p>page</p>"), std::string::npos) << r;
  }
  server.SetActive(false);
  fs::remove_all(base);
}

TEST_F(WSHTTP, BasicAuthenticationRefusesWith401AndTheRealm) {
  server.Authentication().Enabled = true;
  server.Authentication().Basic.Enabled = true;
  server.Authentication().AuthUsers.Add("alice=wonder");
  std::atomic<int> asked{0};
  server.OnAuthentication = [&](TvynWSConnectionServer*, const std::string& u, const std::string& p, bool& ok) {
    ++asked;
    ok = u == "bob" && p == "builder";
  };
  server.SetActive(true);
  struct Case {
    const char* Credentials;  // base64 of user:password, or none
    bool Accepted;
  };
  for (const Case& c : {Case{"YWxpY2U6d29uZGVy", true},   // alice:wonder from AuthUsers
                        Case{"Ym9iOmJ1aWxkZXI=", true},   // bob:builder from OnAuthentication
                        Case{"YWxpY2U6d3Jvbmc=", false},  // alice:wrong
                        Case{nullptr, false}}) {
    SCOPED_TRACE(c.Credentials ? c.Credentials : "none");
    std::string extra = c.Credentials ? std::string("Authorization: Basic ") + c.Credentials + "\r\n" : "";
    std::string r = Get(port, "/private", extra);
    if (c.Accepted) {
      EXPECT_EQ(Body(r), "get:GET:/private") << r;
    } else {
      EXPECT_EQ(r.rfind("HTTP/1.1 401", 0), 0u) << r;
      EXPECT_NE(r.find("WWW-Authenticate: Basic realm=\"Corvane 4.5.1\""), std::string::npos) << r;
      EXPECT_EQ(r.find("get:"), std::string::npos) << r;
    }
  }
  EXPECT_GE(asked.load(), 2);
}

TEST_F(WSHTTP, UpgradesAndHTTP2PrefacesWithoutTheirLayersAreClosed) {
  server.SetActive(true);
  std::string upgrade = Exchange(port,
                                 "GET /chat HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  EXPECT_EQ(upgrade, "");
  ASSERT_TRUE(WaitUntil([&] { return !Errors().empty(); }));
  EXPECT_NE(Errors()[0].find("WebSocket"), std::string::npos);
  std::string preface(detail::kHTTP2Preface);
  EXPECT_EQ(Exchange(port, preface + std::string("\0\0\0\4\0\0\0\0\0", 9)), "");
  // Options are read by the connection threads: changed while stopped.
  server.SetActive(false);
  server.HTTP2Options().Enabled = true;
  server.SetActive(true);
  EXPECT_EQ(Exchange(port, preface), "");
  // Bytes that are no HTTP at all are closed after the short read time-out.
  EXPECT_EQ(Exchange(port, std::string("\x16\x03\x01\x02\x00", 5)), "");
}

TEST_F(WSHTTP, ARequestLargerThanTheReadBufferIsClassifiedFromItsStart) {
  server.MaxReadBufferSize = 64;
  server.SetActive(true);
  std::string big(4000, 'a');
  std::string r = Get(port, "/big", "X-Filler: " + big + "\r\n");
  EXPECT_EQ(Body(r), "get:GET:/big") << r.substr(0, 200);
  // Its upgrade header lies past the part that was looked at.
  std::string late = Get(port, "/late", "X-Filler: " + big + "\r\nUpgrade: websocket\r\n");
  EXPECT_EQ(Body(late), "get:GET:/late");
}

TEST_F(WSHTTP, AHeadArrivingInPiecesIsGatheredBeforeItIsClassified) {
  std::atomic<int> served{0};
  server.OnCommandGet = [&](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* r) {
    ++served;
    r->ContentText = "served";
  };
  server.SetActive(true);
  loopback::Fd fd = Connect(port);
  for (const char* piece :
       {"GET /chat HT", "TP/1.1\r\nHost: x\r\n", "Upgrade: websocket\r\n", "Connection: Upgrade\r\n\r\n"}) {
    loopback::SendAll(fd.get(), piece);
    // Longer than the read time-out (10 ms): the gathering must wait on.
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
  }
  EXPECT_EQ(RecvAll(fd.get()), "");
  EXPECT_EQ(served.load(), 0);
  // The same pieces without the upgrade make a plain request.
  loopback::Fd plain = Connect(port);
  for (const char* piece : {"GET /x HT", "TP/1.1\r\nHost: x\r\n", "Connection: close\r\n\r\n"}) {
    loopback::SendAll(plain.get(), piece);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
  }
  EXPECT_EQ(Body(RecvAll(plain.get())), "served");
}

TEST_F(WSHTTP, SilentClientsStayUntilReadEmptySourceSaysOtherwise) {
  server.SetActive(true);
  loopback::Fd quiet = Connect(port);
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  // ReadEmptySource 0: still open after many empty waits.
  EXPECT_EQ(loopback::RecvUpTo(quiet.get(), 1, 300), "");
  EXPECT_EQ(server.Count(), 1);
  server.SetActive(false);

  server.ReadEmptySource = 3;
  server.SetActive(true);
  loopback::Fd closed = Connect(port);
  pollfd p{closed.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  char c;
  EXPECT_EQ(::recv(closed.get(), &c, 1, 0), 0);
}

TEST_F(WSHTTP, KeepAliveServesSeveralRequestsOnOneConnection) {
  server.SetKeepAlive(true);
  server.SetActive(true);
  loopback::Fd fd = Connect(port);
  loopback::SendAll(fd.get(),
                    "GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  std::string all = RecvAll(fd.get());
  EXPECT_NE(all.find("get:GET:/a"), std::string::npos) << all;
  EXPECT_NE(all.find("get:GET:/b"), std::string::npos) << all;
}

}  // namespace
