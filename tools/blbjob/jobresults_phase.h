#pragma once
// The job-results phase of a job: the subclient's job-results directory
// written into the job's archive stream as the agent does after the backup.
#include <cstddef>

#include "job_command.h"
#include "platform/error/qi_error.h"

namespace blbjob {

struct JobResultsSummary {
  double seconds = 0;
  size_t items = 0;  // items this run sent into the job's stream
};

// Backs the directory up through the library's job-results handler: the
// job's archive and job-control client, the client's operating system from
// the configuration, indexing V2 as the subclient answers it.
CQiError BackUpJobResults(const Command& command, JobResultsSummary& summary);
// "jobresults seconds=S items=N".
void PrintJobResultsLine(const JobResultsSummary& summary);

}  // namespace blbjob
