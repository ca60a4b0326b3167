// The "[System State]" view of a Windows client's system-state backup: kept
// reachable by a pseudo-snap job through the carry-forward, and fetched back
// from the source job's view by a synthetic full.
#include <cerrno>
#include <cstring>

#include "blocklevel/index_info_reader.h"
#include "blocklevel/index_info_store.h"
#include "platform/base/compat.h"
#include "platform/config/kz_client.h"
#include "platform/dbagents/instance.h"
#include "platform/jobs/kz_job_client.h"
#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"
#include "platform/services/index_files.h"
#include "platform/services/subclient.h"
#include "platform/text/fx_string.h"
#include "pseudosnap/pseudo_snap_handler_private.h"

namespace {

constexpr char kSystemStateView[] = "[System State]";
constexpr char kKeystepKey[] = "Special Components\\Keystep Files";
constexpr char kKeystepFile[] = "KeystepInfo.kzf.7z";
constexpr uint64_t kSystemStateAttribute = 0x100000;
constexpr int kPlatformType = 2;
constexpr int kHostNameBuffer = 1024;

}  // namespace

bool CPseudoSnapArchiveHandlerPrivate::IsBackupSystemState() {
  EvDebug log;
  char host[kHostNameBuffer] = {};
  if (KZPlatformInfo::getStowhostVSHostName(host, kHostNameBuffer - 1) != 0) {
    log.Error(__FUNCTION__,
              "Failed to get VS hostname, proceeding with assumption that this is not a system state job");
    return false;
  }
  KZJobClient jobClient;
  if (!jobClient.init(host, kPlatformType, 0)) {
    log.Error(__FUNCTION__,
              "failed to initialize jobClient, AppId[%lu] VSName[%s], proceeding with assumption that this is not a "
              "system state job",
              static_cast<unsigned long>(m_nAppId), host);
    return false;
  }
  uint64_t attributes = 0;
  if (jobClient.getBkpAttrs(attributes, m_nSnapJobId, m_nVornCellId) != 0) attributes = 0;
  return (attributes & kSystemStateAttribute) != 0;
}

CQiError CPseudoSnapArchiveHandlerPrivate::CarryFwdSystemViewToIndex(databrowse::BrowseTimeRange) {
  using Entry = databrowse::ViewIdComponentIdToAfileMap;
  using Path = databrowse::PathToAfileMap;
  if (!IsWindowsOsId() || !IsBackupSystemState()) return CQiError();
  // The view's files were written with the job's first archive file; an
  // empty list has no such file to name.
  if (m_GuidToAfileMapVector.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "m_GuidToAfileMapVector is empty");
  const std::vector<CNMessageBase> firstPaths =
      m_GuidToAfileMapVector.front().getlistobject(Entry::kPaths.number, Entry::kPaths.tag);
  if (firstPaths.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "m_GuidToAfileMapVector is empty");
  const CNMessageBase& first = firstPaths.front();
  Path path;
  path.setstring(Path::kPath.number, Path::kPath.tag, "/");
  for (const CNFieldId& field : {Path::kArchFileId, Path::kArchGroupId, Path::kArchFileFlags, Path::kArchFileValue})
    path.setint64(field.number, field.tag, first.getint64(field.number, field.tag));
  Entry entry;
  entry.setstring(Entry::kViewName.number, Entry::kViewName.tag, kSystemStateView);
  entry.addlistobject(Entry::kPaths.number, Entry::kPaths.tag, path);
  m_GuidToAfileMapVector.push_back(entry);
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::DownloadSysViewIndexFiles(CJobInfoMetadataReaderManagerPtr& manager) {
  EvDebug log;
  const long long jobStartTime = static_cast<long long>(manager->GetJobStartTime());
  ApplicationId application(m_nVornCellId, m_nAppId);
  BackupSet* backupSet = application.getBackupSet(nullptr);
  const uint64_t backupSetId = backupSet != nullptr ? backupSet->getBackupSetId() : 0;
  if (backupSetId == 0) return FXErrorUtil::ErrorWin32(FXCODELOC, 1627);
  Instance* instance = application.getInstance(nullptr);
  const uint64_t instanceId = instance != nullptr ? instance->getInstanceId() : 0;
  KZClient* client = application.getClient(nullptr);
  uint64_t clientId = 0;
  const int result = client != nullptr ? client->getClientId(clientId) : GetLastError();
  if (client == nullptr || result != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "getclient failed with %x:%s", result, std::strerror(result));

  CIndexInfoReader reader;
  CQiError error = reader.Initialize(m_sQM, instanceId, backupSetId, static_cast<int>(m_nVornCellId), clientId,
                                     m_nAppType, jobStartTime, 0);
  if (error.IsError()) return error.Push(FXCODELOC);
  reader.SetDelimiter(m_cDelimiter);
  reader.SetViewName(kSystemStateView);
  std::list<std::string> names;
  error = reader.GetFiles(kKeystepKey, names);
  if (error.IsError()) return error.Push(FXCODELOC);
  for (const std::string& name : names) {
    // The names come from the index: one that is not a plain name would
    // write outside the work folder.
    if (!platform::IsPlainName(name))
      return FXErrorUtil::ErrorWin32(FXCODELOC, 774, "System state file name '%s' from index is not a plain name",
                                     name.c_str());
  }
  for (const std::string& name : names) {
    const std::string localPath = FXPath::Append(m_sSubClientDir, name);
    error = reader.WriteFileContentForKey(kKeystepKey, name, localPath);
    if (error.IsError()) return error.Push(FXCODELOC);
    log.DebugLvl(__FUNCTION__, 1, "Downloaded metadata file [%s]", localPath.c_str());
  }
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::UploadSysViewIndexFiles() {
  CIndexInfoStore store(static_cast<long>(m_nJobId), m_nVornCellId, m_nAppId);
  store.SetDelimiter(m_cDelimiter);
  store.SetViewName(kSystemStateView);
  CQiError error = store.AddFileContentForKey(kKeystepKey, FXPath::Append(m_sSubClientDir, kKeystepFile));
  if (error.IsError()) return error.Push(FXCODELOC, "Failed to add Keystep Info file to metadata store");
  error = store.BackupData(m_oIndexingConnection);
  if (error.IsError()) return error.Push(FXCODELOC, "Failed to upload BlockDeviceConfig file to indexing");
  return CQiError();
}
