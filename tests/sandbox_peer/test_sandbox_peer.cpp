// The sandbox service over the wire: curl as the client (tokens, the 401s,
// an order's life, bad input, many requests at once), the certificate it
// makes, and its webhook calls to python3 HTTPS receivers that check the
// signature themselves.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "tests/http_api_peer/web_peer.h"
#include "tools/sandbox/sandbox.h"
#include "tools/sandbox/sandbox_json.h"

namespace {

using webpeer::Certificates;
using webpeer::CommandResult;
using webpeer::Python;
using webpeer::RunCommand;
using webpeer::TempDir;
namespace json = sandbox::json;

// Answers "validate" with the code it was given, "messages" with 200 and an
// empty body; prints one line per call: GOT <type> <signature ok?> <body>.
// Given the code "huge" or "drip" it misbehaves instead: a chunked answer of
// 256 MiB, or a byte every half second; then it prints SENT <bytes> when it
// stops, because it is done or the sandbox hung up.
// It listens on a port the system picks and names it ("PORT <n> READY"): a
// port chosen beforehand may be taken by a parallel test before it binds.
constexpr const char* kReceiver = R"PY(
import hashlib, hmac, http.server, json, socketserver, ssl, sys, time
cert, key, code, secret = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]

class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *a):
        pass
    def do_POST(self):
        n = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(n)
        if code in ("huge", "drip"):
            return self.misbehave()
        kind = json.loads(body).get("type", "")
        sig = self.headers.get("X-HUB-SIGNATURE") or ""
        good = hmac.compare_digest(sig, hmac.new(secret.encode(), body, hashlib.sha256).hexdigest())
        print("GOT", kind, "SIGOK" if good else "SIGBAD", body.decode(), flush=True)
        out = code.encode() if kind == "validate" else b""
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(out)))
        self.end_headers()
        self.wfile.write(out)
    def misbehave(self):
        self.send_response(200)
        self.close_connection = True
        sent = 0
        try:
            if code == "huge":
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                chunk = b"10000\r\n" + b"x" * 65536 + b"\r\n"
                for _ in range(4096):
                    self.wfile.write(chunk)
                    sent += 65536
                self.wfile.write(b"0\r\n\r\n")
            else:
                self.send_header("Content-Length", "100")
                self.end_headers()
                for _ in range(100):
                    self.wfile.write(b"9")
                    self.wfile.flush()
                    sent += 1
                    time.sleep(0.5)
        except OSError:
            pass
        print("SENT", sent, flush=True)

class S(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

srv = S(("127.0.0.1", 0), H)
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(cert, key)
srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
print("PORT %d READY" % srv.server_address[1], flush=True)
srv.serve_forever()
)PY";

class SandboxPeerTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { FCerts = new Certificates(); }
  static void TearDownTestSuite() { delete FCerts; }

  void SetUp() override { Restart(Settings()); }
  static sandbox::Options Settings() {
    sandbox::Options o;
    o.ClientSecret = "peer-secret";
    // Receivers use certificates of the test root.
    o.WebhookRootCertFile = FCerts->Path("ca.pem");
    return o;
  }
  void Restart(const sandbox::Options& aOptions) {
    if (service) service->Stop();
    service = std::make_unique<sandbox::Service>(aOptions);
    service->Start();
  }
  void TearDown() override { service->Stop(); }

  // curl with the sandbox's certificate as the one root; the status code is
  // appended to the body on a line of its own.
  CommandResult Curl(std::vector<std::string> aArgs) {
    std::vector<std::string> argv{"curl", "-sS",           "--max-time", "20", "--cacert", service->CertFile(),
                                  "-w",   "\n%{http_code}"};
    argv.insert(argv.end(), aArgs.begin(), aArgs.end());
    return RunCommand(argv);
  }
  static std::pair<std::string, std::string> BodyAndStatus(const CommandResult& r) {
    const std::size_t nl = r.Out.rfind('\n');
    if (nl == std::string::npos) return {r.Out, ""};
    return {r.Out.substr(0, nl), r.Out.substr(nl + 1)};
  }
  static std::string Member(const std::string& aText, std::vector<std::string> aPath) {
    json::Value v;
    std::string why;
    if (!json::Parse(aText, v, why)) return "(not JSON: " + why + ")";
    const json::Value* at = &v;
    for (const std::string& name : aPath)
      if (!(at = at->Find(name))) return {};
    return at->Text;
  }
  std::string Token() {
    auto [body, status] = BodyAndStatus(
        Curl({"-d", "grant_type=client_credentials&scope=read&client_id=sandbox-client&client_secret=peer-secret",
              service->TokenURL()}));
    EXPECT_EQ(status, "200") << body;
    return Member(body, {"access_token"});
  }
  std::pair<std::string, std::string> API(const std::string& aMethod, const std::string& aPath,
                                          const std::string& aToken, const std::string& aBody = {}) {
    std::vector<std::string> args{"-X", aMethod, "-H", "content-type: application/json"};
    if (!aToken.empty()) args.insert(args.end(), {"-H", "access-token: " + aToken});
    if (!aBody.empty()) args.insert(args.end(), {"--data-binary", aBody});
    args.push_back(service->APIBaseURL() + aPath);
    return BodyAndStatus(Curl(args));
  }
  // A receiver with the test root's server certificate answering aCode.
  struct Receiver {
    std::unique_ptr<Python> Script;
    std::uint16_t Port = 0;
  };
  // aCode "huge" or "drip": a receiver that misbehaves (see kReceiver).
  Receiver StartReceiver(const std::string& aCode) {
    Receiver r;
    r.Script = std::make_unique<Python>(
        kReceiver,
        std::vector<std::string>{FCerts->Path("server.pem"), FCerts->Path("server.key"), aCode, "peer-secret"});
    const std::string& out = r.Script->Proc().Output();
    const std::size_t at = out.find("PORT ");
    if (at != std::string::npos) r.Port = static_cast<std::uint16_t>(std::atoi(out.c_str() + at + 5));
    return r;
  }
  // The calls a receiver printed, once it printed at least aAtLeast of them
  // (at most about ten seconds). Its output is read in short rounds rather
  // than one fixed window: a round that starts late under load must not
  // end before it read what is already there.
  static std::vector<std::string> Calls(Receiver& aReceiver, std::size_t aAtLeast) {
    std::vector<std::string> out;
    for (int round = 0; round < 200; ++round) {
      aReceiver.Script->Proc().ReadAll(50);
      out.clear();
      std::istringstream in(aReceiver.Script->Proc().Output());
      for (std::string line; std::getline(in, line);)
        if (line.rfind("GOT ", 0) == 0) out.push_back(line);
      if (out.size() >= aAtLeast) break;
    }
    return out;
  }

  std::string Register(const std::string& aToken, std::uint16_t aPort) {
    const std::string url = "https://127.0.0.1:" + std::to_string(aPort) + "/hook";
    EXPECT_EQ(API("POST", "/api/webhooks", aToken, "{\"webhook_url\": \"" + url + "\"}").second, "200");
    return url;
  }
  // The deliveries made so far to aURL.
  std::vector<sandbox::WebhookDelivery> DeliveriesTo(const std::string& aURL) const {
    std::vector<sandbox::WebhookDelivery> out;
    for (const sandbox::WebhookDelivery& d : service->Deliveries())
      if (d.URL == aURL) out.push_back(d);
    return out;
  }

  static Certificates* FCerts;
  std::unique_ptr<sandbox::Service> service;
};
Certificates* SandboxPeerTest::FCerts = nullptr;

TEST_F(SandboxPeerTest, TokensAndAccessChecksWithCurl) {
  auto [body, status] = API("GET", "/hopper", "");
  EXPECT_EQ(status, "401");
  EXPECT_EQ(Member(body, {"error"}), "unauthorized");
  EXPECT_EQ(API("GET", "/hopper", "made-up").second, "401");

  auto [refused, code] = BodyAndStatus(
      Curl({"-d", "grant_type=client_credentials&client_id=sandbox-client&client_secret=wrong", service->TokenURL()}));
  EXPECT_EQ(code, "400");
  EXPECT_EQ(Member(refused, {"error"}), "invalid_client");

  const std::string token = Token();
  ASSERT_FALSE(token.empty());
  auto [hoppers, ok] = API("GET", "/hopper", token);
  EXPECT_EQ(ok, "200") << hoppers;
  EXPECT_NE(hoppers.find("\"name\":\"Sandbox BTC hopper\""), std::string::npos);
  // The public market reads need none.
  EXPECT_EQ(API("GET", "/exchange/binance/ticker/BTC-USDT", "").second, "200");
  // The certificate holds for the name as well as the address.
  CommandResult byName = Curl({"https://localhost:" + std::to_string(service->Port()) + "/v1/exchange"});
  EXPECT_EQ(BodyAndStatus(byName).second, "200") << byName.Err;
}

