// blbsim: seeds and inspects the simulated platform state of a state
// directory (BLB_STATE_DIR, or --state DIR before the verb).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/harness/sim_harness.h"
#include "platform/settings/settings.h"
#include "verb.h"

int main(int argc, char** argv) {
  tools::SetProgramName("blbsim");
  platform::Settings::AnchorStateDir();
  blbsim::Args args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "--state") {
    platform::Settings::SetStateDir(args[1].c_str());
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty() || args[0] == "help" || args[0] == "--help") {
    std::printf("usage: blbsim [--state DIR] <verb> [args...]\n\nverbs:\n");
    tools::PrintVerbs();
    return args.empty() ? 2 : 0;
  }
  const std::string name = args[0];
  args.erase(args.begin());
  // Only init lays a state directory out: another verb, one that only reads
  // above all, would make a bare one and answer from it.
  if (name != "init" && !blbsim::StateDirExists()) {
    const char* dir = platform::Settings::StateDirText();
    std::fprintf(stderr, "blbsim: no state directory %s; \"blbsim init %s\" lays one out\n", dir, dir);
    return 1;
  }
  return tools::RunVerb(name, args);
}
