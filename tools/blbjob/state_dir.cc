#include "state_dir.h"

#include <cstdio>
#include <exception>

#include "platform/harness/sim_harness.h"
#include "platform/settings/settings.h"

namespace blbjob {

bool StateDirReady() {
  const char* dir = platform::Settings::StateDirText();
  try {
    if (blbsim::IsStateDirPrepared()) return true;
  } catch (const std::exception& refused) {  // a database this build must not use
    std::fprintf(stderr, "blbjob: %s\n", refused.what());
    return false;
  }
  std::fprintf(stderr, "blbjob: the state directory %s is not laid out; run \"blbsim init %s\" first\n", dir, dir);
  return false;
}

}  // namespace blbjob
