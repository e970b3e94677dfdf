// A scheduler's handle of one piece of work, and the kind that runs on a
// thread of its own.
#pragma once

#include <cstdint>
#include <functional>

#include "transport/vynIdThread.h"

class TIdScheduler;

// Where a parked connection stands: nothing of its next request is here
// (wait on the socket), the next step can run without waiting for its client
// (the request is whole, or the connection ended), or part of a request is
// here (the rest may keep the step waiting).
enum class TIdYarnReadiness : std::uint8_t { yrNothing, yrReady, yrPartial };
// With AReceive the check first takes in what the socket holds, without
// waiting; without, only when the last receive may have left bytes there.
// Either way nothing means: nothing received, and any byte that comes now is
// news to a wait on the socket.
using TIdYarnReadyCheck = std::function<TIdYarnReadiness(bool AReceive)>;

class TIdYarn {
public:
  TIdYarn() = default;
  virtual ~TIdYarn() = default;
  TIdYarn(const TIdYarn&) = delete;
  TIdYarn& operator=(const TIdYarn&) = delete;

  // Asks the scheduler to hold the task, once its current step returns,
  // until its connection's next bytes arrive (then AReady decides where the
  // step runs) or AIdleMs pass (then IdleExpired). False when this yarn's
  // scheduler cannot hold tasks; the step goes on waiting itself.
  virtual bool Park(std::int32_t /*AIdleMs*/, TIdYarnReadyCheck /*AReady*/) { return false; }
  // Asks that the next step runs on a thread that may wait for its client;
  // false when the current thread already may.
  virtual bool HandOver() { return false; }
  // The current step shares its thread with other tasks: it must not wait
  // for one client.
  virtual bool OnSharedThread() const { return false; }
  // The current step asked to park (its connection stays open).
  virtual bool Parking() const { return false; }
  // The step runs because the parked task's idle time passed.
  virtual bool IdleExpired() const { return false; }
};

class TIdYarnOfThread : public TIdYarn {
public:
  // The scheduler makes AThread own the yarn (NewYarn).
  TIdYarnOfThread(TIdScheduler* AScheduler, TIdThreadWithTask* AThread);
  // Releases the yarn from its scheduler.
  ~TIdYarnOfThread() override;

  TIdScheduler* Scheduler() const { return FScheduler; }
  TIdThreadWithTask* Thread() const { return FThread; }
  void SetThread(TIdThreadWithTask* AThread) { FThread = AThread; }

private:
  TIdScheduler* FScheduler;
  TIdThreadWithTask* FThread;
};
