// The Oracle job's snapshot side: the mount map from device to mount point,
// data and log volumes made into separate sets of pseudo archive files, and
// the cloned record's devices.
#include <algorithm>
#include <cerrno>
#include <fstream>

#include "platform/jobs/bkp_job_client.h"
#include "platform/jobs/kz_job_client.h"
#include "platform/log/ev_debug.h"
#include "platform/messages/uxa_messages.h"
#include "platform/registry/kz_platform_info.h"
#include "platform/snapshot/snap_client_api.h"
#include "platform/text/fx_string.h"
#include "pseudosnap/pseudo_snap_handler_private.h"
#include "records/block_device_config.h"

namespace {

constexpr const char* kVolumeTypeFile = "OraVolumeType.kzf";
constexpr int kJobManagerFailure = 774;
constexpr int kNoVolumesOfAnyType = 1627;
constexpr size_t kHostNameBytes = 1024;

bool IsDiskGroup(const std::string& mountPoint) {
  return !mountPoint.empty() && mountPoint[0] == '+';
}

int LastErrno() {
  return errno != 0 ? errno : -1;
}

}  // namespace

bool COraclePseudoSnapArchiveHandlerPrivate::FirstVolumeIsAsm() const {
  // An empty record has no ASM volume to speak of.
  const SMVolSnapInfo::VolumeList& volumes = m_oSnapVolSnapInfo.getVolumeList();
  return !volumes.empty() && (volumes.front().getVolumeFlags() & kAsmVolumeFlag) != 0;
}

CQiError COraclePseudoSnapArchiveHandlerPrivate::GetSnapInfo() {
  CQiError error = CPseudoSnapArchiveHandlerPrivate::GetSnapInfo();
  if (error.IsError()) return error.Push(FXCODELOC);
  if (FirstVolumeIsAsm()) {
    m_bASM = true;
    KZSnapClientAPI snapClient;
    if (!snapClient.GetDiskVolSnapForASMVolSnap(m_oSnapVolSnapInfo, m_oDiskVolSnapInfo)) {
      EvDebug log;
      log.Error(__FUNCTION__, "Error retrieving ASM metadata from snap volume details");
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Error retrieving ASM metadata from snap volume details");
    }
  }
  return CQiError();
}

CQiError COraclePseudoSnapArchiveHandlerPrivate::GetMountMap() {
  EvDebug log;
  BlockDeviceConfigReaderWriter reader;
  CQiError error = reader.InitRead(FXPath::Append(m_sSubClientDir, BlockDeviceConfigReaderWriter::kMainFileName));
  if (error.IsError()) return error.Push(FXCODELOC);
  m_bMetadataCollectionEnabled = reader.IsMetaDataCollectionEnabled();
  if (!m_bMetadataCollectionEnabled) m_nIndexConnFlags |= kIndexConnNoMetadata;
  for (;;) {
    BackupDeviceInfo record;
    error = reader.ReadNextBackupDevice(record);
    if (error.IsError()) return error.Push(FXCODELOC);
    if (!record.IsValid()) break;
    std::string device = record.GetSourceDeviceName();
    std::string mountPoint;
    if (!m_bASM) {
      mountPoint = record.GetSourceVolName();
    } else {
      log.DebugLvl(__FUNCTION__, 3, "ASM Mode");
      // Every disk volume is looked at, each against the device as the
      // matches before it left it (a match names the device by the record's
      // volume): the last that matches names the group.
      for (const SMVolumeInfo& disk : m_oDiskVolSnapInfo.getVolumeList()) {
        log.DebugLvl(__FUNCTION__, 3, "backup device srcDevice=[%s]  diskSrcDevice=[%s]",
                     disk.getSourceDevice().c_str(), device.c_str());
        if (disk.getSourceDevice() == device || disk.getSourceDevice() == record.GetSourceVolName()) {
          mountPoint = "+" + disk.getOriginSourcePath();
          device = record.GetSourceVolName();
        }
      }
    }
    if (mountPoint.empty())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "MountPoint is empty. Could not find DiskGroup name for ASM Disk");
    log.DebugLvl(__FUNCTION__, 3, "sourceDevice [%s] mountPoint [%s]", device.c_str(), mountPoint.c_str());
    m_mMountMap.insert({device, mountPoint});
    m_mVolumeSizes.insert({device, record.GetDiskSize()});
    log.DebugLvl(__FUNCTION__, 2, "volume [%s] size[%llu]", device.c_str(),
                 static_cast<unsigned long long>(record.GetDiskSize()));
  }
  return CQiError();
}

