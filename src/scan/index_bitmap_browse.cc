// CCumulativeBitmapHelper's browse of the backup index for the extent
// bitmaps of components: which extents of each component the index holds.
#include <optional>

#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"
#include "scan/cumulative_bitmap_helper.h"
#include "scan/index_browse_common.h"

namespace {

// The index's request for components' extent bitmaps.
constexpr int64_t kFetchExtentBitmapRequest = 21;
// The browse time-out's default.
constexpr unsigned kDefaultTimeoutSeconds = 1800;

// Response type 5: no (more) results.
constexpr int64_t kNoMoreResponse = 5;

using Response = databrowse::BrowseResponse;

// " A B": each name preceded by one space.
template <class Names, class NameOf>
std::string SpacedNames(const Names& names, NameOf nameOf) {
  std::string text;
  for (const auto& entry : names) text += " " + nameOf(entry);
  return text;
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
  scan::FillBaseBrowseRequest(request, m_nVornCellId, m_nClientId, m_nAppId, m_nAppType);
  return scan::InitializeBrowseClient(*m_pBrowseClient, request);
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
  if (!m_pBrowseClient) return FXErrorUtil::ErrorErrNo(FXCODELOC, 774, "Failed to browse via IdxBrowseClient");
  CQiError err = scan::BrowseIndex(*m_pBrowseClient, reply);
  if (err.IsError()) return err;
  const bool logResponses = EvDebug::IsLevelEnabled(6);
  for (const CNMessageBase& response : scan::BrowseResponsesOf(reply)) {
    err = scan::CheckBrowseResponse(response, logResponses);
    if (err.IsError()) return err;
    // The responses after one without more results are not checked.
    if (response.getint64(Response::kType.number, Response::kType.tag) == kNoMoreResponse) break;
    std::optional<CNMessageBase> result = scan::BrowseResultOf(response);
    if (!result || scan::BrowseItemsOf(*result).empty())
      return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "Empty results sent by Index");
  }
  return CQiError();
}

CQiError CCumulativeBitmapHelper::ProcessIdxBmpBrowseResp(databrowse::BrowseResponseList& reply,
                                                          std::map<std::string, std::string>& bitmaps) {
  using Item = databrowse::BrowseData;
  for (const CNMessageBase& response : scan::BrowseResponsesOf(reply)) {
    if (response.getint64(Response::kType.number, Response::kType.tag) == kNoMoreResponse) continue;
    // Past a response without more results the checks have stopped: a
    // response there without a browse result adds nothing.
    std::optional<CNMessageBase> result = scan::BrowseResultOf(response);
    if (!result) continue;
    for (const CNMessageBase& item : scan::BrowseItemsOf(*result)) {
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
