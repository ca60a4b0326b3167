#include "platform/time/time_stamp.h"

#include <cstdio>
#include <ctime>

CTimeStamp CTimeStamp::Now() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return CTimeStamp(kUnixEpochTicks + static_cast<int64_t>(now.tv_sec) * 10000000LL + now.tv_nsec / 100);
}

std::string CTimeCounter::AsString() const {
  const uint64_t calls = Calls();
  const double seconds = Total().GetSeconds();
  const double average = calls != 0 ? seconds * 1000.0 / static_cast<double>(calls) : 0.0;
  char text[96];
  std::snprintf(text, sizeof text, "Calls=%llu Total=%.3fs Average=%.3fms", static_cast<unsigned long long>(calls),
                seconds, average);
  return text;
}
