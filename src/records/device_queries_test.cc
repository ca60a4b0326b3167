#include "records/device_queries.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "platform/sim/fault_table.h"
#include "support/loop_device.h"
#include "support/test_platform.h"

namespace {

struct Geometry {
  uint64_t size = 0, logical = 0, physical = 0, ioMin = 0, ioOpt = 0, blockSize = 0;
};

// What the kernel reports through blockdev, the engineer's view of the device.
Geometry BlockdevGeometry(const std::string& device) {
  std::istringstream in(testing_support::CommandOutput("blockdev --getsize64 --getss --getpbsz --getiomin --getioopt "
                                                       "--getbsz " + device));
  Geometry g;
  in >> g.size >> g.logical >> g.physical >> g.ioMin >> g.ioOpt >> g.blockSize;
  return g;
}

void ExpectSameAsBlockdev(const std::string& device) {
  const Geometry expected = BlockdevGeometry(device);
  ASSERT_GT(expected.blockSize, 0u);
  uint64_t size = 0, unrounded = 0;
  ASSERT_TRUE(GetDeviceSize_Internal(device, &size, &unrounded));
  EXPECT_EQ(unrounded, expected.size);
  EXPECT_EQ(size, expected.size / expected.blockSize * expected.blockSize);
  Geometry got;
  ASSERT_TRUE(GetDiskSectorSz(device, &got.logical, &got.physical, &got.ioMin, &got.ioOpt));
  EXPECT_EQ(got.logical, expected.logical);
  EXPECT_EQ(got.physical, expected.physical);
  EXPECT_EQ(got.ioMin, expected.ioMin);
  EXPECT_EQ(got.ioOpt, expected.ioOpt);
}

}  // namespace

TEST(DeviceQueries, LoopDeviceGeometryMatchesBlockdev) {
  testing_support::ScopedStateDir state;
  testing_support::ScopedLoopDevice loop(64ull << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  uint64_t size = 0;
  ASSERT_TRUE(GetDeviceSize(loop.Device(), &size));
  EXPECT_EQ(size, 67108864u);
  ExpectSameAsBlockdev(loop.Device());

  // 4 KiB logical sectors answer differently; a tail short of a whole block
  // is not counted in the rounded size.
  testing_support::ScopedLoopDevice wide((64ull << 20) + 4096, 4096);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(wide);
  ExpectSameAsBlockdev(wide.Device());
  uint64_t logical = 0;
  ASSERT_TRUE(GetDiskSectorSz(wide.Device(), &logical, nullptr, nullptr, nullptr));
  EXPECT_EQ(logical, 4096u);

  testing_support::ScopedLoopDevice ragged((64ull << 20) + 512);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(ragged);
  ExpectSameAsBlockdev(ragged.Device());
}

TEST(DeviceQueries, SizeFallbackCountsHalfKilobyteUnitsWhateverTheSectorSize) {
  testing_support::ScopedStateDir state;
  testing_support::CapturingLog log;
  testing_support::ScopedLoopDevice wide(64ull << 20, 4096);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(wide);
  platform::FaultTable::Set("ioctl::BLKGETSIZE64", 25, false, 1);
  uint64_t size = 0, unrounded = 0;
  ASSERT_TRUE(GetDeviceSize_Internal(wide.Device(), &size, &unrounded));
  EXPECT_TRUE(log.Contains(" ioctl BLKGETSIZE64 failed for volume " + wide.Device() + " errorno=25"));
  EXPECT_EQ(size, 67108864u);
  EXPECT_EQ(unrounded, 67108864u);

  // Without the fallback as well, the size cannot be told.
  platform::FaultTable::Set("ioctl::BLKGETSIZE64", 25, false, 1);
  platform::FaultTable::Set("ioctl::BLKGETSIZE", 5, false, 1);
  EXPECT_FALSE(GetDeviceSize(wide.Device(), &size));
  EXPECT_TRUE(log.Contains(" ioctl BLKGETSIZE failed for volume " + wide.Device() + " errorno=5 "));
}

TEST(DeviceQueries, RegularFileAndMissingPathFail) {
  testing_support::ScopedStateDir state;
  testing_support::CapturingLog log;
  const std::string file = state.Sub("plain.img");
  testing_support::WriteFile(file, std::string(8192, 'x'));

  uint64_t size = 7;
  EXPECT_FALSE(GetDeviceSize(file, &size));
  EXPECT_TRUE(log.Contains(" ioctl BLKGETSIZE64 failed for volume " + file + " errorno=25. falling back to BLKGETSIZE"));
  EXPECT_TRUE(log.Contains(" ioctl BLKGETSIZE failed for volume " + file + " errorno=25 "));

  // Answers nothing, yet the call succeeds with every size 0.
  uint64_t logical = 1, physical = 1, ioMin = 1, ioOpt = 1;
  EXPECT_TRUE(GetDiskSectorSz(file, &logical, &physical, &ioMin, &ioOpt));
  EXPECT_EQ(logical + physical + ioMin + ioOpt, 0u);
  EXPECT_TRUE(log.Contains("BLKSSZGET failed for device " + file + ", error: "));
  EXPECT_TRUE(log.Contains("BLKIOOPT failed for device " + file + ", error: "));
  EXPECT_TRUE(log.Contains("At least one of the device ioctl's have failed, resetting attr to 0's"));

  const std::string missing = state.Sub("no-such-device");
  EXPECT_FALSE(GetDeviceSize(missing, &size));
  EXPECT_TRUE(log.Contains("open failed on " + missing + ". errno:2"));
  EXPECT_FALSE(GetDiskSectorSz(missing, &logical, &physical, &ioMin, &ioOpt));
  EXPECT_TRUE(log.Contains("open failed for device " + missing + ", error No such file or directory"));
}
