// An HTTP client exchange with an overall deadline, for the tools that must
// not be held by a slow peer (bin/fetch's --max-time, the sandbox's webhook
// calls). The stack's time-outs are per wait; here each time bytes move the
// next wait (read, connect, TLS handshake) is cut to the time left, so
// neither a silent nor a dripping peer outlasts the deadline. A body stream
// checks Passed() as data arrives, for a peer that sends fast but too much.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "http_api/vynHTTP_Client.h"

namespace timed {

// The end of a transfer; none when made with 0 seconds or less.
class Deadline {
public:
  using Clock = std::chrono::steady_clock;
  explicit Deadline(double aSeconds)
      : FSet(aSeconds > 0),
        FEnd(Clock::now() +
             std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(FSet ? aSeconds : 0))) {}
  bool Set() const { return FSet; }
  // aSlack: a wait that ended a hair early still counts as the limit.
  bool Passed(Clock::duration aSlack = {}) const { return FSet && Clock::now() + aSlack >= FEnd; }
  // Milliseconds left, at least 1 so that a wait still ends at once.
  std::int32_t LeftMs() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(FEnd - Clock::now()).count();
    return static_cast<std::int32_t>(std::clamp<long long>(left, 1, INT32_MAX));
  }

private:
  bool FSet;
  Clock::time_point FEnd;
};

// Seconds as the stack's 32-bit millisecond time-outs take them.
inline std::int32_t Milliseconds(double aSeconds) {
  return static_cast<std::int32_t>(std::clamp(std::ceil(aSeconds * 1000), 0.0, static_cast<double>(INT32_MAX)));
}

class DeadlineHTTP : public TvynIdHTTP {
public:
  // aConnectMs > 0 caps each connect as well.
  DeadlineHTTP(const Deadline& aDeadline, std::int32_t aConnectMs) : FDeadline(aDeadline), FConnectMs(aConnectMs) {
    Tighten();
  }
  void Tighten() {
    if (!FDeadline.Set()) {
      if (FConnectMs > 0) SetConnectTimeout(FConnectMs);
      return;
    }
    const std::int32_t left = FDeadline.LeftMs();
    SetReadTimeout(left);
    SetConnectTimeout(FConnectMs > 0 ? std::min(FConnectMs, left) : left);
  }
  void DoWork(TWorkMode aMode, std::int64_t aCount) override {
    Tighten();
    TvynIdHTTP::DoWork(aMode, aCount);
  }

private:
  const Deadline& FDeadline;
  std::int32_t FConnectMs;
};

}  // namespace timed