CQiError COraclePseudoSnapArchiveHandlerPrivate::CheckForVolumeCountMismatch() {
  const int volumes = m_bASM ? m_oDiskVolSnapInfo.numOfVolume() : m_oSnapVolSnapInfo.numOfVolume();
  if (m_mMountMap.size() != static_cast<size_t>(volumes))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "MountMap size[%zu] doesnot match with that of Volsnap size[%d]",
                                   m_mMountMap.size(), volumes);
  return CQiError();
}

CQiError COraclePseudoSnapArchiveHandlerPrivate::GetVolumeType() {
  CQiError error = CPseudoSnapArchiveHandlerPrivate::GetVolumeType(m_bASM ? m_oDiskVolSnapInfo : m_oSnapVolSnapInfo);
  if (error.IsError()) return error.Push(FXCODELOC);
  return CQiError();
}

CQiError COraclePseudoSnapArchiveHandlerPrivate::UpdateJMFlagOnSynthFULL() {
  if (m_eBackupLevel != KZ_BKP_LEVEL_SYNTHFULL) return CQiError();
  EvDebug log;
  char host[kHostNameBytes] = {};
  if (KZPlatformInfo::getStowhostVSHostName(host, static_cast<int>(sizeof host - 1)) != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kJobManagerFailure, "Failed to get VS hostname");
  log.DebugLvl(__FUNCTION__, 0, "Initializing jobclient with VS hostname[%s] backup job[%llu]", host,
               static_cast<unsigned long long>(m_nJobId));
  KZBkpJobClient jobClient;
  if (!jobClient.init(host, m_nJobId, 1, 2, false, nullptr))
    return FXErrorUtil::ErrorWin32(FXCODELOC, kJobManagerFailure,
                                   "Failed to initialize backup job client instance for updating info");
  jobClient.setJobID(m_nJobId);
  jobClient.setBkpAttributes(kDataBackupAttribute);
  if (!jobClient.updateInfo(false, nullptr))
    return FXErrorUtil::ErrorWin32(FXCODELOC, kJobManagerFailure, "Failed to set JMBKP_DATA_BACKUP attribute on job");
  log.DebugLvl(__FUNCTION__, 6, "Added JMBKP_DATA_BACKUP flag on Job ");
  return CQiError();
}

CQiError COraclePseudoSnapArchiveHandlerPrivate::ReadVolumeTypes(std::vector<std::string>& data,
                                                                 std::vector<std::string>& logs) {
  using VolumeType = Uxa::OraVolumeDataType;
  const std::string path = FXPath::Append(m_sSubClientDir, kVolumeTypeFile);
  errno = 0;
  std::ifstream file(path);
  if (!file.is_open()) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "%s open error %d", path.c_str(), LastErrno());
  // Whole lines, however long: the writer puts a long mount path on one line.
  std::string line;
  while (std::getline(file, line)) {
    VolumeType message;
    message.unserialize(line);
    const std::string name = message.getstring(VolumeType::kVolume.number, VolumeType::kVolume.tag, VolumeType::kTagId,
                                               VolumeType::kVolume.check);
    const std::string type =
        message.getstring(VolumeType::kType.number, VolumeType::kType.tag, VolumeType::kTagId, VolumeType::kType.check);
    (type == "DATA" ? data : logs).push_back(name);
  }
  if (!file.eof())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Reading from %s  failed, error %d", path.c_str(), LastErrno());
  return CQiError();
}

