#pragma once
// The snapshots a job recorded that are still its own. The library removes a
// device's snapshots when tracking of it restarts, and the loop device may
// carry a later job's snapshot since: a snapshot is the job's while the
// driver has it with the image the job recorded.
#include <string>
#include <vector>

#include "platform/error/qi_error.h"
#include "platform/harness/job_harness.h"

namespace blbjob {

// Whether the volume's recorded snapshot is still the job's; an error when
// the driver cannot tell.
CQiError IsSnapshotHeld(const blbsim::JobVolumeRecord& volume, bool& held);

// The snapshots the job still holds, each once. A snapshot the driver cannot
// tell of counts as held: it may be. Why not, when the job's record cannot
// be read.
platform::StateDbResult HeldSnapshots(uint64_t jobId, std::vector<std::string>& held);

// Whether the job still holds a snapshot, or its record cannot tell, which
// refuses a new snapshot phase of it; says so on stderr.
bool RefusedWhileHeld(uint64_t jobId);

}  // namespace blbjob
