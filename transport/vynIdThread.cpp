#include "transport/vynIdThread.h"

#include <pthread.h>

#include <chrono>
#include <utility>
#include <typeinfo>
#include <vector>

#include "platform/Dispatcher.h"
#include "transport/vynIdYarn.h"

namespace {
constexpr const char* kUnknownThreadName = "IdThread (unknown)";
constexpr const char* kTerminateAndWaitFor = "Cannot call TerminateAndWaitFor on FreeAndTerminate threads";
// Linux keeps 15 characters of a thread's name (16 with the terminator).
constexpr std::size_t kOSThreadNameLength = 15;

// Joins and frees threads that asked to be freed when their body ends, so
// that no thread is ever left running unjoined. One process-wide thread,
// made on first use and joined when the process ends.
class TThreadReaper {
public:
  static TThreadReaper& Instance() {
    static TThreadReaper reaper;
    return reaper;
  }
  ~TThreadReaper() {
    {
      std::lock_guard<std::mutex> g(FMutex);
      FStop = true;
    }
    FWake.notify_all();
    if (FThread.joinable()) FThread.join();
  }
  void Add(TIdThread* AThread) {
    {
      std::lock_guard<std::mutex> g(FMutex);
      FQueue.push_back(AThread);
      if (!FThread.joinable()) FThread = std::thread([this] { Loop(); });
    }
    FWake.notify_all();
  }

private:
  void Loop() {
    pthread_setname_np(pthread_self(), "IdThread reaper");
    std::unique_lock<std::mutex> lk(FMutex);
    for (;;) {
      FWake.wait(lk, [this] { return FStop || !FQueue.empty(); });
      if (FQueue.empty()) return;
      std::vector<TIdThread*> batch;
      batch.swap(FQueue);
      lk.unlock();
      for (TIdThread* t : batch) {
        t->WaitFor();
        std::unique_ptr<TIdThread>{t};
      }
      lk.lock();
    }
  }

  std::mutex FMutex;
  std::condition_variable FWake;
  std::vector<TIdThread*> FQueue;
  std::thread FThread;
  bool FStop = false;
};
}  // namespace

EIdThreadTerminateAndWaitFor::EIdThreadTerminateAndWaitFor() : EIdThreadException(kTerminateAndWaitFor) {}

// ---------------------------------------------------------------------------
// TIdThread

TIdThread::TIdThread(bool ACreateSuspended, bool ALoop, const std::string& AName) : FName(AName), FLoop(ALoop) {
  FOptions.Include(TIdThreadOption::itoDataOwner);
  if (ACreateSuspended) {
    FOptions.Include(TIdThreadOption::itoStopped);
    FSuspended = true;
  }
}

TIdThread::~TIdThread() {
  EndThread();
  if (FOptions.Contains(TIdThreadOption::itoReqCleanup)) TIdThread::ResetRun();
  FreeYarn();
  FLock.Acquire();
  FLock.Release();
}

void TIdThread::Launch() {
  FLaunched = true;
  FThread = std::thread([this] { Execute(); });
}

void TIdThread::Start() {
  std::lock_guard<std::recursive_mutex> g(FLock.Native());
  if (Stopped()) {
    if (Terminated())
      FOptions.Include(TIdThreadOption::itoStopped);
    else
      FOptions.Exclude(TIdThreadOption::itoStopped);
    FSuspended = false;
    FWake.notify_all();
  }
  if (!FLaunched) Launch();
}

void TIdThread::Stop() {
  std::lock_guard<std::recursive_mutex> g(FLock.Native());
  if (!Stopped()) {
    if (FStopMode == TIdThreadStopMode::smTerminate) Terminate();
    FOptions.Include(TIdThreadOption::itoStopped);
  }
}

void TIdThread::Terminate() {
  std::lock_guard<std::recursive_mutex> g(FLock.Native());
  FOptions.Include(TIdThreadOption::itoStopped);
  FTerminated.store(true);
  FWake.notify_all();
}