CQiError COraclePseudoSnapArchiveHandlerPrivate::AddVolumesOfType(UxaSnapUtilDb& util,
                                                                  const std::vector<std::string>& names, bool logs,
                                                                  bool& found) {
  EvDebug log;
  util.setClientId(static_cast<int>(m_nSnapClientId));
  util.setVornCellId(static_cast<int>(m_nVornCellId));
  for (const auto& [device, mountPoint] : m_mMountMap) {
    const std::string& name = IsDiskGroup(mountPoint) ? device : mountPoint;
    log.DebugLvl(__FUNCTION__, 3, "Looking for vol [%s] type", name.c_str());
    if (std::find(names.begin(), names.end(), name) == names.end()) continue;
    if (!util.addMountPoint(name, mountPoint))
      return FXErrorUtil::ErrorErrNo(
          FXCODELOC, -1,
          logs ? "Could not add mountpointi[%s:%s] to mount map" : "Could not add mountpoint[%s:%s] to mount map",
          mountPoint.c_str(), name.c_str());
    log.DebugLvl(__FUNCTION__, 3, logs ? "LogVol [%s]" : "DataVol [%s]", name.c_str());
    found = true;
  }
  return CQiError();
}

CQiError COraclePseudoSnapArchiveHandlerPrivate::CreateArchiveFilesOfType(UxaSnapUtilDb& util, uint32_t first,
                                                                          SMVolSnapInfo& record, uint32_t& copyId) {
  EvDebug log;
  CQiError error = RegisterSnapArchiveFiles(util, first, record, copyId);
  if (error.IsError()) return error;
  log.DebugLvl(__FUNCTION__, 0, "ulCopyId[%u]", copyId);
  return CQiError();
}

CQiError COraclePseudoSnapArchiveHandlerPrivate::CreateSnapArchiveFiles(uint32_t& copyId) {
  EvDebug log;
  CQiError error = UpdateJMFlagOnSynthFULL();
  if (error.IsError()) return error.Push(FXCODELOC, "Error updating JM job flags");
  std::vector<std::string> dataNames;
  std::vector<std::string> logNames;
  error = ReadVolumeTypes(dataNames, logNames);
  if (error.IsError()) return error.Push(FXCODELOC);

  const bool debug = EvDebug::IsLevelEnabled(1);
  UxaSnapUtilDb dataUtil(platform::kBlockLevelSnapEngine, m_eBackupLevel, m_pApplicationId.get(), 1, debug, m_pJobCtrl,
                         nullptr, SpawnProcess);
  bool dataFound = false;
  error = AddVolumesOfType(dataUtil, dataNames, false, dataFound);
  if (error.IsError()) return error.Push(FXCODELOC);
  UxaSnapUtilDb logUtil(platform::kBlockLevelSnapEngine, m_eBackupLevel, m_pApplicationId.get(), 1, debug, m_pJobCtrl,
                        nullptr, SpawnProcess);
  bool logsFound = false;
  error = AddVolumesOfType(logUtil, logNames, true, logsFound);
  if (error.IsError()) return error.Push(FXCODELOC);
  if (!dataFound && !logsFound)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kNoVolumesOfAnyType,
                                   "No volumes found for data or log types from snap volumes");
  log.DebugLvl(__FUNCTION__, 0, "m_ulCopyId[%u]", m_ulCopyId);
  if (dataFound) {
    log.DebugLvl(__FUNCTION__, 0, "DATA VOL");
    error = CreateArchiveFilesOfType(dataUtil, 1, m_oPseudoVolSnapInfo, copyId);
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  if (logsFound) {
    log.DebugLvl(__FUNCTION__, 0, "LOG VOL");
    // Appended only once made, so a failure leaves the data volumes alone.
    SMVolSnapInfo logRecord;
    error = CreateArchiveFilesOfType(logUtil, 4, logRecord, copyId);
    if (error.IsError()) return error.Push(FXCODELOC);
    for (const SMVolumeInfo& volume : logRecord.getVolumeList()) m_oPseudoVolSnapInfo.addVolume(volume, true);
  }
  return CQiError();
}

