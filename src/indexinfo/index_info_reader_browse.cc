// The reader's browses: one key path's node, or one attached file.
#include <ctime>

#include "indexinfo/browse_reply_handler.h"
#include "indexinfo/index_info_reader_private.h"
#include "library/entry_guard.h"
#include "platform/guid/guid_factory.h"
#include "platform/indexing/idx_browse_client.h"
#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"

namespace {

constexpr int64_t kPathBrowse = 0;
constexpr int64_t kFileBrowse = 1;
constexpr int kBrowseWait = 2000;
constexpr int64_t kBrowseMode = 2;
// Options every browse of the reader sets to 1.
constexpr CNFieldId kBrowseOptionFlags[] = {{2, 2, 0}, {11, 11, 0}, {44, 44, 0}};
constexpr CNFieldId kAdvancedOptionFlags[] = {{5, 8, 0}, {4, 7, 0}};
constexpr CNFieldId kCopyPrecedence{1, 1, 0};
constexpr CNFieldId kStowhostClient{9, 9, 0};
constexpr CNFieldId kBrowseModeValue{1, 1, 0};
constexpr CNFieldId kQueryId{1, 1, 0};
constexpr CNFieldId kCriteriaValue{2, 2, 0};
constexpr CNFieldId kFilterValue{1, 1, 0};
constexpr char kMatchAll[] = "*";

// What the logged entity names, read back from the request as sent.
uint64_t EntityField(const databrowse::BrowseRequest& request, const CNFieldId& field) {
  CNMessageBase entity;
  request.getObjectAccessor(request.kEntity.number, request.kEntity.tag, entity);
  return entity.getuint64(field.number, field.tag);
}

void LogRequest(const std::string& workerId, const std::string& path, const std::string& browsePath,
                const databrowse::BrowseRequest& request, const IdxBrowseClient& client) {
  using E = KzEntities::GenericEntity;
  EvDebug log;
  log.DebugLvl(
      __FUNCTION__, 1,
      "%s:Getting items for '%s', InstanceId=%d, VornCellId=%d, ClientId=%d, BackupsetId=%d, "
      "SubclientId=%d, AppTypeId=%d",
      workerId.c_str(), path.c_str(), static_cast<int>(EntityField(request, E::kInstanceId)),
      static_cast<int>(EntityField(request, E::kVornCellId)), static_cast<int>(EntityField(request, E::kClientId)),
      static_cast<int>(EntityField(request, E::kBackupsetId)),
      static_cast<int>(EntityField(request, E::kApplicationId)), static_cast<int>(EntityField(request, E::kAppType)));
  log.DebugLvl(__FUNCTION__, 1, "Index Path [%s]", browsePath.c_str());
  if (EvDebug::IsLevelEnabled(6))
    log.DebugLvl(__FUNCTION__, 6, "%s:XML\n%s", workerId.c_str(), client.serializeRequest().c_str());
}

// Starts a browse of `browsePath`. `function` names the caller in the log;
// `refusedTextEnd` ends the error of an initialisation the index refused, as
// each caller has always reported it.
CQiError InitializeBrowse(IdxBrowseClient& client, const databrowse::BrowseRequest& request,
                          CBrowseReplyHandler& handler, const std::string& browsePath, const char* function,
                          const char* refusedTextEnd) {
  EvDebug log;
  const int initialized = client.Initialize(request, &handler, kBrowseWait, nullptr, nullptr);
  if (initialized < 0) {
    log.Error(function, "Failed to get items from index (%s). IdxBrowseClient::Initialize failed. BrowseRet=%d",
              browsePath.c_str(), initialized);
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627,
                                   "Failed to get items from index. IdxBrowseClient::Initialize failed. BrowseRet=%d",
                                   initialized);
  }
  if (client.isInitFailed()) {
    log.DebugLvl(function, 0, "IdxBrowseClient::Initialize failed iBrowseRet=%d (%s)", initialized, browsePath.c_str());
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "IdxBrowseClient::Initialize failed iBrowseRet=%d%s", initialized,
                                   refusedTextEnd);
  }
  return CQiError();
}

