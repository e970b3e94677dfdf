#include "transport/vynBase_Classes.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <vector>

namespace {
constexpr const char* kVersion = "4.5.1";
// The timer counts its interval in steps of this many milliseconds.
constexpr std::int32_t kTimerStepMs = 100;

// The timers whose handlers run on this thread, innermost last: freeing one
// of them from inside its handler cannot wait for the handler to end.
thread_local std::vector<const TvynTimer*> tInHandler;

struct HandlerScope {
  explicit HandlerScope(const TvynTimer* ATimer) { tInHandler.push_back(ATimer); }
  ~HandlerScope() { tInHandler.pop_back(); }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;
};

bool InHandlerOf(const TvynTimer* ATimer) {
  return std::find(tInHandler.begin(), tInHandler.end(), ATimer) != tInHandler.end();
}
}  // namespace

std::string TvynComponent_Base::Version() const { return kVersion; }

// ---------------------------------------------------------------------------
// TvynTimer

TvynTimer::TvynTimer() : TvynIdThread(false, true, "") { Start(); }

TvynTimer::~TvynTimer() {
  {
    std::lock_guard<std::mutex> g(FShared->Lock);
    FShared->Alive = false;
  }
  EndThread();
}

void TvynTimer::SetEnabled(bool AValue) {
  FEnabled.store(AValue);
  if (AValue) {
    {
      std::lock_guard<std::mutex> g(FWaitLock);
      ++FRestarts;
    }
    FWaitChanged.notify_all();
    Start();
  } else {
    Terminate();
  }
}

void TvynTimer::Terminate() {
  TvynIdThread::Terminate();
  std::lock_guard<std::mutex> g(FWaitLock);
  FWaitChanged.notify_all();
}

bool TvynTimer::WaitInterval(std::int32_t AMSec) {
  std::unique_lock<std::mutex> lk(FWaitLock);
  const std::uint64_t restarts = FRestarts;
  const bool interrupted = FWaitChanged.wait_for(lk, std::chrono::milliseconds(AMSec),
                                                 [&] { return Terminated() || FRestarts != restarts; });
  return !interrupted;
}

void TvynTimer::Run() {
  RecordThreadId();
  try {
    const std::int32_t interval = Interval();
    if (interval > 0) {
      // In 64 bits: rounding the longest interval up must not overflow.
      const std::int64_t steps = (static_cast<std::int64_t>(interval) + kTimerStepMs - 1) / kTimerStepMs;
      const std::int64_t wait = std::min<std::int64_t>(steps * kTimerStepMs, std::numeric_limits<std::int32_t>::max());
      if (!WaitInterval(static_cast<std::int32_t>(wait))) return;
    } else {
      // Fires on every pass; a disabled timer still must not spin.
      if (!Enabled() && !WaitInterval(kTimerStepMs)) return;
    }
    if (Terminated() || !Enabled()) return;
    switch (NotifyEvents()) {
      case TwsNotifyEvent::neNoSync:
        DoTimer();
        break;
      case TwsNotifyEvent::neAsynchronous:
        FireOnUIThread(false);
        break;
      case TwsNotifyEvent::neSynchronous:
        FireOnUIThread(true);
        break;
    }
  } catch (const Exception& e) {
    DoException(e);
  }
}

void TvynTimer::FireOnUIThread(bool AWait) {
  std::shared_ptr<Shared> shared = FShared;
  std::uint64_t ticket;
  {
    std::lock_guard<std::mutex> g(FWaitLock);
    ticket = FFired;
  }
  Queue([this, shared] {
    std::lock_guard<std::mutex> g(shared->Lock);
    if (!shared->Alive) return;
    try {
      DoTimer();
    } catch (const Exception& e) {
      DoException(e);
    } catch (...) {
      // Nothing may escape into the UI thread's loop.
    }
    {
      std::lock_guard<std::mutex> w(FWaitLock);
      ++FFired;
    }
    FWaitChanged.notify_all();
  });
  if (!AWait) return;
  // Waits for the UI thread, but never past the timer's end: a UI thread
  // that frees the timer must not wait for this thread waiting for it.
  std::unique_lock<std::mutex> lk(FWaitLock);
  FWaitChanged.wait(lk, [&] { return FFired != ticket || Terminated(); });
}

void TvynTimer::DoTimer() {
  if (!OnTimer) return;
  SetIsExecuting(true);
  try {
    HandlerScope scope(this);
    OnTimer(this);
  } catch (const Exception& e) {
    SetIsExecuting(false);
    if (!OnException) throw;
    DoException(e);
    return;
  }
  SetIsExecuting(false);
}

void TvynTimer::DoException(const Exception& E) {
  if (!OnException) return;
  SetIsExecuting(true);
  try {
    HandlerScope scope(this);
    OnException(this, E);
  } catch (...) {
    SetIsExecuting(false);
    throw;
  }
  SetIsExecuting(false);
}

void FreeTimer(TvynTimer*& ATimer) {
  if (!ATimer) return;
  TvynTimer* timer = ATimer;
  ATimer = nullptr;
  // A handler running on the timer's thread is waited for (its destructor
  // joins the thread): it may use what the caller frees next.
  if (!timer->IsCurrentThread() && !InHandlerOf(timer)) {
    std::unique_ptr<TvynTimer>{timer};
    return;
  }
  timer->SetFreeOnTerminate(true);
  timer->Terminate();
}
