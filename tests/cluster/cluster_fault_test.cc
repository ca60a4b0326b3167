// The writers of the attached-volume list killed at each of their file
// changes, or failing there for want of space or by an I/O error, and a
// start whose services fail before it gets to the list: a hard fail-over's
// start and a backup's fail-over merge. The volume stays tracked by this
// node's driver, as on a cluster node that backed it up before: whatever the
// point, the next backup of a volume whose changes the list must carry is
// full.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/harness/sim_harness.h"
#include "platform/sim/fault_table.h"
#include "support/fault_injection.h"
#include "support/run_command.h"
#include "support/scoped_mount.h"
#include "tracking/cluster_test_fixtures.h"
#include "tracking/runtime_full_marks.h"

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
  // This machine's job results (the list's folder) and the driver cache
  // folder on the file system mounted at root.
  void MoveFoldersTo(const std::string& root) {
    std::optional<platform::ClientRecord> local = blbsim::FindClient(2);
    ASSERT_TRUE(local.has_value());
    local->jobResultsDir = root + "/jobresults";
    ASSERT_TRUE(blbsim::AddClient(*local));
    listDir = local->jobResultsDir + "/.BlockLevel";
    list = listDir + "/.AttachedVolumes";
    marker = listDir + "/.BlkLvlSoftFailover";
    dcf = root + "/dcf";
    monitored = dcf + "/BLKVolumeMoniterList.kzf";
    EXPECT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "sKZBFSNAPPART", dcf));
  }
  // The next backup's bitmap step: full by its flag or by its bitmap.
  void ExpectNextBackupFull(const std::string& why) const {
    std::string output;
    ASSERT_EQ(testing_support::RunCommand(GetAndClear() + " 2>&1", &output), 0) << output;
    EXPECT_TRUE(output == "forcefull=1\n" || Contents(destination) == kAllOnes)
        << "the next backup is an incremental after " << why << ": " << output;
  }
};

// A hard start with the state directory read-only and the driver keeping
// the device (its detach fails), run with the environment given: its exit
// status, and output. The directory is writable again after.
int StartOnReadOnlyState(const testing_support::ScopedMount& stateFs, std::string& output,
                         const std::string& environment = "") {
  const auto remount = [&](const std::string& mode) {
    std::string remounted;
    EXPECT_EQ(testing_support::RunCommand("mount -o remount," + mode + " " + stateFs.Path() + " 2>&1", &remounted), 0)
        << remounted;
  };
  remount("ro");
  platform::FaultTable::Set("KzBfDriver::detachDevice", EIO);
  const int status = testing_support::RunCommand(environment + std::string(CLUSTER_TOOL) + " start 2>&1", &output);
  platform::FaultTable::ClearAll();
  remount("rw");
  return status;
}

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
  // The dirty list renamed into place, but under a name a power loss may
  // take back.
  expectFailedStartFull(strace + node.listDir + " -e trace=fsync -e inject=fsync:error=EIO " + start,
                        "the list's folder unsynced");
  expectFailedStartFull(
      strace + node.state.Sub("agent.db") + " -e trace=pread64,read -e inject=pread64,read:error=EIO " + start,
      "the state database unread");
  // The service that finds the list's folder, the mount table, the list's
  // lock.
  for (const char* call : {"KZPI_VornClient::getJobResultsDirectory", "KzMntTab::getAll", "KzFileLock::lock"})
    expectFailedStartFull(start, call, call);
}

