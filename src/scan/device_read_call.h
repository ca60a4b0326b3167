#pragma once
// The positioned read the device readers make: pread64, unless a test has
// put another call in its place to provoke what a real device seldom does
// (a read interrupted by a signal).
#include <sys/types.h>

#include <cstddef>

namespace scan {

typedef ssize_t (*PreadCall)(int fd, void* buffer, size_t count, off64_t offset);

ssize_t DevicePread(int fd, void* buffer, size_t count, off64_t offset);

// Replaces the call for its scope (tests only).
class ScopedPreadCall {
 public:
  explicit ScopedPreadCall(PreadCall call);
  ~ScopedPreadCall();
  ScopedPreadCall(const ScopedPreadCall&) = delete;
  ScopedPreadCall& operator=(const ScopedPreadCall&) = delete;

 private:
  PreadCall m_pPrevious;
};

}  // namespace scan
