// The index-info store's self-connecting upload: the job's archive file from
// the archive manager, a connection of its own, the walk, and the end.
#include <memory>

#include "indexinfo/index_info_store_private.h"
#include "platform/config/kz_client.h"
#include "platform/indexing/indexing_connection.h"
#include "platform/log/ev_debug.h"
#include "platform/services/host_name.h"
#include "platform/services/subclient.h"

namespace {

constexpr unsigned kFailure = 1627;
constexpr uint64_t kFlagBlockLevel = 16;
constexpr uint64_t kFlagNoMetadataBackup = 8;

}  // namespace

CQiError CIndexInfoStorePrivate::QueryJobInfo(unsigned int archiveFileNumber) {
  EvDebug log;
  if (m_bQueried) return CQiError();
  ApplicationId application(m_nVornCellId, m_nAppId);
  ApplicationType* type = application.getApplicationType(nullptr);
  if (type == nullptr)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kFailure,
                                   "Application type object returned null for vorncell, app id [%lu, %lu]",
                                   static_cast<unsigned long>(m_nVornCellId), static_cast<unsigned long>(m_nAppId));
  m_nAppType = type->getType();
  uint64_t clientId = 0;
  if (KZClient* client = application.getClient(nullptr); client == nullptr || client->getClientId(clientId) != 0)
    clientId = 0;
  m_nClientId = clientId;

  if (archiveFileNumber == 0) {
    GetArchFileInfoForSnapJob_ArgsCC_t request;
    request.jobId = static_cast<uint64_t>(m_nJobId);
    request.appOrClientId = m_nClientId;
    request.cellId = m_nVornCellId;
    request.snapJobId = static_cast<uint64_t>(m_nJobId);
    GetArchFileInfoForSnapJob_Ret_t reply;
    ArMgrClientAPI archives;
    if (archives.getArchFileListForSnapshotJob(&request, &reply) != 0)
      return FXErrorUtil::ErrorWin32(FXCODELOC, kFailure, "Failed to get afile list for JID [%ld]", m_nJobId);
    if (reply.archFiles.empty())
      return FXErrorUtil::ErrorWin32(FXCODELOC, kFailure, "No afile results returned for JID [%ld]", m_nJobId);
    if (reply.storageHostName.empty())
      return FXErrorUtil::ErrorWin32(FXCODELOC, kFailure, "Stowhost hostname returned empty for JID [%ld]", m_nJobId);
    uint64_t smallest = reply.archFiles.front().archFileId;
    for (const ArchFileInfo_t& file : reply.archFiles) {
      log.DebugLvl(__FUNCTION__, 1, "AFile %lu fileType:%lu createTime:%lu",
                   static_cast<unsigned long>(file.archFileId), static_cast<unsigned long>(file.archFileType),
                   static_cast<unsigned long>(file.createTime));
      if (file.archFileId < smallest) smallest = file.archFileId;
    }
    archiveFileNumber = static_cast<unsigned int>(smallest);
  }

  GetAfileInfoArgsCC_t request;
  request.archFileId = archiveFileNumber;
  request.cellId = m_nVornCellId;
  GetAfileInfoRetCC_t reply;
  ArMgrClientAPI archives;
  if (archives.getAfileInfo(&request, &reply) != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kFailure, "getAfileInfo failed for archive %u", archiveFileNumber);
  m_oArchiveFileId.cellId = static_cast<uint32_t>(reply.cellId);
  m_oArchiveFileId.archiveGroupNumber = static_cast<uint32_t>(reply.archGroupId);
  m_oArchiveFileId.archiveFileNumber = static_cast<uint32_t>(reply.archFileId);
  m_nArchiveFileCreateTime = reply.createTime;
  m_nArchiveFileFlags = reply.flags;
  m_nBackupLevel = reply.backupLevel;
  log.DebugLvl(__FUNCTION__, 1, "Using AFile %u for data store Group %u CTimr %lld afileFlags %lu backupLevel %d",
               m_oArchiveFileId.archiveFileNumber, m_oArchiveFileId.archiveGroupNumber,
               static_cast<long long>(m_nArchiveFileCreateTime), static_cast<unsigned long>(m_nArchiveFileFlags),
               m_nBackupLevel);
  m_bQueried = true;
  return CQiError();
}

