#include "scan/index_browse_common.h"

#include "platform/log/ev_debug.h"

namespace scan {
namespace {

// The index's waiting argument.
constexpr int kClientWait = 2000;
constexpr unsigned kErrorFailed = 774;
constexpr unsigned kErrorIndex = 1627;
// Response types: 2 partial, 3 failed.
constexpr int64_t kPartialResponse = 2;
constexpr int64_t kFailedResponse = 3;

using Response = databrowse::BrowseResponse;

}  // namespace

void FillBaseBrowseRequest(databrowse::BrowseRequest& request, uint64_t cellId, uint64_t clientId, uint64_t appId,
                           uint64_t appType) {
  KzEntities::GenericEntity entity;
  entity.setuint64(entity.kVornCellId.number, entity.kVornCellId.tag, cellId);
  entity.setuint64(entity.kClientId.number, entity.kClientId.tag, clientId);
  entity.setuint64(entity.kApplicationId.number, entity.kApplicationId.tag, appId);
  entity.setuint64(entity.kAppType.number, entity.kAppType.tag, appType);
  request.setObjectAccessor(request.kEntity.number, request.kEntity.tag, entity);

  databrowse::BrowseTimeRange range;
  range.setint64(range.kFromTime.number, range.kFromTime.tag, 0);
  range.setint64(range.kToTime.number, range.kToTime.tag, 0);
  request.setObjectAccessor(request.kTimeRange.number, request.kTimeRange.tag, range);

  databrowse::BrowsePath path;
  path.setstring(path.kPath.number, path.kPath.tag, "/");
  request.addlistobject(request.kPaths.number, request.kPaths.tag, path);

  // The index service's flag of every base request is the service's own.
  databrowse::BrowseAdvancedOptions advanced;
  advanced.setint64(4, 7, 1);
  request.setObjectAccessor(request.kAdvancedOptions.number, request.kAdvancedOptions.tag, advanced);
}

CQiError InitializeBrowseClient(IdxBrowseClient& client, const databrowse::BrowseRequest& request) {
  client.Initialize(request, nullptr, kClientWait, nullptr, nullptr);
  if (client.isInitFailed()) {
    EvDebug log;
    log.Error(__FUNCTION__, "Failed to initialize IdxBrowseClient");
    return FXErrorUtil::ErrorErrNo(FXCODELOC, kErrorFailed, "IdxBrowseClient Initialize failed");
  }
  return CQiError();
}

CQiError BrowseIndex(IdxBrowseClient& client, databrowse::BrowseResponseList& reply) {
  const int browsed = client.Browse(nullptr, &reply);
  if (browsed != 0) {
    EvDebug log;
    log.Error(__FUNCTION__, "Failed to browse via IdxBrowseClient, result=[%d]", browsed);
    return FXErrorUtil::ErrorErrNo(FXCODELOC, kErrorFailed, "Failed to browse via IdxBrowseClient");
  }
  return CQiError();
}

CQiError CheckBrowseResponse(const CNMessageBase& response, bool logResponse) {
  const int64_t type = response.getint64(Response::kType.number, Response::kType.tag);
  if (logResponse) {
    EvDebug log;
    log.DebugLvl(__FUNCTION__, 6, "Browse response type[%d] serialize string [%s]", static_cast<int>(type),
                 response.toString().c_str());
  }
  if (response.getTagID() != Response::kTagId)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, kErrorFailed, "Invalid browse response tag[%lu][%s]",
                                   static_cast<unsigned long>(response.getTagID()), response.getTagName().c_str());
  if (type == kPartialResponse || response.isSetNumber(Response::kIndicesMissingNumber))
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorIndex, "Some indices might be missing on index cache");
  if (type == kFailedResponse && !response.getlistobject(Response::kErrors.number, Response::kErrors.tag).empty())
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorIndex, "FIND request failed at stowhost");
  return CQiError();
}

std::vector<CNMessageBase> BrowseResponsesOf(const databrowse::BrowseResponseList& reply) {
  using List = databrowse::BrowseResponseList;
  return reply.getlistobject(List::kResponses.number, List::kResponses.tag);
}

std::optional<CNMessageBase> BrowseResultOf(const CNMessageBase& response) {
  CNMessageBase result;
  if (!response.getObjectAccessor(Response::kResult.number, Response::kResult.tag, result)) return std::nullopt;
  return result;
}

std::vector<CNMessageBase> BrowseItemsOf(const CNMessageBase& result) {
  using Result = databrowse::BrowseResult;
  return result.getlistobject(Result::kItems.number, Result::kItems.tag);
}

}  // namespace scan
