// A scheduler's handle of one piece of work, and the kind that runs on a
// thread of its own.
#pragma once

#include "transport/vynIdThread.h"

class TIdScheduler;

class TIdYarn {
public:
  TIdYarn() = default;
  virtual ~TIdYarn() = default;
  TIdYarn(const TIdYarn&) = delete;
  TIdYarn& operator=(const TIdYarn&) = delete;
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
