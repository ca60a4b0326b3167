#include "job_bookkeeping.h"

#include <cerrno>
#include <ctime>

#include "platform/harness/job_info_harness.h"
#include "platform/harness/services_harness.h"
#include "platform/services/archive_manager.h"
#include "platform/sim/state_db_failure.h"

namespace blbjob {
namespace {

// One archive file per job: a re-run of the backup finds it recorded.
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
    // Numbered as the archive manager numbers them, whatever the job id:
    // an id the services cannot record would break every later job that
    // numbers its archive files after it.
    platform::ArchiveFileRecord file;
    file.jobId = jobId;
    file.appId = job.GetAppId();
    file.cellId = job.GetVornCellId();
    file.archFileType = kDataArchiveFileType;
    file.createTime = static_cast<uint64_t>(std::time(nullptr));
    file.storageHostName = job.GetStowhost();
    platform::ArchiveManagerBackend& archives = platform::ArchiveManager::Current();
    const platform::StateDbResult added = archives.PutUnderNextId(file);
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
