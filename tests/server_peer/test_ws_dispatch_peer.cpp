// The component's own answers against real peers: curl fetching the
// built-in client script over HTTP and HTTPS (certificates made at test
// time), curl uploading files with -F into the save folder (and a traversal
// name refused), and requests forwarded to nginx and to a python3 server.
#include <atomic>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "server/vynWSHTTPServer.h"
#include "tests/server/server_fixture.h"
#include "tests/transport_peer/http_peers.h"

namespace fs = std::filesystem;

namespace {

// curl's output (body, or what -w adds) and its exit status.
struct CurlResult {
  std::string Output;
  int Status = -1;
};

CurlResult Curl(std::vector<std::string> aArgs) {
  aArgs.insert(aArgs.begin(), {"curl", "-sS", "--max-time", "20"});
  opensslpeer::Process p(aArgs);
  p.CloseInput();
  CurlResult r;
  r.Output = p.ReadAll(30000);
  r.Status = p.Wait(30000);
  return r;
}

class WSDispatchPeer : public ::testing::Test {
protected:
  void SetUp() override {
    port = wstest::FreePort();
    server = std::make_unique<TvynWSHTTPServer>();
    server->NotifyEvents = TwsNotifyEvent::neNoSync;
    wstest::BindLoopback(*server, port);
    server->OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo* q, TIdHTTPResponseInfo* r) {
      r->ContentText = "handler:" + q->Document;
    };
    server->OnException = [this](TvynWSConnectionServer*, const Exception& e) {
      std::lock_guard<std::mutex> g(lock);
      errors.push_back(e.Message());
    };
  }
  void TearDown() override { server.reset(); }
  std::string URL(const std::string& aPath) const { return "http://127.0.0.1:" + std::to_string(port) + aPath; }
  std::set<std::string> Saved() {
    std::set<std::string> names;
    // Parts being written have hidden temporary names.
    for (const auto& e : fs::directory_iterator(save.Path("save")))
      if (e.path().filename().string()[0] != '.') names.insert(e.path().filename().string());
    return names;
  }

  wstest::StackUser stack;
  std::uint16_t port = 0;
  std::unique_ptr<TvynWSHTTPServer> server;
  proxypeer::TempDir save;
  std::mutex lock;
  std::vector<std::string> errors;
};

TEST_F(WSDispatchPeer, CurlFetchesTheClientScriptOverHTTPAndHTTPS) {
  opensslpeer::Certificates certs;
  const std::uint16_t tlsPort = wstest::FreePort();
  TIdSocketHandle& tls = server->Bindings().Add();
  tls.SetIP("127.0.0.1");
  tls.SetPort(tlsPort);
  server->SSLOptions().CertFile = certs.Path("server.pem");
  server->SSLOptions().KeyFile = certs.Path("server.key");
  server->SSLOptions().Port = tlsPort;
  server->SetSSL(true);
  server->SetActive(true);

  CurlResult plain = Curl({"-i", URL("/static/Corvane.js")});
  ASSERT_EQ(plain.Status, 0) << plain.Output;
  EXPECT_NE(plain.Output.find("Content-Type: text/javascript; charset=utf-8"), std::string::npos) << plain.Output;
  EXPECT_NE(plain.Output.find("\"ws://127.0.0.1:" + std::to_string(port) + "\""), std::string::npos) << plain.Output;

  CurlResult secure =
      Curl({"--cacert", certs.Path("ca.pem"), "--resolve", "localhost:" + std::to_string(tlsPort) + ":127.0.0.1",
            "https://localhost:" + std::to_string(tlsPort) + "/Corvane.js"});
  ASSERT_EQ(secure.Status, 0) << secure.Output;
  EXPECT_NE(secure.Output.find("\"wss://127.0.0.1:" + std::to_string(tlsPort) + "\""), std::string::npos)
      << secure.Output;
  EXPECT_EQ(secure.Output.find("{%"), std::string::npos);

  // Another script is the owner's.
  EXPECT_EQ(Curl({URL("/app.js")}).Output, "handler:/app.js");
}

