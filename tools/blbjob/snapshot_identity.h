#pragma once
// Whether the device a job recorded as a volume's snapshot still is that
// snapshot. A kept snapshot's loop device can lose its image (`losetup -d`, a
// restart, a later job's clean-up of stale snapshots) and its number can go
// to another image: read then, that image would be backed up as the job's.
// A snapshot is told by its image, by device and inode, as the loop device
// reports its backing file.
#include <memory>
#include <string>
#include <vector>

#include "platform/harness/job_harness.h"

namespace blbjob {

// What became of the snapshot, when the loop device no longer reads the
// image ("DEV reads another file now, not its image IMAGE", ...); empty
// while it does, or when that cannot be told.
std::string WhyNotTheSnapshot(const std::string& snapshot, const std::string& image);

// The job's snapshots, checked and held open for the object's life: a loop
// device that someone holds open keeps its image (a detach waits for the
// last close), so what the verb reads is what it checked.
class CheckedSnapshots {
 public:
  CheckedSnapshots() = default;
  ~CheckedSnapshots();
  CheckedSnapshots(const CheckedSnapshots&) = delete;
  CheckedSnapshots& operator=(const CheckedSnapshots&) = delete;

  // False, with why, when a volume's snapshot is gone or cannot be checked:
  // the volume, the snapshot, what became of it, and what to do.
  bool Open(const std::vector<blbsim::JobVolumeRecord>& volumes, std::string& why);

 private:
  std::vector<int> m_vOpen;
};

}  // namespace blbjob
