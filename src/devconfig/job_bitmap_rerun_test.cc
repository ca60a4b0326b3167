// The snapshot phase of a job run again under its own id, as after a failed
// or interrupted backup: the driver's bits taken by the earlier attempt stay
// in the job's bitmap, or the volume goes full.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "blocklevel/blocklevel.h"
#include "devconfig/devconfig_test_fixtures.h"
#include "devconfig/kz_device_config_handler.h"
#include "platform/harness/application_harness.h"
#include "platform/harness/kzbf_harness.h"
#include "platform/harness/services_harness.h"
#include "support/loop_device.h"
#include "support/test_platform.h"
#include "tracking/volume_bitmap_helper.h"

using devconfig_test::AddUnixJob;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedLoopDevice;
using testing_support::ScopedStateDir;

namespace {

struct RerunJob {
  ScopedStateDir state;
  ScopedLoopDevice loop{64 << 20};  // 16 extents of 4 MiB: a 2-byte bitmap

  // Subclient 2/7 of a file system backs the device up at block level; the
  // device stands for itself as its volume, as in the contents.
  void AddSubclient() const {
    AddUnixJob(1);
    blbsim::SetApplicationTypes(2, {{29, "File System"}});
    platform::BackupSetRecord backupSet;
    backupSet.id = 129;
    backupSet.clientId = 2;
    backupSet.appType = 29;
    blbsim::AddBackupSet(backupSet);
    platform::SubclientRecord subclient;
    subclient.cellId = 2;
    subclient.appId = 7;
    subclient.clientId = 2;
    subclient.appType = 29;
    subclient.backupSetId = 129;
    subclient.blockLevelFlags = platform::SubclientRecord::kBlockLevel;
    blbsim::AddSubclient(subclient);
    blbsim::SetSubclientContents(2, 7, {loop.Device()});
  }

  std::string BitmapFile() const {
    std::string path;
    VolumeBitMapHelper::GenerateBitmapFileName(loop.Device(), state.Sub("jobresults/2/7"), path, loop.Device(), "ext4");
    return path;
  }
  // The job's snapshot phase as the job command runs it: the previous jobs'
  // bitmap files go, then the steps before and after the snapshot.
  SMVolBlock Run(int job, int level, std::vector<std::string> more = {}) {
    platform::JobRecord record;
    record.jobId = static_cast<uint64_t>(job);
    record.cellId = 2;
    record.appId = 7;
    record.level = level;
    record.token = "TOK";
    blbsim::AddJob(record);
    std::vector<std::string> args = devconfig_test::UnixJobArgs(level, more);
    args[3] = std::to_string(job);
    std::unique_ptr<KzDeviceConfigHandler> handler(GetBlockDeviceConfigHandler(args));
    SMVolBlock block;
    block.sDevice = loop.Device();
    block.sVolume = loop.Device();
    block.sFSType = "ext4";
    block.sMountOptions = "rw";
    block.nAppType = 29;
    block.nAppId = 7;
    block.nVornCellId = 2;
    std::vector<SMVolBlock> volumes = {block};
    EXPECT_NE(handler, nullptr);
    if (!handler) return block;
    EXPECT_FALSE(handler->CleanPrevJobConfigFiles().IsError());
    handler->InitWrite(false, true);
    for (bool post : {false, true}) {
      CQiError error = handler->ExecutePrePostSnapTask(volumes, 4, level, 1, post);
      EXPECT_FALSE(error.IsError()) << error.AsString();
    }
    return volumes.empty() ? block : volumes[0];
  }
  void Write(std::vector<uint64_t> extents) { EXPECT_FALSE(blbsim::KzbfMarkExtents(loop.Device(), extents).IsError()); }
};

}  // namespace

