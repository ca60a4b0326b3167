// A mounted file system named to the job command by its device path: it is
// the volume of a mount point that shows it, frozen around the copy through
// that mount point, or the snapshot is refused. Whatever the file system's
// own device number, and however often it is mounted, it is found and
// frozen once; and one device named two ways is one volume, whose tracking
// a killed job costs one full backup, not every later one. Backed up by two
// subclients under two mount paths, a killed job costs each of them at most
// one full, and the checks refuse the device only while a snapshot of it is
// held.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/blbsim_command.h"
#include "support/extent_hash.h"
#include "support/loop_device.h"
#include "support/run_command.h"
#include "support/scoped_mount.h"
#include "support/test_platform.h"

namespace {

using testing_support::CommandOutput;
using testing_support::ReadFile;
using testing_support::RunBlbsim;
using testing_support::RunCommand;

constexpr uint64_t kDeviceSize = 64 << 20;
constexpr uint64_t kExtentSize = 4 << 20;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int RunBlbjob(const std::string& arguments, std::string* output = nullptr) {
  return RunCommand(std::string(BLBJOB_PATH) + " " + arguments + " 2>&1", output);
}

const std::string kJob = " -- -a 2:7 -j 1001 -t 1 -d stow1 -jt TOK";

// The extents of the snapshot that hold a block the file system uses.
std::set<uint64_t> ExtentsInUse(const std::string& snapshot, uint64_t deviceSize = kDeviceSize) {
  return testing_support::ExtentsInUse(snapshot, kExtentSize, deviceSize);
}

// The MD5 of extent i of a device, zero-padded past its end, in hex.
std::string ExtentMd5(const std::string& device, uint64_t extent) {
  return testing_support::Md5Hex(testing_support::ReadExtent(device, extent, kExtentSize));
}

// A 64 MiB ext4 on a loop device, mounted, with 8 MiB of files written
// through the mount and not synced, in a fresh state with subclient 2:7.
struct MountedDevice {
  testing_support::ScopedStateDir state;
  testing_support::ScopedLoopDevice loop{kDeviceSize};
  std::unique_ptr<testing_support::ScopedMount> mount;

  MountedDevice() {
    if (!loop.Ok() || RunCommand("mkfs.ext4 -q " + loop.Device()) != 0) return;
    mount = std::make_unique<testing_support::ScopedMount>(loop.Device(), "ext4");
    if (!mount->Ok()) return;
    EXPECT_EQ(RunCommand("dd if=/dev/urandom of=" + mount->Path() + "/f bs=1M count=8 status=none"), 0);
    EXPECT_EQ(RunBlbsim(state.Path(), "subclient 2 7 2"), 0);
  }
  ~MountedDevice() { RunBlbjob("release" + kJob); }
  bool Ok() const { return mount && mount->Ok(); }
  std::string Snapshot() const {
    std::string shown;
    RunBlbsim(state.Path(), "job show 1001", &shown);
    const size_t at = shown.find("snapshot=");
    return at == std::string::npos ? "" : shown.substr(at + 9, shown.find(' ', at) - at - 9);
  }
};

#define SKIP_WITHOUT_MOUNTED_DEVICE(fs)    \
  BLB_SKIP_WITHOUT_LOOP_DEVICE((fs).loop); \
  if (!(fs).Ok()) GTEST_SKIP() << ((fs).mount ? (fs).mount->SkipReason() : "no ext4")

// `blbjob snapshot` of the volumes, traced: the freezes every process of it
// asked for.
int SnapshotCountingFreezes(const testing_support::ScopedStateDir& state, const std::string& volumes,
                            std::string& output, int& freezes) {
  const std::string trace = state.Sub("ioctls.txt");
  const int status = RunCommand("ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -e trace=ioctl -o " +
                                    trace + " " + BLBJOB_PATH + " snapshot --volume " + volumes + kJob + " 2>&1",
                                &output);
  freezes = std::stoi(CommandOutput("grep -c FIFREEZE " + trace + " || true"));
  return status;
}

// The output's lines that tell a freeze.
std::string FrozenLines(const std::string& output) {
  std::istringstream lines(output);
  std::string frozen;
  for (std::string line; std::getline(lines, line);)
    if (Contains(line, ": frozen ")) frozen += line + "\n";
  return frozen;
}

// Why a file system type cannot be tried here; empty when it can.
std::string CannotMount(const std::string& type) {
  if (RunCommand("command -v mkfs." + type + " >/dev/null") != 0) return "mkfs." + type + " is not installed";
  if (RunCommand("grep -qw " + type + " /proc/filesystems || modprobe " + type + " 2>/dev/null") != 0)
    return "this kernel cannot mount " + type;
  return std::string();
}

class MountedDeviceOfType : public testing::TestWithParam<const char*> {};

// One file system of a 128 MiB device backed up by two subclients under two
// mount paths: 2:7 where it is mounted, 2:8 where it shows again (a bind
// mount of it for ext4, a subvolume of it for btrfs). Both are block-level
// subclients, as the checks want them.
struct TwoSubclientsOfOneDevice {
  static constexpr uint64_t kSize = 128 << 20;
  std::string type;
  std::string cannot;  // why the type cannot be tried here
  testing_support::ScopedStateDir state;
  testing_support::ScopedLoopDevice loop{kSize};
  std::unique_ptr<testing_support::ScopedMount> first, second;
  std::vector<std::string> held;  // the job arguments of jobs that may hold a snapshot

