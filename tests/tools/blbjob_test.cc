// The job command running the snapshot phase of jobs of an ext4 file system
// mounted from a loop device, as an engineer runs it from the shell.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "devconfig/kz_device_config_handler.h"
#include "platform/mnttab/kz_mnt_tab.h"
#include "support/blbsim_command.h"
#include "support/loop_device.h"
#include "support/run_command.h"
#include "support/scoped_mount.h"
#include "support/test_platform.h"

namespace {

using testing_support::CommandOutput;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::RunBlbsim;
using testing_support::RunCommand;
using testing_support::SettledCommandOutput;

constexpr const char* kHeader =
    "# IsSupported|SourceVolume|SourceDevice|FSType|MountOptions|ExtentSize|TotalBlocks"
    "|FSBlockSize|BitMapSize|LogSectorSz|PhySectorSz|IOMinSz|IOOptimalSz|Version\n#METADATA_NOT_ENABLED#\n";

int RunBlbjob(const std::string& arguments, std::string* output = nullptr) {
  return RunCommand(std::string(BLBJOB_PATH) + " " + arguments + " 2>&1", output);
}

std::string JobArgs(int job, int level) {
  return " -- -a 2:7 -j " + std::to_string(job) + " -t " + std::to_string(level) + " -d stow1 -jt TOK";
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A fresh state with subclient 2/7 of client 2, and a 64 MiB ext4 file
// system on a loop device mounted for the test. Snapshots the test's jobs
// leave are released at the end.
struct MountedExt4 {
  testing_support::ScopedStateDir state;
  testing_support::ScopedLoopDevice loop{64 << 20};
  bool made = loop.Ok() && RunCommand("mkfs.ext4 -q " + loop.Device()) == 0;
  std::unique_ptr<testing_support::ScopedMount> mount;
  std::string jr = state.Sub("jobresults/2/7");

  MountedExt4() {
    if (made) mount = std::make_unique<testing_support::ScopedMount>(loop.Device(), "ext4");
    EXPECT_EQ(RunBlbsim(state.Path(), "subclient 2 7 2"), 0);
  }
  ~MountedExt4() {
    for (int job : {1001, 1002, 1003}) RunBlbjob("release" + JobArgs(job, 2));
  }
  bool Ok() const { return mount && mount->Ok(); }
  const std::string& Path() const { return mount->Path(); }

  // The file system's options as the mount table has them.
  std::string Options() const {
    std::list<KzMntTab::Entry> entries;
    EXPECT_FALSE(KzMntTab::getAll(entries).IsError());
    for (const KzMntTab::Entry& entry : entries)
      if (entry.m_sMountPoint == Path()) return entry.m_sOptions;
    return "";
  }
  std::string Record(uint64_t extentSize, uint64_t bitmapSize) const {
    return "true|" + Path() + "|" + loop.Device() + "|ext4|" + Options() + "|" + std::to_string(extentSize) +
           "|131072|0|" + std::to_string(bitmapSize) + "|512|512|512|0|1\n";
  }
  std::string Blbsim(const std::string& arguments) const {
    std::string out;
    EXPECT_EQ(RunBlbsim(state.Path(), arguments, &out), 0) << out;
    return out;
  }
  // The snapshot the job recorded for the volume.
  std::string SnapshotOf(int job) const {
    const std::string shown = Blbsim("job show " + std::to_string(job));
    const size_t at = shown.find("snapshot=");
    return at == std::string::npos ? "" : shown.substr(at + 9, shown.find(' ', at) - at - 9);
  }
};

#define SKIP_WITHOUT_MOUNTED_EXT4(ext4)      \
  BLB_SKIP_WITHOUT_LOOP_DEVICE((ext4).loop); \
  if (!(ext4).Ok()) GTEST_SKIP() << ((ext4).mount ? (ext4).mount->SkipReason() : "no ext4")

// The bitmap of a job as the scan reads it: through a handler made from the
// job identity.
std::string ScanBitmap(const std::string& volume, int job, int level) {
  TarvosJobInfo identity(
      {"-a", "2:7", "-j", std::to_string(job), "-t", std::to_string(level), "-d", "stow1", "-jt", "TOK"});
  EXPECT_EQ(identity.ParseArgs(false), 0);
  EXPECT_EQ(identity.setJobResultsDir(), 0);
  std::unique_ptr<KzDeviceConfigHandler> handler(KzDeviceConfigHandler::GetDeviceConfigHandler(identity));
  EXPECT_FALSE(handler->InitRead().IsError());
  unsigned char* bitmap = nullptr;
  unsigned long size = 0;
  unsigned char flag = 1;
  CQiError error = handler->GetBitMapInfo(volume, bitmap, size, flag);
  EXPECT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(flag, 0);
  const std::string bytes(reinterpret_cast<char*>(bitmap), size);
  std::free(bitmap);
  return bytes;
}

// The extents (4 MiB each) in which two snapshots differ.
std::vector<bool> DifferingExtents(const std::string& first, const std::string& second) {
  std::ifstream a(first, std::ios::binary), b(second, std::ios::binary);
  std::vector<bool> differ;
  std::string x(4 << 20, '\0'), y(4 << 20, '\0');
  while (a.read(&x[0], x.size()) && b.read(&y[0], y.size())) differ.push_back(x != y);
  return differ;
}

}  // namespace

TEST(blbjobSnapshot, FullThenIncrementalThenAnotherExtentSizeOfAMountedFileSystem) {
  MountedExt4 ext4;
  SKIP_WITHOUT_MOUNTED_EXT4(ext4);
  std::string out;

  // Full: every extent, the device tracked from now on, a frozen copy.
  ASSERT_EQ(RunBlbjob("snapshot --volume " + ext4.Path() + JobArgs(1001, 1), &out), 0) << out;
  EXPECT_TRUE(Contains(out, "16 of 16, force-full")) << out;
  const std::string config = ReadFile(ext4.jr + "/BlockDeviceConfig.kzf");
  EXPECT_EQ(config, kHeader + ext4.Record(4194304, 2));
  EXPECT_EQ(ScanBitmap(ext4.Path(), 1001, 1), "\xff\xff");
  EXPECT_EQ(ReadFile(ext4.state.Sub("jobresults/.BlockLevel/.AttachedVolumes")), ext4.Path() + "|4194304|2|0\n");
  const std::string full = ext4.SnapshotOf(1001);
  EXPECT_EQ(ext4.Blbsim("kzbf query " + ext4.loop.Device()),
            "attached=1 size=67108864 extent=4194304 extents=16\nsnapshot " + full + "\n");
  EXPECT_EQ(CommandOutput("blockdev --getsize64 " + full), "67108864\n");
  EXPECT_FALSE(Contains(CommandOutput("dumpe2fs -h " + full + " 2>/dev/null"), "needs_recovery"));
  EXPECT_EQ(ext4.Blbsim("events"), "");

  // Incremental: the extents written since, not OR-ed with the full job's.
  ASSERT_EQ(RunCommand("dd if=/dev/urandom of=" + ext4.Path() + "/f bs=1M count=1 conv=fsync status=none"), 0);
  ASSERT_EQ(RunBlbjob("snapshot --volume " + ext4.Path() + JobArgs(1002, 2), &out), 0) << out;
  EXPECT_TRUE(Contains(out, "changed extents only")) << out;
  EXPECT_EQ(ReadFile(ext4.jr + "/BlockDeviceConfig.kzf"), config);
  const std::string changed = ScanBitmap(ext4.Path(), 1002, 2);
  ASSERT_EQ(changed.size(), 2u);
  const std::vector<bool> differ = DifferingExtents(full, ext4.SnapshotOf(1002));
  ASSERT_EQ(differ.size(), 16u);
  bool anyClear = false;
  for (size_t i = 0; i < 16; ++i) {
    const bool set = (static_cast<unsigned char>(changed[i / 8]) >> (i % 8)) & 1;
    EXPECT_TRUE(set || !differ[i]) << "extent " << i;
    anyClear = anyClear || !set;
  }
  EXPECT_TRUE(anyClear);
  EXPECT_EQ(ext4.Blbsim("events"), "");
  EXPECT_TRUE(Contains(ext4.Blbsim("job show 1002"), "level=2 conversions=0"));

  // Another extent size: tracking restarts (the earlier snapshots go with
  // it) and the incremental job becomes full, twice.
  ext4.Blbsim("reg set FileSystemAgent nExtentSizeForBlockFilterDriver 8");
  ASSERT_EQ(RunBlbjob("snapshot --volume " + ext4.Path() + JobArgs(1003, 2), &out), 0) << out;
  EXPECT_EQ(ext4.Blbsim("events"),
            "0x46000018 job=1003 [1003]\n0x46000018 job=1003 [1003]\n0x46000044 job=0 [" + ext4.Path() + " ]\n");
  EXPECT_TRUE(Contains(ext4.Blbsim("job show 1003"), "level=1 conversions=2"));
  EXPECT_EQ(ReadFile(ext4.jr + "/BlockDeviceConfig.kzf"), kHeader + ext4.Record(8388608, 1));
  EXPECT_EQ(ext4.Blbsim("kzbf query " + ext4.loop.Device()),
            "attached=1 size=67108864 extent=8388608 extents=8\nsnapshot " + ext4.SnapshotOf(1003) + "\n");
  EXPECT_EQ(RunBlbjob("release" + JobArgs(1001, 1), &out), 0) << out;
  EXPECT_EQ(out, "snapshot " + full + ": already gone\n");
  EXPECT_EQ(RunBlbjob("release" + JobArgs(1002, 2), &out), 0) << out;
  EXPECT_TRUE(Contains(out, "already gone")) << out;
  // Job 1003's snapshot may sit on a loop device an earlier one had: it stays.
  EXPECT_TRUE(Contains(ext4.Blbsim("kzbf query " + ext4.loop.Device()), "snapshot " + ext4.SnapshotOf(1003) + "\n"));
}

TEST(blbjobSnapshot, ADeviceNoStrategySupportsFailsThePhaseWithoutSnapshotOrConfiguration) {
  MountedExt4 ext4;
  SKIP_WITHOUT_MOUNTED_EXT4(ext4);
  ext4.Blbsim("kzbf unload");
  ext4.Blbsim("kzbf install-script fail");
  const std::string device = ext4.loop.Device();
  std::string out;
  EXPECT_EQ(RunBlbjob("snapshot --checks --volume " + ext4.Path() + JobArgs(1001, 1), &out), 1);
  EXPECT_TRUE(Contains(out, "code=-1627")) << out;
  EXPECT_TRUE(Contains(out, "Device[" + device + "] is not supported for Blocklevel native backup")) << out;
  EXPECT_EQ(RunBlbjob("snapshot --volume " + ext4.Path() + JobArgs(1001, 1), &out), 1);
  EXPECT_TRUE(Contains(out, "code=-1627")) << out;
  EXPECT_TRUE(
      Contains(out, "Device is not supported for blocklevel backup, volume=" + ext4.Path() + ", device=" + device))
      << out;
  EXPECT_TRUE(Contains(out, "snapshot none, bitmap none, no bitmap, force-full")) << out;
  EXPECT_FALSE(FileExists(ext4.jr + "/BlockDeviceConfig.kzf"));
  EXPECT_EQ(ext4.SnapshotOf(1001), "");

  // Usage errors: no job arguments, an option it does not know, a path that
  // is no volume.
  EXPECT_EQ(RunBlbjob("snapshot --volume " + ext4.Path()), 2);
  EXPECT_EQ(RunBlbjob("snapshot --volume " + ext4.Path() + " --fast" + JobArgs(1001, 1)), 2);
  EXPECT_EQ(RunBlbjob("snapshot --volume " + ext4.state.Path() + JobArgs(1001, 1)), 2);
  EXPECT_EQ(RunBlbjob("snapshot --volume " + ext4.Path() + " --volume " + ext4.Path() + "/" + JobArgs(1001, 1), &out),
            2);
  EXPECT_TRUE(Contains(out, "blbjob snapshot: volume " + ext4.Path() + " is given twice")) << out;
}

TEST(blbjobSnapshot, StartingTheStateOverDetachesTheSnapshotsItHeld) {
  MountedExt4 ext4;
  SKIP_WITHOUT_MOUNTED_EXT4(ext4);
  std::string out;
  // The mounted device by its path is its mount point's volume: named both
  // ways, it is given twice.
  EXPECT_EQ(RunBlbjob("snapshot --volume " + ext4.Path() + " --volume " + ext4.loop.Device() + JobArgs(1001, 1), &out),
            2);
  EXPECT_EQ(out, "blbjob snapshot: volume " + ext4.Path() + " is given twice\n");
  testing_support::ScopedMount bind(ext4.Path(), "none", "bind");
  BLB_SKIP_WITHOUT_MOUNT(bind);
  ASSERT_EQ(RunBlbjob("snapshot --volume " + ext4.Path() + " --volume " + bind.Path() + JobArgs(1001, 1), &out), 0)
      << out;
  const std::string held = "losetup -l -n -O BACK-FILE | grep -c -F " + ext4.state.Path() + "/ || true";
  EXPECT_EQ(CommandOutput(held), "1\n");
  ASSERT_EQ(RunBlbsim(ext4.state.Path(), "init --reset", &out), 0) << out;
  EXPECT_EQ(SettledCommandOutput(held, "0\n"), "0\n");
  EXPECT_TRUE(FileExists(ext4.state.Sub("agent.db")));
}

// Paths relative to the directory the command starts in: a mount point
// (with a trailing slash) is the mounted volume, and the state directory
// names the same files for a later command started elsewhere.
TEST(blbjobSnapshot, RelativePathsAreTakenFromTheDirectoryTheCommandStartsIn) {
  MountedExt4 ext4;
  SKIP_WITHOUT_MOUNTED_EXT4(ext4);
  const std::string state = ext4.state.Path(), volume = ext4.Path();
  std::string out;
  ASSERT_EQ(RunCommand("cd / && BLB_STATE_DIR=" + state.substr(1) + " " + BLBJOB_PATH + " snapshot --volume " +
                           volume.substr(1) + "/" + JobArgs(1001, 1) + " 2>&1",
                       &out),
            0)
      << out;
  EXPECT_TRUE(Contains(out, "frozen " + volume + "\n")) << out;
  EXPECT_TRUE(Contains(out, "bitmap " + state + "/jobresults/2/7/")) << out;
  EXPECT_TRUE(Contains(ext4.Blbsim("job show 1001"), "volume=" + volume + " device=" + ext4.loop.Device() + " "));
  const std::string snapshot = ext4.SnapshotOf(1001);
  EXPECT_EQ(RunBlbjob("release" + JobArgs(1001, 1), &out), 0) << out;
  EXPECT_EQ(out, "snapshot " + snapshot + ": released\n");
  EXPECT_EQ(CommandOutput("ls " + state + "/drivers/kzbf/snaps"), "");
  EXPECT_EQ(SettledCommandOutput("losetup -l -n -O BACK-FILE | grep -c -F " + state + "/ || true", "0\n"), "0\n");
}
