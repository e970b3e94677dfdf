#include "transport/vynIdScheduler.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace {
constexpr const char* kMaxThreadsExceeded = "The maximum number of threads for this scheduler is exceeded.";
constexpr const char* kThreadMustBeSpecified = "Thread must be specified for the scheduler.";
constexpr const char* kThreadNameFormat = "%s User";
// How often a waiting stop tells the remaining yarns again to stop.
constexpr std::int32_t kTerminateStepMs = 500;
// The longest a wait for fewer yarns sleeps before it looks again.
constexpr std::int32_t kYarnWaitStepMs = 20;

using Clock = std::chrono::steady_clock;

std::int32_t MsUntil(Clock::time_point ADeadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<std::int32_t>(std::min<long long>(left, 0x7fffffff));
}

// Let go when a scheduler's thread is freed.
struct ThreadToken {
  explicit ThreadToken(std::shared_ptr<detail::SchedulerThreadCount> ACount) : Count(std::move(ACount)) {
    std::lock_guard<std::mutex> g(Count->Mutex);
    ++Count->Live;
  }
  ~ThreadToken() {
    std::lock_guard<std::mutex> g(Count->Mutex);
    --Count->Live;
    Count->Changed.notify_all();
  }
  ThreadToken(const ThreadToken&) = delete;
  ThreadToken& operator=(const ThreadToken&) = delete;
  std::shared_ptr<detail::SchedulerThreadCount> Count;
};

TIdYarnOfThread& YarnOfThread(TIdYarn* AYarn) {
  auto* y = dynamic_cast<TIdYarnOfThread*>(AYarn);
  if (!y) throw EIdException(kThreadMustBeSpecified);
  return *y;
}
}  // namespace

EIdSchedulerMaxThreadsExceeded::EIdSchedulerMaxThreadsExceeded() : EIdSchedulerException(kMaxThreadsExceeded) {}

// ---------------------------------------------------------------------------
// TIdScheduler

TIdScheduler::TIdScheduler(TComponent* AOwner) : TIdComponent(AOwner) {}

TIdScheduler::~TIdScheduler() = default;

void TIdScheduler::ReleaseYarn(TIdYarn* AYarn) {
  FActiveYarns.Remove(AYarn);
  YarnsChanged();
}

void TIdScheduler::YarnsChanged() {
  std::lock_guard<std::mutex> g(FYarnsMutex);
  FYarnsChanged.notify_all();
}

bool TIdScheduler::WaitForActiveYarnsBelow(int ACount, std::int32_t AMSec) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(AMSec, 0));
  for (;;) {
    // The count is read outside FYarnsMutex: a yarn is released while its
    // list is locked, and then takes FYarnsMutex. A change between the read
    // and the wait costs at most one short step.
    if (FActiveYarns.IsCountLessThan(ACount)) return true;
    const std::int32_t left = MsUntil(deadline);
    if (left == 0) return false;
    std::unique_lock<std::mutex> lk(FYarnsMutex);
    FYarnsChanged.wait_for(lk, std::chrono::milliseconds(std::min(left, kYarnWaitStepMs)));
  }
}

void TIdScheduler::TerminateAllYarns() {
  while (!TerminateAllYarns(kTerminateStepMs)) {
  }
}

bool TIdScheduler::TerminateAllYarns(std::int32_t AMSec) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(AMSec, 0));
  for (;;) {
    {
      auto& list = FActiveYarns.LockList();
      std::vector<TIdYarn*> yarns(list);
      try {
        for (auto it = yarns.rbegin(); it != yarns.rend(); ++it)
          if (FActiveYarns.Contains(*it)) TerminateYarn(*it);
      } catch (...) {
        FActiveYarns.UnlockList();
        throw;
      }
      FActiveYarns.UnlockList();
    }
    if (FActiveYarns.IsEmpty()) return true;
    std::int32_t left = MsUntil(deadline);
    if (left == 0) return false;
    WaitForActiveYarnsBelow(1, std::min(left, kTerminateStepMs));
  }
}

// ---------------------------------------------------------------------------
// TIdSchedulerOfThread

TIdSchedulerOfThread::TIdSchedulerOfThread(TComponent* AOwner)
    : TIdScheduler(AOwner), FLive(std::make_shared<detail::SchedulerThreadCount>()) {
  ThreadClass = [](bool ACreateSuspended, const std::string& AName) {
    return std::make_unique<TIdThreadWithTask>(ACreateSuspended, AName);
  };
}

TIdSchedulerOfThread::~TIdSchedulerOfThread() = default;

bool TIdSchedulerOfThread::CanMakeThread() const {
  // Up to MaxThreads + 1 yarns may be active, as the limit always allowed.
  return MaxThreads <= 0 || FActiveYarns.IsCountLessThan(MaxThreads + 1);
}

TIdThreadWithTask* TIdSchedulerOfThread::NewThread() {
  if (!CanMakeThread()) throw EIdSchedulerMaxThreadsExceeded();
  std::unique_ptr<TIdThreadWithTask> thread = ThreadClass(true, Format(kThreadNameFormat, Name));
  if (ThreadPriority != TThreadPriority::tpNormal) thread->SetPriority(ThreadPriority);
  thread->SchedulerToken = std::make_shared<ThreadToken>(FLive);
  return thread.release();
}

TIdYarnOfThread* TIdSchedulerOfThread::NewYarn(TIdThreadWithTask* AThread) {
  if (!AThread) throw EIdException(kThreadMustBeSpecified);
  auto yarn = std::make_unique<TIdYarnOfThread>(this, AThread);
  TIdYarnOfThread* result = yarn.get();
  AThread->SetYarn(std::move(yarn));
  return result;
}

