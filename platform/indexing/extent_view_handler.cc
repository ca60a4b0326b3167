// The index's answer to a page of a volume's extent view: one response whose
// items are the volume's extents from the paging's first extent upward, in
// ascending order, at most the page size of them. An item's name is the
// extent's 8-digit name, its data the hash of the extent's content. Past the
// last extent the response has no item.
#include <string>

#include "platform/hashing/extent_name_converter.h"
#include "platform/indexing/browse_request_fields.h"
#include "platform/indexing/index_extent_view.h"
#include "platform/indexing/index_request_handler.h"
#include "platform/messages/service_messages.h"

namespace platform {
namespace {

constexpr int64_t kExtentViewRequest = 0;
constexpr const char* kExtentViewPrefix = "/{20d03aa2-7726-42d8-8381-fdda7a8a1c47}/EXTENTVIEW/";
constexpr unsigned kNameWidth = 8;

// The volume a request's one path names in the extent view; false for any
// other path.
bool ViewedVolume(const CNMessageBase& request, std::string& volume) {
  const std::vector<std::string> paths = BrowsePaths(request);
  const std::string prefix = kExtentViewPrefix;
  if (paths.size() != 1 || paths[0].compare(0, prefix.size(), prefix) != 0) return false;
  volume = paths[0].substr(prefix.size());
  return true;
}

// The paging of the request's first query: first extent and page size.
// Without one, the view from its start, a page of nothing.
void PagingOf(const CNMessageBase& request, uint64_t& first, uint64_t& pageSize) {
  using Request = databrowse::BrowseRequest;
  first = 0;
  pageSize = 0;
  const std::vector<CNMessageBase> queries = request.getlistobject(Request::kQueries.number, Request::kQueries.tag);
  databrowse::QueryDataParam param;
  databrowse::BrowsePaging paging;
  if (queries.empty() ||
      !queries[0].getObjectAccessor(databrowse::Query::kDataParam.number, databrowse::Query::kDataParam.tag, param) ||
      !param.getObjectAccessor(param.kPaging.number, param.kPaging.tag, paging))
    return;
  const unsigned long long named =
      ExtentNameConverter::Extent_base32_to_dec(paging.getstring(paging.kFirstItem.number, paging.kFirstItem.tag));
  if (named == ExtentNameConverter::kInvalidExtent) return;
  first = named;
  pageSize = paging.getuint64(paging.kPageSize.number, paging.kPageSize.tag);
}

class ExtentViewHandler : public IndexRequestHandler {
 public:
  bool Answers(const CNMessageBase& request) const override {
    std::string volume;
    return BrowseRequestType(request) == kExtentViewRequest && ViewedVolume(request, volume);
  }

  bool Answer(const CNMessageBase& request, std::vector<CNMessageBase>& replies) const override {
    const BrowseEntity entity = BrowseEntityOf(request);
    IndexExtentViewKey key{entity.cellId, entity.appId, ""};
    ViewedVolume(request, key.volume);
    uint64_t first = 0, pageSize = 0;
    PagingOf(request, first, pageSize);

    std::vector<CNMessageBase> items;
    IndexExtentViewRows rows;
    if (!IndexExtentViewPage(key, first, pageSize, rows)) return false;
    items.reserve(rows.size());
    char name[16] = {0};
    databrowse::BrowseDataResult data;
    databrowse::BrowseData item;
    for (const auto& row : rows) {
      if (!ExtentNameConverter::Extent_dec_to_base32_v2(row.first, name, kNameWidth)) continue;
      data.setstring(data.kHash.number, data.kHash.tag, row.second);
      item.setstring(item.kExtentName.number, item.kExtentName.tag, name);
      item.setObjectAccessor(item.kData.number, item.kData.tag, data);
      items.push_back(item);
    }
    replies.push_back(BrowseResponseOf(kResultsResponse, items));
    return true;
  }
};

}  // namespace

std::unique_ptr<IndexRequestHandler> MakeExtentViewHandler() {
  return std::make_unique<ExtentViewHandler>();
}

}  // namespace platform
