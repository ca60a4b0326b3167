#pragma once
// The volumes of a snapshot task, as the agent's snapshot library hands them
// to the library, and their snapshots.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/error/qi_error.h"
#include "platform/snapshot/sm_vol_block.h"
#include "records/tarvos_job_info.h"

namespace blbjob {

// The record of a path given on the command line: a mount point (device,
// file-system type and options from the mount table; the last mount there
// wins), a block device holding a mounted file system as the volume of its
// mount point (device_mounts.h: the first that shows it), or an unmounted
// block device standing for itself. False, with a message, for anything
// else, and for a device whose mounted file system no mount point shows.
bool ResolveVolume(const std::string& path, const TarvosJobInfo& job, uint64_t appType, SMVolBlock& volume);

// Whether this process may open the volume's device for reading, as the
// library and the snapshot's copy do; otherwise says why, with the path.
bool CanReadDevice(const SMVolBlock& volume);

struct TakenSnapshot {
  std::string device;  // the loop device the copy is attached to
  std::string image;   // the copy: what tells it from a later snapshot on the same loop device
};

// One snapshot per distinct device, in list order, through the simulated
// driver on a free loop device. The file systems of the job's mount points of
// the device, and the one mounted from a device the job names by its path,
// are frozen around its copy, each once, by a holder that thaws
// them however the command ends (freeze_holder.h); a copy they were thawed
// during is not kept. snapshots maps device to its snapshot and keeps those
// taken before a failure. taken is called with them after each snapshot is
// kept, for the caller to record it before the next one is taken; and before
// each copy starts, with the copy's image as its device's snapshot by itself
// (a loop device is not attached to it yet), so that a command killed during
// the copy leaves its image recorded for release. The freezes are the job's,
// and so are the snapshots, in the driver's records too (held_snapshots.h).
CQiError SnapshotDevices(uint64_t jobId, const std::vector<SMVolBlock>& volumes,
                         std::map<std::string, TakenSnapshot>& snapshots,
                         const std::function<void(const std::map<std::string, TakenSnapshot>&)>& taken);

}  // namespace blbjob
