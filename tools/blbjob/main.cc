// blbjob: plays the agent's part in a block-level job from a shell, against
// the simulated platform of a state directory (BLB_STATE_DIR):
//   blbjob <verb> [options] -- <job arguments>
// The job arguments go unchanged to the library, as the agent's would.
#include <cstdio>
#include <string>

#include "platform/settings/settings.h"
#include "state_dir.h"
#include "verbs/verb.h"

int main(int argc, char** argv) {
  tools::SetProgramName("blbjob");
  platform::Settings::AnchorStateDir();
  tools::Args args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "help" || args[0] == "--help") {
    std::printf("usage: blbjob <verb> [options] -- <job arguments>\n\nverbs:\n");
    tools::PrintVerbs();
    return args.empty() ? 2 : 0;
  }
  if (!blbjob::StateDirReady()) return 1;
  const std::string name = args[0];
  args.erase(args.begin());
  return tools::RunVerb(name, args);
}
