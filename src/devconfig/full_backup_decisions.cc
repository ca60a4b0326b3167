// Which volumes go to a full backup, and when change tracking of a device
// must start afresh: a new or re-configured device, a recorded version older
// than the current one, another extent size or another size. Tracking that
// restarts converts the job (unless it is an SPOS or a full job) and forces
// the volume to full. Starting tracking of a device asks its strategy the
// same way as stopping it.
#include "devconfig/kz_device_config_handler_unix.h"
#include "platform/log/ev_debug.h"
#include "tracking/configured_extent_size.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

// Whether two records of one device describe the same geometry, as far as
// the tracked extents are concerned.
bool SameGeometry(const BackupDeviceInfo& a, const BackupDeviceInfo& b) {
  return a.GetFSType() == b.GetFSType() && a.GetExtentSize() == b.GetExtentSize() &&
         a.GetTotalBlocks() == b.GetTotalBlocks() && a.GetFSBlockSize() == b.GetFSBlockSize() &&
         a.GetBitMapSize() == b.GetBitMapSize();
}

// The device's strategy for an operation that stops or starts its tracking.
CQiError TrackingStrategy(const std::string& deviceName, boost::shared_ptr<VolumeBitMapHelper>& strategy) {
  VolumeBitMapHelper::eDeviceType_t type = VolumeBitMapHelper::eDeviceType_NONE;
  strategy = VolumeBitMapHelper::GetVolumeHandlerInstance(deviceName, type);
  if (!strategy)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to create volume handler for volume=[%s]",
                                   deviceName.c_str());
  if (type == VolumeBitMapHelper::eDeviceType_NONE)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "%s is not supported volume", deviceName.c_str());
  return CQiError();
}

}  // namespace

bool KzDeviceConfigHandler_UNIX::IsVolumeNewOrChangedSinceLastBackup(const std::string& volume,
                                                                     const std::string& deviceName) {
  EvDebug log;
  if (!KzDeviceConfigHandler::IsVolumeNewOrChangedSinceLastBackup(volume, std::string())) return false;
  if (m_mPreviousDevices.count(volume) != 0) return true;
  DeviceMap::const_iterator previous = m_mPreviousDevices.find(deviceName);
  if (previous == m_mPreviousDevices.end()) {
    log.DebugLvl(__FUNCTION__, 0, "Volume=[%s] new in this backup", deviceName.c_str());
    return true;
  }
  log.DebugLvl(__FUNCTION__, 0, "Volume=[%s] found in previous device config", deviceName.c_str());
  const BackupDeviceInfo* current = FirstExtensionEntry(deviceName);
  if (current == nullptr) {
    log.Error(__FUNCTION__, "Device [%s] not seen in current backup yet", deviceName.c_str());
    return false;
  }
  if (SameGeometry(previous->second, *current)) return false;
  log.DebugLvl(__FUNCTION__, 0, "Previous and current config for device=%s do not match, Prev[%s] Curr[%s]",
               deviceName.c_str(), previous->second.Serialize().c_str(), current->Serialize().c_str());
  return true;
}

bool KzDeviceConfigHandler_UNIX::ConvertVolumeToFull(const std::string& volume) {
  if (KzDeviceConfigHandler::ConvertVolumeToFull(volume)) return true;
  for (const auto& [key, previous] : m_mPreviousDevices) {
    if (previous.GetSourceVolName() != volume || previous.GetVersion() == BackupDeviceInfo::kCurrentVersion) continue;
    EvDebug log;
    log.DebugLvl(__FUNCTION__, 0, "Version change detected, current version=%llu, config version=%llu",
                 static_cast<unsigned long long>(BackupDeviceInfo::kCurrentVersion),
                 static_cast<unsigned long long>(previous.GetVersion()));
    for (auto& [deviceName, entry] : m_mExtDevices)
      if (entry.GetSourceVolName() == volume) entry.SetVersion(BackupDeviceInfo::kCurrentVersion);
    return true;
  }
  return false;
}

CQiError KzDeviceConfigHandler_UNIX::CompareExtentSizeForDevice(const std::string& deviceName, bool& changed) {
  boost::shared_ptr<VolumeBitMapHelper> strategy;
  CQiError error = TrackingStrategy(deviceName, strategy);
  if (error.IsError()) return error;
  VolumeInfo info;
  error = strategy->GetVolumeInfo(deviceName, info);
  if (error.IsError()) return error.Push(FXCODELOC);
  // The size tracking attaches a device with: a driver tracking with another
  // one must start afresh.
  const uint64_t configured = tracking::ConfiguredExtentSize();
  if (configured == info.ExtentSize) return CQiError();
  changed = true;
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 0, "Extent size in registry and for device differs, first[%llu] second[%llu]",
               static_cast<unsigned long long>(configured), static_cast<unsigned long long>(info.ExtentSize));
  if (!IsSposJob() && m_oUnixJobInfo.GetBackupLevel() != KZ_BKP_LEVEL_FULL) {
    error = ConvertJobTypeToFull();
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  error = DetachDeviceMonitoring(deviceName);
  if (error.IsError()) return error.Push(FXCODELOC);
  ReviseRecordsOfDevice(deviceName, info, configured);
  return CQiError();
}

