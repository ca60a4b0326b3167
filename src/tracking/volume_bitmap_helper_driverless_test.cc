#include "tracking/volume_bitmap_helper_driverless.h"

#include <gtest/gtest.h>

#include "platform/guid/guid_factory.h"
#include "platform/harness/mount_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/sim/fault_table.h"
#include "platform/snapshot/sm_vol_block.h"
#include "support/scratch_device.h"
#include "support/test_platform.h"

namespace {

using testing_support::CapturingLog;
using testing_support::FakeTools;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedLoopDevice;
using testing_support::ScopedStateDir;
using testing_support::WriteFile;

constexpr const char* kHeader =
    "# IsSupported|SourceVolume|SourceDevice|FSType|MountOptions|ExtentSize|TotalBlocks"
    "|FSBlockSize|BitMapSize|LogSectorSz|PhySectorSz|IOMinSz|IOOptimalSz|Version\n";

VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS& Strategy() {
  return *VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS::GetVolumeHandler();
}

void SetExtentSizeMiB(const char* value) {
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nExtentSizeForBlockFilterDriver", value));
}

TEST(VolumeBitMapHelperDriverless, RecordsEachAttachWithTheSettingOfTheMoment) {
  ScopedStateDir state;
  ScopedLoopDevice loop(64 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  const std::string device = loop.Device();
  const std::string dcf = state.Sub("dcf");
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "sKZBFSNAPPART", dcf));
  const std::string record = dcf + "/DriverLess/" + CGuidFactory::get_guid_nosalt(device) + "/BlockDeviceConfig.kzf";
  auto line = [&](const char* extent, const char* bitmap) {
    return std::string(kHeader) + "#METADATA_NOT_ENABLED#\ntrue|/mnt/x|" + device + "|||" + extent + "|131072|0|" +
           bitmap + "|0|0|0|0|1\n";
  };

  // Without a record the configured size applies.
  VolumeInfo info;
  info.FSBlockSize = 77;
  ASSERT_FALSE(Strategy().GetVolumeInfo(device, info).IsError());
  EXPECT_EQ(info.ExtentSize, 4194304u);
  EXPECT_EQ(info.BitMapSize, 2u);
  EXPECT_EQ(info.FSBlockSize, 77u);

  SetExtentSizeMiB("8");
  ASSERT_FALSE(Strategy().AttachDevice("/mnt/x", device, 0).IsError());
  EXPECT_EQ(ReadFile(record), line("8388608", "1"));
  // The record keeps the extent size until the next attach.
  SetExtentSizeMiB("16");
  ASSERT_FALSE(Strategy().GetVolumeInfo(device, info).IsError());
  EXPECT_EQ(info.ExtentSize, 8388608u);
  EXPECT_EQ(info.TotalBlocks, 131072u);
  EXPECT_EQ(info.BitMapSize, 1u);
  ASSERT_FALSE(Strategy().AttachDevice("/mnt/x", device, 4096).IsError());
  EXPECT_EQ(ReadFile(record), line("16777216", "1"));
  SetExtentSizeMiB("4096");
  CapturingLog log;
  ASSERT_FALSE(Strategy().AttachDevice("/mnt/x", device, 0).IsError());
  EXPECT_TRUE(log.Contains("nExtentSizeForBlockFilterDriver=4096 MiB is larger"));
  EXPECT_EQ(ReadFile(record), line("4194304", "2"));

  // Both steps write all ones; the incremental one makes the volume full.
  SMVolBlock volume;
  volume.sDevice = device;
  volume.sVolume = "/mnt/x";
  SetExtentSizeMiB("8");
  const std::string bitmap = state.Sub("ID.bmp");
  ASSERT_FALSE(Strategy().FullBitMapFormalities(volume, bitmap, 1, 0, true).IsError());
  EXPECT_FALSE(volume.bForceFull);
  EXPECT_EQ(ReadFile(bitmap), "\xFF");
  ASSERT_FALSE(Strategy().IncrBitMapFormalities(volume, bitmap, 1, 0, false).IsError());
  EXPECT_TRUE(volume.bForceFull);
  EXPECT_EQ(ReadFile(bitmap), "\xFF");
  EXPECT_EQ(ReadFile(record), line("8388608", "1"));

