#include "tracking/volume_bitmap_helper_kzbf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "platform/cxbf/kz_volume.h"
#include "platform/driver/kzbf_backend.h"
#include "platform/guid/guid_factory.h"
#include "platform/harness/cxbf_harness.h"
#include "platform/harness/kzbf_harness.h"
#include "platform/harness/mount_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"
#include "platform/snapshot/sm_vol_block.h"
#include "support/loop_device.h"
#include "support/scratch_device.h"
#include "support/test_platform.h"
#include "tracking/volume_bitmap_helper_cxbf.h"
#include "tracking/volume_bitmap_helper_driverless.h"

namespace {

using testing_support::CapturingLog;
using testing_support::FakeTools;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedStateDir;
using testing_support::ScratchDevice;
using testing_support::WriteFile;

const std::string kPseudo = "/dev/cxbf/cxbf0";
const std::string kBanner = "*********************** DRIVER LESS SUPPORT ENABLED FOR BLOCK LEVEL ******************";

// This machine's client 2 (job results JR) backs up DEV, mounted at
// "/mnt/a", with subclient 7 of cell 2.
struct KzbfVolume {
  ScopedStateDir state;
  ScratchDevice device{state};
  VolumeBitMapHelper_KZBF& strategy = *VolumeBitMapHelper_KZBF::GetVolumeHandler();
  std::string jr = state.Sub("jobresults");
  std::string key = CGuidFactory::get_guid_nosalt("/mnt/a");

  KzbfVolume() {
    platform::SubclientRecord subclient;
    subclient.cellId = 2;
    subclient.appId = 7;
    subclient.clientId = 2;
    EXPECT_TRUE(blbsim::AddSubclient(subclient));
  }

  SMVolBlock Volume(uint64_t app = 7) const {
    SMVolBlock volume;
    volume.sDevice = device.Path();
    volume.sVolume = "/mnt/a";
    volume.nAppId = app;
    volume.nVornCellId = 2;
    return volume;
  }

  // The volume's bitmap file in a fresh job folder.
  std::string BitmapFile(const std::string& folder) const {
    const std::string directory = state.Sub(folder);
    EXPECT_TRUE(platform::MakeDirectories(directory));
    std::string name;
    VolumeBitMapHelper::GenerateBitmapFileName("/mnt/a", directory, name, device.Path(), "ext4");
    return name;
  }

  CQiError Step(SMVolBlock& volume, bool full, bool preSnap, const std::string& file) {
    return full ? strategy.FullBitMapFormalities(volume, file, 2, 4 << 20, preSnap)
                : strategy.IncrBitMapFormalities(volume, file, 2, 4 << 20, preSnap);
  }

  std::string AttachedList() const { return ReadFile(jr + "/.BlockLevel/.AttachedVolumes"); }
};

TEST(StrategySelection, DriverlessSettingThenCxbfPseudoDevicesThenTheKzbfDriver) {
  using Helper = VolumeBitMapHelper;
  ScopedStateDir state;
  ScratchDevice device(state);
  ASSERT_TRUE(blbsim::SetCxbfLoaded(true));
  ASSERT_FALSE(blbsim::CxbfAddDevice(kPseudo, device.Path()).IsError());
  const std::string setting = "nEnableDriverLessForBlockLevel";

  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", setting, "1"));
  {
    CapturingLog log;
    EXPECT_EQ(Helper::GetDeviceHandlerType(kPseudo), Helper::eDeviceType_BLOCKLEVEL_DRIVERLESS);
    EXPECT_EQ(Helper::GetDeviceHandlerType(device.Path()), Helper::eDeviceType_BLOCKLEVEL_DRIVERLESS);
    const std::vector<std::string> lines = log.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.find(kBanner) != std::string::npos; }),
              2);
  }
  // One object per strategy from the factory; a new one from GetVolumeHandler.
  Helper::eDeviceType_t type = Helper::eDeviceType_NONE;
  boost::shared_ptr<Helper> driverless = Helper::GetVolumeHandlerInstance(kPseudo, type);
  EXPECT_EQ(driverless, Helper::GetVolumeHandlerInstance(device.Path(), type));
  EXPECT_NE(dynamic_cast<VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS*>(driverless.get()), nullptr);
  std::unique_ptr<Helper> own(Helper::GetVolumeHandler(device.Path(), type));
  EXPECT_NE(dynamic_cast<VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS*>(own.get()), nullptr);
  EXPECT_NE(own.get(), driverless.get());

  // A setting of 0 counts as none.
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", setting, "0"));
  EXPECT_EQ(Helper::GetDeviceHandlerType(kPseudo), Helper::eDeviceType_CXBF);
  ASSERT_TRUE(blbsim::RemoveRegistryValue("FileSystemAgent", setting));
  EXPECT_EQ(Helper::GetDeviceHandlerType(device.Path()), Helper::eDeviceType_KZBF);
  boost::shared_ptr<Helper> kzbf = Helper::GetVolumeHandlerInstance(device.Path(), type);
  EXPECT_EQ(type, Helper::eDeviceType_KZBF);
  EXPECT_EQ(kzbf, Helper::GetVolumeHandlerInstance(device.Path(), type));
  EXPECT_NE(dynamic_cast<VolumeBitMapHelper_KZBF*>(kzbf.get()), nullptr);
  boost::shared_ptr<Helper> cxbf = Helper::GetVolumeHandlerInstance(kPseudo, type);
  EXPECT_EQ(type, Helper::eDeviceType_CXBF);
  EXPECT_EQ(cxbf, Helper::GetVolumeHandlerInstance(kPseudo, type));
  EXPECT_NE(dynamic_cast<VolumeBitMapHelper_CXBF*>(cxbf.get()), nullptr);
}

