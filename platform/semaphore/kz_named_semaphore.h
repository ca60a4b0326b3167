#pragma once
// KzNamedSemaphore: a machine-wide semaphore of count 1, named by a text.
//
//   KzNamedSemaphore semaphore("BlockLvlContentCheck", 1, nullptr, false);
//   if (semaphore.wait() == 0) { ... ; semaphore.release(1); }
//
// Real: the name is a lock file in "locks/" of the state directory and each
// wait takes an exclusive flock on a descriptor of its own (close-on-exec),
// so waits exclude each other across processes and threads alike, a second
// wait of the same thread blocks as on a count-1 semaphore, children started
// while it is held never keep it, and the kernel gives it back when the
// holder dies. A wait still held when the object goes is given back then.
//
// Faults: "KzNamedSemaphore::KzNamedSemaphore" (the object cannot be made:
// the constructor throws KzException with the fault's code),
// "KzNamedSemaphore::wait" (wait returns the fault's code).
#include <mutex>
#include <string>
#include <vector>

class KzNamedSemaphore {
 public:
  // Opens the semaphore of that name, making it when missing unless
  // openExisting; *created (when given) tells whether this call made it.
  // Throws KzException when the name cannot name a lock file (empty, "." or
  // "..", holding '/'), the initial count is not 1 (the only count a lock
  // file can stand for), or the semaphore cannot be opened or made.
  KzNamedSemaphore(const std::string& name, int initialCount, bool* created = nullptr, bool openExisting = false);
  ~KzNamedSemaphore();
  KzNamedSemaphore(const KzNamedSemaphore&) = delete;
  KzNamedSemaphore& operator=(const KzNamedSemaphore&) = delete;

  // Blocks until the semaphore is taken. 0, or an errno (nothing taken).
  int wait();
  // Gives back up to count of the holds this object's waits took, the latest
  // first. 0; EINVAL when it holds none (nothing is given back: a semaphore
  // that was never taken must not go above its count).
  int release(int count = 1);

  const std::string& path() const { return m_sPath; }

 private:
  std::string m_sPath;
  std::mutex m_oMutex;
  std::vector<int> m_vHeld;  // one locked descriptor per successful wait
};