CQiError COraclePseudoSnapArchiveHandlerPrivate::UpdateVolumeAFileInfo(std::vector<uint32_t>* ids) {
  EvDebug log;
  for (const auto& [device, mountPoint] : m_mMountMap) {
    auto snapFile = m_mSnapArchFileMap.find(mountPoint);
    if (snapFile == m_mSnapArchFileMap.end()) {
      log.DebugLvl(__FUNCTION__, 0, "Looking for [%s], map size [%zu]", mountPoint.c_str(), m_mSnapArchFileMap.size());
      for (const auto& [path, id] : m_mSnapArchFileMap)
        log.DebugLvl(__FUNCTION__, 3, "src map [%s]=>[%d]", path.c_str(), id);
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Could not find entry corresponding to [%s] in archFileMap1",
                                     mountPoint.c_str());
    }
    auto pseudoFile = m_mPseudoArchFileMap.find(mountPoint);
    if (pseudoFile == m_mPseudoArchFileMap.end()) {
      log.DebugLvl(__FUNCTION__, 0, "Looking for [%s], BLB snap map size [%zu]", mountPoint.c_str(),
                   m_mPseudoArchFileMap.size());
      for (const auto& [path, id] : m_mPseudoArchFileMap)
        log.DebugLvl(__FUNCTION__, 3, "pseudo map [%s]=>[%d]", path.c_str(), id);
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Could not find entry corresponding to [%s] in archFileMap2",
                                     mountPoint.c_str());
    }
    m_mSnapToPseudoArchFileMap.insert({snapFile->second, pseudoFile->second});
    if (ids != nullptr) ids->push_back(static_cast<uint32_t>(pseudoFile->second));
    if (isIndexingV2()) {
      // An ASM volume is indexed under its own name, not its disk group.
      const std::string& volume = IsDiskGroup(mountPoint) ? device : mountPoint;
      CQiError error = SendVolumeAFileInfo(volume, pseudoFile->second);
      if (error.IsError())
        return error.Push(FXCODELOC, "SendVolumeAfileInfo failed for Volume[%s] Snapafile[%d] Dummyafile[%d]",
                          volume.c_str(), snapFile->second, pseudoFile->second);
    }
  }
  return CQiError();
}

CQiError COraclePseudoSnapArchiveHandlerPrivate::UpdateClonedVolSnapInfo() {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 6, "Snap VolSnapInfo [%s]", m_oSnapVolSnapInfo.dump().c_str());
  for (SMVolumeInfo& volume : m_oClonedVolSnapInfo.getVolumeList()) {
    const int volumeId = volume.getSMVolumeId();
    std::string path;
    CQiError error = GetVolumeSourcePath(m_oClonedVolSnapInfo, volume, path);
    if (error.IsError()) return error.Push(FXCODELOC);
    if (IsDiskGroup(path)) continue;
    auto mounted = std::find_if(m_mMountMap.begin(), m_mMountMap.end(),
                                [&path](const auto& entry) { return entry.second == path; });
    if (mounted == m_mMountMap.end())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Could not find a entry corresponding to[%s] in MountMap",
                                     path.c_str());
    const std::string& device = mounted->first;
    error = UpdateSourceSnapDevice(volumeId, device);
    if (error.IsError())
      return error.Push(FXCODELOC,
                        "UpdateSourceSnapDevice failed for VolumeId[%d] SrcPath[%s] SourceDevice[%s], err=[%s]",
                        volumeId, path.c_str(), device.c_str(), error.GetMessage().c_str());
  }
  if (FirstVolumeIsAsm()) {
    KZSnapClientAPI snapClient;
    if (!snapClient.CloneASMVolSnapForBlockEngine(m_oSnapVolSnapInfo, m_oClonedVolSnapInfo))
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Could not clone ASM metadata for block level pseudo snap");
    log.DebugLvl(__FUNCTION__, 6, "Clone Snap VolSnapInfo [%s]", m_oClonedVolSnapInfo.dump().c_str());
  }
  return CQiError();
}