// The simulated driver, but reporting every device as tracked with the
// given extent size.
class ExtentSizeReportingDriver : public platform::KzBfBackend {
 public:
  explicit ExtentSizeReportingDriver(int extentSize) : extentSize_(extentSize), scope_(*this) {}
  CQiError Open() override { return Default().Open(); }
  CQiError Attach(const std::string& device, int extentSize) override { return Default().Attach(device, extentSize); }
  CQiError Detach(const std::string& device) override { return Default().Detach(device); }
  CQiError Query(const std::string& device, platform::KzBfDeviceStatus& status) override {
    CQiError result = Default().Query(device, status);
    status.attached = true;
    status.extentSize = extentSize_;
    return result;
  }
  CQiError Clear(const std::string& device) override { return Default().Clear(device); }
  CQiError GetBitmap(const std::string& device, std::vector<char>& bitmap, bool clear) override {
    return Default().GetBitmap(device, bitmap, clear);
  }
  CQiError DestroySnap(const std::string& snapshot) override { return Default().DestroySnap(snapshot); }

 private:
  int extentSize_;
  platform::KzBf::Scope scope_;
};

TEST(VolumeBitMapHelperKZBF, GeometryTakesTheDriversExtentSizeOrTheConfiguredOne) {
  KzbfVolume kzbf;
  testing_support::ScopedLoopDevice large(10ULL << 30);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(large);

  // Untracked, nothing configured: 4 MiB; the caller's other fields stay.
  VolumeInfo info;
  info.FSBlockSize = 11;
  info.LogSectorSz = 12;
  info.PhySectorSz = 13;
  info.IOMinSz = 14;
  info.IOOptimalSz = 15;
  ASSERT_FALSE(kzbf.strategy.GetVolumeInfo(large.Device(), info).IsError());
  EXPECT_EQ(info.ExtentSize, 4194304u);
  EXPECT_EQ(info.TotalBlocks, 20971520u);
  EXPECT_EQ(info.BitMapSize, 320u);
  EXPECT_EQ(info.FSBlockSize + info.LogSectorSz + info.PhySectorSz + info.IOMinSz + info.IOOptimalSz, 65u);

  ASSERT_FALSE(blbsim::KzbfAttach(kzbf.device.Path(), 1 << 20).IsError());
  ASSERT_FALSE(kzbf.strategy.GetVolumeInfo(kzbf.device.Path(), info).IsError());
  EXPECT_EQ(info.ExtentSize, 1048576u);
  EXPECT_EQ(info.TotalBlocks, 131072u);
  EXPECT_EQ(info.BitMapSize, 8u);

  // A tracked device for which the driver reports no usable extent size
  // gets the configured one, never a division by it.
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nExtentSizeForBlockFilterDriver", "2"));
  for (const int reported : {0, -4096}) {
    ExtentSizeReportingDriver driver(reported);
    ASSERT_FALSE(kzbf.strategy.GetVolumeInfo(kzbf.device.Path(), info).IsError()) << reported;
    EXPECT_EQ(info.ExtentSize, 2097152u) << reported;
    EXPECT_EQ(info.BitMapSize, 4u) << reported;
  }

  // 2 TiB at 512-byte extents: 2^32 extents, more than 32 bits can count.
  testing_support::ScopedLoopDevice huge(2ULL << 40);
  ASSERT_TRUE(huge.Ok()) << huge.SkipReason();
  ExtentSizeReportingDriver driver(512);
  ASSERT_FALSE(kzbf.strategy.GetVolumeInfo(huge.Device(), info).IsError());
  EXPECT_EQ(info.TotalBlocks, 1ULL << 32);
  EXPECT_EQ(info.BitMapSize, 1ULL << 29);
}

