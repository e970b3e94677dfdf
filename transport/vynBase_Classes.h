// The component base shared by the whole library, the library's thread that
// knows its own id, and the interval timer built on it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Classes.h"
#include "transport/vynIdThread.h"

class TvynComponent_Base : public TComponent {
public:
  explicit TvynComponent_Base(TComponent* aOwner = nullptr) : TComponent(aOwner) {}

  // The library's version; read-only.
  std::string Version() const;

  virtual bool IsDesigning() const { return TComponent::IsDesigning(); }
  virtual bool IsDestroying() const { return TComponent::IsDestroying(); }
  virtual bool IsLoading() const { return TComponent::IsLoading(); }
};

class TvynIdThread : public TIdThread {
public:
  using TIdThread::TIdThread;

  std::string DebugName;
  // The platform id, recorded the first time the unit of work runs.
  std::thread::id ThreadId() const { return FThreadId.load(); }
  // True while a handler of a subclass runs.
  bool IsExecuting() const { return FIsExecuting.load(); }
  void SetIsExecuting(bool AValue) { FIsExecuting.store(AValue); }
  bool IsCurrentThread() const { return std::this_thread::get_id() == FThreadId.load(); }

protected:
  void RecordThreadId() {
    if (FThreadId.load() == std::thread::id()) FThreadId.store(std::this_thread::get_id());
  }

private:
  std::atomic<std::thread::id> FThreadId{};
  std::atomic<bool> FIsExecuting{false};
};

enum class TwsNotifyEvent : std::uint8_t { neNoSync = 0, neAsynchronous = 1, neSynchronous = 2 };

class TvynTimer;
using TvynTimerNotifyEvent = std::function<void(TvynTimer* Sender)>;
using TvynTimerOnException = std::function<void(TvynTimer* Sender, const Exception& E)>;

// Fires OnTimer about every Interval milliseconds (rounded up to a multiple
// of 100) while Enabled, on its own thread or on the UI thread.
class TvynTimer : public TvynIdThread {
public:
  // The thread runs from here on; it fires once Enabled.
  TvynTimer();
  ~TvynTimer() override;

  bool Enabled() const { return FEnabled.load(); }
  // True starts a fresh interval; False ends the timer's thread.
  void SetEnabled(bool AValue);
  std::int32_t Interval() const { return FInterval.load(); }
  void SetInterval(std::int32_t AValue) { FInterval.store(AValue); }
  TwsNotifyEvent NotifyEvents() const { return FNotifyEvents.load(); }
  void SetNotifyEvents(TwsNotifyEvent AValue) { FNotifyEvents.store(AValue); }

  void Terminate() override;

  TvynTimerNotifyEvent OnTimer;
  TvynTimerOnException OnException;

protected:
  void Run() override;
  virtual void DoTimer();
  virtual void DoException(const Exception& E);

private:
  // Waits until the pass's time is up; false when terminated or restarted.
  bool WaitInterval(std::int32_t AMSec);
  // Runs DoTimer on the UI thread; with AWait, until it ran or the timer
  // was terminated.
  void FireOnUIThread(bool AWait);

  std::atomic<bool> FEnabled{false};
  std::atomic<std::int32_t> FInterval{60000};
  std::atomic<TwsNotifyEvent> FNotifyEvents{TwsNotifyEvent::neNoSync};
  std::mutex FWaitLock;
  std::condition_variable FWaitChanged;
  std::uint64_t FRestarts = 0;
  std::uint64_t FFired = 0;
  // Shared with calls queued to the UI thread, which may run after the
  // timer is gone.
  struct Shared {
    std::mutex Lock;
    bool Alive = true;
  };
  std::shared_ptr<Shared> FShared = std::make_shared<Shared>();
};

// Frees a timer and clears the reference. From another thread and outside its
// handler: ends the thread, waiting for a handler in progress there, and frees
// the timer. From the timer's thread or inside its handler: the timer is
// freed once its thread has ended.
void FreeTimer(TvynTimer*& ATimer);
