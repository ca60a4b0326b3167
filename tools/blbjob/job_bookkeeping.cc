#include "job_bookkeeping.h"

#include <ctime>

#include "platform/harness/job_info_harness.h"
#include "platform/harness/services_harness.h"
#include "platform/sim/state_db_failure.h"

namespace blbjob {
namespace {

// One archive file per job, its id derived from the job's so that a re-run
// of the backup finds it recorded.
constexpr uint64_t kArchiveFilesPerJob = 16;
constexpr int kDataArchiveFileType = 1;

bool HasArchiveFile(uint64_t jobId) {
  for (const platform::ArchiveFileRecord& file : blbsim::ArchiveFiles())
    if (file.jobId == jobId) return true;
  return false;
}

}  // namespace

CQiError RecordFinishedBackup(const JobContext& context) {
  const TarvosJobInfo& job = context.job;
  const uint64_t jobId = job.GetJobId();
  if (!HasArchiveFile(jobId)) {
    const platform::StateDbResult added =
        blbsim::AddArchiveFile(jobId * kArchiveFilesPerJob, jobId, job.GetAppId(), job.GetVornCellId(),
                               kDataArchiveFileType, 0, static_cast<uint64_t>(std::time(nullptr)), job.GetStowhost());
    if (!added)
      return platform::StateDbFailure(FXCODELOC, added, "Cannot record the archive files of job [%llu]",
                                      static_cast<unsigned long long>(jobId));
  }
  std::string why;
  if (!blbsim::StoreCumulativeBitmaps(jobId, context.jobResultsDir, &why))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Cannot store the cumulative bitmaps of job [%llu]: %s",
                                   static_cast<unsigned long long>(jobId), why.c_str());
  return CQiError();
}

}  // namespace blbjob
