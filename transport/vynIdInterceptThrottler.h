// Limits a connection's bandwidth: after each block the connection's own
// thread waits as long as the block takes at the configured rate.
#pragma once

#include <cstdint>

#include "transport/vynIdIntercept.h"

class TIdInterceptThrottler : public TIdConnectionIntercept {
public:
  explicit TIdInterceptThrottler(TComponent* AOwner = nullptr) : TIdConnectionIntercept(AOwner) {}

  void Receive(TIdBytes& VBuffer) override;
  void Send(TIdBytes& VBuffer) override;

  // Bits per second, 0 for no limit. Setting BitsPerSec sets both directions.
  std::int32_t BitsPerSec() const { return FBitsPerSec; }
  void SetBitsPerSec(std::int32_t AValue);
  std::int32_t RecvBitsPerSec() const { return FRecvBitsPerSec; }
  void SetRecvBitsPerSec(std::int32_t AValue) { FRecvBitsPerSec = AValue; }
  std::int32_t SendBitsPerSec() const { return FSendBitsPerSec; }
  void SetSendBitsPerSec(std::int32_t AValue) { FSendBitsPerSec = AValue; }

  // How long a block of ABytes takes at ABitsPerSec, in milliseconds
  // (truncated); 0 without a limit.
  static std::int64_t DelayMs(std::size_t ABytes, std::int32_t ABitsPerSec);

private:
  std::int32_t FBitsPerSec = 0;
  std::int32_t FRecvBitsPerSec = 0;
  std::int32_t FSendBitsPerSec = 0;
};
