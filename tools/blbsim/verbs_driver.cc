// Verbs of the simulated KZBF filter driver.
#include <climits>
#include <cstdio>

#include "platform/harness/kzbf_harness.h"
#include "verb.h"

namespace blbsim {
namespace {

int Kzbf(const Args& args) {
  if (args.empty()) return UsageError("kzbf");
  const std::string& what = args[0];
  if (args.size() == 1 && (what == "load" || what == "unload")) return SetKzbfLoaded(what == "load") ? 0 : 1;
  if (args.size() == 1 && what == "status") {
    std::printf("%s\n", IsKzbfLoaded() ? "loaded" : "unloaded");
    return 0;
  }
  if (args.size() <= 2 && what == "install-script")
    return InstallKzbfLoadScript(!(args.size() == 2 && args[1] == "fail")) ? 0 : 1;
  if (args.size() == 1 && what == "script-calls") {
    for (const ScriptCall& call : KzbfLoadScriptCalls()) std::printf("%ld %s\n", call.pid, call.commandLine.c_str());
    return 0;
  }
  if ((args.size() == 2 || args.size() == 3) && what == "attach") {
    unsigned long long extent = 4ULL << 20;
    if (args.size() == 3 && !ReadNumber(args[2], INT_MAX, extent)) return UsageError("kzbf");
    return Report(KzbfAttach(args[1], static_cast<int>(extent)));
  }
  if (args.size() == 2 && what == "detach") return Report(KzbfDetach(args[1]));
  if (args.size() == 2 && what == "query") {
    platform::KzBfDeviceStatus status;
    if (int failed = Report(KzbfQuery(args[1], status))) return failed;
    std::printf("attached=%d size=%lld extent=%d extents=%d\n", status.attached ? 1 : 0,
                static_cast<long long>(status.deviceSize), status.extentSize, status.extentCount);
    for (const std::string& snapshot : status.snapshots) std::printf("snapshot %s\n", snapshot.c_str());
    return 0;
  }
  if (args.size() >= 3 && what == "mark") {
    std::vector<uint64_t> extents;
    for (size_t i = 2; i < args.size(); ++i) {
      unsigned long long extent = 0;
      if (!ReadNumber(args[i], ULLONG_MAX, extent)) return UsageError("kzbf");
      extents.push_back(extent);
    }
    return Report(KzbfMarkExtents(args[1], extents));
  }
  if ((args.size() == 2 || (args.size() == 3 && args[2] == "clear")) && what == "bitmap") {
    std::vector<uint64_t> extents;
    if (int failed = Report(KzbfChangedExtents(args[1], args.size() == 3, extents))) return failed;
    for (size_t i = 0; i < extents.size(); ++i)
      std::printf("%s%llu", i ? " " : "", static_cast<unsigned long long>(extents[i]));
    std::printf("\n");
    return 0;
  }
  if ((args.size() == 2 || (args.size() == 3 && args[2] == "loop")) && what == "snap") {
    std::string snapshot;
    if (int failed = Report(KzbfCreateSnapshot(args[1], args.size() == 3, snapshot))) return failed;
    std::printf("%s\n", snapshot.c_str());
    return 0;
  }
  if (args.size() == 2 && what == "destroy-snap") return Report(KzbfDestroySnapshot(args[1]));
  return UsageError("kzbf");
}

const VerbRegistration kDriverVerbs({
    {"kzbf",
     "load|unload|status | install-script [fail] | script-calls | attach DEV [EXTENTBYTES] | detach DEV | query DEV | "
     "mark DEV EXTENT... | bitmap DEV [clear] | snap DEV [loop] | destroy-snap SNAP",
     "the simulated KZBF filter driver: state, tracked devices, changed extents, snapshots", Kzbf},
});

}  // namespace
}  // namespace blbsim
