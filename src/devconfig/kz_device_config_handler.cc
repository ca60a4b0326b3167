#include "devconfig/kz_device_config_handler.h"

#include <string>
#include <vector>

#include "devconfig/job_bitmap_marks.h"
#include "platform/fs/fx_file.h"
#include "platform/fs/qi_directory.h"
#include "platform/log/ev_debug.h"

namespace {

CQiError NotImplemented(const FXCodeLocation& location) {
  return FXErrorUtil::ErrorErrNo(location, -1, "Not Implemented");
}

const char* NotReadYet() {
  return "Device config not read yet from config files";
}

}  // namespace

KzDeviceConfigHandler::KzDeviceConfigHandler(const TarvosJobInfo& job)
    : m_oJobInfo(job), m_itReadCursor(m_mCurrentDevices.end()), m_itExtCursor(m_mExtDevices.end()) {}

// Records never closed (a job that stopped between the pre-snap and the
// post-snap step, or whose write failed) do not replace the previous file.
KzDeviceConfigHandler::~KzDeviceConfigHandler() {
  m_oConfigFile.Discard();
}

void KzDeviceConfigHandler::ClearCurrentDevices() {
  m_mCurrentDevices.clear();
  m_itReadCursor = m_mCurrentDevices.end();
}

// --- reading -------------------------------------------------------------------

CQiError KzDeviceConfigHandler::InitRead() {
  EvDebug log;
  m_sConfigPath = m_oJobInfo.GetJobResultsDir() + "/" + kConfigFileName;
  CQiError error = m_oConfigFile.InitRead(m_sConfigPath);
  if (error.IsError()) return error.Push(FXCODELOC);
  log.DebugLvl(__FUNCTION__, 3, "Reading config file [%s]", m_sConfigPath.c_str());
  return ReadAllDeviceConfig();
}

CQiError KzDeviceConfigHandler::ReadAllDeviceConfig() {
  EvDebug log;
  ClearCurrentDevices();
  for (;;) {
    BackupDeviceInfo device;
    CQiError error = m_oConfigFile.ReadNextBackupDevice(device);
    if (error.IsError()) return error.Push(FXCODELOC);
    log.DebugLvl(__FUNCTION__, 3, "Read %sdevice config [%s]", device.IsValid() ? "" : "invalid ",
                 device.Serialize().c_str());
    if (!device.IsValid()) break;
    m_mCurrentDevices[device.GetSourceVolName()] = device;
  }
  if (m_mCurrentDevices.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "No device config found");
  m_itReadCursor = m_mCurrentDevices.begin();
  return CQiError();
}

CQiError KzDeviceConfigHandler::GetNextDeviceConfig(BackupDeviceInfo& device, bool& end) {
  if (m_mCurrentDevices.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "%s", NotReadYet());
  if (m_itReadCursor == m_mCurrentDevices.end()) {
    end = true;
    return CQiError();
  }
  end = false;
  device = m_itReadCursor->second;
  ++m_itReadCursor;
  return CQiError();
}

CQiError KzDeviceConfigHandler::GetDeviceConfigForVolume(const std::string& volume, BackupDeviceInfo& device,
                                                         const std::string&) {
  if (m_mCurrentDevices.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "%s", NotReadYet());
  DeviceMap::const_iterator found = m_mCurrentDevices.find(volume);
  if (found == m_mCurrentDevices.end())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Device config not found for '%s'", volume.c_str());
  device = found->second;
  return CQiError();
}

// --- writing -------------------------------------------------------------------

CQiError KzDeviceConfigHandler::InitWrite(bool metadataEnabled, bool fromExistingFile) {
  EvDebug log;
  m_sConfigPath = m_oJobInfo.GetJobResultsDir() + "/" + kConfigFileName;
  ClearCurrentDevices();
  m_bMetadataEnabled = metadataEnabled;
  if (!fromExistingFile) {
    return m_oConfigFile.InitWrite(m_sConfigPath, m_bMetadataEnabled, false);
  }
  log.DebugLvl(__FUNCTION__, 0, "Reading from existing file");
  CQiError error = PopulateDeviceListFromLastBackup();
  if (error.IsError())
    log.DebugLvl(__FUNCTION__, 0,
                 "Failed to read previous device config to find out volumes backed up in last job, error=[%s]",
                 error.AsString().c_str());
  return CQiError();
}

