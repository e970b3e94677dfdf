// A scheduler that serves keep-alive connections from a few shared threads:
// a connection idle between requests waits in an epoll set instead of on a
// blocked thread of its own, and a worker that finds it readable serves its
// next request itself, then parks it again. Whatever may wait for a client
// (a connection's start, a request that is not whole yet, the end of an
// idle connection) runs on a helper thread, as a thread per connection
// would.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "transport/vynIdScheduler.h"
#include "transport/vynIdYarn.h"

class TIdSchedulerOfEvents;

class TIdYarnOfEvents : public TIdYarn {
public:
  explicit TIdYarnOfEvents(TIdSchedulerOfEvents* AScheduler) : FScheduler(AScheduler) {}

  bool Park(std::int32_t AIdleMs, TIdYarnReadyCheck AReady) override;
  bool HandOver() override;
  bool OnSharedThread() const override { return FOnWorker; }
  bool IdleExpired() const override { return FExpired; }
  bool Parking() const override { return FAsk == TAsk::Park; }

  TIdSchedulerOfEvents* Scheduler() const { return FScheduler; }

private:
  friend class TIdSchedulerOfEvents;
  enum class TAsk : std::uint8_t { None, Park, HandOver };

  TIdSchedulerOfEvents* FScheduler;
  std::unique_ptr<TIdTask> FTask;
  // Set under the scheduler's lock once a task was handed over: from then
  // on the scheduler's threads free the yarn.
  bool FStarted = false;
  // Only the thread running the task's step touches these.
  TAsk FAsk = TAsk::None;
  TIdYarnReadyCheck FReady;
  bool FOnWorker = false;
  bool FExpired = false;
  // Under the scheduler's lock: the socket as registered with epoll and the
  // ticket of that registration (0: not registered); whether the task is
  // parked now, and whether the socket had news while it was not.
  int FHandle = -1;
  std::uint64_t FTicket = 0;
  bool FParked = false;
  bool FNews = false;
  // When a parked task's idle time ends; set by Park.
  std::int64_t FDeadline = 0;
  std::atomic<bool> FTerminated{false};
};

class TIdSchedulerOfEvents : public TIdScheduler {
public:
  explicit TIdSchedulerOfEvents(TComponent* AOwner = nullptr);
  // Stops every task and joins every thread.
  ~TIdSchedulerOfEvents() override;

  TIdYarn* AcquireYarn() override;
  // Makes the epoll set and starts the workers (once per activation).
  void Init() override;
  // The task's first step (its connection's start) runs on a helper.
  void StartYarn(TIdYarn* AYarn, std::unique_ptr<TIdTask> ATask) override;
  // Tells the task to end; a parked one is woken for it at once.
  void TerminateYarn(TIdYarn* AYarn) override;
  using TIdScheduler::TerminateAllYarns;
  // Once no task is left the workers and helpers end too (unless called
  // from one of them).
  bool TerminateAllYarns(std::int32_t AMSec) override;
  bool IsSharedThread() const override;
  // The scheduler whose shared thread calls, or null.
  static const TIdSchedulerOfEvents* SharedThreadScheduler();

  // Threads that serve ready connections; 0 or less: one per processor this
  // process may run on.
  std::int32_t Workers = 0;
  // A helper thread idle this long ends, unless it is one of the last few:
  // a burst of new connections leaves no lasting crowd of threads.
  std::int32_t HelperIdleMs = 10000;

  // Connections parked now, and helper threads there now (for tests and
  // figures).
  int ParkedCount() const;
  int HelperCount() const;

private:
  void WorkerLoop();
  void HelperLoop();
  // Runs the task's steps until it parks, asks for a helper or ends.
  void RunStep(TIdYarnOfEvents* AYarn, bool AOnWorker);
  void Finish(TIdYarnOfEvents* AYarn, std::exception_ptr AFailure);
  enum class TParked : std::uint8_t { Parked, RunNow, NeedsHelper };
  // Parks the task after its step asked for it: in the epoll set, unless
  // what was received already lets it run on at once or needs a helper.
  TParked ParkYarn(TIdYarnOfEvents* AYarn);
  // From a worker: the task leaves the epoll set until it parks again.
  void QueueForHelper(TIdYarnOfEvents* AYarn);
  void QueueForHelperLocked(TIdYarnOfEvents* AYarn);
  // Moves parked tasks whose idle time passed to the helpers.
  void ExpireParked();
  // Takes AYarn's socket out of the epoll set (locked).
  void UnregisterLocked(TIdYarnOfEvents* AYarn);
  void StopThreads();

  mutable std::mutex FLock;
  std::condition_variable FHelperWake;
  std::deque<TIdYarnOfEvents*> FHelperQueue;
  // Tasks whose sockets are in the epoll set, by ticket: an event for a
  // ticket no longer here is for a task that went.
  std::unordered_map<std::uint64_t, TIdYarnOfEvents*> FRegistered;
  std::uint64_t FNextTicket = 1;
  // Written under FLock, read by the workers without it after each wait.
  std::atomic<std::int64_t> FNextExpiry{0};
  int FEpoll = -1;
  int FWakeFd = -1;
  bool FStopThreads = false;
  int FIdleHelpers = 0;
  std::vector<std::thread> FWorkerThreads;
  std::vector<std::thread> FHelperThreads;
  // The helper that ended last, joined by the next one that ends or by the
  // stop.
  std::thread FEndedHelper;
};
