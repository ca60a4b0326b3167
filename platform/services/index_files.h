#pragma once
// The backup index's file download, simulated: the files that jobs stored in
// the index of a storage server are kept per host, cell, application and job,
//
//   <state>/index/<host>/<cell>/<app>/<job>/<name>
//
// with one row each in the `index_files` table, which carries the time the
// file was stored. A download as of a reference time sees only the files
// stored at or before it.
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "platform/base/backend.h"
#include "platform/sim/state_db_failure.h"

// Copies the files of the job that match any of the patterns (shell
// wildcards) and were stored at or before the reference time (Unix seconds)
// into the destination folder. Returns -1 for invalid arguments (empty host,
// destination or pattern list, job id or reference time 0), -2 when a file
// cannot be received or the stored files cannot be listed, 0 otherwise (also when nothing matches). Failable as
// "GetIndexFiles" (the fault's code is returned).
int GetIndexFiles(const std::string& host, unsigned cellId, unsigned appId, unsigned referenceTime, long long jobId,
                  unsigned reserved, unsigned flags, const std::string& destination,
                  const std::list<std::string>* patterns, void* reservedOut);

namespace platform {

struct IndexFileRecord {
  std::string host;
  uint64_t cellId = 0;
  uint64_t appId = 0;
  uint64_t jobId = 0;
  std::string name;
  uint64_t storedTime = 0;  // Unix seconds
};

class IndexStoreBackend {
 public:
  virtual ~IndexStoreBackend() = default;
  // Stores a file's contents under the record's key; replaces an earlier one.
  virtual bool Put(const IndexFileRecord& record, const std::string& contents) = 0;
  // Done, or why the records could not be read.
  virtual StateDbResult All(std::vector<IndexFileRecord>& records) = 0;
  // Records of the job stored at or before the reference time, by name.
  virtual StateDbResult Visible(const std::string& host, uint64_t cellId, uint64_t appId, uint64_t jobId,
                                uint64_t referenceTime, std::vector<IndexFileRecord>& records) = 0;
  virtual std::string PathOf(const IndexFileRecord& record) = 0;
  static IndexStoreBackend& Default();
};

using IndexStore = Backend<IndexStoreBackend>;

// A file name without folders: not empty, ".", ".." and without "/".
bool IsPlainName(const std::string& name);

// Whether a name matches any of the shell-wildcard patterns.
bool MatchesAny(const std::list<std::string>& patterns, const std::string& name);

}  // namespace platform