CQiError KzDeviceConfigHandler::PopulateDeviceListFromLastBackup() {
  EvDebug log;
  BlockDeviceConfigReaderWriter previous;
  CQiError error = previous.InitRead(m_sConfigPath);
  if (error.IsError()) {
    if (FXErrorUtil::IsErrNo(error, 2)) return CQiError();
    return error.Push(FXCODELOC);
  }
  m_mPreviousDevices.clear();
  for (;;) {
    BackupDeviceInfo device;
    error = previous.ReadNextBackupDevice(device);
    if (error.IsError()) return error.Push(FXCODELOC);
    if (!device.IsValid()) break;
    m_mPreviousDevices[device.GetSourceVolName()] = device;
    log.DebugLvl(__FUNCTION__, 3, "Read previce backed up volume=[%s]", device.GetSourceVolName().c_str());
  }
  return CQiError();
}

CQiError KzDeviceConfigHandler::WriteDeviceConfig(const std::string& volume, const BackupDeviceInfo& device,
                                                  bool cacheOnly) {
  EvDebug log;
  if (!cacheOnly) return m_oConfigFile.WriteNextBackupDevice(device);
  m_mCurrentDevices[volume] = device;
  log.DebugLvl(__FUNCTION__, 0, "Device config [%s] cached in-memory for Volume[%s]", device.Serialize().c_str(),
               volume.c_str());
  return CQiError();
}

CQiError KzDeviceConfigHandler::WriteAllDeviceConfigAtOnce(bool append) {
  CQiError error = OpenConfigFilesForWriting(append);
  if (error.IsError()) return error.Push(FXCODELOC);
  return WriteCachedDevices();
}

CQiError KzDeviceConfigHandler::OpenConfigFilesForWriting(bool append) {
  return m_oConfigFile.InitWrite(m_sConfigPath, m_bMetadataEnabled, append);
}

CQiError KzDeviceConfigHandler::WriteCachedDevices() {
  EvDebug log;
  // A record that cannot be written must not stay unnoticed (the scan would
  // miss the device's geometry), but it must not keep the others out either.
  CQiError first;
  for (const auto& [volume, device] : m_mCurrentDevices) {
    CQiError written = m_oConfigFile.WriteNextBackupDevice(device);
    if (!written.IsError()) continue;
    log.Error(__FUNCTION__, "Failed to write device config for volume [%s], error=[%s]", volume.c_str(),
              written.AsString().c_str());
    if (!first.IsError()) first = written.Push(FXCODELOC);
  }
  ClearCurrentDevices();
  return first;
}

CQiError KzDeviceConfigHandler::CloseConfigFiles() {
  return m_oConfigFile.Close();
}

void KzDeviceConfigHandler::Close() {
  CQiError error = CloseConfigFiles();
  if (error.IsError()) {
    EvDebug log;
    log.Error(__FUNCTION__, "Failed to close device config files, error=[%s]", error.AsString().c_str());
  }
}

// --- decisions -----------------------------------------------------------------

bool KzDeviceConfigHandler::IsVolumeNewOrChangedSinceLastBackup(const std::string& volume, const std::string&) {
  EvDebug log;
  if (m_mPreviousDevices.empty()) return false;
  DeviceMap::const_iterator previous = m_mPreviousDevices.find(volume);
  if (previous == m_mPreviousDevices.end()) {
    log.DebugLvl(__FUNCTION__, 0, "Volume=[%s] new in this backup", volume.c_str());
    return true;
  }
  DeviceMap::const_iterator current = m_mCurrentDevices.find(volume);
  if (current == m_mCurrentDevices.end()) {
    log.DebugLvl(__FUNCTION__, -1, "Volume=[%s] not seen in current backup yet.", volume.c_str());
    return false;
  }
  if (!current->second.IsSame(previous->second)) {
    log.DebugLvl(__FUNCTION__, 0, "Previous and current config for volume[%s] does not match", volume.c_str());
    log.DebugLvl(__FUNCTION__, 3, "Previous Config=[%s]", previous->second.Serialize().c_str());
    log.DebugLvl(__FUNCTION__, 3, "Current Config=[%s]", current->second.Serialize().c_str());
    return true;
  }
  return false;
}

