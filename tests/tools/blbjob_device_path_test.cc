// A mounted ext4 named to the job command by its device path: the device
// stands for itself as the volume, but its file system must be frozen
// around the copy as for its mount point, or the snapshot is refused.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <memory>
#include <string>

#include "support/blbsim_command.h"
#include "support/ext_image.h"
#include "support/loop_device.h"
#include "support/run_command.h"
#include "support/scoped_mount.h"
#include "support/test_platform.h"

namespace {

using testing_support::CommandOutput;
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
size_t ExtentsInUse(const std::string& snapshot) {
  testing_support::ExtAllocation allocation;
  EXPECT_TRUE(testing_support::ReadAllocation(snapshot, allocation));
  size_t used = 0;
  for (unsigned char byte : testing_support::ExpectedExtentBitmap(allocation, kExtentSize, kDeviceSize))
    for (int bit = 0; bit < 8; ++bit) used += (byte >> bit) & 1;
  return used;
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

}  // namespace

TEST(blbjobDevicePath, AMountedDeviceIsFrozenAsItsMountPointOrRefusedWhenNoneCanBeReached) {
  MountedDevice fs;
  SKIP_WITHOUT_MOUNTED_DEVICE(fs);
  std::string out;
  ASSERT_EQ(RunBlbjob("run --keep-snapshot --volume " + fs.loop.Device() + kJob, &out), 0) << out;
  EXPECT_TRUE(Contains(out, "snapshot " + fs.loop.Device() + ": frozen " + fs.mount->Path() + "\n")) << out;
  EXPECT_TRUE(Contains(out, "volume " + fs.loop.Device() + ": device " + fs.loop.Device())) << out;
  const std::string snapshot = fs.Snapshot();
  ASSERT_FALSE(snapshot.empty());
  const std::string header = CommandOutput("dumpe2fs -h " + snapshot + " 2>/dev/null");
  EXPECT_FALSE(Contains(header, "needs_recovery")) << header;
  const size_t inUse = ExtentsInUse(snapshot);
  EXPECT_LT(inUse, kDeviceSize / kExtentSize);
  EXPECT_TRUE(Contains(out, " extents_total=16 extents_listed=" + std::to_string(inUse) + "\n")) << out;

  // Where another mount hides its every mount point, it is refused.
  ASSERT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
  const std::string mountPoint = fs.mount->Path();
  ASSERT_EQ(::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m"), 0);
  const int status = RunBlbjob("snapshot --volume " + fs.loop.Device() + kJob, &out);
  ::umount2(mountPoint.c_str(), 0);
  EXPECT_EQ(status, 2) << out;
  EXPECT_EQ(out, "blbjob: " + fs.loop.Device() + " is mounted at " + mountPoint +
                     ", where another mount hides it: its file system cannot be frozen for the snapshot\n");
  const std::string held = "losetup -l -n -O BACK-FILE | grep -c -F " + fs.state.Path() + "/ || true";
  EXPECT_EQ(testing_support::SettledCommandOutput(held, "0\n"), "0\n");
}
