// CCumulativeBitmapHelper's browse of the backup index for the extent
// bitmaps of components: which extents of each component the index holds.
#include <optional>

#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"
#include "scan/cumulative_bitmap_helper.h"

namespace {

// The index's request for components' extent bitmaps.
constexpr int64_t kFetchExtentBitmapRequest = 21;
// The index's waiting argument and the browse time-out's default.
constexpr int kClientWait = 2000;
constexpr unsigned kDefaultTimeoutSeconds = 1800;

// Response types: 2 partial, 3 failed, 5 no (more) results.
constexpr int64_t kPartialResponse = 2;
constexpr int64_t kFailedResponse = 3;
constexpr int64_t kNoMoreResponse = 5;

using Response = databrowse::BrowseResponse;
using List = databrowse::BrowseResponseList;

// " A B": each name preceded by one space.
template <class Names, class NameOf>
std::string SpacedNames(const Names& names, NameOf nameOf) {
  std::string text;
  for (const auto& entry : names) text += " " + nameOf(entry);
  return text;
}

// The response's browse result; nothing when it has none.
std::optional<CNMessageBase> ResultOf(const CNMessageBase& response) {
  CNMessageBase result;
  if (!response.getObjectAccessor(Response::kResult.number, Response::kResult.tag, result)) return std::nullopt;
  return result;
}

std::vector<CNMessageBase> ItemsOf(const CNMessageBase& result) {
  using Result = databrowse::BrowseResult;
  return result.getlistobject(Result::kItems.number, Result::kItems.tag);
}

// The extent-bitmap entry's bytes in an item's data; nothing without one.
std::optional<std::string> ExtentBitmapOf(const CNMessageBase& data) {
  using Data = databrowse::BrowseDataResult;
  using Config = databrowse::BrowseAdvancedConfig;
  using Entry = databrowse::BrowseAdvConfigIdxExtentBitmap;
  CNMessageBase config, entry;
  if (!data.getObjectAccessor(Data::kAdvancedConfig.number, Data::kAdvancedConfig.tag, config) ||
      !config.getObjectAccessor(Config::kIdxExtentBitmap.number, Config::kIdxExtentBitmap.tag, entry))
    return std::nullopt;
  return entry.getbytes(Entry::kBitmap.number, Entry::kBitmap.tag);
}

}  // namespace

CQiError CCumulativeBitmapHelper::FetchIdxBmpForVolumes(std::vector<std::string>& components,
                                                        std::map<std::string, std::string>& bitmaps) {
  databrowse::BrowseRequest request;
  request.setint64(request.kRequestType.number, request.kRequestType.tag, kFetchExtentBitmapRequest);
  CQiError err = InitializeBrowseRequest(request);
  if (err.IsError())
    return err.Push(FXCODELOC, "Failed in initializing IdxBrowseClient instance, error=[%s]", err.AsString().c_str());
  err = PrepareIdxExtBmpBrowseReq(components);
  if (err.IsError()) return err.Push(FXCODELOC);
  databrowse::BrowseResponseList reply;
  err = DoBrowse(reply);
  if (err.IsError()) return err.Push(FXCODELOC);
  err = ProcessIdxBmpBrowseResp(reply, bitmaps);
  if (err.IsError()) return err.Push(FXCODELOC);

  // Equal counts are not enough: a reply that answers another component in
  // place of a requested one would leave the requested one uncorrected, and
  // the extents the index lacks for it would never be backed up.
  bool complete = components.size() == bitmaps.size();
  for (const std::string& component : components) complete = complete && bitmaps.count(component) != 0;
  if (!complete) {
    const std::string requested = SpacedNames(components, [](const std::string& name) { return name; });
    const std::string received =
        SpacedNames(bitmaps, [](const std::pair<const std::string, std::string>& entry) { return entry.first; });
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 774,
                                   "Index bitmap is not received for all components[<Requested=%s>:<Received=%s>]",
                                   requested.c_str(), received.c_str());
  }
  return CQiError();
}

CQiError CCumulativeBitmapHelper::InitializeBrowseRequest(databrowse::BrowseRequest& request) {
  m_pBrowseClient.reset(new (std::nothrow) IdxBrowseClient());
  if (!m_pBrowseClient) return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "Failed allocate IdxBrowseClient");

  KzEntities::GenericEntity entity;
  entity.setuint64(entity.kVornCellId.number, entity.kVornCellId.tag, m_nVornCellId);
  entity.setuint64(entity.kClientId.number, entity.kClientId.tag, m_nClientId);
  entity.setuint64(entity.kApplicationId.number, entity.kApplicationId.tag, m_nAppId);
  entity.setuint64(entity.kAppType.number, entity.kAppType.tag, m_nAppType);
  request.setObjectAccessor(request.kEntity.number, request.kEntity.tag, entity);

  databrowse::BrowseTimeRange range;
  range.setint64(range.kFromTime.number, range.kFromTime.tag, 0);
  range.setint64(range.kToTime.number, range.kToTime.tag, 0);
  request.setObjectAccessor(request.kTimeRange.number, request.kTimeRange.tag, range);

  databrowse::BrowsePath path;
  path.setstring(path.kPath.number, path.kPath.tag, "/");
  request.addlistobject(request.kPaths.number, request.kPaths.tag, path);

  // The index service's flag of every base request, and the option flags
  // below, are the service's own.
  databrowse::BrowseAdvancedOptions advanced;
  advanced.setint64(4, 7, 1);
  request.setObjectAccessor(request.kAdvancedOptions.number, request.kAdvancedOptions.tag, advanced);

  // Whether the index took the request is asked of the client, not read
  // from what Initialize returns.
  m_pBrowseClient->Initialize(request, nullptr, kClientWait, nullptr, nullptr);
  if (m_pBrowseClient->isInitFailed()) {
    EvDebug log;
    log.Error(__FUNCTION__, "Failed to initialize IdxBrowseClient");
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 774, "IdxBrowseClient Initialize failed");
  }
  return CQiError();
}

