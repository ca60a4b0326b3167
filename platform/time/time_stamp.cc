#include "platform/time/time_stamp.h"

#include <ctime>

CTimeStamp CTimeStamp::Now() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return CTimeStamp(kUnixEpochTicks + static_cast<int64_t>(now.tv_sec) * 10000000LL + now.tv_nsec / 100);
}
