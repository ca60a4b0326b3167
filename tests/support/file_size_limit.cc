#include "support/file_size_limit.h"

#include <gtest/gtest.h>

namespace testing_support {

ScopedFileSizeLimit::ScopedFileSizeLimit(rlim_t bytes) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  EXPECT_EQ(::sigaction(SIGXFSZ, &ignore, &savedAction_), 0);
  EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &saved_), 0);
  rlimit limited = saved_;
  limited.rlim_cur = bytes;
  EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
}

ScopedFileSizeLimit::~ScopedFileSizeLimit() {
  ::setrlimit(RLIMIT_FSIZE, &saved_);
  ::sigaction(SIGXFSZ, &savedAction_, nullptr);
}

}  // namespace testing_support
