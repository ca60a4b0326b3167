#pragma once
// A stand-in for the agent's snapshot handler script "ImgUxaSnapHandler.sh"
// in the "Base" folder of the installation directory ("Base"/"dTARVOSHOME").
// Its behaviour is chosen at installation; every run appends one line to a
// calls file beside it, so a test can see how it was started.
#include <string>
#include <vector>

#include "platform/harness/script_calls.h"

namespace blbsim {

using SnapHandlerCall = ScriptCall;

// The script's path under the installation directory ("" when the registry
// names none).
std::string SnapHandlerScriptPath();
// Installs (or replaces) the script: it records its call, sleeps the given
// seconds, then exits with the given code. Returns false when it cannot.
bool InstallSnapHandlerScript(int exitCode, int sleepSeconds);
bool RemoveSnapHandlerScript();
// The runs recorded so far, oldest first.
std::vector<SnapHandlerCall> SnapHandlerCalls();

}  // namespace blbsim
