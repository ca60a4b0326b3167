// The index service builds the new job's index from the snapshot job's
// when it is sent one carry-forward request naming the job's pseudo archive
// files and the snapshot job's time window. The request is rebuilt from the
// files in the subclient directory at every run, so a rerun sends it again.
#include <ctime>
#include <list>

#include "platform/indexing/idx_browse_client.h"
#include "platform/jobinfo/job_info_reader.h"
#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"
#include "platform/services/archive_manager.h"
#include "pseudosnap/pseudo_snap_handler_private.h"

namespace {

using ViewEntry = databrowse::ViewIdComponentIdToAfileMap;
using PathEntry = databrowse::PathToAfileMap;

constexpr unsigned kDefaultTimeoutSecs = 1800;
constexpr unsigned kMinimumTimeoutSecs = 300;
constexpr unsigned kOutOfMemory = 14;
constexpr unsigned kIndicesMissing = 1627;
constexpr int64_t kCarryForwardRequest = 11;
constexpr int kSnapArchFileType = 6;
constexpr int64_t kPartialResponse = 2;
constexpr int64_t kErrorResponse = 3;
constexpr int kDbAppType = 125;
constexpr int kInitWait = 2000;
constexpr KZBkpLevel kSynthFull = KZ_BKP_LEVEL_SYNTHFULL;
constexpr KZBkpLevel kIncremental = KZ_BKP_LEVEL_INCREMENTAL;
constexpr const char* kCatalogContainer = "BlockLevelCatalog";

unsigned CarryForwardTimeout() {
  unsigned configured = 0;
  if (KZPlatformInfo::getNumber("FileSystemAgent", "nBlkLvlPseudoSnapCarryFwdTimeOutInSecs", &configured) == 0 ||
      configured < kMinimumTimeoutSecs)
    return kDefaultTimeoutSecs;
  EvDebug().Debug(__FUNCTION__, "Regkey set to have carry fwd browse timeout[%u]", configured);
  return configured;
}

}  // namespace

