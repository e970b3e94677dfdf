// The HTTP server's request loop against curl on loopback, plain and over
// TLS with certificates made at test time. Each accepted connection runs the
// loop on a thread of its own, as the TCP server's worker does.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "openssl_peer.h"
#include "transport/vynIdCustomHTTPServer.h"
#include "transport/vynIdIOHandlerStack.h"
#include "transport/vynIdSSLOpenSSL.h"
#include "transport/vynIdSocketHandle.h"
#include "transport/vynIdStack.h"
#include "transport/vynIdTCPConnection.h"

using opensslpeer::Certificates;
using opensslpeer::Process;

namespace {

Certificates* gCerts = nullptr;

// A loopback listener that serves every connection with the server's loop.
class LoopbackServer {
public:
  LoopbackServer(TIdCustomHTTPServer& AServer, TIdServerIOHandlerSSLOpenSSL* ATLS) : FServer(AServer), FTLS(ATLS) {
    FHandle.SetIPVersion(TIdIPVersion::Id_IPv4);
    FHandle.AllocateSocket();
    FHandle.SetIP("127.0.0.1");
    FHandle.SetPort(0);
    FHandle.Bind();
    FHandle.Listen(16);
    FAcceptor = std::thread([this] { AcceptLoop(); });
  }
  ~LoopbackServer() {
    FStop = true;
    FAcceptor.join();
    std::lock_guard<std::mutex> lock(FMutex);
    for (auto& w : FWorkers) w.join();
  }
  std::uint16_t Port() const { return FHandle.Port(); }
  int Accepted() const { return FAccepted; }
  // Changes a setting between connections: once those so far ended (their
  // clients are gone), and before the next one starts.
  void BetweenConnections(const std::function<void()>& AChange) {
    std::lock_guard<std::mutex> lock(FMutex);
    for (auto& w : FWorkers) w.join();
    FWorkers.clear();
    AChange();
  }

private:
  void AcceptLoop() {
    while (!FStop) {
      if (!FHandle.Readable(100)) continue;
      std::unique_ptr<TIdIOHandlerStack> h;
      if (FTLS) {
        h.reset(FTLS->Accept(FHandle));
      } else {
        h = std::make_unique<TIdIOHandlerStack>();
        h->Open();
        if (!h->Binding()->Accept(FHandle.Handle())) h.reset();
      }
      if (!h) continue;
      h->AfterAccept();
      ++FAccepted;
      std::lock_guard<std::mutex> lock(FMutex);
      FWorkers.emplace_back([this, handler = std::move(h)]() mutable {
        TIdTCPConnection connection;
        try {
          if (FTLS) static_cast<TIdSSLIOHandlerSocketOpenSSL*>(handler.get())->SetPassThrough(false);
          connection.SetIOHandler(handler.get());
          FServer.ServeConnection(nullptr, connection);
        } catch (const std::exception&) {
          // The client's close or a time-out ends the connection.
        }
        connection.SetIOHandler(nullptr);
      });
    }
  }

  TIdCustomHTTPServer& FServer;
  TIdServerIOHandlerSSLOpenSSL* FTLS;
  TIdSocketHandle FHandle;
  std::thread FAcceptor;
  std::atomic<bool> FStop{false};
  std::atomic<int> FAccepted{0};
  std::mutex FMutex;
  std::vector<std::thread> FWorkers;
};

struct CurlResult {
  int ExitCode;
  std::string Output;
};

CurlResult Curl(std::vector<std::string> AArgs) {
  AArgs.insert(AArgs.begin(), {"curl", "-sS", "--max-time", "20"});
  Process p(AArgs);
  p.CloseInput();
  CurlResult r;
  r.Output = p.ReadAll(25000);
  r.ExitCode = p.Wait(5000);
  return r;
}

class HTTPServerCurlTest : public ::testing::Test {
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
    root = std::filesystem::current_path() / ("http_curl_root_" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "docs");
    std::ofstream(root / "docs" / "page.html") << "<p>page</p>";
    std::ofstream(root.string() + "_secret.txt") << "secret";
    server.KeepAlive = true;
    server.IdleTimeout = 3000;
    server.ServerSoftware = "TestServer";
    server.OnCommandGet =
        server.OnCommandOther = [this](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) { Handle(*q, *r); };
  }
  void TearDown() override {
    listener.reset();
    std::filesystem::remove_all(root);
    std::filesystem::remove(root.string() + "_secret.txt");
  }

