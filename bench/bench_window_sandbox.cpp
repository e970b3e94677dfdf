// One window command end to end against the sandbox service, next to the
// same exchange made by the curl command:
//   ours: a click on "Get Hoppers" (token held) until its answer is the last
//         log entry: the window, the service client, a new HTTPS connection,
//         the sandbox's answer, the log;
//   peer: one curl process per request with the same token header and the
//         sandbox's certificate, to the same URL.
// Both sides use a new TLS connection per request. Rounds alternate ours and
// the peer so outside load hits both alike; the median of the per-round
// ratios (peer time / our time: above 1 means ours is faster) is printed.
//
//   bench_window_sandbox [rounds] [requests per side and round]
#include <spawn.h>
#include <sys/wait.h>

#include <QAbstractButton>
#include <QPlainTextEdit>
#include <QPushButton>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/SandboxMode.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

int RunCurl(const std::vector<std::string>& aArgs) {
  std::vector<char*> argv;
  for (const std::string& a : aArgs) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const int requests = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  detail::Application application(argc, argv);
  detail::QtUIDispatcher dispatcher;
  SetUIDispatcher(&dispatcher);
  int rc = 0;
  {
    sandbox::Service service;
    service.Start();
    {
      TFRMCryptohopper w;
      ConnectToSandbox(w, service);
      w.show();
      // The first command fetches the token; every timed one holds it.
      w.btnGetHoppers->click();
      std::string token;
      for (const sandbox::RequestRecord& r : service.Requests())
        for (const std::string& line : r.HeaderLines)
          if (line.rfind("access-token: ", 0) == 0) token = line.substr(14);
      if (token.empty() || w.memoLog->toPlainText().isEmpty()) {
        std::fprintf(stderr, "bench: the first command did not get through\n");
        return 1;
      }
      const std::string url = service.APIBaseURL() + "/hopper";
      const std::vector<std::string> curl{"curl",
                                          "-s",
                                          "-o",
                                          "/dev/null",
                                          "--fail",
                                          "--cacert",
                                          service.CertFile(),
                                          "-H",
                                          "content-type: application/json",
                                          "-H",
                                          "access-token: " + token,
                                          url};
      std::vector<double> ours, peer, ratio;
      for (int round = 0; round < rounds; ++round) {
        const int tokensBefore = service.TokensIssued();
        auto t0 = Clock::now();
        for (int i = 0; i < requests; ++i) {
          w.memoLog->clear();
          w.btnGetHoppers->click();
          if (w.memoLog->toPlainText().isEmpty()) {
            std::fprintf(stderr, "bench: a command logged nothing\n");
            return 1;
          }
        }
        auto t1 = Clock::now();
        for (int i = 0; i < requests; ++i)
          if (RunCurl(curl) != 0) {
            std::fprintf(stderr, "bench: curl failed\n");
            return 1;
          }
        auto t2 = Clock::now();
        if (service.TokensIssued() != tokensBefore) {
          std::fprintf(stderr, "bench: a timed command fetched a token\n");
          return 1;
        }
        const double a = std::chrono::duration<double, std::milli>(t1 - t0).count() / requests;
        const double b = std::chrono::duration<double, std::milli>(t2 - t1).count() / requests;
        ours.push_back(a);
        peer.push_back(b);
        ratio.push_back(b / a);
        std::printf("round %d: window %.2f ms/command, curl %.2f ms/request, ratio %.2f\n", round + 1, a, b, b / a);
      }
      std::printf("window command (click to log entry, token held): median %.2f ms\n", Median(ours));
      std::printf("curl process, same request: median %.2f ms\n", Median(peer));
      std::printf("ratio curl/window: median %.2f (range %.2f to %.2f)\n", Median(ratio),
                  *std::min_element(ratio.begin(), ratio.end()), *std::max_element(ratio.begin(), ratio.end()));
    }
    service.Stop();
  }
  SetUIDispatcher(nullptr);
  return rc;
}
