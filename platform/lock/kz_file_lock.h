#pragma once
// KzFileLock: a lock on a lock file shared by every process of the machine.
//
//   KzFileLock guard(true);
//   guard.lock(path, 1 /* write */, -1 /* no time-out */);
//   ... read-modify-write the guarded file ...
//   // released by unlock() or by the destructor
//
// A write lock excludes every lock of every other process and thread; read
// locks share. A thread that already holds a lock on the file takes it again
// through another KzFileLock object at once, and releasing the inner object
// keeps the outer lock: the process keeps one flock'd descriptor per lock file
// with a count of its holds. A lock held by a process that dies is released
// by the kernel. Descriptors are close-on-exec and a forked child starts with
// no locks, so commands run while holding a lock never keep it alive.
#include <string>

class KzFileLock {
 public:
  enum Type { kRead = 0, kWrite = 1 };

  // The flag is the agent's: true for short-lived guards, false for a lock
  // held for an object's life. Either way the destructor releases the lock.
  explicit KzFileLock(bool /*bShortLived*/ = true) {}
  ~KzFileLock();
  KzFileLock(const KzFileLock&) = delete;
  KzFileLock& operator=(const KzFileLock&) = delete;

  // type 0 read, 1 write; waitSeconds -1 waits as long as it takes.
  // 0 on success, else an errno: ETIMEDOUT when the wait ran out, EDEADLK when
  // a thread that holds the file for reading asks to write, EBUSY when this
  // object already holds a lock.
  int lock(const char* path, int type, int waitSeconds);
  int lock(const std::string& path, int type, int waitSeconds) { return lock(path.c_str(), type, waitSeconds); }
  // 0; EINVAL when nothing is held.
  int unlock();
  bool isLocked() const { return m_nKey >= 0; }

 private:
  long long m_nKey = -1;  // the process-wide hold this object took
};
