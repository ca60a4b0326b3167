// Verbs of the mount table.
#include <cstdio>

#include "platform/harness/mount_harness.h"
#include "verb.h"

namespace blbsim {
namespace {

int Mnt(const Args& args) {
  if ((args.size() == 3 || args.size() == 4) && args[0] == "add")
    return AddMount(args[1], args[2], args.size() == 4 ? args[3] : "ext4") ? 0 : 1;
  if (args.size() == 1 && args[0] == "clear") return ClearMounts() ? 0 : 1;
  if (args.size() == 2 && args[0] == "real" && (args[1] == "on" || args[1] == "off"))
    return SetRealMounts(args[1] == "on") ? 0 : 1;
  if (args.size() == 1 && args[0] == "list") {
    std::list<KzMntTab::Entry> entries;
    if (int failed = Report(Mounts(entries))) return failed;
    for (const KzMntTab::Entry& entry : entries)
      std::printf("%s %s %s %s\n", entry.m_sDevice.c_str(), entry.m_sMountPoint.c_str(), entry.m_sFsType.c_str(),
                  entry.m_sOptions.c_str());
    return 0;
  }
  return UsageError("mnt");
}

const VerbRegistration kMountVerbs({
    {"mnt", "add DEVICE DIR [TYPE] | list | clear | real on|off",
     "the mount table: injected mounts after the real ones, or alone", Mnt},
});

}  // namespace
}  // namespace blbsim
