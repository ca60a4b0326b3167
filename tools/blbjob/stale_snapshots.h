#pragma once
// The pre-snap task destroys the snapshots the driver lists for the job's
// devices (stale ones, with --checks; all of a device whose tracking starts
// over): snapshots that earlier jobs may have kept. Their records must say
// the snapshots are gone, rather than name loop devices and images that a
// later snapshot may take.
#include <string>
#include <vector>

#include "platform/snapshot/sm_vol_block.h"

namespace blbjob {

class DriverSnapshots {
 public:
  // The snapshots the driver records now for the volumes' devices, by their
  // images (what tells a snapshot, whatever loop device it names). None when
  // the driver cannot tell.
  explicit DriverSnapshots(const std::vector<SMVolBlock>& volumes);
  // Records each of them the driver no longer has as gone, in every job that
  // recorded it; a failure is told on stderr (the scan of such a job still
  // finds the snapshot gone, by its image).
  void RecordThoseGone() const;

 private:
  std::vector<std::string> m_vImages;
};

}  // namespace blbjob
