#pragma once
// The items jobs published through their indexing connections, read back
// from the connections' item log (indexing_connection.h). An item is one
// header line; the index metadata record sent before it and the archive file
// announced before both belong to it.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/messages/service_messages.h"
#include "platform/sim/state_db_failure.h"

namespace platform {

struct IndexedItem {
  uint64_t jobId = 0;
  std::string path;  // the header's name
  bool folder = false;
  bool hasMetaData = false;
  IdxMetadata::IdxMetaData metaData;
  uint64_t createTime = 0;  // of the archive file announced before it; 0: none
  uint64_t sequence = 0;    // the item's place in the log
};

// Every item of every job, in log order. A line that does not parse is
// skipped with whatever it would have belonged to. Done, or why the log
// could not be read.
StateDbResult IndexedItems(std::vector<IndexedItem>& items);

// The elements of `path` split at `delimiter`, empty elements left out.
std::vector<std::string> PathElements(const std::string& path, char delimiter);

}  // namespace platform