  void Handle(TIdHTTPRequestInfo& q, TIdHTTPResponseInfo& r) {
    if (q.Document == "/echo") {
      // A form post (curl's -d) arrives as FormParams, other bodies as a stream.
      std::string body = q.FormParams;
      if (TStream* s = q.PostStream()) {
        body.resize(static_cast<std::size_t>(s->Size()));
        if (!body.empty()) s->ReadBuffer(body.data(), s->Size());
      }
      r.SetContentType("text/plain");
      r.ContentText = q.Command + " " + std::to_string(body.size()) + " " + body.substr(0, 16);
    } else if (q.Document == "/auth") {
      if (q.AuthUsername == "user" && q.AuthPassword == "pa:ss")
        r.ContentText = "welcome";
      else
        r.AuthRealm = "test realm";
    } else if (q.Document == "/cookie") {
      TIdCookie& c = r.Cookies().Add();
      c.CookieName = "served";
      c.Value = "yes";
      c.Path = "/";
      std::string names;
      for (int i = 0; i < q.Cookies().Count(); ++i) names += q.Cookies().GetCookie(i).CookieName + ";";
      r.ContentText = names;
    } else {
      std::string file;
      if (IdResolveDocumentPath(root.string(), q.URI, file))
        r.SmartServeFile(nullptr, &q, file);
      else
        r.SetResponseNo(404);
    }
  }

  std::string Start(TIdServerIOHandlerSSLOpenSSL* ATLS = nullptr) {
    listener = std::make_unique<LoopbackServer>(server, ATLS);
    return std::string(ATLS ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(listener->Port());
  }

  std::filesystem::path root;
  TIdHTTPServer server;
  std::unique_ptr<LoopbackServer> listener;
};

TEST_F(HTTPServerCurlTest, VersionsAndHead) {
  std::string base = Start();
  struct Case {
    const char* Flag;
    const char* StatusLine;
    const char* Connection;
  };
  for (const Case& c :
       {Case{"--http1.0", "HTTP/1.1 200 OK", "close"}, Case{"--http1.1", "HTTP/1.1 200 OK", "keep-alive"}}) {
    SCOPED_TRACE(c.Flag);
    CurlResult r = Curl({c.Flag, "-i", base + "/docs/page.html"});
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    EXPECT_EQ(r.Output.rfind(c.StatusLine, 0), 0u) << r.Output;
    EXPECT_NE(r.Output.find("Content-Type: text/html"), std::string::npos) << r.Output;
    EXPECT_NE(r.Output.find(std::string("Connection: ") + c.Connection), std::string::npos) << r.Output;
    EXPECT_NE(r.Output.find("Server: TestServer"), std::string::npos);
    EXPECT_NE(r.Output.find("\r\n\r\n<p>page</p>"), std::string::npos) << r.Output;
  }
  CurlResult head = Curl({"-I", base + "/docs/page.html"});
  ASSERT_EQ(head.ExitCode, 0) << head.Output;
  // The file's length is announced, its bytes are not sent.
  EXPECT_NE(head.Output.find("Content-Length: 11"), std::string::npos) << head.Output;
  EXPECT_EQ(head.Output.find("<p>"), std::string::npos);
  // So is the length of a handler's text ("HEAD 0 "), without the text.
  CurlResult headText = Curl({"-I", base + "/echo"});
  EXPECT_NE(headText.Output.find("Content-Length: 7"), std::string::npos) << headText.Output;
  EXPECT_EQ(headText.Output.find("HEAD 0"), std::string::npos) << headText.Output;
}

TEST_F(HTTPServerCurlTest, SeveralURLsShareOneKeepAliveConnection) {
  std::string base = Start();
  CurlResult r = Curl({base + "/echo?1", base + "/echo?2", base + "/docs/page.html", base + "/echo?3"});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_EQ(r.Output, "GET 0 GET 0 <p>page</p>GET 0 ");
  EXPECT_EQ(listener->Accepted(), 1);
}

TEST_F(HTTPServerCurlTest, ExpectationsAndUploads) {
  std::string base = Start();
  std::string big(200000, 'b');
  std::string file = (root / "upload.bin").string();
  std::ofstream(file, std::ios::binary) << big;
  CurlResult cont = Curl({"-v", "-H", "Expect: 100-continue", "--data-binary", "@" + file, base + "/echo"});
  ASSERT_EQ(cont.ExitCode, 0) << cont.Output;
  EXPECT_NE(cont.Output.find("HTTP/1.1 100 Continue"), std::string::npos) << cont.Output;
  EXPECT_NE(cont.Output.find("POST 200000 bbbb"), std::string::npos) << cont.Output;

  // An expectation is judged before any body byte arrived, so the request
  // must not send one at once.
  CurlResult refused = Curl({"-w", "%{http_code}", "-o", "/dev/null", "-H", "Expect: bogus", base + "/echo"});
  EXPECT_EQ(refused.Output, "417");

  CurlResult chunked = Curl({"-H", "Transfer-Encoding: chunked", "-H", "Content-Type: application/octet-stream",
                             "--data-binary", "@" + file, base + "/echo"});
  ASSERT_EQ(chunked.ExitCode, 0) << chunked.Output;
  EXPECT_EQ(chunked.Output, "POST 200000 bbbbbbbbbbbbbbbb");

  listener->BetweenConnections([&] { server.MaximumRequestBodySize = 1000; });
  CurlResult tooLarge = Curl({"-w", "%{http_code}", "-o", "/dev/null", "--data-binary", "@" + file, base + "/echo"});
  EXPECT_EQ(tooLarge.Output, "413");
}

TEST_F(HTTPServerCurlTest, BasicAuthentication) {
  std::string base = Start();
  CurlResult ok = Curl({"-u", "user:pa:ss", base + "/auth"});
  EXPECT_EQ(ok.Output, "welcome");
  CurlResult wrong = Curl({"-i", "-u", "user:wrong", base + "/auth"});
  EXPECT_EQ(wrong.Output.rfind("HTTP/1.1 401 Unauthorized", 0), 0u) << wrong.Output;
  EXPECT_NE(wrong.Output.find("WWW-Authenticate: Basic realm=\"test realm\""), std::string::npos) << wrong.Output;
  // curl answers the challenge by itself when asked to pick a scheme.
  CurlResult any = Curl({"--anyauth", "-u", "user:pa:ss", base + "/auth"});
  EXPECT_EQ(any.Output, "welcome");
}

TEST_F(HTTPServerCurlTest, CookiesBothWays) {
  std::string base = Start();
  std::string jar = (root / "jar.txt").string();
  CurlResult r = Curl({"-b", "a=1; b=2", "-c", jar, base + "/cookie"});
  EXPECT_EQ(r.Output, "a;b;");
  std::ifstream in(jar);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("served\tyes"), std::string::npos) << text;
}

