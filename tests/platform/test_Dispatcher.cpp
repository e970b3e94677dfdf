#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Dispatcher.h"

namespace {

TEST(Dispatcher, WithoutOneCallbacksRunInPlace) {
  SetUIDispatcher(nullptr);
  int n = 0;
  QueueOnUIThread([&] { ++n; });
  SynchronizeOnUIThread([&] { ++n; });
  EXPECT_EQ(n, 2);
}

TEST(Dispatcher, QueuedAndSynchronizedCallsRunOnThePumpingThread) {
  TQueueDispatcher ui;
  ui.SetUIThread();
  SetUIDispatcher(&ui);
  const auto uiThread = std::this_thread::get_id();
  std::atomic<int> onUI{0};
  std::thread worker([&] {
    QueueOnUIThread([&] { onUI += std::this_thread::get_id() == uiThread; });
    SynchronizeOnUIThread([&] { onUI += std::this_thread::get_id() == uiThread; });
  });
  int ran = 0;
  for (int i = 0; i < 200 && ran < 2; ++i) ran += ui.Pump(50);
  worker.join();
  SetUIDispatcher(nullptr);
  EXPECT_EQ(ran, 2);
  EXPECT_EQ(onUI, 2);
}

TEST(Dispatcher, SynchronizeFromTheUIThreadDoesNotWaitForItself) {
  TQueueDispatcher ui;
  ui.SetUIThread();
  bool ran = false;
  ui.Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(Dispatcher, SynchronizeCarriesTheCallbacksError) {
  TQueueDispatcher ui;
  ui.SetUIThread();
  std::thread worker(
      [&] { EXPECT_THROW(ui.Synchronize([] { throw std::runtime_error("boom"); }), std::runtime_error); });
  for (int i = 0; i < 200 && ui.Pump(50) == 0;) ++i;
  worker.join();
}

}  // namespace
