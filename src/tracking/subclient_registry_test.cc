// The monitored-volume list kept true when subclients change: the duplicate
// check before a snapshot, and the detach of a removed subclient's devices.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "blocklevel/blocklevel.h"
#include "platform/guid/guid_factory.h"
#include "platform/harness/application_harness.h"
#include "platform/harness/cxbf_harness.h"
#include "platform/harness/kzbf_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"
#include "platform/snapshot/sm_vol_block.h"
#include "records/block_device_config.h"
#include "support/scratch_device.h"
#include "support/test_platform.h"
#include "tracking/block_level_bitmap_handler.h"

namespace {

using testing_support::CapturingLog;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedStateDir;
using testing_support::ScratchDevice;

std::string G(const std::string& text) { return CGuidFactory::get_guid_nosalt(text); }

// This machine's client 2 (job results JR) with file-system subclients of
// cell 2 on DEV, a 64 MiB device; the driver cache folder DCF.
struct Subclients {
  ScopedStateDir state;
  ScratchDevice device{state};
  std::string dev = device.Path();
  std::string jr = state.Sub("jobresults");
  std::string dcf = state.Sub("dcf");
  int destinations = 0;

  Subclients() {
    EXPECT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "sKZBFSNAPPART", dcf));
    EXPECT_TRUE(blbsim::SetApplicationTypes(2, {{29, "File System"}}));
    platform::BackupSetRecord backupSet;
    backupSet.id = 129;
    backupSet.clientId = 2;
    backupSet.appType = 29;
    backupSet.name = "defaultBackupSet";
    EXPECT_TRUE(blbsim::AddBackupSet(backupSet));
  }

  void FileSystemSubclient(uint64_t app, const std::vector<std::string>& contents) const {
    platform::SubclientRecord subclient;
    subclient.cellId = 2;
    subclient.appId = app;
    subclient.clientId = 2;
    subclient.appType = 29;
    subclient.backupSetId = 129;
    subclient.blockLevelFlags = platform::SubclientRecord::kBlockLevel;
    EXPECT_TRUE(blbsim::AddSubclient(subclient));
    EXPECT_TRUE(blbsim::SetSubclientContents(2, app, contents));
  }

  // Registers the subclient for DEV as its backups do: DEV tracked, the
  // subclient's cache bitmap made.
  void Register(uint64_t app, const std::string& deviceId) {
    const std::string folder = state.Sub("D" + std::to_string(++destinations));
    ASSERT_TRUE(platform::MakeDirectories(folder));
    SMVolBlock block;
    block.sDevice = dev;
    block.sVolume = "/mnt/a";
    block.nAppId = app;
    block.nVornCellId = 2;
    CBlockLevelBitmapHandler handler;
    ASSERT_FALSE(handler.Initialize(dcf).IsError());
    CQiError result = handler.GetAndClearBitmap(2, 2, block, deviceId, folder + "/" + deviceId + ".bmp");
    ASSERT_FALSE(result.IsError()) << result.AsString();
    ASSERT_TRUE(FileExists(Cache(app, deviceId)));
  }

  CQiError VerifyDevicesDup(long long app, std::string& out) const {
    CBlockLevelBitmapHandler handler;
    CQiError result = handler.Initialize(dcf);
    if (!result.IsError()) result = handler.VerifyDevicesDup({dev}, app, 2, out);
    return result;
  }

  std::string Line(uint64_t app, const std::string& deviceId) const {
    return "2|2|" + std::to_string(app) + "|" + dev + "|" + deviceId + "|0|0|0|0|\n";
  }
  std::string List() const {
    const std::string path = dcf + "/BLKVolumeMoniterList.kzf";
    return FileExists(path) ? ReadFile(path) : std::string();
  }
  std::string Cache(uint64_t app, const std::string& deviceId) const {
    return jr + "/.BlockLevel/2_" + std::to_string(app) + "/" + deviceId + ".bmp";
  }
  platform::KzBfDeviceStatus Status() const {
    platform::KzBfDeviceStatus status;
    EXPECT_FALSE(blbsim::KzbfQuery(dev, status).IsError());
    return status;
  }
  std::string Snapshot() const {
    std::string snapshot;
    EXPECT_FALSE(blbsim::KzbfCreateSnapshot(dev, false, snapshot).IsError());
    return snapshot;
  }

  // A device-configuration file listing the devices, as a job writes it.
  void WriteConfig(const std::string& path, const std::string& device) const {
    ASSERT_TRUE(platform::MakeDirectories(platform::ParentOf(path)));
    BlockDeviceConfigReaderWriter_UNIX writer;
    CQiError result = writer.InitWrite(path, false, false);
    if (!result.IsError())
      result = writer.WriteNextBackupDevice(BackupDeviceInfo(true, "/mnt/a", device, "ext4", "rw", 4194304, 131072, 4096, 2));
    if (!result.IsError()) result = writer.Close();
    ASSERT_FALSE(result.IsError()) << result.AsString();
  }
};

#define SKIP_WITHOUT_DEVICE_NODE(subclients)                                                       \
  if (!(subclients).device.IsLoopDevice())                                                         \
  GTEST_SKIP() << "a subclient's content resolves to a device only for a device node; no loop device here"

