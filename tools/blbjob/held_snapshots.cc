#include "held_snapshots.h"

#include <algorithm>
#include <cstdio>

#include "platform/harness/kzbf_harness.h"
#include "verbs/error_report.h"

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

std::vector<std::string> HeldSnapshots(uint64_t jobId) {
  std::vector<std::string> held;
  for (const blbsim::JobVolumeRecord& volume : blbsim::JobVolumes(jobId)) {
    bool isHeld = false;
    if ((IsSnapshotHeld(volume, isHeld).IsError() || isHeld) &&
        std::find(held.begin(), held.end(), volume.snapshot) == held.end())
      held.push_back(volume.snapshot);
  }
  return held;
}

bool RefusedWhileHeld(uint64_t jobId) {
  const std::vector<std::string> held = HeldSnapshots(jobId);
  if (held.empty()) return false;
  tools::PrintErrorLine("job %llu still holds snapshot %s; run \"blbjob release\" for it first",
                        static_cast<unsigned long long>(jobId), held.front().c_str());
  return true;
}

}  // namespace blbjob