TEST_F(WSDispatchPeer, CurlUploadsLandInTheSaveFolderAndTraversalIsRefused) {
  fs::create_directories(save.Path("save"));
  server->HTTPUploadFiles().StreamType = TwsPostStreamType::pstFileStream;
  server->HTTPUploadFiles().SaveDirectory = save.Path("save");
  server->SetActive(true);
  std::string content;
  for (int i = 0; i < 20000; ++i) content += static_cast<char>(i * 7);
  const std::string local = save.Write("local.bin", content);
  const std::string notes = save.Write("notes.txt", "some notes\r\n--not a boundary\r\n");

  CurlResult up = Curl({"-F", "first=@" + local, "-F", "second=@" + notes, "-F", "field=value", URL("/upload")});
  ASSERT_EQ(up.Status, 0) << up.Output;
  EXPECT_EQ(up.Output, "handler:/upload");
  ASSERT_TRUE(wstest::WaitUntil([&] { return Saved().size() == 2; })) << Saved().size();
  EXPECT_EQ(Saved(), (std::set<std::string>{"local.bin", "notes.txt"}));
  EXPECT_EQ(save.Read("save/local.bin"), content);
  EXPECT_EQ(save.Read("save/notes.txt"), "some notes\r\n--not a boundary\r\n");

  // The same name again is a new file; the first stays.
  ASSERT_EQ(Curl({"-F", "again=@" + notes + ";filename=local.bin", URL("/upload")}).Status, 0);
  ASSERT_TRUE(wstest::WaitUntil([&] { return Saved().size() == 3; }));
  EXPECT_EQ(save.Read("save/local.bin"), content);
  EXPECT_EQ(save.Read("save/local_1.bin"), save.Read("notes.txt"));

  ASSERT_EQ(Curl({"-F", "evil=@" + notes + ";filename=../../escaped.txt", URL("/upload")}).Status, 0);
  ASSERT_TRUE(wstest::WaitUntil([&] {
    std::lock_guard<std::mutex> g(lock);
    return !errors.empty();
  }));
  EXPECT_EQ(Saved().size(), 3u);
  EXPECT_FALSE(fs::exists(save.Path("escaped.txt")));
  EXPECT_FALSE(fs::exists(fs::path(save.Path("")).parent_path() / "escaped.txt"));
}

TEST_F(WSDispatchPeer, RequestsForwardedToNginxAndPython) {
  opensslpeer::Certificates certs;
  httppeer::Nginx nginx(certs, "");
  httppeer::PythonRaw python(
      R"PY(    "/echo": lambda lines, body: b"HTTP/1.1 201 Created\r\nContent-Type: text/plain\r\nX-Seen: " +
        b"|".join(l for l in lines[1:] if l.lower().startswith(b"x-forwarded")) +
        b"\r\nContent-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body,)PY");
  std::atomic<bool> viaTLS{false};
  server->OnBeforeForwardHTTP = [&](TvynWSConnectionServer*, TIdHTTPRequestInfo* q, TvynWSServerForwardHTTP& f) {
    if (q->Document == "/hello.txt") {
      f.Enabled = true;
      f.URL = viaTLS ? nginx.TLSURL("") : nginx.URL("");
    } else if (q->Document == "/echo") {
      f.Enabled = true;
      f.URL = python.URL("");
    }
  };
  server->SetActive(true);

  CurlResult hello = Curl({URL("/hello.txt")});
  ASSERT_EQ(hello.Status, 0) << hello.Output;
  EXPECT_EQ(hello.Output, "hello from nginx");
  // Over TLS the version is negotiated (nginx refuses TLS 1.0).
  viaTLS = true;
  CurlResult secure = Curl({URL("/hello.txt")});
  ASSERT_EQ(secure.Status, 0) << secure.Output;
  EXPECT_EQ(secure.Output, "hello from nginx");

  CurlResult echo = Curl({"-i", "-H", "Content-Type: application/json", "--data-binary", "{\"event\":42}", "-H",
                          "Host: public.example", URL("/echo")});
  ASSERT_EQ(echo.Status, 0) << echo.Output;
  EXPECT_TRUE(echo.Output.starts_with("HTTP/1.1 201 ")) << echo.Output;
  EXPECT_NE(echo.Output.find("X-Seen: X-Forwarded-For: 127.0.0.1|X-Forwarded-Host: public.example"), std::string::npos)
      << echo.Output;
  EXPECT_TRUE(echo.Output.ends_with("\r\n\r\n{\"event\":42}")) << echo.Output;
  EXPECT_NE(echo.Output.find("Server: Corvane 4.5.1"), std::string::npos);

  EXPECT_EQ(Curl({URL("/local")}).Output, "handler:/local");
}

}  // namespace
