// Web servers as peers on loopback: nginx with a configuration written at
// test time (plain and TLS listeners, certificates from opensslpeer), and
// python3 scripts that print READY once they listen. Each runs from a fresh
// folder of the build tree, is waited for with a bound and stopped by its
// process id.
#pragma once

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/transport_peer/openssl_peer.h"

namespace webpeer {

using opensslpeer::Certificates;
using opensslpeer::FreePort;
using opensslpeer::Process;

// A fresh folder in the build tree, removed with the object.
class TempDir {
public:
  explicit TempDir(const std::string& APrefix) {
    std::string tmpl = (std::filesystem::current_path() / (APrefix + "XXXXXX")).string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    FPath = tmpl;
    // Readable by nginx's worker whatever user it runs as.
    ::chmod(FPath.c_str(), 0755);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string Path(const std::string& AName = {}) const {
    return AName.empty() ? FPath.string() : (FPath / AName).string();
  }
  void Write(const std::string& AName, const std::string& AText) const {
    std::filesystem::create_directories((FPath / AName).parent_path());
    std::ofstream(Path(AName), std::ios::binary) << AText;
  }

private:
  std::filesystem::path FPath;
};

// True once something accepts connections on 127.0.0.1:APort, within AMs.
inline bool WaitListening(std::uint16_t APort, int AMs = 10000) {
  for (int waited = 0; waited <= AMs; waited += 20) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(APort);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// openssl s_server answering each HTTPS request with a status page that
// names the TLS version the handshake settled on ("New, TLSv1.3, Cipher is
// ..."); AVersionArgs limit the versions it accepts ("-tls1_3").
class TLSStatusServer {
public:
  TLSStatusServer(const Certificates& ACerts, const std::vector<std::string>& AVersionArgs) : FPort(FreePort()) {
    std::vector<std::string> args{"openssl", "s_server",
                                  "-accept", "127.0.0.1:" + std::to_string(FPort),
                                  "-cert",   ACerts.Path("server.pem"),
                                  "-key",    ACerts.Path("server.key"),
                                  "-www",    "-quiet"};
    args.insert(args.end(), AVersionArgs.begin(), AVersionArgs.end());
    FProcess = std::make_unique<Process>(args);
    if (!WaitListening(FPort)) throw std::runtime_error("s_server did not start:\n" + FProcess->Output());
  }
  std::string URL() const { return "https://127.0.0.1:" + std::to_string(FPort) + "/"; }
  // The version named on a status page; empty when there is none.
  static std::string VersionOf(const std::string& APage) {
    const std::string mark = "New, ";
    const std::size_t at = APage.find(mark);
    if (at == std::string::npos) return {};
    const std::size_t end = APage.find(',', at + mark.size());
    return end == std::string::npos ? std::string() : APage.substr(at + mark.size(), end - at - mark.size());
  }

private:
  std::uint16_t FPort;
  std::unique_ptr<Process> FProcess;
};

// nginx in the foreground as one process, serving its document root on a
// plain port and a TLS port (ACert of ACerts: "server" is made for 127.0.0.1
// and localhost). AServerConf goes into both server blocks, with {PORT} and
// {TLSPORT} replaced by the two ports.
class Nginx {
public:
  Nginx(const Certificates& ACerts, std::string AServerConf, const std::string& ACert = "server")
      : FDir("nginx"), FPort(FreePort()), FTLSPort(FreePort()) {
    for (const auto& [key, value] : {std::pair<std::string, std::uint16_t>{"{PORT}", FPort}, {"{TLSPORT}", FTLSPort}})
      for (std::size_t at = AServerConf.find(key); at != std::string::npos; at = AServerConf.find(key))
        AServerConf.replace(at, key.size(), std::to_string(value));
    std::filesystem::create_directories(FDir.Path("root"));
    const std::string d = FDir.Path();
    std::string conf;
    conf += "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d + "/nginx.pid;\n";
    conf += "error_log " + d + "/error.log warn;\nevents { worker_connections 256; }\n";
    conf += "http {\n  access_log off;\n  default_type application/octet-stream;\n";
    for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
      conf += std::string("  ") + t + "_temp_path " + d + "/" + t + ";\n";
    conf += "  keepalive_requests 100000;\n";
    conf += "  server {\n    listen 127.0.0.1:" + std::to_string(FPort) + ";\n    root " + d + "/root;\n" +
            AServerConf + "\n  }\n";
    conf += "  server {\n    listen 127.0.0.1:" + std::to_string(FTLSPort) + " ssl;\n    root " + d + "/root;\n";
    conf += "    ssl_certificate " + ACerts.Path(ACert + ".pem") + ";\n    ssl_certificate_key " +
            ACerts.Path(ACert + ".key") + ";\n";
    conf += AServerConf + "\n  }\n}\n";
    FDir.Write("nginx.conf", conf);
    FProcess = std::make_unique<Process>(
        std::vector<std::string>{"nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"});
    if (!WaitListening(FPort) || !WaitListening(FTLSPort)) {
      std::ifstream log(d + "/error.log");
      std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
      throw std::runtime_error("nginx did not start:\n" + FProcess->Output() + text);
    }
  }
  std::uint16_t Port() const { return FPort; }
  std::uint16_t TLSPort() const { return FTLSPort; }
  std::string URL(const std::string& APath = "/") const { return "http://127.0.0.1:" + std::to_string(FPort) + APath; }
  std::string TLSURL(const std::string& APath = "/") const {
    return "https://127.0.0.1:" + std::to_string(FTLSPort) + APath;
  }
  // A file under the document root.
  void Put(const std::string& AName, const std::string& AContent) const { FDir.Write("root/" + AName, AContent); }

private:
  TempDir FDir;
  std::uint16_t FPort;
  std::uint16_t FTLSPort;
  std::unique_ptr<Process> FProcess;
};

// tinyproxy in the foreground on a free port, for loopback clients only;
// with AUser, it asks for Basic credentials.
class Tinyproxy {
public:
  explicit Tinyproxy(const std::string& AUser = {}, const std::string& APassword = {})
      : FDir("tinyproxy"), FPort(FreePort()) {
    std::string conf = "Port " + std::to_string(FPort) + "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\n";
    conf += "MaxClients 50\nLogLevel Error\n";
    if (!AUser.empty()) conf += "BasicAuth " + AUser + " " + APassword + "\n";
    FDir.Write("tinyproxy.conf", conf);
    FProcess =
        std::make_unique<Process>(std::vector<std::string>{"tinyproxy", "-d", "-c", FDir.Path("tinyproxy.conf")});
    if (!WaitListening(FPort)) throw std::runtime_error("tinyproxy did not start:\n" + FProcess->Output());
  }
  std::uint16_t Port() const { return FPort; }
  std::string URL() const { return "http://127.0.0.1:" + std::to_string(FPort); }

private:
  TempDir FDir;
  std::uint16_t FPort;
  std::unique_ptr<Process> FProcess;
};

// A python3 script run with AArgs after it; ready once it prints READY.
class Python {
public:
  Python(const std::string& AScript, const std::vector<std::string>& AArgs) : FDir("python") {
    FDir.Write("server.py", AScript);
    std::vector<std::string> argv{"python3", "-u", FDir.Path("server.py")};
    argv.insert(argv.end(), AArgs.begin(), AArgs.end());
    FProcess = std::make_unique<Process>(argv);
    if (!FProcess->WaitFor("READY", 15000))
      throw std::runtime_error("python3 server did not start:\n" + FProcess->Output());
  }
  Process& Proc() { return *FProcess; }

private:
  TempDir FDir;
  std::unique_ptr<Process> FProcess;
};

// What a finished command left behind.
struct CommandResult {
  int Exit = -1;  // -1: it did not end in time and was killed
  std::string Out;
  std::string Err;
  long MaxRSSKiB = 0;  // the most memory the command held
};

// Runs a command with no input, its standard output and error kept apart
// (in files, so neither can block it), for at most AMs.
// With ADiscardOut the output goes to /dev/null (for bodies too large to keep).
inline CommandResult RunCommand(const std::vector<std::string>& AArgs, int AMs = 30000, bool ADiscardOut = false) {
  TempDir dir("cmd");
  const std::string out = ADiscardOut ? std::string("/dev/null") : dir.Path("out"), err = dir.Path("err");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv;
  for (const auto& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) throw std::runtime_error("cannot start " + AArgs[0]);
  CommandResult r;
  for (int waited = 0;; waited += 5) {
    int status = 0;
    struct rusage usage {};
    if (::wait4(pid, &status, WNOHANG, &usage) == pid) {
      r.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      r.MaxRSSKiB = usage.ru_maxrss;
      break;
    }
    if (waited > AMs) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  auto slurp = [](const std::string& APath) {
    std::ifstream f(APath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  };
  if (!ADiscardOut) r.Out = slurp(out);
  r.Err = slurp(err);
  return r;
}

}  // namespace webpeer
