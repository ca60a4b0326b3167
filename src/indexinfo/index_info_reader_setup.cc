// The reader's two ways to learn the ids and time range its browses name.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "indexinfo/index_info_reader_private.h"
#include "platform/base/compat.h"
#include "platform/config/kz_client.h"
#include "platform/dbagents/instance.h"
#include "platform/log/ev_debug.h"
#include "platform/services/archive_manager.h"
#include "platform/services/subclient.h"

CIndexInfoReaderPrivate::CIndexInfoReaderPrivate() : m_root(std::make_shared<CIndexInfoPath>()) {}

void CIndexInfoReaderPrivate::TakeFocusInstance() {
  const std::string focus = KZPI_Focus::getFocus();
  m_nInstanceId =
      (!focus.empty() && focus[0] >= '0' && focus[0] <= '9') ? std::strtoull(focus.c_str(), nullptr, 10) : 0;
}

CQiError CIndexInfoReaderPrivate::InitializeWithIds(const std::string& name, unsigned long backupSetId, int VornCellId,
                                                    unsigned long clientId, unsigned long appType, long long fromTime,
                                                    long long toTime) {
  EvDebug log;
  m_sName = name;
  m_nVornCellId = static_cast<uint64_t>(VornCellId);
  m_nBackupSetId = backupSetId;
  m_nClientId = clientId;
  m_nAppType = appType;
  m_llFromTime = fromTime;
  m_llToTime = toTime;
  TakeFocusInstance();
  log.DebugLvl(__FUNCTION__, 1, "m_llFromTime=[%lld], m_llToTime=[%lld]", m_llFromTime, m_llToTime);
  return CQiError();
}

CQiError CIndexInfoReaderPrivate::InitializeFromJob(const std::string& name, long firstJobId, long jobId,
                                                    int VornCellId, int subclientId, long long fromTime) {
  EvDebug log;
  m_sName = name;
  m_nFirstJobId = static_cast<uint64_t>(firstJobId);
  m_nJobId = static_cast<uint64_t>(jobId);
  m_nVornCellId = static_cast<uint64_t>(VornCellId);
  m_nSubclientId = static_cast<uint64_t>(subclientId);
  m_llFromTime = fromTime;
  CQiError error = LookUpApplication();
  if (error.IsError()) return error.Push(FXCODELOC);
  error = LookUpTimeRange();
  if (error.IsError()) return error.Push(FXCODELOC);
  log.DebugLvl(__FUNCTION__, 1, "m_llFromTime=[%lld], m_llToTime=[%lld]", m_llFromTime, m_llToTime);
  return CQiError();
}

CQiError CIndexInfoReaderPrivate::LookUpApplication() {
  EvDebug log;
  ApplicationId application(m_nVornCellId, m_nSubclientId);
  unsigned long appType = 0;
  if (application.getAppType(appType, nullptr) != 0) {
    const int last = GetLastError();
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "ApplicationId failed with error %x:%s", last, std::strerror(last));
  }
  m_nAppType = appType;
  if (Instance* instance = application.getInstance(nullptr)) m_nInstanceId = instance->getInstanceId();
  if (BackupSet* backupSet = application.getBackupSet(nullptr)) m_nBackupSetId = backupSet->getBackupSetId();
  log.DebugLvl(__FUNCTION__, 3, "using cellID %lu and SC ID %lu we get instance %lu backup set %lu",
               static_cast<unsigned long>(m_nVornCellId), static_cast<unsigned long>(m_nSubclientId),
               static_cast<unsigned long>(m_nInstanceId), static_cast<unsigned long>(m_nBackupSetId));
  KZClient* client = application.getClient(nullptr);
  if (client == nullptr) {
    const int last = GetLastError();
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "getClient failed with error %x:%s", last, std::strerror(last));
  }
  uint64_t clientId = 0;
  const int result = client->getClientId(clientId);
  if (result != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "getClientId failed with error %x:%s", result,
                                   std::strerror(result));
  m_nClientId = clientId;
  return CQiError();
}

CQiError CIndexInfoReaderPrivate::LookUpTimeRange() {
  EvDebug log;
  m_llToTime = 0;
  GetArchFileInfoForSnapJob_ArgsCC_t args;
  args.jobId = m_nFirstJobId;
  args.appOrClientId = m_nClientId;
  args.cellId = m_nVornCellId;
  args.snapJobId = m_nJobId;
  GetArchFileInfoForSnapJob_Ret_t files;
  ArMgrClientAPI archiveManager;
  const int result = archiveManager.getArchFileListForSnapshotJob(&args, &files);
  if (result != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "Failed to get afile list, JobId=[%ld], error=%d",
                                   static_cast<long>(m_nJobId), result);
  if (files.archFiles.empty()) {
    log.Error(__FUNCTION__, "No afile results returned, JobId=[%ld]", static_cast<long>(m_nJobId));
    return CQiError();
  }
  if (files.storageHostName.empty()) {
    log.Error(__FUNCTION__, "Stowhost hostname returned empty, JobId=[%ld]", static_cast<long>(m_nJobId));
    return CQiError();
  }
  for (const ArchFileInfo_t& file : files.archFiles) {
    log.DebugLvl(__FUNCTION__, 1, "fileType=[%lu], createTime=[%lu]", static_cast<unsigned long>(file.archFileType),
                 static_cast<unsigned long>(file.createTime));
    if (file.createTime < static_cast<uint64_t>(m_llFromTime)) m_llFromTime = static_cast<long long>(file.createTime);
    if (file.createTime > static_cast<uint64_t>(m_llToTime)) m_llToTime = static_cast<long long>(file.createTime);
  }
  return CQiError();
}
