#pragma once
// The entries a database agent writes into its job's index itself (data
// files, table views, mount points), kept in `index_agent_entries`. A
// browse of the application's index finds those whose archive file was
// made within the request's time range.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/state_db_failure.h"

namespace platform {

struct AgentIndexEntry {
  uint64_t cellId = 0;
  uint64_t appId = 0;
  uint64_t jobId = 0;
  std::string path;
  std::string view;  // empty: the default view
  int64_t archFileId = 0;
  std::string componentGuid;
  int64_t archGroupId = 0;
  bool mountPoint = false;
};

// Adds the entry or replaces the one of its job, view and path.
bool PutAgentIndexEntry(const AgentIndexEntry& entry);
// The application's entries of the view whose archive file's creation time
// lies in [from, to] (to 0: no end), in path order. The readers return done,
// or why the entries could not be read.
StateDbResult AgentIndexEntries(uint64_t cellId, uint64_t appId, const std::string& view, uint64_t from, uint64_t to,
                                std::vector<AgentIndexEntry>& entries);
// Every entry, by job, view and path.
StateDbResult AllAgentIndexEntries(std::vector<AgentIndexEntry>& entries);

}  // namespace platform
