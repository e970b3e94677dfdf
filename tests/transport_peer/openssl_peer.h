// The openssl command line as a peer: certificates made at test time, and
// s_server / s_client processes on loopback, started with pipes, waited for
// with a bound and stopped by their process id.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace opensslpeer {

// A child process with its stdin and its merged stdout/stderr on pipes.
class Process {
public:
  explicit Process(const std::vector<std::string>& AArgs) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    std::vector<char*> argv;
    for (const auto& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = ::posix_spawnp(&FPid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    FIn = in[1];
    FOut = out[0];
    if (rc != 0) {
      FPid = -1;
      throw std::runtime_error("cannot start " + AArgs[0]);
    }
  }
  ~Process() {
    Stop();
    if (FIn >= 0) ::close(FIn);
    if (FOut >= 0) ::close(FOut);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  void Write(const std::string& AData) {
    std::size_t done = 0;
    while (done < AData.size()) {
      ssize_t n = ::write(FIn, AData.data() + done, AData.size() - done);
      if (n <= 0) throw std::runtime_error("write to peer");
      done += static_cast<std::size_t>(n);
    }
  }
  void CloseInput() {
    if (FIn >= 0) ::close(FIn);
    FIn = -1;
  }
  // Collects output until it holds AText or AMs passed; true when found.
  bool WaitFor(const std::string& AText, int AMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
    while (FOutput.find(AText) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
    }
    return true;
  }
  // Output until the process closes it, at most AMs.
  const std::string& ReadAll(int AMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) break;
    }
    return FOutput;
  }
  const std::string& Output() const { return FOutput; }
  pid_t Pid() const { return FPid; }
  // Exit status, waiting at most AMs; -1 when it did not end.
  int Wait(int AMs = 10000) {
    for (int waited = 0; FPid > 0 && waited <= AMs; waited += 10) {
      int status = 0;
      if (::waitpid(FPid, &status, WNOHANG) == FPid) {
        FPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  void Kill() {
    if (FPid > 0) ::kill(FPid, SIGKILL);
  }
  void Stop() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    if (Wait(3000) == -1) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
      FPid = -1;
    }
  }

private:
  bool ReadSome(int AMs) {
    pollfd p{FOut, POLLIN, 0};
    if (::poll(&p, 1, AMs) != 1) return false;
    char buf[4096];
    ssize_t n = ::read(FOut, buf, sizeof buf);
    if (n <= 0) return false;
    FOutput.append(buf, static_cast<std::size_t>(n));
    return true;
  }
  pid_t FPid = -1;
  int FIn = -1;
  int FOut = -1;
  std::string FOutput;
};

// Runs a command to its end (at most 60 s); its output on failure.
inline void Run(const std::vector<std::string>& AArgs) {
  Process p(AArgs);
  p.CloseInput();
  std::string out = p.ReadAll(60000);
  int rc = p.Wait(60000);
  if (rc != 0) {
    std::string cmd;
    for (const auto& a : AArgs) cmd += a + " ";
    throw std::runtime_error(cmd + "failed (" + std::to_string(rc) + "):\n" + out);
  }
}

// A port nothing listens on right now.
inline std::uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// Keys and certificates of one test run, in a fresh folder of the build tree.
class Certificates {
public:
  Certificates() {
    std::string tmpl = (std::filesystem::current_path() / "tls_certsXXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    FDir = tmpl;
    Make();
  }
  ~Certificates() {
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
  }
  std::string Path(const std::string& AName) const { return (FDir / AName).string(); }

private:
  void Key(const std::string& AName) {
    Run({"openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-out",
         Path(AName + ".key")});
  }
  void Sign(const std::string& AName, const std::string& ASubject, const std::string& AIssuer,
            const std::string& AExtensions, const std::string& ADays = "30") {
    Key(AName);
    WriteFile(AName + ".ext", AExtensions);
    Run({"openssl", "req", "-new", "-key", Path(AName + ".key"), "-subj", ASubject, "-out", Path(AName + ".csr")});
    Run({"openssl", "x509", "-req", "-in", Path(AName + ".csr"), "-CA", Path(AIssuer + ".pem"), "-CAkey",
         Path(AIssuer + ".key"), "-CAcreateserial", "-days", ADays, "-extfile", Path(AName + ".ext"), "-out",
         Path(AName + ".pem")});
  }
  void WriteFile(const std::string& AName, const std::string& AText) {
    std::ofstream(Path(AName), std::ios::binary) << AText;
  }
  void Make() {
    const std::string serverExt =
        "basicConstraints=CA:FALSE\nsubjectAltName=DNS:localhost,IP:127.0.0.1,IP:0:0:0:0:0:0:0:1\n";
    Key("ca");
    Run({"openssl", "req", "-x509", "-new", "-key", Path("ca.key"), "-subj", "/CN=Test Root CA", "-days", "30",
         "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign", "-out",
         Path("ca.pem")});
    Sign("int", "/CN=Test Intermediate CA", "ca",
         "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n");
    Sign("server", "/CN=localhost", "ca", serverExt);
    Sign("leaf", "/CN=localhost", "int", serverExt);
    Sign("other", "/CN=other.test", "ca", "basicConstraints=CA:FALSE\nsubjectAltName=DNS:other.test\n");
    Sign("expired", "/CN=localhost", "ca", serverExt, "-1");
    Sign("client", "/CN=Test Client", "ca", "basicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\n");
    // The leaf and its intermediate in one PEM file.
    std::ofstream(Path("chain.pem"), std::ios::binary) << std::ifstream(Path("leaf.pem"), std::ios::binary).rdbuf()
                                                       << std::ifstream(Path("int.pem"), std::ios::binary).rdbuf();
    Run({"openssl", "pkey", "-in", Path("server.key"), "-aes256", "-passout", "pass:secret", "-out",
         Path("server_enc.key")});
    Run({"openssl", "pkcs12", "-export", "-in", Path("server.pem"), "-inkey", Path("server.key"), "-passout",
         "pass:secret", "-out", Path("server.P12")});
    Run({"openssl", "dhparam", "-dsaparam", "-out", Path("dh.pem"), "2048"});
  }
  std::filesystem::path FDir;
};

// openssl s_server on 127.0.0.1, reversing each line it receives (-rev);
// ready once it says ACCEPT.
class SServer {
public:
  SServer(const Certificates& ACerts, std::vector<std::string> AExtra, const std::string& ACert = "server")
      : FPort(FreePort()) {
    std::vector<std::string> args{"openssl", "s_server",
                                  "-accept", "127.0.0.1:" + std::to_string(FPort),
                                  "-cert",   ACerts.Path(ACert + ".pem"),
                                  "-key",    ACerts.Path(ACert + ".key"),
                                  "-rev"};
    args.insert(args.end(), AExtra.begin(), AExtra.end());
    FProcess = std::make_unique<Process>(args);
    if (!FProcess->WaitFor("ACCEPT", 10000)) throw std::runtime_error("s_server did not start:\n" + FProcess->Output());
  }
  std::uint16_t Port() const { return FPort; }
  Process& Proc() { return *FProcess; }

private:
  std::uint16_t FPort;
  std::unique_ptr<Process> FProcess;
};

}  // namespace opensslpeer
