// The file-system form of the pseudo-snap job's steps: the snapshot record,
// the mount map from the device configuration, the pseudo archive files and
// the maps between the snapshot's and the pseudo archive files.
#include "platform/config/kz_client.h"
#include "platform/jobs/kz_job_client.h"
#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"
#include "platform/snapshot/snap_client_api.h"
#include "platform/snapshot/uxa_snap_util.h"
#include "platform/text/fx_string.h"
#include "pseudosnap/pseudo_snap_handler_private.h"
#include "records/block_device_config.h"

namespace {

constexpr uint32_t kSnapActionFlags = 2;
constexpr uint32_t kRetrieveValidFlags = 37;
constexpr uint32_t kRetrieveCopyFlags = 24;
constexpr uint32_t kTrailingDelimiterFlag = 0x800000;
constexpr size_t kHostNameBytes = 1024;

}  // namespace

CQiError CPseudoSnapArchiveHandlerPrivate::GetSnapInfo() {
  EvDebug log;
  m_oSnapVolSnapInfo.setJobId(static_cast<uint32_t>(m_nJobId));
  m_oSnapVolSnapInfo.setSnapJobId(static_cast<uint32_t>(m_nSnapJobId));
  m_oSnapVolSnapInfo.setVornCellId(m_nVornCellId);
  m_oSnapVolSnapInfo.setSnapActionFlags(kSnapActionFlags);
  m_oSnapVolSnapInfo.setRetrieveValidFlags(kRetrieveValidFlags);
  if (m_eBackupLevel == KZ_BKP_LEVEL_SYNTHFULL) {
    using Request = JobManager::GetLastIncrJobWithBackupCopyDoneReq;
    using Reply = JobManager::GetLastIncrJobWithBackupCopyDoneResp;
    Request request;
    request.setuint64(Request::kVornCellId.number, Request::kVornCellId.tag, m_nVornCellId);
    request.setuint64(Request::kAppId.number, Request::kAppId.tag, m_nAppId);
    char host[kHostNameBytes] = {};
    if (KZPlatformInfo::getStowhostVSHostName(host, static_cast<int>(sizeof host - 1)) != 0) {
      log.Error(__FUNCTION__, "Failed to get VS hostname");
      host[0] = '\0';
    }
    KZJobClient jobClient;
    if (!jobClient.init(host, 2, 0))
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "failed to initialize jobClient, AppId[%lu] VSName[%s]",
                                     static_cast<unsigned long>(m_nAppId), host);
    CNMessageBase reply;
    if (!jobClient.processXmlReq(request, reply) || reply.getTagID() != Reply::kTagId)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "failed in processing GetLastIncrJobWithBackupCopyDone response");
    const long long snapJobId = reply.getint64(Reply::kSnapJobId.number, Reply::kSnapJobId.tag);
    const uint32_t copyId = static_cast<uint32_t>(reply.getuint64(Reply::kCopyId.number, Reply::kCopyId.tag));
    log.Debug(__FUNCTION__, "JM returned snapjobId[%lld], copyId[%lu], AppId[%lu] VCId[%lu] VSName[%s]", snapJobId,
              static_cast<unsigned long>(copyId), static_cast<unsigned long>(m_nAppId),
              static_cast<unsigned long>(m_nVornCellId), host);
    m_oSnapVolSnapInfo.setCopyParamType(1);
    m_oSnapVolSnapInfo.setCopyParam(copyId);
    m_oSnapVolSnapInfo.setRetrieveValidFlags(kRetrieveValidFlags | kRetrieveCopyFlags);
  }
  KZSnapClientAPI snapClient;
  if (!snapClient.getVolumeSnaps(m_oSnapVolSnapInfo)) {
    int apiCode = 0;
    std::string apiError;
    snapClient.getErrCodeAndStr(apiCode, apiError);
    CQiError error = FXErrorUtil::ErrorErrNo(
        FXCODELOC, 2,
        "Failed to get SnapShot info for snapshot JID[%llu]. KZSnapClientAPI error[%s] volSnapInfo error[%d] error[%s]",
        static_cast<unsigned long long>(m_nSnapJobId), apiError.c_str(), m_oSnapVolSnapInfo.getErrorCode(),
        m_oSnapVolSnapInfo.getErrorString().c_str());
    log.Error(__FUNCTION__, "%s", error.GetMessage().c_str());
    return error;
  }
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::GetMountMap() {
  EvDebug log;
  BlockDeviceConfigReaderWriter reader;
  CQiError error = reader.InitRead(FXPath::Append(m_sSubClientDir, BlockDeviceConfigReaderWriter::kMainFileName));
  if (error.IsError()) return error.Push(FXCODELOC);
  m_bMetadataCollectionEnabled = reader.IsMetaDataCollectionEnabled();
  // Only ever set here: a flag the agent asked for stays.
  if (!m_bMetadataCollectionEnabled && !m_bMetadataCollected) m_nIndexConnFlags |= kIndexConnNoMetadata;
  for (;;) {
    BackupDeviceInfo device;
    error = reader.ReadNextBackupDevice(device);
    if (error.IsError()) return error.Push(FXCODELOC);
    if (!device.IsValid()) break;
    const std::string& mountPoint = device.GetSourceVolName();
    if (mountPoint.empty())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1,
                                     "MountPoint is empty. Is this a raw/block device rather than a mount point");
    m_mMountMap.insert({mountPoint, device.GetSourceDeviceName()});
    m_mVolumeSizes.insert({mountPoint, device.GetDiskSize()});
    log.Debug(__FUNCTION__, "volume [%s] size[%llu]", mountPoint.c_str(),
              static_cast<unsigned long long>(device.GetDiskSize()));
  }
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::CheckForVolumeCountMismatch() {
  if (m_mMountMap.size() != static_cast<size_t>(m_oSnapVolSnapInfo.numOfVolume()))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "MountMap size[%lu] doesnot match with that of Volsnap size[%d]",
                                   static_cast<unsigned long>(m_mMountMap.size()), m_oSnapVolSnapInfo.numOfVolume());
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::CreateSnapArchiveFiles(uint32_t& copyId) {
  EvDebug log;
  UxaSnapUtil snapUtil(platform::kBlockLevelSnapEngine, m_eBackupLevel, m_pApplicationId.get(), 1,
                       EvDebug::IsLevelEnabled(1), m_pJobCtrl, nullptr, SpawnProcess);
  for (const auto& [mountPoint, device] : m_mMountMap)
    if (!snapUtil.addMountPoint(mountPoint, mountPoint))
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Could not add mountpointi[%s] to mount map", mountPoint.c_str());
  log.Debug(__FUNCTION__, "m_ulCopyId[%lu]", static_cast<unsigned long>(m_ulCopyId));
  return RegisterSnapArchiveFiles(snapUtil, 1, m_oPseudoVolSnapInfo, copyId);
}

