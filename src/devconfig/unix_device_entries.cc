// Recording a job's devices and reading them back: main entries, zfs
// extension entries (several per device) and raw entries of zfs datasets.
#include "devconfig/kz_device_config_handler_unix.h"
#include "platform/fs/qi_directory.h"
#include "platform/log/ev_debug.h"
#include "records/device_queries.h"
#include "tracking/configured_extent_size.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

constexpr const char* kZfs = "zfs";
// Raw entries count their file system in blocks of this size.
constexpr uint64_t kRawBlockSize = 512;

}  // namespace

// --- recording -------------------------------------------------------------------

CQiError KzDeviceConfigHandler_UNIX::WriteDeviceConfig(const std::string& volume, const std::string& deviceName,
                                                       const std::string& fsType, const std::string& mountOptions,
                                                       bool cacheOnly) {
  VolumeBitMapHelper::eDeviceType_t type = VolumeBitMapHelper::eDeviceType_NONE;
  boost::shared_ptr<VolumeBitMapHelper> strategy = VolumeBitMapHelper::GetVolumeHandlerInstance(deviceName, type);
  if (!strategy)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to create volume handler for volume=[%s]",
                                   deviceName.c_str());
  if (type == VolumeBitMapHelper::eDeviceType_NONE)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "%s not a supported device", deviceName.c_str());
  VolumeInfo info;
  CQiError error = strategy->GetVolumeInfo(deviceName, info);
  if (error.IsError()) return error.Push(FXCODELOC);
  if (!GetDiskSectorSz(deviceName, &info.LogSectorSz, &info.PhySectorSz, &info.IOMinSz, &info.IOOptimalSz))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to get sector details for device=%s", deviceName.c_str());
  const BackupDeviceInfo device(true, volume, deviceName, fsType, mountOptions, info.ExtentSize, info.TotalBlocks,
                                info.FSBlockSize, info.BitMapSize, info.LogSectorSz, info.PhySectorSz, info.IOMinSz,
                                info.IOOptimalSz, BackupDeviceInfo::kCurrentVersion);
  error = WriteDeviceConfig(volume, device, cacheOnly);
  if (error.IsError()) return error.Push(FXCODELOC);
  return error;
}

CQiError KzDeviceConfigHandler_UNIX::WriteRawDeviceConfig(const std::string& volume, const std::string& dataset,
                                                          const std::string& fsType, const std::string& mountOptions,
                                                          bool cacheOnly) {
  uint64_t totalBytes = 0, freeBytes = 0;
  CQiError error = CQiDirectory::GetSpaceUsage(volume.c_str(), totalBytes, freeBytes);
  if (error.IsError()) return error.Push(FXCODELOC);
  // The configured size is the one tracking works with, never 0.
  const uint64_t extentSize = tracking::ConfiguredExtentSize();
  // A dataset is no device: its sector and I/O sizes cannot be asked and are
  // recorded as unknown, which must not fail every job that holds one.
  VolumeInfo sizes;
  if (!GetDiskSectorSz(dataset, &sizes.LogSectorSz, &sizes.PhySectorSz, &sizes.IOMinSz, &sizes.IOOptimalSz)) {
    EvDebug log;
    log.DebugLvl(__FUNCTION__, -1, "Failed to get sector details for device=%s", dataset.c_str());
    sizes = VolumeInfo();
  }
  const BackupDeviceInfo device(true, volume, dataset, fsType, mountOptions, extentSize, totalBytes / kRawBlockSize,
                                kRawBlockSize, tracking::BitmapBytes(totalBytes, extentSize), sizes.LogSectorSz,
                                sizes.PhySectorSz, sizes.IOMinSz, sizes.IOOptimalSz,
                                BackupDeviceInfo::kCurrentVersion);
  return KzDeviceConfigHandler::WriteDeviceConfig(volume, device, cacheOnly);
}

CQiError KzDeviceConfigHandler_UNIX::WriteDeviceConfig(const std::string& volume, const BackupDeviceInfo& device,
                                                       bool cacheOnly) {
  if (device.GetFSType() != kZfs) return KzDeviceConfigHandler::WriteDeviceConfig(volume, device, cacheOnly);
  if (!cacheOnly) return m_oConfigFile.WriteNextExtBackupDevice(device);
  m_mExtDevices.emplace(device.GetSourceDeviceName(), device);
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 0, "Device config [%s] cached in-memory for device[%s]", device.Serialize().c_str(),
               device.GetSourceDeviceName().c_str());
  return CQiError();
}

