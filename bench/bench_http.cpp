// Sequential HTTP(S) requests with a new connection each, as the REST base
// makes them (one HTTP client component per request), against libcurl doing
// the same (one easy handle per request) in the same process, in turns.
//
//   bench_http URL [CAFILE] [ROUNDS] [SECONDS]
//
// With CAFILE both sides check the server's certificate against it; with
// "-" neither checks (the handshake alone).
//
// Prints two table lines: requests per second and the median latency of one
// request, each as ours, libcurl and the ratio (above 1: ours is faster),
// the median over the rounds with its range. bench/http.sh starts nginx and
// runs this for an HTTP and an HTTPS URL.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/ab.h"
#include "http_api/vynHTTP_API.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Side {
  std::vector<double> Rates;      // requests per second, one per round
  std::vector<double> Latencies;  // seconds, one per request
};

std::size_t Collect(char* AData, std::size_t ASize, std::size_t ACount, void* AOut) {
  static_cast<std::string*>(AOut)->append(AData, ASize * ACount);
  return ASize * ACount;
}

class Bench {
public:
  Bench(std::string AURL, std::string ACAFile)
      : FURL(std::move(AURL)), FVerify(ACAFile != "-"), FCAFile(FVerify ? std::move(ACAFile) : std::string()) {
    FClient.TLSOptions().VerifyCertificate = FVerify;
    FClient.TLSOptions().RootCertFile = FCAFile;
  }

  // One request each; both must bring back the same body.
  std::string Ours() { return FClient.Get(FURL); }
  std::string Curl() {
    CURL* c = curl_easy_init();
    if (!c) throw std::runtime_error("curl_easy_init");
    std::string body;
    curl_easy_setopt(c, CURLOPT_URL, FURL.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(c, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2 | CURL_SSLVERSION_MAX_TLSv1_2);
    if (!FCAFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, FCAFile.c_str());
    if (!FVerify) {
      curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
      curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    const CURLcode rc = curl_easy_perform(c);
    curl_easy_cleanup(c);
    if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
    return body;
  }

  // ARounds rounds of ours then libcurl, each for ASeconds.
  void Run(int ARounds, double ASeconds, Side& AOurs, Side& APeer) {
    if (Ours() != Curl()) throw std::runtime_error("the two clients brought back different bodies");
    for (int r = 0; r < ARounds; ++r) {
      Round([this] { Ours(); }, ASeconds, AOurs);
      Round([this] { Curl(); }, ASeconds, APeer);
    }
  }

private:
  template <class F>
  static void Round(F AOne, double ASeconds, Side& ASide) {
    const auto start = Clock::now();
    int n = 0;
    double elapsed = 0;
    do {
      const auto t0 = Clock::now();
      AOne();
      const auto t1 = Clock::now();
      ASide.Latencies.push_back(std::chrono::duration<double>(t1 - t0).count());
      ++n;
      elapsed = std::chrono::duration<double>(t1 - start).count();
    } while (elapsed < ASeconds);
    ASide.Rates.push_back(n / elapsed);
  }

  std::string FURL;
  bool FVerify;
  std::string FCAFile;
  TvynHTTPAPI_client FClient;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_http URL [CAFILE] [ROUNDS] [SECONDS]\n");
    return 2;
  }
  const std::string url = argv[1];
  const std::string ca = argc > 2 ? argv[2] : "";
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  const double seconds = argc > 4 ? std::atof(argv[4]) : 3;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  try {
    Bench bench(url, ca);
    Side ours, peer;
    bench.Run(rounds, seconds, ours, peer);
    std::vector<double> rateRatios;
    for (std::size_t i = 0; i < ours.Rates.size(); ++i) rateRatios.push_back(ours.Rates[i] / peer.Rates[i]);
    const double latOurs = ab::Median(ours.Latencies), latPeer = ab::Median(peer.Latencies);
    const std::string scheme = url.rfind("https", 0) != 0 ? "HTTP"
                               : ca == "-"                ? "HTTPS, no certificate check"
                                                          : "HTTPS, certificate checked";
    std::printf("| %s requests/s | %.0f | %.0f | %.2fx (%.2f-%.2f) |\n", scheme.c_str(), ab::Median(ours.Rates),
                ab::Median(peer.Rates), ab::Median(rateRatios), *std::min_element(rateRatios.begin(), rateRatios.end()),
                *std::max_element(rateRatios.begin(), rateRatios.end()));
    std::printf("| %s median latency, ms | %.3f | %.3f | %.2fx |\n", scheme.c_str(), latOurs * 1e3, latPeer * 1e3,
                latPeer / latOurs);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_http: %s\n", e.what());
    curl_global_cleanup();
    return 1;
  }
  curl_global_cleanup();
  return 0;
}
