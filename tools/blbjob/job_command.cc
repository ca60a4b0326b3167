#include "job_command.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "job_arguments.h"
#include "platform/config/agent_config.h"
#include "platform/harness/job_harness.h"
#include "platform/jobs/bkp_job_client.h"
#include "platform/sim/fs_util.h"
#include "platform/sim/state_db_failure.h"
#include "verbs/error_report.h"

namespace blbjob {

bool ReadCommand(const tools::Args& args, Command& command, std::string& why) {
  auto separator = std::find(args.begin(), args.end(), "--");
  if (separator == args.end()) {
    why = "the job arguments must follow \"--\"";
    return false;
  }
  command.options.assign(args.begin(), separator);
  command.jobArgs.assign(separator + 1, args.end());
  if (!CheckJobArguments(command.jobArgs, why)) return false;
  command.job = TarvosJobInfo(command.jobArgs);
  if (command.job.ParseArgs(false) != 0) {
    why = WhyNoJob(command.jobArgs);
    return false;
  }
  return true;
}

CQiError EnsureJobKnown(const Command& command) {
  const TarvosJobInfo& job = command.job;
  const unsigned long long cellId = job.GetVornCellId(), appId = job.GetAppId();
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  std::optional<platform::SubclientRecord> known;
  platform::StateDbResult read = config.FindSubclient(job.GetVornCellId(), job.GetAppId(), known);
  if (!read) return platform::StateDbFailure(FXCODELOC, read, "Cannot read subclient %llu:%llu", cellId, appId);
  if (!known) {
    platform::SubclientRecord subclient;
    subclient.cellId = job.GetVornCellId();
    subclient.appId = job.GetAppId();
    read = config.LocalClientId(subclient.clientId);
    if (!read) return platform::StateDbFailure(FXCODELOC, read, "Cannot read this machine's client");
    subclient.blockLevelFlags = platform::SubclientRecord::kBlockLevel;
    if (!command.jobArgs.empty() && command.jobArgs.back() == "-SPOS")
      subclient.blockLevelFlags |= platform::SubclientRecord::kBlockLevelSPOS;
    // Added, never put over one the read missed.
    const platform::StateDbResult added = config.AddSubclient(subclient);
    if (!added) return platform::StateDbFailure(FXCODELOC, added, "Cannot add subclient %llu:%llu", cellId, appId);
  }
  // The agent makes the subclient's job-results directory before any job.
  std::optional<std::string> jobResults;
  read = platform::SubclientJobResultsDir(job.GetVornCellId(), job.GetAppId(), jobResults);
  if (!read)
    return platform::StateDbFailure(FXCODELOC, read, "Cannot read the job-results directory of subclient %llu:%llu",
                                    cellId, appId);
  if (!jobResults)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, ENOENT, "Subclient %llu:%llu has no job-results directory", cellId,
                                   appId);
  if (!platform::MakeDirectoriesDurably(*jobResults))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot make the job-results directory [%s]", jobResults->c_str());
  std::optional<platform::JobRecord> stored;
  read = blbsim::FindJob(job.GetJobId(), stored);
  if (!read)
    return platform::StateDbFailure(FXCODELOC, read, "Cannot read job %llu",
                                    static_cast<unsigned long long>(job.GetJobId()));
  if (stored) return CQiError();
  platform::JobRecord record;
  record.jobId = job.GetJobId();
  record.cellId = job.GetVornCellId();
  record.appId = job.GetAppId();
  record.level = job.GetBackupLevel();
  record.token = job.GetJobToken();
  record.startTime = static_cast<uint64_t>(std::time(nullptr));
  // Added, never put over a record the read missed (its level, its
  // conversions to full).
  const platform::StateDbResult added = platform::JobService::Current().AddJob(record);
  if (added) return CQiError();
  return platform::StateDbFailure(FXCODELOC, added, "Cannot add job %llu",
                                  static_cast<unsigned long long>(record.jobId));
}

bool EnsureJobKnownOrSay(const Command& command) {
  const CQiError error = EnsureJobKnown(command);
  if (error.IsError()) tools::PrintError("cannot add the job or its subclient to the job service", error);
  return !error.IsError();
}

bool RecordPhaseEnd(uint64_t jobId) {
  std::optional<platform::JobRecord> record;
  const platform::StateDbResult read = blbsim::FindJob(jobId, record);
  if (!read) {
    tools::PrintError(
        "cannot record the end of the phase",
        platform::StateDbFailure(FXCODELOC, read, "Cannot read job %llu", static_cast<unsigned long long>(jobId)));
    return false;
  }
  if (!record) {
    tools::PrintErrorLine("job %llu is not in the job service", static_cast<unsigned long long>(jobId));
    return false;
  }
  const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
  const platform::StateDbResult stored =
      platform::JobService::Current().SetJobTimes(jobId, record->startTime != 0 ? record->startTime : now, now);
  if (stored) return true;
  tools::PrintError("cannot record the end of the phase",
                    platform::StateDbFailure(FXCODELOC, stored, "Cannot store the times of job %llu",
                                             static_cast<unsigned long long>(jobId)));
  return false;
}

}  // namespace blbjob
