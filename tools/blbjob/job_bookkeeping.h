#pragma once
// What the agent records once a job's backup is done, so that the next
// incremental can find it: the job's archive files with the archive manager,
// and the scan's cumulative bitmaps in the job's job-info container (read
// back by the next scan when indexing V2 is on).
#include "job_context.h"

namespace blbjob {

CQiError RecordFinishedBackup(const JobContext& context);

}  // namespace blbjob