// The start's first step cannot make the volume's hook, for the cause that
// then fails the start at the list: the start says it failed, and a mark
// that needs no new file (the list's dirty flag set in place, else the
// driver no longer tracking the device, else the last mark in the runtime
// folder) leaves the next backup full. Only when nothing at all can mark the
// volume does the start say it must be.
TEST(ClusterFault, AStartThatCannotMakeItsHookStillLeavesTheNextBackupFull) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  testing_support::ScopedMount few("tmpfs", "tmpfs", "size=16M,nr_inodes=64");
  BLB_SKIP_WITHOUT_MOUNT(few);
  ListedVolume node;
  node.MoveFoldersTo(few.Path());
  const std::string fillers = few.Path() + "/fill";
  const std::string hook = node.dcf + "/" + node.key + ".hook", temporary = node.list + ".tmp";
  const std::string strace = "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -o /dev/null ";
  // The hook's create (the first open of the hook or the temporary) fails
  // with the error, and so do the temporary's calls named.
  const auto hookAndTemporary = [&](const std::string& calls, const std::string& error) {
    const std::string opens = "open,openat", paths = "-P " + hook + " -P " + temporary;
    if (calls == opens) return strace + paths + " -e trace=" + opens + " -e inject=" + opens + ":error=" + error + " ";
    return strace + paths + " -e trace=" + opens + "," + calls + " -e inject=" + opens + ":error=" + error +
           ":when=1 -e inject=" + calls + ":error=" + error + " ";
  };
  struct Case {
    std::string why;
    std::string wrapper;                // the start's command line before the tool's
    std::vector<const char*> failures;  // calls failed with EIO through the fault table
    bool outOfInodes = false;
    bool markable = true;
    std::string says;  // what the failed start says, when it must say something
  };
  std::vector<Case> cases;
  for (const char* error : {"EIO", "ENOSPC"})
    for (const char* calls : {"open,openat", "write,pwrite64,writev", "fsync,fdatasync", "rename,renameat,renameat2"})
      cases.push_back({std::string(error) + " at the hook's create and at " + calls + " of the list's temporary",
                       hookAndTemporary(calls, error)});
  cases.push_back({"the list's and the hooks' file system out of inodes", "", {}, true});
  cases.push_back(
      {"EIO reading the list and the registrations", strace + "-P " + node.list + " -P " + node.monitored +
                                                         " -e trace=read,pread64 -e inject=read,pread64:error=EIO "});
  const std::string listUnwritable =
      strace + "-P " + node.list + " -P " + temporary + " -e trace=write,pwrite64 -e inject=write,pwrite64:error=EIO ";
  cases.push_back(
      {"EIO at the hook's create and at every write of the list", listUnwritable, {"FXFile::KZCreateFile"}});
  const std::string ownCode = "code=-1117 | ";  // whatever the cause's
  const std::string nothingMarksTheVolume =
      "Nothing marks [" + node.mount + "] for a full backup: the next backup of each must be full";
  cases.push_back({"nothing to mark the volume with",
                   listUnwritable,
                   {"FXFile::KZCreateFile", "KzBfDriver::detachDevice"},
                   false,
                   false,
                   nothingMarksTheVolume});
  // The hook and the last mark (both a new file) and the detach fail, and
  // so does the list's temporary: only the dirty flag set in place marks it.
  cases.push_back({"only the dirty flag in place to mark the volume with",
                   strace + "-P " + temporary + " -e trace=open,openat -e inject=open,openat:error=EIO ",
                   {"FXFile::KZCreateFile", "KzBfDriver::detachDevice"}});
  // Every fsync of the hooks' folder and of the list's file and temporary
  // fails: neither the hook nor the dirty flag nor the start's own mark is
  // on disk, the driver keeps the device; the last mark is what marks it,
  // and when its folder cannot be synced either, nothing does.
  const std::string unsynced = strace + "-P " + node.dcf + " -P " + node.list + " -P " + temporary;
  const std::string failFsync = " -e trace=fsync,fdatasync -e inject=fsync,fdatasync:error=EIO ";
  cases.push_back(
      {"no fsync of the hooks' folder or the list's file, no detach",
       unsynced + failFsync,
       {"KzBfDriver::detachDevice"},
       false,
       true,
       "Only marks in the runtime folder [" + node.runtime + "] make the next backup of [" + node.mount + "] full"});
  cases.push_back({"no fsync of the hooks' folder, the list's file or the runtime folder, no detach",
                   unsynced + " -P " + node.runtime + failFsync,
                   {"KzBfDriver::detachDevice"},
                   false,
                   false,
                   nothingMarksTheVolume});

  const std::string start = std::string(CLUSTER_TOOL) + " start 2>&1";
  for (const Case& c : cases) {
    node.Reset(0);
    if (c.outOfInodes) {
      std::filesystem::create_directories(fillers);
      int failure = 0;
      for (int i = 0; i < 1000 && failure == 0; ++i) {
        std::FILE* file = std::fopen((fillers + "/" + std::to_string(i)).c_str(), "w");
        if (file == nullptr) failure = errno;
        if (file != nullptr) std::fclose(file);
      }
      ASSERT_EQ(failure, ENOSPC);
    }
    for (const char* call : c.failures) platform::FaultTable::Set(call, EIO);
    std::string output;
    EXPECT_NE(testing_support::RunCommand(c.wrapper + start, &output), 0) << c.why << ": " << output;
    platform::FaultTable::ClearAll();
    std::filesystem::remove_all(fillers);
    if (!c.says.empty()) {
      // The start says what the next backup must be, with a code of its own.
      EXPECT_EQ(output.rfind(ownCode, 0), 0u) << c.why << ": " << output;
      EXPECT_NE(output.find(c.says), std::string::npos) << c.why << ": " << output;
    }
    if (c.markable) node.ExpectNextBackupFull(c.why);
  }
}

