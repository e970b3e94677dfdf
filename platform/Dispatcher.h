// Hand-over of callbacks to the UI thread. The window installs an
// implementation on its event loop; tests install a queue they pump. Without
// one installed, callbacks run on the calling thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class IUIDispatcher {
public:
  virtual ~IUIDispatcher() = default;
  // Runs aProc on the UI thread later; returns at once.
  virtual void Queue(std::function<void()> aProc) = 0;
  // Runs aProc on the UI thread and waits for it to finish.
  virtual void Synchronize(std::function<void()> aProc) = 0;
};

// Installs (or with nullptr removes) the process's dispatcher. The caller
// keeps it alive while installed.
void SetUIDispatcher(IUIDispatcher* aDispatcher);
IUIDispatcher* GetUIDispatcher();

void QueueOnUIThread(std::function<void()> aProc);
void SynchronizeOnUIThread(std::function<void()> aProc);

// A dispatcher whose "UI thread" is whichever thread calls Pump: for tests and
// for programs without a window. Synchronize from the pumping thread itself
// runs at once instead of waiting for itself.
class TQueueDispatcher : public IUIDispatcher {
public:
  void Queue(std::function<void()> aProc) override;
  void Synchronize(std::function<void()> aProc) override;
  // Runs what is queued; waits up to aTimeoutMs for the first item when the
  // queue is empty. Returns the number of callbacks run.
  int Pump(int aTimeoutMs = 0);
  void SetUIThread();

private:
  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<std::function<void()>> FQueue;
  bool FHasUIThread = false;
  std::thread::id FUIThread;
};
