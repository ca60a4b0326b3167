// Process verbs: the stand-in snapshot handler script.
#include <cstdio>

#include "platform/harness/snap_handler_harness.h"
#include "verb.h"

namespace blbsim {
namespace {

int SnapHandler(const Args& args) {
  if (!args.empty() && args[0] == "install" && args.size() <= 3) {
    int exitCode = 0;
    int sleepSeconds = 0;
    if ((args.size() > 1 && (!ReadInt(args[1], exitCode) || exitCode < 0 || exitCode > 255)) ||
        (args.size() > 2 && (!ReadInt(args[2], sleepSeconds) || sleepSeconds < 0)))
      return UsageError("snaphandler");
    if (!InstallSnapHandlerScript(exitCode, sleepSeconds)) {
      std::fprintf(stderr, "blbsim: cannot install the snapshot handler script\n");
      return 1;
    }
    std::printf("%s\n", SnapHandlerScriptPath().c_str());
    return 0;
  }
  if (args.size() == 1 && args[0] == "remove") return RemoveSnapHandlerScript() ? 0 : 1;
  if (args.size() == 1 && args[0] == "calls") {
    for (const SnapHandlerCall& call : SnapHandlerCalls()) std::printf("%ld %s\n", call.pid, call.commandLine.c_str());
    return 0;
  }
  return UsageError("snaphandler");
}

const VerbRegistration kProcessVerbs({
    {"snaphandler", "install [EXIT [SLEEP]] | remove | calls",
     "the stand-in ImgUxaSnapHandler.sh: exit code and seconds it sleeps; its recorded runs", SnapHandler},
});

}  // namespace
}  // namespace blbsim
