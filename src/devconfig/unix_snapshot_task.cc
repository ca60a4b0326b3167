// The Unix snapshot task around the base one: the zfs entries, the device
// checks before the snapshot, shipping after it, and the reports that the
// job goes (or volumes go) to a full backup.
#include <list>
#include <set>

#include "devconfig/kz_device_config_handler_unix.h"
#include "library/entry_guard.h"
#include "platform/log/ev_debug.h"
#include "tracking/block_level_bitmap_handler.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

constexpr const char* kZfs = "zfs";
constexpr const char* kDevicePrefix = "/dev/";
// Oracle applications ship their configuration themselves.
constexpr uint64_t kOracleAppTypes[] = {22, 80};

bool IsOracleApplication(uint64_t appType) {
  for (uint64_t oracle : kOracleAppTypes)
    if (appType == oracle) return true;
  return false;
}

}  // namespace

CQiError KzDeviceConfigHandler_UNIX::ExecutePrePostSnapTask(std::vector<SMVolBlock>& volumes,
                                                            unsigned long extentSizeMiB, unsigned long backupLevel,
                                                            int flag, bool postSnap) {
  // The agent calls this on the handler it was given: the driver client's
  // exceptions stop here.
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&]() -> CQiError {
    CQiError error = PreparePrePostSnapTask(volumes, postSnap);
    if (error.IsError()) return error.Push(FXCODELOC);
    // Only zfs datasets leave the list empty: the steps that read the first
    // volume have nothing to read then.
    const SMVolBlock* first = volumes.empty() ? nullptr : &volumes.front();
    if (!postSnap && flag == 1 && first != nullptr) {
      error = CheckDevicesBeforeSnapshot(volumes);
      if (error.IsError()) return error.Push(FXCODELOC);
    }
    error = KzDeviceConfigHandler::ExecutePrePostSnapTask(volumes, extentSizeMiB << 20, backupLevel, flag, postSnap);
    if (error.IsError()) return error.Push(FXCODELOC);
    first = volumes.empty() ? nullptr : &volumes.front();

    if (postSnap) {
      if (flag == 1 || (first != nullptr && IsOracleApplication(first->nAppType))) return CQiError();
      error = PutConfigFiles();
      if (error.IsError())
        return FXErrorUtil::ErrorErrNo(
            FXCODELOC, 1627, "%s", ("Failed to send device config files to proxy, error=" + error.AsString()).c_str());
      return CQiError();
    }
    if (backupLevel == KZ_BKP_LEVEL_FULL) return CQiError();
    LogEventForForceFullVolumes(volumes);
    if (first != nullptr && !IsSposJob() &&
        VolumeBitMapHelper::GetDeviceHandlerType(first->sDevice) ==
            VolumeBitMapHelper::eDeviceType_BLOCKLEVEL_DRIVERLESS) {
      error = ConvertJobTypeToFull();
      if (error.IsError()) return error.Push(FXCODELOC);
    }
    return CQiError();
  });
}

CQiError KzDeviceConfigHandler_UNIX::PreparePrePostSnapTask(std::vector<SMVolBlock>& volumes, bool postSnap) {
  EvDebug log;
  std::set<std::string> seen;
  // Entries are kept by moving them down over the removed ones, so the list
  // keeps its order and every entry not removed, also when a record fails.
  size_t kept = 0;
  size_t next = 0;
  CQiError error;
  for (; next < volumes.size() && !error.IsError(); ++next) {
    SMVolBlock& volume = volumes[next];
    log.DebugLvl(__FUNCTION__, 3, "Volume[%s] Device[%s] FSType[%s]", volume.sVolume.c_str(), volume.sDevice.c_str(),
                 volume.sFSType.c_str());
    bool keep = true;
    if (volume.sFSType == kZfs && volume.sDevice.rfind(kDevicePrefix, 0) != 0) {
      if (!postSnap) {
        log.DebugLvl(__FUNCTION__, 2, "Adding raw entry: Volume[%s] Device[%s] FSType[%s]", volume.sVolume.c_str(),
                     volume.sDevice.c_str(), volume.sFSType.c_str());
        error = WriteRawDeviceConfig(volume.sVolume, volume.sDevice, volume.sFSType, volume.sMountOptions, true);
      }
      keep = false;
    } else if (volume.sFSType == kZfs && !seen.insert(volume.sDevice).second) {
      if (!postSnap) {
        log.DebugLvl(__FUNCTION__, 2, "Adding ext entry: Volume[%s] Device[%s] FSType[%s]", volume.sVolume.c_str(),
                     volume.sDevice.c_str(), volume.sFSType.c_str());
        error = WriteDeviceConfig(volume.sVolume, volume.sDevice, volume.sFSType, volume.sMountOptions, true);
      }
      keep = false;
    }
    // An entry whose record failed stays in the list.
    if (keep || error.IsError()) {
      if (kept != next) volumes[kept] = std::move(volume);
      ++kept;
    }
  }
  for (; next < volumes.size(); ++next, ++kept)
    if (kept != next) volumes[kept] = std::move(volumes[next]);
  volumes.resize(kept);
  if (error.IsError()) return error.Push(FXCODELOC);
  return CQiError();
}

