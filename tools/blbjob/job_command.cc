#include "job_command.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "platform/config/agent_config.h"
#include "platform/harness/job_harness.h"
#include "platform/jobs/bkp_job_client.h"
#include "platform/sim/fs_util.h"

namespace blbjob {

bool ReadCommand(const tools::Args& args, Command& command) {
  auto separator = std::find(args.begin(), args.end(), "--");
  if (separator == args.end()) {
    std::fprintf(stderr, "blbjob: the job arguments must follow \"--\"\n");
    return false;
  }
  command.options.assign(args.begin(), separator);
  command.jobArgs.assign(separator + 1, args.end());
  command.job = TarvosJobInfo(command.jobArgs);
  if (command.job.ParseArgs(false) != 0) {
    std::fprintf(stderr, "blbjob: the job arguments name no job (-a CELL:APP -j JOB -t LEVEL -d HOST)\n");
    return false;
  }
  return true;
}

bool EnsureJobKnown(const Command& command) {
  const TarvosJobInfo& job = command.job;
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  if (!config.FindSubclient(job.GetVornCellId(), job.GetAppId())) {
    platform::SubclientRecord subclient;
    subclient.cellId = job.GetVornCellId();
    subclient.appId = job.GetAppId();
    subclient.clientId = config.LocalClientId();
    subclient.blockLevelFlags = platform::SubclientRecord::kBlockLevel;
    if (!command.jobArgs.empty() && command.jobArgs.back() == "-SPOS")
      subclient.blockLevelFlags |= platform::SubclientRecord::kBlockLevelSPOS;
    if (!config.PutSubclient(subclient)) return false;
  }
  // The agent makes the subclient's job-results directory before any job.
  const std::optional<std::string> jobResults = platform::SubclientJobResultsDir(job.GetVornCellId(), job.GetAppId());
  if (!jobResults || !platform::MakeDirectoriesDurably(*jobResults)) return false;
  if (blbsim::FindJob(job.GetJobId())) return true;
  platform::JobRecord record;
  record.jobId = job.GetJobId();
  record.cellId = job.GetVornCellId();
  record.appId = job.GetAppId();
  record.level = job.GetBackupLevel();
  record.token = job.GetJobToken();
  record.startTime = static_cast<uint64_t>(std::time(nullptr));
  return blbsim::AddJob(record);
}

bool RecordPhaseEnd(uint64_t jobId) {
  std::optional<platform::JobRecord> record = blbsim::FindJob(jobId);
  if (!record) return false;
  const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
  return platform::JobService::Current().SetJobTimes(jobId, record->startTime != 0 ? record->startTime : now, now);
}

}  // namespace blbjob
