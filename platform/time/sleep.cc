#include "platform/time/sleep.h"

#include <cerrno>
#include <ctime>

#include "platform/settings/settings.h"

namespace platform {

void SleepMilliseconds(long long milliseconds) {
  const double scaled = static_cast<double>(milliseconds) * Settings::SleepFactor();
  if (scaled <= 0.0) return;
  struct timespec remaining;
  remaining.tv_sec = static_cast<time_t>(scaled / 1000.0);
  remaining.tv_nsec = static_cast<long>((scaled - static_cast<double>(remaining.tv_sec) * 1000.0) * 1e6);
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace platform