CQiError CCumulativeBitmapHelper::PrepareIdxExtBmpBrowseReq(std::vector<std::string>& components) {
  std::optional<KZDebugFunction> trace;
  if (EvDebug::IsLevelEnabled(2)) trace.emplace(__FUNCTION__);
  EvDebug log;
  unsigned timeout = kDefaultTimeoutSeconds;
  KZPlatformInfo::getNumber("FileSystemAgent", "nBlkLvlIdxExtBmpBrowseTimeOutInSecs", &timeout);
  if (timeout != kDefaultTimeoutSeconds)
    log.DebugLvl(__FUNCTION__, 0, "Regkey set to have index extent bitmap browse timeout[%lu]",
                 static_cast<unsigned long>(timeout));

  if (!m_pBrowseClient || m_pBrowseClient->isInitFailed() || !m_pBrowseClient->isIndexingV2BrowseRequest())
    return FXErrorUtil::ErrorWin32(FXCODELOC, 774, "Failed to fetch proper Indexing browse request");

  databrowse::BrowseAdvConfigFetchIdxExtentBitmap fetch;
  fetch.setliststring(fetch.kComponents.number, fetch.kComponents.tag, components);
  databrowse::BrowseAdvancedConfigExtendedConfig extended;
  extended.setObjectAccessor(extended.kFetchIdxExtentBitmap.number, extended.kFetchIdxExtentBitmap.tag, fetch);
  databrowse::BrowseAdvancedConfig config;
  config.setObjectAccessor(config.kExtendedConfig.number, config.kExtendedConfig.tag, extended);
  databrowse::BrowseAdvancedOptions advanced;
  advanced.setObjectAccessor(advanced.kAdvancedConfig.number, advanced.kAdvancedConfig.tag, config);
  log.DebugLvl(__FUNCTION__, 2, "Get index extent bitmap browse request timeout set to [%lu]",
               static_cast<unsigned long>(timeout));
  advanced.setint64(advanced.kTimeoutSeconds.number, advanced.kTimeoutSeconds.tag, timeout);
  m_pBrowseClient->setAdvOptions(&advanced);

  databrowse::BrowseOptions options;
  for (int flag : {2, 11, 44}) options.setint64(flag, flag, 1);
  m_pBrowseClient->setOptions(&options);

  log.DebugLvl(__FUNCTION__, 0, "Get index extent bitmap BrowseReq [%s].", m_pBrowseClient->serializeRequest().c_str());
  return CQiError();
}

CQiError CCumulativeBitmapHelper::DoBrowse(databrowse::BrowseResponseList& reply) {
  EvDebug log;
  const int browsed = m_pBrowseClient ? m_pBrowseClient->Browse(nullptr, &reply) : -1;
  if (browsed != 0) {
    log.Error(__FUNCTION__, "Failed to browse via IdxBrowseClient, result=[%d]", browsed);
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 774, "Failed to browse via IdxBrowseClient");
  }
  const bool logResponses = EvDebug::IsLevelEnabled(6);
  for (const CNMessageBase& response : reply.getlistobject(List::kResponses.number, List::kResponses.tag)) {
    const int64_t type = response.getint64(Response::kType.number, Response::kType.tag);
    if (logResponses)
      log.DebugLvl(__FUNCTION__, 6, "Browse response type[%d] serialize string [%s]", static_cast<int>(type),
                   response.toString().c_str());
    if (response.getTagID() != Response::kTagId)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, 774, "Invalid browse response tag[%lu][%s]",
                                     static_cast<unsigned long>(response.getTagID()), response.getTagName().c_str());
    if (type == kPartialResponse || response.isSetNumber(Response::kIndicesMissingNumber))
      return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "Some indices might be missing on index cache");
    if (type == kFailedResponse && !response.getlistobject(Response::kErrors.number, Response::kErrors.tag).empty())
      return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "FIND request failed at stowhost");
    // The responses after one without more results are not checked.
    if (type == kNoMoreResponse) break;
    std::optional<CNMessageBase> result = ResultOf(response);
    if (!result || ItemsOf(*result).empty())
      return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "Empty results sent by Index");
  }
  return CQiError();
}

CQiError CCumulativeBitmapHelper::ProcessIdxBmpBrowseResp(databrowse::BrowseResponseList& reply,
                                                          std::map<std::string, std::string>& bitmaps) {
  using Item = databrowse::BrowseData;
  for (const CNMessageBase& response : reply.getlistobject(List::kResponses.number, List::kResponses.tag)) {
    if (response.getint64(Response::kType.number, Response::kType.tag) == kNoMoreResponse) continue;
    // Past a response without more results the checks have stopped: a
    // response there without a browse result adds nothing.
    std::optional<CNMessageBase> result = ResultOf(response);
    if (!result) continue;
    for (const CNMessageBase& item : ItemsOf(*result)) {
      const std::string component = item.getstring(Item::kPath.number, Item::kPath.tag);
      CNMessageBase data;
      if (!item.getObjectAccessor(Item::kData.number, Item::kData.tag, data))
        return FXErrorUtil::ErrorErrNo(FXCODELOC, 774, "Browse data result no set for component[%s]",
                                       component.c_str());
      std::optional<std::string> bitmap = ExtentBitmapOf(data);
      if (bitmap) bitmaps[component] = std::move(*bitmap);
    }
  }
  return CQiError();
}