bool KzDeviceConfigHandler::ConvertVolumeToFull(const std::string& volume) {
  EvDebug log;
  if (m_mPreviousDevices.empty()) return false;
  DeviceMap::const_iterator previous = m_mPreviousDevices.find(volume);
  if (previous == m_mPreviousDevices.end()) {
    log.DebugLvl(__FUNCTION__, 0, "Volume=[%s] new in this backup", volume.c_str());
    return false;
  }
  if (previous->second.GetVersion() == BackupDeviceInfo::kCurrentVersion) return false;
  log.DebugLvl(__FUNCTION__, 0, "Version change, current version=%llu, config version=%llu",
               static_cast<unsigned long long>(BackupDeviceInfo::kCurrentVersion),
               static_cast<unsigned long long>(previous->second.GetVersion()));
  DeviceMap::iterator current = m_mCurrentDevices.find(volume);
  if (current == m_mCurrentDevices.end()) {
    log.DebugLvl(__FUNCTION__, -1, "Volume=[%s] not seen in current backup yet.", volume.c_str());
    return false;
  }
  current->second.SetVersion(BackupDeviceInfo::kCurrentVersion);
  return true;
}

CQiError KzDeviceConfigHandler::CheckContentConflict(ApplicationId*, const std::string&, const std::string&) {
  return CQiError();
}

// --- the snapshot task -----------------------------------------------------------