// The state directory's file system read-only for the whole start: no hook,
// no dirty flag, no list; and this node's driver keeps the device. The start
// fails with a code of its own, and its last mark, in the runtime folder on
// another file system, makes the next backup full once the state directory
// is writable again; that backup takes the mark, the one after it is an
// incremental again.
TEST(ClusterFault, AHardStartOnAReadOnlyStateDirectoryLeavesTheNextBackupFull) {
  testing_support::ScopedMount stateFs("tmpfs", "tmpfs", "size=16M");
  BLB_SKIP_WITHOUT_MOUNT(stateFs);
  ListedVolume node;
  node.MoveFoldersTo(stateFs.Path());
  node.Reset(0);
  std::string output;
  EXPECT_NE(StartOnReadOnlyState(stateFs, output), 0) << output;
  EXPECT_EQ(output.rfind("code=-1117 | ", 0), 0u) << output;
  EXPECT_NE(output.find("Only marks in the runtime folder [" + node.runtime + "]"), std::string::npos) << output;

  node.ExpectNextBackupFull("a start on a read-only state directory");
  std::error_code unlisted;
  EXPECT_TRUE(std::filesystem::is_empty(node.runtime, unlisted)) << "the mark outlives the full backup it made";
  std::string next;
  ASSERT_EQ(testing_support::RunCommand(node.GetAndClear() + " 2>&1", &next), 0) << next;
  EXPECT_EQ(next, "forcefull=0\n");
}

// A removal in the list's folder is on disk before what relies on it: the
// soft start's marker before the driver's record of its clear (back after a
// power loss, it would have the next start clear the driver again and mark
// nothing), the hard start's stale bitmap before the driver is touched, and
// the stale bitmap of a stop that cannot read the volume's driver bitmap
// before the marker that would have the next start trust it. That sync
// failing fails the step: the driver as it was, no marker left.
TEST(ClusterFault, ARemovalInTheListsFolderIsOnDiskBeforeWhatReliesOnIt) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  ListedVolume node;
  const std::string leftBehind = node.LeftBehind(node.mount), driverRecords = node.state.Sub("drivers/kzbf/");
  struct Case {
    std::string what;
    const char* verb;
    bool soft;                  // the stop's marker there
    bool driverBitmapUnread;    // the stop cannot read it
    std::string removed, next;  // what the step removes, and the text of what relies on it
  };
  const std::vector<Case> cases = {
      {"the soft start's marker", "start", true, false, node.marker, driverRecords},
      {"the hard start's stale bitmap", "start", false, false, leftBehind, driverRecords},
      {"the stop's stale bitmap", "stop", false, true, leftBehind, node.marker},
  };
  for (const Case& c : cases) {
    const std::string command = std::string(CLUSTER_TOOL) + " " + c.verb;
    const auto prepare = [&] {
      platform::FaultTable::ClearAll();
      node.Reset(0);
      WriteFile(leftBehind, std::string("\x01\x00", 2));
      if (c.soft) WriteFile(node.marker, "");
      if (c.driverBitmapUnread) platform::FaultTable::Set("KzBfDriver::getBitmap", EIO);
    };
    prepare();
    const int sync = testing_support::FolderSyncAfterRemoval(
        testing_support::TraceCalls(command, "openat,unlink,unlinkat,rename,fsync"), c.removed, node.listDir, c.next);
    EXPECT_GT(sync, 0) << c.what << " is not synced before " << c.next << " is touched";
    if (sync == 0) continue;

    prepare();
    const std::string driver = node.Tracking(node.image) + " " + node.Changed(node.image);
    const FaultPoint point{"fsync", InjectedFault::kIo, sync, node.listDir};
    bool struck = false;
    std::string output;
    EXPECT_NE(testing_support::RunWithFault(command, point, struck, &output), 0) << c.what << ": " << output;
    EXPECT_TRUE(struck) << c.what;
    EXPECT_NE(output.find("Failed to sync folder " + node.listDir), std::string::npos) << c.what << ": " << output;
    EXPECT_NE(output.find("is not on disk"), std::string::npos) << c.what << ": " << output;
    EXPECT_EQ(node.Tracking(node.image) + " " + node.Changed(node.image), driver) << c.what;
    EXPECT_EQ(node.Contents(node.marker), cluster_test::kNone) << c.what;
  }
  platform::FaultTable::ClearAll();
}

