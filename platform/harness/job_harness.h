#pragma once
// Seeding and inspection of the job service (blbsim job ..., vornserve), and
// what the job command records per job for its later phases: each volume it
// snapshotted, with the device, the snapshot, the bitmap file the snapshot
// task left and the volume's force-full flag ("job_volumes" table).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/jobs/bkp_job_client.h"

namespace blbsim {

struct JobVolumeRecord {
  std::string volume;  // mount path, or the device standing for itself
  std::string device;
  std::string fsType;
  std::string mountOptions;
  std::string snapshot;  // empty when none was taken
  // What tells it from a later snapshot of the same name; empty once the
  // snapshot is recorded gone; the snapshot's own name while its copy runs.
  std::string snapshotImage;
  std::string bitmapFile;  // empty when the task left none
  bool forceFull = false;
};

// Adds the job or replaces the one with its id; why not, when it could not.
platform::StateDbResult AddJob(const platform::JobRecord& job);
// The readers without a result throw for a read that failed
// (harness_reads.h); the job command uses those with one.
platform::StateDbResult FindJob(uint64_t jobId, std::optional<platform::JobRecord>& job);
std::optional<platform::JobRecord> FindJob(uint64_t jobId);
// The job's quit flag, which its job-control client answers; false for an
// unknown job.
bool SetJobQuitFlag(uint64_t jobId, bool quit);
bool JobQuitFlag(uint64_t jobId);
// Replaces the volumes recorded for the job; why not, when it could not.
platform::StateDbResult SetJobVolumes(uint64_t jobId, const std::vector<JobVolumeRecord>& volumes);
// In the order they were recorded; done, or why they could not be read.
platform::StateDbResult JobVolumes(uint64_t jobId, std::vector<JobVolumeRecord>& volumes);
// Records, for every job that recorded a snapshot with that image, that it
// is gone: the image is cleared, the name kept for what tells of it. By the
// image alone: the driver names a snapshot by its image once its loop device
// went to a later one.
platform::StateDbResult RecordSnapshotGone(const std::string& image);

// The calls job clients made on the job, oldest first.
std::vector<platform::JobClientCall> JobClientCalls(uint64_t jobId);
// The job's attribute bits in the job service; nothing for an unknown job.
std::optional<uint32_t> JobServiceAttributes(uint64_t jobId);

// The VornServe host jobs are joined through; an empty name clears it.
bool SetVornServeHost(const std::string& host);
std::optional<std::string> VornServeHost();

}  // namespace blbsim
