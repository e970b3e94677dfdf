#include "transport/vynIdInterceptThrottler.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

void Wait(std::int64_t aMs) {
  // In pieces no longer than the longest wait a 32-bit count can express.
  constexpr std::int64_t kLongest = 2147483647;
  while (aMs > 0) {
    const std::int64_t piece = std::min(aMs, kLongest);
    std::this_thread::sleep_for(std::chrono::milliseconds(piece));
    aMs -= piece;
  }
}

}  // namespace

std::int64_t TIdInterceptThrottler::DelayMs(std::size_t ABytes, std::int32_t ABitsPerSec) {
  if (ABitsPerSec <= 0) return 0;
  return static_cast<std::int64_t>(ABytes) * 8 * 1000 / ABitsPerSec;
}

void TIdInterceptThrottler::SetBitsPerSec(std::int32_t AValue) {
  FBitsPerSec = AValue;
  FRecvBitsPerSec = AValue;
  FSendBitsPerSec = AValue;
}

void TIdInterceptThrottler::Receive(TIdBytes& VBuffer) {
  TIdConnectionIntercept::Receive(VBuffer);
  Wait(DelayMs(VBuffer.size(), FRecvBitsPerSec));
}

void TIdInterceptThrottler::Send(TIdBytes& VBuffer) {
  TIdConnectionIntercept::Send(VBuffer);
  Wait(DelayMs(VBuffer.size(), FSendBitsPerSec));
}
