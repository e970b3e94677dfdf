#include "platform/Dispatcher.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>

namespace {
std::atomic<IUIDispatcher*> gDispatcher{nullptr};
}

void SetUIDispatcher(IUIDispatcher* aDispatcher) { gDispatcher.store(aDispatcher); }
IUIDispatcher* GetUIDispatcher() { return gDispatcher.load(); }

void QueueOnUIThread(std::function<void()> aProc) {
  if (IUIDispatcher* d = GetUIDispatcher())
    d->Queue(std::move(aProc));
  else
    aProc();
}

void SynchronizeOnUIThread(std::function<void()> aProc) {
  if (IUIDispatcher* d = GetUIDispatcher())
    d->Synchronize(std::move(aProc));
  else
    aProc();
}

void TQueueDispatcher::SetUIThread() {
  std::lock_guard<std::mutex> g(FLock);
  FUIThread = std::this_thread::get_id();
  FHasUIThread = true;
}

void TQueueDispatcher::Queue(std::function<void()> aProc) {
  {
    std::lock_guard<std::mutex> g(FLock);
    FQueue.push_back(std::move(aProc));
  }
  FWake.notify_all();
}

void TQueueDispatcher::Synchronize(std::function<void()> aProc) {
  bool onUIThread = false;
  {
    std::lock_guard<std::mutex> g(FLock);
    onUIThread = FHasUIThread && FUIThread == std::this_thread::get_id();
  }
  if (onUIThread) {
    // Waiting for ourselves would never end.
    aProc();
    return;
  }
  struct Done {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr error;
  };
  auto done = std::make_shared<Done>();
  Queue([done, proc = std::move(aProc)] {
    try {
      proc();
    } catch (...) {
      done->error = std::current_exception();
    }
    std::lock_guard<std::mutex> g(done->m);
    done->done = true;
    done->cv.notify_all();
  });
  std::unique_lock<std::mutex> lk(done->m);
  done->cv.wait(lk, [&] { return done->done; });
  if (done->error) std::rethrow_exception(done->error);
}

int TQueueDispatcher::Pump(int aTimeoutMs) {
  std::deque<std::function<void()>> batch;
  {
    std::unique_lock<std::mutex> lk(FLock);
    if (!FHasUIThread) {
      FUIThread = std::this_thread::get_id();
      FHasUIThread = true;
    }
    if (FQueue.empty() && aTimeoutMs > 0)
      FWake.wait_for(lk, std::chrono::milliseconds(aTimeoutMs), [&] { return !FQueue.empty(); });
    batch.swap(FQueue);
  }
  for (auto& f : batch) f();
  return static_cast<int>(batch.size());
}
