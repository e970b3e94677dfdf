// Basic and Digest values checked by a real HTTP server: python3's
// http.server with a handler that verifies credentials on its own (hashlib,
// base64). curl's values are sent to the same server first, so the checker
// itself is known to accept what a known client sends.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <filesystem>
#include <fstream>

#include "../transport/loopback.h"
#include "openssl_peer.h"
#include "transport/vynIdAuthentication.h"

namespace {

constexpr const char* kServerScript = R"PY(
import base64, hashlib, http.server, re, sys
USER, PASSWORD, REALM, NONCE = sys.argv[1], sys.argv[2], "peer@test", "4c1e0b2f9d"

def md5(s):
    return hashlib.md5(s.encode("utf-8")).hexdigest()

def params(value):
    return {m.group(1).lower(): (m.group(2) if m.group(2) is not None else m.group(3))
            for m in re.finditer(r'(\w+)=(?:"((?:[^"\\]|\\.)*)"|([^,\s]+))', value)}

class H(http.server.BaseHTTPRequestHandler):
    def log_message(self, *a):
        pass
    def answer(self, code, challenge=None):
        self.send_response(code)
        if challenge:
            self.send_header("WWW-Authenticate", challenge)
        self.send_header("Content-Length", "0")
        self.end_headers()
    def ok_basic(self, auth):
        if not auth.startswith("Basic "):
            return False
        try:
            return base64.b64decode(auth[6:], validate=True).decode("utf-8") == USER + ":" + PASSWORD
        except Exception:
            return False
    def ok_digest(self, auth):
        if not auth.startswith("Digest "):
            return False
        p = params(auth[7:])
        if p.get("username") != USER or p.get("realm") != REALM or p.get("nonce") != NONCE:
            return False
        if p.get("uri") != self.path:
            return False
        ha1 = md5(USER + ":" + REALM + ":" + PASSWORD)
        ha2 = md5(self.command + ":" + p["uri"])
        if p.get("qop") == "auth":
            expect = md5(":".join([ha1, NONCE, p.get("nc", ""), p.get("cnonce", ""), "auth", ha2]))
        else:
            expect = md5(ha1 + ":" + NONCE + ":" + ha2)
        return p.get("response") == expect
    def do_GET(self):
        auth = self.headers.get("Authorization", "")
        if self.path.startswith("/basic"):
            ok, challenge = self.ok_basic(auth), 'Basic realm="%s", charset="UTF-8"' % REALM
        else:
            ok = self.ok_digest(auth)
            challenge = 'Digest realm="%s", qop="auth", nonce="%s", opaque="0pq"' % (REALM, NONCE)
        self.answer(200 if ok else 401, None if ok else challenge)

srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), H)
print("PORT %d" % srv.server_address[1], flush=True)
srv.serve_forever()
)PY";

struct Reply {
  int status = 0;
  TIdHeaderList challenges{TIdHeaderQuotingType::QuoteHTTP};
};

// One HTTP/1.0 GET on a fresh connection.
Reply Get(int APort, const std::string& APath, const std::string& AAuthorization) {
  loopback::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(APort));
  ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("connect");
  std::string req = "GET " + APath + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
  if (!AAuthorization.empty()) req += "Authorization: " + AAuthorization + "\r\n";
  loopback::SendAll(fd.get(), req + "\r\n");
  std::string text = loopback::RecvUpTo(fd.get(), 65536);
  Reply r;
  TStringList lines;
  lines.SetText(text.substr(0, text.find("\r\n\r\n")));
  if (lines.Count() > 0 && lines[0].size() >= 12) r.status = std::stoi(lines[0].substr(9, 3));
  TIdHeaderList headers(TIdHeaderQuotingType::QuoteHTTP);
  for (int i = 1; i < lines.Count(); ++i) headers.Add(lines[i]);
  headers.Extract("WWW-Authenticate", r.challenges);
  return r;
}

class AuthPeer : public ::testing::Test {
protected:
  void SetUp() override {
    FDir = std::filesystem::temp_directory_path() / ("auth_peer_" + std::to_string(::getpid()));
    std::filesystem::create_directories(FDir);
    std::ofstream(FDir / "server.py") << kServerScript;
    FServer = std::make_unique<opensslpeer::Process>(
        std::vector<std::string>{"python3", (FDir / "server.py").string(), "jo", "s\xC3\xA9same 1"});
    ASSERT_TRUE(FServer->WaitFor("PORT ", 10000)) << FServer->Output();
    const std::string& out = FServer->Output();
    FPort = std::stoi(out.substr(out.find("PORT ") + 5));
  }
  void TearDown() override {
    FServer.reset();
    std::filesystem::remove_all(FDir);
  }
  std::string Curl(const std::vector<std::string>& AArgs) {
    std::vector<std::string> args{"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "10"};
    args.insert(args.end(), AArgs.begin(), AArgs.end());
    opensslpeer::Process p(args);
    p.CloseInput();
    std::string out = p.ReadAll(15000);
    p.Wait(15000);
    return out;
  }
  std::string Url(const std::string& APath) { return "http://127.0.0.1:" + std::to_string(FPort) + APath; }

  std::filesystem::path FDir;
  std::unique_ptr<opensslpeer::Process> FServer;
  int FPort = 0;
};

TEST_F(AuthPeer, BasicAcceptedLikeCurls) {
  EXPECT_EQ(Curl({"-u", "jo:s\xC3\xA9same 1", Url("/basic")}), "200");
  Reply first = Get(FPort, "/basic", "");
  ASSERT_EQ(first.status, 401);
  TIdBasicAuthentication auth;
  auth.SetAuthParams(first.challenges);
  auth.SetUsername("jo");
  auth.SetPassword("s\xC3\xA9same 1");
  ASSERT_EQ(auth.Next(), TIdAuthWhatsNext::wnDoRequest);
  EXPECT_EQ(Get(FPort, "/basic", auth.Authentication()).status, 200);
  auth.SetPassword("wrong");
  EXPECT_EQ(Get(FPort, "/basic", auth.Authentication()).status, 401);
}

TEST_F(AuthPeer, DigestAcceptedLikeCurls) {
  EXPECT_EQ(Curl({"--digest", "-u", "jo:s\xC3\xA9same 1", Url("/digest/a?b=1")}), "200");
  Reply first = Get(FPort, "/digest/a?b=1", "");
  ASSERT_EQ(first.status, 401);
  ASSERT_EQ(first.challenges.Count(), 1);
  TIdDigestAuthentication auth;
  auth.SetAuthParams(first.challenges);
  auth.SetUsername("jo");
  auth.SetPassword("s\xC3\xA9same 1");
  // Two requests on one nonce: the count goes up and both are accepted.
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(auth.Next(), TIdAuthWhatsNext::wnDoRequest);
    auth.SetRequest("GET", "/digest/a?b=1");
    EXPECT_EQ(Get(FPort, "/digest/a?b=1", auth.Authentication()).status, 200) << i;
  }
  auth.Next();
  auth.SetRequest("GET", "/digest/other");
  EXPECT_EQ(Get(FPort, "/digest/a?b=1", auth.Authentication()).status, 401);
}

}  // namespace
