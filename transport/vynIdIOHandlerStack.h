// The default I/O handler: transfers straight through the socket handle,
// with a time-limited connect.
#pragma once

#include <chrono>

#include "transport/vynIdIOHandlerSocket.h"

class TIdIOHandlerStack : public TIdIOHandlerSocket {
public:
  explicit TIdIOHandlerStack(TComponent* AOwner = nullptr);

  bool Connected() override;
  void CheckForDisconnect(bool ARaiseExceptionIfDisconnected = true, bool AIgnoreBuffer = false) override;
  bool Readable(std::int32_t AMSec = IdTimeoutDefault) override;
  bool SourceMayHoldMore() const override { return FLastReceiveFilled; }

protected:
  void ConnectSocket() override;
  std::int32_t ReadDataFromSource(TIdBytes& VBuffer) override;
  std::int32_t ReadDataFromSourceInto(std::uint8_t* ABuffer, std::int32_t ALength) override;
  std::int32_t WriteDataToTarget(const TIdBytes& ABuffer, std::int32_t AOffset, std::int32_t ALength) override;
  // A limited receive waits in recv itself (the socket's receive time-out),
  // and a receive of what is there already does not wait: one system call
  // per block instead of a poll and a recv.
  bool PrepareReceive(std::int32_t ATimeout) override;

  // The receive time-out set on the socket, in ms (0: none); changed only
  // when another limit is asked for. Whoever sets SO_RCVTIMEO otherwise
  // keeps it up to date.
  std::int32_t FSocketReceiveTimeout = 0;

private:
  // The limit PrepareReceive set for the next receive: below 0 none, 0
  // only what has arrived, else the ms until FReceiveDeadline.
  std::int32_t FReceiveLimit = -1;
  std::chrono::steady_clock::time_point FReceiveDeadline;
  // The last receive took all it asked for (see SourceMayHoldMore).
  bool FLastReceiveFilled = false;
};
