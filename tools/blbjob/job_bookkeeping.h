#pragma once
// What the agent records once a job's backup is done, so that the next
// incremental can find it: the job's archive files with the archive manager,
// and the scan's cumulative bitmaps in the job's job-info container (read
// back by the next scan when indexing V2 is on).
#include "job_context.h"

namespace blbjob {

CQiError RecordFinishedBackup(const JobContext& context);

// Whether an incremental continues from a job whose backup completed: its
// "-lsjid" names a job with archive files in its cell. The scan fetches that
// job's cumulative bitmaps by them, and the snapshot task keeps for this job
// only what the jobs after it took from the driver: naming one that did not
// complete would drop the changes it took. True for a full (`full` or the
// level asked) and without "-lsjid"; else false, with `why` saying what to
// do.
bool ContinuesFromCompletedJob(const Command& command, bool full, std::string& why);

}  // namespace blbjob
