// TLS through our I/O handler, two modes (bench/tls.sh drives both):
//
//   bench_tls handshakes PORT 1.2|1.3 SECONDS [per-open|one-context]
//     Full handshakes of our client against a server on 127.0.0.1:PORT for
//     SECONDS: one handler connects, completes the handshake and closes, over
//     and over (no session is offered again), with the socket options
//     s_time uses. Prints the count in the same words as `openssl s_time` so
//     that one parser reads both. The handler builds its TLS context on every
//     Open and frees it on Close; with "one-context" it is handed one context
//     built beforehand (SetSSLContext), which it does not own.
//
//   bench_tls bulk CERT KEY [ROUNDS [SECONDS]]
//     Bulk transfer over one loopback TLS connection between our server and
//     client handlers: 64 KB writes on one side, ReadBytes(64 KB) on the
//     other, against SSL_write / SSL_read on the very same two sessions (the
//     library bound by our binding, same cipher, same sockets), in turns.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "ab.h"
#include "transport/vynIdSSLOpenSSL.h"

using detail::OSSL;

namespace {

int Handshakes(std::uint16_t APort, const std::string& AVersion, double ASeconds, bool AOneContext) {
  const TIdSSLVersion version = AVersion == "1.2" ? TIdSSLVersion::sslvTLSv1_2 : TIdSSLVersion::sslvTLSv1_3;
  // A context the handler does not own: Close forgets it instead of freeing
  // it, so every connection uses it, as s_time uses its one context.
  TIdSSLContext shared;
  if (AOneContext) {
    shared.Mode = TIdSSLMode::sslmClient;
    shared.Method = version;
    shared.SSLVersions = {version};
    shared.BuildContext(TIdSSLCtxMode::sslCtxClient);
  }
  TIdSSLIOHandlerSocketOpenSSL h;
  h.SetHost("127.0.0.1");
  h.SetPort(APort);
  h.SetReadTimeout(10000);
  h.SSLOptions().SetMethod(version);
  h.SSLOptions().Mode = TIdSSLMode::sslmClient;
  h.SetPassThrough(false);
  // The socket options openssl s_time uses: no Nagle delay, and a close that
  // resets the connection (linger 0) rather than leave it in TIME_WAIT.
  // BENCH_DEFAULT_SOCKET keeps the handler's defaults instead.
  if (!std::getenv("BENCH_DEFAULT_SOCKET")) {
    h.SetUseNagle(false);
    h.SetLingerState(0);
  }
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  long count = 0;
  std::string cipher;
  double elapsed = 0;
  do {
    if (AOneContext) h.SetSSLContext(&shared);
    h.Open();
    if (cipher.empty()) cipher = h.SSLSocket()->Cipher()->Name() + " " + h.GetSSLVersion();
    h.Close();
    ++count;
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  } while (elapsed < ASeconds);
  std::printf("cipher %s\n%ld connections in %.2fs; %.2f connections/user sec\n", cipher.c_str(), count, elapsed,
              count / elapsed);
  return 0;
}

constexpr std::int32_t kBlock = 64 * 1024;
constexpr std::int32_t kBlocksPerStep = 256;  // 16 MB per timed step

int Bulk(const std::string& ACert, const std::string& AKey, int ARounds, double ASeconds) {
  TIdServerIOHandlerSSLOpenSSL server;
  server.SSLOptions().SetMethod(TIdSSLVersion::sslvTLSv1_3);
  server.SSLOptions().Mode = TIdSSLMode::sslmServer;
  server.SSLOptions().CertFile = ACert;
  server.SSLOptions().KeyFile = AKey;
  server.Init();

  TIdSocketHandle listener;
  listener.SetIPVersion(TIdIPVersion::Id_IPv4);
  listener.AllocateSocket();
  listener.SetIP("127.0.0.1");
  listener.SetPort(0);
  listener.Bind();
  listener.Listen();

  TIdSSLIOHandlerSocketOpenSSL client;
  client.SetHost("127.0.0.1");
  client.SetPort(listener.Port());
  client.SetReadTimeout(30000);
  client.SSLOptions().SetMethod(TIdSSLVersion::sslvTLSv1_3);
  client.SSLOptions().Mode = TIdSSLMode::sslmClient;
  client.SetPassThrough(false);
  std::string failed;
  std::thread connecting([&] {
    try {
      client.Open();
    } catch (const std::exception& e) {
      failed = e.what();
    }
  });
  if (!listener.Readable(10000)) throw std::runtime_error("nothing connected");
  std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> accepted(server.Accept(listener));
  if (!accepted) throw std::runtime_error("accept failed");
  accepted->SetReadTimeout(std::getenv("BENCH_NO_TIMEOUT") ? 0 : 30000);
  accepted->AfterAccept();
  accepted->SetPassThrough(false);  // the server's handshake
  connecting.join();
  if (!failed.empty()) throw std::runtime_error("client: " + failed);
  std::printf("cipher %s %s\n", client.SSLSocket()->Cipher()->Name().c_str(), client.GetSSLVersion().c_str());

  SSL* writer = client.SSLSocket()->SSL_;
  SSL* reader = accepted->SSLSocket()->SSL_;
  TIdBytes block(kBlock, 'b');
  TIdBytes in;
  std::vector<unsigned char> plainIn(kBlock);

  auto ours = [&] {
    std::thread sender([&] {
      for (int i = 0; i < kBlocksPerStep; ++i) client.Write(block);
    });
    for (int i = 0; i < kBlocksPerStep; ++i) accepted->ReadBytes(in, kBlock, false);
    sender.join();
    return static_cast<double>(kBlock) * kBlocksPerStep;
  };
  auto plain = [&] {
    std::thread sender([&] {
      for (int i = 0; i < kBlocksPerStep; ++i) {
        // SSL_write with the default mode writes the whole block or fails.
        if (OSSL.SSL_write(writer, block.data(), kBlock) != kBlock) throw std::runtime_error("SSL_write");
      }
    });
    for (int i = 0; i < kBlocksPerStep; ++i) {
      // Whole blocks, as ReadBytes(64 KB) hands them out.
      int filled = 0;
      while (filled < kBlock) {
        int n = OSSL.SSL_read(reader, plainIn.data() + filled, kBlock - filled);
        if (n <= 0) throw std::runtime_error("SSL_read");
        filled += n;
      }
    }
    sender.join();
    return static_cast<double>(kBlock) * kBlocksPerStep;
  };
  std::printf("rounds %d of %.2f s each; MB/s = 10^6 bytes of payload per second\n\n", ARounds, ASeconds);
  std::printf("| what | ours MB/s | library MB/s | ratio (min-max) | ratio per CPU s |\n|---|---:|---:|---:|---:|\n");
  ab::PrintRow("TLS 1.3 bulk, 64 KB writes", ab::Compare(ours, plain, ARounds, ASeconds), 1e6);
  client.Close();
  accepted->Close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string mode = argc > 1 ? argv[1] : "";
    TIdStack::IncUsage();
    if (mode == "handshakes" && (argc == 5 || argc == 6))
      return Handshakes(static_cast<std::uint16_t>(std::atoi(argv[2])), argv[3], std::atof(argv[4]),
                        argc == 6 && std::string(argv[5]) == "one-context");
    if (mode == "bulk" && argc >= 4)
      return Bulk(argv[2], argv[3], argc > 4 ? std::atoi(argv[4]) : 5, argc > 5 ? std::atof(argv[5]) : 1.0);
    std::fprintf(stderr,
                 "usage: bench_tls handshakes PORT 1.2|1.3 SECONDS [per-open|one-context]\n"
                 "       bench_tls bulk CERT KEY [ROUNDS [SECONDS]]\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_tls: %s\n", e.what());
    return 1;
  }
}