TEST_F(SandboxPeerTest, AnOrdersLifeWithCurl) {
  const std::string token = Token();
  auto [placed, s1] =
      API("POST", "/hopper/1/order", token, R"({"order_type":"buy","coin":"BTC","amount":0.5,"price":100})");
  ASSERT_EQ(s1, "200") << placed;
  const std::string id = Member(placed, {"data", "order", "id"});
  EXPECT_EQ(API("GET", "/hopper/1/order/" + id, token).second, "200");
  EXPECT_EQ(API("DELETE", "/hopper/1/order/" + id, token).second, "200");
  EXPECT_EQ(Member(API("GET", "/hopper/1/order/" + id, token).first, {"data", "order", "status"}), "cancelled");
  // DELETE with a body, as the client sends it.
  EXPECT_EQ(API("DELETE", "/hopper/1/order", token, "{\"order_id\": " + id + "}").second, "200");
  EXPECT_EQ(API("GET", "/hopper/1/order/" + id, token).second, "404");
  // Paper trading switched on through PATCH and read back.
  EXPECT_EQ(API("PATCH", "/hopper/2", token, R"({"enabled":1,"config":{"paper_trading":0}})").second, "200");
  const std::string two = API("GET", "/hopper/2", token).first;
  EXPECT_EQ(Member(two, {"data", "hopper", "enabled"}), "1");
  EXPECT_EQ(Member(two, {"data", "hopper", "paper_trading"}), "0");
}

TEST_F(SandboxPeerTest, BadInputOverTheWire) {
  const std::string token = Token();
  auto [body, status] = API("POST", "/hopper", token, "{\"name\":");
  EXPECT_EQ(status, "400");
  EXPECT_EQ(Member(body, {"error"}), "invalid_json");
  EXPECT_EQ(API("GET", "/nothing/here", token).second, "404");
  // A body above the limit is refused before it is read.
  TempDir dir("big");
  dir.Write("body", std::string(2 * 1024 * 1024, 'x'));
  CommandResult big = Curl(
      {"-H", "access-token: " + token, "--data-binary", "@" + dir.Path("body"), service->APIBaseURL() + "/hopper"});
  EXPECT_EQ(BodyAndStatus(big).second, "413");
  // Garbage instead of TLS, then a request that is not HTTP: the service
  // answers the next client as before.
  RunCommand(
      {"python3", "-c",
       "import socket; s = socket.create_connection(('127.0.0.1', " + std::to_string(service->Port()) +
           ")); s.settimeout(5); s.sendall(b'hello\\r\\n\\r\\n' * 100)\ntry: s.recv(100)\nexcept OSError: pass"});
  RunCommand({"sh", "-c",
              "printf 'NOT HTTP\\r\\n\\r\\n' | timeout 5 openssl s_client -quiet -connect 127.0.0.1:" +
                  std::to_string(service->Port()) + " >/dev/null 2>&1; true"});
  EXPECT_EQ(API("GET", "/hopper/1", token).second, "200");
}

TEST_F(SandboxPeerTest, CertificateFilesAreMadeAtStart) {
  TempDir dir("certs");
  sandbox::Options o;
  o.CertDir = dir.Path();
  sandbox::Service own(o);
  own.Start();
  struct stat st {};
  for (const std::string& f : {own.KeyFile(), own.CombinedFile()}) {
    ASSERT_EQ(::stat(f.c_str(), &st), 0) << f;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
  }
  CommandResult text = RunCommand({"openssl", "x509", "-in", own.CertFile(), "-noout", "-text"});
  EXPECT_EQ(text.Exit, 0) << text.Err;
  EXPECT_NE(text.Out.find("IP Address:127.0.0.1"), std::string::npos) << text.Out;
  EXPECT_NE(text.Out.find("DNS:localhost"), std::string::npos);
  // The key in the combined file belongs to the certificate.
  CommandResult check = RunCommand({"sh", "-c",
                                    "openssl x509 -in '" + own.CombinedFile() + "' -noout -pubkey; openssl pkey -in '" +
                                        own.CombinedFile() + "' -pubout"});
  const std::size_t half = check.Out.size() / 2;
  EXPECT_EQ(check.Out.substr(0, half), check.Out.substr(half));
  own.Stop();
  // A folder the sandbox made itself goes with it.
  const std::string made = std::filesystem::path(service->CertFile()).parent_path().string();
  service->Stop();
  EXPECT_FALSE(std::filesystem::exists(made));
  EXPECT_TRUE(std::filesystem::exists(dir.Path("cert.pem")));
}

