#pragma once
// Platform sleeps, scaled by BLB_SLEEP_FACTOR so that tests never really wait.

namespace platform {

void SleepMilliseconds(long long milliseconds);

}  // namespace platform

class FXThread {
 public:
  static void Sleep(long long milliseconds) { platform::SleepMilliseconds(milliseconds); }
};
