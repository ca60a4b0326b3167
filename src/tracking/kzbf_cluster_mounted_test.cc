// Cluster fail-over of a real ext4 volume that moves from one loop device to
// another, as a shared disk moves between a cluster's nodes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "blocklevel/blocklevel.h"
#include "platform/text/fx_string.h"
#include "support/loop_device.h"
#include "tracking/cluster_test_fixtures.h"

namespace {

using cluster_test::ClusterNode;
using cluster_test::kNone;
using testing_support::CommandOutput;
using testing_support::RunCommand;
using testing_support::WriteFile;

// Mounted for the scope (idle: nothing initialised in the background, so
// the simulated driver sees only what the test writes).
class ScopedMount {
 public:
  ScopedMount(const std::string& device, const std::string& folder) : folder_(folder) {
    std::filesystem::create_directories(folder);
    mounted_ = RunCommand("mount -o noinit_itable " + device + " " + folder) == 0;
    EXPECT_TRUE(mounted_) << "mount " << device;
  }
  ~ScopedMount() { Unmount(); }
  void Unmount() {
    if (mounted_) {
      EXPECT_EQ(RunCommand("umount " + folder_), 0);
    }
    mounted_ = false;
  }

 private:
  std::string folder_;
  bool mounted_ = false;
};

// As "blbsim kzbf query" prints it.
std::string Query(const std::string& device) {
  platform::KzBfDeviceStatus status;
  if (blbsim::KzbfQuery(device, status).IsError()) return "query failed";
  return FXString::Format("attached=%d size=%lld extent=%d extents=%d\n", status.attached ? 1 : 0,
                          static_cast<long long>(status.deviceSize), status.extentSize, status.extentCount);
}

TEST(ClusterFailOverOfAMountedVolume, SoftThenHard) {
  ClusterNode node;
  testing_support::ScopedLoopDevice loopN(64 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loopN);
  ASSERT_EQ(RunCommand("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + loopN.Device()), 0);
  const std::string mount = node.state.Sub("mnt/a");
  const std::string key = node.Key(mount);
  const std::string record = node.Record(loopN.Device(), key);
  {
    ScopedMount mounted(loopN.Device(), mount);
    ASSERT_FALSE(blbsim::KzbfAttach(loopN.Device(), cluster_test::kExtent).IsError());
    WriteFile(node.list, node.Entry(mount));
    WriteFile(node.monitored, record);
    ASSERT_FALSE(blbsim::KzbfMarkExtents(loopN.Device(), {0, 2}).IsError());
    ASSERT_FALSE(BlockLevelClusterHandler(0).IsError());
    EXPECT_EQ(node.Contents(node.LeftBehind(mount)), std::string("\x05\x00", 2));
    EXPECT_EQ(node.Contents(node.marker), record);
    EXPECT_EQ(Query(loopN.Device()), "attached=0 size=0 extent=0 extents=0\n");
  }

  // The image comes up on the other node as another device.
  const std::string loopM = FXString(CommandOutput("losetup -f --show " + loopN.Image())).TrimRight("\n ");
  ASSERT_FALSE(loopM.empty());
  {
    ScopedMount mounted(loopM, mount);
    WriteFile(node.monitored, "");
    ASSERT_FALSE(BlockLevelClusterHandler(1).IsError());
    EXPECT_EQ(node.Contents(node.marker), kNone);
    EXPECT_EQ(Query(loopM), "attached=1 size=67108864 extent=4194304 extents=16\n");
    EXPECT_EQ(node.Contents(node.list), node.Entry(mount));
    EXPECT_EQ(node.Contents(node.LeftBehind(mount)), std::string("\x05\x00", 2));
    EXPECT_EQ(node.Contents(node.monitored), node.Record(loopM, key));

    // Stopped again, and started without the marker: hard.
    ASSERT_FALSE(BlockLevelClusterHandler(0).IsError());
    std::filesystem::remove(node.marker);
    WriteFile(node.list, node.Entry(mount) + node.Entry(mount));
    ASSERT_FALSE(BlockLevelClusterHandler(1).IsError());
    EXPECT_EQ(node.Contents(node.list), node.Entry(mount, 1));
    EXPECT_EQ(node.Contents(node.LeftBehind(mount)), kNone);
    EXPECT_EQ(Query(loopM), "attached=1 size=67108864 extent=4194304 extents=16\n");
  }
  EXPECT_EQ(RunCommand("losetup -d " + loopM), 0);
}

}  // namespace
