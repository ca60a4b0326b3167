#include "held_snapshots.h"

#include <algorithm>
#include <cstdio>

#include "platform/harness/kzbf_harness.h"

namespace blbjob {

CQiError IsSnapshotHeld(const blbsim::JobVolumeRecord& volume, bool& held) {
  held = false;
  if (volume.snapshot.empty()) return CQiError();
  std::string image;
  CQiError error = blbsim::KzbfSnapshotImage(volume.snapshot, image);
  if (FXErrorUtil::IsErrNo(error, 2)) return CQiError();
  if (error.IsError()) return error.Push(FXCODELOC);
  held = image == volume.snapshotImage;
  return CQiError();
}

platform::StateDbResult HeldSnapshots(uint64_t jobId, std::vector<std::string>& held) {
  held.clear();
  std::vector<blbsim::JobVolumeRecord> volumes;
  const platform::StateDbResult read = blbsim::JobVolumes(jobId, volumes);
  for (const blbsim::JobVolumeRecord& volume : volumes) {
    bool isHeld = false;
    if ((IsSnapshotHeld(volume, isHeld).IsError() || isHeld) &&
        std::find(held.begin(), held.end(), volume.snapshot) == held.end())
      held.push_back(volume.snapshot);
  }
  return read;
}

bool RefusedWhileHeld(uint64_t jobId) {
  std::vector<std::string> held;
  const platform::StateDbResult read = HeldSnapshots(jobId, held);
  if (!read) {
    std::fprintf(stderr, "blbjob: cannot tell whether job %llu still holds a snapshot: %s\n",
                 static_cast<unsigned long long>(jobId), read.Why().c_str());
    return true;
  }
  if (held.empty()) return false;
  std::fprintf(stderr, "blbjob: job %llu still holds snapshot %s; run \"blbjob release\" for it first\n",
               static_cast<unsigned long long>(jobId), held.front().c_str());
  return true;
}

}  // namespace blbjob
