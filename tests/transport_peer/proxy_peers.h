// Proxy programs as peers: tinyproxy, squid, microsocks and danted, each
// started with a configuration written at test time on a free loopback
// port, waited for with a bound and stopped by its process id; and a line
// echo server for the tunnels to reach.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "openssl_peer.h"
#include "tests/transport/loopback.h"

namespace proxypeer {

using opensslpeer::FreePort;
using opensslpeer::Process;
using opensslpeer::Run;

// A fresh folder open to the unprivileged user that a peer started as root
// drops to (squid's login helper reads the password file as that user). It
// lies in the system's temporary folder: the build tree may sit below a
// folder that user cannot enter.
class TempDir {
public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "proxy_peerXXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    FDir = tmpl;
    ::chmod(FDir.c_str(), 0777);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
  }
  std::string Path(const std::string& AName) const { return (FDir / AName).string(); }
  std::string Write(const std::string& AName, const std::string& AText) const {
    std::ofstream(Path(AName), std::ios::binary) << AText;
    ::chmod(Path(AName).c_str(), 0644);
    return Path(AName);
  }
  std::string Read(const std::string& AName) const {
    std::ifstream in(Path(AName), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

private:
  std::filesystem::path FDir;
};

// True once something accepts connections on APort of 127.0.0.1 (or ::1),
// at most AMs; false at once when AProcess ends first.
inline bool WaitForPort(std::uint16_t APort, Process& AProcess, bool AIPv6 = false, int AMs = 30000) {
  for (int waited = 0; waited < AMs; waited += 50) {
    if (AProcess.Wait(0) != -1) return false;
    int fd = ::socket(AIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage addr{};
    socklen_t len;
    if (AIPv6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
      a->sin6_family = AF_INET6;
      a->sin6_addr = in6addr_loopback;
      a->sin6_port = htons(APort);
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&addr);
      a->sin_family = AF_INET;
      a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a->sin_port = htons(APort);
      len = sizeof *a;
    }
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// One proxy program on a free port, stopped when this goes.
class Peer {
public:
  Peer(const std::string& AName, std::vector<std::string> AArgs, std::uint16_t APort, const TempDir& ADir,
       const std::string& ALog = "", bool AIPv6 = false)
      : FPort(APort), FDir(ADir), FLog(ALog) {
    FProcess = std::make_unique<Process>(AArgs);
    if (!WaitForPort(FPort, *FProcess, AIPv6)) {
      std::string why = AName + " did not start:\n" + FProcess->ReadAll(500);
      if (!FLog.empty()) why += ADir.Read(FLog);
      throw std::runtime_error(why);
    }
  }
  std::uint16_t Port() const { return FPort; }
  // What the program said, for a failing test's message.
  std::string Log() const { return FLog.empty() ? std::string() : FDir.Read(FLog); }

private:
  std::uint16_t FPort;
  const TempDir& FDir;
  std::string FLog;
  std::unique_ptr<Process> FProcess;
};

inline std::unique_ptr<Peer> Tinyproxy(const TempDir& ADir, const std::string& AUser = "",
                                       const std::string& APassword = "") {
  const std::uint16_t port = FreePort();
  const std::string name = "tinyproxy" + std::to_string(port);
  std::string conf = "Port " + std::to_string(port) +
                     "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\nAllow ::1\n"
                     "LogLevel Info\nLogFile \"" +
                     ADir.Path(name + ".log") + "\"\n";
  if (!AUser.empty()) conf += "BasicAuth " + AUser + " " + APassword + "\n";
  const std::string file = ADir.Write(name + ".conf", conf);
  return std::make_unique<Peer>("tinyproxy", std::vector<std::string>{"tinyproxy", "-d", "-c", file}, port, ADir,
                                name + ".log");
}

// squid; with a user, Basic logins are checked by its NCSA helper against an
// htpasswd file made with openssl passwd -apr1.
inline std::unique_ptr<Peer> Squid(const TempDir& ADir, const std::string& AUser = "",
                                   const std::string& APassword = "") {
  const std::uint16_t port = FreePort();
  const std::string name = "squid" + std::to_string(port);
  std::string conf = "http_port 127.0.0.1:" + std::to_string(port) + "\npid_filename " + ADir.Path(name + ".pid") +
                     "\ncache_log " + ADir.Path(name + ".log") +
                     "\naccess_log none\ncache deny all\ncache_mem 8 MB\ncoredump_dir " + ADir.Path("") +
                     "\nshutdown_lifetime 0 seconds\nnetdb_filename none\npinger_enable off\n"
                     "acl to_loopback dst 127.0.0.0/8 ::1\nhttp_access deny !to_loopback\n";
  if (!AUser.empty()) {
    Process passwd({"openssl", "passwd", "-apr1", APassword});
    passwd.CloseInput();
    std::string hash = passwd.ReadAll(10000);
    if (passwd.Wait(10000) != 0) throw std::runtime_error("openssl passwd failed");
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
    const std::string users = ADir.Write(name + ".htpasswd", AUser + ":" + hash + "\n");
    conf += "auth_param basic program /usr/lib/squid/basic_ncsa_auth " + users +
            "\nauth_param basic children 1\nauth_param basic realm test\n"
            "acl authed proxy_auth REQUIRED\nhttp_access allow authed\n";
  } else {
    conf += "http_access allow all\n";
  }
  conf += "http_access deny all\n";
  const std::string file = ADir.Write(name + ".conf", conf);
  return std::make_unique<Peer>("squid", std::vector<std::string>{"squid", "-N", "-f", file}, port, ADir,
                                name + ".log");
}

// microsocks on 127.0.0.1, or on ::1 with AIPv6 (a port free on IPv4 is
// taken as free there too).
inline std::unique_ptr<Peer> Microsocks(const TempDir& ADir, const std::string& AUser = "",
                                        const std::string& APassword = "", bool AIPv6 = false) {
  const std::uint16_t port = FreePort();
  std::vector<std::string> args{"microsocks", "-i", AIPv6 ? "::1" : "127.0.0.1", "-p", std::to_string(port)};
  if (!AUser.empty()) args.insert(args.end(), {"-u", AUser, "-P", APassword});
  return std::make_unique<Peer>("microsocks", args, port, ADir, "", AIPv6);
}

// danted without authentication: its user name method checks system
// accounts, which a test cannot make.
inline std::unique_ptr<Peer> Danted(const TempDir& ADir) {
  const std::uint16_t port = FreePort();
  const std::string name = "danted" + std::to_string(port);
  std::string conf = "logoutput: " + ADir.Path(name + ".log") + "\ninternal: 127.0.0.1 port = " + std::to_string(port) +
                     "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n";
  if (::geteuid() == 0) conf += "user.unprivileged: nobody\n";
  conf += "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\nsocks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
  const std::string file = ADir.Write(name + ".conf", conf);
  return std::make_unique<Peer>("danted", std::vector<std::string>{"danted", "-f", file, "-N", "1"}, port, ADir,
                                name + ".log");
}

// A SOCKS 4 and 4A relay in python3, for 4A: neither danted nor microsocks
// grants it. It relays one connection at a time and refuses (91) a user id
// other than AUser.
inline std::unique_ptr<Peer> Socks4ARelay(const TempDir& ADir, const std::string& AUser) {
  static const char* const kScript = R"(import select, socket, struct, sys
port, user = int(sys.argv[1]), sys.argv[2].encode()
listener = socket.create_server(("127.0.0.1", port))
def until_nul(c):
    out = b""
    while len(out) < 1024:
        b = c.recv(1)
        if not b or b == b"\0":
            return out
        out += b
    raise ValueError("field too long")
while True:
    client, _ = listener.accept()
    client.settimeout(10)
    try:
        head = b""
        while len(head) < 8:
            more = client.recv(8 - len(head))
            if not more:
                raise ValueError("short request")
            head += more
        ver, cmd, dport = struct.unpack(">BBH", head[:4])
        ip = head[4:8]
        uid = until_nul(client)
        host = socket.inet_ntoa(ip)
        if ip[:3] == b"\0\0\0" and ip[3] != 0:
            host = until_nul(client).decode()
        if ver != 4 or cmd != 1 or uid != user:
            client.sendall(b"\0\x5b" + b"\0" * 6)
            continue
        try:
            target = socket.create_connection((host, dport), timeout=10)
        except OSError:
            client.sendall(b"\0\x5b" + b"\0" * 6)
            continue
        client.sendall(b"\0\x5a" + b"\0" * 6)
        ends = [client, target]
        while True:
            ready, _, _ = select.select(ends, [], [], 10)
            if not ready:
                break
            data = ready[0].recv(65536)
            if not data:
                break
            (target if ready[0] is client else client).sendall(data)
        target.close()
    except (OSError, ValueError):
        pass
    finally:
        client.close()
)";
  const std::uint16_t port = FreePort();
  const std::string script = ADir.Write("socks4a.py", kScript);
  return std::make_unique<Peer>("python3 SOCKS 4A relay",
                                std::vector<std::string>{"python3", script, std::to_string(port), AUser}, port, ADir);
}

// Echoes every byte back, one connection at a time, on 127.0.0.1 or ::1,
// until it goes.
class EchoServer {
public:
  explicit EchoServer(const std::string& AHost = "127.0.0.1") : FListener(AHost) {
    FThread = std::thread([this] {
      while (!FStop) {
        pollfd p{FListener.Handle(), POLLIN, 0};
        if (::poll(&p, 1, 100) != 1) continue;
        loopback::Fd fd(::accept4(FListener.Handle(), nullptr, nullptr, SOCK_CLOEXEC));
        ++FAccepted;
        char buf[16384];
        for (int idle = 0; !FStop && idle < 100;) {
          pollfd q{fd.get(), POLLIN, 0};
          if (::poll(&q, 1, 100) != 1) {
            ++idle;
            continue;
          }
          ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
          if (n <= 0) break;
          try {
            loopback::SendAll(fd.get(), std::string(buf, static_cast<std::size_t>(n)));
          } catch (const std::exception&) {
            break;
          }
        }
      }
    });
  }
  ~EchoServer() {
    FStop = true;
    FThread.join();
  }
  std::uint16_t Port() const { return FListener.Port(); }
  int Accepted() const { return FAccepted; }

private:
  loopback::Listener FListener;
  std::atomic<bool> FStop{false};
  std::atomic<int> FAccepted{0};
  std::thread FThread;
};

}  // namespace proxypeer