CQiError CPseudoSnapArchiveHandlerPrivate::GetSnapJobFromTime(unsigned long long snapJobId, long long& time) {
  ArMgrClientAPI archiveManager;
  GetArchFileInfoForSnapJob_ArgsCC_t args;
  args.jobId = snapJobId;
  args.appOrClientId = m_nSnapClientId;
  args.cellId = m_nVornCellId;
  args.snapJobId = snapJobId;
  GetArchFileInfoForSnapJob_Ret_t ret;
  const int code = archiveManager.getArchFileListForSnapshotJob(&args, &ret);
  if (code != 0) {
    // Where the service said why (its state database full: the file and
    // the cause), the failure is that; its code alone tells nothing more.
    CQiError told = archiveManager.LastFailure();
    if (told.IsError()) return told.Push(FXCODELOC, "Failed to retreive arch file list for SnapJob=[%llu]", snapJobId);
    return FXErrorUtil::ErrorErrNo(FXCODELOC, code, "Failed to retreive arch file list for SnapJob=[%llu]", snapJobId);
  }
  if (ret.archFiles.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "No arch files returned for SnapJob=[%llu]", snapJobId);
  for (const ArchFileInfo_t& file : ret.archFiles)
    if (file.archFileType == kSnapArchFileType && file.createTime < static_cast<unsigned long long>(time))
      time = static_cast<long long>(file.createTime);
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::RunCarryFwdIndex() {
  EvDebug log;
  const unsigned timeout = CarryForwardTimeout();

  CQiError error = LoadCarryFwdMapFromDisk();
  if (error.IsError())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to load carry fwd details from disk err: %s",
                                   error.AsString().c_str());
  if (m_GuidToAfileMapVector.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "m_GuidToAfileMapVector is empty");
  error = LoadSnapAFilePseudoAFileMapFromCache();
  if (error.IsError()) return error.Push(FXCODELOC);
  long long fromTime = static_cast<long long>(std::time(nullptr));
  error = GetSnapJobFromTime(m_nSnapJobId, fromTime);
  if (error.IsError()) return error.Push(FXCODELOC);

  if (m_eBackupLevel != kSynthFull) {
    const std::vector<CNMessageBase> firstPaths =
        m_GuidToAfileMapVector.front().getlistobject(ViewEntry::kPaths.number, ViewEntry::kPaths.tag);
    const CNMessageBase first = firstPaths.empty() ? CNMessageBase() : firstPaths.front();
    PathEntry jobInfoPath;
    jobInfoPath.setstring(PathEntry::kPath.number, PathEntry::kPath.tag, "/");
    for (const CNFieldId& field :
         {PathEntry::kArchFileId, PathEntry::kArchGroupId, PathEntry::kArchFileFlags, PathEntry::kArchFileValue})
      jobInfoPath.setint64(field.number, field.tag, first.getint64(field.number, field.tag));
    ViewEntry jobInfo;
    if (m_nAppType == kDbAppType) {
      log.DebugLvl(__FUNCTION__, 2, "Adding JOBINFO view to pull fwd query for DB application types.");
      jobInfo.setstring(ViewEntry::kViewName.number, ViewEntry::kViewName.tag, "JOBINFO");
    } else if (m_nSnapJobId != m_nJobId) {
      CJobInfoMetadataReaderFactory factory(m_sQM, m_nJobId, m_nSnapJobId, m_nVornCellId, m_nAppId, 0, 0);
      CJobInfoMetadataReaderPtr reader = factory.GetInstance(1);
      if (!reader) return FXErrorUtil::ErrorWin32(FXCODELOC, kOutOfMemory, "Failed to create metadata reader factory.");
      std::list<std::string> files;
      error = reader->GetContainerFileList(kCatalogContainer, files);
      if (error.IsError())
        return error.Push(FXCODELOC,
                          "Failed to query for container [%s] for snap job [%llu], may not be able to pull snap "
                          "metadata forward",
                          kCatalogContainer, static_cast<unsigned long long>(m_nSnapJobId));
      if (!files.empty()) {
        log.Debug(__FUNCTION__,
                  "Block level catalog metadata found in index DB for snap job [%llu], adding JOBINFO view to pull "
                  "fwd query.",
                  static_cast<unsigned long long>(m_nSnapJobId));
        jobInfo.setstring(ViewEntry::kViewName.number, ViewEntry::kViewName.tag, "JOBINFO");
      } else {
        log.DebugLvl(__FUNCTION__, 2,
                     "NO block level catalog metadata found in index DB for snap job [%llu], NOT adding JOBINFO view "
                     "to pull fwd query.",
                     static_cast<unsigned long long>(m_nSnapJobId));
      }
    }
    jobInfo.addlistobject(ViewEntry::kPaths.number, ViewEntry::kPaths.tag, jobInfoPath);
    m_GuidToAfileMapVector.push_back(jobInfo);
  }

  uint32_t copyPrecedence = 0;
  if (m_eBackupLevel == kSynthFull && m_nAppType == kDbAppType) {
    const std::vector<CNMessageBase> paths =
        m_GuidToAfileMapVector.front().getlistobject(ViewEntry::kPaths.number, ViewEntry::kPaths.tag);
    if (paths.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Error, archive file map is empty");
    const int groupId =
        static_cast<int>(paths.front().getint64(PathEntry::kArchGroupId.number, PathEntry::kArchGroupId.tag));
    if (groupId != 0) {
      ArMgrClientAPI archiveManager;
      if (archiveManager.convertCopyIdToCopyPrecedence(static_cast<uint32_t>(groupId), m_ulCopyId, copyPrecedence) != 0)
        return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Error converting copyId[%lu] of AGroupId[%d] to copy Precedence",
                                       static_cast<unsigned long>(m_ulCopyId), groupId);
      log.Debug(__FUNCTION__, "Found copyPrec=%lu", static_cast<unsigned long>(copyPrecedence));
    }
  }

  CJobInfoMetadataReaderFactory windowFactory(m_sQM, m_nJobId, m_nSnapJobId, m_nVornCellId, m_nAppId, 0,
                                              copyPrecedence);
  CJobInfoMetadataReaderPtr windowReader = windowFactory.GetInstance(2);
  if (!windowReader)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kOutOfMemory, "Failed to create metadata reader factory.");
  windowReader->SetDelimiter(m_cDelimiter);
  databrowse::BrowseTimeRange timeRange;
  timeRange.setuint64(timeRange.kToTime.number, timeRange.kToTime.tag, windowReader->GetTimeFrameEnd());
  timeRange.setuint64(timeRange.kFromTime.number, timeRange.kFromTime.tag, windowReader->GetTimeFrameStart());

  error = AppendAgentCarryFwdIndex(timeRange);
  if (error.IsError())
    return error.Push(FXCODELOC, "Error updating application browse metadata for block snap archive files, error=%s",
                      error.AsString().c_str());
  error = CarryFwdSystemViewToIndex(timeRange);
  if (error.IsError())
    return error.Push(FXCODELOC, "Error in carry forwarding system view, error=%s", error.AsString().c_str());

  using Logs = databrowse::BrowseAdvConfigGenerateIdxLogs;
  databrowse::BrowseAdvConfigGenerateIdxLogs logs;
  std::vector<CNMessageBase> entries(m_GuidToAfileMapVector.begin(), m_GuidToAfileMapVector.end());
  logs.setlistobject(Logs::kEntries.number, Logs::kEntries.tag, entries);
  logs.setuint64(Logs::kSourceJobId.number, Logs::kSourceJobId.tag,
                 m_eBackupLevel == kSynthFull ? m_nJobId : m_nSnapJobId);
  logs.setuint64(Logs::kVornCellId.number, Logs::kVornCellId.tag, m_nVornCellId);
  logs.setint64(Logs::kBackupLevel.number, Logs::kBackupLevel.tag, static_cast<int64_t>(m_eBackupLevel));
  logs.setuint64(Logs::kIndexConnFlags.number, Logs::kIndexConnFlags.tag, m_nIndexConnFlags);
  databrowse::BrowseAdvancedConfigExtendedConfig extended;
  extended.setObjectAccessor(extended.kGenerateIdxLogs.number, extended.kGenerateIdxLogs.tag, logs);
  databrowse::BrowseAdvancedConfig config;
  config.setObjectAccessor(config.kExtendedConfig.number, config.kExtendedConfig.tag, extended);
  databrowse::BrowseAdvancedOptions advanced;
  advanced.setObjectAccessor(advanced.kAdvancedConfig.number, advanced.kAdvancedConfig.tag, config);
  advanced.setint64(advanced.kUseAdvancedConfig.number, advanced.kUseAdvancedConfig.tag, 1);

  if (m_eBackupLevel == kSynthFull) {
    timeRange.setuint64(timeRange.kFromTime.number, timeRange.kFromTime.tag, 0);
  } else if (m_eBackupLevel == kIncremental) {
    log.Debug(__FUNCTION__, "Checking for unmaterialised snaps, appId[%lu] VornCellId[%lu] CurrSnapJob[%lu]",
              static_cast<unsigned long>(m_nAppId), static_cast<unsigned long>(m_nVornCellId),
              static_cast<unsigned long>(m_nSnapJobId));
    ArMgrClientAPI archiveManager;
    GetUnMaterializedSnapsArgs_t args;
    args.appId = m_nAppId;
    args.currentSnapJobId = m_nSnapJobId;
    args.cellId = m_nVornCellId;
    GetUnMaterializedSnapsRet_t unmaterialized;
    archiveManager.getUnMaterializedSnaps(&args, &unmaterialized);
    if (!unmaterialized.snaps.empty()) {
      log.Debug(__FUNCTION__, "Found [%llu] unmaterialized snaps before [%llu]",
                static_cast<unsigned long long>(unmaterialized.snaps.size()),
                static_cast<unsigned long long>(m_nSnapJobId));
      const GetUnMaterializedSnaps_Info& oldest = unmaterialized.snaps.front();
      log.Debug(__FUNCTION__, "Using first unpicked snap job[%lu] VCId[%lu]",
                static_cast<unsigned long>(oldest.snapJobId), static_cast<unsigned long>(oldest.cellId));
      CJobInfoMetadataReaderFactory oldestFactory(m_sQM, m_nJobId, oldest.snapJobId, oldest.cellId, m_nAppId, 0, 0);
      CJobInfoMetadataReaderPtr oldestReader = oldestFactory.GetInstance(2);
      if (!oldestReader)
        return FXErrorUtil::ErrorWin32(FXCODELOC, kOutOfMemory, "Failed to create metadata reader factory.");
      timeRange.setuint64(timeRange.kFromTime.number, timeRange.kFromTime.tag, oldestReader->GetTimeFrameStart());
    }
  }

  databrowse::BrowsePath path;
  path.setstring(path.kPath.number, path.kPath.tag, "*");
  KzEntities::GenericEntity entity;
  entity.setuint64(entity.kClientId.number, entity.kClientId.tag, m_nSnapClientId);
  entity.setuint64(entity.kApplicationId.number, entity.kApplicationId.tag, m_nAppId);
  entity.setuint64(entity.kAppType.number, entity.kAppType.tag, m_nAppType);
  databrowse::BrowseOptions options;
  for (const CNFieldId& field : {options.kInstantSend, options.kSkipDeleted, options.kCarryForward})
    options.setint64(field.number, field.tag, 1);
  advanced.setint64(advanced.kWaitForResult.number, advanced.kWaitForResult.tag, 1);
  advanced.setuint64(advanced.kTimeoutSeconds.number, advanced.kTimeoutSeconds.tag, timeout);
  log.DebugLvl(__FUNCTION__, 2, "Carry forward browse request timeout set to [%u]", timeout);
  databrowse::BrowseRequest request;
  request.setint64(request.kRequestType.number, request.kRequestType.tag, kCarryForwardRequest);
  request.setObjectAccessor(request.kEntity.number, request.kEntity.tag, entity);
  request.addlistobject(request.kPaths.number, request.kPaths.tag, path);
  request.setObjectAccessor(request.kTimeRange.number, request.kTimeRange.tag, timeRange);
  request.setObjectAccessor(request.kOptions.number, request.kOptions.tag, options);
  request.setObjectAccessor(request.kAdvancedOptions.number, request.kAdvancedOptions.tag, advanced);
  log.Debug(__FUNCTION__, "Index carry forward BrowseReq [%s].", request.toString().c_str());

  IdxBrowseClient client;
  client.Initialize(request, nullptr, kInitWait, nullptr, nullptr);
  if (client.isInitFailed()) {
    log.Error(__FUNCTION__, "Failed to initialize IdxBrowseClient");
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "IdxBrowseClient Initialize failed");
  }
  databrowse::BrowseResponseList responses;
  if (client.Browse(nullptr, &responses) != 0) {
    log.Error(__FUNCTION__, "Failed to browse via IdxBrowseClient");
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "IdxBrowseClient Browse failed");
  }
  using Response = databrowse::BrowseResponse;
  for (const CNMessageBase& response : responses.getlistobject(responses.kResponses.number, responses.kResponses.tag)) {
    const int64_t type = response.getint64(Response::kType.number, Response::kType.tag);
    log.Debug(__FUNCTION__, "Browse response [%d] serialize string [%s]", static_cast<int>(type),
              response.toString().c_str());
    if (type == kPartialResponse || response.isSetNumber(Response::kIndicesMissingNumber))
      return FXErrorUtil::ErrorWin32(FXCODELOC, kIndicesMissing, "Some indices might be missing on index cache");
    if (type == kErrorResponse && response.isSet(Response::kErrors.number, Response::kErrors.tag) &&
        !response.getlistobject(Response::kErrors.number, Response::kErrors.tag).empty())
      return FXErrorUtil::ErrorWin32(FXCODELOC, kIndicesMissing, "FIND request failed at stowhost");
  }
  log.Debug(__FUNCTION__, "Finished doing carry forward of the Block device config file and the file catalouge");
  return CQiError();
}
