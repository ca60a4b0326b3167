// The job-results verb: a job's job-results directory into its archive
// stream, on its own (run does it after the backup).
#include <cstdio>

#include "job_report.h"
#include "jobresults_phase.h"

namespace blbjob {
namespace {

int JobResults(const tools::Args& args) {
  Command command;
  std::string why;
  if (!ReadCommand(args, command, why)) return tools::UsageError("jobresults", why);
  if (!command.options.empty()) return tools::UsageError("jobresults", "unknown option " + command.options[0]);
  if (!EnsureJobKnownOrSay(command)) return 1;
  JobResultsSummary summary;
  CQiError error = BackUpJobResults(command, summary);
  if (error.IsError()) return PhaseFailed("jobresults", error);
  PrintJobResultsLine(summary);
  return 0;
}

const tools::VerbRegistration kJobResultsVerbs({
    {"jobresults", "-- JOBARGS",
     "the subclient's job-results directory into the job's archive stream (blbsim archive stream JOB), as items "
     "under the troubleshooting root",
     JobResults},
});

}  // namespace
}  // namespace blbjob
