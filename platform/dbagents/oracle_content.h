#pragma once
// What the simulated Oracle agent knows of its instances: each instance's
// data files (with their pluggable database, if any, and table space) and
// the status its database-content replies carry; and every database-content
// request it was sent.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/backend.h"
#include "platform/sim/state_db_failure.h"

namespace platform {

struct OracleFileRecord {
  uint64_t instanceId = 0;
  std::string pdb;  // empty: a table space of the database itself
  std::string tableSpace;
  std::string path;
};

// The request fields (1,1), (3,3) and (5,5), and the application type asked
// with.
struct OracleContentRequest {
  uint32_t appType = 0;
  int64_t instanceId = 0;
  int64_t appId = 0;
  int64_t kind = 0;
};

// The readers return done (nothing found included) or why the read failed.
class OracleContentBackend {
 public:
  virtual ~OracleContentBackend() = default;
  // The instance's files in the order they were added.
  virtual StateDbResult Files(uint64_t instanceId, std::vector<OracleFileRecord>& files) = 0;
  // 0 for an instance without one.
  virtual StateDbResult Status(uint64_t instanceId, int64_t& status) = 0;
  virtual void RecordRequest(const OracleContentRequest& request) = 0;
  virtual StateDbResult Requests(std::vector<OracleContentRequest>& requests) = 0;

  // Seeding. A file's key is its instance and path: a file added again
  // keeps its place and takes the new database and table space.
  virtual bool AddFile(const OracleFileRecord& file) = 0;
  virtual bool SetStatus(uint64_t instanceId, int64_t status) = 0;
  virtual StateDbResult AllFiles(std::vector<OracleFileRecord>& files) = 0;
  // Instances whose status is not 0, with it.
  virtual StateDbResult Statuses(std::vector<std::pair<uint64_t, int64_t>>& statuses) = 0;

  static OracleContentBackend& Default();
};

using OracleContent = Backend<OracleContentBackend>;

}  // namespace platform