CQiError KzDeviceConfigHandler_UNIX::CheckDevicesBeforeSnapshot(const std::vector<SMVolBlock>& volumes) {
  EvDebug log;
  const long long appId = static_cast<long long>(volumes.front().nAppId);
  const long long cellId = static_cast<long long>(volumes.front().nVornCellId);
  std::string driverCacheFolder;
  GetDriverCacheFolder(driverCacheFolder);

  std::list<std::string> kzbfDevices;
  for (const SMVolBlock& volume : volumes) {
    const std::string& device = volume.sDevice;
    VolumeBitMapHelper::eDeviceType_t type = VolumeBitMapHelper::eDeviceType_NONE;
    boost::shared_ptr<VolumeBitMapHelper> strategy = VolumeBitMapHelper::GetVolumeHandlerInstance(device, type);
    if (type == VolumeBitMapHelper::eDeviceType_NONE)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, 1627, "Device[%s] is not supported for Blocklevel native backup",
                                     device.c_str());
    if (!strategy)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to create volume handler for device=[%s]", device.c_str());
    if (type == VolumeBitMapHelper::eDeviceType_CXBF) {
      log.DebugLvl(__FUNCTION__, 0, "Deleting stale CXBF snapshots for device=[%s]", device.c_str());
      CQiError deleted = strategy->DeleteSnapAndDetachDevice(device, false);
      if (deleted.IsError())
        log.Error(__FUNCTION__, "failed to delete snaps for CXBF device[%s], error=%s", device.c_str(),
                  deleted.AsString().c_str());
    } else if (type == VolumeBitMapHelper::eDeviceType_KZBF) {
      kzbfDevices.push_back(device);
    }
  }
  if (kzbfDevices.empty()) return CQiError();

  CBlockLevelBitmapHandler handler;
  CQiError error = handler.Initialize(driverCacheFolder);
  if (error.IsError()) return error.Push(FXCODELOC);
  std::string duplicate;
  error = handler.VerifyDevicesDup(kzbfDevices, appId, cellId, duplicate);
  if (error.IsError()) {
    if (!FXErrorUtil::IsErrNo(error, 16)) return error;
    return FXErrorUtil::ErrorErrNo(
        FXCODELOC, 16,
        "KZBF/LVM device[%s] Native backup with more than one Subclient configured is not supported, AppId=[%lld], "
        "Error=[%s]",
        duplicate.c_str(), appId, error.AsString().c_str());
  }
  for (const std::string& device : kzbfDevices) {
    VolumeBitMapHelper::eDeviceType_t type = VolumeBitMapHelper::eDeviceType_NONE;
    boost::shared_ptr<VolumeBitMapHelper> strategy = VolumeBitMapHelper::GetVolumeHandlerInstance(device, type);
    if (type == VolumeBitMapHelper::eDeviceType_NONE) continue;
    if (!strategy)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to create volume handler for device=[%s]", device.c_str());
    log.DebugLvl(__FUNCTION__, 0, "Deleting stale KZBF/LVM snapshots for device=[%s]", device.c_str());
    CQiError deleted = strategy->DeleteSnapAndDetachDevice(device, false);
    if (deleted.IsError())
      log.Error(__FUNCTION__, "failed to delete snaps for KZBF device[%s], error=%s", device.c_str(),
                deleted.AsString().c_str());
  }
  return CQiError();
}
