// Keeping the monitored-volume list true when subclients change: the
// duplicate check before a snapshot and the removal of a subclient.
#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"
#include "tracking/block_level_bitmap_handler.h"
#include "tracking/cbf_driver_interface.h"
#include "tracking/content_list.h"
#include "tracking/fx_name_mutex_wrapper.h"
#include "tracking/subclient_cache.h"

namespace {

// The device's driver snapshots or, when the driver lists none, its LVM
// snapshots.
CQiError QuerySnapshots(const std::string& device, std::list<std::string>& snapshots) {
  CBFDriverInterface driver(device);
  CQiError err = driver.Initialize();
  if (err.IsError()) {
    EvDebug log;
    log.DebugLvl(__FUNCTION__, -1, "Failed to init BF driver interface, device=%s", device.c_str());
  }
  bool attached = false;
  int64_t deviceSize = 0;
  int extentSize = 0, extentCount = 0;
  snapshots.clear();
  err = driver.QueryBlockFilter(&attached, &deviceSize, &extentSize, &extentCount, &snapshots);
  if (err.IsError()) return err.Push(FXCODELOC);
  if (snapshots.empty()) err = driver.queryLVMSnaps(&snapshots);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

}  // namespace

CQiError CBlockLevelBitmapHandler::VerifyDevicesDup(const std::list<std::string>& devices, long long AppId,
                                                    long long VornCellId, std::string& device) {
  tracking::LockedOperation operation(__FUNCTION__);
  // Resolving contents asks the configuration and the file systems: done
  // before the machine-wide lock so other backups are not held up by it.
  CContentList contents;
  CQiError err = contents.Load(AppId, VornCellId);
  if (err.IsError()) return err.Push(FXCODELOC);
  err = BeginLocked(operation);
  if (err.IsError()) return err.Push(FXCODELOC);

  std::list<VolumeConfig> current;
  contents.Get(current);
  err = m_pVolumeList->Load();
  if (!err.IsError()) err = m_pVolumeList->Update(current);
  if (!err.IsError()) err = m_pVolumeList->Save();
  if (!err.IsError()) err = m_pVolumeList->Load();
  if (err.IsError()) return err.Push(FXCODELOC);

  EvDebug log;
  for (const std::string& candidate : devices) {
    if (EvDebug::IsLevelEnabled(3)) log.DebugLvl(__FUNCTION__, 3, "device=%s", candidate.c_str());
    std::list<std::string> snapshots;
    err = QuerySnapshots(candidate, snapshots);
    if (err.IsError()) return err.Push(FXCODELOC);
    // Without a snapshot nothing of the device is in use by a backup.
    if (snapshots.empty()) continue;
    std::list<VolumeConfig> entries;
    err = m_pVolumeList->Get(candidate, candidate, entries);
    if (err.IsError()) return err.Push(FXCODELOC);
    const bool shared = entries.size() > 1 || (entries.size() == 1 && entries.front().AppId() != AppId);
    if (!shared) continue;
    std::string ids;
    for (const VolumeConfig& entry : entries) ids += FXString::Format("%lld, ", entry.AppId());
    device = candidate;
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 16, "Device[%s] is configured for multiple BlockLevel Subclients, Id's=[%s]",
                                   candidate.c_str(), ids.c_str());
  }
  return CQiError();
}

CQiError CBlockLevelBitmapHandler::CleanupSubclientBitmaps(long long AppId, const std::list<std::string>& devices) {
  tracking::LockedOperation operation(__FUNCTION__);
  CQiError err = BeginLocked(operation);
  if (!err.IsError()) err = m_pVolumeList->Load();
  if (err.IsError()) return err.Push(FXCODELOC);

  EvDebug log;
  log.DebugLvl(__FUNCTION__, 0, "Cleaning subclient config, AppId=%lld", AppId);
  for (const std::string& device : devices) {
    log.DebugLvl(__FUNCTION__, 0, "device=%s", device.c_str());
    std::list<VolumeConfig> entries;
    err = m_pVolumeList->Get(device, device, entries);
    if (err.IsError()) return err.Push(FXCODELOC);
    if (entries.size() == 1 && entries.front().AppId() == AppId) {
      // The device's only user goes: nothing needs the driver's tracking.
      const std::string tracked = entries.front().Device();
      CBFDriverInterface driver(tracked);
      if (driver.Initialize().IsError())
        log.DebugLvl(__FUNCTION__, -1, "Failed to init BF driver interface, device=%s", tracked.c_str());
      if (driver.StopBlockFilter().IsError())
        log.DebugLvl(__FUNCTION__, -1, "Failed to stop BF on device, device=%s", tracked.c_str());
    }
    for (const VolumeConfig& entry : entries) {
      if (entry.AppId() != AppId) continue;
      err = m_pVolumeList->Delete(entry);
      if (!err.IsError()) err = CSubclientCache::Cleanup(entry);
      if (err.IsError()) return err.Push(FXCODELOC);
      break;
    }
  }
  err = m_pVolumeList->Save();
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}
