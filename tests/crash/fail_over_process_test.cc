// A backup's snapshot task after a cluster fail-over, killed or failing at
// each of its file changes once its fail-over merge may have taken the
// bitmap the previous node left behind: the next backup's bitmap holds every
// left-behind bit, or the backup is full.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/guid/guid_factory.h"
#include "platform/harness/sim_harness.h"
#include "support/fault_injection.h"
#include "support/run_command.h"
#include "support/scratch_device.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

using testing_support::FaultPoint;
using testing_support::InjectedFault;
using testing_support::RunCommand;
using testing_support::WriteFile;

constexpr int kFull = 3;  // the tool's exit status for a full backup

// This machine's client 2 backs up "/mnt/a" on a KZBF-tracked device with
// subclient 7 of cell 2; the node took the volume over from another one.
struct FailedOverVolume {
  testing_support::ScopedStateDir state;
  // 16 extents of 1 MiB: the simulated driver reads the whole device at each call.
  testing_support::ScratchDevice device{state, 16 << 20};
  std::string listDir = state.Sub("jobresults/.BlockLevel");
  std::string dcf = state.Sub("dcf");
  std::string leftBehind = listDir + "/" + CGuidFactory::get_guid_nosalt("/mnt/a") + ".bmp";

  FailedOverVolume() {
    platform::SubclientRecord subclient;
    subclient.cellId = 2;
    subclient.appId = 7;
    subclient.clientId = 2;
    EXPECT_TRUE(blbsim::AddSubclient(subclient));
    EXPECT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "sKZBFSNAPPART", dcf));
    EXPECT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nExtentSizeForBlockFilterDriver", "1"));
    std::string output;
    EXPECT_EQ(RunCommand(Job("J0", "full") + " 2>&1", &output), kFull) << output;  // tracked from now on
  }

  std::string Job(const std::string& folder, const char* level = "incr") const {
    std::filesystem::create_directories(state.Sub(folder));
    return std::string(CRASH_TOOL) + " kzbf-job " + device.Path() + " " + state.Sub(folder) + " " + level;
  }
  std::string Pending() const { return leftBehind + ".pending"; }
  std::string BitmapOf(const std::string& folder) const {
    std::string name;
    VolumeBitMapHelper::GenerateBitmapFileName("/mnt/a", state.Sub(folder), name, device.Path(), "ext4");
    return testing_support::FileExists(name) ? testing_support::ReadFile(name) : "";
  }

  // The fail-over as the new node's cluster start leaves it: the volume
  // listed, the previous node's bitmap (extent 0) beside the list; and a
  // write on this node (extent 3). No backup is running.
  void FailOver() {
    for (const std::string& folder : {listDir, dcf})
      for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.path().extension() == ".hook" || entry.path().extension() == ".pending")
          std::filesystem::remove(entry.path());
    std::filesystem::remove_all(state.Sub("next"));
    WriteFile(listDir + "/.AttachedVolumes", "/mnt/a|1048576|2|0\n");
    WriteFile(leftBehind, std::string("\x01\x00", 2));
    device.Write(3 << 20);
  }
};

}  // namespace

