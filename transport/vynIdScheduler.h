// Schedulers hand out the threads that run connections: a new thread per
// connection, or one from a pool of parked threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "transport/vynIdComponent.h"
#include "transport/vynIdThread.h"
#include "transport/vynIdThreadSafe.h"
#include "transport/vynIdYarn.h"

class EIdSchedulerException : public EIdException {
public:
  using EIdException::EIdException;
};

class EIdSchedulerMaxThreadsExceeded : public EIdSchedulerException {
public:
  EIdSchedulerMaxThreadsExceeded();
};

namespace detail {
// Counts a scheduler's threads until each is freed, so that a stop can wait
// for the contexts and connections the threads free with them.
struct SchedulerThreadCount {
  std::mutex Mutex;
  std::condition_variable Changed;
  int Live = 0;
};
}  // namespace detail

class TIdScheduler : public TIdComponent {
public:
  explicit TIdScheduler(TComponent* AOwner = nullptr);
  ~TIdScheduler() override;

  virtual TIdYarn* AcquireYarn() = 0;
  // Called when the server starts.
  virtual void Init() {}
  // Takes the yarn out of ActiveYarns.
  virtual void ReleaseYarn(TIdYarn* AYarn);
  // Runs ATask on the yarn's thread.
  virtual void StartYarn(TIdYarn* AYarn, std::unique_ptr<TIdTask> ATask) = 0;
  virtual void TerminateYarn(TIdYarn* AYarn) = 0;
  // Stops every active yarn and waits, without a time limit, until none is
  // left.
  virtual void TerminateAllYarns();
  // As TerminateAllYarns, waiting at most AMSec; whether none is left.
  // Every 500 ms the yarns still active are told again to stop.
  virtual bool TerminateAllYarns(std::int32_t AMSec);
  // Waits up to AMSec until fewer than ACount yarns are active.
  bool WaitForActiveYarnsBelow(int ACount, std::int32_t AMSec);
  // The calling thread is one this scheduler runs tasks of several
  // connections on: a stop from it must not wait for it.
  virtual bool IsSharedThread() const { return false; }

  TIdThreadSafeObjectList<TIdYarn>& ActiveYarns() { return FActiveYarns; }

  // The scheduler's component name, for naming its threads.
  std::string Name;

protected:
  // Wakes waiters on the active yarn count.
  void YarnsChanged();

  TIdThreadSafeObjectList<TIdYarn> FActiveYarns{false};
  std::mutex FYarnsMutex;
  std::condition_variable FYarnsChanged;
};

class TIdSchedulerOfThread : public TIdScheduler {
public:
  explicit TIdSchedulerOfThread(TComponent* AOwner = nullptr);
  ~TIdSchedulerOfThread() override;

  // A parked thread of ThreadClass named "<Name> User"; raises
  // EIdSchedulerMaxThreadsExceeded when MaxThreads + 1 yarns are active.
  virtual TIdThreadWithTask* NewThread();
  // A yarn of AThread; raises without a thread.
  virtual TIdYarnOfThread* NewYarn(TIdThreadWithTask* AThread);
  void StartYarn(TIdYarn* AYarn, std::unique_ptr<TIdTask> ATask) override;
  void TerminateYarn(TIdYarn* AYarn) override;
  // Whether a new thread may be made now.
  bool CanMakeThread() const;
  // Threads this scheduler made that have not yet been freed.
  int LiveThreads() const;

  // 0: no limit.
  std::int32_t MaxThreads = 0;
  TThreadPriority ThreadPriority = TThreadPriority::tpNormal;
  TIdThreadWithTaskClass ThreadClass;

protected:
  // Terminates AThread and frees it: at once from another thread, by the
  // reaper once its body has ended when AThread is the caller.
  void DisposeThread(TIdThreadWithTask* AThread);
  // Waits (bounded) until the threads this scheduler made have been freed.
  bool WaitForLiveThreads(std::int32_t AMSec);

private:
  std::shared_ptr<detail::SchedulerThreadCount> FLive;
};

class TIdSchedulerOfThreadDefault : public TIdSchedulerOfThread {
public:
  explicit TIdSchedulerOfThreadDefault(TComponent* AOwner = nullptr);
  ~TIdSchedulerOfThreadDefault() override;

  TIdYarn* AcquireYarn() override;
  void ReleaseYarn(TIdYarn* AYarn) override;
  using TIdScheduler::TerminateAllYarns;
  bool TerminateAllYarns(std::int32_t AMSec) override;
};

class TIdSchedulerOfThreadPool : public TIdSchedulerOfThread {
public:
  explicit TIdSchedulerOfThreadPool(TComponent* AOwner = nullptr);
  ~TIdSchedulerOfThreadPool() override;

  TIdYarn* AcquireYarn() override;
  void Init() override;
  void ReleaseYarn(TIdYarn* AYarn) override;
  TIdThreadWithTask* NewThread() override;
  using TIdScheduler::TerminateAllYarns;
  bool TerminateAllYarns(std::int32_t AMSec) override;

  std::int32_t PoolSize = 0;
  // Idle threads, parked.
  TIdThreadSafeList<TIdThreadWithTask>& ThreadPool() { return FThreadPool; }

private:
  TIdThreadSafeList<TIdThreadWithTask> FThreadPool;
};