CQiError CIndexInfoStorePrivate::BackupData(const std::string& storageServerName, const std::string& jobToken,
                                            unsigned int archiveFileNumber, uint32_t options) {
  EvDebug log;
  CQiError error = QueryJobInfo(archiveFileNumber);
  if (error.IsError()) {
    log.Error(__FUNCTION__, "Failed to basic query job info [%s]", error.AsString().c_str());
    return FXErrorUtil::ErrorWin32(FXCODELOC, kFailure, "Failed to basic query job info [%s].",
                                   error.AsString().c_str());
  }
  auto connection = std::make_unique<IndexingConnection>();
  ApplicationId application(m_nVornCellId, m_nAppId);
  Subclient* subclient = application.getSubclient(nullptr);
  if (subclient == nullptr) {
    log.Error(__FUNCTION__, "getSubclient failed [%d - %s]", application.getLastError(),
              application.getErrorString().c_str());
    return FXErrorUtil::ErrorWin32(FXCODELOC, kFailure, "Failed to get subclient object");
  }
  uint64_t flags = 0;
  unsigned long blockLevel = 0;
  if (subclient->getUseBlockLevelBackup(blockLevel, nullptr) == 0 && blockLevel != 0) {
    flags += kFlagBlockLevel;
    unsigned long metadataBackup = 0;
    if (subclient->getEnableMetadataBackup(metadataBackup, nullptr) == 0 && metadataBackup == 0)
      flags += kFlagNoMetadataBackup;
  }
  if (options & 1) flags += 1;
  if (options & 2) flags += 2;
  if (options & 4) flags += 9;

  std::string clientName, hostName;
  int port = 0, hostFlags = 0;
  DemangleHostName(storageServerName, clientName, hostName, port, hostFlags);
  log.DebugLvl(__FUNCTION__, 3, "IndexingConnection::initialize(%lu,%lu,%lu,%d,%s,%s,%s)",
               static_cast<unsigned long>(m_nVornCellId), static_cast<unsigned long>(m_nAppId),
               static_cast<unsigned long>(m_nAppType), m_nBackupLevel, jobToken.c_str(), storageServerName.c_str(),
               hostName.c_str());
  int result = connection->initialize(static_cast<uint32_t>(m_nVornCellId), static_cast<uint32_t>(m_nAppId),
                                      static_cast<uint32_t>(m_nAppType), m_nBackupLevel, jobToken, storageServerName,
                                      hostName, static_cast<uint32_t>(flags));
  if (result != 0) {
    log.Error(__FUNCTION__, "calling IndexingConnection::initialize failed (rc=%d)", result);
    return FXErrorUtil::ErrorWin32(FXCODELOC, kFailure, "calling IndexingConnection::initialize failed");
  }
  result = connection->sendAfileInfo(m_oArchiveFileId, false, m_nArchiveFileCreateTime,
                                     static_cast<uint32_t>(m_nArchiveFileFlags));
  if (result != 0) {
    log.Error(__FUNCTION__,
              "calling IndexingConnection::sendAfileInfo(vornCellId:%u, aGroupNumber:%u, aFileNumber:%u) failed",
              m_oArchiveFileId.cellId, m_oArchiveFileId.archiveGroupNumber, m_oArchiveFileId.archiveFileNumber);
    return FXErrorUtil::ErrorWin32(FXCODELOC, kFailure, "calling IndexingConnection::sendAfileInfo failed");
  }
  error = BackupData(*connection);
  connection->backupDone(1);
  if (error.IsError()) return error.Push(FXCODELOC);
  return CQiError();
}
