#include "jobresults_phase.h"

#include <cerrno>
#include <cstdio>

#include "blocklevel/jr_for_job_backup_handler.h"
#include "job_report.h"
#include "platform/archive/archive_stream.h"
#include "platform/archive/kz_archive.h"
#include "platform/config/agent_config.h"
#include "platform/indexing/indexing_v2.h"
#include "platform/jobs/job_ctrl_client.h"
#include "platform/services/subclient.h"
#include "platform/sim/state_db_failure.h"

namespace blbjob {
namespace {

// The items (header records) in the job's archive stream; 0 for none.
size_t StreamItems(uint64_t jobId) {
  std::vector<platform::ArchiveRecord> records;
  std::string why;
  size_t items = 0;
  if (platform::ReadArchiveStream(jobId, records, why))
    for (const platform::ArchiveRecord& record : records)
      items += record.type == platform::kArchiveRecordHeader ? 1 : 0;
  return items;
}

}  // namespace

CQiError BackUpJobResults(const Command& command, JobResultsSummary& summary) {
  const TarvosJobInfo& job = command.job;
  platform::AgentConfigBackend& config = platform::AgentConfig::Current();
  std::optional<platform::SubclientRecord> subclient;
  std::optional<std::string> jobResults;
  std::optional<platform::ClientRecord> client;
  platform::StateDbResult read = config.FindSubclient(job.GetVornCellId(), job.GetAppId(), subclient);
  if (read) read = platform::SubclientJobResultsDir(job.GetVornCellId(), job.GetAppId(), jobResults);
  if (read && subclient) read = config.FindClient(subclient->clientId, client);
  if (!read) return platform::StateDbFailure(FXCODELOC, read, "Cannot read the job's subclient");
  if (!subclient || !jobResults)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, ENOENT, "no subclient %llu:%llu",
                                   static_cast<unsigned long long>(job.GetVornCellId()),
                                   static_cast<unsigned long long>(job.GetAppId()));
  if (!client)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, ENOENT, "no client %llu",
                                   static_cast<unsigned long long>(subclient->clientId));
  bool indexV2 = false;
  if (shouldUseIndexingV2(job.GetVornCellId(), job.GetAppId(), indexV2) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EIO, "cannot tell whether the subclient uses indexing V2");

  // A job's stream keeps what earlier runs of it sent: this run's items are
  // those past the count before it.
  const size_t itemsBefore = StreamItems(job.GetJobId());
  Stopwatch clock;
  KZArchive archive(client->name);
  archive.setJobId(job.GetJobId());
  archive.setBackupLevel(static_cast<KZBkpLevel>(job.GetBackupLevel()));
  KZJobCtrlClient jobCtrl(job.GetJobId(), client->name);
  std::string appGuid;
  ApplicationId application(job.GetVornCellId(), job.GetAppId());
  Subclient* subclientObject = application.getSubclient(nullptr);
  if (subclientObject == nullptr || subclientObject->getGUIDStr(appGuid) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EIO, "cannot read the subclient's GUID");
  CBLBJRForJobBackupHandler handler(*jobResults, appGuid, &archive, &jobCtrl, static_cast<unsigned long>(client->osId),
                                    indexV2);
  CQiError error = handler.Run();
  // The phase ends here: what the archive took must outlive a power loss.
  if (!error.IsError()) {
    if (const int failed = archive.Commit())
      error = FXErrorUtil::ErrorErrNo(FXCODELOC, failed, "cannot sync the archive stream of job %llu",
                                      static_cast<unsigned long long>(job.GetJobId()));
  }
  summary.seconds = clock.Seconds();
  const size_t itemsAfter = StreamItems(job.GetJobId());
  summary.items = itemsAfter > itemsBefore ? itemsAfter - itemsBefore : 0;
  return error;
}

void PrintJobResultsLine(const JobResultsSummary& summary) {
  std::printf("jobresults seconds=%.3f items=%zu\n", summary.seconds, summary.items);
}

}  // namespace blbjob