CQiError KzDeviceConfigHandler_UNIX::WriteAllDeviceConfigAtOnce(bool append) {
  CQiError error = OpenConfigFilesForWriting(append);
  if (error.IsError()) return error.Push(FXCODELOC);
  // Like the main records, a lost extension entry must be reported (a zfs
  // device would read as absent), and must not keep the others out.
  CQiError first = WriteCachedDevices();
  for (const auto& [deviceName, device] : m_mExtDevices) {
    CQiError written = m_oConfigFile.WriteNextExtBackupDevice(device);
    if (!written.IsError()) continue;
    EvDebug log;
    log.Error(__FUNCTION__, "Failed to write extended device config for device [%s], error=[%s]", deviceName.c_str(),
              written.AsString().c_str());
    if (!first.IsError()) first = written.Push(FXCODELOC);
  }
  m_mExtDevices.clear();
  m_itExtCursor = m_mExtDevices.end();
  return first;
}

// --- reading back ------------------------------------------------------------------

CQiError KzDeviceConfigHandler_UNIX::ReadAllDeviceConfig() {
  EvDebug log;
  CQiError error = KzDeviceConfigHandler::ReadAllDeviceConfig();
  if (error.IsError()) return error.Push(FXCODELOC);
  m_mExtDevices.clear();
  for (;;) {
    BackupDeviceInfo device;
    error = m_oConfigFile.ReadNextExtBackupDevice(device);
    if (error.IsError()) return error.Push(FXCODELOC);
    log.DebugLvl(__FUNCTION__, 3, "Read %s device config [%s]", device.IsValid() ? "valid" : "invalid",
                 device.Serialize().c_str());
    if (!device.IsValid()) break;
    m_mExtDevices.emplace(device.GetSourceDeviceName(), device);
  }
  m_itExtCursor = m_mExtDevices.begin();
  if (m_mExtDevices.empty()) log.DebugLvl(__FUNCTION__, 0, "No extended device config found");
  return CQiError();
}

CQiError KzDeviceConfigHandler_UNIX::GetNextDeviceConfig(BackupDeviceInfo& device, bool& end) {
  CQiError error = KzDeviceConfigHandler::GetNextDeviceConfig(device, end);
  if (error.IsError()) return error.Push(FXCODELOC);
  if (end && m_itExtCursor != m_mExtDevices.end()) {
    end = false;
    device = m_itExtCursor->second;
    ++m_itExtCursor;
  }
  return CQiError();
}

CQiError KzDeviceConfigHandler_UNIX::GetDeviceConfigForVolume(const std::string& volume, BackupDeviceInfo& device,
                                                              const std::string& deviceName) {
  if (!KzDeviceConfigHandler::GetDeviceConfigForVolume(volume, device, std::string()).IsError()) return CQiError();
  for (const auto& [source, entry] : m_mExtDevices) {
    if (source == deviceName || source == volume) {
      device = entry;
      return CQiError();
    }
  }
  return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Device config not found for '%s'", volume.c_str());
}

const BackupDeviceInfo* KzDeviceConfigHandler_UNIX::FirstExtensionEntry(const std::string& deviceName) const {
  // Entries of one key keep their insertion order from lower_bound on.
  auto entry = m_mExtDevices.lower_bound(deviceName);
  return entry != m_mExtDevices.end() && entry->first == deviceName ? &entry->second : nullptr;
}

CQiError KzDeviceConfigHandler_UNIX::PopulateDeviceListFromLastBackup() {
  EvDebug log;
  CQiError error = KzDeviceConfigHandler::PopulateDeviceListFromLastBackup();
  if (error.IsError()) return error.Push(FXCODELOC);
  BlockDeviceConfigReaderWriter_UNIX previous;
  error = previous.InitRead(m_sConfigPath);
  if (error.IsError()) return FXErrorUtil::IsErrNo(error, 2) ? CQiError() : error;
  for (;;) {
    BackupDeviceInfo device;
    error = previous.ReadNextExtBackupDevice(device);
    if (error.IsError()) return error.Push(FXCODELOC);
    if (!device.IsValid()) break;
    // The first entry of a device stands for it.
    if (!m_mPreviousDevices.emplace(device.GetSourceDeviceName(), device).second) continue;
    log.DebugLvl(__FUNCTION__, 3, "Read previous backup up device info [%s]", device.Serialize().c_str());
  }
  return CQiError();
}