TEST_F(SandboxPeerTest, WebhooksAreValidatedThenSentSignedEvents) {
  auto good = StartReceiver("9632");
  auto wrongCode = StartReceiver("1234");
  auto cancelsOnly = StartReceiver("9632");
  for (const Receiver* r : {&good, &wrongCode, &cancelsOnly}) ASSERT_NE(r->Port, 0) << r->Script->Proc().Output();
  const std::uint16_t goodPort = good.Port, badPort = wrongCode.Port, cancelPort = cancelsOnly.Port;
  const std::string token = Token();
  auto url = [](std::uint16_t p) { return "https://127.0.0.1:" + std::to_string(p) + "/hook"; };
  for (auto [port, types] :
       {std::pair<std::uint16_t, std::string>{goodPort, ""}, {badPort, ""}, {cancelPort, "order_cancelled"}})
    EXPECT_EQ(API("POST", "/api/webhooks", token,
                  "{\"webhook_url\": \"" + url(port) + "\", \"message_types\": \"" + types + "\"}")
                  .second,
              "200");
  // A market order (placed and traded) and a limit order cancelled.
  EXPECT_EQ(API("POST", "/hopper/1/order", token, R"({"order_type":"buy","coin":"ETH","amount":1})").second, "200");
  const std::string limit =
      API("POST", "/hopper/1/order", token, R"({"order_type":"buy","coin":"ETH","amount":1,"price":5})").first;
  EXPECT_EQ(API("DELETE", "/hopper/1/order/" + Member(limit, {"data", "order", "id"}), token).second, "200");
  ASSERT_TRUE(service->WaitWebhooksIdle(60000));

  auto kinds = [](const std::vector<std::string>& aCalls) {
    std::vector<std::string> out;
    for (const std::string& c : aCalls) {
      const std::string body = c.substr(c.find('{'));
      std::string kind = c.substr(4, c.find(' ', 4) - 4);
      if (kind == "messages") {
        const std::size_t at = body.find("\"message_type\":\"") + 16;
        kind += "/" + body.substr(at, body.find('"', at) - at);
      }
      out.push_back(kind + (c.find(" SIGOK ") != std::string::npos ? " signed" : ""));
    }
    return out;
  };
  // The validate call carries no signature; every event does, and it checks out.
  EXPECT_EQ(kinds(Calls(good, 5)),
            (std::vector<std::string>{"validate", "messages/order_placed signed", "messages/trade_completed signed",
                                      "messages/order_placed signed", "messages/order_cancelled signed"}));
  // A receiver that answered the wrong code hears nothing more.
  EXPECT_EQ(kinds(Calls(wrongCode, 1)), std::vector<std::string>{"validate"});
  EXPECT_EQ(kinds(Calls(cancelsOnly, 2)), (std::vector<std::string>{"validate", "messages/order_cancelled signed"}));

  // What the sandbox noted: the receivers' answers and the signature it sent.
  int validated = 0;
  for (const sandbox::WebhookDelivery& d : service->Deliveries()) {
    EXPECT_EQ(d.Status, 200) << d.URL << " " << d.Answer;
    if (d.Type == "validate" && d.Answer == "9632") ++validated;
    if (d.Type == "messages") {
      EXPECT_EQ(d.Signature, sandbox::Signature("peer-secret", d.Body));
    }
  }
  EXPECT_EQ(validated, 2);

  // Deleted, the webhook gets nothing more.
  EXPECT_EQ(API("DELETE", "/api/webhooks", token, "{\"webhook_url\": \"" + url(goodPort) + "\"}").second, "200");
  EXPECT_EQ(API("POST", "/hopper/1/order", token, R"({"order_type":"buy","coin":"ETH","amount":1})").second, "200");
  ASSERT_TRUE(service->WaitWebhooksIdle(60000));
  EXPECT_EQ(Calls(good, 5).size(), 5u);
}