  explicit TwoSubclientsOfOneDevice(const std::string& fileSystem) : type(fileSystem), cannot(CannotMount(type)) {
    if (!cannot.empty() || !loop.Ok()) return;
    if (RunCommand("mkfs." + type + " -q " + (type == "btrfs" ? "-f " : "") + loop.Device() + " >/dev/null") != 0) {
      cannot = "mkfs." + type + " failed";
      return;
    }
    first = std::make_unique<testing_support::ScopedMount>(loop.Device(), type);
    if (!first->Ok()) return;
    if (type == "btrfs") {
      EXPECT_EQ(RunCommand("btrfs -q subvolume create " + first->Path() + "/sub"), 0);
      second = std::make_unique<testing_support::ScopedMount>(loop.Device(), type, "subvol=sub");
    } else {
      second = std::make_unique<testing_support::ScopedMount>(first->Path(), "none", "bind");
    }
    EXPECT_TRUE(second->Ok());
    EXPECT_EQ(RunBlbsim(state.Path(), "subclient 2 7 2 0 0 1"), 0);
    EXPECT_EQ(RunBlbsim(state.Path(), "subclient 2 8 2 0 0 1"), 0);
  }
  ~TwoSubclientsOfOneDevice() {
    for (const std::string& job : held) RunBlbjob("release" + job);
  }
  std::string SkipReason() const {
    if (!cannot.empty()) return cannot;
    if (!loop.Ok()) return loop.SkipReason();
    return first && !first->Ok() ? first->SkipReason() : std::string();
  }
  std::string Path(int app) const { return app == 7 ? first->Path() : second->Path(); }
  static std::string Job(int app, int id, int level, int last) {
    return " -- -a 2:" + std::to_string(app) + " -j " + std::to_string(id) + " -t " + std::to_string(level) +
           " -d stow1 -jt TOK" + (last != 0 ? " -lsjid " + std::to_string(last) : "");
  }
  // A MiB of new bytes in a new file, seen by both mount paths.
  int Write(int n) const {
    return RunCommand("dd if=/dev/urandom of=" + first->Path() + "/w" + std::to_string(n) +
                      " bs=1M count=1 status=none && sync");
  }
  // A job of the subclient that keeps its snapshot (until the check below,
  // which releases the last job run); its status.
  int Run(const std::string& options, int app, int id, int level, int last, std::string& out) {
    held.push_back(Job(app, id, level, last));
    return RunBlbjob("run --keep-snapshot " + options + " --volume " + Path(app) + held.back(), &out);
  }
  // The hashes the subclient's backups hold of the volume (its index's
  // extent view) are those of every extent of the job's snapshot that the
  // file system uses (ext4), or of every extent (the library reads no btrfs):
  // no change since the subclient's last job was missed. The snapshot is
  // released then.
  void ExpectBackedUpAsSnapshotted(int app, int id) {
    std::string shown, view;
    RunBlbsim(state.Path(), "job show " + std::to_string(id), &shown);
    const size_t at = shown.find("snapshot=");
    ASSERT_NE(at, std::string::npos) << shown;
    const std::string snapshot = shown.substr(at + 9, shown.find(' ', at) - at - 9);
    std::set<uint64_t> extents;
    if (type == "ext4") {
      extents = ExtentsInUse(snapshot, kSize);
    } else {
      for (uint64_t i = 0; i < kSize / kExtentSize; ++i) extents.insert(i);
    }
    ASSERT_EQ(RunBlbsim(state.Path(), "index extents show 2 " + std::to_string(app) + " " + Path(app), &view), 0);
    for (uint64_t extent : extents)
      EXPECT_TRUE(Contains(view, std::to_string(extent) + " " + ExtentMd5(snapshot, extent) + "\n"))
          << "job " << id << ": extent " << extent << " is not backed up as it is now";
    std::string out;
    EXPECT_EQ(RunBlbjob("release" + held.back(), &out), 0) << out;
  }
};

class SharedDeviceOfType : public testing::TestWithParam<const char*> {};

}  // namespace

