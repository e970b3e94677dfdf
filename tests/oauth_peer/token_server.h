// A python3 HTTPS token endpoint written at test time. It prints each request
// it receives as one line "REQ <json>" (method, path, the headers the tests
// look at, the body) and answers by its path:
//   /token/<expires>  200 with a token; <expires> is a number, "text" for the
//                     lifetime "3600" as a JSON string, or "none" to leave
//                     it out; the n-th answer carries AT-n and RT-n
//   /check            200 for client id "id" and secret "secret", else 400
//                     with an error document
//   /bare             200 with no access_token member
//   /status/<code>    that status with a plain-text body
//   /oauth2/token     as /check, with the token SVC-n for an hour
// and answers every GET with the access-token header it carried.
#pragma once

#include <string>
#include <vector>

#include "tests/http_api_peer/web_peer.h"

namespace tokenpeer {

inline constexpr const char* kTokenScript = R"PY(
import http.server, json, socketserver, ssl, sys, urllib.parse

count = 0

class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *a):
        pass
    def reply(self, code, body, ctype="application/json"):
        out = body.encode()
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(out)))
        self.end_headers()
        self.wfile.write(out)
    def do_GET(self):
        print("REQ " + json.dumps({"method": "GET", "path": self.path,
                                   "access_token": self.headers.get("access-token") or ""}), flush=True)
        self.reply(200, json.dumps({"data": {"seen": self.headers.get("access-token") or ""}}))
    def do_POST(self):
        global count
        n = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(n).decode() if n else ""
        print("REQ " + json.dumps({
            "method": self.command, "path": self.path, "body": body,
            "accept": self.headers.get("Accept") or "",
            "content_type": self.headers.get("Content-Type") or "",
            "authorization": self.headers.get("Authorization") or "",
        }), flush=True)
        parts = self.path.split("/")
        if self.path.startswith("/token/"):
            count += 1
            doc = {"access_token": "AT-%d" % count, "token_type": "bearer",
                   "refresh_token": "RT-%d" % count, "scope": "read"}
            e = parts[2]
            if e == "text":
                doc["expires_in"] = "3600"
            elif e != "none":
                doc["expires_in"] = int(e)
            self.reply(200, json.dumps(doc))
        elif self.path in ("/check", "/oauth2/token"):
            form = dict(urllib.parse.parse_qsl(body))
            if form.get("client_id") == "id" and form.get("client_secret") == "secret":
                count += 1
                token = "GOOD" if self.path == "/check" else "SVC-%d" % count
                life = 0 if self.path == "/check" else 3600
                self.reply(200, json.dumps({"access_token": token, "token_type": "bearer", "expires_in": life}))
            else:
                self.reply(400, json.dumps({"error": "invalid_client", "error_description": "Bad credentials",
                                            "error_uri": "https://127.0.0.1/doc"}))
        elif self.path == "/bare":
            self.reply(200, json.dumps({"token_type": "bearer"}))
        elif self.path.startswith("/status/"):
            self.reply(int(parts[2]), "no luck here", "text/plain")
        else:
            self.reply(404, "unknown", "text/plain")

class S(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

srv = S(("127.0.0.1", int(sys.argv[1])), H)
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(sys.argv[2], sys.argv[3])
srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
print("READY", flush=True)
srv.serve_forever()
)PY";

// The token endpoint on a free port with ACert of ACerts ("server" is made
// for 127.0.0.1 and localhost by the test CA).
class TokenServer {
public:
  TokenServer(const webpeer::Certificates& ACerts, const std::string& ACert = "server")
      : FPort(webpeer::FreePort()),
        FPython(kTokenScript, {std::to_string(FPort), ACerts.Path(ACert + ".pem"), ACerts.Path(ACert + ".key")}) {}
  std::string URL(const std::string& APath) const { return "https://127.0.0.1:" + std::to_string(FPort) + APath; }
  std::uint16_t Port() const { return FPort; }
  // The requests received, one JSON text each, in order: at least AAtLeast
  // of them unless 5 seconds pass first.
  std::vector<std::string> Requests(std::size_t AAtLeast = 1) {
    std::vector<std::string> out = Parse();
    for (int i = 0; i < 100 && out.size() < AAtLeast; ++i) {
      FPython.Proc().WaitFor("\x01", 50);  // reads what arrived meanwhile
      out = Parse();
    }
    return out;
  }

private:
  std::vector<std::string> Parse() {
    std::vector<std::string> out;
    const std::string& text = FPython.Proc().Output();
    for (std::size_t at = text.find("REQ "); at != std::string::npos; at = text.find("REQ ", at + 4)) {
      const std::size_t end = text.find('\n', at);
      if (end == std::string::npos) break;
      out.push_back(text.substr(at + 4, end - at - 4));
    }
    return out;
  }

  std::uint16_t FPort;
  webpeer::Python FPython;
};

}  // namespace tokenpeer
