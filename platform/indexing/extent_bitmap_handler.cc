// The index's answer to a request for components' extent bitmaps: one
// response holding, in the requested order, one item per requested
// component that the index holds for the entity's application. An item's
// path is the component; its data carries the bitmap in its advanced
// configuration's extent-bitmap entry.
#include <optional>
#include <string>

#include "platform/indexing/browse_request_fields.h"
#include "platform/indexing/index_extent_bitmaps.h"
#include "platform/indexing/index_request_handler.h"
#include "platform/messages/service_messages.h"

namespace platform {
namespace {

constexpr int64_t kFetchExtentBitmapRequest = 21;

// The components a request asks for; nothing when it holds no
// fetch-extent-bitmap block.
std::optional<std::vector<std::string>> RequestedComponents(const CNMessageBase& request) {
  using Request = databrowse::BrowseRequest;
  using Options = databrowse::BrowseAdvancedOptions;
  using Config = databrowse::BrowseAdvancedConfig;
  using Extended = databrowse::BrowseAdvancedConfigExtendedConfig;
  using Fetch = databrowse::BrowseAdvConfigFetchIdxExtentBitmap;
  CNMessageBase options, config, extended, fetch;
  if (!request.getObjectAccessor(Request::kAdvancedOptions.number, Request::kAdvancedOptions.tag, options) ||
      !options.getObjectAccessor(Options::kAdvancedConfig.number, Options::kAdvancedConfig.tag, config) ||
      !config.getObjectAccessor(Config::kExtendedConfig.number, Config::kExtendedConfig.tag, extended) ||
      !extended.getObjectAccessor(Extended::kFetchIdxExtentBitmap.number, Extended::kFetchIdxExtentBitmap.tag, fetch))
    return std::nullopt;
  return fetch.getliststring(Fetch::kComponents.number, Fetch::kComponents.tag);
}

databrowse::BrowseData BitmapItem(const std::string& component, const std::string& bitmap) {
  databrowse::BrowseAdvConfigIdxExtentBitmap entry;
  entry.setbytes(entry.kBitmap.number, entry.kBitmap.tag, bitmap.data(), bitmap.size());
  databrowse::BrowseAdvancedConfig config;
  config.setObjectAccessor(config.kIdxExtentBitmap.number, config.kIdxExtentBitmap.tag, entry);
  databrowse::BrowseDataResult data;
  data.setObjectAccessor(data.kAdvancedConfig.number, data.kAdvancedConfig.tag, config);
  databrowse::BrowseData item;
  item.setstring(item.kPath.number, item.kPath.tag, component);
  item.setObjectAccessor(item.kData.number, item.kData.tag, data);
  return item;
}

class ExtentBitmapHandler : public IndexRequestHandler {
 public:
  bool Answers(const CNMessageBase& request) const override {
    return BrowseRequestType(request) == kFetchExtentBitmapRequest && RequestedComponents(request).has_value();
  }

  bool Answer(const CNMessageBase& request, std::vector<CNMessageBase>& replies) const override {
    const BrowseEntity entity = BrowseEntityOf(request);
    std::vector<CNMessageBase> items;
    for (const std::string& component : RequestedComponents(request).value_or(std::vector<std::string>())) {
      std::optional<std::string> bitmap;
      if (!FindIndexExtentBitmap(entity.cellId, entity.appId, component, bitmap)) return false;
      if (bitmap) items.push_back(BitmapItem(component, *bitmap));
    }
    replies.push_back(BrowseResponseOf(kResultsResponse, items));
    return true;
  }
};

}  // namespace

std::unique_ptr<IndexRequestHandler> MakeExtentBitmapHandler() {
  return std::make_unique<ExtentBitmapHandler>();
}

}  // namespace platform
