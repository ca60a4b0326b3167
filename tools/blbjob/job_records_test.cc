// The job command's verbs, run in process, with the read of what an earlier
// verb recorded of the job failed.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/harness/job_harness.h"
#include "platform/harness/snap_harness.h"
#include "support/state_db_read_failure.h"
#include "support/test_platform.h"
#include "verbs/verb.h"

namespace {

using testing_support::StateDbReadFault;

tools::Args JobArgs(const std::string& job) {
  return {"--", "-a", "2:7", "-j", job, "-t", "1", "-d", "stow1", "-jt", "TOK"};
}

// Job 40's snapshot phase as the snapshot verb records it, and the snapshot
// engine's record of it.
void SeedSnapshotJob() {
  blbsim::JobVolumeRecord volume;
  volume.volume = "/mnt/a";
  volume.device = "/dev/sdz";
  volume.fsType = "ext4";
  volume.snapshot = "/dev/sdz-snap";
  volume.snapshotImage = "image-1";
  ASSERT_TRUE(blbsim::SetJobVolumes(40, {volume}));
  std::string why;
  ASSERT_TRUE(blbsim::AddSnapRecord("job=40 snapjob=40 cell=2 engine=7 copy=3 synthfull=0\n", why)) << why;
}

struct Recorded {
  std::vector<std::string> volumes;
  std::string snapRecord;
  bool operator==(const Recorded& other) const { return volumes == other.volumes && snapRecord == other.snapRecord; }
};

Recorded Records() {
  Recorded recorded;
  std::vector<blbsim::JobVolumeRecord> volumes;
  EXPECT_TRUE(blbsim::JobVolumes(40, volumes));
  for (const blbsim::JobVolumeRecord& volume : volumes)
    recorded.volumes.push_back(volume.volume + " " + volume.snapshot + " " + volume.snapshotImage);
  const std::optional<SMVolSnapInfo> record = blbsim::FindSnapRecord(40, 2);
  recorded.snapRecord = record ? record->ToText() : "none";
  return recorded;
}

struct Verb {
  const char* read;  // text of the statement whose read fails
  const char* verb;
  tools::Args args;
};

}  // namespace

// A verb that cannot read the job's volumes or its snapshot record fails:
// release never says the job holds no snapshot (its snapshots would be left
// for good), a pseudo-snap job never makes the snapshot job's record anew
// over the one stored. Nothing recorded changes.
TEST(JobRecords, AVerbThatCannotReadWhatTheJobRecordedFailsAndChangesNothing) {
  tools::Args pseudosnap = JobArgs("41");
  pseudosnap.insert(pseudosnap.begin(), {"--snap-job", "40"});
  const Verb verbs[] = {{"FROM job_volumes WHERE job_id", "release", JobArgs("40")},
                        {"FROM snap_records WHERE cell_id", "pseudosnap", pseudosnap}};
  for (const Verb& verb : verbs) {
    for (StateDbReadFault fault : {StateDbReadFault::kIoError, StateDbReadFault::kDenied}) {
      SCOPED_TRACE(std::string(verb.verb) + ", " + testing_support::Describe(fault));
      testing_support::ScopedStateDir state;
      SeedSnapshotJob();
      const Recorded before = Records();
      int status = 0;
      {
        testing_support::ScopedStateDbReadFailure disk;
        disk.FailReadOf(verb.read, 1, fault);
        status = tools::RunVerb(verb.verb, verb.args);
        EXPECT_TRUE(disk.Struck());
      }
      EXPECT_NE(status, 0);
      EXPECT_TRUE(Records() == before);
    }
  }
}
