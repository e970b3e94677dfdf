// The interval timer and the library thread under it: intervals, the three
// ways of firing (with the UI dispatcher pumped), errors, and freeing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Dispatcher.h"
#include "tests/transport/tcpserver_fixture.h"
#include "transport/vynBase_Classes.h"

using namespace tcpserver_test;

namespace {
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point AStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - AStart).count();
}

// Installs a pumped dispatcher for one test.
struct UIThread {
  UIThread() {
    dispatcher.SetUIThread();
    SetUIDispatcher(&dispatcher);
  }
  ~UIThread() { SetUIDispatcher(nullptr); }
  TQueueDispatcher dispatcher;
};
}  // namespace

TEST(vynTimer, AnIntervalIsRoundedUpToWholeStepsAndFiresOnlyWhileEnabled) {
  TvynTimer* timer = new TvynTimer();
  std::atomic<int> fired{0};
  std::atomic<long long> firstAt{0};
  timer->SetInterval(250);
  timer->OnTimer = [&](TvynTimer* ASender) {
    EXPECT_EQ(ASender, timer);
    EXPECT_TRUE(ASender->IsExecuting());
    EXPECT_TRUE(ASender->IsCurrentThread());
    ++fired;
  };
  // Not enabled: nothing fires.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(fired.load(), 0);
  const auto start = Clock::now();
  auto onTimer = timer->OnTimer;
  timer->OnTimer = [&, onTimer](TvynTimer* ASender) {
    if (firstAt.load() == 0) firstAt = MsSince(start);
    onTimer(ASender);
  };
  timer->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return fired.load() >= 2; }, 3000));
  // 250 ms is three 100 ms steps.
  EXPECT_GE(firstAt.load(), 295);
  EXPECT_LT(firstAt.load(), 1000);
  EXPECT_FALSE(timer->IsExecuting());
  FreeTimer(timer);
  EXPECT_EQ(timer, nullptr);
}

TEST(vynTimer, FiresOnTheUIThreadAsynchronouslyAndSynchronously) {
  for (TwsNotifyEvent mode : {TwsNotifyEvent::neAsynchronous, TwsNotifyEvent::neSynchronous}) {
    SCOPED_TRACE(static_cast<int>(mode));
    UIThread ui;
    TvynTimer* timer = new TvynTimer();
    std::atomic<int> onUI{0};
    const auto uiThread = std::this_thread::get_id();
    timer->SetInterval(100);
    timer->SetNotifyEvents(mode);
    timer->OnTimer = [&](TvynTimer*) {
      if (std::this_thread::get_id() == uiThread) ++onUI;
    };
    timer->SetEnabled(true);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (onUI.load() < 3 && Clock::now() < deadline) ui.dispatcher.Pump(50);
    EXPECT_GE(onUI.load(), 3);
    // Freed from the UI thread while the timer may wait for it: no deadlock.
    const long long ms = TimeMs([&] { FreeTimer(timer); });
    EXPECT_LT(ms, 1500);
    // Calls still queued find the timer gone and do nothing.
    ui.dispatcher.Pump(0);
  }
}

TEST(vynTimer, ErrorsGoToOnExceptionOrEndThePass) {
  // Handlers are set before the timer runs: they are plain members its
  // thread reads without a lock.
  for (bool withHandler : {true, false}) {
    SCOPED_TRACE(withHandler);
    TvynTimer* timer = new TvynTimer();
    std::atomic<int> fired{0}, errors{0};
    timer->SetInterval(0);
    timer->OnTimer = [&](TvynTimer*) {
      ++fired;
      throw Exception("tick failed");
    };
    if (withHandler) {
      timer->OnException = [&](TvynTimer* ASender, const Exception& E) {
        EXPECT_TRUE(ASender->IsExecuting());
        EXPECT_EQ(E.Message(), "tick failed");
        ++errors;
      };
    }
    timer->SetEnabled(true);
    // Without OnException the error ends the pass; the timer goes on.
    EXPECT_TRUE(WaitUntil([&] { return fired.load() >= 3; }));
    FreeTimer(timer);
    if (withHandler) {
      EXPECT_GE(errors.load(), 3);
    }
  }
}

// Freed from another thread while its handler runs on the timer's thread:
// the handler ends before FreeTimer returns, so what it uses may go next.
TEST(vynTimer, FreeTimerFromAnotherThreadWaitsForARunningHandler) {
  for (bool throwing : {false, true}) {
    SCOPED_TRACE(throwing);
    TvynTimer* timer = new TvynTimer();
    auto state = std::make_shared<std::atomic<int>>(0);  // 1 running, 2 done
    timer->SetInterval(0);
    timer->OnTimer = [state, throwing](TvynTimer* ASender) {
      if (state->load() != 0) return;
      *state = 1;
      WaitUntil([&] { return ASender->Terminated(); });
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (throwing) throw Exception("late");
      *state = 2;
    };
    timer->OnException = [state](TvynTimer*, const Exception&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      *state = 2;
    };
    timer->SetEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return state->load() == 1; }));
    FreeTimer(timer);
    EXPECT_EQ(state->load(), 2);
  }
}

TEST(vynTimer, FreeTimerFromInsideItsHandlerFreesItOnceItsThreadEnds) {
  TvynTimer* timer = new TvynTimer();
  std::atomic<bool> freed{false};
  timer->SetInterval(100);
  timer->OnTimer = [&](TvynTimer*) {
    TvynTimer* self = timer;
    FreeTimer(self);
    EXPECT_EQ(self, nullptr);
    freed = true;
  };
  timer->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return freed.load(); }));
  // The reaper joins and frees it; LeakSanitizer reports it otherwise.
  TvynTimer* none = nullptr;
  FreeTimer(none);
}
