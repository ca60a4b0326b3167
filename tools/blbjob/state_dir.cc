#include "state_dir.h"

#include <exception>

#include "platform/harness/sim_harness.h"
#include "platform/settings/settings.h"
#include "verbs/error_report.h"

namespace blbjob {

bool StateDirReady() {
  const char* dir = platform::Settings::StateDirText();
  try {
    if (blbsim::IsStateDirPrepared()) return true;
  } catch (const std::exception& refused) {  // a database this build must not use
    tools::PrintErrorLine("%s", refused.what());
    return false;
  }
  tools::PrintErrorLine("the state directory %s is not laid out; run \"blbsim init %s\" first", dir, dir);
  return false;
}

}  // namespace blbjob