void TIdThread::TerminateAndWaitFor() {
  if (FreeOnTerminate()) throw EIdThreadTerminateAndWaitFor();
  Terminate();
  Start();
  WaitFor();
}

void TIdThread::WaitFor() {
  std::lock_guard<std::mutex> g(FJoinLock);
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

void TIdThread::EndThread() {
  bool launched;
  {
    std::lock_guard<std::recursive_mutex> g(FLock.Native());
    launched = FLaunched;
  }
  if (!launched) return;
  Terminate();
  if (IsCurrentThread()) {
    // Freed from its own body: nobody else can join it; the body is about
    // to return anyway.
    std::lock_guard<std::mutex> g(FJoinLock);
    if (FThread.joinable()) FThread.detach();
    return;
  }
  WaitFor();
}

bool TIdThread::WaitForTerminate(std::int32_t AMSec) {
  std::unique_lock<std::recursive_mutex> lk(FLock.Native());
  return FWake.wait_for(lk, std::chrono::milliseconds(AMSec < 0 ? 0 : AMSec), [this] { return FTerminated.load(); });
}

void TIdThread::Synchronize(const std::function<void()>& AMethod) { SynchronizeOnUIThread(AMethod); }

void TIdThread::Queue(std::function<void()> AMethod) { QueueOnUIThread(std::move(AMethod)); }

bool TIdThread::Stopped() const {
  std::lock_guard<std::recursive_mutex> g(const_cast<TIdCriticalSection&>(FLock).Native());
  return FTerminated.load() || FOptions.Contains(TIdThreadOption::itoStopped) || FSuspended;
}

bool TIdThread::Suspended() const {
  std::lock_guard<std::recursive_mutex> g(const_cast<TIdCriticalSection&>(FLock).Native());
  return FSuspended;
}

TIdThreadOptions TIdThread::Options() const {
  std::lock_guard<std::recursive_mutex> g(const_cast<TIdCriticalSection&>(FLock).Native());
  return FOptions;
}

void TIdThread::SetOptions(TIdThreadOptions AValue) {
  std::lock_guard<std::recursive_mutex> g(FLock.Native());
  FOptions = AValue;
}

void TIdThread::SetYarn(std::unique_ptr<TIdYarn> AYarn) { FYarn = std::move(AYarn); }

void TIdThread::FreeYarn() {
  // Moved out first: the yarn's scheduler may look at this thread's yarn
  // while the yarn goes.
  std::unique_ptr<TIdYarn> yarn(std::move(FYarn));
  yarn.reset();
}

void TIdThread::ResetRun() {
  {
    std::lock_guard<std::recursive_mutex> g(FLock.Native());
    FOptions.Exclude(TIdThreadOption::itoReqCleanup);
  }
  FreeYarn();
  if (Options().Contains(TIdThreadOption::itoDataOwner)) Data.reset();
}

void TIdThread::ReportException(const Exception& AException) {
  if (OnException) OnException(this, AException);
}

void TIdThread::ReportStopped() {
  if (OnStopped) OnStopped(this);
}

void TIdThread::Park() {
  std::unique_lock<std::recursive_mutex> lk(FLock.Native());
  if (!FOptions.Contains(TIdThreadOption::itoStopped) || FTerminated.load()) return;
  FSuspended = true;
  FWake.wait(lk, [this] { return !FSuspended || FTerminated.load(); });
  FSuspended = false;
}

void TIdThread::Execute() {
  FThreadID.store(std::this_thread::get_id());
  Body();
  // Terminated before its work ever ran, the thread still holds its yarn:
  // releasing it hands the thread back to its scheduler, which would
  // otherwise wait for it forever.
  if (FYarn) {
    try {
      FreeYarn();
    } catch (...) {
      // The thread is over either way.
    }
  }
  bool freeIt;
  {
    std::lock_guard<std::mutex> g(FFinishLock);
    FFinished.store(true);
    freeIt = FFreeOnTerminate.load();
  }
  // After this the object may be freed at any time by the reaper, which
  // joins this thread first.
  if (freeIt) TThreadReaper::Instance().Add(this);
}

void TIdThread::SetFreeOnTerminate(bool AValue) {
  bool freeNow;
  {
    std::lock_guard<std::mutex> g(FFinishLock);
    freeNow = AValue && !FFreeOnTerminate.load() && FFinished.load();
    FFreeOnTerminate.store(AValue);
  }
  if (freeNow) TThreadReaper::Instance().Add(this);
}

void TIdThread::Body() {
  auto record = [this](const Exception& AException, const std::string& AClass) {
    FTerminatingExceptionClass = AClass;
    FTerminatingException = AException.Message();
    ReportException(AException);
    Terminate();
  };
  try {
    if (FName.empty()) FName = kUnknownThreadName;
    pthread_setname_np(pthread_self(), FName.substr(0, kOSThreadNameLength).c_str());
    PrepareThread();
    while (!Terminated()) {
      if (Stopped()) {
        ReportStopped();
        if (Stopped()) {
          if (Terminated()) break;
          Park();
          if (Terminated()) break;
        }
      }
      try {
        {
          std::lock_guard<std::recursive_mutex> g(FLock.Native());
          FOptions.Include(TIdThreadOption::itoReqCleanup);
        }
        try {
          PrepareRun();
          auto runOnce = [this] {
            try {
              Run();
            } catch (const Exception& e) {
              if (!AbsorbRunException(e)) {
                Terminate();
                throw;
              }
            }
          };
          if (FLoop) {
            while (!Stopped()) runOnce();
          } else {
            runOnce();
          }
        } catch (...) {
          AfterRun();
          throw;
        }
        AfterRun();
        ResetRun();
      } catch (...) {
        Terminate();
        try {
          ResetRun();
          FinishThread();
        } catch (...) {
          // The first failure is the one to report.
        }
        throw;
      }
    }
    FinishThread();
  } catch (const Exception& e) {
    record(e, ClassNameOf(typeid(e)));
  } catch (const std::exception& e) {
    // A failure outside the library's errors (out of memory, a library
    // fault) ends this thread alone instead of the whole process.
    record(Exception(e.what()), ClassNameOf(typeid(e)));
  }
}

// ---------------------------------------------------------------------------
// TIdTask

TIdTask::TIdTask(TIdYarn* AYarn) : FYarn(AYarn) {}

TIdTask::~TIdTask() = default;

void TIdTask::DoBeforeRun() {
  FBeforeRunDone = true;
  PrepareTask();
}

// ---------------------------------------------------------------------------
// TIdThreadWithTask

TIdThreadWithTask::TIdThreadWithTask(bool ACreateSuspended, const std::string& AName)
    : TIdThread(ACreateSuspended, true, AName) {}

TIdThreadWithTask::~TIdThreadWithTask() {
  EndThread();
  // The yarn goes with the thread; it must not hand the thread back to its
  // scheduler for freeing a second time.
  if (auto* yarn = dynamic_cast<TIdYarnOfThread*>(Yarn())) yarn->SetThread(nullptr);
  FreeYarn();
  FTask.reset();
}

void TIdThreadWithTask::SetTask(std::unique_ptr<TIdTask> ATask) {
  if (ATask.get() != FTask.get()) FTask = std::move(ATask);
}

void TIdThreadWithTask::PrepareRun() {
  TIdThread::PrepareRun();
  if (FTask) FTask->DoBeforeRun();
}

void TIdThreadWithTask::Run() {
  if (!FTask || !FTask->DoRun()) Stop();
}

void TIdThreadWithTask::AfterRun() {
  std::exception_ptr failure = std::exchange(FRunException, nullptr);
  if (FTask) FTask->DoAfterRun();
  TIdThread::AfterRun();
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const Exception& e) {
      ReportException(e);
    }
  }
}

bool TIdThreadWithTask::AbsorbRunException(const Exception&) {
  FRunException = std::current_exception();
  Stop();
  return true;
}

void TIdThreadWithTask::ReportException(const Exception& AException) {
  TIdThread::ReportException(AException);
  if (FTask) FTask->DoException(AException);
}
