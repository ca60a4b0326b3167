#pragma once
// Stand-in scripts of the agent's installation record every run they make in
// a calls file beside them, one "<pid>|<$0 $*>" line each, so a test can see
// how often and how a script was started.
#include <string>
#include <vector>

namespace blbsim {

struct ScriptCall {
  long pid = 0;
  std::string commandLine;  // "$0 $*": the script path and its arguments
};

// The shell line a stand-in script runs first to record its run.
std::string RecordCallLine(const std::string& callsFile);
// The runs recorded in the calls file, oldest first (none without a file).
std::vector<ScriptCall> ReadScriptCalls(const std::string& callsFile);

}  // namespace blbsim