// The fail-over and fail-back of a cluster without a backup between: node
// A's stop leaves extent 3, node B's soft start keeps that bitmap, B writes
// extent 11, and B's stop cannot save the volume (its mount point gone, the
// earlier bitmap unreadable once, the volume's bitmap not written). The
// stop goes on and says so, and nothing it leaves has the next start trust
// a bitmap without extent 11: the next backup is full, or lists both.
TEST(ClusterFault, AStopThatCannotSaveAVolumeLeavesNothingTheNextStartTrusts) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  ListedVolume node;
  // The merge finds the left-behind bitmap by the job bitmap's name.
  std::filesystem::create_directories(node.state.Sub("jobs"));
  node.destination = node.state.Sub("jobs/" + node.key + ".bmp");
  const std::string leftBehind = node.LeftBehind(node.mount), log = node.state.Sub("logs/blocklevel.log");
  const std::string tool = std::string(CLUSTER_TOOL), strace = "strace -f -qq -o /dev/null -P " + leftBehind + " ";
  struct Case {
    std::string why;
    std::string wrapper;  // B's stop's command line before the tool's
    bool unmounted = false;
  };
  const std::vector<Case> cases = {
      {"the mount point not found", "", true},
      {"the earlier bitmap unreadable once", strace + "-e trace=read -e inject=read:error=EIO:when=1 "},
      {"the volume's bitmap not opened for writing", strace + "-e trace=openat -e inject=openat:error=EIO:when=2 "},
      {"the volume's bitmap not written", strace + "-e trace=write -e inject=write:error=ENOSPC "},
  };
  for (const Case& c : cases) {
    node.Reset(0);
    std::vector<uint64_t> cleared;
    ASSERT_FALSE(blbsim::KzbfChangedExtents(node.image, true, cleared).IsError());
    ASSERT_FALSE(blbsim::KzbfMarkExtents(node.image, {3}).IsError());
    std::string output;
    ASSERT_EQ(testing_support::RunCommand(tool + " stop 2>&1", &output), 0) << output;  // node A
    ASSERT_EQ(node.Contents(leftBehind), std::string("\x08\x00", 2));
    ASSERT_EQ(testing_support::RunCommand(tool + " start 2>&1", &output), 0) << output;  // node B, soft
    ASSERT_EQ(node.Contents(leftBehind), std::string("\x08\x00", 2));
    ASSERT_FALSE(blbsim::KzbfMarkExtents(node.image, {11}).IsError());

    if (c.unmounted) {
      ASSERT_TRUE(blbsim::ClearMounts());
    }
    std::filesystem::remove(log);
    testing_support::RunCommand("ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" " + c.wrapper + tool + " stop 2>&1",
                                &output);
    EXPECT_EQ(node.Tracking(node.image), "attached=1 extent=1048576") << c.why << ": the volume was carried";
    EXPECT_NE(
        node.Contents(log).find("Mount point [" + node.mount + "] is not carried over, its next backup will be full"),
        std::string::npos)
        << c.why;
    if (c.unmounted) {
      ASSERT_TRUE(blbsim::AddMount(node.image, node.mount));
    }

    testing_support::RunCommand(tool + " start 2>&1", &output);  // node A again
    ASSERT_EQ(testing_support::RunCommand(node.GetAndClear() + " 2>&1", &output), 0) << c.why << ": " << output;
    const std::string bitmap = node.Contents(node.destination);
    const bool both = bitmap.size() == 2 && (bitmap[0] & 0x08) != 0 && (bitmap[1] & 0x08) != 0;
    EXPECT_TRUE(output == "forcefull=1\n" || bitmap == kAllOnes || both)
        << "the next backup misses extent 3 or 11 after " << c.why << ": " << output;
  }
}

namespace {

constexpr const char* kUnreadableRuntimeFolder =
    "CLUSTER_TOOL_UNREADABLE_SETTING=FileSystemAgent/sBlockLevelRuntimeDir ";

// The volume's marks in the machine's runtime folder, which the cluster
// tests never name: made only by a test of what is found there, or by a
// start that took an unreadable setting for none. Removed with the scope.
struct DefaultFolderMarks {
  std::vector<std::string> paths;
  bool folderMade = false;

  explicit DefaultFolderMarks(const ListedVolume& node) {
    const std::string folder = tracking::RuntimeFullMarks::kDefaultFolder;
    for (const std::string& name : {node.key, tracking::RuntimeFullMarks::NameOfDevice(node.image)})
      paths.push_back(folder + "/" + name + ".full");
    folderMade = !std::filesystem::exists(folder);
    Remove();
  }
  ~DefaultFolderMarks() {
    Remove();
    std::error_code ignored;
    if (folderMade) std::filesystem::remove(tracking::RuntimeFullMarks::kDefaultFolder, ignored);
  }
  void Remove() const {
    std::error_code ignored;
    for (const std::string& path : paths) std::filesystem::remove(path, ignored);
  }
  bool AnyThere() const {
    for (const std::string& path : paths)
      if (testing_support::FileExists(path)) return true;
    return false;
  }
};

}  // namespace

