// Verbs of the machine-wide named semaphores.
#include <cstdio>
#include <cstring>

#include "platform/harness/semaphore_harness.h"
#include "verb.h"

namespace blbsim {
namespace {

int Sem(const Args& args) {
  if ((args.size() != 2 && args.size() != 3) || args[0] != "hold") return UsageError("sem");
  int seconds = -1;
  if (args.size() == 3 && (!ReadInt(args[2], seconds) || seconds < 0)) return UsageError("sem");
  const int error = HoldSemaphore(args[1], seconds, [] {
    std::printf("held\n");
    std::fflush(stdout);
  });
  if (error == 0) return 0;
  std::fprintf(stderr, "blbsim: cannot hold semaphore %s: %s\n", args[1].c_str(), std::strerror(error));
  return 1;
}

const VerbRegistration kSemaphoreVerbs({
    {"sem", "hold NAME [SECONDS]",
     "take a named semaphore, print \"held\" and keep it until killed or for the seconds", Sem},
});

}  // namespace
}  // namespace blbsim