TEST(JobBitmapRerun, AJobRunAgainKeepsWhatItsEarlierAttemptTookOrGoesFull) {
  RerunJob job;
  BLB_SKIP_WITHOUT_LOOP_DEVICE(job.loop);
  job.AddSubclient();
  job.Run(1000, 1);
  job.Write({3});
  EXPECT_FALSE(job.Run(1001, 2).bForceFull);
  EXPECT_EQ(ReadFile(job.BitmapFile()), std::string("\x08\x00", 2));

  // The first attempt's backup failed: the re-run lists extent 3 as well as
  // the later write, and so does every further re-run.
  job.Write({9});
  EXPECT_FALSE(job.Run(1001, 2).bForceFull);
  EXPECT_EQ(ReadFile(job.BitmapFile()), std::string("\x08\x02", 2));
  EXPECT_FALSE(job.Run(1001, 2).bForceFull);
  EXPECT_EQ(ReadFile(job.BitmapFile()), std::string("\x08\x02", 2));

  // The next job starts from what changed after the last attempt only; the
  // earlier job's marks go with its file.
  job.Write({12});
  EXPECT_FALSE(job.Run(1002, 2).bForceFull);
  EXPECT_EQ(ReadFile(job.BitmapFile()), std::string("\x00\x10", 2));
  EXPECT_FALSE(FileExists(job.BitmapFile() + ".1001"));

  // An earlier attempt's file of another size is no record of its bits: the
  // re-run is full.
  ASSERT_EQ(::truncate(job.BitmapFile().c_str(), 1), 0);
  job.Write({5});
  EXPECT_TRUE(job.Run(1002, 2).bForceFull);
}

TEST(JobBitmapRerun, ANewJobAfterAnUncompletedOneAddsWhatThatOneTook) {
  RerunJob job;
  BLB_SKIP_WITHOUT_LOOP_DEVICE(job.loop);
  job.AddSubclient();
  job.Run(1000, 1);
  job.Write({3});
  job.Run(1001, 2, {"-lsjid", "1000"});
  EXPECT_EQ(ReadFile(job.BitmapFile()), std::string("\x08\x00", 2));

  // Job 1001 never completed: the next job id, its last completed job still
  // 1000, lists extent 3 as well, and takes the file over from 1001.
  job.Write({9});
  EXPECT_FALSE(job.Run(1002, 2, {"-lsjid", "1000"}).bForceFull);
  EXPECT_EQ(ReadFile(job.BitmapFile()), std::string("\x08\x02", 2));
  EXPECT_FALSE(FileExists(job.BitmapFile() + ".1001"));
  EXPECT_TRUE(FileExists(job.BitmapFile() + ".1002"));

  // Once 1002 completed, the job after it starts from later writes only; so
  // does a job whose arguments name no completed job, or one later than the
  // job that marked the file.
  job.Write({12});
  job.Run(1003, 2, {"-lsjid", "1002"});
  EXPECT_EQ(ReadFile(job.BitmapFile()), std::string("\x00\x10", 2));
  job.Write({1});
  job.Run(1004, 2, {"-lsjid", "-1"});
  EXPECT_EQ(ReadFile(job.BitmapFile()), std::string("\x02\x00", 2));
  job.Write({2});
  job.Run(1005, 2, {"-lsjid", "999"});
  EXPECT_EQ(ReadFile(job.BitmapFile()), std::string("\x06\x00", 2));
  job.Write({4});
  job.Run(1006, 2, {"-lsjid", "1010"});
  EXPECT_EQ(ReadFile(job.BitmapFile()), std::string("\x10\x00", 2));
}

// A job run on another job's snapshot ("-snapJID") marks the file with its
// own id, the one "-lsjid" names once it completed.
TEST(JobBitmapRerun, AJobOnAnotherJobsSnapshotMarksTheFileWithItsOwnId) {
  RerunJob job;
  BLB_SKIP_WITHOUT_LOOP_DEVICE(job.loop);
  job.AddSubclient();
  job.Run(1000, 1);
  job.Write({3});
  job.Run(1001, 2, {"-snapJID", "900", "-lsjid", "1000"});
  EXPECT_EQ(ReadFile(job.BitmapFile()), std::string("\x08\x00", 2));

  // Job 1001 never completed: the next job adds what it took.
  job.Write({9});
  EXPECT_FALSE(job.Run(1002, 2, {"-lsjid", "1000"}).bForceFull);
  EXPECT_EQ(ReadFile(job.BitmapFile()), std::string("\x08\x02", 2));

  // Job 1003, on the snapshot of a later job, completed: the job after it
  // starts from later writes only.
  job.Write({12});
  job.Run(1003, 2, {"-snapJID", "1500", "-lsjid", "1002"});
  EXPECT_EQ(ReadFile(job.BitmapFile()), std::string("\x00\x10", 2));
  job.Write({1});
  job.Run(1004, 2, {"-lsjid", "1003"});
  EXPECT_EQ(ReadFile(job.BitmapFile()), std::string("\x02\x00", 2));
}
