// The job command turning the snapshot phase of a job on an ext4 file system
// of a loop device into a block-level backup job, as an engineer runs it.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/services/archive_manager.h"
#include "support/blbsim_command.h"
#include "support/fault_injection.h"
#include "support/loop_device.h"
#include "support/run_command.h"
#include "support/scoped_mount.h"
#include "support/test_platform.h"

namespace {

using testing_support::FaultPoint;
using testing_support::InjectedFault;
using testing_support::RunBlbsim;
using testing_support::RunCommand;

int RunBlbjob(const std::string& arguments, std::string* output = nullptr) {
  return RunCommand(std::string(BLBJOB_PATH) + " " + arguments + " 2>&1", output);
}

std::string Field(const std::string& line, const std::string& key) {
  const size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return "";
  const size_t start = at + key.size() + 2;
  return line.substr(start, line.find_first_of(" \n", start) - start);
}

// Destroys the snapshot job's snapshots however the test ends.
struct ReleaseSnapshotJob {
  ~ReleaseSnapshotJob() { RunBlbjob("release -- -a 2:7 -j 1001 -t 1 -d stow1 -jt TOK"); }
};

// Every test runs under a state directory of its own. The conversions start
// from an ext4 file system on a loop device whose snapshot job 1001 has
// taken its snapshot.
class blbjobPseudoSnap : public testing::Test {
 protected:
  static constexpr const char* kSnapshotJob = " -- -a 2:7 -j 1001 -t 1 -d stow1 -jt TOK";

  // Skips the test where no loop device or ext4 mount can be had.
  void TakeSnapshotOnExt4() {
    loop_ = std::make_unique<testing_support::ScopedLoopDevice>(64 << 20);
    BLB_SKIP_WITHOUT_LOOP_DEVICE(*loop_);
    ASSERT_EQ(RunCommand("mkfs.ext4 -q " + loop_->Device()), 0);
    ext4_ = std::make_unique<testing_support::ScopedMount>(loop_->Device(), "ext4");
    BLB_SKIP_WITHOUT_MOUNT(*ext4_);
    release_.emplace();
    std::string out;
    ASSERT_EQ(RunBlbjob("snapshot --volume " + ext4_->Path() + kSnapshotJob, &out), 0) << out;
  }