CQiError KzDeviceConfigHandler::ExecutePrePostSnapTask(std::vector<SMVolBlock>& volumes, unsigned long number,
                                                       unsigned long backupLevel, int flag, bool postSnap) {
  for (SMVolBlock& volume : volumes) {
    CQiError error = ExecutePrePostSnapTask(volume, number, backupLevel, flag, postSnap);
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  if (!postSnap) return CQiError();
  CQiError error = WriteAllDeviceConfigAtOnce(ShouldAppendDeviceConfig());
  if (error.IsError()) return error.Push(FXCODELOC);
  // The files are written in place: a write that only fails when the data is
  // flushed must fail the job as well.
  error = CloseConfigFiles();
  if (error.IsError()) return error.Push(FXCODELOC);
  return CQiError();
}

CQiError KzDeviceConfigHandler::ExecutePrePostSnapTask(SMVolBlock& volume, unsigned long, unsigned long backupLevel,
                                                       int, bool postSnap) {
  EvDebug log;
  const KZBkpLevel jobLevel = static_cast<KZBkpLevel>(backupLevel);
  KZBkpLevel volumeLevel = jobLevel;
  const std::string deviceName = volume.sDevice;
  const std::string volumeName = volume.sVolume;
  const std::string mountOptions = volume.sMountOptions;
  const std::string fsType = GetFSType(volume);
  log.DebugLvl(__FUNCTION__, 3, "Handling Block Level config for [%s], job_type=%lu %s, MountOpt=%s",
               volumeName.c_str(), backupLevel, postSnap ? "Post Snap" : "Pre Snap", mountOptions.c_str());

  CQiError error =
      WriteVolumeTypeForOracleBlockLvl(postSnap, static_cast<int>(volume.nAppType), static_cast<int>(volume.nAppId),
                                       static_cast<int>(volume.nVornCellId), volumeName);
  if (error.IsError())
    return error.Push(FXCODELOC, "Error writing Oracle volume and data type mapping to file:%s",
                      error.AsString().c_str());

  if (!postSnap) {
    if (!IsSupportedDevice(deviceName)) {
      volume.bForceFull = true;
      return FXErrorUtil::ErrorErrNo(FXCODELOC, 1627,
                                     "Device is not supported for blocklevel backup, volume=%s, device=%s",
                                     volumeName.c_str(), deviceName.c_str());
    }
    error = WriteDeviceConfig(volumeName, deviceName, fsType, mountOptions, true);
    if (error.IsError()) {
      volume.bForceFull = true;
      return error.Push(FXCODELOC, "Failed to write device config for device, device=%s", deviceName.c_str());
    }
    error = DetachBlockFilterOnVolumeOnSizeChange(deviceName, volumeName, volume.bForceFull);
    if (error.IsError()) return error.Push(FXCODELOC, "Failed to detach device, device=%s", deviceName.c_str());
    if (ConvertVolumeToFull(volumeName)) {
      volume.bForceFull = true;
      log.DebugLvl(__FUNCTION__, 0, "Invoking FULL backup on volume=[%s]", volumeName.c_str());
    }
  }

  if (jobLevel != KZ_BKP_LEVEL_FULL && IsVolumeNewOrChangedSinceLastBackup(volumeName, deviceName)) {
    volumeLevel = KZ_BKP_LEVEL_FULL;
    log.DebugLvl(__FUNCTION__, 0,
                 "Invoking FULL bakcup on volume=[%s] since it was not found in last backup Or changed since last "
                 "backup",
                 volumeName.c_str());
  }

  error = HandleBitMap(volume, volumeLevel, postSnap ? SNAP_STATE_POST : SNAP_STATE_PRE);
  if (error.IsError())
    return error.Push(FXCODELOC, "Failed to handle bitmap for %s, error=%s", volumeName.c_str(),
                      error.AsString().c_str());
  return CQiError();
}

// --- operations a derived handler provides -------------------------------------

CQiError KzDeviceConfigHandler::WriteDeviceConfig(const std::string&, const std::string&, const std::string&,
                                                  const std::string&, bool) {
  return NotImplemented(FXCODELOC);
}

CQiError KzDeviceConfigHandler::DetachBlockFilterOnVolumeOnSizeChange(const std::string&, const std::string&, bool&) {
  return CQiError();
}

CQiError KzDeviceConfigHandler::WriteVolumeTypeForOracleBlockLvl(bool, int, int, int, const std::string&) {
  return CQiError();
}

CQiError KzDeviceConfigHandler::HandleBitMap(SMVolBlock&, const KZBkpLevel&, eSnapState) {
  return NotImplemented(FXCODELOC);
}

CQiError KzDeviceConfigHandler::DeleteBitMap(const std::string&) {
  return NotImplemented(FXCODELOC);
}

bool KzDeviceConfigHandler::IsSupportedDevice(const std::string&) {
  return false;
}

CQiError KzDeviceConfigHandler::GetBitMapInfo(const std::string&, unsigned char*&, unsigned long&, unsigned char&) {
  return NotImplemented(FXCODELOC);
}

CQiError KzDeviceConfigHandler::AttachDeviceForMonitoring(const std::string&, const std::string&, const int&) {
  return NotImplemented(FXCODELOC);
}

bool KzDeviceConfigHandler::ShouldAppendDeviceConfig() {
  return false;
}

void KzDeviceConfigHandler::setAppendDeviceConfigForOracle(bool) {}

std::string KzDeviceConfigHandler::GetFSType(SMVolBlock&) {
  return std::string();
}

std::string KzDeviceConfigHandler::DriverCacheFolder() {
  return std::string();
}

// --- housekeeping ----------------------------------------------------------------

CQiError KzDeviceConfigHandler::CleanPrevJobConfigFiles() {
  EvDebug log;
  const std::string key = devconfig::JobKeyOf(m_oJobInfo);
  const std::string& directory = m_oJobInfo.GetJobResultsDir();
  std::vector<std::string> names;
  CQiDirectory listing;
  CQiError error = listing.Open(directory.c_str(), "*", true);
  if (error.IsError()) return error.Push(FXCODELOC);
  for (;;) {
    SQiDirEntry entry;
    bool end = false;
    error = listing.GetEntry(entry, end);
    if (error.IsError()) return error.Push(FXCODELOC);
    if (end) break;
    names.push_back(entry.m_sName.c_str());
  }
  // A file an uncompleted job marked holds bits no backup has read: it
  // passes to this job, whose mark is on disk before the other one goes.
  const std::string lastKey = devconfig::LastCompletedJobKeyOf(m_oJobInfo);
  for (const std::string& name : names) {
    if (name.find(".bmp") == std::string::npos || name.find(key) != std::string::npos) continue;
    if (!devconfig::IsBitmapMarkedForUncompletedJob(name, names, lastKey)) continue;
    const std::string path = directory + "/" + name;
    log.DebugLvl(__FUNCTION__, 1, "Keeping device bitmap file [%s] of a job that did not complete", path.c_str());
    error = devconfig::MarkBitmapForJob(path, key);
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  for (const std::string& name : names) {
    if (name.find(".bmp") == std::string::npos || name.find(key) != std::string::npos) continue;
    const std::string path = directory + "/" + name;
    // An earlier attempt of this job: its bitmap holds bits already taken
    // from the driver, which the re-run adds to.
    if (devconfig::IsBitmapMarkedForJob(path, key)) continue;
    log.DebugLvl(__FUNCTION__, 3, "Removing previous device bitmap file [%s]", path.c_str());
    unlink_utf(path.c_str());
  }
  return CQiError();
}

void KzDeviceConfigHandler::PrepareBMFileName(const std::string& volume, std::string& path) const {
  const std::string::size_type slash = volume.rfind('/');
  path = m_oJobInfo.GetJobResultsDir() + (slash == std::string::npos ? "/" + volume : volume.substr(slash)) + ".bmp";
}
