// Releasing a job's snapshots once its later phases are done with them.
// Only what the driver records as the job's is destroyed (held_snapshots.h),
// and "released" is said only of what was: a loop device that no longer
// reads the job's image (detached, or the machine restarted, and maybe
// given to another image since) is left alone, and so is an image that the
// driver records as another job's.
#include <algorithm>
#include <cstdio>
#include <set>

#include "held_snapshots.h"
#include "job_command.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/kzbf_harness.h"
#include "platform/sim/state_db_failure.h"
#include "snapshot_identity.h"
#include "subclient_lock.h"
#include "verbs/error_report.h"

namespace blbjob {
namespace {

// Destroys one of the job's snapshots and says what became of it; false
// when it could not. `named` is the name the job's record gives it: the
// driver names a snapshot by its image once its loop device went to a
// later one, and a command killed as the loop device was attached left
// the image as its name.
bool Destroy(const blbsim::KzbfSnapshot& snapshot, const std::string& owner, const std::string& named) {
  const std::string loop = snapshot.snapshot != snapshot.image ? snapshot.snapshot
                           : named != snapshot.image           ? named
                                                               : std::string();
  const std::string gone = loop.empty() ? std::string() : WhyNotTheSnapshot(loop, snapshot.image);
  blbsim::KzbfDestroyed destroyed;
  const CQiError error = blbsim::KzbfDestroySnapshotOf(snapshot.image, owner, destroyed);
  const std::string name = loop.empty() ? snapshot.image : loop;
  if (error.IsError()) {
    tools::PrintError("cannot release " + name, error);
    return false;
  }
  for (const std::string& device : destroyed.detached) std::printf("snapshot %s: released\n", device.c_str());
  if (!destroyed.detached.empty()) return true;
  if (!destroyed.imageRemoved) {
    std::printf(loop.empty() ? "snapshot %s: never made (its copy had not begun)\n" : "snapshot %s: already gone\n",
                name.c_str());
    return true;
  }
  // A copy cut short, on no loop device yet: its image was all of it.
  if (loop.empty()) {
    std::printf("snapshot %s: released\n", name.c_str());
    return true;
  }
  if (gone.empty()) {
    tools::PrintErrorLine("cannot detach %s from its image %s", loop.c_str(), snapshot.image.c_str());
    return false;
  }
  std::printf("snapshot %s: image removed, loop device left alone: %s\n", loop.c_str(), gone.c_str());
  return true;
}

int Release(const tools::Args& args) {
  Command command;
  std::string why;
  if (!ReadCommand(args, command, why)) return tools::UsageError("release", why);
  if (!command.options.empty()) return tools::UsageError("release", "unknown option " + command.options[0]);
  SubclientLock lock;
  if (!lock.Take("release", command.job)) return 1;
  const uint64_t jobId = command.job.GetJobId();
  const std::string owner = SnapshotOwner(jobId);
  // A job whose record cannot be read is never told it holds nothing: its
  // snapshots would be left for good.
  std::vector<blbsim::JobVolumeRecord> volumes;
  const platform::StateDbResult volumesRead = blbsim::JobVolumes(jobId, volumes);
  if (!volumesRead) {
    tools::PrintError("cannot tell which snapshots job " + std::to_string(jobId) + " holds",
                      platform::StateDbFailure(FXCODELOC, volumesRead, "Cannot read the volumes of job %llu",
                                               static_cast<unsigned long long>(jobId)));
    return 1;
  }
  std::vector<blbsim::KzbfSnapshot> recorded;
  const CQiError read = blbsim::KzbfSnapshots(recorded);
  if (read.IsError()) {
    tools::PrintError("cannot tell which snapshots job " + std::to_string(jobId) + " holds", read);
    return 1;
  }
  const std::vector<blbsim::KzbfSnapshot> held = JobSnapshots(jobId, volumes, recorded);
  int status = 0;
  bool any = false;
  // By image, or by name for a snapshot recorded gone; those that failed
  // stay recorded with the job.
  std::set<std::string> told, failed;
  const auto key = [](const blbsim::JobVolumeRecord& volume) {
    return volume.snapshotImage.empty() ? volume.snapshot : volume.snapshotImage;
  };
  for (const blbsim::JobVolumeRecord& volume : volumes) {
    if (volume.snapshot.empty()) continue;
    // A device's volumes share its snapshot.
    if (!told.insert(key(volume)).second) continue;
    any = true;
    const auto image = [&](const blbsim::KzbfSnapshot& snapshot) { return snapshot.image == volume.snapshotImage; };
    const auto mine = std::find_if(held.begin(), held.end(), image);
    const auto other = std::find_if(recorded.begin(), recorded.end(), image);
    if (mine != held.end()) {
      if (!Destroy(*mine, owner, volume.snapshot)) status = 1, failed.insert(key(volume));
    } else if (other != recorded.end()) {
      std::printf("snapshot %s: left alone: its image %s is %s's snapshot now\n", volume.snapshot.c_str(),
                  other->image.c_str(), other->owner.c_str());
    } else {
      std::printf("snapshot %s: already gone\n", volume.snapshot.c_str());
    }
  }
  // What the job took and did not record: its command was killed first.
  for (const blbsim::KzbfSnapshot& snapshot : held) {
    if (!told.insert(snapshot.image).second) continue;
    any = true;
    if (!Destroy(snapshot, owner, snapshot.snapshot)) status = 1;
  }
  if (!any) {
    std::printf("job %llu holds no snapshot: nothing to release\n", static_cast<unsigned long long>(jobId));
    return 0;
  }
  for (blbsim::JobVolumeRecord& volume : volumes)
    if (failed.count(key(volume)) == 0) volume.snapshot.clear();
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
