#pragma once
// The snapshots a job holds. The driver records with each snapshot the job
// that took it, before the copy starts: what the job holds is what the
// driver records as its own, whatever the job's record names (a command
// killed between the driver's record and the job's left the job's behind)
// and whatever loop device a later snapshot got since (the number of one
// whose loop device went). A snapshot recorded before the driver kept
// owners is the job's by the image the job recorded.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/harness/job_harness.h"
#include "platform/harness/kzbf_harness.h"

namespace blbjob {

// Whom the driver records as the owner of the job's snapshots.
std::string SnapshotOwner(uint64_t jobId);

// The driver's snapshots that are the job's, from everything it records;
// volumes are what the job recorded.
std::vector<blbsim::KzbfSnapshot> JobSnapshots(uint64_t jobId, const std::vector<blbsim::JobVolumeRecord>& volumes,
                                               const std::vector<blbsim::KzbfSnapshot>& recorded);

// The snapshots the volumes name, each once, in their order.
std::vector<std::string> RecordedSnapshots(const std::vector<blbsim::JobVolumeRecord>& volumes);

// The snapshots the job still holds, each once. When the driver cannot
// tell, those the job recorded: they may be. Why not, when the job's record
// cannot be read.
platform::StateDbResult HeldSnapshots(uint64_t jobId, std::vector<std::string>& held);

// Whether the job still holds a snapshot, or its record cannot tell, which
// refuses a new snapshot phase of it; says so on stderr.
bool RefusedWhileHeld(uint64_t jobId);

}  // namespace blbjob
