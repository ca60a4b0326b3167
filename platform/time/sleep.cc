#include "platform/time/sleep.h"

#include <cerrno>
#include <ctime>
#include <mutex>

#include "platform/settings/settings.h"

namespace platform {
namespace {

std::mutex& SleepsLock() {
  static std::mutex* lock = new std::mutex();
  return *lock;
}

std::vector<long long>& Sleeps() {
  static std::vector<long long>* sleeps = new std::vector<long long>();
  return *sleeps;
}

}  // namespace

std::vector<long long> RequestedSleeps() {
  std::lock_guard<std::mutex> hold(SleepsLock());
  return Sleeps();
}

void ClearRequestedSleeps() {
  std::lock_guard<std::mutex> hold(SleepsLock());
  Sleeps().clear();
}

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

void QISLEEP_InTeRnAl(long long milliseconds) {
  {
    std::lock_guard<std::mutex> hold(platform::SleepsLock());
    platform::Sleeps().push_back(milliseconds);
  }
  platform::SleepMilliseconds(milliseconds);
}
