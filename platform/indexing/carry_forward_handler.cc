// The index's answer to a carry-forward request (type 11 with a
// generate-index-logs block): every path entry of every entry is recorded
// under the job owning its archive file, and one response of results
// answers. An archive file the archive manager does not know refuses the
// whole request with one error response; nothing is recorded then.
#include <map>

#include "platform/indexing/browse_request_fields.h"
#include "platform/indexing/index_carry_forward.h"
#include "platform/indexing/index_request_handler.h"
#include "platform/messages/service_messages.h"
#include "platform/services/archive_manager.h"
#include "platform/sim/state_db.h"

namespace platform {

bool AddIndexCarryForward(const IndexCarryForwardRecord& r) {
  SqlStatement put(StateDb::Current(),
                   "INSERT INTO index_carry_forward (job_id, source_job_id, view, component, path, afile_id, group_id, "
                   "flags, value, from_time, to_time, timeout) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);");
  put.BindUnsigned(1, r.jobId).BindUnsigned(2, r.sourceJobId).Bind(3, r.view).Bind(4, r.component).Bind(5, r.path);
  put.Bind(6, r.afileId).Bind(7, r.groupId).Bind(8, r.flags).Bind(9, r.value);
  put.BindUnsigned(10, r.fromTime).BindUnsigned(11, r.toTime).BindUnsigned(12, r.timeout);
  return put.Run();
}

StateDbResult IndexCarryForwards(uint64_t jobId, std::vector<IndexCarryForwardRecord>& records) {
  SqlStatement query(StateDb::Current(),
                     "SELECT job_id, source_job_id, view, component, path, afile_id, group_id, flags, value, "
                     "from_time, to_time, timeout FROM index_carry_forward WHERE job_id = ? ORDER BY seq;");
  query.BindUnsigned(1, jobId);
  return ReadRows(query, records, [](const SqlStatement& row) {
    IndexCarryForwardRecord r;
    r.jobId = row.Unsigned(0);
    r.sourceJobId = row.Unsigned(1);
    r.view = row.Text(2);
    r.component = row.Text(3);
    r.path = row.Text(4);
    r.afileId = row.Int(5);
    r.groupId = row.Int(6);
    r.flags = row.Int(7);
    r.value = row.Int(8);
    r.fromTime = row.Unsigned(9);
    r.toTime = row.Unsigned(10);
    r.timeout = row.Unsigned(11);
    return r;
  });
}

namespace {

constexpr int64_t kCarryForwardRequest = 11;
constexpr int64_t kErrorResponse = 3;
constexpr int64_t kUnknownArchiveFile = 1168;

// The job of each archive file registered.
StateDbResult Owners(std::map<int64_t, uint64_t>& owners) {
  std::vector<ArchiveFileRecord> records;
  const StateDbResult read = ArchiveManager::Current().All(records);
  for (const ArchiveFileRecord& record : records) owners[static_cast<int64_t>(record.archFileId)] = record.jobId;
  return read;
}

class CarryForwardHandler : public IndexRequestHandler {
 public:
  bool Answers(const CNMessageBase& request) const override {
    CNMessageBase block;
    return BrowseRequestType(request) == kCarryForwardRequest && GenerateIdxLogsBlockOf(request, block);
  }

  bool Answer(const CNMessageBase& request, std::vector<CNMessageBase>& replies) const override {
    using G = databrowse::BrowseAdvConfigGenerateIdxLogs;
    using V = databrowse::ViewIdComponentIdToAfileMap;
    using P = databrowse::PathToAfileMap;
    using R = databrowse::BrowseRequest;
    using T = databrowse::BrowseTimeRange;
    using O = databrowse::BrowseAdvancedOptions;
    CNMessageBase block, range, options;
    GenerateIdxLogsBlockOf(request, block);
    request.getObjectAccessor(R::kTimeRange.number, R::kTimeRange.tag, range);
    request.getObjectAccessor(R::kAdvancedOptions.number, R::kAdvancedOptions.tag, options);
    std::map<int64_t, uint64_t> owners;
    if (!Owners(owners)) return false;
    std::vector<IndexCarryForwardRecord> rows;
    for (const CNMessageBase& entry : block.getlistobject(G::kEntries.number, G::kEntries.tag)) {
      for (const CNMessageBase& path : entry.getlistobject(V::kPaths.number, V::kPaths.tag)) {
        IndexCarryForwardRecord row;
        row.afileId = path.getint64(P::kArchFileId.number, P::kArchFileId.tag);
        auto owner = owners.find(row.afileId);
        if (owner == owners.end()) {
          replies.push_back(ErrorResponse());
          return true;
        }
        row.jobId = owner->second;
        row.sourceJobId = block.getuint64(G::kSourceJobId.number, G::kSourceJobId.tag);
        row.view = entry.getstring(V::kViewName.number, V::kViewName.tag);
        row.component = entry.getstring(V::kComponentId.number, V::kComponentId.tag);
        row.path = path.getstring(P::kPath.number, P::kPath.tag);
        row.groupId = path.getint64(P::kArchGroupId.number, P::kArchGroupId.tag);
        row.flags = path.getint64(P::kArchFileFlags.number, P::kArchFileFlags.tag);
        row.value = path.getint64(P::kArchFileValue.number, P::kArchFileValue.tag);
        row.fromTime = range.getuint64(T::kFromTime.number, T::kFromTime.tag);
        row.toTime = range.getuint64(T::kToTime.number, T::kToTime.tag);
        row.timeout = options.getuint64(O::kTimeoutSeconds.number, O::kTimeoutSeconds.tag);
        rows.push_back(row);
      }
    }
    for (const IndexCarryForwardRecord& row : rows)
      if (!AddIndexCarryForward(row)) return false;
    replies.push_back(BrowseResponseOf(kResultsResponse));
    return true;
  }

 private:
  static databrowse::BrowseResponse ErrorResponse() {
    databrowse::BrowseError error;
    error.setint64(error.kCode.number, error.kCode.tag, kUnknownArchiveFile);
    databrowse::BrowseResponse response = BrowseResponseOf(kErrorResponse);
    response.addlistobject(response.kErrors.number, response.kErrors.tag, error);
    return response;
  }
};

}  // namespace

std::unique_ptr<IndexRequestHandler> MakeCarryForwardHandler() {
  return std::make_unique<CarryForwardHandler>();
}

}  // namespace platform
