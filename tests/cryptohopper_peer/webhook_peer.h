// What the webhook receiver's tests share: one PEM file holding a
// self-signed certificate for 127.0.0.1 and its key encrypted with a
// password (the window's single certificate field names such a file), and
// curl as the service calling the receiver.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/http_api_peer/web_peer.h"

namespace webhookpeer {

inline constexpr const char* kKeyPassword = "hook-pass";

// vyn.pem (certificate, then the encrypted key) in a fresh folder.
class ReceiverCertificate {
public:
  ReceiverCertificate() : FDir("webhook_cert") {
    const std::string cert = FDir.Path("cert.pem"), key = FDir.Path("key.pem");
    const webpeer::CommandResult r =
        webpeer::RunCommand({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                             "-keyout", key, "-out", cert, "-days", "30", "-subj", "/CN=127.0.0.1", "-addext",
                             "subjectAltName=IP:127.0.0.1", "-passout", std::string("pass:") + kKeyPassword});
    if (r.Exit != 0) throw std::runtime_error("openssl req: " + r.Err);
    std::ofstream out(Path(), std::ios::binary);
    out << Slurp(cert) << Slurp(key);
  }
  std::string Path() const { return FDir.Path("vyn.pem"); }
  std::string Folder() const { return FDir.Path(); }

private:
  static std::string Slurp(const std::string& APath) {
    std::ifstream in(APath, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  webpeer::TempDir FDir;
};

// One call made by curl: status, content type and body of the answer.
struct Answer {
  int Exit = -1;
  int Status = 0;
  std::string ContentType;
  std::string Body;
};

// AMethod to https://127.0.0.1:APort/ with ABody (none when empty) and the
// signature header when ASignature is not empty; the receiver's
// certificate is trusted explicitly.
inline Answer Call(std::uint16_t APort, const std::string& ACA, const std::string& AMethod, const std::string& ABody,
                   const std::string& ASignature = {}) {
  webpeer::TempDir dir("webhook_call");
  const std::string bodyFile = dir.Path("body");
  std::vector<std::string> args = {"curl", "-sS",  "--max-time", "20", "--cacert",
                                   ACA,    "-o",   bodyFile,     "-w", "%{http_code} %{content_type}",
                                   "-X",   AMethod};
  if (!ABody.empty()) {
    args.push_back("--data-binary");
    args.push_back(ABody);
    args.push_back("-H");
    args.push_back("Content-Type: application/json");
  }
  if (!ASignature.empty()) {
    args.push_back("-H");
    args.push_back("X-HUB-SIGNATURE: " + ASignature);
  }
  args.push_back("https://127.0.0.1:" + std::to_string(APort) + "/");
  const webpeer::CommandResult r = webpeer::RunCommand(args);
  Answer a;
  a.Exit = r.Exit;
  const std::size_t space = r.Out.find(' ');
  a.Status = std::atoi(r.Out.substr(0, space).c_str());
  if (space != std::string::npos) a.ContentType = r.Out.substr(space + 1);
  std::ifstream in(bodyFile, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  a.Body = s.str();
  return a;
}

// True when a plain TCP connect to 127.0.0.1:APort is refused: nothing
// listens there.
inline bool Refused(std::uint16_t APort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(APort);
  const bool refused = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == ECONNREFUSED;
  ::close(fd);
  return refused;
}

}  // namespace webhookpeer

namespace webhookpeer {

// The service sending many webhook calls at once: python3 with a bounded
// number of threads, each on its own HTTPS connection (a new one when the
// receiver closes it). Argument: port, CA file, number of calls, threads.
// Call n carries the body {"type":"messages","n":n} and a signature. Prints
// READY at the start and "DONE ok=<answered 200> failed=<others>" at the end.
inline constexpr const char* kFloodScript = R"PY(
import http.client, json, ssl, sys, threading

port, ca, total, threads = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
ctx = ssl.create_default_context(cafile=ca)
lock = threading.Lock()
ok = [0]
failed = [0]
print("READY", flush=True)

def worker(first):
    conn = None
    for n in range(first, total, threads):
        body = json.dumps({"type": "messages", "n": n})
        sent = False
        for attempt in range(3):
            try:
                if conn is None:
                    conn = http.client.HTTPSConnection("127.0.0.1", port, context=ctx, timeout=30)
                conn.request("POST", "/", body, {"Content-Type": "application/json", "X-HUB-SIGNATURE": "sig-%d" % n})
                r = conn.getresponse()
                r.read()
                sent = r.status == 200
                if r.getheader("Connection", "").lower() == "close":
                    conn.close()
                    conn = None
                break
            except (OSError, http.client.HTTPException):
                # Sent at most once: a call that may have arrived is not repeated.
                if conn is not None:
                    conn.close()
                conn = None
                if attempt == 0 and isinstance(sys.exc_info()[1], ConnectionRefusedError):
                    continue
                break
        with lock:
            if sent:
                ok[0] += 1
            else:
                failed[0] += 1

ts = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
for t in ts:
    t.start()
for t in ts:
    t.join()
print("DONE ok=%d failed=%d" % (ok[0], failed[0]), flush=True)
)PY";

}  // namespace webhookpeer