CQiError CPseudoSnapArchiveHandlerPrivate::RegisterSnapArchiveFiles(UxaSnapUtil& util, uint32_t first,
                                                                    SMVolSnapInfo& record, uint32_t& copyId) {
  CreateArgs_t args;
  args.first = first;
  args.appId = m_nAppId;
  args.appType = m_nAppType;
  args.clientId = m_nSnapClientId != 0 ? m_nSnapClientId : m_nClientId;
  args.copyId = m_ulCopyId;
  args.backupLevel = static_cast<uint32_t>(m_eBackupLevel);
  KZArchive archive(m_pJobCtrl != nullptr ? m_pJobCtrl->getCN() : std::string());
  archive.setJobId(m_nJobId);
  archive.setBackupLevel(m_eBackupLevel);
  const int result = util.createSnapArchiveFiles(archive, args, record, nullptr);
  if (result != 0) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "CreateSnapArchiveFiles failed, error=%d", result);
  copyId = archive.GetCopyId();
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::GetVolumeSourcePath(SMVolSnapInfo&, SMVolumeInfo& volume,
                                                               std::string& path) {
  path = volume.getSourcePath();
  if ((volume.getVolumeFlags() & kTrailingDelimiterFlag) != 0) path += m_cDelimiter;
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::GetArchiveFileMap(SMVolSnapInfo& record, MapVolumeArchFiles_t& map) {
  for (SMVolumeInfo& volume : record.getVolumeList()) {
    std::string path;
    CQiError error = GetVolumeSourcePath(record, volume, path);
    if (error.IsError()) return error.Push(FXCODELOC);
    map.insert({path, volume.getArchFileId()});
  }
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::UpdateVolumeAFileInfo(std::vector<uint32_t>* ids) {
  EvDebug log;
  for (const auto& [mountPoint, device] : m_mMountMap) {
    log.Debug(__FUNCTION__, "Looking for [%s]", mountPoint.c_str());
    auto snapFile = m_mSnapArchFileMap.find(mountPoint);
    if (snapFile == m_mSnapArchFileMap.end())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Could not find entry corresponding to [%s]\tin archFileMap1",
                                     mountPoint.c_str());
    auto pseudoFile = m_mPseudoArchFileMap.find(mountPoint);
    if (pseudoFile == m_mPseudoArchFileMap.end())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Could not find entry corresponding to [%s] in archFileMap2",
                                     mountPoint.c_str());
    m_mSnapToPseudoArchFileMap.insert({snapFile->second, pseudoFile->second});
    if (ids != nullptr) ids->push_back(static_cast<uint32_t>(pseudoFile->second));
    if (isIndexingV2()) {
      log.Debug(__FUNCTION__, "SendVolumeAFileInfo [%s,%d]", mountPoint.c_str(), pseudoFile->second);
      CQiError error = SendVolumeAFileInfo(mountPoint, pseudoFile->second);
      if (error.IsError())
        return error.Push(FXCODELOC, "SendVolumeAfileInfo failed for Volume[%s]\tSnapafile[%d] Dummyafile[%d]",
                          mountPoint.c_str(), snapFile->second, pseudoFile->second);
    }
  }
  return CQiError();
}

// The hooks only the database variants fill: a file-system job has no agent
// index files and no application views to carry forward.
CQiError CPseudoSnapArchiveHandlerPrivate::DownloadAgentIndexFiles(CJobInfoMetadataReaderManagerPtr&, C7zip&) {
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::AppendAgentCarryFwdIndex(databrowse::BrowseTimeRange) {
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::UploadAgentIndexToSynthFull() {
  return CQiError();
}
