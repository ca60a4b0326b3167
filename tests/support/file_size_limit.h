#pragma once
// A full disk for a test, without a device: for the scope, a write that
// would take any file of the process past `bytes` fails with EFBIG
// (RLIMIT_FSIZE, with SIGXFSZ ignored so the write returns the error).
#include <sys/resource.h>

#include <csignal>

namespace testing_support {

class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t bytes);
  ~ScopedFileSizeLimit();
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  struct sigaction savedAction_{};
};

}  // namespace testing_support
