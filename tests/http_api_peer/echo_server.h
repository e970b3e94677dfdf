// A python3 HTTP(S) server that answers every request with a JSON echo of it
// (method, path, request-line version, the headers the tests look at, the
// body in hexadecimal, so no escaping stands between it and the test), or with an error status for /status/<code>/...
// and /v1/status/<code>. Used as a stand-in for the service and as a body echo for the client tests.
#pragma once

#include <string>
#include <vector>

#include "tests/http_api_peer/web_peer.h"

namespace webpeer {

inline constexpr const char* kEchoScript = R"PY(
import http.server, json, re, socketserver, ssl, sys, time

class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *a):
        pass
    def answer(self):
        n = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(n) if n else b""
        if self.special():
            return
        m = re.match(r"^(?:/v1)?/status/(\d{3})", self.path)
        if m:
            code = int(m.group(1))
            out = json.dumps({"error": code, "message": "as asked"}).encode()
        else:
            code = 200
            out = json.dumps({
                "method": self.command, "path": self.path, "version": self.request_version,
                "body_hex": body.hex(),
                "authorization": self.headers.get_all("Authorization") or [],
                "proxy_authorization": self.headers.get_all("Proxy-Authorization") or [],
                "access_token": self.headers.get("access-token") or "",
                "content_type": self.headers.get("Content-Type") or "",
                "user_agent": self.headers.get("User-Agent") or "",
            }, ensure_ascii=False).encode()
        self.send_response(code)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(out)))
        self.end_headers()
        self.wfile.write(out)
    # /stream/<code>/<MiB>: that many MiB of "x" with that status, written as
    # fast as the client takes them. /drip: a byte every 0.2 s (at most 200).
    # /silent: no answer for 20 s.
    def special(self):
        m = re.match(r"^/stream/(\d{3})/(\d+)$", self.path)
        if m:
            code, mib = int(m.group(1)), min(int(m.group(2)), 512)
            self.send_response(code)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(mib << 20))
            self.end_headers()
            chunk = b"x" * 65536
            for _ in range(mib * 16):
                self.wfile.write(chunk)
            return True
        if self.path == "/drip":
            self.send_response(200)
            self.send_header("Content-Length", "200")
            self.end_headers()
            for _ in range(200):
                self.wfile.write(b"d")
                self.wfile.flush()
                time.sleep(0.2)
            return True
        if self.path == "/silent":
            time.sleep(20)
            self.close_connection = True
            return True
        return False
    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_OPTIONS = answer

class S(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

srv = S(("127.0.0.1", int(sys.argv[1])), H)
if len(sys.argv) > 3:
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(sys.argv[2], sys.argv[3])
    srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
print("READY", flush=True)
srv.serve_forever()
)PY";

// The echo server on a free port; with ACerts, over TLS with their "server"
// certificate.
class EchoServer {
public:
  explicit EchoServer(const Certificates* ACerts = nullptr)
      : FPort(FreePort()),
        FTLS(ACerts != nullptr),
        FPython(kEchoScript, ACerts ? std::vector<std::string>{std::to_string(FPort), ACerts->Path("server.pem"),
                                                               ACerts->Path("server.key")}
                                    : std::vector<std::string>{std::to_string(FPort)}) {}
  std::uint16_t Port() const { return FPort; }
  // Scheme, host and port, without a trailing slash.
  std::string Origin() const { return std::string(FTLS ? "https" : "http") + "://127.0.0.1:" + std::to_string(FPort); }

private:
  std::uint16_t FPort;
  bool FTLS;
  Python FPython;
};

}  // namespace webpeer

// What the echo server answered, field by field.
namespace webpeer {
inline std::string Hex(const std::string& AText) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : AText) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}
}  // namespace webpeer