TEST(FailOverProcess, ABackupDyingAfterItsMergeLeavesTheLeftBehindBitsToTheNext) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  FailedOverVolume volume;
  testing_support::ForEveryFaultPoint(
      testing_support::FileChangingCalls(), {InjectedFault::kKill, InjectedFault::kNoSpace, InjectedFault::kIo}, 40,
      [&] { volume.FailOver(); }, volume.Job("J1"),
      [&](const FaultPoint&, int status, const std::string& output) {
        if (status == 0 || status == kFull) return;  // the left-behind bits went to this backup
        if (!testing_support::FileExists(volume.leftBehind) && !testing_support::FileExists(volume.Pending())) {
          // Past the merge's last removal the bits are this job's own: the
          // next job's snapshot task keeps them for it (its -lsjid, the last
          // job that completed, comes before this one).
          const std::string own = volume.BitmapOf("J1");
          EXPECT_TRUE(own.size() == 2 && (own[0] & 0x01) != 0) << "the left-behind extent 0 is in no bitmap, after:\n"
                                                               << output;
          return;
        }
        std::string next;
        const int nextStatus = RunCommand(volume.Job("next") + " 2>&1", &next);
        ASSERT_TRUE(nextStatus == 0 || nextStatus == kFull) << next;
        const std::string bitmap = volume.BitmapOf("next");
        EXPECT_TRUE(nextStatus == kFull || (bitmap.size() == 2 && (bitmap[0] & 0x01) != 0))
            << "the next backup misses the left-behind extent 0, after:\n"
            << output;
      });
}

// The snapshot task lists the volume for a later fail-over; a list that
// did not take it fails the task instead of passing for success.
TEST(FailOverProcess, ABackupReportsSuccessOnlyWithItsVolumeListed) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  FailedOverVolume volume;
  const std::string list = volume.listDir + "/.AttachedVolumes";
  testing_support::ForEveryFaultPoint(
      testing_support::FileChangingCalls(), {InjectedFault::kNoSpace, InjectedFault::kIo}, 40,
      [&] {
        volume.FailOver();
        std::filesystem::remove(volume.leftBehind);
        WriteFile(list, "/mnt/b|1048576|2|0\n");  // "/mnt/a" not listed yet
      },
      volume.Job("J1"),
      [&](const FaultPoint&, int status, const std::string& output) {
        if (status == 0 || status == kFull) {
          EXPECT_NE(testing_support::ReadFile(list).find("/mnt/a|1048576|2|0\n"), std::string::npos) << output;
        }
      });
}

// Each removal of the merge is on disk before the bitmap step returns: the
// left-behind bitmap whose bits went to a pending one there already, an
// unreadable one, each before the job's bitmap is written; the pending one
// once the snapshot task is done, before the job goes on. A sync that
// fails there leaves no incremental: the backup goes full or fails.
TEST(FailOverProcess, EachRemovalOfTheMergeIsOnDiskBeforeTheStepReturns) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  FailedOverVolume volume;
  struct Case {
    std::string what;
    std::string pending, leftBehind;  // what the earlier backup and the previous node left
    std::string removed, next;        // the file removed, and the text of what comes after the step
    int statusOnFailedSync;
  };
  const std::string two("\x02\x00", 2), jobFolder = volume.state.Sub("J1");
  const std::vector<Case> cases = {
      {"the left-behind bitmap beside a pending one", two, two, volume.leftBehind, jobFolder, kFull},
      {"an unreadable left-behind bitmap", "", "x", volume.leftBehind, jobFolder, kFull},
      {"the pending bitmap", "", two, volume.Pending(), "exit_group", 1},
  };
  for (const Case& c : cases) {
    const auto prepare = [&] {
      volume.FailOver();
      if (!c.pending.empty()) WriteFile(volume.Pending(), c.pending);
      WriteFile(volume.leftBehind, c.leftBehind);
    };
    prepare();
    const int sync = testing_support::FolderSyncAfterRemoval(
        testing_support::TraceCalls(volume.Job("J1"), "openat,unlink,unlinkat,rename,fsync,exit_group"), c.removed,
        volume.listDir, c.next);
    EXPECT_GT(sync, 0) << "the removal of " << c.what << " is not synced before the step returns";
    if (sync == 0) continue;

    prepare();
    bool struck = false;
    std::string output;
    const int status = testing_support::RunWithFault(
        volume.Job("J1"), FaultPoint{"fsync", InjectedFault::kIo, sync, volume.listDir}, struck, &output);
    EXPECT_TRUE(struck) << c.what;
    EXPECT_EQ(status, c.statusOnFailedSync) << c.what << ": " << output;
  }
}
