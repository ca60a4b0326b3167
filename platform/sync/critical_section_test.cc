#include "platform/sync/critical_section.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(FXCriticalSection, IsRecursiveAndExcludesOtherThreads) {
  FXCriticalSection section;
  auto_lock outer(section);
  {
    auto_lock inner(&section);  // same thread re-enters
    EXPECT_TRUE(inner.IsLocked());
  }
  std::atomic<bool> otherGotIt{true};
  std::thread other([&] {
    otherGotIt = section.TryLock(CTimeInterval::FromSeconds(5));
    if (otherGotIt) section.Unlock();
  });
  other.join();
  EXPECT_FALSE(otherGotIt);

  outer.Unlock();
  EXPECT_FALSE(outer.IsLocked());
  std::thread later([&] {
    otherGotIt = section.TryLock();
    if (otherGotIt) section.Unlock();
  });
  later.join();
  EXPECT_TRUE(otherGotIt);
}

TEST(auto_lock, DeferredLockAndNullResource) {
  FXCriticalSection section;
  {
    auto_lock guard(section, false);
    EXPECT_FALSE(guard.IsLocked());
    guard.Lock();
    guard.Lock();  // a second Lock through the same guard does not nest
    EXPECT_TRUE(guard.IsLocked());
  }
  std::atomic<bool> free{false};
  std::thread other([&] {
    free = section.TryLock();
    if (free) section.Unlock();
  });
  other.join();
  EXPECT_TRUE(free);

  auto_lock none(static_cast<FXLockableResource*>(nullptr));
  EXPECT_FALSE(none.IsLocked());
}
