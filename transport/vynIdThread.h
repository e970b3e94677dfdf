// The transport's thread: a platform thread with a lock around its stop
// state, parked and woken through a condition variable, that runs a unit of
// work once or in a loop. Also the unit of work (task) and the thread that
// runs one, as the schedulers hand them out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Classes.h"
#include "transport/vynIdGlobal.h"
#include "transport/vynIdThreadSafe.h"

class TIdYarn;
class TIdThread;

class EIdThreadException : public EIdException {
public:
  using EIdException::EIdException;
};

class EIdThreadTerminateAndWaitFor : public EIdThreadException {
public:
  EIdThreadTerminateAndWaitFor();
};

enum class TIdThreadStopMode : std::uint8_t { smTerminate = 0, smSuspend = 1 };
enum class TIdThreadOption : std::uint8_t { itoStopped, itoReqCleanup, itoDataOwner, itoTag };
// Best effort: Linux gives unprivileged threads no higher priority.
enum class TThreadPriority : std::uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TIdThreadOptions {
public:
  TIdThreadOptions() = default;
  bool Contains(TIdThreadOption AOption) const { return (FBits & Bit(AOption)) != 0; }
  void Include(TIdThreadOption AOption) { FBits = static_cast<std::uint8_t>(FBits | Bit(AOption)); }
  void Exclude(TIdThreadOption AOption) { FBits = static_cast<std::uint8_t>(FBits & ~Bit(AOption)); }
  bool operator==(const TIdThreadOptions&) const = default;

private:
  static std::uint8_t Bit(TIdThreadOption AOption) {
    return static_cast<std::uint8_t>(1u << static_cast<int>(AOption));
  }
  std::uint8_t FBits = 0;
};

using TIdNotifyThreadEvent = std::function<void(TIdThread* AThread)>;
using TIdExceptionThreadEvent = std::function<void(TIdThread* AThread, const Exception& AException)>;

class TIdThread {
public:
  // The platform thread is made on the first Start. A thread created running
  // (ACreateSuspended false) needs its most derived constructor to call
  // Start at its end, so that no virtual step runs on a half-built object.
  explicit TIdThread(bool ACreateSuspended = true, bool ALoop = true, const std::string& AName = "");
  virtual ~TIdThread();
  TIdThread(const TIdThread&) = delete;
  TIdThread& operator=(const TIdThread&) = delete;

  virtual void Start();
  virtual void Stop();
  virtual void Terminate();
  virtual void TerminateAndWaitFor();
  // Joins the platform thread; nothing when it never ran or is the caller.
  void WaitFor();
  // Runs AMethod on the UI thread and waits for it (platform/Dispatcher).
  void Synchronize(const std::function<void()>& AMethod);
  // Runs AMethod on the UI thread later.
  void Queue(std::function<void()> AMethod);

  bool Stopped() const;
  bool Terminated() const { return FTerminated.load(); }
  // Parked: waiting for Start, or never started.
  bool Suspended() const;
  // The body has ended (or the thread never ran and was terminated).
  bool Finished() const { return FFinished.load(); }
  bool IsCurrentThread() const { return std::this_thread::get_id() == FThreadID.load(); }
  std::thread::id ThreadID() const { return FThreadID.load(); }

  // Set before the body ends: the thread is then joined and freed by the
  // process's reaper thread, never left running unjoined.
  // Set when the body has already ended, the reaper takes the thread at once.
  bool FreeOnTerminate() const { return FFreeOnTerminate.load(); }
  void SetFreeOnTerminate(bool AValue);

  const std::string& Name() const { return FName; }
  void SetName(const std::string& AValue) { FName = AValue; }
  bool Loop() const { return FLoop; }
  void SetLoop(bool AValue) { FLoop = AValue; }
  TIdThreadStopMode StopMode() const { return FStopMode; }
  void SetStopMode(TIdThreadStopMode AValue) { FStopMode = AValue; }
  TIdThreadOptions Options() const;
  void SetOptions(TIdThreadOptions AValue);
  TThreadPriority Priority() const { return FPriority; }
  void SetPriority(TThreadPriority AValue) { FPriority = AValue; }
  TIdCriticalSection& Lock() { return FLock; }

  // User data; freed after each run pass while itoDataOwner is set.
  std::unique_ptr<TPersistent> Data;
  const std::string& TerminatingException() const { return FTerminatingException; }
  const std::string& TerminatingExceptionClass() const { return FTerminatingExceptionClass; }

