// The writers of the attached-volume list killed at each of their file
// changes, or failing there for want of space or by an I/O error, and a
// start whose services fail before it gets to the list: a hard fail-over's
// start and a backup's fail-over merge. The volume stays tracked by this
// node's driver, as on a cluster node that backed it up before: whatever the
// point, the next backup of a volume whose changes the list must carry is
// full.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/sim/fault_table.h"
#include "support/fault_injection.h"
#include "support/run_command.h"
#include "tracking/cluster_test_fixtures.h"

namespace {

using cluster_test::ClusterNode;
using testing_support::FaultPoint;
using testing_support::InjectedFault;
using testing_support::WriteFile;

const std::vector<InjectedFault> kEveryFault = {InjectedFault::kKill, InjectedFault::kNoSpace, InjectedFault::kIo};
const std::string kAllOnes("\xFF\xFF", 2);

// Volume "a" on image A, listed and registered for client 5's subclient 7.
// The driver tracks 1 MiB extents of a 16 MiB image (2-byte bitmaps, as the
// node's other volumes): it reads the whole device at each call.
struct ListedVolume : ClusterNode {
  std::string image = SmallImage();
  std::string mount = Mount("a", image);
  std::string key = Key(mount);
  std::string destination = state.Sub("job.bmp");

  ListedVolume() { EXPECT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nExtentSizeForBlockFilterDriver", "1")); }

  std::string SmallImage() const {
    const std::string path = state.Sub("A.img");
    WriteFile(path, "");
    std::filesystem::resize_file(path, 16 << 20);
    return path;
  }
  std::string Listed(int dirty) const { return mount + "|1048576|2|" + std::to_string(dirty) + "\n"; }

  // Back to the volume backed up on this node once (its driver tracks it,
  // its subclient's cache is there), written to since (extent 11), and
  // listed with the dirty flag given.
  void Reset(int dirty) {
    std::filesystem::remove_all(listDir);
    std::filesystem::remove_all(dcf);
    std::filesystem::create_directories(listDir);
    std::filesystem::create_directories(dcf);
    WriteFile(monitored, Record(image, key));
    platform::KzBfDeviceStatus status;
    if (!blbsim::KzbfQuery(image, status).IsError() && status.attached) {
      EXPECT_FALSE(blbsim::KzbfDetach(image).IsError());
    }
    std::string output;
    EXPECT_EQ(testing_support::RunCommand(GetAndClear() + " 2>&1", &output), 0) << output;
    std::filesystem::remove(destination);
    WriteFile(list, Listed(dirty));
    EXPECT_FALSE(blbsim::KzbfMarkExtents(image, {11}).IsError());
  }

  std::string GetAndClear() const {
    return std::string(CLUSTER_TOOL) + " getandclear " + image + " " + mount + " " + key + " " + destination;
  }
  // The next backup's bitmap step: full by its flag or by its bitmap.
  void ExpectNextBackupFull(const std::string& why) const {
    std::string output;
    ASSERT_EQ(testing_support::RunCommand(GetAndClear() + " 2>&1", &output), 0) << output;
    EXPECT_TRUE(output == "forcefull=1\n" || Contents(destination) == kAllOnes)
        << "the next backup is an incremental after " << why << ": " << output;
  }
};

}  // namespace

TEST(ClusterFault, AHardFailOverStartThatFailsOrDiesLeavesTheNextBackupFull) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  ListedVolume volume;
  ListedVolume* node = &volume;
  testing_support::ForEveryFaultPoint(
      testing_support::FileChangingCalls(), kEveryFault, 20,
      [&] {
        node->Reset(0);
        // The previous node's stale bitmap: a hard fail-over must not use it.
        WriteFile(node->LeftBehind(node->mount), std::string("\x01\x00", 2));
      },
      std::string(CLUSTER_TOOL) + " start",
      [&](const FaultPoint& point, int status, const std::string& output) {
        if (point.fault != InjectedFault::kKill) {
          // A change to the list that did not reach the disk fails the start.
          const bool listWritten = node->Contents(node->list) == node->Listed(1);
          EXPECT_TRUE(status != 0 || listWritten) << output;
        }
        node->ExpectNextBackupFull(testing_support::Describe(point));
      });
}

TEST(ClusterFault, AMergeThatCannotSaveTheConsumedDirtyMarkLeavesTheNextBackupFull) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  ListedVolume volume;
  ListedVolume* node = &volume;
  testing_support::ForEveryFaultPoint(
      testing_support::FileChangingCalls(), kEveryFault, 30,
      [&] {
        node->Reset(1);  // marked dirty by a hard fail-over's start
        EXPECT_FALSE(blbsim::KzbfMarkExtents(node->image, {3}).IsError());
      },
      [&] { return node->GetAndClear(); },
      [&](const FaultPoint& point, int status, const std::string& output) {
        if (status == 0) {
          // This backup was full; the next one need not be.
          EXPECT_EQ(output, "forcefull=1\n");
          return;
        }
        node->ExpectNextBackupFull(testing_support::Describe(point));
      });
}

// The start fails at the list's temporary, or before it could get to the
// list at all: it says so, and the volume's next backup is full.
TEST(ClusterFault, AHardFailOverStartThatCannotMarkTheVolumeReportsItAndLeavesTheNextBackupFull) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  ListedVolume node;
  const std::string start = std::string(CLUSTER_TOOL) + " start 2>&1";
  const auto expectFailedStartFull = [&](const std::string& command, const std::string& why,
                                         const char* failedCall = nullptr) {
    node.Reset(0);
    if (failedCall != nullptr) platform::FaultTable::Set(failedCall, 5);
    std::string output;
    EXPECT_NE(testing_support::RunCommand(command, &output), 0) << why << ": " << output;
    platform::FaultTable::ClearAll();
    node.ExpectNextBackupFull(why);
  };
  const std::string strace = "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -o /dev/null -P ";
  for (const char* calls : {"open,openat", "write,pwrite64,writev", "fsync,fdatasync", "rename,renameat,renameat2"})
    for (const char* error : {"ENOSPC", "EIO"})
      expectFailedStartFull(
          strace + node.list + ".tmp -e trace=" + calls + " -e inject=" + calls + ":error=" + error + " " + start,
          std::string(error) + " at " + calls + " of the list's temporary");
  expectFailedStartFull(strace + node.list + " -e trace=read -e inject=read:error=EIO " + start, "the list unread");
  expectFailedStartFull(
      strace + node.state.Sub("agent.db") + " -e trace=pread64,read -e inject=pread64,read:error=EIO " + start,
      "the state database unread");
  // The service that finds the list's folder, the mount table, the list's
  // lock.
  for (const char* call : {"KZPI_VornClient::getJobResultsDirectory", "KzMntTab::getAll", "KzFileLock::lock"})
    expectFailedStartFull(start, call, call);
}
