// Releasing a job's snapshots once its later phases are done with them.
#include <cstdio>

#include "held_snapshots.h"
#include "job_command.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/kzbf_harness.h"
#include "platform/sim/state_db_failure.h"
#include "subclient_lock.h"
#include "verbs/error_report.h"

namespace blbjob {
namespace {

int Release(const tools::Args& args) {
  Command command;
  std::string why;
  if (!ReadCommand(args, command, why)) return tools::UsageError("release", why);
  if (!command.options.empty()) return tools::UsageError("release", "unknown option " + command.options[0]);
  SubclientLock lock;
  if (!lock.Take("release", command.job)) return 1;
  const uint64_t jobId = command.job.GetJobId();
  std::vector<blbsim::JobVolumeRecord> volumes;
  const platform::StateDbResult read = blbsim::JobVolumes(jobId, volumes);
  if (!read) {
    tools::PrintError("cannot tell which snapshots job " + std::to_string(jobId) + " holds",
                      platform::StateDbFailure(FXCODELOC, read, "Cannot read the volumes of job %llu",
                                               static_cast<unsigned long long>(jobId)));
    return 1;
  }
  int status = 0;
  bool recorded = false;
  for (blbsim::JobVolumeRecord& volume : volumes) {
    if (volume.snapshot.empty()) continue;
    recorded = true;
    bool held = false;
    CQiError error = IsSnapshotHeld(volume, held);
    if (!error.IsError() && !held) {
      std::printf("snapshot %s: already gone\n", volume.snapshot.c_str());
    } else {
      if (!error.IsError()) error = blbsim::KzbfDestroySnapshot(volume.snapshot);
      if (error.IsError()) {
        tools::PrintError("cannot release " + volume.snapshot, error);
        status = 1;
        continue;
      }
      std::printf("snapshot %s: released\n", volume.snapshot.c_str());
    }
    // A device's volumes share its snapshot.
    const std::string released = volume.snapshot;
    for (blbsim::JobVolumeRecord& other : volumes)
      if (other.snapshot == released) other.snapshot.clear();
  }
  if (!recorded) {
    std::printf("job %llu holds no snapshot: nothing to release\n", static_cast<unsigned long long>(jobId));
    return 0;
  }
  const platform::StateDbResult stored = blbsim::SetJobVolumes(jobId, volumes);
  if (!stored) {
    tools::PrintError("cannot record which snapshots were released",
                      platform::StateDbFailure(FXCODELOC, stored, "Cannot store the volumes of job %llu",
                                               static_cast<unsigned long long>(jobId)));
    status = 1;
  }
  return status;
}

const tools::VerbRegistration kReleaseVerbs({
    {"release", "-- JOBARGS", "destroys the snapshots of the job's snapshot phase", Release},
});

}  // namespace
}  // namespace blbjob