// Logs the started browse's request and runs it. `function` names the caller
// in the log.
CQiError RunBrowse(IdxBrowseClient& client, const CBrowseReplyHandler& handler,
                   const databrowse::BrowseRequest& request, const std::string& browsePath, const std::string& path,
                   const std::string& workerId, const char* function) {
  EvDebug log;
  LogRequest(workerId, path, browsePath, request, client);
  const int browsed = client.Browse(nullptr, nullptr);
  if (browsed < 0) {
    log.Error(function, "%s:Failed to get items from index. IdxBrowseClient::Browse failed. BrowseRet=%d",
              workerId.c_str(), browsed);
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627,
                                   "%s:Failed to get items from index. IdxBrowseClient::Browse failed. BrowseRet=%d",
                                   workerId.c_str(), browsed);
  }
  log.DebugLvl(function, 1, "%s: %d items received.", workerId.c_str(),
               static_cast<int>(handler.GetProcessedItemsCount()));
  return CQiError();
}

}  // namespace

std::string CIndexInfoReaderPrivate::BrowsePathOf(const std::string& path) const {
  const std::string view = FXString::Format("%c%s", m_cDelimiter, m_sViewName.c_str());
  return FXString::Format("%s%c%s", view.c_str(), m_cDelimiter, path.c_str());
}

std::string CIndexInfoReaderPrivate::WorkerIdFor(const std::string& path) const {
  const std::string text = FXString::Format("Q%ld%s-%lu", static_cast<long>(m_nJobId), path.c_str(),
                                            static_cast<unsigned long>(std::time(nullptr)));
  return GetObjectGuid(text, 1, m_cDelimiter);
}

databrowse::BrowseRequest CIndexInfoReaderPrivate::MakeRequest(int64_t requestType,
                                                               const std::string& browsePath) const {
  using E = KzEntities::GenericEntity;
  databrowse::BrowseRequest request;
  KzEntities::GenericEntity entity;
  entity.setuint64(E::kVornCellId.number, E::kVornCellId.tag, m_nVornCellId);
  entity.setuint64(E::kInstanceId.number, E::kInstanceId.tag, m_nInstanceId);
  entity.setuint64(E::kClientId.number, E::kClientId.tag, m_nClientId);
  entity.setuint64(E::kBackupsetId.number, E::kBackupsetId.tag, m_nBackupSetId);
  entity.setuint64(E::kAppType.number, E::kAppType.tag, m_nAppType);
  request.setObjectAccessor(request.kEntity.number, request.kEntity.tag, entity);
  request.setint64(request.kRequestType.number, request.kRequestType.tag, requestType);

  databrowse::BrowseTimeRange range;
  range.setint64(range.kFromTime.number, range.kFromTime.tag, m_llFromTime);
  range.setint64(range.kToTime.number, range.kToTime.tag, m_llToTime);
  request.setObjectAccessor(request.kTimeRange.number, request.kTimeRange.tag, range);

  databrowse::BrowseOptions options;
  for (const CNFieldId& flag : kBrowseOptionFlags) options.setint64(flag.number, flag.tag, 1);
  request.setObjectAccessor(request.kOptions.number, request.kOptions.tag, options);
  databrowse::BrowseAdvancedOptions advanced;
  for (const CNFieldId& flag : kAdvancedOptionFlags) advanced.setint64(flag.number, flag.tag, 1);
  if (m_nCopyPrecedence != -1) advanced.setint64(kCopyPrecedence.number, kCopyPrecedence.tag, m_nCopyPrecedence);
  request.setObjectAccessor(request.kAdvancedOptions.number, request.kAdvancedOptions.tag, advanced);
  if (!m_sStowhostClient.empty()) {
    KzEntities::ClientEntity client;
    client.setstring(client.kClientName.number, client.kClientName.tag, m_sStowhostClient);
    request.setObjectAccessor(kStowhostClient.number, kStowhostClient.tag, client);
  }

  databrowse::BrowsePath path;
  path.setstring(path.kPath.number, path.kPath.tag, browsePath);
  request.addlistobject(request.kPaths.number, request.kPaths.tag, path);
  databrowse::BrowseMode mode;
  mode.setint64(kBrowseModeValue.number, kBrowseModeValue.tag, kBrowseMode);
  request.setObjectAccessor(request.kMode.number, request.kMode.tag, mode);

  databrowse::QueryFilter filter;
  filter.setint64(kFilterValue.number, kFilterValue.tag, 0);
  filter.setliststring(filter.kValues.number, filter.kValues.tag, {kMatchAll});
  databrowse::Criteria criteria;
  criteria.setint64(kCriteriaValue.number, kCriteriaValue.tag, 0);
  criteria.setObjectAccessor(criteria.kFilter.number, criteria.kFilter.tag, filter);
  databrowse::Query query;
  query.setint64(kQueryId.number, kQueryId.tag, 0);
  query.addlistobject(query.kCriteria.number, query.kCriteria.tag, criteria);
  request.addlistobject(request.kQueries.number, request.kQueries.tag, query);
  return request;
}

