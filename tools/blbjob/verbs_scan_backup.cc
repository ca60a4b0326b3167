// The scan and backup phases of a job, each on its own: they read what the
// snapshot verb recorded with the job (blbsim job show JOB).

#include "job_bookkeeping.h"
#include "job_command.h"
#include "phase_options.h"
#include "subclient_lock.h"
#include "verbs/error_report.h"

namespace blbjob {
namespace {

// Reads a verb's options, takes the subclient's lock and reads the job's
// earlier phases; 0 when all are there, else the exit status.
int Prepare(const char* verb, const tools::Args& args, PhaseOptions& options, SubclientLock& lock,
            JobContext& context) {
  Command command;
  std::string why;
  if (!ReadCommand(args, command, why)) return tools::UsageError(verb, why);
  if (!ReadPhaseOptions(command.options, options, why) || !options.others.empty())
    return PhaseUsageError(verb, options, why);
  if (!lock.Take(verb, command.job)) return 1;
  if (!LoadJobContext(command, context, why)) {
    tools::PrintErrorLine("%s", why.c_str());
    return 1;
  }
  return 0;
}

int Scan(const tools::Args& args) {
  PhaseOptions options;
  SubclientLock lock;
  JobContext context;
  if (int status = Prepare("scan", args, options, lock, context)) return status;
  std::string why;
  if (!ContinuesFromCompletedJob(context.command, context.full, why)) {
    tools::PrintErrorLine("%s", why.c_str());
    return 1;
  }
  Progress progress(options.progress);
  progress.Phase("scan");
  ScanSummary summary;
  CQiError error = RunScan(context, options.scan, summary);
  PrintJobLine(context.job.GetJobId(), context.full, context.command.job.GetBackupLevel());
  if (error.IsError()) return PhaseFailed("scan", error);
  PrintScanLine(summary);
  return RecordPhaseEnd(context.job.GetJobId()) ? 0 : 1;
}

int Backup(const tools::Args& args) {
  PhaseOptions options;
  SubclientLock lock;
  JobContext context;
  if (int status = Prepare("backup", args, options, lock, context)) return status;
  Progress progress(options.progress);
  progress.Phase("backup");
  BackupSummary summary;
  CQiError error = RunBackup(context, options.backup, progress, summary);
  if (!error.IsError()) error = RecordFinishedBackup(context);
  PrintJobLine(context.job.GetJobId(), context.full, context.command.job.GetBackupLevel());
  if (error.IsError()) return PhaseFailed("backup", error);
  PrintBackupLine(summary);
  return RecordPhaseEnd(context.job.GetJobId()) ? 0 : 1;
}

const tools::VerbRegistration kScanBackupVerbs({
    {"scan", "[--streams N] [--multiple-readers] [--starvation N] [--trueup] [--progress] -- JOBARGS",
     "the job's scan: collect files of the extents to back up, from its snapshots", Scan},
    {"backup", "[--streams N] [--mode 0|1|2] [--readahead N] [--progress] -- JOBARGS",
     "the job's backup: reads and hashes the listed extents into the job's hash file", Backup},
});

}  // namespace
}  // namespace blbjob
