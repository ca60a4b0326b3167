#include "platform/lock/kz_file_lock.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

namespace {

// Runs body in a child process; the child's exit status is body's result.
pid_t InChild(int (*body)(const std::string&), const std::string& path) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body(path));
  return pid;
}

int ExitStatus(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// 0 when a write lock could be taken at once, 1 when it was held elsewhere.
int TryWrite(const std::string& path) {
  KzFileLock probe;
  const int result = probe.lock(path, KzFileLock::kWrite, 0);
  return result == 0 ? 0 : result == ETIMEDOUT ? 1 : 2;
}

int TryRead(const std::string& path) {
  KzFileLock probe;
  const int result = probe.lock(path, KzFileLock::kRead, 0);
  return result == 0 ? 0 : result == ETIMEDOUT ? 1 : 2;
}

TEST(KzFileLock, NestedHoldsOfOneProcessKeepTheOuterLockUntilItIsReleased) {
  testing_support::ScopedStateDir state;
  const std::string path = state.Sub("list.lock");
  KzFileLock outer(false);
  ASSERT_EQ(outer.lock(path, KzFileLock::kWrite, -1), 0);
  {
    KzFileLock innerRead;
    ASSERT_EQ(innerRead.lock(path, KzFileLock::kRead, -1), 0);  // would deadlock with a fresh flock
    KzFileLock innerWrite;
    ASSERT_EQ(innerWrite.lock(path, KzFileLock::kWrite, -1), 0);
    EXPECT_EQ(innerWrite.lock(path, KzFileLock::kWrite, -1), EBUSY);
  }
  // The inner objects are gone; another process must still be kept out.
  EXPECT_EQ(ExitStatus(InChild(TryWrite, path)), 1);
  EXPECT_EQ(ExitStatus(InChild(TryRead, path)), 1);
  EXPECT_EQ(outer.unlock(), 0);
  EXPECT_EQ(outer.unlock(), EINVAL);
  EXPECT_EQ(ExitStatus(InChild(TryWrite, path)), 0);
}

TEST(KzFileLock, ReadersShareAndAWriterWaitsForThem) {
  testing_support::ScopedStateDir state;
  const std::string path = state.Sub("list.lock");
  KzFileLock reader;
  ASSERT_EQ(reader.lock(path, KzFileLock::kRead, -1), 0);
  EXPECT_EQ(ExitStatus(InChild(TryRead, path)), 0);
  EXPECT_EQ(ExitStatus(InChild(TryWrite, path)), 1);
  // A thread that reads may not turn its hold into a write lock.
  KzFileLock upgrade;
  EXPECT_EQ(upgrade.lock(path, KzFileLock::kWrite, -1), EDEADLK);
}

TEST(KzFileLock, ALockOfAKilledProcessIsReleasedAndAForkedChildHoldsNothing) {
  testing_support::ScopedStateDir state;
  const std::string path = state.Sub("list.lock");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t holder = ::fork();
  if (holder == 0) {
    KzFileLock lock;
    if (lock.lock(path, KzFileLock::kWrite, -1) != 0) ::_exit(3);
    (void)!::write(ready[1], "x", 1);
    for (;;) ::pause();
  }
  char byte;
  pollfd wait{ready[0], POLLIN, 0};
  ASSERT_EQ(::poll(&wait, 1, 10000), 1);
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  KzFileLock blocked;
  EXPECT_EQ(blocked.lock(path, KzFileLock::kWrite, 0), ETIMEDOUT);
  ::kill(holder, SIGKILL);
  EXPECT_EQ(ExitStatus(holder), 128 + SIGKILL);
  ASSERT_EQ(blocked.lock(path, KzFileLock::kWrite, 10), 0);
  ::close(ready[0]);
  ::close(ready[1]);

  // A child forked while this process holds the lock must wait like any other.
  EXPECT_EQ(ExitStatus(InChild(TryWrite, path)), 1);
  EXPECT_EQ(blocked.unlock(), 0);
}

TEST(KzFileLock, AnInjectedFaultFailsTheCall) {
  testing_support::ScopedStateDir state;
  platform::FaultTable::Set("KzFileLock::lock", 5);
  KzFileLock lock;
  EXPECT_EQ(lock.lock(state.Sub("x.lock"), KzFileLock::kWrite, -1), 5);
  EXPECT_FALSE(lock.isLocked());
}

}  // namespace
