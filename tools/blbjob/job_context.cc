#include "job_context.h"

#include <memory>

#include "devconfig/kz_device_config_handler.h"
#include "platform/config/agent_config.h"
#include "platform/jobs/backup_level.h"

namespace blbjob {
namespace {

std::vector<std::string> WithFullLevel(std::vector<std::string> args) {
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "-t") args[i + 1] = std::to_string(static_cast<int>(KZ_BKP_LEVEL_FULL));
  return args;
}

}  // namespace

// The snapshot task turns a job into a full backup (and tells the job
// service) when it cannot trust a bitmap; a volume's force-full flag says
// the same for that volume. An incremental scan over such a bitmap would
// miss changes.
bool RunsAsFull(const Command& command, const std::optional<platform::JobRecord>& record,
                const std::vector<blbsim::JobVolumeRecord>& volumes) {
  if (command.job.GetBackupLevel() == KZ_BKP_LEVEL_FULL) return true;
  if (record && (record->level == KZ_BKP_LEVEL_FULL || record->conversions > 0)) return true;
  for (const blbsim::JobVolumeRecord& volume : volumes)
    if (volume.forceFull) return true;
  return false;
}

bool RunsAsFull(const Command& command, const std::vector<blbsim::JobVolumeRecord>& volumes) {
  if (command.job.GetBackupLevel() == KZ_BKP_LEVEL_FULL) return true;
  std::optional<platform::JobRecord> record;
  // A job whose record cannot be read runs full: a scan of all of it misses
  // no change.
  if (!blbsim::FindJob(command.job.GetJobId(), record)) return true;
  return RunsAsFull(command, record, volumes);
}

bool LoadJobContext(const Command& command, JobContext& context, std::string& why) {
  context.command = command;
  const uint64_t jobId = command.job.GetJobId();
  const platform::StateDbResult read = blbsim::JobVolumes(jobId, context.volumes);
  if (!read) {
    why = "cannot read the volumes of job " + std::to_string(jobId) + ": " + read.Why();
    return false;
  }
  if (context.volumes.empty()) {
    why = "job " + std::to_string(jobId) + " has no volumes recorded: run blbjob snapshot first";
    return false;
  }
  for (const blbsim::JobVolumeRecord& volume : context.volumes) {
    if (volume.snapshot.empty()) {
      why = "volume " + volume.volume + " of job " + std::to_string(jobId) +
            " has no snapshot (released, or its snapshot phase failed): run blbjob snapshot again";
      return false;
    }
  }
  auto snapshots = std::make_shared<CheckedSnapshots>();
  if (!snapshots->Open(context.volumes, why)) return false;
  context.snapshots = snapshots;
  context.full = RunsAsFull(command, context.volumes);
  context.args = context.full ? WithFullLevel(command.jobArgs) : command.jobArgs;
  context.job = TarvosJobInfo(context.args);
  if (context.job.ParseArgs(false) != 0 || context.job.setJobResultsDir() != 0) {
    why = "the subclient's job-results directory is unknown";
    return false;
  }
  context.jobResultsDir = context.job.GetJobResultsDir();
  const platform::StateDbResult local = platform::AgentConfig::Current().LocalClientId(context.clientId);
  if (!local) {
    why = "cannot read this machine's client: " + local.Why();
    return false;
  }
  return true;
}

CQiError ReadDeviceRecords(const JobContext& context, std::map<std::string, BackupDeviceInfo>& records) {
  TarvosJobInfo job = context.job;
  std::unique_ptr<KzDeviceConfigHandler> reader(KzDeviceConfigHandler::GetDeviceConfigHandler(job));
  if (!reader) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "No device-configuration handler for the job");
  CQiError error = reader->InitRead();
  if (error.IsError()) return error.Push(FXCODELOC);
  for (const blbsim::JobVolumeRecord& volume : context.volumes) {
    BackupDeviceInfo device;
    error = reader->GetDeviceConfigForVolume(volume.volume, device, volume.device);
    if (error.IsError()) return error.Push(FXCODELOC, "No device record for volume [%s]", volume.volume.c_str());
    records[volume.volume] = device;
  }
  return CQiError();
}

}  // namespace blbjob
