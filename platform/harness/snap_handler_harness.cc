#include "platform/harness/snap_handler_harness.h"

#include <unistd.h>

#include "platform/registry/registry_backend.h"
#include "platform/sim/fs_util.h"

namespace blbsim {
namespace {

constexpr const char* kScriptName = "ImgUxaSnapHandler.sh";

std::string CallsFile() {
  std::string script = SnapHandlerScriptPath();
  return script.empty() ? std::string() : script + ".calls";
}

}  // namespace

std::string SnapHandlerScriptPath() {
  std::string home;
  if (!platform::Registry::Current().Get("Base", "dTARVOSHOME", home) || home.empty()) return std::string();
  return home + "/Base/" + kScriptName;
}

bool InstallSnapHandlerScript(int exitCode, int sleepSeconds) {
  const std::string script = SnapHandlerScriptPath();
  if (script.empty() || !platform::MakeDirectories(platform::ParentOf(script))) return false;
  // The script lets go of the caller's output at once: a run left sleeping
  // must not hold the pipes of whoever started the caller.
  const std::string text = std::string("#!/bin/sh\n"
                                       "exec >/dev/null 2>&1 </dev/null\n") +
                           RecordCallLine(CallsFile()) +
                           (sleepSeconds > 0 ? "sleep " + std::to_string(sleepSeconds) + "\n" : std::string()) +
                           "exit " + std::to_string(exitCode) + "\n";
  return platform::WriteFileAtomically(script, text, 0755);
}

bool RemoveSnapHandlerScript() {
  const std::string script = SnapHandlerScriptPath();
  if (script.empty()) return false;
  ::unlink(CallsFile().c_str());
  return ::unlink(script.c_str()) == 0;
}

std::vector<SnapHandlerCall> SnapHandlerCalls() { return ReadScriptCalls(CallsFile()); }

}  // namespace blbsim
