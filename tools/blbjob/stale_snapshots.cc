#include "stale_snapshots.h"

#include <algorithm>

#include "platform/harness/job_harness.h"
#include "platform/harness/kzbf_harness.h"
#include "platform/sim/state_db_failure.h"
#include "verbs/error_report.h"

namespace blbjob {

DriverSnapshots::DriverSnapshots(const std::vector<SMVolBlock>& volumes) {
  std::vector<blbsim::KzbfSnapshot> snapshots;
  if (blbsim::KzbfSnapshots(snapshots).IsError()) return;
  for (const blbsim::KzbfSnapshot& snapshot : snapshots)
    if (std::any_of(volumes.begin(), volumes.end(), [&](const SMVolBlock& volume) {
          return !snapshot.device.empty() && volume.sDevice == snapshot.device;
        }))
      m_vImages.push_back(snapshot.image);
}

void DriverSnapshots::RecordThoseGone() const {
  if (m_vImages.empty()) return;
  std::vector<blbsim::KzbfSnapshot> now;
  if (blbsim::KzbfSnapshots(now).IsError()) return;
  for (const std::string& image : m_vImages) {
    if (std::any_of(now.begin(), now.end(), [&](const blbsim::KzbfSnapshot& kept) { return kept.image == image; }))
      continue;
    const platform::StateDbResult recorded = blbsim::RecordSnapshotGone(image);
    if (recorded) continue;
    tools::PrintError("cannot record that the snapshot task destroyed the snapshot of image " + image,
                      platform::StateDbFailure(FXCODELOC, recorded, "Cannot store the volumes of the jobs of image %s",
                                               image.c_str()));
  }
}

}  // namespace blbjob
