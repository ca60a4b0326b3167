#include "platform/harness/script_calls.h"

#include <cstdlib>

#include "platform/process/shell_quote.h"
#include "platform/sim/fs_util.h"
#include "platform/text/fx_string.h"

namespace blbsim {

std::string RecordCallLine(const std::string& callsFile) {
  return "printf '%s|%s\\n' \"$$\" \"$0 $*\" >> " + platform::ShellQuote(callsFile) + "\n";
}

std::vector<ScriptCall> ReadScriptCalls(const std::string& callsFile) {
  std::vector<ScriptCall> calls;
  std::string contents;
  if (callsFile.empty() || !platform::ReadWholeFile(callsFile, contents)) return calls;
  for (const FXString& line : FXString::Split(contents, '\n')) {
    const size_t bar = line.find('|');
    if (bar == std::string::npos) continue;
    ScriptCall call;
    call.pid = std::strtol(line.substr(0, bar).c_str(), nullptr, 10);
    call.commandLine = line.substr(bar + 1);
    calls.push_back(call);
  }
  return calls;
}

}  // namespace blbsim
