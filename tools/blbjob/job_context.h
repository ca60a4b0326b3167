#pragma once
// What the scan and backup of a job read from the phases before them: the
// volumes and snapshots the snapshot verb recorded, the subclient's
// job-results directory, and whether the job runs as a full backup.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "job_command.h"
#include "platform/error/qi_error.h"
#include "platform/harness/job_harness.h"
#include "records/backup_device_info.h"

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
};

// False, with the reason, when the job has no snapshot phase recorded or a
// volume of it has no snapshot.
bool LoadJobContext(const Command& command, JobContext& context, std::string& why);

// Each volume's device record as the snapshot task wrote it, read through a
// handler of the job as the scan reads it.
CQiError ReadDeviceRecords(const JobContext& context, std::map<std::string, BackupDeviceInfo>& records);

}  // namespace blbjob
