#pragma once
// What the scan and backup of a job read from the phases before them: the
// volumes and snapshots the snapshot verb recorded, the subclient's
// job-results directory, and whether the job runs as a full backup.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "job_command.h"
#include "platform/error/qi_error.h"
#include "platform/harness/job_harness.h"
#include "records/backup_device_info.h"
#include "snapshot_identity.h"

namespace blbjob {

struct JobContext {
  Command command;
  // The job arguments the scan and backup get: the given ones, with the
  // level made full when the snapshot task did not trust the bitmaps.
  std::vector<std::string> args;
  TarvosJobInfo job;  // parsed from args
  bool full = false;
  uint64_t clientId = 0;
  std::string jobResultsDir;
  std::vector<blbsim::JobVolumeRecord> volumes;
  // The volumes' snapshots, held open while a copy of the context lives.
  std::shared_ptr<const CheckedSnapshots> snapshots;
};

// Whether the job runs as a full backup: asked so, turned so by the snapshot
// task (the job service has it full, or its record cannot be read), or with
// a volume the task forced full.
bool RunsAsFull(const Command& command, const std::vector<blbsim::JobVolumeRecord>& volumes);
// The same for the job's record read already (none: no record of the job).
bool RunsAsFull(const Command& command, const std::optional<platform::JobRecord>& record,
                const std::vector<blbsim::JobVolumeRecord>& volumes);

// False, with the reason, when the job has no snapshot phase recorded, a
// volume of it has no snapshot, or a snapshot is gone (snapshot_identity.h).
bool LoadJobContext(const Command& command, JobContext& context, std::string& why);

// Each volume's device record as the snapshot task wrote it, read through a
// handler of the job as the scan reads it.
CQiError ReadDeviceRecords(const JobContext& context, std::map<std::string, BackupDeviceInfo>& records);

}  // namespace blbjob
