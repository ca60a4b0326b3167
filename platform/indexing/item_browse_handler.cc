// The index's answer to a browse of published items (request type 0 or 1 on
// a path): the items jobs sent through their indexing connections
// (indexed_items.h). A browse path's first character is its delimiter; empty
// elements are ignored. The request's entity selects the jobs by their
// subclient (every field that is set: cell, client, application, type,
// backup set), its time range the archive files' creation times (a to time
// of 0: no upper bound). Of the items of one path the latest wins.
//
// Type 0 answers the items directly under the path, in path order; type 1
// the item at the path, or those directly under it when there is none. One
// response of status 0, or 5 without any item.
#include <cstdlib>
#include <map>
#include <optional>
#include <tuple>

#include "platform/config/agent_config.h"
#include "platform/indexing/browse_request_fields.h"
#include "platform/indexing/index_request_handler.h"
#include "platform/indexing/indexed_items.h"
#include "platform/indexing/indexing_connection.h"
#include "platform/jobs/bkp_job_client.h"

namespace platform {
namespace {

constexpr int64_t kPathBrowse = 0;
constexpr int64_t kItemBrowse = 1;
constexpr int64_t kResultsStatus = 0;
constexpr int64_t kNoResultsStatus = 5;

// The subclient whose job published the items: the job service's record, else
// the cell and application the job's indexing connection was opened with.
StateDbResult SubclientOfJob(uint64_t jobId, std::optional<SubclientRecord>& subclient) {
  subclient.reset();
  uint64_t cellId = 0, appId = 0;
  std::optional<JobRecord> job;
  StateDbResult read = JobService::Current().FindJob(jobId, job);
  if (!read) return read;
  if (job) {
    cellId = job->cellId;
    appId = job->appId;
  } else {
    std::vector<IndexConnectionRecord> connections;
    read = IndexConnections::Current().Connections(connections);
    if (!read) return read;
    for (const IndexConnectionRecord& connection : connections) {
      if (connection.jobId != jobId) continue;
      char* end = nullptr;
      cellId = std::strtoull(connection.arguments.c_str(), &end, 10);
      if (end != nullptr && *end == ',') appId = std::strtoull(end + 1, nullptr, 10);
      break;
    }
  }
  if (cellId == 0) return read;
  return AgentConfig::Current().FindSubclient(cellId, appId, subclient);
}

class JobSelection {
 public:
  explicit JobSelection(const CNMessageBase& request) {
    using R = databrowse::BrowseRequest;
    using T = databrowse::BrowseTimeRange;
    request.getObjectAccessor(R::kEntity.number, R::kEntity.tag, entity_);
    CNMessageBase range;
    if (request.getObjectAccessor(R::kTimeRange.number, R::kTimeRange.tag, range)) {
      from_ = range.getuint64(T::kFromTime.number, T::kFromTime.tag);
      to_ = range.getuint64(T::kToTime.number, T::kToTime.tag);
    }
  }

  // Whether the item's job is selected; why not known, when the job's
  // records could not be read.
  StateDbResult Selects(const IndexedItem& item, bool& selected) {
    selected = false;
    if (item.createTime < from_ || (to_ != 0 && item.createTime > to_)) return StateDbResult();
    auto known = jobs_.find(item.jobId);
    if (known == jobs_.end()) {
      bool job = false;
      const StateDbResult read = SelectsJob(item.jobId, job);
      if (!read) return read;
      known = jobs_.emplace(item.jobId, job).first;
    }
    selected = known->second;
    return StateDbResult();
  }

 private:
  StateDbResult SelectsJob(uint64_t jobId, bool& selected) const {
    using E = KzEntities::GenericEntity;
    std::optional<SubclientRecord> subclient;
    const StateDbResult read = SubclientOfJob(jobId, subclient);
    selected = subclient && Matches(E::kVornCellId, subclient->cellId) && Matches(E::kClientId, subclient->clientId) &&
               Matches(E::kApplicationId, subclient->appId) && Matches(E::kAppType, subclient->appType) &&
               Matches(E::kBackupsetId, subclient->backupSetId);
    return read;
  }