TEST_F(SandboxPeerTest, ManyClientsAtOnce) {
  const std::string token = Token();
  // 200 market orders from one curl with 20 connections in flight.
  constexpr int kOrders = 200;
  std::vector<std::string> args{"-Z",
                                "--parallel-max",
                                "20",
                                "-H",
                                "access-token: " + token,
                                "--data-binary",
                                R"({"order_type":"buy","coin":"LTC","amount":1})"};
  // Each -o goes with one URL.
  for (int i = 0; i < kOrders; ++i)
    args.insert(args.end(), {"-o", "/dev/null", service->APIBaseURL() + "/hopper/1/order"});
  CommandResult r = Curl(args);
  EXPECT_EQ(r.Exit, 0) << r.Err;
  std::istringstream codes(r.Out);
  int ok = 0;
  for (std::string line; std::getline(codes, line);) ok += line == "200";
  EXPECT_EQ(ok, kOrders) << r.Out << r.Err;
  // Every order became exactly one trade, with ids of its own.
  const std::string trades = API("GET", "/hopper/1/trade", token).first;
  json::Value v;
  std::string why;
  ASSERT_TRUE(json::Parse(trades, v, why)) << why;
  const json::Value* list = v.Find("data")->Find("trades");
  ASSERT_EQ(list->Items.size(), static_cast<std::size_t>(kOrders));
  std::set<std::string> ids;
  for (const json::Value& t : list->Items) ids.insert(t.Find("order_id")->Text);
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kOrders));
  EXPECT_NE(API("GET", "/hopper/1/position", token).first.find("\"coin\":\"LTC\",\"amount\":200"), std::string::npos);
}

// A receiver's answer is read only as far as judging it needs: a huge one
// is cut, and the sandbox hangs up instead of reading on.
TEST_F(SandboxPeerTest, AWebhookAnswerIsReadOnlyAsFarAsNeeded) {
  auto huge = StartReceiver("huge");
  ASSERT_NE(huge.Port, 0) << huge.Script->Proc().Output();
  const std::string url = Register(Token(), huge.Port);
  ASSERT_TRUE(service->WaitWebhooksIdle(60000));
  const auto calls = DeliveriesTo(url);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Status, 200);
  EXPECT_EQ(calls[0].Answer.rfind("(cut: the answer is longer than 65536 bytes) xxxx", 0), 0u)
      << calls[0].Answer.substr(0, 80);
  ASSERT_TRUE(huge.Script->Proc().WaitFor("SENT ", 20000)) << huge.Script->Proc().Output();
  const std::string& out = huge.Script->Proc().Output();
  const long sent = std::atol(out.c_str() + out.find("SENT ") + 5);
  // What the sockets buffer on the way, not the 256 MiB offered.
  EXPECT_LT(sent, 32L << 20);
}

// One call has an overall deadline, and a slow receiver delays only its own
// calls: the next receiver is served while the slow one still drips.
TEST_F(SandboxPeerTest, ASlowReceiverDelaysOnlyItsOwnCalls) {
  sandbox::Options o = Settings();
  o.WebhookTimeoutMs = 2000;
  Restart(o);
  auto drip = StartReceiver("drip");
  auto good = StartReceiver("9632");
  ASSERT_NE(drip.Port, 0) << drip.Script->Proc().Output();
  ASSERT_NE(good.Port, 0) << good.Script->Proc().Output();
  const std::string token = Token();
  const auto start = std::chrono::steady_clock::now();
  const std::string slowURL = Register(token, drip.Port);
  const std::string fastURL = Register(token, good.Port);
  bool served = false;
  for (int round = 0; round < 200 && !served; ++round) {
    served = !DeliveriesTo(fastURL).empty();
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(served);
  // Still dripping: its call has not ended yet.
  EXPECT_TRUE(DeliveriesTo(slowURL).empty());
  EXPECT_EQ(DeliveriesTo(fastURL)[0].Answer, "9632");
  // Events to one receiver keep their order.
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(API("POST", "/hopper/1/order", token, R"({"order_type":"buy","coin":"ETH","amount":1})").second, "200");
  ASSERT_TRUE(service->WaitWebhooksIdle(20000));
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(took, 8.0);
  const auto slow = DeliveriesTo(slowURL);
  ASSERT_EQ(slow.size(), 1u);
  EXPECT_EQ(slow[0].Status, 0);
  EXPECT_EQ(slow[0].Answer, "no answer within 2000 ms");
  std::vector<std::string> kinds;
  for (const std::string& line : Calls(good, 7)) {
    const std::size_t at = line.find("\"message_type\":\"");
    kinds.push_back(at == std::string::npos ? "validate" : line.substr(at + 16, line.find('"', at + 16) - at - 16));
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"validate", "order_placed", "trade_completed", "order_placed",
                                             "trade_completed", "order_placed", "trade_completed"}));
}

