// The platform's worker thread: OnStart on a new thread, OnStop only after
// it returned, the interrupt on the stopping thread, joins.
#include "platform/thread/alertable_event_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

namespace {

// OnStart blocks until interrupted; records the order of what ran.
class BlockingThread : public CAlertableEventThread {
 public:
  BlockingThread() {
    SetStopInterrupt([this] {
      interruptedOn = std::this_thread::get_id();
      std::lock_guard<std::mutex> lock(mutex);
      released = true;
      wake.notify_all();
    });
  }
  ~BlockingThread() override { Stop(true); }
  void OnStart() override {
    startedOn = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait(lock, [this] { return released; });
    startReturned = true;
  }
  void OnStop() override {
    stopSawStartReturned = startReturned.load();
    ++stops;
  }

  std::mutex mutex;
  std::condition_variable wake;
  bool released = false;
  std::atomic<bool> startReturned{false};
  std::atomic<bool> stopSawStartReturned{false};
  std::atomic<int> stops{0};
  std::thread::id startedOn;
  std::thread::id interruptedOn;
};

TEST(AlertableEventThread, AStopInterruptsOnStartThenRunsOnStopOnTheThread) {
  testing_support::ScopedStateDir state;
  BlockingThread thread;
  thread.Stop(true);  // before Start: nothing
  EXPECT_EQ(thread.stops, 0);
  ASSERT_TRUE(thread.Start());
  EXPECT_FALSE(thread.Start());
  EXPECT_FALSE(thread.WaitForStop(CTimeInterval::FromMilliseconds(20)));
  thread.Stop(true);
  EXPECT_TRUE(thread.WaitForStop(CTimeInterval::FromMilliseconds(0)));
  EXPECT_EQ(thread.stops, 1);
  EXPECT_TRUE(thread.stopSawStartReturned);
  EXPECT_NE(thread.startedOn, std::this_thread::get_id());
  EXPECT_EQ(thread.interruptedOn, std::this_thread::get_id());
  thread.Stop(true);
  thread.Stop(false);
  EXPECT_EQ(thread.stops, 1);
}

TEST(AlertableEventThread, AStopWithoutWaitingIsJoinedLaterAndAFaultStartsNothing) {
  testing_support::ScopedStateDir state;
  {
    BlockingThread thread;
    ASSERT_TRUE(thread.Start());
    thread.Stop(false);
    thread.Stop(true);
    EXPECT_EQ(thread.stops, 1);
  }
  platform::FaultTable::Set("CAlertableEventThread::Start", 5);
  BlockingThread thread;
  EXPECT_FALSE(thread.Start());
  thread.Stop(true);
  EXPECT_EQ(thread.stops, 0);
}

}  // namespace