TEST(blbjobDevicePath, AMountedDeviceIsFrozenAsItsMountPointOrRefusedWhenNoneCanBeReached) {
  MountedDevice fs;
  SKIP_WITHOUT_MOUNTED_DEVICE(fs);
  std::string out;
  ASSERT_EQ(RunBlbjob("run --keep-snapshot --volume " + fs.loop.Device() + kJob, &out), 0) << out;
  EXPECT_TRUE(Contains(out, "snapshot " + fs.loop.Device() + ": frozen " + fs.mount->Path() + "\n")) << out;
  EXPECT_TRUE(Contains(out, "volume " + fs.mount->Path() + ": device " + fs.loop.Device() + ",")) << out;
  const std::string snapshot = fs.Snapshot();
  ASSERT_FALSE(snapshot.empty());
  const std::string header = CommandOutput("dumpe2fs -h " + snapshot + " 2>/dev/null");
  EXPECT_FALSE(Contains(header, "needs_recovery")) << header;
  const size_t inUse = ExtentsInUse(snapshot).size();
  EXPECT_LT(inUse, kDeviceSize / kExtentSize);
  EXPECT_TRUE(Contains(out, " extents_total=16 extents_listed=" + std::to_string(inUse) + "\n")) << out;

  // Where another mount hides its every mount point, it is refused.
  ASSERT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
  const std::string mountPoint = fs.mount->Path();
  ASSERT_EQ(::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m"), 0);
  const int status = RunBlbjob("snapshot --volume " + fs.loop.Device() + kJob, &out);
  ::umount2(mountPoint.c_str(), 0);
  EXPECT_EQ(status, 2) << out;
  EXPECT_EQ(out, "blbjob snapshot: " + fs.loop.Device() + " is mounted at " + mountPoint +
                     ", where another mount hides it: its file system cannot be frozen for the snapshot\n");
  const std::string held = "losetup -l -n -O BACK-FILE | grep -c -F " + fs.state.Path() + "/ || true";
  EXPECT_EQ(testing_support::SettledCommandOutput(held, "0\n"), "0\n");
}

// ext4 has the device's number for its own; btrfs has a number of its own,
// another one again for each subvolume. Mounted at three places (the
// device, the device again, for btrfs another subvolume of it, and a bind
// mount of the first), the file system is frozen once.
TEST_P(MountedDeviceOfType, IsFrozenOnceThroughAMountPointThatShowsItOrRefusedWhenNoneDoes) {
  const std::string type = GetParam();
  const std::string cannot = CannotMount(type);
  if (!cannot.empty()) GTEST_SKIP() << cannot;
  testing_support::ScopedStateDir state;
  testing_support::ScopedLoopDevice loop(128 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  const std::string& device = loop.Device();
  ASSERT_EQ(RunCommand("mkfs." + type + " -q " + (type == "btrfs" ? "-f " : "") + device + " >/dev/null"), 0);
  auto first = std::make_unique<testing_support::ScopedMount>(device, type);
  BLB_SKIP_WITHOUT_MOUNT(*first);
  std::string secondOptions;
  if (type == "btrfs") {
    ASSERT_EQ(RunCommand("btrfs -q subvolume create " + first->Path() + "/sub"), 0);
    secondOptions = "subvol=sub";
  }
  auto second = std::make_unique<testing_support::ScopedMount>(device, type, secondOptions);
  auto bind = std::make_unique<testing_support::ScopedMount>(first->Path(), "none", "bind");
  ASSERT_TRUE(second->Ok() && bind->Ok());
  ASSERT_EQ(RunBlbsim(state.Path(), "subclient 2 7 2"), 0);

  // Named by its device path, or by each of its mount points.
  struct Case {
    std::string volumes;
    std::string frozen;  // and the volume the device path is recorded as
  };
  const std::string inOrder = second->Path() + " " + bind->Path() + " " + first->Path();
  for (const Case& named : {Case{device, first->Path()}, Case{inOrder, second->Path()}}) {
    SCOPED_TRACE(named.volumes);
    std::string out;
    int freezes = 0;
    ASSERT_EQ(SnapshotCountingFreezes(state, named.volumes, out, freezes), 0) << out;
    EXPECT_EQ(FrozenLines(out), "snapshot " + device + ": frozen " + named.frozen + "\n") << out;
    EXPECT_EQ(freezes, 1) << out;
    EXPECT_TRUE(Contains(out, "  volume " + named.frozen + ": device " + device + ",")) << out;
    EXPECT_FALSE(Contains(out, "  volume " + device + ":")) << out;
    ASSERT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
  }

  // Hidden where it was mounted first, it is frozen where it shows; hidden
  // everywhere, the device is refused, naming where it is mounted.
  const std::string hidden = first->Path();
  ASSERT_EQ(::mount("tmpfs", hidden.c_str(), "tmpfs", 0, "size=1m"), 0);
  std::string out;
  int freezes = 0;
  EXPECT_EQ(SnapshotCountingFreezes(state, device, out, freezes), 0) << out;
  EXPECT_EQ(FrozenLines(out), "snapshot " + device + ": frozen " + second->Path() + "\n") << out;
  EXPECT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
  second.reset();
  bind.reset();
  const int status = SnapshotCountingFreezes(state, device, out, freezes);
  ::umount2(hidden.c_str(), 0);
  EXPECT_EQ(status, 2) << out;
  EXPECT_EQ(out, "blbjob snapshot: " + device + " is mounted at " + hidden +
                     ", where another mount hides it: its file system cannot be frozen for the snapshot\n");
  EXPECT_EQ(freezes, 0);
}

// A full and an incremental job, kept, of the file system mounted: every
// hash either job wrote is that of an extent of its own snapshot, and every
// extent that differs between the two snapshots is among those the
// incremental read.
TEST_P(MountedDeviceOfType, AFullAndAnIncrementalHashTheirSnapshotsAndReadEveryExtentChangedBetween) {
  const std::string type = GetParam();
  const std::string cannot = CannotMount(type);
  if (!cannot.empty()) GTEST_SKIP() << cannot;
  testing_support::ScopedStateDir state;
  testing_support::ScopedLoopDevice loop(128 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  ASSERT_EQ(RunCommand("mkfs." + type + " -q " + (type == "btrfs" ? "-f " : "") + loop.Device() + " >/dev/null"), 0);
  testing_support::ScopedMount fs(loop.Device(), type);
  BLB_SKIP_WITHOUT_MOUNT(fs);
  ASSERT_EQ(RunBlbsim(state.Path(), "subclient 2 7 2"), 0);
  const auto job = [](int id, int level) {
    return " -- -a 2:7 -j " + std::to_string(id) + " -t " + std::to_string(level) + " -d stow1 -jt TOK" +
           (level == 2 ? " -lsjid " + std::to_string(id - 1) : "");
  };
  const auto write = [&](const std::string& file, const std::string& how) {
    return RunCommand("dd if=/dev/urandom of=" + fs.Path() + "/" + file + " bs=1M " + how + " status=none && sync");
  };
  // "<md5>\n" of each 4 MiB extent of the job's snapshot.
  const auto extents = [&](int id) {
    std::string shown;
    RunBlbsim(state.Path(), "job show " + std::to_string(id), &shown);
    const size_t at = shown.find("snapshot=");
    const std::string snapshot = at == std::string::npos ? "" : shown.substr(at + 9, shown.find(' ', at) - at - 9);
    EXPECT_FALSE(snapshot.empty()) << shown;
    return CommandOutput("for i in $(seq 0 31); do dd if=" + snapshot +
                         " bs=4M skip=$i count=1 status=none | md5sum | cut -c1-32; done");
  };
  std::string out;
  ASSERT_EQ(write("a", "count=20"), 0);
  ASSERT_EQ(RunBlbjob("run --keep-snapshot --volume " + fs.Path() + job(1, 1), &out), 0) << out;
  ASSERT_EQ(write("a", "count=2 seek=9 conv=notrunc"), 0);
  ASSERT_EQ(write("b", "count=6"), 0);
  ASSERT_EQ(RunBlbjob("run --keep-snapshot --volume " + fs.Path() + job(2, 2), &out), 0) << out;
  EXPECT_TRUE(Contains(out, "job=2 level=incremental ")) << out;
  std::vector<std::string> snapshots[2], hashed[2];
  for (int id : {1, 2}) {
    std::istringstream lines(extents(id)), hashes(ReadFile(state.Sub("reports/" + std::to_string(id) + "/hashes.txt")));
    for (std::string line; std::getline(lines, line);) snapshots[id - 1].push_back(line);
    for (std::string line; std::getline(hashes, line);) hashed[id - 1].push_back(line.substr(line.rfind('|') + 1));
    ASSERT_EQ(snapshots[id - 1].size(), 32u);
    for (const std::string& hash : hashed[id - 1])
      EXPECT_NE(std::find(snapshots[id - 1].begin(), snapshots[id - 1].end(), hash), snapshots[id - 1].end())
          << "job " << id << " hash " << hash;
  }
  size_t changed = 0;
  for (size_t i = 0; i < 32; ++i) {
    if (snapshots[0][i] == snapshots[1][i]) continue;
    ++changed;
    EXPECT_NE(std::find(hashed[1].begin(), hashed[1].end(), snapshots[1][i]), hashed[1].end()) << "extent " << i;
  }
  EXPECT_GE(changed, 2u);
  for (int id : {1, 2}) EXPECT_EQ(RunBlbjob("release" + job(id, id), &out), 0) << out;
}

INSTANTIATE_TEST_SUITE_P(blbjobDevicePath, MountedDeviceOfType, testing::Values("ext4", "btrfs"),
                         [](const testing::TestParamInfo<const char*>& type) { return std::string(type.param); });

// Two full jobs, one by mount point and one by device path, two
// incrementals, then a job killed while its snapshot task holds the
// device's bitmap: the device path is its mount point's volume, so the kill
// leaves one volume's tracking to recover, and at most the next job is full,
// saying why in the library's words.
TEST(blbjobDevicePath, ADeviceNamedTwoWaysIsOneVolumeAndAKilledJobCostsAtMostOneFull) {
  MountedDevice fs;
  SKIP_WITHOUT_MOUNTED_DEVICE(fs);
  const std::string device = fs.loop.Device(), mountPoint = fs.mount->Path();
  const auto job = [](int id, int level, int last) {
    return " -- -a 2:7 -j " + std::to_string(id) + " -t " + std::to_string(level) + " -d stow1 -jt TOK" +
           (last != 0 ? " -lsjid " + std::to_string(last) : "");
  };
  const auto write = [&](int n) {
    return RunCommand("dd if=/dev/urandom of=" + mountPoint + "/w" + std::to_string(n) +
                      " bs=1M count=1 status=none && sync");
  };
  std::string out;
  ASSERT_EQ(RunBlbjob("run --volume " + mountPoint + job(1, 1, 0), &out), 0) << out;
  ASSERT_EQ(RunBlbjob("run --volume " + device + job(2, 1, 0), &out), 0) << out;
  EXPECT_TRUE(Contains(out, "  volume " + mountPoint + ": device " + device + ",")) << out;
  for (int id : {3, 4}) {
    ASSERT_EQ(write(id), 0);
    ASSERT_EQ(RunBlbjob("run --volume " + mountPoint + job(id, 2, id - 1), &out), 0) << out;
    EXPECT_TRUE(Contains(out, "job=" + std::to_string(id) + " level=incremental ")) << out;
  }
  // Killed once the delayed bitmap read has begun: the fault is gone from
  // the table when its one hit is taken.
  ASSERT_EQ(RunBlbsim(fs.state.Path(), "fault set KzBfDriver::getBitmap 30000 delay 1"), 0);
  const std::string taken = "[ -z \"$(" + std::string(BLBSIM_PATH) + " fault show)\" ]";
  ASSERT_EQ(
      RunCommand("{ " + std::string(BLBJOB_PATH) + " run --volume " + mountPoint + job(5, 2, 4) +
                 " >/dev/null 2>&1 & held=$!; for i in $(seq 200); do " + taken + " && break; sleep 0.05; done; " +
                 taken + " && kill -9 $held; wait $held; } 2>/dev/null; [ $? = 137 ]"),
      0);
  ASSERT_EQ(RunBlbsim(fs.state.Path(), "fault clear-all"), 0);
  RunBlbjob("release" + job(5, 2, 4));

  int fulls = 0;
  for (int id = 6; id <= 9; ++id) {
    SCOPED_TRACE(id);
    ASSERT_EQ(write(id), 0);
    ASSERT_EQ(RunBlbjob("run --volume " + mountPoint + job(id, 2, id == 6 ? 4 : id - 1), &out), 0) << out;
    const std::string line = "job=" + std::to_string(id) + " level=";
    if (!Contains(out, line + "full ")) {
      EXPECT_TRUE(Contains(out, line + "incremental ")) << out;
      continue;
    }
    ++fulls;
    // In the words the library logged, on the job's line and in the
    // snapshot phase's summary.
    const std::string summary = out.substr(out.find(line), out.find('\n', out.find(line)) - out.find(line));
    const std::string opening = "why=\"Resetting bitmap, device=" + device + ", clientId=2, appId=7, IsHookExists=";
    ASSERT_TRUE(Contains(summary, " " + opening)) << out;
    const std::string closing = "; This Incremental backup is now being forced as FULL backup\"";
    EXPECT_EQ(summary.substr(summary.size() - closing.size()), closing);
    const std::string why = summary.substr(summary.find(opening) + 5, summary.size() - summary.find(opening) - 6);
    EXPECT_TRUE(Contains(out, "  job " + std::to_string(id) + ": level 2, 0 conversions; runs full: " + why + "\n"))
        << out;
    const std::string log = ReadFile(fs.state.Sub("logs/blocklevel.log"));
    std::istringstream reasons(why);
    for (std::string reason; std::getline(reasons, reason, ';');)
      EXPECT_TRUE(Contains(log, reason.substr(reason.find_first_not_of(' ')) + "\n")) << reason;
  }
  // The kill left the device's bitmap untrusted: the next job is full, and
  // only that one.
  EXPECT_EQ(fulls, 1);
}

// A job of one subclient killed while its snapshot task holds the device's
// bitmap leaves the driver's hooks under both mount paths' keys: the next
// job of that subclient is full, and the ones after it incremental again;
// the other subclient pays at most one full too. No job misses a change.
TEST_P(SharedDeviceOfType, AJobKilledInOneSubclientsBitmapStepCostsEachSubclientAtMostOneFull) {
  TwoSubclientsOfOneDevice shared(GetParam());
  if (!shared.SkipReason().empty()) GTEST_SKIP() << shared.SkipReason();
  std::string out;
  int last[9] = {};
  // Each job of a subclient, after a write unless it is the first after the
  // kill (what the killed job took from the driver is all it has to find);
  // how many of them ran full.
  const auto jobs = [&](int app, std::vector<int> ids) {
    int fulls = 0;
    for (int id : ids) {
      SCOPED_TRACE(id);
      if (id != 6) {
        EXPECT_EQ(shared.Write(id), 0);
      }
      EXPECT_EQ(shared.Run("", app, id, last[app] == 0 ? 1 : 2, last[app], out), 0) << out;
      fulls += Contains(out, "job=" + std::to_string(id) + " level=full ") ? 1 : 0;
      shared.ExpectBackedUpAsSnapshotted(app, id);
      last[app] = id;
    }
    return fulls;
  };
  ASSERT_EQ(jobs(7, {1}), 1);
  ASSERT_EQ(jobs(8, {2}), 1);
  ASSERT_EQ(jobs(7, {3}), 0);
  ASSERT_EQ(jobs(8, {4}), 0);

  // Killed in the first read of a subclient cache, delayed: the driver's
  // bitmap is cleared by then and its bits live only in the killed process.
  // The fault is gone from the table when its one hit is taken.
  ASSERT_EQ(shared.Write(5), 0);
  const std::string pending = "kzbf bitmap " + shared.loop.Device();
  std::istringstream before(testing_support::CommandOutput(std::string(BLBSIM_PATH) + " " + pending));
  const std::set<uint64_t> written{std::istream_iterator<uint64_t>(before), std::istream_iterator<uint64_t>()};
  ASSERT_FALSE(written.empty());
  ASSERT_EQ(RunBlbsim(shared.state.Path(), "fault set FXFile::KZReadFile 30000 delay 1"), 0);
  const std::string taken = "[ -z \"$(" + std::string(BLBSIM_PATH) + " fault show)\" ]";
  const std::string atKill = shared.state.Sub("pending-at-kill");
  shared.held.push_back(TwoSubclientsOfOneDevice::Job(8, 5, 2, 4));
  ASSERT_EQ(RunCommand("{ " + std::string(BLBJOB_PATH) + " run --volume " + shared.Path(8) + shared.held.back() +
                       " >/dev/null 2>&1 & held=$!; for i in $(seq 200); do " + taken +
                       " && break; sleep 0.05; done; " + taken + " && " + BLBSIM_PATH + " " + pending + " >" + atKill +
                       " && kill -9 $held; wait $held; } 2>/dev/null; [ $? = 137 ]"),
            0);
  ASSERT_EQ(RunBlbsim(shared.state.Path(), "fault clear-all"), 0);
  // The file system's own writes since may be there again, not all of those.
  std::istringstream after(ReadFile(atKill));
  const std::set<uint64_t> left{std::istream_iterator<uint64_t>(after), std::istream_iterator<uint64_t>()};
  ASSERT_FALSE(std::includes(left.begin(), left.end(), written.begin(), written.end()))
      << "the kill came before the driver's clear";
  RunBlbjob("release" + shared.held.back());

  EXPECT_LE(jobs(8, {6, 7, 8, 9}), 1);
  EXPECT_LE(jobs(7, {10, 11}), 1);
}

// The checks remove a device's stale snapshots: they refuse a device that
// another subclient backs up too while a snapshot of it is held, whichever
// subclient's job holds it. With none held, both subclients' jobs run with
// the checks and stay incremental.
TEST_P(SharedDeviceOfType, TheChecksRefuseTheDeviceOfTwoSubclientsOnlyWhileASnapshotOfItIsHeld) {
  TwoSubclientsOfOneDevice shared(GetParam());
  if (!shared.SkipReason().empty()) GTEST_SKIP() << shared.SkipReason();
  const std::string device = shared.loop.Device();
  std::string out;
  ASSERT_EQ(shared.Run("--checks", 7, 1, 1, 0, out), 0) << out;
  shared.ExpectBackedUpAsSnapshotted(7, 1);
  ASSERT_EQ(shared.Run("--checks", 8, 2, 1, 0, out), 0) << out;
  shared.ExpectBackedUpAsSnapshotted(8, 2);
  for (int app : {7, 8}) {
    SCOPED_TRACE(app);
    ASSERT_EQ(shared.Write(app), 0);
    ASSERT_EQ(shared.Run("--checks", app, app - 4, 2, app - 6, out), 0) << out;
    EXPECT_TRUE(Contains(out, "job=" + std::to_string(app - 4) + " level=incremental ")) << out;
    shared.ExpectBackedUpAsSnapshotted(app, app - 4);
  }

  // Job 5 of 2:7 holds its snapshot: the checks of either subclient refuse.
  ASSERT_EQ(shared.Run("--checks", 7, 5, 2, 3, out), 0) << out;
  for (int app : {8, 7}) {
    SCOPED_TRACE(app);
    EXPECT_EQ(shared.Run("--checks", app, app == 8 ? 6 : 7, 2, app == 7 ? 5 : 4, out), 1) << out;
    EXPECT_TRUE(Contains(out, "pre-snap failed: KZBF/LVM device[" + device +
                                  "] Native backup with more than one Subclient configured is not supported, "
                                  "AppId=[" +
                                  std::to_string(app) + "], Error=[Device[" + device +
                                  "] is configured for multiple BlockLevel Subclients, Id's=[7, 8, ]]"))
        << out;
  }
  ASSERT_EQ(RunBlbjob("release" + TwoSubclientsOfOneDevice::Job(7, 5, 2, 3), &out), 0) << out;
  ASSERT_EQ(shared.Write(6), 0);
  ASSERT_EQ(shared.Run("--checks", 8, 6, 2, 4, out), 0) << out;
  EXPECT_TRUE(Contains(out, "job=6 level=incremental ")) << out;
  shared.ExpectBackedUpAsSnapshotted(8, 6);
}

INSTANTIATE_TEST_SUITE_P(blbjobDevicePath, SharedDeviceOfType, testing::Values("ext4", "btrfs"),
                         [](const testing::TestParamInfo<const char*>& type) { return std::string(type.param); });