void KzDeviceConfigHandler_UNIX::ReviseRecordsOfDevice(const std::string& deviceName, const VolumeInfo& info,
                                                       uint64_t extentSize) {
  EvDebug log;
  const char* const function = __FUNCTION__;
  const uint64_t bitmapSize = tracking::BitmapBytes(info.TotalBlocks * 512, extentSize);
  auto revise = [&](BackupDeviceInfo& record) {
    const BackupDeviceInfo revised(record.IsCXBFDevice(), record.GetSourceVolName(), record.GetSourceDeviceName(),
                                   record.GetFSType(), record.GetMountOpts(), extentSize, info.TotalBlocks,
                                   info.FSBlockSize, bitmapSize, record.GetLogicalSectorSz(),
                                   record.GetPhysicalSectorSz(), record.GetIOMinimalSz(), record.GetIOOptimalSz(),
                                   BackupDeviceInfo::kCurrentVersion);
    log.DebugLvl(function, 0, "Revising device config={%s} with={%s}", record.Serialize().c_str(),
                 revised.Serialize().c_str());
    record = revised;
  };
  for (auto& [volume, record] : m_mCurrentDevices) {
    if (record.GetSourceDeviceName() != deviceName) continue;
    revise(record);
    break;
  }
  auto [first, last] = m_mExtDevices.equal_range(deviceName);
  for (auto entry = first; entry != last; ++entry) revise(entry->second);
}

const BackupDeviceInfo* KzDeviceConfigHandler_UNIX::CurrentRecordOf(const std::string& volume,
                                                                    const std::string& deviceName) const {
  DeviceMap::const_iterator current = m_mCurrentDevices.find(volume);
  if (current != m_mCurrentDevices.end()) return &current->second;
  return FirstExtensionEntry(deviceName);
}

CQiError KzDeviceConfigHandler_UNIX::DetachBlockFilterOnVolumeOnSizeChange(const std::string& deviceName,
                                                                           const std::string& volume, bool& forceFull) {
  EvDebug log;
  CQiError error = CompareExtentSizeForDevice(deviceName, forceFull);
  if (error.IsError()) return error.Push(FXCODELOC);
  if (m_mPreviousDevices.empty()) return CQiError();
  DeviceMap::const_iterator previous = m_mPreviousDevices.find(volume);
  if (previous == m_mPreviousDevices.end()) previous = m_mPreviousDevices.find(deviceName);
  if (previous == m_mPreviousDevices.end()) return CQiError();
  const BackupDeviceInfo* current = CurrentRecordOf(previous->second.GetSourceVolName(), deviceName);
  if (current == nullptr) {
    log.Error(__FUNCTION__, "Volume=[%s] device=[%s] not seen in current backup yet.", volume.c_str(),
              deviceName.c_str());
    return CQiError();
  }
  const BackupDeviceInfo& old = previous->second;
  if (old.GetTotalBlocks() == current->GetTotalBlocks() && old.GetTotalExtents() == current->GetTotalExtents())
    return CQiError();
  forceFull = true;
  log.DebugLvl(__FUNCTION__, 0,
               "Volume or Extent size change detected for device=%s volume=%s, block count \t\t\told=%llu new=%llu, "
               "extent count old=%llu new=%llu",
               deviceName.c_str(), volume.c_str(), static_cast<unsigned long long>(old.GetTotalBlocks()),
               static_cast<unsigned long long>(current->GetTotalBlocks()),
               static_cast<unsigned long long>(old.GetTotalExtents()),
               static_cast<unsigned long long>(current->GetTotalExtents()));
  if (!IsSposJob() && m_oUnixJobInfo.GetBackupLevel() != KZ_BKP_LEVEL_FULL) {
    error = ConvertJobTypeToFull();
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  return DetachDeviceMonitoring(deviceName);
}

CQiError KzDeviceConfigHandler_UNIX::DetachDeviceMonitoring(const std::string& deviceName) {
  boost::shared_ptr<VolumeBitMapHelper> strategy;
  CQiError error = TrackingStrategy(deviceName, strategy);
  if (error.IsError()) return error;
  return strategy->DeleteSnapAndDetachDevice(deviceName, true);
}

CQiError KzDeviceConfigHandler_UNIX::AttachDeviceForMonitoring(const std::string& volume, const std::string& deviceName,
                                                               const int& extentSize) {
  boost::shared_ptr<VolumeBitMapHelper> strategy;
  CQiError error = TrackingStrategy(deviceName, strategy);
  if (error.IsError()) return error;
  return strategy->AttachDevice(volume, deviceName, extentSize);
}
