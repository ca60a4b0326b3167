#include "tracking/snapshot_mounts.h"

#include "platform/log/ev_debug.h"
#include "platform/process/kz_process.h"
#include "platform/process/shell_quote.h"

namespace tracking {

void UnmountSnapshot(const std::list<KzMntTab::Entry>& mounts, const std::string& snapshot) {
  EvDebug log;
  for (const KzMntTab::Entry& entry : mounts) {
    if (entry.m_sDevice != snapshot) continue;
    std::string output, error;
    if (KzProcess::system("umount " + platform::ShellQuote(entry.m_sMountPoint), &output, &error, 0, false) != 0)
      log.Error(__FUNCTION__, "failed to unmount snap[%s], err[%s]", snapshot.c_str(), error.c_str());
    else
      log.DebugLvl(__FUNCTION__, 0, "Unmounted snap device[%s]", snapshot.c_str());
  }
}

}  // namespace tracking
