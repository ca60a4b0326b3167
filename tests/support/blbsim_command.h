#pragma once
// The harness command blbsim as the tool tests run it. Needs BLBSIM_PATH, the
// built program, which the build defines for the tool tests only.
#include <string>

#include "support/run_command.h"

namespace testing_support {

// The command line running blbsim with the arguments on a state directory
// (an empty one: blbsim's own default), its errors merged into its output.
inline std::string BlbsimCommand(const std::string& stateDir, const std::string& arguments) {
  std::string command = BLBSIM_PATH;
  if (!stateDir.empty()) command += " --state " + stateDir;
  return command + " " + arguments + " 2>&1";
}

// Runs blbsim; its exit status, and what it printed in *output when given.
inline int RunBlbsim(const std::string& stateDir, const std::string& arguments, std::string* output = nullptr) {
  return RunCommand(BlbsimCommand(stateDir, arguments), output);
}

}  // namespace testing_support