void TIdSchedulerOfThread::StartYarn(TIdYarn* AYarn, std::unique_ptr<TIdTask> ATask) {
  TIdThreadWithTask* thread = YarnOfThread(AYarn).Thread();
  if (!thread) throw EIdException(kThreadMustBeSpecified);
  thread->SetTask(std::move(ATask));
  thread->Start();
}

void TIdSchedulerOfThread::TerminateYarn(TIdYarn* AYarn) {
  auto& yarn = YarnOfThread(AYarn);
  TIdThreadWithTask* thread = yarn.Thread();
  if (!thread) {
    std::unique_ptr<TIdYarn>{AYarn};
  } else if (thread->Suspended()) {
    // The thread owns the yarn; freeing it releases the thread too.
    thread->FreeYarn();
  } else {
    thread->Stop();
  }
}

void TIdSchedulerOfThread::DisposeThread(TIdThreadWithTask* AThread) {
  AThread->Terminate();
  if (AThread->IsCurrentThread()) {
    AThread->SetFreeOnTerminate(true);
    return;
  }
  AThread->Start();
  AThread->WaitFor();
  std::unique_ptr<TIdThreadWithTask>{AThread};
}

int TIdSchedulerOfThread::LiveThreads() const {
  std::lock_guard<std::mutex> g(FLive->Mutex);
  return FLive->Live;
}

bool TIdSchedulerOfThread::WaitForLiveThreads(std::int32_t AMSec) {
  std::unique_lock<std::mutex> lk(FLive->Mutex);
  return FLive->Changed.wait_for(lk, std::chrono::milliseconds(std::max(AMSec, 0)),
                                 [this] { return FLive->Live == 0; });
}

// ---------------------------------------------------------------------------
// TIdSchedulerOfThreadDefault

TIdSchedulerOfThreadDefault::TIdSchedulerOfThreadDefault(TComponent* AOwner) : TIdSchedulerOfThread(AOwner) {}

TIdSchedulerOfThreadDefault::~TIdSchedulerOfThreadDefault() {
  // The threads call back into this scheduler until they are freed.
  while (!TerminateAllYarns(kTerminateStepMs)) {
  }
}

TIdYarn* TIdSchedulerOfThreadDefault::AcquireYarn() {
  TIdYarn* yarn = NewYarn(NewThread());
  FActiveYarns.Add(yarn);
  YarnsChanged();
  return yarn;
}

void TIdSchedulerOfThreadDefault::ReleaseYarn(TIdYarn* AYarn) {
  auto& yarn = YarnOfThread(AYarn);
  // Out of the active list before the thread is detached: a stop walking
  // the list frees a yarn without thread itself, and this one is being
  // freed already.
  TIdScheduler::ReleaseYarn(AYarn);
  TIdThreadWithTask* thread = yarn.Thread();
  yarn.SetThread(nullptr);
  if (thread) DisposeThread(thread);
}

bool TIdSchedulerOfThreadDefault::TerminateAllYarns(std::int32_t AMSec) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(AMSec, 0));
  if (!TIdScheduler::TerminateAllYarns(AMSec)) return false;
  return WaitForLiveThreads(MsUntil(deadline));
}

// ---------------------------------------------------------------------------
// TIdSchedulerOfThreadPool

TIdSchedulerOfThreadPool::TIdSchedulerOfThreadPool(TComponent* AOwner) : TIdSchedulerOfThread(AOwner) {}

TIdSchedulerOfThreadPool::~TIdSchedulerOfThreadPool() {
  while (!TerminateAllYarns(kTerminateStepMs)) {
  }
}

TIdThreadWithTask* TIdSchedulerOfThreadPool::NewThread() {
  TIdThreadWithTask* thread = TIdSchedulerOfThread::NewThread();
  thread->SetStopMode(TIdThreadStopMode::smSuspend);
  return thread;
}

void TIdSchedulerOfThreadPool::Init() {
  TIdSchedulerOfThread::Init();
  if (IsDesigning()) return;
  while (FThreadPool.Count() < PoolSize) FThreadPool.Add(NewThread());
}

TIdYarn* TIdSchedulerOfThreadPool::AcquireYarn() {
  TIdThreadWithTask* thread = FThreadPool.Pull();
  if (!thread) thread = NewThread();
  TIdYarn* yarn = NewYarn(thread);
  FActiveYarns.Add(yarn);
  YarnsChanged();
  return yarn;
}

void TIdSchedulerOfThreadPool::ReleaseYarn(TIdYarn* AYarn) {
  auto& yarn = YarnOfThread(AYarn);
  // Out of the active list first, as above.
  TIdScheduler::ReleaseYarn(AYarn);
  TIdThreadWithTask* thread = yarn.Thread();
  yarn.SetThread(nullptr);
  if (!thread) return;
  auto& pool = FThreadPool.LockList();
  bool keep = static_cast<int>(pool.size()) < PoolSize && !thread->Terminated();
  // Back into the pool; the thread parks itself after this pass.
  if (keep) pool.push_back(thread);
  FThreadPool.UnlockList();
  if (!keep) DisposeThread(thread);
}

bool TIdSchedulerOfThreadPool::TerminateAllYarns(std::int32_t AMSec) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(AMSec, 0));
  if (!TIdScheduler::TerminateAllYarns(AMSec)) return false;
  while (TIdThreadWithTask* thread = FThreadPool.Pull()) DisposeThread(thread);
  return WaitForLiveThreads(MsUntil(deadline));
}