TEST_F(HTTPServerCurlTest, TraversalAttemptsStayInsideTheRoot) {
  std::string base = Start();
  const std::string secret = std::filesystem::path(root.string() + "_secret.txt").filename().string();
  for (const std::string& path : std::vector<std::string>{
           "/../" + secret, "/%2e%2e/" + secret, "/docs/..%2f..%2f" + secret, "/docs%2f..%2f..%2f" + secret,
           std::string("/docs/page.html%00.txt"), std::string("/docs")}) {
    SCOPED_TRACE(path);
    CurlResult r = Curl({"--path-as-is", "-w", "%{http_code}", "-o", "/dev/null", base + path});
    EXPECT_EQ(r.Output, "404");
  }
}

TEST_F(HTTPServerCurlTest, HTTPSWithKeepAlive) {
  TIdServerIOHandlerSSLOpenSSL tls;
  tls.SSLOptions().Mode = TIdSSLMode::sslmServer;
  tls.SSLOptions().SetMethod(TIdSSLVersion::sslvTLSv1_2);
  tls.SSLOptions().CertFile = gCerts->Path("server.pem");
  tls.SSLOptions().KeyFile = gCerts->Path("server.key");
  tls.Init();
  std::string base = Start(&tls);
  CurlResult r = Curl({"--cacert", gCerts->Path("ca.pem"), base + "/echo", base + "/docs/page.html"});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_EQ(r.Output, "GET 0 <p>page</p>");
  EXPECT_EQ(listener->Accepted(), 1);
  CurlResult post = Curl({"--cacert", gCerts->Path("ca.pem"), "-d", "{\"type\":\"ping\"}", base + "/echo"});
  EXPECT_EQ(post.Output, "POST 15 {\"type\":\"ping\"}");
}

