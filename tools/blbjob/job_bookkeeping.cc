#include "job_bookkeeping.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/harness/job_info_harness.h"
#include "platform/harness/services_harness.h"
#include "platform/jobs/backup_level.h"
#include "platform/services/archive_manager.h"
#include "platform/sim/state_db_failure.h"

namespace blbjob {
namespace {

// One archive file per job: a re-run of the backup finds it recorded.
constexpr int kDataArchiveFileType = 1;

// As the archive manager answers the scan: by job and cell.
platform::StateDbResult HasArchiveFile(uint64_t jobId, uint64_t cellId, bool& has) {
  std::vector<platform::ArchiveFileRecord> files;
  const platform::StateDbResult read = blbsim::ArchiveFiles(files);
  has = false;
  for (const platform::ArchiveFileRecord& file : files)
    if (file.jobId == jobId && file.cellId == cellId) has = true;
  return read;
}

// The job "-lsjid" names, as the library reads it (the first one); 0 for
// none. The job command took its value as a whole number already.
uint64_t LastCompletedJob(const std::vector<std::string>& args) {
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "-lsjid") return std::strtoull(args[i + 1].c_str(), nullptr, 10);
  return 0;
}

}  // namespace

CQiError RecordFinishedBackup(const JobContext& context) {
  const TarvosJobInfo& job = context.job;
  const uint64_t jobId = job.GetJobId();
  bool recorded = false;
  const platform::StateDbResult read = HasArchiveFile(jobId, job.GetVornCellId(), recorded);
  if (!read)
    return platform::StateDbFailure(FXCODELOC, read, "Cannot read the archive files of job [%llu]",
                                    static_cast<unsigned long long>(jobId));
  if (!recorded) {
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

bool ContinuesFromCompletedJob(const Command& command, bool full, std::string& why) {
  const uint64_t last = LastCompletedJob(command.jobArgs);
  if (full || command.job.GetBackupLevel() != KZ_BKP_LEVEL_INCREMENTAL || last == 0) return true;
  bool completed = false;
  const platform::StateDbResult read = HasArchiveFile(last, command.job.GetVornCellId(), completed);
  if (!read) {
    why = "cannot tell whether job " + std::to_string(last) + " (-lsjid) completed: " + read.Why();
    return false;
  }
  if (completed) return true;
  why = "job " + std::to_string(last) + " (-lsjid) has no completed backup to continue from: run job " +
        std::to_string(command.job.GetJobId()) + " as a full (-t 1), or give -lsjid the last job that exited 0";
  return false;
}

}  // namespace blbjob