TEST(SubclientRegistry, DuplicateCheckDropsStaleEntriesAndRefusesASharedDeviceWithSnapshots) {
  Subclients machine;
  SKIP_WITHOUT_DEVICE_NODE(machine);
  const std::string key = G(machine.dev);
  machine.FileSystemSubclient(12, {machine.dev});
  machine.FileSystemSubclient(34, {machine.dev});
  machine.FileSystemSubclient(56, {});
  for (uint64_t app : {12, 34, 56}) machine.Register(app, key);
  ASSERT_EQ(machine.List(), machine.Line(12, key) + machine.Line(34, key) + machine.Line(56, key));

  // Without snapshots two users are fine; the one whose content went is
  // dropped with its cache.
  std::string out;
  CQiError result = machine.VerifyDevicesDup(12, out);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(out, "");
  EXPECT_EQ(machine.List(), machine.Line(12, key) + machine.Line(34, key));
  EXPECT_FALSE(FileExists(machine.Cache(56, key)));
  EXPECT_TRUE(FileExists(machine.Cache(12, key)));
  EXPECT_TRUE(FileExists(machine.Cache(34, key)));

  // With a live snapshot a device of two users is refused.
  machine.Snapshot();
  result = machine.VerifyDevicesDup(12, out);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(result, 16));
  EXPECT_EQ(result.GetMessage(),
            "Device[" + machine.dev + "] is configured for multiple BlockLevel Subclients, Id's=[12, 34, ]");
  EXPECT_EQ(out, machine.dev);

  // The caller as the only user passes; any other single user does not.
  ASSERT_TRUE(blbsim::SetSubclientContents(2, 34, {}));
  out.clear();
  result = machine.VerifyDevicesDup(12, out);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(out, "");
  EXPECT_EQ(machine.List(), machine.Line(12, key));
  result = machine.VerifyDevicesDup(34, out);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(result, 16));
  EXPECT_EQ(result.GetMessage(),
            "Device[" + machine.dev + "] is configured for multiple BlockLevel Subclients, Id's=[12, ]");
}

TEST(SubclientRegistry, DetachingARemovedSubclientStopsTrackingOnlyForTheDevicesSoleUser) {
  Subclients machine;
  const std::string key = G("/mnt/a");
  // An active client without job results and one whose folder has no
  // configuration of the subclient come first.
  platform::ClientRecord other;
  other.id = 1;
  other.name = "other";
  other.active = true;
  other.jobResultsDir = machine.state.Sub("jr1");
  ASSERT_TRUE(blbsim::AddClient(other));
  machine.WriteConfig(machine.jr + "/2/7/BlockDeviceConfig.kzf", machine.dev);

  // Subclient 7 alone: its snapshot goes, the driver stops tracking.
  machine.Register(7, key);
  const std::string snapshot = machine.Snapshot();
  CapturingLog log;
  CQiError result = DetachBlockLevelVolumesForSC("7");
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_TRUE(log.Contains("Using Config File [" + machine.jr + "/2/7/BlockDeviceConfig.kzf]"));
  EXPECT_FALSE(machine.Status().attached);
  EXPECT_FALSE(FileExists(snapshot));
  EXPECT_EQ(machine.List(), "");
  EXPECT_FALSE(FileExists(machine.Cache(7, key)));

  // Subclients 7 and 8: only 7's registration and cache go.
  machine.Register(7, key);
  machine.Register(8, key);
  result = DetachBlockLevelVolumesForSC("7");
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(machine.List(), machine.Line(8, key));
  EXPECT_FALSE(FileExists(machine.Cache(7, key)));
  EXPECT_TRUE(FileExists(machine.Cache(8, key)));
  EXPECT_TRUE(machine.Status().attached);

  // Ids that are not plain decimal numbers never reach a path.
  machine.Register(7, key);
  const std::string list = machine.List();
  for (const char* bad : {"../7", "", "7/", "+7", " 7", "7 ", "-7", "99999999999999999999"}) {
    result = DetachBlockLevelVolumesForSC(bad);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(result, 22)) << bad;
    EXPECT_EQ(result.GetMessage(), "Invalid subclient id [" + std::string(bad) + "]");
  }
  EXPECT_EQ(machine.List(), list);
  EXPECT_TRUE(FileExists(machine.Cache(7, key)));
  // The driver's and the platform's exceptions stay inside the entry point.
  platform::FaultTable::Set("KZVolume::isCXBFDevice", 5, true, 1);
  result = DetachBlockLevelVolumesForSC("7");
  EXPECT_EQ(FXErrorUtil::GetCode(result), -1);
  EXPECT_EQ(machine.List(), list);
  result = DetachBlockLevelVolumesForSC("9");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(result, 2));
  EXPECT_EQ(result.GetMessage(), "Job Results directory could not be found for SC=[9]");
  EXPECT_FALSE(DetachBlockLevelVolumes(machine.state.Sub("none/BlockDeviceConfig.kzf"), 7).IsError());
  EXPECT_EQ(machine.List(), list);

  // A CXBF pseudo-device stays tracked by its own driver.
  const std::string pseudo = "/dev/cxbf/cxbf0";
  ASSERT_TRUE(blbsim::SetCxbfLoaded(true));
  ASSERT_FALSE(blbsim::CxbfAddDevice(pseudo, machine.dev).IsError());
  const std::string config = machine.state.Sub("sc/BlockDeviceConfig.kzf");
  machine.WriteConfig(config, pseudo);
  ASSERT_FALSE(DetachBlockLevelVolumes(config, 7).IsError());
  EXPECT_TRUE(log.Contains("Leaving CXBF device [" + pseudo + "] attached"));
  EXPECT_EQ(machine.List(), list);
}

}  // namespace