  bool Matches(const CNFieldId& field, uint64_t value) const {
    return !entity_.isSet(field.number, field.tag) || entity_.getuint64(field.number, field.tag) == value;
  }

  CNMessageBase entity_;
  uint64_t from_ = 0;
  uint64_t to_ = 0;
  std::map<uint64_t, bool> jobs_;
};

using ElementPath = std::vector<std::string>;

bool IsDirectlyUnder(const ElementPath& item, const ElementPath& parent) {
  return item.size() == parent.size() + 1 && std::equal(parent.begin(), parent.end(), item.begin());
}

databrowse::BrowseData ReplyItem(const IndexedItem& item, const ElementPath& elements) {
  databrowse::BrowseData data;
  data.setstring(data.kName.number, data.kName.tag, elements.back());
  data.setstring(data.kPath.number, data.kPath.tag, item.path);
  if (item.folder) {
    databrowse::BrowseItemFlags flags;
    flags.setint64(flags.kFolder.number, flags.kFolder.tag, 1);
    data.setObjectAccessor(data.kFlags.number, data.kFlags.tag, flags);
  } else if (item.hasMetaData) {
    databrowse::BrowseDataResult result;
    result.setObjectAccessor(result.kIdxMetaData.number, result.kIdxMetaData.tag, item.metaData);
    data.setObjectAccessor(data.kData.number, data.kData.tag, result);
  }
  return data;
}

class ItemBrowseHandler : public IndexRequestHandler {
 public:
  bool Answers(const CNMessageBase& request) const override {
    const int64_t type = BrowseRequestType(request);
    CNMessageBase block;
    return (type == kPathBrowse || type == kItemBrowse) && HasBrowseEntity(request) &&
           BrowsePaths(request).size() == 1 && !BrowsePaths(request)[0].empty() &&
           !GenerateIdxLogsBlockOf(request, block);
  }

  bool Answer(const CNMessageBase& request, std::vector<CNMessageBase>& replies) const override {
    const std::string browsePath = BrowsePaths(request)[0];
    const char delimiter = browsePath[0];
    const ElementPath target = PathElements(browsePath, delimiter);
    JobSelection selection(request);
    // The latest version of each path: by archive-file time, then log order.
    std::map<ElementPath, std::pair<std::tuple<uint64_t, uint64_t>, IndexedItem>> latest;
    std::vector<IndexedItem> indexed;
    if (!IndexedItems(indexed)) return false;
    for (IndexedItem& item : indexed) {
      bool selected = false;
      if (!selection.Selects(item, selected)) return false;
      if (!selected) continue;
      ElementPath elements = PathElements(item.path, delimiter);
      if (elements.empty()) continue;
      const auto order = std::make_tuple(item.createTime, item.sequence);
      auto found = latest.find(elements);
      if (found == latest.end() || found->second.first <= order)
        latest[std::move(elements)] = std::make_pair(order, std::move(item));
    }
    std::vector<CNMessageBase> items;
    auto at = latest.find(target);
    if (BrowseRequestType(request) == kItemBrowse && at != latest.end()) {
      items.push_back(ReplyItem(at->second.second, at->first));
    } else {
      for (const auto& [elements, versioned] : latest)
        if (IsDirectlyUnder(elements, target)) items.push_back(ReplyItem(versioned.second, elements));
    }
    replies.push_back(items.empty() ? BrowseResponseOf(kNoResultsStatus) : BrowseResponseOf(kResultsStatus, items));
    return true;
  }
};

}  // namespace

std::unique_ptr<IndexRequestHandler> MakeItemBrowseHandler() {
  return std::make_unique<ItemBrowseHandler>();
}

}  // namespace platform