TEST(VolumeBitMapHelperKZBF, BitmapStepsShareTheDriversBitmapAndRecordTheVolumeForFailOver) {
  KzbfVolume kzbf;
  const std::string j1 = kzbf.BitmapFile("J1");

  // Full: the first step attaches the device and gives all ones.
  SMVolBlock volume = kzbf.Volume();
  ASSERT_FALSE(kzbf.Step(volume, true, true, j1).IsError());
  EXPECT_TRUE(volume.bForceFull);
  EXPECT_FALSE(FileExists(kzbf.jr + "/.BlockLevel/.AttachedVolumes"));
  ASSERT_FALSE(kzbf.Step(volume, true, false, j1).IsError());
  EXPECT_EQ(ReadFile(j1), std::string("\xFF\xFF", 2));
  EXPECT_EQ(kzbf.AttachedList(), "/mnt/a|4194304|2|0\n");

  // Incremental: the pre-snapshot step clears the driver, the post-snapshot
  // step adds what was written in between.
  const std::string j2 = kzbf.BitmapFile("J2");
  kzbf.device.Write(8 << 20);
  volume = kzbf.Volume();
  volume.bForceFull = true;
  ASSERT_FALSE(kzbf.Step(volume, false, true, j2).IsError());
  EXPECT_FALSE(volume.bForceFull);
  EXPECT_EQ(ReadFile(j2), std::string("\x04\x00", 2));
  kzbf.device.Write(20 << 20);
  ASSERT_FALSE(kzbf.Step(volume, false, false, j2).IsError());
  EXPECT_FALSE(volume.bForceFull);
  EXPECT_EQ(ReadFile(j2), std::string("\x24\x00", 2));
  EXPECT_EQ(kzbf.AttachedList(), "/mnt/a|4194304|2|0\n");
  // The bits read after the snapshot stay for the next backup.
  EXPECT_EQ(ReadFile(kzbf.jr + "/.BlockLevel/2_7/" + kzbf.key + ".bmp"), std::string("\x20\x00", 2));
}

TEST(VolumeBitMapHelperKZBF, BitmapStepsFailOnAnUnknownClientOrAnUnreadableAttachedList) {
  KzbfVolume kzbf;
  const std::string file = kzbf.BitmapFile("J");

  // The incremental step needs the application's client.
  SMVolBlock volume = kzbf.Volume(9);
  CQiError failed = kzbf.Step(volume, false, true, file);
  EXPECT_EQ(FXErrorUtil::GetCode(failed), -1);
  EXPECT_EQ(failed.GetMessage(), "failed to get clientInfo [getClient] for AppId[9]");
  EXPECT_FALSE(FileExists(file));

  // The attached-volume list's exception comes back as a failure.
  platform::FaultTable::Set("KZPI_VornClient::getJobResultsDirectory", 1);
  CapturingLog log;
  volume = kzbf.Volume();
  failed = kzbf.Step(volume, true, false, file);
  EXPECT_EQ(FXErrorUtil::GetCode(failed), -1);
  EXPECT_EQ(failed.GetMessage(), "Failed to retrieve job results directory for VM localclient from registry");
  EXPECT_TRUE(log.Contains(" -BlockLevel- Failed to retrieve job results directory"));
}

// DEV tracked with driver snapshots; "umount" records its arguments.
struct SnapshotCleanup : KzbfVolume {
  FakeTools tools{state};
  std::string umounts = state.Sub("umount.calls");
  std::string cow = state.Sub("cow");

