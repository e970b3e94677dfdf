// A/B timing for benchmarks that compare our code with a peer in one process:
// the two run in turns (ours, peer, ours, peer, ...) so that load from other
// programs on the machine hits both alike, and the median of the per-round
// ratios is reported. Each run also counts the process's CPU time (all its
// threads), which waiting for a busy machine does not inflate.
#pragma once

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace ab {

inline double CpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Rates {
  double Wall = 0;  // units per second of elapsed time
  double Cpu = 0;   // units per second of the process's CPU time
};

// AStep is called until at least AMinSeconds have passed (and at least
// once); it returns the units of work it did.
inline Rates Rate(const std::function<double()>& AStep, double AMinSeconds) {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  const double cpuStart = CpuSeconds();
  double units = 0;
  double elapsed = 0;
  do {
    units += AStep();
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  } while (elapsed < AMinSeconds);
  const double cpu = CpuSeconds() - cpuStart;
  return {units / elapsed, cpu > 0 ? units / cpu : 0};
}

inline double Median(std::vector<double> AValues) {
  if (AValues.empty()) return 0;
  std::sort(AValues.begin(), AValues.end());
  const std::size_t n = AValues.size();
  return n % 2 ? AValues[n / 2] : (AValues[n / 2 - 1] + AValues[n / 2]) / 2;
}

struct Result {
  double Ours = 0;   // median rate
  double Peer = 0;   // median rate
  double Ratio = 0;  // median of the per-round ratios ours / peer
  double MinRatio = 0;
  double MaxRatio = 0;
  double CpuRatio = 0;  // the same per CPU second
};

// ARounds rounds of ours then peer, each run for ASeconds, after one
// untimed warm-up step of each.
inline Result Compare(const std::function<double()>& AOurs, const std::function<double()>& APeer, int ARounds,
                      double ASeconds) {
  AOurs();
  APeer();
  std::vector<double> ours, peer, ratios, cpuRatios;
  for (int r = 0; r < ARounds; ++r) {
    const Rates a = Rate(AOurs, ASeconds);
    const Rates b = Rate(APeer, ASeconds);
    ours.push_back(a.Wall);
    peer.push_back(b.Wall);
    ratios.push_back(b.Wall > 0 ? a.Wall / b.Wall : 0);
    cpuRatios.push_back(b.Cpu > 0 ? a.Cpu / b.Cpu : 0);
  }
  Result res;
  res.Ours = Median(ours);
  res.Peer = Median(peer);
  res.Ratio = Median(ratios);
  res.MinRatio = *std::min_element(ratios.begin(), ratios.end());
  res.MaxRatio = *std::max_element(ratios.begin(), ratios.end());
  res.CpuRatio = Median(cpuRatios);
  return res;
}

// One table line: name | ours | peer | ratio (min-max) | ratio per CPU
// second; rates divided by AScale (1e6 for MB/s).
inline void PrintRow(const std::string& AName, const Result& AResult, double AScale) {
  std::printf("| %s | %.1f | %.1f | %.2fx (%.2f-%.2f) | %.2fx |\n", AName.c_str(), AResult.Ours / AScale,
              AResult.Peer / AScale, AResult.Ratio, AResult.MinRatio, AResult.MaxRatio, AResult.CpuRatio);
  std::fflush(stdout);
}

}  // namespace ab
