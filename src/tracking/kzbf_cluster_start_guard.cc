// The driver hooks a cluster start makes before it changes anything, for
// the volumes whose dirty mark it cannot be sure to save.
#include <unistd.h>

#include <exception>
#include <list>
#include <set>

#include "platform/log/ev_debug.h"
#include "tracking/attached_volume_list.h"
#include "tracking/block_level_bitmap_handler.h"
#include "tracking/driver_cache_folder.h"
#include "tracking/kzbf_cluster_handler.h"

namespace {

constexpr const char* kFunction = "KzBfClusterHandler::ClusterStart";

// The volume keys of the listed volumes a start marks dirty; false when the
// list cannot be read. Read under the list's read lock only: the hooks are
// made under the bitmap handler's semaphore, which a backup holds while it
// waits for the list's write lock.
bool KeysToMark(std::set<std::string>& keys) {
  CAttachedVolumeList list(false);
  std::list<VolumeClusterConfig> volumes;
  CQiError err = list.GetVolumeList(volumes);
  if (FXErrorUtil::IsErrNo(err, 2)) return true;  // nothing listed, nothing to start
  if (err.IsError()) {
    EvDebug log;
    log.DebugLvl(kFunction, -1, "%s", err.AsString().c_str());
    return false;
  }
  const bool soft = ::access(cluster::MarkerPath(list.GetConfigDirName()).c_str(), F_OK) == 0;
  for (const VolumeClusterConfig& volume : volumes) {
    std::string file, key;
    cluster::LeftBehindBitmap(volume.GetMountPoint(), list.GetConfigDirName(), file, key);
    if (!cluster::StaysClean(soft, file)) keys.insert(key);
  }
  return true;
}

// Runs the body; an exception it throws is logged after the text and makes
// the result false. Nothing here may keep the start from going on.
template <class Body>
bool WithExceptionsLogged(const char* text, Body&& body) {
  EvDebug log;
  try {
    return body();
  } catch (const KzException& exception) {
    log.DebugLvl(kFunction, -1, "%s: %s", text, exception.getMessage());
  } catch (const std::exception& exception) {
    log.DebugLvl(kFunction, -1, "%s: %s", text, exception.what());
  }
  return false;
}

}  // namespace

void KzBfClusterHandler::HookVolumesToMark() {
  EvDebug log;
  std::set<std::string> keys;
  const bool listed = WithExceptionsLogged("Cluster volume config not readable", [&] { return KeysToMark(keys); });
  if (listed && keys.empty()) return;
  // What the list would name is among the registrations.
  if (!listed)
    log.DebugLvl(kFunction, -1, "Cluster volume config not readable, every registered device will be backed up full");
  constexpr const char* kFailed = "Failed to make the next backups of the volumes to start full";
  WithExceptionsLogged(kFailed, [&] {
    std::string folder;
    KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(folder);
    CBlockLevelBitmapHandler handler;
    CQiError err = handler.Initialize(folder);
    if (!err.IsError())
      err = listed ? handler.HookDevicesForFullBackup(keys) : handler.HookRegisteredDevicesForFullBackup();
    if (err.IsError()) log.DebugLvl(kFunction, -1, "%s, error=%s", kFailed, err.AsString().c_str());
    return !err.IsError();
  });
}
