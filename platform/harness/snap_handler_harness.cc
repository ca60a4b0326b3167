#include "platform/harness/snap_handler_harness.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/process/shell_quote.h"
#include "platform/registry/registry_backend.h"
#include "platform/sim/fs_util.h"
#include "platform/text/fx_string.h"

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
  const std::string text = "#!/bin/sh\n"
                           "exec >/dev/null 2>&1 </dev/null\n"
                           "printf '%s|%s\\n' \"$$\" \"$0 $*\" >> " + platform::ShellQuote(CallsFile()) + "\n" +
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

std::vector<SnapHandlerCall> SnapHandlerCalls() {
  std::vector<SnapHandlerCall> calls;
  std::string contents;
  const std::string file = CallsFile();
  if (file.empty() || !platform::ReadWholeFile(file, contents)) return calls;
  for (const FXString& line : FXString::Split(contents, '\n')) {
    const size_t bar = line.find('|');
    if (bar == std::string::npos) continue;
    SnapHandlerCall call;
    call.pid = std::strtol(line.substr(0, bar).c_str(), nullptr, 10);
    call.commandLine = line.substr(bar + 1);
    calls.push_back(call);
  }
  return calls;
}

}  // namespace blbsim