CIndexInfoPathPtr CIndexInfoReaderPrivate::IndexInfoPath(const std::string& path) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 4, "using m_root");
  CIndexInfoPathPtr node = m_root;
  for (const std::string& name : indexinfo::SplitKeyPath(path, m_cDelimiter)) {
    bool created = false;
    node = node->GetOrAddChild(name, &created);
    if (created)
      log.DebugLvl(__FUNCTION__, 4, "path for '%s' not found; will create new path", name.c_str());
    else
      log.DebugLvl(__FUNCTION__, 4, "found path '%s' loaded:%d", name.c_str(), node->IsLoaded() ? 1 : 0);
  }
  log.DebugLvl(__FUNCTION__, 4, "path '%s' loaded:%d", path.c_str(), node->IsLoaded() ? 1 : 0);
  if (!node->IsLoaded()) {
    // A browse that throws is a failed browse: the node stays unloaded.
    CQiError error;
    try {
      error = LoadIdxPath(node, path);
    } catch (...) {
      error = blocklevel::FailureOfCurrentException(__FUNCTION__);
    }
    if (error.IsError())
      log.Error(__FUNCTION__, "failed to load path '%s' from index, error=%s", path.c_str(),
                error.GetMessage().c_str());
  }
  return node;
}

CQiError CIndexInfoReaderPrivate::LoadIdxPath(const CIndexInfoPathPtr& node, const std::string& path) {
  const std::string browsePath = BrowsePathOf(path);
  const databrowse::BrowseRequest request = MakeRequest(kPathBrowse, browsePath);
  CBrowseReplyHandler handler(node);
  IdxBrowseClient client;
  CQiError error = InitializeBrowse(client, request, handler, browsePath, __FUNCTION__, " ");
  if (error.IsError()) return error;
  std::string workerId;
  if (client.isIndexingV2BrowseRequest()) {
    workerId = WorkerIdFor(path);
    client.setWorkerId(workerId);
    client.setViewId(m_sViewName);
  }
  error = RunBrowse(client, handler, request, browsePath, path, workerId, __FUNCTION__);
  if (error.IsError()) return error;
  // A refused reply left the node incomplete: it stays unloaded, so the next
  // query on it browses again instead of answering nothing for good.
  if (!handler.HasRefusedReply()) node->SetLoaded(true);
  return CQiError();
}

CQiError CIndexInfoReaderPrivate::LoadFile(const std::string& itemPath, const std::string& outputFile) {
  const std::string browsePath = BrowsePathOf(itemPath);
  const databrowse::BrowseRequest request = MakeRequest(kFileBrowse, browsePath);
  CBrowseReplyHandler handler(outputFile);
  IdxBrowseClient client;
  CQiError error = InitializeBrowse(client, request, handler, browsePath, __FUNCTION__, "");
  if (error.IsError()) return error;
  const std::string workerId = WorkerIdFor(itemPath);
  if (!client.isIndexingV2BrowseRequest())
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "Init returned V1 indexing message");
  client.setWorkerId(workerId);
  client.setViewId(m_sViewName);
  error = RunBrowse(client, handler, request, browsePath, itemPath, workerId, __FUNCTION__);
  if (error.IsError()) return error;
  // Only one whole restored file counts: a refused reply, a missing item or
  // a failed write must not pass for the file's content.
  if (!handler.HasRestoredFile())
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "File '%s' could not be restored from index into '%s'",
                                   itemPath.c_str(), outputFile.c_str());
  return CQiError();
}