  // The scheduler's handle of the current work, owned by the thread.
  TIdYarn* Yarn() const { return FYarn.get(); }
  void SetYarn(std::unique_ptr<TIdYarn> AYarn);
  // Gives up the yarn without freeing it.
  TIdYarn* ReleaseYarnOwnership() { return FYarn.release(); }
  // Frees the yarn (which releases it from its scheduler).
  void FreeYarn();

  TIdExceptionThreadEvent OnException;
  TIdNotifyThreadEvent OnStopped;

protected:
  virtual void AfterRun() {}
  virtual void FinishThread() {}
  virtual void PrepareThread() {}
  virtual void PrepareRun() {}
  virtual void ResetRun();
  virtual void ReportException(const Exception& AException);
  virtual void ReportStopped();
  virtual bool AbsorbRunException(const Exception&) { return false; }
  virtual void Run() = 0;

  // Classes that override Run call this first in their destructor: the
  // body must have ended before the derived part goes.
  void EndThread();
  // Waits up to AMSec (bounded) or until terminated; true when terminated.
  bool WaitForTerminate(std::int32_t AMSec);

private:
  void Execute();
  void Body();
  void Park();
  void Launch();

  TIdCriticalSection FLock;
  std::condition_variable_any FWake;
  std::thread FThread;
  std::mutex FJoinLock;
  // Orders the end of the body against SetFreeOnTerminate.
  std::mutex FFinishLock;
  std::atomic<std::thread::id> FThreadID{};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FFreeOnTerminate{false};
  bool FSuspended = false;
  bool FLaunched = false;
  std::string FName;
  bool FLoop = true;
  TIdThreadStopMode FStopMode = TIdThreadStopMode::smTerminate;
  TIdThreadOptions FOptions;
  TThreadPriority FPriority = TThreadPriority::tpNormal;
  std::string FTerminatingException;
  std::string FTerminatingExceptionClass;
  std::unique_ptr<TIdYarn> FYarn;
};

// A unit of work run by a thread of a scheduler.
class TIdTask {
public:
  explicit TIdTask(TIdYarn* AYarn);
  virtual ~TIdTask();
  TIdTask(const TIdTask&) = delete;
  TIdTask& operator=(const TIdTask&) = delete;

  // Sets BeforeRunDone, then PrepareTask.
  void DoBeforeRun();
  bool DoRun() { return RunTask(); }
  void DoAfterRun() { FinishTask(); }
  void DoException(const Exception& AException) { TaskException(AException); }

  bool BeforeRunDone() const { return FBeforeRunDone; }
  TIdYarn* Yarn() const { return FYarn; }
  // Freed with the task.
  std::unique_ptr<TPersistent> Data;

protected:
  virtual void FinishTask() {}
  virtual void PrepareTask() {}
  // Whether to go on.
  virtual bool RunTask() = 0;
  virtual void TaskException(const Exception&) {}

  TIdYarn* FYarn;
  bool FBeforeRunDone = false;
};

// The thread the schedulers hand out: created parked, in loop mode, it runs
// its task until the task says to stop.
class TIdThreadWithTask : public TIdThread {
public:
  explicit TIdThreadWithTask(bool ACreateSuspended = true, const std::string& AName = "");
  ~TIdThreadWithTask() override;

  TIdTask* Task() const { return FTask.get(); }
  // A different task frees the previous one.
  void SetTask(std::unique_ptr<TIdTask> ATask);

  // Held by the scheduler that made the thread; let go when the thread is
  // freed.
  std::shared_ptr<void> SchedulerToken;

protected:
  void AfterRun() override;
  void PrepareRun() override;
  void ReportException(const Exception& AException) override;
  // A failure of the task ends the task's pass, not the thread: a pooled
  // thread goes back into its pool after a connection that ended in an
  // error (the peer's close usually is one). It is reported after the
  // task's last step, as an unabsorbed one would be.
  bool AbsorbRunException(const Exception& AException) override;
  void Run() override;

  std::unique_ptr<TIdTask> FTask;
  std::exception_ptr FRunException;
};

// Makes a scheduler's threads (its ThreadClass).
using TIdThreadWithTaskClass =
    std::function<std::unique_ptr<TIdThreadWithTask>(bool ACreateSuspended, const std::string& AName)>;
