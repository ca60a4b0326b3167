#pragma once
// Which job a volume's bitmap file in the job-results directory belongs to.
//
// The bitmap step takes the driver's bits and clears them; the job's bitmap
// file is then their only record until the job completes. A job run again
// under its own id (after a failed or interrupted attempt) must add to that
// file, not start a new one: the mark "<bitmap file>.<job key>", made before
// the first bits are taken, tells the housekeeping to keep the file for that
// job while removing it for any other.
//
// A job that never completed may also be followed by a new job id, its
// "-lsjid" the last job that did: a file marked for a job later than that
// one holds bits no backup read, and passes to the new job instead.
#include <string>
#include <vector>

#include "platform/error/qi_error.h"
#include "records/tarvos_job_info.h"

namespace devconfig {

// The job's own id ("-j"), in decimal: what "-lsjid" names once the job
// has completed. Not the snapshot job id, which may be an older job's.
std::string JobKeyOf(const TarvosJobInfo& job);

// Makes the job's mark for the bitmap file, on disk before it returns.
CQiError MarkBitmapForJob(const std::string& bitmapFile, const std::string& key);

// Whether the bitmap file carries the job's mark.
bool IsBitmapMarkedForJob(const std::string& bitmapFile, const std::string& key);

// The job key after "-lsjid" (the last job that completed), empty when the
// arguments name none or not a job id.
std::string LastCompletedJobKeyOf(const TarvosJobInfo& job);

// Whether, among the names of its folder, the bitmap file named carries the
// mark of a job later than the last completed one (lastKey not empty).
bool IsBitmapMarkedForUncompletedJob(const std::string& bitmapName, const std::vector<std::string>& folderNames,
                                     const std::string& lastKey);

}  // namespace devconfig