  // A record that does not hold a device is refused.
  WriteFile(record, std::string(kHeader) + "#METADATA_NOT_ENABLED#\nfalse|/mnt/x\n");
  CQiError invalid = Strategy().GetVolumeInfo(device, info);
  EXPECT_TRUE(FXErrorUtil::IsWin32(invalid, 1627));
  EXPECT_EQ(invalid.GetMessage(),
            "Invalid backup device read from config file[" + record + "] for device[" + device + "]");

  ASSERT_FALSE(Strategy().DetachDevice(device).IsError());
  EXPECT_FALSE(FileExists(record));
  EXPECT_FALSE(Strategy().DetachDevice(device).IsError());
  // A device that is not there has no geometry, and is not recorded.
  const std::string absent = state.Sub("no-such-device");
  CQiError unknown = Strategy().AttachDevice("/mnt/y", absent, 0);
  EXPECT_TRUE(FXErrorUtil::IsWin32(unknown, 1627));
  EXPECT_EQ(unknown.GetMessage(), "GetDeviceSize failed to fetch device size for device[" + absent + "]");
  std::string path;
  ASSERT_FALSE(Strategy().GetDriverLessConfigFilePath(absent, path).IsError());
  EXPECT_FALSE(FileExists(path));
  EXPECT_TRUE(FileExists(path.substr(0, path.rfind('/'))));
  // Without its folder a device is not recorded, and nothing stands in for it.
  const std::string other = state.Sub("other-device");
  platform::FaultTable::Set("FXFolder::CreateFoldersIteratively", 13, false, 1);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(Strategy().AttachDevice("/mnt/z", other, 0), 13));
  EXPECT_FALSE(FileExists(dcf + "/DriverLess/" + CGuidFactory::get_guid_nosalt(other)));
}

TEST(VolumeBitMapHelperDriverless, UnmountsAndRemovesTheSystemsLvmSnapshots) {
  ScopedStateDir state;
  FakeTools tools(state);
  const std::string calls = state.Sub("calls");
  tools.Lvs("  kznv_3:vg0:home\\n  kznv_4:vg0:var\\n");
  tools.Add("umount", "echo \"umount $*\" >> '" + calls + "'\n");
  tools.Add("lvremove", "echo \"lvremove $*\" >> '" + calls + "'\n");
  ASSERT_TRUE(blbsim::SetRealMounts(false));
  ASSERT_TRUE(blbsim::AddMount("/dev/mapper/vg0-kznv_3", "/mnt/s3"));
  ASSERT_TRUE(blbsim::AddMount("/dev/mapper/vg0-kznv_4", "/mnt/s4"));
  ASSERT_TRUE(blbsim::AddMount("/dev/mapper/vg0-kznv_3", "/mnt/s3 again"));

  ASSERT_FALSE(Strategy().DeleteSnapAndDetachDevice("/dev/mapper/vg0-home", true).IsError());
  EXPECT_EQ(ReadFile(calls), "umount /mnt/s3\numount /mnt/s3 again\nlvremove -f /dev/mapper/vg0-kznv_3\n");

  // Nothing to remove: no command runs. A failing unmount is logged and the
  // snapshot still removed.
  ASSERT_FALSE(Strategy().DeleteSnapAndDetachDevice("/dev/mapper/vg0-usr", false).IsError());
  ASSERT_FALSE(Strategy().DeleteSnapAndDetachDevice("/dev/sda1", false).IsError());
  EXPECT_EQ(ReadFile(calls), "umount /mnt/s3\numount /mnt/s3 again\nlvremove -f /dev/mapper/vg0-kznv_3\n");
  tools.Add("umount", "echo busy >&2; exit 32\n");
  CapturingLog log;
  ASSERT_FALSE(Strategy().DeleteSnapAndDetachDevice("/dev/vg0/var", false).IsError());
  EXPECT_TRUE(log.Contains("failed to unmount snap[/dev/mapper/vg0-kznv_4], err[busy"));
  EXPECT_NE(ReadFile(calls).find("lvremove -f /dev/mapper/vg0-kznv_4\n"), std::string::npos);

  // Without the mount table nothing is unmounted or removed.
  platform::FaultTable::Set("KzMntTab::getAll", 5, false, 1);
  const std::string before = ReadFile(calls);
  CQiError failed = Strategy().DeleteSnapAndDetachDevice("/dev/mapper/vg0-home", true);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(failed, 5));
  EXPECT_TRUE(log.Contains("failed to get KzMntTab list"));
  EXPECT_EQ(ReadFile(calls), before);
}

}  // namespace
