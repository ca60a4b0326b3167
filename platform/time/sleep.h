#pragma once
// Platform sleeps, scaled by BLB_SLEEP_FACTOR so that tests never really wait.
#include <vector>

namespace platform {

void SleepMilliseconds(long long milliseconds);

// The durations asked of QISLEEP_InTeRnAl in this process, oldest first
// (before scaling), for tests to read; ClearRequestedSleeps empties it.
std::vector<long long> RequestedSleeps();
void ClearRequestedSleeps();

}  // namespace platform

class FXThread {
 public:
  static void Sleep(long long milliseconds) { platform::SleepMilliseconds(milliseconds); }
};

// The framework's sleep: scaled like the others, the duration asked recorded.
void QISLEEP_InTeRnAl(long long milliseconds);
