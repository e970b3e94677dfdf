// Loopback throughput of the buffered I/O handler against a plain send/recv
// loop measured in the same run, and ReadLn of 100-byte lines per second.
//
//   build/rel/bin/bench_iohandler [benchmark options]
//   build/rel/bin/bench_iohandler --ab [ROUNDS [SECONDS]]
//
// After the Google Benchmark runs it prints the ratio handler / plain for the
// bulk transfer. With --ab the same pairs run in strict turns (ours, plain,
// ours, plain, ...) and each line gives the median of the per-round ratios
// and the ratio per second of CPU time, which is steadier on a busy machine.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "ab.h"
#include "transport/vynIdIOHandlerStack.h"

namespace {

constexpr std::size_t kBlock = 64 * 1024;
constexpr std::size_t kBulkBytes = 64u * 1024 * 1024;  // per iteration
constexpr int kLines = 200000;                         // per iteration
constexpr std::size_t kLineBytes = 100;                // 98 characters and CR LF

// A listener on 127.0.0.1 and a free port.
struct PlainListener {
  int Fd = -1;
  std::uint16_t Port = 0;
  PlainListener() {
    Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(Fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(Fd, 4) != 0)
      throw std::runtime_error("listen");
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
  }
  ~PlainListener() { ::close(Fd); }
  int Accept() const {
    pollfd p{Fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) throw std::runtime_error("accept timed out");
    return ::accept4(Fd, nullptr, nullptr, SOCK_CLOEXEC);
  }
};

int PlainConnect(std::uint16_t aPort) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(aPort);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("connect");
  return fd;
}

