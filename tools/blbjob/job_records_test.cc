// The job command's verbs, run in process, with the read of what an earlier
// verb recorded of the job failed.
#include <gtest/gtest.h>

#include <algorithm>
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
  const char* told;  // what its one error line says
};

}  // namespace

// A verb that cannot read the job's volumes or its snapshot record fails
// with one error line naming the cause: release never says the job holds no
// snapshot (its snapshots would be left for good), run never takes a new
// snapshot over those it may hold, a pseudo-snap job never makes the
// snapshot job's record anew over the one stored. Nothing recorded changes.
TEST(JobRecords, AVerbThatCannotReadWhatTheJobRecordedFailsAndChangesNothing) {
  tools::Args pseudosnap = JobArgs("41");
  pseudosnap.insert(pseudosnap.begin(), {"--snap-job", "40"});
  tools::Args run = JobArgs("40");
  run.insert(run.begin(), {"--volume", "/mnt/a"});
  const Verb verbs[] = {
      {"FROM job_volumes WHERE job_id", "release", JobArgs("40"),
       "cannot tell which snapshots job 40 holds: Cannot read the volumes of job 40: "},
      {"FROM job_volumes WHERE job_id", "run", run, "cannot tell whether job 40 still holds a snapshot: "},
      {"FROM snap_records WHERE cell_id", "pseudosnap", pseudosnap,
       "cannot read what job 40 recorded: Cannot read the records of snapshot job 40: "}};
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
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        status = tools::RunVerb(verb.verb, verb.args);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(disk.Struck());
        EXPECT_EQ(out, "");
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find(verb.told), std::string::npos) << err;
      }
      EXPECT_EQ(status, 1);
      EXPECT_TRUE(Records() == before);
    }
  }
}
