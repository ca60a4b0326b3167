#pragma once
// The carry-forward requests the simulated index took: per entry of a
// request's generate-index-logs block, one row under the job that owns the
// entry's archive file (`blbsim index carryfwd JOB`).
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/state_db_failure.h"

namespace platform {

struct IndexCarryForwardRecord {
  uint64_t jobId = 0;        // the job owning the archive file
  uint64_t sourceJobId = 0;  // the job whose index is carried forward
  std::string view;
  std::string component;
  std::string path;
  int64_t afileId = 0;
  int64_t groupId = 0;
  int64_t flags = 0;
  int64_t value = 0;
  uint64_t fromTime = 0;
  uint64_t toTime = 0;
  uint64_t timeout = 0;
};

bool AddIndexCarryForward(const IndexCarryForwardRecord& record);
// The job's records, in the order they were added; done, or why they could
// not be read.
StateDbResult IndexCarryForwards(uint64_t jobId, std::vector<IndexCarryForwardRecord>& records);

}  // namespace platform
