// A whole job: snapshot, scan, backup, the job-results directory into the
// archive stream, and release, as the agent runs it.
// The snapshots are released after a failure too, unless they are to be
// kept; the summary names the phases that ended.
#include <cstdio>
#include <optional>

#include "full_backup_reasons.h"
#include "held_snapshots.h"
#include "interrupt_notice.h"
#include "job_bookkeeping.h"
#include "job_context.h"
#include "jobresults_phase.h"
#include "phase_options.h"
#include "platform/jobs/backup_level.h"
#include "platform/sim/state_db_failure.h"
#include "snapshot_options.h"
#include "subclient_lock.h"
#include "verbs/error_report.h"

namespace blbjob {
namespace {

// Runs another verb of this command with the options given and the job
// arguments unchanged.
int RunOtherVerb(const char* verb, const tools::Args& options, const Command& command) {
  tools::Args args = options;
  args.push_back("--");
  args.insert(args.end(), command.jobArgs.begin(), command.jobArgs.end());
  const int status = tools::RunVerb(verb, args);
  std::fflush(stdout);
  return status;
}

SnapshotSummary SummarizeSnapshot(const std::vector<blbsim::JobVolumeRecord>& volumes, const Stopwatch& clock) {
  SnapshotSummary summary;
  summary.seconds = clock.Seconds();
  for (const blbsim::JobVolumeRecord& volume : volumes) {
    ++summary.volumes;
    summary.forcedFull += volume.forceFull ? 1 : 0;
  }
  return summary;
}

struct RunResult {
  bool full = false;
  std::optional<ScanSummary> scan;
  std::optional<BackupSummary> backup;
  std::optional<JobResultsSummary> jobResults;
};

int ScanAndBackup(const Command& command, const PhaseOptions& options, Progress& progress, RunResult& result) {
  JobContext context;
  std::string why;
  if (!LoadJobContext(command, context, why)) {
    tools::PrintErrorLine("scan: %s", why.c_str());
    return 1;
  }
  progress.Phase("scan");
  ScanSummary scan;
  CQiError error = RunScan(context, options.scan, scan);
  if (error.IsError()) return PhaseFailed("scan", error);
  result.scan = scan;
  progress.Phase("backup");
  BackupSummary backup;
  error = RunBackup(context, options.backup, progress, backup);
  if (!error.IsError()) error = RecordFinishedBackup(context);
  if (error.IsError()) return PhaseFailed("backup", error);
  result.backup = backup;
  progress.Phase("jobresults");
  JobResultsSummary jobResults;
  error = BackUpJobResults(command, jobResults);
  if (error.IsError()) return PhaseFailed("jobresults", error);
  result.jobResults = jobResults;
  return 0;
}

int Run(const tools::Args& args) {
  Command command;
  PhaseOptions options;
  std::string why;
  if (!ReadCommand(args, command, why)) return tools::UsageError("run", why);
  if (!ReadPhaseOptions(command.options, options, why)) return PhaseUsageError("run", options, why);
  // The snapshot verb reads the rest: checked here, so that a word neither
  // knows is told as run's usage error.
  SnapshotOptions snapshotOptions;
  if (!ReadSnapshotOptions(options.others, snapshotOptions, why)) return tools::UsageError("run", why);
  const uint64_t jobId = command.job.GetJobId();
  // Held over every phase: the snapshot and release verbs share it.
  SubclientLock lock;
  if (!lock.Take("run", command.job)) return 1;
  // Refused before any phase: the release a run ends with would destroy the
  // snapshots it is refused over.
  if (RefusedWhileHeld(jobId)) return 1;
  // Refused as the snapshot phase would refuse it, before any phase: a job
  // refused tells nothing on stdout.
  if (!ContinuesFromCompletedJob(command, false, why)) {
    tools::PrintErrorLine("%s", why.c_str());
    return 1;
  }
  const InterruptNotice notice(jobId, command.jobArgs);
  Progress progress(options.progress);
  progress.Phase("snapshot");
  Stopwatch clock;
  // The snapshot verb reads the options this one does not know.
  int status = 0;
  std::string whyFull;
  {
    FullBackupReasons reasons;
    status = RunOtherVerb("snapshot", options.others, command);
    whyFull = reasons.Text();
  }
  if (status == 2) return status;
  std::vector<blbsim::JobVolumeRecord> volumes;
  std::optional<platform::JobRecord> job;
  platform::StateDbResult read = blbsim::JobVolumes(jobId, volumes);
  if (read) read = blbsim::FindJob(jobId, job);
  if (!read && status == 0) {
    tools::PrintError(
        "cannot read what the snapshot phase recorded",
        platform::StateDbFailure(FXCODELOC, read, "Cannot read job %llu", static_cast<unsigned long long>(jobId)));
    status = 1;
  }
  const SnapshotSummary snapshot = SummarizeSnapshot(volumes, clock);
  RunResult result;
  // The level the snapshot task left the job at, a volume forced full
  // included: the level the job runs at, whatever phase fails after it.
  result.full = read ? RunsAsFull(command, job, volumes) : RunsAsFull(command, volumes);
  // The snapshot verb told its own failure.
  if (status == 0) status = ScanAndBackup(command, options, progress, result);
  if (!options.keepSnapshot) {
    progress.Phase("release");
    if (RunOtherVerb("release", {}, command) != 0 && status == 0) status = 1;
  }
  const bool askedIncremental = command.job.GetBackupLevel() != KZ_BKP_LEVEL_FULL;
  PrintJobLine(jobId, result.full, command.job.GetBackupLevel(),
               result.full && askedIncremental ? whyFull : std::string());
  PrintSnapshotLine(snapshot);
  if (result.scan) PrintScanLine(*result.scan);
  if (result.backup) PrintBackupLine(*result.backup);
  if (result.jobResults) PrintJobResultsLine(*result.jobResults);
  return status;
}

const tools::VerbRegistration kRunVerbs({
    {"run", "--volume PATH... [snapshot options] [scan and backup options] [--keep-snapshot] [--progress] -- JOBARGS",
     "a whole job: snapshot, scan, backup, job results, release (after a failure too, unless --keep-snapshot)", Run},
});

}  // namespace
}  // namespace blbjob
