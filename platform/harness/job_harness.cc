#include "platform/harness/job_harness.h"

#include "platform/config/agent_config.h"
#include "platform/harness/harness_reads.h"
#include "platform/sim/state_db.h"

namespace blbsim {

platform::StateDbResult AddJob(const platform::JobRecord& job) {
  return platform::JobService::Current().PutJob(job);
}

platform::StateDbResult FindJob(uint64_t jobId, std::optional<platform::JobRecord>& job) {
  return platform::JobService::Current().FindJob(jobId, job);
}

std::optional<platform::JobRecord> FindJob(uint64_t jobId) {
  return ReadOrThrow<std::optional<platform::JobRecord>>(
      [jobId](std::optional<platform::JobRecord>& job) { return FindJob(jobId, job); });
}

bool SetJobQuitFlag(uint64_t jobId, bool quit) {
  return platform::JobService::Current().SetQuitFlag(jobId, quit);
}

bool JobQuitFlag(uint64_t jobId) {
  return ReadOrThrow<std::optional<bool>>(
             [jobId](std::optional<bool>& quit) { return platform::JobService::Current().QuitFlag(jobId, quit); })
      .value_or(false);
}

platform::StateDbResult SetJobVolumes(uint64_t jobId, const std::vector<JobVolumeRecord>& volumes) {
  platform::StateDb& db = platform::StateDb::Current();
  return db.Transaction([&] {
    platform::SqlStatement remove(db, "DELETE FROM job_volumes WHERE job_id = ?;");
    if (!remove.BindUnsigned(1, jobId).Run()) return remove.Result();
    long long position = 0;
    for (const JobVolumeRecord& volume : volumes) {
      platform::SqlStatement put(db,
                                 "INSERT INTO job_volumes (job_id, position, volume, device, fs_type, mount_options, "
                                 "snapshot, snapshot_image, bitmap_file, force_full) "
                                 "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?);");
      put.BindUnsigned(1, jobId)
          .Bind(2, position++)
          .Bind(3, volume.volume)
          .Bind(4, volume.device)
          .Bind(5, volume.fsType)
          .Bind(6, volume.mountOptions)
          .Bind(7, volume.snapshot)
          .Bind(8, volume.snapshotImage)
          .Bind(9, volume.bitmapFile)
          .Bind(10, volume.forceFull ? 1 : 0);
      if (!put.Run()) return put.Result();
    }
    return platform::StateDbResult();
  });
}

platform::StateDbResult JobVolumes(uint64_t jobId, std::vector<JobVolumeRecord>& volumes) {
  platform::SqlStatement query(
      platform::StateDb::Current(),
      "SELECT volume, device, fs_type, mount_options, snapshot, snapshot_image, bitmap_file, force_full "
      "FROM job_volumes WHERE job_id = ? ORDER BY position;");
  query.BindUnsigned(1, jobId);
  return platform::ReadRows(query, volumes, [](const platform::SqlStatement& row) {
    JobVolumeRecord volume;
    volume.volume = row.Text(0);
    volume.device = row.Text(1);
    volume.fsType = row.Text(2);
    volume.mountOptions = row.Text(3);
    volume.snapshot = row.Text(4);
    volume.snapshotImage = row.Text(5);
    volume.bitmapFile = row.Text(6);
    volume.forceFull = row.Int(7) != 0;
    return volume;
  });
}

platform::StateDbResult RecordSnapshotGone(const std::string& image) {
  platform::SqlStatement update(platform::StateDb::Current(),
                                "UPDATE job_volumes SET snapshot_image = '' WHERE snapshot_image = ?;");
  update.Bind(1, image).Run();
  return update.Result();
}

std::vector<platform::JobClientCall> JobClientCalls(uint64_t jobId) {
  return ReadOrThrow<std::vector<platform::JobClientCall>>([jobId](std::vector<platform::JobClientCall>& calls) {
    return platform::JobService::Current().Calls(jobId, calls);
  });
}

std::optional<uint32_t> JobServiceAttributes(uint64_t jobId) {
  return ReadOrThrow<std::optional<uint32_t>>([jobId](std::optional<uint32_t>& attributes) {
    return platform::JobService::Current().Attributes(jobId, attributes);
  });
}

bool SetVornServeHost(const std::string& host) {
  return platform::AgentConfig::Current().SetVornServeHost(host);
}

std::optional<std::string> VornServeHost() {
  return ReadOrThrow<std::optional<std::string>>(
      [](std::optional<std::string>& host) { return platform::AgentConfig::Current().VornServeHost(host); });
}

}  // namespace blbsim
