// The default I/O handler: transfers straight through the socket handle,
// with a time-limited connect.
#pragma once

#include "transport/vynIdIOHandlerSocket.h"

class TIdIOHandlerStack : public TIdIOHandlerSocket {
public:
  explicit TIdIOHandlerStack(TComponent* AOwner = nullptr);

  bool Connected() override;
  void CheckForDisconnect(bool ARaiseExceptionIfDisconnected = true, bool AIgnoreBuffer = false) override;
  bool Readable(std::int32_t AMSec = IdTimeoutDefault) override;

protected:
  void ConnectSocket() override;
  std::int32_t ReadDataFromSource(TIdBytes& VBuffer) override;
  std::int32_t ReadDataFromSourceInto(std::uint8_t* ABuffer, std::int32_t ALength) override;
  std::int32_t WriteDataToTarget(const TIdBytes& ABuffer, std::int32_t AOffset, std::int32_t ALength) override;
};