// A request whose head arrives in separate TLS records is gathered before
// it is answered.
TEST_F(HTTPServerCurlTest, HeadSplitAcrossTLSRecordsFromSClient) {
  TIdServerIOHandlerSSLOpenSSL tls;
  tls.SSLOptions().Mode = TIdSSLMode::sslmServer;
  tls.SSLOptions().SetMethod(TIdSSLVersion::sslvTLSv1_2);
  tls.SSLOptions().CertFile = gCerts->Path("server.pem");
  tls.SSLOptions().KeyFile = gCerts->Path("server.key");
  tls.Init();
  Start(&tls);
  Process client({"openssl", "s_client", "-quiet", "-connect", "127.0.0.1:" + std::to_string(listener->Port()),
                  "-CAfile", gCerts->Path("ca.pem"), "-crlf", "-ign_eof"});
  // Each write becomes a record of its own.
  for (const char* piece : {"GET /docs/page.html HTTP/1.1\n", "Host: localhost\n", "Connection: close\n", "\n"}) {
    client.Write(piece);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  EXPECT_TRUE(client.WaitFor("<p>page</p>", 10000)) << client.Output();
  EXPECT_NE(client.Output().find("HTTP/1.1 200 OK"), std::string::npos) << client.Output();
}

// bin/webserver as a process, with each of its schedulers: plain and HTTPS
// ports, a stop by SIGTERM.
TEST_F(HTTPServerCurlTest, WebserverToolServesAndStopsOnSignal) {
  std::ofstream(root / "docs" / "index.html") << "<p>index</p>";
  for (const char* scheduler : {"threads", "events"}) {
    SCOPED_TRACE(scheduler);
    const std::string port = std::to_string(opensslpeer::FreePort());
    const std::string tlsPort = std::to_string(opensslpeer::FreePort());
    Process tool({WEBSERVER_BIN, "--root", root.string(), "--port", port, "--tls-port", tlsPort, "--cert",
                  gCerts->Path("server.pem"), "--key", gCerts->Path("server.key"), "--keep-alive", "--scheduler",
                  scheduler});
    ASSERT_TRUE(tool.WaitFor("listening on https://127.0.0.1:" + tlsPort + "/", 10000)) << tool.Output();
    CurlResult plain = Curl({"http://127.0.0.1:" + port + "/docs/page.html", "http://127.0.0.1:" + port + "/docs/"});
    EXPECT_EQ(plain.Output, "<p>page</p><p>index</p>");
    CurlResult secure = Curl({"--cacert", gCerts->Path("ca.pem"), "https://localhost:" + tlsPort + "/docs/page.html"});
    EXPECT_EQ(secure.Output, "<p>page</p>");
    // Both current TLS versions are offered.
    for (const char* version : {"--tlsv1.3", "--tls-max"}) {
      std::vector<std::string> args{"--cacert", gCerts->Path("ca.pem"), version};
      if (std::string(version) == "--tls-max") args.push_back("1.2");
      args.push_back("https://localhost:" + tlsPort + "/docs/page.html");
      EXPECT_EQ(Curl(args).Output, "<p>page</p>") << version;
    }
    CurlResult post =
        Curl({"-H", "Content-Type: application/json", "-d", "{\"a\":1}", "http://127.0.0.1:" + port + "/hook"});
    EXPECT_EQ(post.Output, "{\"status\":\"ok\"}");
    CurlResult traversal =
        Curl({"--path-as-is", "-w", "%{http_code}", "-o", "/dev/null", "http://127.0.0.1:" + port + "/../"});
    EXPECT_EQ(traversal.Output, "404");
    ::kill(tool.Pid(), SIGTERM);
    EXPECT_EQ(tool.Wait(10000), 0);
    EXPECT_NE(tool.ReadAll(2000).find("stopped"), std::string::npos) << tool.Output();
  }
}

TEST_F(HTTPServerCurlTest, WebserverToolRefusesBadArguments) {
  Process tool({WEBSERVER_BIN, "--port", "80"});
  tool.CloseInput();
  EXPECT_EQ(tool.Wait(10000), 2);
  EXPECT_NE(tool.ReadAll(2000).find("usage: webserver --root DIR"), std::string::npos);
}

}  // namespace
