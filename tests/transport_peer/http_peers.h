// HTTP servers as peers for client tests: nginx with a configuration written
// at test time (plain and TLS listeners on free loopback ports, redirects,
// cookies, Basic logins, static files), and python3 answering with raw
// bytes for the answers nginx would never give (chunked, cut short,
// malformed). Each runs in a fresh folder and is stopped by its process id.
#pragma once

#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "openssl_peer.h"
#include "proxy_peers.h"

namespace httppeer {

using opensslpeer::Certificates;
using opensslpeer::FreePort;
using opensslpeer::Process;
using proxypeer::TempDir;
using proxypeer::WaitForPort;

// nginx with one server on a plain and a TLS port. AServerBlock is added
// inside the server block; the folder holds www/ (the document root) and
// htpasswd for Basic logins (user "joe", password "secret").
class Nginx {
public:
  Nginx(const Certificates& ACerts, const std::string& AServerBlock) : FPort(FreePort()), FTLSPort(FreePort()) {
    std::filesystem::create_directories(FDir.Path("www/private"));
    std::ofstream(FDir.Path("www/private/index.txt")) << "the secret";
    std::ofstream(FDir.Path("www/hello.txt")) << "hello from nginx";
    ::chmod(FDir.Path("www").c_str(), 0755);
    ::chmod(FDir.Path("www/private").c_str(), 0755);
    Process passwd({"openssl", "passwd", "-apr1", "secret"});
    passwd.CloseInput();
    std::string hash = passwd.ReadAll(10000);
    if (passwd.Wait(10000) != 0) throw std::runtime_error("openssl passwd failed");
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
    FDir.Write("htpasswd", "joe:" + hash + "\n");
    // Certificates live in the build tree; nginx reads them before it drops
    // any privilege, so they are copied next to the configuration.
    std::filesystem::copy_file(ACerts.Path("server.pem"), FDir.Path("server.pem"));
    std::filesystem::copy_file(ACerts.Path("server.key"), FDir.Path("server.key"));
    const std::string d = FDir.Path("");
    std::string conf = "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    if (::geteuid() == 0) conf += "user root;\n";
    conf += "pid " + d + "nginx.pid;\nerror_log " + d +
            "error.log warn;\nevents { worker_connections 64; }\n"
            "http {\n  access_log off;\n  client_body_temp_path " +
            d + "body;\n  proxy_temp_path " + d + "proxy;\n  fastcgi_temp_path " + d + "fastcgi;\n  uwsgi_temp_path " +
            d + "uwsgi;\n  scgi_temp_path " + d +
            "scgi;\n  absolute_redirect off;\n  keepalive_requests 1000;\n"
            "  server {\n    listen 127.0.0.1:" +
            std::to_string(FPort) + ";\n    listen 127.0.0.1:" + std::to_string(FTLSPort) +
            " ssl;\n    ssl_certificate " + d + "server.pem;\n    ssl_certificate_key " + d + "server.key;\n    root " +
            d + "www;\n" + AServerBlock + "\n  }\n}\n";
    FConf = FDir.Write("nginx.conf", conf);
    FProcess = std::make_unique<Process>(std::vector<std::string>{"nginx", "-p", d, "-c", FConf});
    if (!WaitForPort(FPort, *FProcess) || !WaitForPort(FTLSPort, *FProcess))
      throw std::runtime_error("nginx did not start:\n" + FProcess->ReadAll(500) + FDir.Read("error.log"));
  }
  std::uint16_t Port() const { return FPort; }
  std::uint16_t TLSPort() const { return FTLSPort; }
  std::string URL(const std::string& APath) const { return "http://127.0.0.1:" + std::to_string(FPort) + APath; }
  std::string TLSURL(const std::string& APath) const { return "https://127.0.0.1:" + std::to_string(FTLSPort) + APath; }
  std::string ErrorLog() const { return FDir.Read("error.log"); }

private:
  TempDir FDir;
  std::uint16_t FPort;
  std::uint16_t FTLSPort;
  std::string FConf;
  std::unique_ptr<Process> FProcess;
};

// python3 answering each request on one connection with the raw bytes a
// table of paths gives (the script's ANSWERS); every other path gets 404.
// An answer that ends in the marker "<close>" is sent without it and the
// connection is closed.
class PythonRaw {
public:
  explicit PythonRaw(const std::string& AAnswers) : FPort(FreePort()) {
    const std::string script = std::string(R"PY(import socket, sys
ANSWERS = {
)PY") + AAnswers + R"PY(
}
port = int(sys.argv[1])
srv = socket.create_server(("127.0.0.1", port))
srv.settimeout(60)
while True:
    try:
        conn, _ = srv.accept()
    except socket.timeout:
        break
    conn.settimeout(10)
    buf = b""
    try:
        while True:
            while b"\r\n\r\n" not in buf:
                more = conn.recv(65536)
                if not more:
                    raise EOFError
                buf += more
            head, buf = buf.split(b"\r\n\r\n", 1)
            lines = head.split(b"\r\n")
            path = lines[0].split(b" ")[1].decode()
            length = 0
            for l in lines[1:]:
                if l.lower().startswith(b"content-length:"):
                    length = int(l.split(b":", 1)[1])
            while len(buf) < length:
                more = conn.recv(65536)
                if not more:
                    raise EOFError
                buf += more
            body, buf = buf[:length], buf[length:]
            answer = ANSWERS.get(path, b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
            if callable(answer):
                answer = answer(lines, body)
            close = answer.endswith(b"<close>")
            conn.sendall(answer[:-7] if close else answer)
            if close:
                break
    except (EOFError, OSError):
        pass
    conn.close()
)PY";
    FScript = FDir.Write("raw_server.py", script);
    FProcess = std::make_unique<Process>(std::vector<std::string>{"python3", FScript, std::to_string(FPort)});
    if (!WaitForPort(FPort, *FProcess)) throw std::runtime_error("python3 did not start:\n" + FProcess->ReadAll(500));
  }
  std::uint16_t Port() const { return FPort; }
  std::string URL(const std::string& APath) const { return "http://127.0.0.1:" + std::to_string(FPort) + APath; }

private:
  TempDir FDir;
  std::uint16_t FPort;
  std::string FScript;
  std::unique_ptr<Process> FProcess;
};

}  // namespace httppeer
