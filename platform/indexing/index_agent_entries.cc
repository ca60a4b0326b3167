#include "platform/indexing/index_agent_entries.h"

#include "platform/sim/state_db.h"

namespace platform {
namespace {

#define ENTRY_COLUMNS                                                                                         \
  "SELECT e.cell_id, e.app_id, e.job_id, e.path, e.view, e.afile_id, e.guid, e.group_id, e.mount_point FROM " \
  "index_agent_entries e "

AgentIndexEntry Read(const SqlStatement& row) {
  AgentIndexEntry entry;
  entry.cellId = row.Unsigned(0);
  entry.appId = row.Unsigned(1);
  entry.jobId = row.Unsigned(2);
  entry.path = row.Text(3);
  entry.view = row.Text(4);
  entry.archFileId = row.Int(5);
  entry.componentGuid = row.Text(6);
  entry.archGroupId = row.Int(7);
  entry.mountPoint = row.Int(8) != 0;
  return entry;
}

}  // namespace

bool PutAgentIndexEntry(const AgentIndexEntry& entry) {
  SqlStatement put(StateDb::Current(),
                   "INSERT OR REPLACE INTO index_agent_entries (cell_id, app_id, job_id, path, view, afile_id, guid, "
                   "group_id, mount_point) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?);");
  put.BindUnsigned(1, entry.cellId)
      .BindUnsigned(2, entry.appId)
      .BindUnsigned(3, entry.jobId)
      .Bind(4, entry.path)
      .Bind(5, entry.view)
      .Bind(6, static_cast<long long>(entry.archFileId))
      .Bind(7, entry.componentGuid)
      .Bind(8, static_cast<long long>(entry.archGroupId))
      .Bind(9, entry.mountPoint ? 1 : 0);
  return put.Run();
}

StateDbResult AgentIndexEntries(uint64_t cellId, uint64_t appId, const std::string& view, uint64_t from, uint64_t to,
                                std::vector<AgentIndexEntry>& entries) {
  SqlStatement query(StateDb::Current(), ENTRY_COLUMNS
                     "JOIN archive_files a ON a.afile_id = e.afile_id WHERE e.cell_id = ? AND e.app_id = ? AND "
                     "e.view = ? AND a.create_time >= ? AND (? = 0 OR a.create_time <= ?) ORDER BY e.path;");
  query.BindUnsigned(1, cellId)
      .BindUnsigned(2, appId)
      .Bind(3, view)
      .BindUnsigned(4, from)
      .BindUnsigned(5, to)
      .BindUnsigned(6, to);
  return ReadRows(query, entries, Read);
}

StateDbResult AllAgentIndexEntries(std::vector<AgentIndexEntry>& entries) {
  SqlStatement query(StateDb::Current(), ENTRY_COLUMNS "ORDER BY e.job_id, e.view, e.path;");
  return ReadRows(query, entries, Read);
}

}  // namespace platform