// The connection ends when the client asks (Connection: close, or HTTP/1.0
// without keep-alive); an Authorization line of another scheme is the
// endpoint's business, and every refusal is JSON.
TEST_F(SandboxPeerTest, ConnectionAndAuthorizationAsTheClientSendsThem) {
  struct Case {
    std::vector<std::string> Args;
    const char* Connection;
  } cases[] = {
      {{}, "keep-alive"},
      {{"--http1.0"}, "close"},
      {{"-H", "Connection: close"}, "close"},
      {{"--http1.0", "-H", "Connection: keep-alive"}, "keep-alive"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"-i"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    args.push_back(service->APIBaseURL() + "/exchange");
    const CommandResult r = Curl(args);
    std::string head = r.Out.substr(0, r.Out.find("\r\n\r\n"));
    for (char& ch : head) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_NE(head.find(std::string("\r\nconnection: ") + c.Connection + "\r\n"), std::string::npos)
        << (c.Args.empty() ? "" : c.Args.back()) << "\n"
        << head;
  }
  const std::string bearer = "Authorization: Bearer some-token";
  auto [market, open] = BodyAndStatus(Curl({"-H", bearer, service->APIBaseURL() + "/exchange"}));
  EXPECT_EQ(open, "200") << market;
  auto [refused, closed] = BodyAndStatus(Curl({"-H", bearer, service->APIBaseURL() + "/hopper"}));
  EXPECT_EQ(closed, "401");
  EXPECT_EQ(Member(refused, {"error"}), "unauthorized") << refused;
  // Basic on the token endpoint is still read by the sandbox itself.
  auto [token, issued] = BodyAndStatus(
      Curl({"-u", "sandbox-client:peer-secret", "-d", "grant_type=client_credentials", service->TokenURL()}));
  EXPECT_EQ(issued, "200") << token;
}

// Connections left idle after a request are ended, so that a full house of
// them (the limit is 200) locks new clients out for seconds, not a minute.
TEST_F(SandboxPeerTest, IdleConnectionsMakeRoom) {
  constexpr const char* kHolder = R"PY(
import socket, ssl, sys, time
port, ca = int(sys.argv[1]), sys.argv[2]
ctx = ssl.create_default_context(cafile=ca)
held = []
for _ in range(200):
    try:
        s = ctx.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=10), server_hostname="127.0.0.1")
        s.sendall(b"GET /v1/exchange HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        s.recv(65536)
        held.append(s)
    except OSError:
        break
print("HELD %d READY" % len(held), flush=True)
time.sleep(40)
)PY";
  Python holder(kHolder, {std::to_string(service->Port()), service->CertFile()});
  ASSERT_NE(holder.Proc().Output().find("HELD 200"), std::string::npos) << holder.Proc().Output();
  const auto start = std::chrono::steady_clock::now();
  double servedAfter = -1;
  for (int round = 0; round < 50 && servedAfter < 0; ++round) {
    const CommandResult r = RunCommand({"curl", "-sS", "--max-time", "2", "--cacert", service->CertFile(), "-o",
                                        "/dev/null", "-w", "%{http_code}", service->APIBaseURL() + "/exchange"});
    if (r.Out == "200") {
      servedAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_GE(servedAfter, 0) << "locked out for more than the test's bound";
  EXPECT_LT(servedAfter, 15.0);
}

}  // namespace
