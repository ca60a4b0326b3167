#include "stale_snapshots.h"

#include <algorithm>

#include "platform/harness/job_harness.h"
#include "platform/harness/kzbf_harness.h"
#include "platform/sim/state_db_failure.h"
#include "verbs/error_report.h"

namespace blbjob {

DriverSnapshots::DriverSnapshots(const std::vector<SMVolBlock>& volumes) {
  std::vector<std::string> devices;
  for (const SMVolBlock& volume : volumes)
    if (std::find(devices.begin(), devices.end(), volume.sDevice) == devices.end()) devices.push_back(volume.sDevice);
  for (const std::string& device : devices) {
    platform::KzBfDeviceStatus status;
    if (blbsim::KzbfQuery(device, status).IsError()) continue;
    for (const std::string& snapshot : status.snapshots) {
      std::string image;
      if (!blbsim::KzbfSnapshotImage(snapshot, image).IsError()) m_vSnapshots.emplace_back(snapshot, image);
    }
  }
}

void DriverSnapshots::RecordThoseGone() const {
  for (const auto& [snapshot, image] : m_vSnapshots) {
    std::string now;
    const CQiError error = blbsim::KzbfSnapshotImage(snapshot, now);
    const bool gone = error.IsError() ? FXErrorUtil::IsErrNo(error, 2) : now != image;
    if (!gone) continue;
    const platform::StateDbResult recorded = blbsim::RecordSnapshotGone(snapshot, image);
    if (recorded) continue;
    tools::PrintError(
        "cannot record that the snapshot task destroyed snapshot " + snapshot,
        platform::StateDbFailure(FXCODELOC, recorded, "Cannot store the volumes of the jobs of snapshot %s",
                                 snapshot.c_str()));
  }
}

}  // namespace blbjob
