#include "held_snapshots.h"

#include <algorithm>

#include "platform/harness/kzbf_harness.h"
#include "verbs/error_report.h"

namespace blbjob {

std::string SnapshotOwner(uint64_t jobId) {
  return "job " + std::to_string(jobId);
}

std::vector<blbsim::KzbfSnapshot> JobSnapshots(uint64_t jobId, const std::vector<blbsim::JobVolumeRecord>& volumes,
                                               const std::vector<blbsim::KzbfSnapshot>& recorded) {
  const std::string owner = SnapshotOwner(jobId);
  std::vector<blbsim::KzbfSnapshot> held;
  for (const blbsim::KzbfSnapshot& snapshot : recorded) {
    const bool taken =
        snapshot.owner.empty()
            ? std::any_of(volumes.begin(), volumes.end(),
                          [&](const blbsim::JobVolumeRecord& volume) { return volume.snapshotImage == snapshot.image; })
            : snapshot.owner == owner;
    if (taken) held.push_back(snapshot);
  }
  return held;
}

std::vector<std::string> RecordedSnapshots(const std::vector<blbsim::JobVolumeRecord>& volumes) {
  std::vector<std::string> snapshots;
  for (const blbsim::JobVolumeRecord& volume : volumes)
    if (!volume.snapshot.empty() && std::find(snapshots.begin(), snapshots.end(), volume.snapshot) == snapshots.end())
      snapshots.push_back(volume.snapshot);
  return snapshots;
}

platform::StateDbResult HeldSnapshots(uint64_t jobId, std::vector<std::string>& held) {
  held.clear();
  std::vector<blbsim::JobVolumeRecord> volumes;
  const platform::StateDbResult read = blbsim::JobVolumes(jobId, volumes);
  if (!read) return read;
  std::vector<blbsim::KzbfSnapshot> recorded;
  if (blbsim::KzbfSnapshots(recorded).IsError()) {
    held = RecordedSnapshots(volumes);
    return read;
  }
  for (const blbsim::KzbfSnapshot& snapshot : JobSnapshots(jobId, volumes, recorded)) held.push_back(snapshot.snapshot);
  return read;
}

bool RefusedWhileHeld(uint64_t jobId) {
  std::vector<std::string> held;
  const platform::StateDbResult read = HeldSnapshots(jobId, held);
  if (!read) {
    tools::PrintErrorLine("cannot tell whether job %llu still holds a snapshot: %s",
                          static_cast<unsigned long long>(jobId), read.Why().c_str());
    return true;
  }
  if (held.empty()) return false;
  tools::PrintErrorLine("job %llu still holds snapshot %s; run \"blbjob release\" for it first",
                        static_cast<unsigned long long>(jobId), held.front().c_str());
  return true;
}

}  // namespace blbjob
