// The index's answer to a browse of the entries database agents wrote:
// for each path of the request, type 0 the entries directly under it, type
// 1 the entry at it or else every entry under it; a view named in the
// advanced options restricts the answer to that view. One response, its
// items in path order (code 0), or none found (code 5).
#include <map>
#include <string>

#include "platform/indexing/browse_request_fields.h"
#include "platform/indexing/index_agent_entries.h"
#include "platform/indexing/index_request_handler.h"
#include "platform/messages/service_messages.h"

namespace platform {
namespace {

using Request = databrowse::BrowseRequest;

constexpr int64_t kChildrenRequest = 0;
constexpr int64_t kEntryOrTreeRequest = 1;
constexpr int64_t kAgentBrowseMode = 2;
constexpr int64_t kFoundResponse = 0;
constexpr int64_t kNothingFoundResponse = 5;

bool Under(const std::string& path, const std::string& parent) {
  std::string prefix = parent;
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  return path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0;
}

bool DirectlyUnder(const std::string& path, const std::string& parent) {
  if (!Under(path, parent)) return false;
  const size_t start = parent.back() == '/' ? parent.size() : parent.size() + 1;
  return path.find('/', start) == std::string::npos;
}

CNMessageBase Item(const AgentIndexEntry& entry) {
  databrowse::BrowseData item;
  item.setstring(item.kPath.number, item.kPath.tag, entry.path);
  databrowse::BrowseDataResult data;
  data.setint64(data.kArchFileId.number, data.kArchFileId.tag, entry.archFileId);
  data.setint64(data.kArchGroupId.number, data.kArchGroupId.tag, entry.archGroupId);
  data.setstring(data.kComponentGuid.number, data.kComponentGuid.tag, entry.componentGuid);
  item.setObjectAccessor(item.kData.number, item.kData.tag, data);
  if (entry.mountPoint) {
    databrowse::BrowseItemFlags flags;
    flags.setint64(flags.kMountPoint.number, flags.kMountPoint.tag, 1);
    item.setObjectAccessor(item.kFlags.number, item.kFlags.tag, flags);
  }
  return item;
}

// Agents browse their entries with plain queries; a query with criteria is a
// browse of published items (item_browse_handler.cc).
bool HasQueryCriteria(const CNMessageBase& request) {
  for (const CNMessageBase& query : request.getlistobject(Request::kQueries.number, Request::kQueries.tag))
    if (!query.getlistobject(databrowse::Query::kCriteria.number, databrowse::Query::kCriteria.tag).empty())
      return true;
  return false;
}

class AgentEntriesHandler : public IndexRequestHandler {
 public:
  bool Answers(const CNMessageBase& request) const override {
    const int64_t type = BrowseRequestType(request);
    databrowse::BrowseMode mode;
    return (type == kChildrenRequest || type == kEntryOrTreeRequest) && HasBrowseEntity(request) &&
           request.getObjectAccessor(Request::kMode.number, Request::kMode.tag, mode) &&
           mode.getint64(mode.kMode.number, mode.kMode.tag) == kAgentBrowseMode && !HasQueryCriteria(request);
  }

  bool Answer(const CNMessageBase& request, std::vector<CNMessageBase>& replies) const override {
    const BrowseEntity entity = BrowseEntityOf(request);
    databrowse::BrowseTimeRange range;
    request.getObjectAccessor(Request::kTimeRange.number, Request::kTimeRange.tag, range);
    databrowse::BrowseAdvancedOptions options;
    request.getObjectAccessor(Request::kAdvancedOptions.number, Request::kAdvancedOptions.tag, options);
    const std::string view = options.getstring(options.kViewName.number, options.kViewName.tag);
    std::vector<AgentIndexEntry> entries;
    if (!AgentIndexEntries(entity.cellId, entity.appId, view,
                           range.getuint64(range.kFromTime.number, range.kFromTime.tag),
                           range.getuint64(range.kToTime.number, range.kToTime.tag), entries))
      return false;
    const bool children = BrowseRequestType(request) == kChildrenRequest;
    std::map<std::string, const AgentIndexEntry*> found;
    for (const std::string& path : BrowsePaths(request)) {
      if (path.empty()) continue;
      const AgentIndexEntry* exact = nullptr;
      for (const AgentIndexEntry& entry : entries)
        if (entry.path == path) exact = &entry;
      if (!children && exact != nullptr) {
        found[exact->path] = exact;
        continue;
      }
      for (const AgentIndexEntry& entry : entries)
        if (children ? DirectlyUnder(entry.path, path) : Under(entry.path, path)) found[entry.path] = &entry;
    }
    std::vector<CNMessageBase> items;
    for (const auto& [path, entry] : found) items.push_back(Item(*entry));
    replies.push_back(BrowseResponseOf(items.empty() ? kNothingFoundResponse : kFoundResponse, items));
    return true;
  }
};

}  // namespace

std::unique_ptr<IndexRequestHandler> MakeAgentEntriesHandler() {
  return std::make_unique<AgentEntriesHandler>();
}

}  // namespace platform
