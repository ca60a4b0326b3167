#include "platform/semaphore/kz_named_semaphore.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/process/kz_process.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

namespace {

using testing_support::ScopedStateDir;

constexpr const char* kName = "BlockLvlContentCheck";

// A wait in another thread; Taken() tells whether it got through.
class Waiter {
 public:
  explicit Waiter(KzNamedSemaphore& semaphore)
      : thread_([this, &semaphore] {
          result_ = semaphore.wait();
          taken_ = true;
        }) {}
  ~Waiter() {
    if (thread_.joinable()) thread_.join();
  }
  bool Taken() const { return taken_; }
  // Joins; the wait's result.
  int Join() {
    thread_.join();
    return result_;
  }

 private:
  std::atomic<bool> taken_{false};
  int result_ = -1;
  std::thread thread_;
};

// Long enough for a wait that could go through to have done so.
void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(200)); }

TEST(KzNamedSemaphore, OneHolderAtATimeAcrossThreadsAndObjects) {
  ScopedStateDir state;
  bool created = false;
  KzNamedSemaphore first(kName, 1, &created, false);
  EXPECT_TRUE(created);
  EXPECT_EQ(first.path(), state.Sub("locks/BlockLvlContentCheck"));
  KzNamedSemaphore second(kName, 1, &created, true);
  EXPECT_FALSE(created);

  // Giving back what was never taken lets nobody in beside a holder.
  EXPECT_EQ(second.release(1), EINVAL);
  ASSERT_EQ(first.wait(), 0);
  EXPECT_EQ(second.release(1), EINVAL);
  {
    Waiter other(second);
    Settle();
    EXPECT_FALSE(other.Taken());
    ASSERT_EQ(first.release(1), 0);
    EXPECT_EQ(other.Join(), 0);
  }
  // Not re-entrant: a second wait on the same object blocks too.
  {
    Waiter again(second);
    Settle();
    EXPECT_FALSE(again.Taken());
    ASSERT_EQ(second.release(1), 0);
    EXPECT_EQ(again.Join(), 0);
  }
  // A hold still taken when the object goes is given back with it.
  { KzNamedSemaphore dropped(kName, 1); }
  {
    KzNamedSemaphore holder(kName, 1);
    ASSERT_EQ(second.release(1), 0);
    ASSERT_EQ(holder.wait(), 0);
  }
  ASSERT_EQ(first.wait(), 0);
  EXPECT_EQ(first.release(1), 0);
}

TEST(KzNamedSemaphore, AHolderThatDiesGivesItBackAndChildrenNeverKeepIt) {
  ScopedStateDir state;
  KzNamedSemaphore semaphore(kName, 1);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child takes the lock file the way a wait does, without touching
    // the state database its parent has open.
    const int fd = ::open(semaphore.path().c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::write(ready[1], "x", 1) != 1) ::_exit(1);
    for (;;) ::pause();
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  // The child holds it; killed, the kernel gives it back.
  KzNamedSemaphore probe(kName, 1);
  Waiter waiter(probe);
  Settle();
  EXPECT_FALSE(waiter.Taken());
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(waiter.Join(), 0);

  // A command started while it is held does not keep it.
  KzProcess sleeper;
  char error[256] = {};
  ASSERT_TRUE(sleeper.StartProcess(nullptr, "sleep 30", error, sizeof error, 0)) << error;
  ASSERT_EQ(probe.release(1), 0);
  ASSERT_EQ(semaphore.wait(), 0);
  sleeper.kill(SIGKILL);
  EXPECT_EQ(semaphore.release(1), 0);
}

TEST(KzNamedSemaphore, RefusesWhatCannotBeASemaphoreAndObeysFaults) {
  ScopedStateDir state;
  for (const char* bad : {"", ".", "..", "a/b"}) EXPECT_THROW(KzNamedSemaphore(bad, 1), KzException) << bad;
  EXPECT_THROW(KzNamedSemaphore(kName, 2), KzException);
  // Opening one that does not exist yet, when asked only to open.
  EXPECT_THROW(KzNamedSemaphore("Missing", 1, nullptr, true), KzException);

  platform::FaultTable::Set("KzNamedSemaphore::KzNamedSemaphore", 12, false, 1);
  try {
    KzNamedSemaphore failed(kName, 1);
    ADD_FAILURE() << "made despite the fault";
  } catch (const KzException& exception) {
    EXPECT_EQ(exception.getCode(), 12);
  }
  KzNamedSemaphore semaphore(kName, 1);
  platform::FaultTable::Set("KzNamedSemaphore::wait", 5, false, 1);
  EXPECT_EQ(semaphore.wait(), 5);
  EXPECT_EQ(semaphore.release(1), EINVAL);  // the failed wait took nothing
  ASSERT_EQ(semaphore.wait(), 0);
  EXPECT_EQ(semaphore.release(1), 0);
}

}  // namespace
