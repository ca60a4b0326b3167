// Removing a KZBF device's snapshots: their mounts, the driver's snapshots
// with their copy-on-write files, or the device's LVM snapshots when the
// driver lists none.
#include <cstdint>
#include <list>

#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/mnttab/kz_mnt_tab.h"
#include "platform/registry/kz_platform_info.h"
#include "platform/text/fx_string.h"
#include "tracking/cbf_driver_interface.h"
#include "tracking/driver_cache_folder.h"
#include "tracking/snapshot_mounts.h"
#include "tracking/volume_bitmap_helper_kzbf.h"

namespace {

// The folder of the driver snapshots' copy-on-write files, ending in "/";
// empty when the registry could not be read, which says nothing of where
// they are. An empty setting counts as none: it would name files at the root.
std::string SnapshotCacheFolder() {
  std::string folder;
  const int read = KZPlatformInfo::readString("FileSystemAgent", "sKZBFSNAPPART", folder);
  if (read <= 0 || folder.empty()) {
    EvDebug log;
    log.DebugLvl(__FUNCTION__, -1,
                 " -BlockLevel- Failed to get COW cache directory name from registry key sKZBFSNAPPART from FSA");
    folder.clear();
    if (read >= 0) KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(folder);
  }
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

// kind names the file in the log lines: "data", and "bitmap" or "bmp".
void RemoveIfPresent(const std::string& path, const char* kind, const char* shortKind) {
  if (!FXPath::DoesPathExist(path)) return;
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 3, "Deleting snap %s file: %s", kind, path.c_str());
  if (unlink_utf(path.c_str()) != 0)
    log.Error(__FUNCTION__, "Failed to remove snap %s file: %s", shortKind, path.c_str());
}

// The snapshot's "<name>.cow.dat" and "<name>.cow.bmp", name being the text
// after its last "/"; a name without "/" has none. Without the folder they
// are left: another folder's files of that name are not theirs.
void RemoveCacheFiles(const std::string& folder, const std::string& snapshot) {
  const std::string::size_type slash = snapshot.rfind('/');
  if (slash == std::string::npos) return;
  if (folder.empty()) {
    EvDebug log;
    log.Error(__FUNCTION__, "The COW cache folder is not known, the files of snap [%s] are left", snapshot.c_str());
    return;
  }
  const std::string base = folder + snapshot.substr(slash + 1);
  RemoveIfPresent(base + ".cow.dat", "data", "data");
  RemoveIfPresent(base + ".cow.bmp", "bitmap", "bmp");
}

}  // namespace

CQiError VolumeBitMapHelper_KZBF::DeleteSnapAndDetachDevice(const std::string& device, bool detach) {
  EvDebug log;
  std::list<KzMntTab::Entry> mounts;
  CQiError err = KzMntTab::getAll(mounts);
  if (err.IsError()) {
    log.Error(__FUNCTION__, "failed to get KzMntTab list, error=%s", err.AsString().c_str());
    mounts.clear();
  }
  bool attached = false;
  int64_t deviceSize = 0;
  int extentSize = 0, extentCount = 0;
  std::list<std::string> snapshots;
  err = m_oKzBf.queryDevice(device, &attached, &deviceSize, &extentSize, &extentCount, &snapshots);
  if (err.IsError()) return err.Push(FXCODELOC);
  CBFDriverInterface lvm(device);
  bool lvmSnapshots = false;
  if (snapshots.empty()) {
    err = lvm.queryLVMSnaps(&snapshots);
    if (err.IsError()) return err.Push(FXCODELOC);
    lvmSnapshots = !snapshots.empty();
  }
  // Only the driver's own devices are cleaned up, whatever detach says.
  if (!attached) return CQiError();

  std::string cacheFolder;
  if (!lvmSnapshots && !snapshots.empty()) cacheFolder = SnapshotCacheFolder();
  for (const std::string& snapshot : snapshots) {
    tracking::UnmountSnapshot(mounts, snapshot);
    if (lvmSnapshots) continue;
    err = m_oKzBf.destroySnap(snapshot);
    if (err.IsError()) {
      log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Failed to destroy snap [%s] for device [%s], error=[%s]",
                   snapshot.c_str(), device.c_str(), err.AsString().c_str());
      return err.Push(FXCODELOC);
    }
    RemoveCacheFiles(cacheFolder, snapshot);
  }
  if (lvmSnapshots) lvm.destroyLVMSnaps(&snapshots);
  if (!detach) return CQiError();
  return m_oKzBf.detachDevice(device);
}