// The state directory read-only, the driver keeping the device, and the
// runtime folder's setting unreadable at the start: the start cannot know
// where the next bitmap step looks for a mark, so it claims none (the agent
// then converts the job) and leaves none in the machine's default folder.
// Whatever it claims, the next backup is not an incremental after it.
TEST(ClusterFault, AStartThatCannotReadTheRuntimeFolderClaimsNoMark) {
  testing_support::ScopedMount stateFs("tmpfs", "tmpfs", "size=16M");
  BLB_SKIP_WITHOUT_MOUNT(stateFs);
  ListedVolume node;
  DefaultFolderMarks defaultMarks(node);
  node.MoveFoldersTo(stateFs.Path());
  node.Reset(0);
  std::string output;
  EXPECT_NE(StartOnReadOnlyState(stateFs, output, kUnreadableRuntimeFolder), 0) << output;
  EXPECT_EQ(output.rfind("code=-1117 | ", 0), 0u) << output;
  EXPECT_NE(output.find("Nothing marks [" + node.mount + "] for a full backup"), std::string::npos) << output;
  EXPECT_FALSE(defaultMarks.AnyThere()) << "a mark in the machine's runtime folder, which the setting does not name";
  if (output.find("Only marks in the runtime folder") != std::string::npos)
    node.ExpectNextBackupFull("a start that claimed a mark with the runtime folder unread");
}

// A start on a read-only state directory leaves its last mark in the
// configured runtime folder; the next bitmap step cannot read that setting:
// it goes full rather than look elsewhere, and the mark stays for the step
// that can find it. A mark of the volume in the machine's default folder
// while another is set is taken by the volume's next step too, not left
// for a later volume of that name.
TEST(ClusterFault, ABitmapStepThatCannotKnowWhereTheMarksAreGoesFull) {
  testing_support::ScopedMount stateFs("tmpfs", "tmpfs", "size=16M");
  BLB_SKIP_WITHOUT_MOUNT(stateFs);
  ListedVolume node;
  DefaultFolderMarks defaultMarks(node);
  node.MoveFoldersTo(stateFs.Path());
  node.Reset(0);
  std::string output;
  ASSERT_EQ(testing_support::RunCommand("mount -o remount,ro " + stateFs.Path() + " 2>&1", &output), 0) << output;
  platform::FaultTable::Set("KzBfDriver::detachDevice", EIO);
  std::string started;
  EXPECT_NE(testing_support::RunCommand(std::string(CLUSTER_TOOL) + " start 2>&1", &started), 0) << started;
  platform::FaultTable::ClearAll();
  ASSERT_EQ(testing_support::RunCommand("mount -o remount,rw " + stateFs.Path() + " 2>&1", &output), 0) << output;
  ASSERT_NE(started.find("Only marks in the runtime folder [" + node.runtime + "]"), std::string::npos) << started;

  // Each step's bitmap on its own: a job's bitmap file adds to what is there.
  std::filesystem::remove(node.destination);
  const int status = testing_support::RunCommand(kUnreadableRuntimeFolder + node.GetAndClear() + " 2>&1", &output);
  EXPECT_TRUE(status != 0 || output == "forcefull=1\n" || node.Contents(node.destination) == kAllOnes)
      << "an incremental with the runtime folder unread after a start that claimed a mark: " << output;
  std::filesystem::remove(node.destination);
  node.ExpectNextBackupFull("a bitmap step that could not look for the mark");
  std::error_code unlisted;
  EXPECT_TRUE(std::filesystem::is_empty(node.runtime, unlisted)) << "the mark outlives the full backup it made";

  std::filesystem::create_directories(tracking::RuntimeFullMarks::kDefaultFolder);
  WriteFile(defaultMarks.paths.front(), "");
  std::filesystem::remove(node.destination);
  node.ExpectNextBackupFull("a mark of the volume in the default runtime folder");
  EXPECT_FALSE(defaultMarks.AnyThere()) << "the mark outlives the full backup it made";
  ASSERT_EQ(testing_support::RunCommand(node.GetAndClear() + " 2>&1", &output), 0) << output;
  EXPECT_EQ(output, "forcefull=0\n");
}
