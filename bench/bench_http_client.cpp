// Sequential GET requests with a new connection each, as the REST client
// base makes one HTTP component per request, against nginx on loopback over
// HTTP and HTTPS: TIdHTTP against libcurl (a new easy handle per request)
// in the same run, rounds interleaved. Prints requests per second and the
// median latency of both, and the ratios (ours / libcurl for throughput,
// libcurl / ours for latency: above 1.0 means ours is faster).
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/transport_peer/http_peers.h"
#include "transport/vynIdHTTP.h"

namespace {

using Clock = std::chrono::steady_clock;

std::size_t Sink(char*, std::size_t ASize, std::size_t ACount, void* AUser) {
  static_cast<std::string*>(AUser)->append(ASize * ACount, 'x');
  return ASize * ACount;
}

double Ours(const std::string& AURL) {
  const auto t0 = Clock::now();
  TIdHTTP http;
  const std::string body = http.Get(AURL);
  if (body.empty()) std::abort();
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

double Curl(const std::string& AURL) {
  const auto t0 = Clock::now();
  std::string body;
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_URL, AURL.c_str());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Sink);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  // Our client made its own handler without verification: the same here.
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
  if (curl_easy_perform(c) != CURLE_OK || body.empty()) std::abort();
  curl_easy_cleanup(c);
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

struct Result {
  double Total = 0;
  std::vector<double> Samples;
  double PerSecond() const { return Samples.size() / (Total / 1e6); }
  double Median() {
    std::sort(Samples.begin(), Samples.end());
    return Samples[Samples.size() / 2];
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int rounds = 10;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  httppeer::Certificates certs;
  httppeer::Nginx nginx(certs, "");
  std::printf(
      "| transport | requests | ours req/s | libcurl req/s | ratio | ours median us | libcurl median us | ratio |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (bool tls : {false, true}) {
    const std::string url = tls ? nginx.TLSURL("/hello.txt") : nginx.URL("/hello.txt");
    for (int i = 0; i < 20; ++i) {
      Ours(url);
      Curl(url);
    }
    Result ours, curl;
    for (int r = 0; r < rounds; ++r) {
      for (int i = 0; i < requests / rounds; ++i) {
        const double a = Ours(url);
        ours.Samples.push_back(a);
        ours.Total += a;
      }
      for (int i = 0; i < requests / rounds; ++i) {
        const double b = Curl(url);
        curl.Samples.push_back(b);
        curl.Total += b;
      }
    }
    const double om = ours.Median(), cm = curl.Median();
    std::printf("| %s | %d | %.0f | %.0f | %.2fx | %.0f | %.0f | %.2fx |\n", tls ? "HTTPS" : "HTTP", requests,
                ours.PerSecond(), curl.PerSecond(), ours.PerSecond() / curl.PerSecond(), om, cm, cm / om);
  }
  curl_global_cleanup();
  return 0;
}
