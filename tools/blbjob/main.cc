// blbjob: plays the agent's part in a block-level job from a shell, against
// the simulated platform of a state directory (BLB_STATE_DIR):
//   blbjob [--verbose] <verb> [options] -- <job arguments>
// The job arguments go unchanged to the library, as the agent's would.
// A failure is one line on stderr, "blbjob VERB: ..."; with --verbose
// (anywhere before "--") its whole chain follows, as the log has it.
#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/settings/settings.h"
#include "state_dir.h"
#include "verbs/error_report.h"
#include "verbs/verb.h"

int main(int argc, char** argv) {
  tools::SetProgramName("blbjob");
  platform::Settings::AnchorStateDir();
  tools::Args args(argv + 1, argv + argc);
  const auto separator = std::find(args.begin(), args.end(), "--");
  const auto verbose = std::remove(args.begin(), separator, "--verbose");
  tools::SetVerbose(verbose != separator);
  args.erase(verbose, separator);
  if (args.empty() || args[0] == "help" || args[0] == "--help") {
    std::printf("usage: blbjob [--verbose] <verb> [options] -- <job arguments>\n\nverbs:\n");
    tools::PrintVerbs();
    return args.empty() ? 2 : 0;
  }
  const std::string name = args[0];
  // Every error line names the verb, the state directory's refusal too.
  tools::SetAskedVerb(name);
  if (!blbjob::StateDirReady()) return 1;
  args.erase(args.begin());
  return tools::RunVerb(name, args);
}
