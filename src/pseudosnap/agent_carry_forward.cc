#include "pseudosnap/agent_carry_forward.h"

#include "platform/log/ev_debug.h"
#include "platform/time/sleep.h"
#include "pseudosnap/pseudo_snap_handler_private.h"

namespace pseudosnap {
namespace {

constexpr int kInitWait = 2000;
constexpr int kMaxTries = 5;
constexpr long long kRetrySleepMs = 30000;
constexpr uint64_t kEveryItem = 0xFFFFFFFFu;
constexpr int64_t kAgentBrowseMode = 2;

using Request = databrowse::BrowseRequest;
using Response = databrowse::BrowseResponse;

}  // namespace

databrowse::BrowseRequest AgentBrowseRequest(int64_t requestType, uint32_t cellId, uint32_t appId, uint32_t appType,
                                             const databrowse::BrowseTimeRange& timeRange, uint64_t copyPrecedence) {
  Request request;
  request.setint64(Request::kRequestType.number, Request::kRequestType.tag, requestType);
  KzEntities::GenericEntity entity;
  entity.setuint64(entity.kVornCellId.number, entity.kVornCellId.tag, cellId);
  entity.setuint64(entity.kApplicationId.number, entity.kApplicationId.tag, appId);
  entity.setuint64(entity.kAppType.number, entity.kAppType.tag, appType);
  request.setObjectAccessor(Request::kEntity.number, Request::kEntity.tag, entity);
  request.setObjectAccessor(Request::kTimeRange.number, Request::kTimeRange.tag, timeRange);
  databrowse::BrowseMode mode;
  mode.setint64(mode.kMode.number, mode.kMode.tag, kAgentBrowseMode);
  request.setObjectAccessor(Request::kMode.number, Request::kMode.tag, mode);
  databrowse::BrowseAdvancedOptions options;
  options.setuint64(options.kCopyPrecedence.number, options.kCopyPrecedence.tag, copyPrecedence);
  options.setint64(options.kUseAdvancedConfig.number, options.kUseAdvancedConfig.tag, 1);
  request.setObjectAccessor(Request::kAdvancedOptions.number, Request::kAdvancedOptions.tag, options);
  databrowse::BrowsePaging paging;
  paging.setuint64(paging.kPageSize.number, paging.kPageSize.tag, kEveryItem);
  databrowse::QueryDataParam param;
  param.setObjectAccessor(param.kPaging.number, param.kPaging.tag, paging);
  databrowse::Query query;
  query.setint64(query.kQueryType.number, query.kQueryType.tag, 0);
  query.setstring(query.kQueryId.number, query.kQueryId.tag, "0");
  query.setObjectAccessor(query.kDataParam.number, query.kDataParam.tag, param);
  request.setlistobject(Request::kQueries.number, Request::kQueries.tag, {query});
  return request;
}

void SetBrowsePaths(databrowse::BrowseRequest& request, const std::vector<std::string>& paths) {
  std::vector<CNMessageBase> list;
  for (const std::string& text : paths) {
    databrowse::BrowsePath path;
    path.setstring(path.kPath.number, path.kPath.tag, text);
    list.push_back(path);
  }
  request.setlistobject(Request::kPaths.number, Request::kPaths.tag, list);
}

CQiError BrowseWithRetry(IdxBrowseClient& client, const databrowse::BrowseRequest& request,
                         databrowse::BrowseResponseList& reply, bool logMaxRetries, int failureLevel, int64_t& code) {
  EvDebug log;
  std::string requestText;
  request.serialize(requestText, false);
  for (int tries = 0;;) {
    log.DebugLvl(__FUNCTION__, 0, "browseReq=[%s]", requestText.c_str());
    if (client.Initialize(request, nullptr, kInitWait, nullptr, nullptr) != 0 || client.isInitFailed()) {
      log.DebugLvl(__FUNCTION__, failureLevel, "Error initializing browse request with VornServe");
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "IdxBrowseClient initialized failed");
    }
    const std::vector<CNMessageBase> responses =
        client.Browse(nullptr, &reply) == 0 ? reply.getlistobject(reply.kResponses.number, reply.kResponses.tag)
                                            : std::vector<CNMessageBase>();
    // A reply without any response is as good as no reply.
    if (responses.empty()) {
      log.DebugLvl(__FUNCTION__, failureLevel, "Error doing browse operation: check Browse.log on Stowhost");
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Browsing index failed");
    }
    code = responses.front().getint64(Response::kType.number, Response::kType.tag);
    if (code == kBrowseCodeOk) return CQiError();
    log.DebugLvl(__FUNCTION__, 0, "Browse response did not contain any result items. check Browse.log on Stowhost");
    if (code != kBrowseCodeRetry) return CQiError();
    if (++tries >= kMaxTries) {
      if (logMaxRetries) log.DebugLvl(__FUNCTION__, -1, "BrowseRetry count reached max (5). Return error");
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, kEmptyResultText);
    }
    log.DebugLvl(__FUNCTION__, 0, "will retry in 30 seconds");
    QISLEEP_InTeRnAl(kRetrySleepMs);
  }
}

std::vector<CNMessageBase> ReplyItems(const databrowse::BrowseResponseList& reply) {
  std::vector<CNMessageBase> items;
  for (const CNMessageBase& response : reply.getlistobject(reply.kResponses.number, reply.kResponses.tag)) {
    databrowse::BrowseResult result;
    if (!response.getObjectAccessor(Response::kResult.number, Response::kResult.tag, result)) continue;
    for (const CNMessageBase& item : result.getlistobject(result.kItems.number, result.kItems.tag))
      items.push_back(item);
  }
  return items;
}

bool FirstCarryForwardPath(const std::vector<databrowse::ViewIdComponentIdToAfileMap>& entries, CNMessageBase& first) {
  using ViewEntry = databrowse::ViewIdComponentIdToAfileMap;
  if (entries.empty()) return false;
  const std::vector<CNMessageBase> paths =
      entries.front().getlistobject(ViewEntry::kPaths.number, ViewEntry::kPaths.tag);
  if (paths.empty()) return false;
  first = paths.front();
  return true;
}

}  // namespace pseudosnap

CQiError CPseudoSnapArchiveHandlerPrivate::AgentCarryFwdCopyPrecedence(uint64_t& precedence) {
  EvDebug log;
  if (m_eBackupLevel != KZ_BKP_LEVEL_SYNTHFULL) {
    precedence = pseudosnap::kSnapCopyPrecedence;
    return CQiError();
  }
  precedence = 0;
  if (m_mSnapToPseudoArchFileMap.empty()) return CQiError();
  const int archFileId = m_mSnapToPseudoArchFileMap.begin()->first;
  ArMgrClientAPI archiveManager;
  GetAfileInfoArgsCC_t args;
  args.archFileId = static_cast<uint64_t>(archFileId);
  args.cellId = m_nVornCellId;
  GetAfileInfoRetCC_t ret;
  if (archiveManager.getAfileInfo(&args, &ret) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "getAfileInfo failed for archiveId: %d", archFileId);
  if (ret.archGroupId == 0) return CQiError();
  uint32_t converted = 0;
  if (archiveManager.convertCopyIdToCopyPrecedence(static_cast<uint32_t>(ret.archGroupId), m_ulCopyId, converted) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Error converting copyId[%d] of AGroupId[%d] to copy Precedence",
                                   static_cast<int>(m_ulCopyId), static_cast<int>(ret.archGroupId));
  precedence = converted;
  log.DebugLvl(__FUNCTION__, 0, "Found copyPrec=%lu", static_cast<unsigned long>(precedence));
  return CQiError();
}