void PlainSendAll(int aFd, const char* aData, std::size_t aSize) {
  while (aSize > 0) {
    ssize_t n = ::send(aFd, aData, aSize, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send");
    aData += n;
    aSize -= static_cast<std::size_t>(n);
  }
}

// A connected pair of stack handlers: the client connects, the server side
// takes the accepted socket as a server does.
struct HandlerPair {
  PlainListener Listener;
  TIdIOHandlerStack Client;
  TIdIOHandlerStack Server;
  HandlerPair() {
    Client.SetHost("127.0.0.1");
    Client.SetPort(Listener.Port);
    Client.Open();
    Server.Open();
    pollfd p{Listener.Fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1 || !Server.Binding()->Accept(Listener.Fd)) throw std::runtime_error("accept");
    Server.AfterAccept();
  }
};

void BM_Bulk_Plain(benchmark::State& state) {
  PlainListener listener;
  int client = PlainConnect(listener.Port);
  int server = listener.Accept();
  std::string block(kBlock, 'b');
  std::vector<char> in(kBlock);
  for (auto _ : state) {
    std::thread sender([&] {
      for (std::size_t sent = 0; sent < kBulkBytes; sent += kBlock) PlainSendAll(client, block.data(), kBlock);
    });
    std::size_t got = 0;
    while (got < kBulkBytes) {
      // Whole blocks, as ReadBytes(64 KB) hands them out.
      std::size_t filled = 0;
      while (filled < kBlock) {
        ssize_t n = ::recv(server, in.data() + filled, kBlock - filled, 0);
        if (n <= 0) throw std::runtime_error("recv");
        filled += static_cast<std::size_t>(n);
      }
      got += filled;
    }
    sender.join();
    benchmark::DoNotOptimize(in.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBulkBytes));
  ::close(client);
  ::close(server);
}

// state.range(0): the receiving handler's RecvBufferSize.
void BM_Bulk_IOHandler(benchmark::State& state) {
  HandlerPair pair;
  pair.Server.SetRecvBufferSize(static_cast<std::int32_t>(state.range(0)));
  TIdBytes block(kBlock, 'b');
  TIdBytes in;
  for (auto _ : state) {
    std::thread sender([&] {
      for (std::size_t sent = 0; sent < kBulkBytes; sent += kBlock) pair.Client.Write(block);
    });
    for (std::size_t got = 0; got < kBulkBytes; got += kBlock) pair.Server.ReadBytes(in, kBlock, false);
    sender.join();
    benchmark::DoNotOptimize(in.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBulkBytes));
}

// The lines all arrive in large sends; the reader's cost is what is measured.
std::string LinesPayload() {
  std::string line(kLineBytes - 2, 'l');
  line += "\r\n";
  std::string all;
  all.reserve(kLineBytes * kLines);
  for (int i = 0; i < kLines; ++i) all += line;
  return all;
}

void BM_ReadLn_IOHandler(benchmark::State& state) {
  HandlerPair pair;
  const std::string payload = LinesPayload();
  std::size_t total = 0;
  for (auto _ : state) {
    std::thread sender([&] { PlainSendAll(pair.Server.Binding()->Handle(), payload.data(), payload.size()); });
    for (int i = 0; i < kLines; ++i) total += pair.Client.ReadLn().size();
    sender.join();
  }
  benchmark::DoNotOptimize(total);
  state.counters["lines_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kLines), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload.size()));
}

// Reference: recv into a buffer and cut lines at LF with memchr.
void BM_ReadLn_PlainSplit(benchmark::State& state) {
  PlainListener listener;
  int client = PlainConnect(listener.Port);
  int server = listener.Accept();
  const std::string payload = LinesPayload();
  std::vector<char> buf(32 * 1024);
  std::size_t total = 0;
  for (auto _ : state) {
    std::thread sender([&] { PlainSendAll(server, payload.data(), payload.size()); });
    std::string pending;
    int lines = 0;
    while (lines < kLines) {
      ssize_t n = ::recv(client, buf.data(), buf.size(), 0);
      if (n <= 0) throw std::runtime_error("recv");
      pending.append(buf.data(), static_cast<std::size_t>(n));
      std::size_t start = 0;
      while (const void* lf = std::memchr(pending.data() + start, '\n', pending.size() - start)) {
        std::size_t end = static_cast<std::size_t>(static_cast<const char*>(lf) - pending.data());
        std::string line = pending.substr(start, end - start - (end > start && pending[end - 1] == '\r'));
        total += line.size();
        ++lines;
        start = end + 1;
      }
      pending.erase(0, start);
    }
    sender.join();
  }
  benchmark::DoNotOptimize(total);
  state.counters["lines_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kLines), benchmark::Counter::kIsRate);
  ::close(client);
  ::close(server);
}

BENCHMARK(BM_Bulk_Plain)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Bulk_IOHandler)
    ->Arg(32 * 1024)
    ->Arg(64 * 1024)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK(BM_ReadLn_IOHandler)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ReadLn_PlainSplit)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Console output as usual, plus the ratios of each pair at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& aRuns) override {
    ConsoleReporter::ReportRuns(aRuns);
    // With repetitions the median is kept, else the single run.
    for (const Run& run : aRuns) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const std::string name = run.run_name.str();
      if (!median && (run.run_type != Run::RT_Iteration || FMedian.count(name))) continue;
      if (median) FMedian.insert(name);
      auto bytes = run.counters.find("bytes_per_second");
      auto lines = run.counters.find("lines_per_second");
      if (bytes != run.counters.end()) FBytes[name] = bytes->second.value;
      if (lines != run.counters.end()) FLines[name] = lines->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto ratio = [](std::map<std::string, double>& m, const char* ours, const char* plain) {
      auto a = m.find(ours);
      auto b = m.find(plain);
      if (a == m.end() || b == m.end() || b->second <= 0) return;
      std::printf("ratio %s / %s = %.3f\n", ours, plain, a->second / b->second);
    };
    ratio(FBytes, "BM_Bulk_IOHandler/32768/min_time:2.000/real_time", "BM_Bulk_Plain/min_time:2.000/real_time");
    ratio(FBytes, "BM_Bulk_IOHandler/65536/min_time:2.000/real_time", "BM_Bulk_Plain/min_time:2.000/real_time");
    ratio(FLines, "BM_ReadLn_IOHandler/min_time:2.000/real_time", "BM_ReadLn_PlainSplit/min_time:2.000/real_time");
  }

private:
  std::map<std::string, double> FBytes;
  std::map<std::string, double> FLines;
  std::set<std::string> FMedian;
};

// ---------------------------------------------------------------------------
// Strict turns

constexpr std::size_t kStepBytes = 16u * 1024 * 1024;  // per timed step
constexpr int kStepLines = 50000;

