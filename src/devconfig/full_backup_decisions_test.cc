// When tracking of a device must start afresh (another extent size, another
// size), and what that does to the volume, the device and the job.
#include <gtest/gtest.h>

#include <memory>

#include "blocklevel/blocklevel.h"
#include "devconfig/devconfig_test_fixtures.h"
#include "devconfig/kz_device_config_handler_unix.h"
#include "platform/harness/kzbf_harness.h"
#include "support/loop_device.h"
#include "support/test_platform.h"

using devconfig_test::AddUnixJob;
using devconfig_test::kHeader;
using devconfig_test::UnixJobArgs;
using testing_support::CapturingEvents;
using testing_support::CapturingLog;
using testing_support::FileExists;
using testing_support::ScopedStateDir;
using testing_support::WriteFile;

namespace {

constexpr int kFourMiB = 4 << 20;

// Job 1001 of subclient 2/7 backs up /mnt/blb on a 64 MiB loop device that
// the driver tracks with 4 MiB extents and holds a snapshot of.
struct TrackedVolume {
  ScopedStateDir state;
  testing_support::ScopedLoopDevice loop{64 << 20};
  std::string device = loop.Device();
  std::string snapshot;
  CapturingEvents events;

  explicit TrackedVolume(int level) {
    AddUnixJob(level);
    if (loop.Ok()) Track();
  }

  void Track() {
    EXPECT_FALSE(blbsim::KzbfAttach(device, kFourMiB).IsError());
    EXPECT_FALSE(blbsim::KzbfCreateSnapshot(device, false, snapshot).IsError());
  }

  platform::KzBfDeviceStatus Status() const {
    platform::KzBfDeviceStatus status;
    EXPECT_FALSE(blbsim::KzbfQuery(device, status).IsError());
    return status;
  }

  // The pre-snap decisions, after the volume's record was cached; the
  // force-full flag they leave.
  bool Decide(KzDeviceConfigHandler& handler) {
    EXPECT_FALSE(handler.InitWrite(false, true).IsError());
    EXPECT_FALSE(handler.WriteDeviceConfig("/mnt/blb", device, "ext4", "rw", true).IsError());
    bool forceFull = false;
    CQiError error = handler.DetachBlockFilterOnVolumeOnSizeChange(device, "/mnt/blb", forceFull);
    EXPECT_FALSE(error.IsError()) << error.AsString();
    return forceFull;
  }
  bool Decide(const std::vector<std::string>& args) {
    std::unique_ptr<KzDeviceConfigHandler> handler(GetBlockDeviceConfigHandler(args));
    EXPECT_NE(handler, nullptr);
    return handler != nullptr && Decide(*handler);
  }

  std::string Record(uint64_t extentSize, uint64_t bitmapSize, uint64_t totalBlocks = 131072) const {
    return "true|/mnt/blb|" + device + "|ext4|rw|" + std::to_string(extentSize) + "|" + std::to_string(totalBlocks) +
           "|0|" + std::to_string(bitmapSize) + "|512|512|512|0|1";
  }
};

}  // namespace

TEST(FullBackupDecisions, AnotherConfiguredExtentSizeRestartsTrackingAndConvertsAnIncrementalJob) {
  TrackedVolume volume(2);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(volume.loop);
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nExtentSizeForBlockFilterDriver", "8"));
  std::unique_ptr<KzDeviceConfigHandler> handler(GetBlockDeviceConfigHandler(UnixJobArgs(2)));
  ASSERT_NE(handler, nullptr);
  EXPECT_TRUE(volume.Decide(*handler));
  // No previous job: the size check has nothing to add, one conversion.
  ASSERT_EQ(volume.events.events.size(), 1u);
  EXPECT_EQ(volume.events.events[0].eventId, 0x46000018);
  EXPECT_EQ(volume.events.events[0].arguments, std::vector<std::string>{"1001"});
  EXPECT_EQ(blbsim::FindJob(1001)->level, 1);
  EXPECT_EQ(blbsim::FindJob(1001)->conversions, 1u);
  EXPECT_FALSE(volume.Status().attached);
  EXPECT_FALSE(FileExists(volume.snapshot));
  BackupDeviceInfo revised;
  ASSERT_FALSE(handler->GetDeviceConfigForVolume("/mnt/blb", revised, volume.device).IsError());
  EXPECT_EQ(revised.Serialize(), volume.Record(8 << 20, 1));

  // A full job and an SPOS job restart tracking too, but stay as they are.
  for (const std::vector<std::string>& args : {UnixJobArgs(1), UnixJobArgs(2, {"-SPOS"})}) {
    volume.Track();
    EXPECT_TRUE(volume.Decide(args));
    EXPECT_FALSE(volume.Status().attached);
  }
  EXPECT_EQ(volume.events.events.size(), 1u);

  // 0 configured, and 4096 MiB that no driver can take (in 32 bits a size of
  // 0), are the 4 MiB the driver tracks with: nothing changed.
  volume.Track();
  for (const char* configured : {"0", "4096"}) {
    ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nExtentSizeForBlockFilterDriver", configured));
    EXPECT_FALSE(volume.Decide(UnixJobArgs(2))) << configured;
    EXPECT_TRUE(volume.Status().attached) << configured;
  }
}

TEST(FullBackupDecisions, ADeviceOfAnotherSizeThanInThePreviousJobGoesFull) {
  TrackedVolume volume(2);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(volume.loop);
  CapturingLog log;
  // The previous job saw 60 MiB: 15 extents.
  WriteFile(volume.state.Sub("jobresults/2/7/BlockDeviceConfig.kzf"),
            std::string(kHeader) + "#METADATA_NOT_ENABLED#\n" + volume.Record(kFourMiB, 2, 122880) + "\n");
  EXPECT_TRUE(volume.Decide(UnixJobArgs(2)));
  EXPECT_TRUE(log.Contains("Volume or Extent size change detected for device=" + volume.device +
                           " volume=/mnt/blb, block count \t\t\told=122880 new=131072, extent count old=15 new=16"));
  ASSERT_EQ(volume.events.events.size(), 1u);
  EXPECT_EQ(volume.events.events[0].eventId, 0x46000018);
  EXPECT_FALSE(volume.Status().attached);
  EXPECT_FALSE(FileExists(volume.snapshot));

  // The same size as before: tracking goes on.
  WriteFile(volume.state.Sub("jobresults/2/7/BlockDeviceConfig.kzf"),
            std::string(kHeader) + "#METADATA_NOT_ENABLED#\n" + volume.Record(kFourMiB, 2) + "\n");
  volume.Track();
  EXPECT_FALSE(volume.Decide(UnixJobArgs(2)));
  EXPECT_TRUE(volume.Status().attached);
  EXPECT_EQ(volume.events.events.size(), 1u);
}
