// The component's own answers on loopback: built-in files, the Flash policy,
// event streams, session ids, message and protocol posts, uploads into the
// save folder, authorization schemes beyond Basic and forwarding.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "server/vynWSUpload.h"
#include "server_fixture.h"

using namespace wstest;
namespace fs = std::filesystem;

namespace {

class WSDispatch : public ::testing::Test {
protected:
  void SetUp() override {
    port = FreePort();
    server = std::make_unique<TvynWSHTTPServer>();
    server->NotifyEvents = TwsNotifyEvent::neNoSync;
    BindLoopback(*server, port);
    server->OnCommandGet = server->OnCommandOther = [this](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
      std::lock_guard<std::mutex> g(lock);
      handled.push_back(q->Command + " " + q->Document);
      user = q->AuthUsername;
      r->ContentText = "handler:" + q->Document;
    };
    server->OnException = [this](TvynWSConnectionServer*, const Exception& e) {
      std::lock_guard<std::mutex> g(lock);
      errors.push_back(e.Message());
    };
    dir = fs::temp_directory_path() / ("vyn_ws_dispatch_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir / "save");
  }
  void TearDown() override {
    server.reset();
    fs::remove_all(dir);
  }
  void Start() {
    server->SetActive(true);
    ASSERT_TRUE(server->Active());
  }
  // Options change only while no connection thread reads them.
  void Reconfigure(const std::function<void()>& aChange) {
    ASSERT_TRUE(WaitUntil([&] { return server->Count() == 0; }));
    server->SetActive(false);
    aChange();
    Start();
  }
  std::vector<std::string> Handled() {
    std::lock_guard<std::mutex> g(lock);
    return handled;
  }
  std::vector<std::string> Errors() {
    std::lock_guard<std::mutex> g(lock);
    return errors;
  }
  std::set<std::string> Saved() {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir / "save")) names.insert(e.path().filename().string());
    return names;
  }
  static std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static std::string Body(const std::string& aResponse) {
    const std::size_t end = aResponse.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : aResponse.substr(end + 4);
  }

  StackUser stack;
  std::uint16_t port = 0;
  std::unique_ptr<TvynWSHTTPServer> server;
  std::mutex lock;
  std::vector<std::string> handled, errors;
  std::string user;
  fs::path dir;
};