int RunAB(int ARounds, double ASeconds) {
  std::printf("rounds %d of %.2f s each\n\n", ARounds, ASeconds);
  std::printf("| what | ours | plain | ratio (min-max) | ratio per CPU s |\n|---|---:|---:|---:|---:|\n");
  std::string block(kBlock, 'b');
  std::vector<char> in(kBlock);
  // Each comparison gets a fresh plain pair next to its fresh handler pair:
  // a pair kept from an earlier comparison had its buffers grown already and
  // ran faster than a new one.
  int client = -1;
  int server = -1;
  auto plainBulk = [&] {
    std::thread sender([&] {
      for (std::size_t sent = 0; sent < kStepBytes; sent += kBlock) PlainSendAll(client, block.data(), kBlock);
    });
    for (std::size_t got = 0; got < kStepBytes;) {
      std::size_t filled = 0;
      while (filled < kBlock) {
        ssize_t n = ::recv(server, in.data() + filled, kBlock - filled, 0);
        if (n <= 0) throw std::runtime_error("recv");
        filled += static_cast<std::size_t>(n);
      }
      got += filled;
    }
    sender.join();
    return static_cast<double>(kStepBytes);
  };
  for (std::int32_t recvBlock : {32 * 1024, 64 * 1024}) {
    PlainListener listener;
    client = PlainConnect(listener.Port);
    server = listener.Accept();
    HandlerPair pair;
    pair.Server.SetRecvBufferSize(recvBlock);
    TIdBytes out(kBlock, 'b');
    TIdBytes got;
    auto ours = [&] {
      std::thread sender([&] {
        for (std::size_t sent = 0; sent < kStepBytes; sent += kBlock) pair.Client.Write(out);
      });
      for (std::size_t n = 0; n < kStepBytes; n += kBlock) pair.Server.ReadBytes(got, kBlock, false);
      sender.join();
      return static_cast<double>(kStepBytes);
    };
    ab::PrintRow("bulk MB/s, " + std::to_string(recvBlock / 1024) + " KB receive block",
                 ab::Compare(ours, plainBulk, ARounds, ASeconds), 1e6);
    ::close(client);
    ::close(server);
  }

  // Lines: a step sends kStepLines lines in large writes and reads them.
  std::string line(kLineBytes - 2, 'l');
  line += "\r\n";
  std::string payload;
  for (int i = 0; i < kStepLines; ++i) payload += line;
  HandlerPair pair;
  std::size_t total = 0;
  auto ours = [&] {
    std::thread sender([&] { PlainSendAll(pair.Server.Binding()->Handle(), payload.data(), payload.size()); });
    for (int i = 0; i < kStepLines; ++i) total += pair.Client.ReadLn().size();
    sender.join();
    return static_cast<double>(kStepLines);
  };
  PlainListener lineListener;
  int lineClient = PlainConnect(lineListener.Port);
  int lineServer = lineListener.Accept();
  std::vector<char> buf(32 * 1024);
  auto plain = [&] {
    std::thread sender([&] { PlainSendAll(lineServer, payload.data(), payload.size()); });
    std::string pending;
    int lines = 0;
    while (lines < kStepLines) {
      ssize_t n = ::recv(lineClient, buf.data(), buf.size(), 0);
      if (n <= 0) throw std::runtime_error("recv");
      pending.append(buf.data(), static_cast<std::size_t>(n));
      std::size_t start = 0;
      while (const void* lf = std::memchr(pending.data() + start, '\n', pending.size() - start)) {
        std::size_t end = static_cast<std::size_t>(static_cast<const char*>(lf) - pending.data());
        std::string text = pending.substr(start, end - start - (end > start && pending[end - 1] == '\r'));
        total += text.size();
        ++lines;
        start = end + 1;
      }
      pending.erase(0, start);
    }
    sender.join();
    return static_cast<double>(kStepLines);
  };
  ab::PrintRow("ReadLn, M lines/s (100-byte lines)", ab::Compare(ours, plain, ARounds, ASeconds), 1e6);
  benchmark::DoNotOptimize(total);
  ::close(lineClient);
  ::close(lineServer);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--ab") == 0) {
    try {
      return RunAB(argc > 2 ? std::atoi(argv[2]) : 7, argc > 3 ? std::atof(argv[3]) : 1.0);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench_iohandler: %s\n", e.what());
      return 1;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