  SnapshotCleanup() {
    tools.Add("umount", "echo \"$@\" >> " + umounts + "\n");
    EXPECT_TRUE(blbsim::SetRealMounts(false));
    EXPECT_TRUE(platform::MakeDirectories(cow));
    EXPECT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "sKZBFSNAPPART", cow));
  }

  // A driver snapshot of DEV with its two copy-on-write files in folder.
  std::string Snapshot(const std::string& folder) {
    std::string snapshot;
    EXPECT_FALSE(blbsim::KzbfCreateSnapshot(device.Path(), false, snapshot).IsError());
    const std::string name = snapshot.substr(snapshot.rfind('/') + 1);
    WriteFile(folder + "/" + name + ".cow.dat", "data");
    WriteFile(folder + "/" + name + ".cow.bmp", "bmp");
    return snapshot;
  }

  std::string CowFile(const std::string& folder, const std::string& snapshot, const char* suffix) const {
    return folder + "/" + snapshot.substr(snapshot.rfind('/') + 1) + suffix;
  }

  platform::KzBfDeviceStatus Status() const {
    platform::KzBfDeviceStatus status;
    EXPECT_FALSE(blbsim::KzbfQuery(device.Path(), status).IsError());
    return status;
  }
};

TEST(VolumeBitMapHelperKZBF, SnapshotCleanupUnmountsRemovesCowFilesDestroysAndDetaches) {
  SnapshotCleanup dev;
  ASSERT_FALSE(blbsim::KzbfAttach(dev.device.Path(), 4 << 20).IsError());
  const std::string first = dev.Snapshot(dev.cow);
  const std::string second = dev.Snapshot(dev.cow);
  ASSERT_TRUE(blbsim::AddMount(first, "/mnt/s1"));
  WriteFile(dev.cow + "/unrelated.cow.dat", "x");

  ASSERT_FALSE(dev.strategy.DeleteSnapAndDetachDevice(dev.device.Path(), true).IsError());
  EXPECT_EQ(ReadFile(dev.umounts), "/mnt/s1\n");
  for (const std::string& snapshot : {first, second}) {
    EXPECT_FALSE(FileExists(dev.CowFile(dev.cow, snapshot, ".cow.dat"))) << snapshot;
    EXPECT_FALSE(FileExists(dev.CowFile(dev.cow, snapshot, ".cow.bmp"))) << snapshot;
    EXPECT_FALSE(FileExists(snapshot)) << snapshot;
  }
  EXPECT_TRUE(FileExists(dev.cow + "/unrelated.cow.dat"));
  EXPECT_FALSE(dev.Status().attached);

  // A device the driver does not track is left alone: no unmount, no detach.
  platform::FaultTable::Set("KzBfDriver::detachDevice", 5);
  ASSERT_FALSE(dev.strategy.DeleteSnapAndDetachDevice(dev.device.Path(), true).IsError());
  EXPECT_EQ(ReadFile(dev.umounts), "/mnt/s1\n");
}

TEST(VolumeBitMapHelperKZBF, SnapshotCleanupFindsCowFilesInTheDefaultFolderWithoutACacheSetting) {
  SnapshotCleanup dev;
  ASSERT_FALSE(blbsim::KzbfAttach(dev.device.Path(), 4 << 20).IsError());

  // An empty setting names no folder: the driver cache folder's default does.
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "sKZBFSNAPPART", ""));
  const std::string defaultFolder = dev.state.Sub("install/KZBF/cache");
  ASSERT_TRUE(platform::MakeDirectories(defaultFolder));
  const std::string snapshot = dev.Snapshot(defaultFolder);
  CapturingLog log;
  ASSERT_FALSE(dev.strategy.DeleteSnapAndDetachDevice(dev.device.Path(), false).IsError());
  EXPECT_TRUE(log.Contains("Failed to get COW cache directory name from registry key sKZBFSNAPPART"));
  EXPECT_FALSE(FileExists(dev.CowFile(defaultFolder, snapshot, ".cow.dat")));
  EXPECT_FALSE(FileExists(dev.CowFile(defaultFolder, snapshot, ".cow.bmp")));
  const platform::KzBfDeviceStatus status = dev.Status();
  EXPECT_TRUE(status.attached);
  EXPECT_TRUE(status.snapshots.empty());
}

}  // namespace
