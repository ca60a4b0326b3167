#pragma once
// The pre-snap task destroys the snapshots the driver lists for the job's
// devices (stale ones, with --checks; all of a device whose tracking starts
// over): snapshots that earlier jobs may have kept. Their records must say
// the snapshots are gone, rather than name loop devices and images that a
// later snapshot may take.
#include <string>
#include <utility>
#include <vector>

#include "platform/snapshot/sm_vol_block.h"

namespace blbjob {

class DriverSnapshots {
 public:
  // The snapshots the driver lists now for the volumes' devices, with their
  // images. A device the driver cannot tell of has none here.
  explicit DriverSnapshots(const std::vector<SMVolBlock>& volumes);
  // Records each of them the driver no longer has as gone, in every job that
  // recorded it; a failure is told on stderr (the scan of such a job still
  // finds the snapshot gone, by its image).
  void RecordThoseGone() const;

 private:
  std::vector<std::pair<std::string, std::string>> m_vSnapshots;  // snapshot, image
};

}  // namespace blbjob