TEST_F(WSDispatch, BuiltinFilesAnswerThemselvesOthersReachTheHandler) {
  server->FallBack().ServerSentEvents.Enabled = true;
  Start();
  const std::string script = Get(port, "/js/Corvane.js");
  EXPECT_TRUE(script.starts_with("HTTP/1.1 200 OK\r\n")) << script;
  EXPECT_NE(script.find("Content-Type: text/javascript; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(script.find("Server: Corvane 4.5.1\r\n"), std::string::npos);
  // The event-source fall-back comes first, then the client script, with
  // this connection's address filled in.
  const std::string body = Body(script);
  EXPECT_LT(body.find("CorvaneEventSource"), body.find("var Corvane ="));
  EXPECT_NE(body.find("ws://127.0.0.1:" + std::to_string(port)), std::string::npos);
  EXPECT_EQ(body.find("{%"), std::string::npos);

  EXPECT_EQ(Body(Get(port, "/app.js")), "handler:/app.js");
  // The test page is off by default.
  EXPECT_EQ(Body(Get(port, "/Corvane.html")), "handler:/Corvane.html");
  Reconfigure([&] { server->Options().HTMLFiles = true; });
  EXPECT_NE(Get(port, "/Corvane.html").find("Content-Type: text/html\r\n"), std::string::npos);
  Reconfigure([&] { server->Options().JavascriptFiles = false; });
  EXPECT_EQ(Body(Get(port, "/Corvane.js")), "handler:/Corvane.js");
  EXPECT_EQ(Handled(), (std::vector<std::string>{"GET /app.js", "GET /Corvane.html", "GET /Corvane.js"}));
}

TEST_F(WSDispatch, FlashPolicyOnlyWhenItsFallBackIsOn) {
  Start();
  EXPECT_EQ(Exchange(port, std::string("<policy-file-request/>\0", 23)), "");
  Reconfigure([&] {
    server->FallBack().Flash.Enabled = true;
    server->FallBack().Flash.Ports = "843,8080";
  });
  EXPECT_EQ(Exchange(port, std::string("<policy-file-request/>\0", 23)),
            std::string("<cross-domain-policy><allow-access-from domain=\"*\" to-ports=\"843,8080\" />"
                        "</cross-domain-policy>") +
                '\0');
}

TEST_F(WSDispatch, EventStreamIsClosedUnlessItsFallBackIsOn) {
  Start();
  const std::string request = "GET /events HTTP/1.1\r\nHost: h\r\nAccept: text/event-stream\r\n\r\n";
  EXPECT_EQ(Exchange(port, request, 2000), "");
  EXPECT_TRUE(Handled().empty());

  Reconfigure([&] {
    server->FallBack().ServerSentEvents.Enabled = true;
    server->FallBack().ServerSentEvents.Retry = 2500;
  });
  loopback::Fd fd = Connect(port);
  loopback::SendAll(fd.get(), request);
  const std::string answer = loopback::RecvUpTo(fd.get(), 1 << 16, 1000);
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n")) << answer;
  EXPECT_NE(answer.find("\r\n\r\nretry: 2500\r\nid: "), std::string::npos) << answer;
}

TEST_F(WSDispatch, SessionIdsForGoodCredentialsOnly) {
  server->Authentication().Enabled = true;
  server->Authentication().AuthUsers.Add("alice=wonder");
  server->OnAuthentication = [](TvynWSConnectionServer*, const std::string& u, const std::string& p, bool& ok) {
    ok = u == "bob" && p == "builder";
  };
  Start();
  for (const char* path : {"/vyn/req/auth/session/alice/wonder", "/vyn/req/auth/session/bob/builder"}) {
    const std::string answer = Get(port, path);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/plain")) << answer;
    const std::string body = Body(answer);
    ASSERT_GE(body.size(), 34u) << body;
    EXPECT_EQ(body.substr(0, 32).find_first_not_of("0123456789abcdef"), std::string::npos) << body;
    EXPECT_EQ(body.substr(32), "\r\n\r\n\r\n");
  }
  EXPECT_EQ(server->SessionIdCount(), 2u);
  for (const char* path : {"/vyn/req/auth/session/alice/wrong", "/vyn/req/auth/session/", "/vyn/req/auth/session/x"})
    EXPECT_TRUE(Get(port, path).starts_with("HTTP/1.1 404 Not Found\r\n")) << path;
  EXPECT_EQ(server->SessionIdCount(), 2u);
  EXPECT_TRUE(Handled().empty());
}

TEST_F(WSDispatch, MessageAndProtocolPostsAreAnsweredAndClosed) {
  Start();
  const std::string answer =
      Exchange(port, "POST /vyn/xhr/nobody HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello");
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/html")) << answer;
  EXPECT_NE(answer.find("Content-Length: 0\r\n"), std::string::npos);
  EXPECT_TRUE(
      Exchange(port, "POST /vyn/xhr/x HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n").starts_with("HTTP/1.1 413 "));
  EXPECT_TRUE(Exchange(port, "POST /vyn/protocol/chat HTTP/1.1\r\nContent-Length: 0\r\n\r\n")
                  .starts_with("HTTP/1.1 404 Not Found\r\n"));
  EXPECT_TRUE(Handled().empty());
}

std::string Multipart(const std::string& aFileName, const std::string& aData) {
  return "--B0undary\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhi\r\n"
         "--B0undary\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
         aFileName + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + aData + "\r\n--B0undary--\r\n";
}

std::string Upload(const std::string& aBody) {
  return "POST /upload HTTP/1.1\r\nHost: h\r\nConnection: close\r\nContent-Type: multipart/form-data; "
         "boundary=B0undary\r\nContent-Length: " +
         std::to_string(aBody.size()) + "\r\n\r\n" + aBody;
}

TEST_F(WSDispatch, UploadsLandInTheSaveFolderAndTheTemporaryFileGoes) {
  server->HTTPUploadFiles().StreamType = TwsPostStreamType::pstFileStream;
  server->HTTPUploadFiles().SaveDirectory = (dir / "save").string();
  std::string seenType;
  server->OnCommandGet = [&](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
    // The handler sees the body in its temporary file.
    auto* f = dynamic_cast<detail::TUploadFileStream*>(q->PostStream());
    std::lock_guard<std::mutex> g(lock);
    seenType = f ? fs::path(f->FileName()).extension().string() : "memory";
    r->ContentText = "ok";
  };
  Start();
  const std::string data("binary\0\r\ndata", 13);
  EXPECT_EQ(Body(Exchange(port, Upload(Multipart("C:\\Users\\me\\report.bin", data)))), "ok");
  ASSERT_TRUE(WaitUntil([&] { return Saved() == std::set<std::string>{"report.bin"}; })) << Saved().size();
  EXPECT_EQ(Slurp(dir / "save" / "report.bin"), data);
  {
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(seenType, ".vyn_ps");
  }

  // A traversal name is refused: nothing lands anywhere, and the owner hears
  // of it.
  EXPECT_EQ(Body(Exchange(port, Upload(Multipart("../../escaped.bin", "x")))), "ok");
  ASSERT_TRUE(WaitUntil([&] { return !Errors().empty(); }));
  EXPECT_NE(Errors().back().find("refused"), std::string::npos);
  EXPECT_EQ(Saved(), std::set<std::string>{"report.bin"});
  EXPECT_FALSE(fs::exists(dir / "escaped.bin"));

  // A body cut short leaves no temporary file behind.
  {
    loopback::Fd fd = Connect(port);
    const std::string full = Upload(Multipart("late.bin", std::string(1000, 'z')));
    loopback::SendAll(fd.get(), full.substr(0, full.size() - 500));
  }
  ASSERT_TRUE(WaitUntil([&] { return Saved() == std::set<std::string>{"report.bin"}; }));

  // Other bodies stay in memory.
  EXPECT_EQ(Body(Exchange(port,
                          "POST /x HTTP/1.1\r\nHost: h\r\nConnection: close\r\nContent-Type: "
                          "application/json\r\nContent-Length: 2\r\n\r\n{}")),
            "ok");
  std::lock_guard<std::mutex> g(lock);
  EXPECT_EQ(seenType, "memory");
}

TEST_F(WSDispatch, WithoutRemoveBoundariesTheBodyFileStays) {
  server->HTTPUploadFiles().StreamType = TwsPostStreamType::pstFileStream;
  server->HTTPUploadFiles().RemoveBoundaries = false;
  server->HTTPUploadFiles().MinSize = 300;
  server->HTTPUploadFiles().SaveDirectory = (dir / "save").string();
  Start();
  const std::string small = Multipart("a.txt", "x");
  ASSERT_LT(small.size(), 300u);
  Exchange(port, Upload(small));
  const std::string large = Multipart("b.txt", std::string(400, 'y'));
  Exchange(port, Upload(large));
  ASSERT_TRUE(WaitUntil([&] { return Saved().size() == 1; }));
  const fs::path kept = dir / "save" / *Saved().begin();
  EXPECT_EQ(kept.extension(), ".vyn_ps");
  EXPECT_EQ(Slurp(kept), large);
}

TEST_F(WSDispatch, UnknownSchemesGoToOnUnknownAuthentication) {
  server->Authentication().Enabled = true;
  server->Authentication().Basic.Enabled = true;
  server->Authentication().AuthUsers.Add("alice=wonder");
  server->OnUnknownAuthentication = [](TvynWSConnectionServer*, const std::string& aType, const std::string& aData,
                                       std::string& aUser, std::string& aPassword, bool& aOk) {
    aOk = SameText(aType, "Bearer") && aData == "good-token";
    if (aOk) {
      aUser = "alice";
      aPassword = "wonder";
    }
  };
  Start();
  EXPECT_EQ(Body(Get(port, "/a", "Authorization: Bearer good-token\r\n")), "handler:/a");
  EXPECT_TRUE(Get(port, "/b", "Authorization: Bearer bad-token\r\n").starts_with("HTTP/1.1 401 "));
  EXPECT_TRUE(Get(port, "/c", "Authorization: Negotiate abc\r\n").starts_with("HTTP/1.1 401 "));
  EXPECT_EQ(Body(Get(port, "/d", "Authorization: Basic YWxpY2U6d29uZGVy\r\n")), "handler:/d");
  EXPECT_EQ(Handled(), (std::vector<std::string>{"GET /a", "GET /d"}));
}

TEST_F(WSDispatch, ForwardedRequestsSkipTheHandler) {
  // The upstream: a second component on loopback.
  const std::uint16_t upstreamPort = FreePort();
  TvynWSHTTPServer upstream;
  BindLoopback(upstream, upstreamPort);
  std::string upstreamSaw;
  upstream.OnCommandGet = upstream.OnCommandOther = [&](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
    std::lock_guard<std::mutex> g(lock);
    upstreamSaw = q->Command + " " + q->Document + " " + q->RawHeaders().Values("X-Forwarded-For");
    r->ContentText = "upstream:" + q->Document;
  };
  upstream.SetActive(true);
  std::string afterError = "not raised";
  server->OnBeforeForwardHTTP = [&](TvynWSConnectionServer*, TIdHTTPRequestInfo* q, TvynWSServerForwardHTTP& f) {
    f.Enabled = q->Document.starts_with("/api/");
    f.URL = "http://127.0.0.1:" + std::to_string(q->Document == "/api/down" ? FreePort() : upstreamPort);
  };
  server->OnAfterForwardHTTP = [&](TvynWSConnectionServer*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo*,
                                   const std::exception* e) {
    std::lock_guard<std::mutex> g(lock);
    afterError = e ? "error" : "none";
  };
  Start();
  EXPECT_EQ(Body(Get(port, "/api/items")), "upstream:/api/items");
  {
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(upstreamSaw, "GET /api/items 127.0.0.1");
    EXPECT_EQ(afterError, "none");
  }
  EXPECT_EQ(Body(Exchange(port, "DELETE /api/x HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n")), "upstream:/api/x");
  EXPECT_TRUE(Get(port, "/api/down").starts_with("HTTP/1.1 500 "));
  {
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(afterError, "error");
  }
  EXPECT_EQ(Body(Get(port, "/local")), "handler:/local");
  EXPECT_EQ(Handled(), (std::vector<std::string>{"GET /local"}));
  upstream.SetActive(false);
}

}  // namespace