  testing_support::ScopedStateDir state_;
  std::unique_ptr<testing_support::ScopedLoopDevice> loop_;
  std::unique_ptr<testing_support::ScopedMount> ext4_;
  std::optional<ReleaseSnapshotJob> release_;
};

TEST_F(blbjobPseudoSnap, TurnsTheSnapshotJobIntoABackupJobOnce) {
  TakeSnapshotOnExt4();
  if (IsSkipped() || HasFatalFailure()) return;
  std::string out;
  const std::string pseudoSnap = "pseudosnap --snap-job 1001 --app-type 5 -- -a 2:7 -j 1002 -t 1 -d stow1 -jt TOK2";
  ASSERT_EQ(RunBlbjob(pseudoSnap, &out), 0) << out;
  EXPECT_EQ(out.rfind("pseudosnap job=1002 snapjob=1001 level=full afiles=", 0), 0u) << out;
  const std::string afiles = Field(out, "afiles");
  EXPECT_FALSE(afiles.empty()) << out;
  EXPECT_EQ(afiles.find(','), std::string::npos) << out;
  const std::string marker = Field(out, "marker");
  EXPECT_TRUE(testing_support::FileExists(marker)) << out;

  std::string clone;
  ASSERT_EQ(RunBlbsim(state_.Path(), "snap show 1002", &clone), 0) << clone;
  EXPECT_EQ(clone.rfind("job=1002 snapjob=1001 cell=2 engine=53 ", 0), 0u) << clone;
  EXPECT_NE(clone.find("volume id=1 path=" + ext4_->Path() + " options="), std::string::npos) << clone;
  EXPECT_NE(clone.find(" afile=" + afiles + "\n"), std::string::npos) << clone;
  EXPECT_NE(clone.find("snap id=1 source=" + loop_->Device() + "\n"), std::string::npos) << clone;
  // The clone is no snapshot job of its own, and it turned 1001 into a
  // backup: no snapshot job is left unmaterialised for a later one.
  ArMgrClientAPI archiveManager;
  GetUnMaterializedSnapsArgs_t args;
  args.appId = 7;
  args.currentSnapJobId = 2000;
  args.cellId = 2;
  GetUnMaterializedSnapsRet_t unmaterialized;
  ASSERT_EQ(archiveManager.getUnMaterializedSnaps(&args, &unmaterialized), 0);
  EXPECT_TRUE(unmaterialized.snaps.empty()) << unmaterialized.snaps.front().snapJobId;

  std::string files;
  ASSERT_EQ(RunBlbsim(state_.Path(), "afile list", &files), 0);
  ASSERT_EQ(RunBlbjob(pseudoSnap, &out), 0) << out;
  EXPECT_EQ(Field(out, "marker"), marker);
  EXPECT_EQ(Field(out, "afiles"), "");
  std::string filesAfter;
  ASSERT_EQ(RunBlbsim(state_.Path(), "afile list", &filesAfter), 0);
  EXPECT_EQ(filesAfter, files);
}

// With indexing V2 the converted job publishes its volume, carries the
// snapshot job's index forward and stores its catalogue.
TEST_F(blbjobPseudoSnap, PublishesTheVolumeAndCarriesTheIndexForward) {
  TakeSnapshotOnExt4();
  if (IsSkipped() || HasFatalFailure()) return;
  std::string out;
  ASSERT_EQ(RunBlbjob(std::string("scan") + kSnapshotJob, &out), 0) << out;
  ASSERT_EQ(RunBlbjob("pseudosnap --snap-job 1001 -- -a 2:7 -j 1002 -t 1 -d stow1 -jt TOK2", &out), 0) << out;
  EXPECT_NE(out.find("index items="), std::string::npos) << out;
  const std::string afile = Field(out, "afiles");

  std::string items, size;
  ASSERT_EQ(RunBlbsim(state_.Path(), "index items 1002", &items), 0) << items;
  ASSERT_EQ(RunCommand("blockdev --getsize64 " + loop_->Device(), &size), 0);
  size.erase(size.find_last_not_of("\n") + 1);
  EXPECT_EQ(items.find("header "), items.rfind("header ")) << items;
  EXPECT_EQ(Field(items, "size"), size) << items;
  std::string carried;
  ASSERT_EQ(RunBlbsim(state_.Path(), "index carryfwd 1002", &carried), 0);
  EXPECT_NE(carried.find("afile=" + afile + " "), std::string::npos) << carried;

  std::string shown;
  ASSERT_EQ(RunBlbsim(state_.Path(), "jobinfo show 1002", &shown), 0) << shown;
  EXPECT_NE(
      shown.find(" storage_type=2 flags=64 additional_flags=532 afile=" + afile + " delimiter=\"/\" uploaded=1\n"),
      std::string::npos)
      << shown;
  const std::string archive = state_.Path() + "/catalogue.7z", folder = state_.Path() + "/catalogue";
  ASSERT_EQ(RunBlbsim(state_.Path(), "jobinfo get 1002 BlockLevelCatalog BlockDeviceConfig.kzf.7z " + archive), 0);
  ASSERT_EQ(RunCommand("7z x -y -o" + folder + " " + archive + " >/dev/null"), 0);
  EXPECT_EQ(
      RunCommand("cmp " + folder + "/BlockDeviceConfig.kzf " + state_.Path() + "/jobresults/2/7/BlockDeviceConfig.kzf"),
      0);
}

// A rerun that finds the done marker reads the archive-file map: a map that
// cannot be written fails the job, naming why, and leaves no marker, so the
// rerun does the job and writes the map whole.
TEST_F(blbjobPseudoSnap, AMapThatCannotBeWrittenFailsTheJobWithoutItsMarker) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  TakeSnapshotOnExt4();
  if (IsSkipped() || HasFatalFailure()) return;
  std::string out;
  ASSERT_EQ(RunBlbjob(std::string("scan") + kSnapshotJob, &out), 0) << out;
  const std::string folder = state_.Path() + "/jobresults/2/7/";
  int job = 1002;
  for (const char* calls : {"open,openat", "write", "fsync", "rename,renameat,renameat2"}) {
    for (const InjectedFault fault : {InjectedFault::kNoSpace, InjectedFault::kIo}) {
      const std::string id = std::to_string(job++);
      const std::string pseudoSnap = "pseudosnap --snap-job 1001 -- -a 2:7 -j " + id + " -t 1 -d stow1 -jt TOK" + id;
      const std::string map = folder + id + "_SnapAFilePseudoAFileMap.kzf";
      const FaultPoint point{calls, fault, 1, map + ".tmp"};
      SCOPED_TRACE(testing_support::Describe(point));
      bool struck = false;
      EXPECT_EQ(
          testing_support::RunWithFault(std::string(BLBJOB_PATH) + " --verbose " + pseudoSnap, point, struck, &out), 1)
          << out;
      EXPECT_TRUE(struck);
      // The error line names the file and the system's cause; the chain
      // shown with --verbose names the map it was for.
      EXPECT_NE(out.find(map + ".tmp"), std::string::npos) << out;
      EXPECT_NE(out.find(fault == InjectedFault::kNoSpace ? "No space left on device (code=-28)"
                                                          : "Input/output error (code=-5)"),
                std::string::npos)
          << out;
      EXPECT_NE(out.find("Failed to save the archive-file map [" + map + "]"), std::string::npos) << out;
      EXPECT_FALSE(testing_support::FileExists(folder + id + "_PSnapADone.kzf"));

      ASSERT_EQ(RunBlbjob(pseudoSnap, &out), 0) << out;
      EXPECT_TRUE(testing_support::FileExists(folder + id + "_PSnapADone.kzf"));
      std::string record;
      ASSERT_EQ(RunBlbsim(state_.Path(), "snap show 1001", &record), 0) << record;
      EXPECT_EQ(testing_support::ReadFile(map), Field(record, "afile") + "|" + Field(out, "afiles") + "\n");
    }
  }
}

TEST_F(blbjobPseudoSnap, RefusesWhatCannotBeConverted) {
  const std::string job = " -- -a 2:7 -j 1002 -t 1 -d stow1 -jt TOK2";
  for (const char* wrong : {"pseudosnap", "pseudosnap --app-type 5", "pseudosnap --snap-job x",
                            "pseudosnap --snap-job 0", "pseudosnap --snap-job 1001 --fast"})
    EXPECT_EQ(RunBlbjob(std::string(wrong) + job), 2) << wrong;
  std::string out;
  // No snapshot phase was recorded for the snapshot job.
  EXPECT_EQ(RunBlbjob("pseudosnap --snap-job 1001 --app-type 5" + job, &out), 1);
  EXPECT_NE(out.find("job 1001 recorded no snapshot"), std::string::npos) << out;
}

}  // namespace
