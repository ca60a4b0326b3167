// The Unix snapshot task over a job's volumes: zfs entries, the device checks
// before the snapshot, shipping after it, and the job made full when its
// first device has no driver.
#include <gtest/gtest.h>

#include <memory>

#include "blocklevel/blocklevel.h"
#include "devconfig/devconfig_test_fixtures.h"
#include "devconfig/kz_device_config_handler_unix.h"
#include "platform/harness/application_harness.h"
#include "platform/harness/kzbf_harness.h"
#include "platform/harness/services_harness.h"
#include "platform/registry/registry_backend.h"
#include "platform/services/host_name.h"
#include "platform/sim/fault_table.h"
#include "support/loop_device.h"
#include "support/scoped_mount.h"
#include "support/test_platform.h"
#include "support/unreadable_setting.h"

using devconfig_test::AddUnixJob;
using devconfig_test::kHeader;
using devconfig_test::UnixJobArgs;
using testing_support::CapturingEvents;
using testing_support::CapturingLog;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedLoopDevice;
using testing_support::ScopedStateDir;

namespace {

SMVolBlock Volume(const std::string& device, const std::string& volume, const std::string& fsType = "ext4",
                  const std::string& options = "rw") {
  SMVolBlock block;
  block.sDevice = device;
  block.sVolume = volume;
  block.sFSType = fsType;
  block.sMountOptions = options;
  block.nAppType = 29;
  block.nAppId = 7;
  block.nVornCellId = 2;
  return block;
}

std::vector<std::string> VolumesOf(const std::vector<SMVolBlock>& blocks) {
  std::vector<std::string> volumes;
  for (const SMVolBlock& block : blocks) volumes.push_back(block.sVolume);
  return volumes;
}

std::unique_ptr<KzDeviceConfigHandler> OpenedHandler(const std::vector<std::string>& args) {
  std::unique_ptr<KzDeviceConfigHandler> handler(GetBlockDeviceConfigHandler(args));
  EXPECT_NE(handler, nullptr);
  if (handler) {
    EXPECT_FALSE(handler->InitWrite(false, true).IsError());
  }
  return handler;
}

void RunTask(KzDeviceConfigHandler& handler, std::vector<SMVolBlock>& volumes, int level, int flag, bool postSnap) {
  CQiError error = handler.ExecutePrePostSnapTask(volumes, 4, level, flag, postSnap);
  ASSERT_FALSE(error.IsError()) << error.AsString();
}

std::string Lines(const std::vector<std::string>& records) {
  std::string text = std::string(kHeader) + "#METADATA_NOT_ENABLED#\n";
  for (const std::string& record : records) text += record + "\n";
  return text;
}

std::vector<int> EventIds(const CapturingEvents& events) {
  std::vector<int> ids;
  for (const platform::RaisedEvent& event : events.events) ids.push_back(event.eventId);
  return ids;
}

}  // namespace

TEST(UnixSnapshotTask, ZfsDatasetsGetRawEntriesAndFurtherVolumesOfAZfsDeviceExtensionEntries) {
  ScopedStateDir state;
  CapturingLog log;
  AddUnixJob(2);
  testing_support::ScopedMount tmpfs("tmpfs", "tmpfs", "size=10G");
  BLB_SKIP_WITHOUT_MOUNT(tmpfs);
  const std::string jr = state.Sub("jobresults/2/7");

  // A dataset alone: nothing is left for the steps that read the first
  // volume, and its sector sizes cannot be asked of a dataset.
  std::unique_ptr<KzDeviceConfigHandler> handler = OpenedHandler(UnixJobArgs(2));
  std::vector<SMVolBlock> volumes = {Volume("tank/fs", tmpfs.Path(), "zfs")};
  RunTask(*handler, volumes, 2, 1, false);
  EXPECT_TRUE(volumes.empty());
  volumes = {Volume("tank/fs", tmpfs.Path(), "zfs")};
  RunTask(*handler, volumes, 2, 0, true);
  EXPECT_TRUE(volumes.empty());
  EXPECT_EQ(ReadFile(jr + "/BlockDeviceConfig.kzf"),
            Lines({"true|" + tmpfs.Path() + "|tank/fs|zfs|rw|4194304|20971520|512|320|0|0|0|0|1"}));
  EXPECT_TRUE(log.Contains("Failed to get sector details for device=tank/fs"));

  // Three volumes of one zfs device: the first stays for the per-volume
  // step, the others become extension entries before it.
  ScopedLoopDevice loop(64 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  handler = OpenedHandler(UnixJobArgs(2));
  const std::vector<SMVolBlock> three = {Volume(loop.Device(), "/z/a", "zfs"), Volume(loop.Device(), "/z/b", "zfs"),
                                         Volume(loop.Device(), "/z/c", "zfs")};
  volumes = three;
  RunTask(*handler, volumes, 2, 0, false);
  EXPECT_EQ(VolumesOf(volumes), std::vector<std::string>{"/z/a"});
  volumes = three;
  RunTask(*handler, volumes, 2, 0, true);
  EXPECT_EQ(VolumesOf(volumes), std::vector<std::string>{"/z/a"});
  std::vector<std::string> entries;
  for (const char* volume : {"/z/b", "/z/c", "/z/a"})
    entries.push_back(std::string("true|") + volume + "|" + loop.Device() +
                      "|zfs|rw|4194304|131072|0|2|512|512|512|0|1");
  EXPECT_EQ(ReadFile(jr + "/BlockDeviceConfigExt.kzf"), Lines(entries));
  EXPECT_EQ(ReadFile(jr + "/BlockDeviceConfig.kzf"), Lines({}));
}

TEST(UnixSnapshotTask, AnIncrementalJobWhoseFirstDeviceHasNoDriverBecomesFull) {
  ScopedStateDir state;
  ScopedLoopDevice loop(64 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  AddUnixJob(2);
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nEnableDriverLessForBlockLevel", "1"));
  CapturingEvents events;
  std::vector<SMVolBlock> volumes = {Volume(loop.Device(), "/mnt/d")};
  RunTask(*OpenedHandler(UnixJobArgs(2)), volumes, 2, 0, false);
  // Every driverless volume goes full; the job then goes full as a whole.
  EXPECT_EQ(EventIds(events), (std::vector<int>{0x46000044, 0x46000018}));
  EXPECT_EQ(events.events[0].arguments, std::vector<std::string>{"/mnt/d "});
  EXPECT_EQ(blbsim::FindJob(1001)->conversions, 1u);

  events.events.clear();
  volumes = {Volume(loop.Device(), "/mnt/d")};
  RunTask(*OpenedHandler(UnixJobArgs(2, {"-SPOS"})), volumes, 2, 0, false);
  EXPECT_EQ(EventIds(events), std::vector<int>{0x46000044});
  volumes = {Volume(loop.Device(), "/mnt/d")};
  RunTask(*OpenedHandler(UnixJobArgs(1)), volumes, 1, 0, false);
  EXPECT_EQ(EventIds(events), std::vector<int>{0x46000044});

  // A job the service cannot be asked about fails the task.
  ASSERT_TRUE(blbsim::SetVornServeHost(""));
  volumes = {Volume(loop.Device(), "/mnt/d")};
  CQiError error = OpenedHandler(UnixJobArgs(2))->ExecutePrePostSnapTask(volumes, 4, 2, 0, false);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 1627));
  EXPECT_EQ(error.GetMessage(), "failed to get VS hostname");
}

TEST(UnixSnapshotTask, CleansStaleSnapshotsWhenAskedAndShipsUnlessToldNot) {
  ScopedStateDir state;
  ScopedLoopDevice loop(64 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  AddUnixJob(1);
  platform::ClientRecord proxy;
  proxy.id = 9;
  proxy.name = "proxy9";
  proxy.hostName = platform::MangleHostName("proxy9", "proxy9.example");
  proxy.jobResultsDir = "P";
  ASSERT_TRUE(blbsim::AddClient(proxy));
  ASSERT_TRUE(blbsim::SetProxy(2, 7, 9, false));
  const std::string shipped = blbsim::HostFolder("proxy9.example") + "/P/2/7/BlockDeviceConfig.kzf";
  ASSERT_FALSE(blbsim::KzbfAttach(loop.Device(), 4 << 20).IsError());
  std::string stale;
  ASSERT_FALSE(blbsim::KzbfCreateSnapshot(loop.Device(), false, stale).IsError());

  // Flag 1: stale snapshots go before the snapshot, nothing is shipped after.
  std::unique_ptr<KzDeviceConfigHandler> handler = OpenedHandler(UnixJobArgs(1));
  std::vector<SMVolBlock> volumes = {Volume(loop.Device(), "/mnt/s")};
  RunTask(*handler, volumes, 1, 1, false);
  EXPECT_FALSE(FileExists(stale));
  RunTask(*handler, volumes, 1, 1, true);
  EXPECT_FALSE(FileExists(shipped));

  // Flag 0: the snapshot stays and the files go to the proxy.
  ASSERT_FALSE(blbsim::KzbfCreateSnapshot(loop.Device(), false, stale).IsError());
  handler = OpenedHandler(UnixJobArgs(1));
  RunTask(*handler, volumes, 1, 0, false);
  EXPECT_TRUE(FileExists(stale));
  RunTask(*handler, volumes, 1, 0, true);
  EXPECT_EQ(ReadFile(shipped), ReadFile(state.Sub("jobresults/2/7/BlockDeviceConfig.kzf")));

  // Shipping is last: a failed one leaves the files written.
  std::remove(state.Sub("jobresults/2/7/BlockDeviceConfig.kzf").c_str());
  platform::FaultTable::Set("KzCopyFile::CopyFiles", 5);
  handler = OpenedHandler(UnixJobArgs(1));
  RunTask(*handler, volumes, 1, 0, false);
  CQiError error = handler->ExecutePrePostSnapTask(volumes, 4, 1, 0, true);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 1627));
  EXPECT_EQ(error.GetMessage().rfind("Failed to send device config files to proxy, error=", 0), 0u)
      << error.GetMessage();
  EXPECT_TRUE(FileExists(state.Sub("jobresults/2/7/BlockDeviceConfig.kzf")));
}

TEST(UnixSnapshotTask, RefusesADeviceThatAnotherSubclientBacksUpWhileItHasSnapshots) {
  ScopedStateDir state;
  ScopedLoopDevice loop(64 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  // Subclients 7 and 8 of one file system both hold the device.
  ASSERT_TRUE(blbsim::SetApplicationTypes(2, {{29, "File System"}}));
  platform::BackupSetRecord backupSet;
  backupSet.id = 129;
  backupSet.clientId = 2;
  backupSet.appType = 29;
  ASSERT_TRUE(blbsim::AddBackupSet(backupSet));
  for (uint64_t app : {7, 8}) {
    platform::SubclientRecord subclient;
    subclient.cellId = 2;
    subclient.appId = app;
    subclient.clientId = 2;
    subclient.appType = 29;
    subclient.backupSetId = 129;
    subclient.blockLevelFlags = platform::SubclientRecord::kBlockLevel;
    ASSERT_TRUE(blbsim::AddSubclient(subclient));
    ASSERT_TRUE(blbsim::SetSubclientContents(2, app, {loop.Device()}));
  }
  AddUnixJob(1);
  // Subclient 8 backed the device up and its snapshot is still there.
  std::vector<std::string> otherArgs = UnixJobArgs(1);
  otherArgs[1] = "2:8";
  // The device stands for itself as its volume, as in the contents.
  std::vector<SMVolBlock> volumes = {Volume(loop.Device(), loop.Device())};
  volumes[0].nAppId = 8;
  RunTask(*OpenedHandler(otherArgs), volumes, 1, 0, false);
  std::string snapshot;
  ASSERT_FALSE(blbsim::KzbfCreateSnapshot(loop.Device(), false, snapshot).IsError());

  volumes = {Volume(loop.Device(), loop.Device())};
  CQiError error = OpenedHandler(UnixJobArgs(1))->ExecutePrePostSnapTask(volumes, 4, 1, 1, false);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 16));
  EXPECT_EQ(error.GetMessage().rfind("KZBF/LVM device[" + loop.Device() +
                                         "] Native backup with more than one Subclient configured is not supported, "
                                         "AppId=[7], Error=[",
                                     0),
            0u)
      << error.GetMessage();
  EXPECT_TRUE(FileExists(snapshot));
}

// The driver client throws where the agent's does: the task the agent called
// fails, the exception does not reach the agent.
TEST(UnixSnapshotTask, TheDriverClientsExceptionsComeBackAsFailures) {
  ScopedStateDir state;
  ScopedLoopDevice loop(64 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  AddUnixJob(1);
  for (const char* call : {"KzBfDriver::queryDevice", "KzBfDriver::attachDevice"}) {
    SCOPED_TRACE(call);
    platform::FaultTable::Set(call, 5, platform::FaultMode::kThrow);
    std::vector<SMVolBlock> volumes = {Volume(loop.Device(), "/mnt/d")};
    std::unique_ptr<KzDeviceConfigHandler> handler = OpenedHandler(UnixJobArgs(1));
    CQiError error;
    EXPECT_NO_THROW(error = handler->ExecutePrePostSnapTask(volumes, 4, 1, 0, false));
    EXPECT_TRUE(error.IsError());
    EXPECT_NE(error.AsString().find(std::string("Injected fault in ") + call), std::string::npos) << error.AsString();
    platform::FaultTable::Clear(call);
  }
}

// A driver cache folder the registry cannot name: the task fails before the
// driver is cleared or anything is written in another folder.
TEST(UnixSnapshotTask, FailsWhenTheDriverCacheFolderCannotBeRead) {
  ScopedStateDir state;
  ScopedLoopDevice loop(64 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  AddUnixJob(1);
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "sKZBFSNAPPART", state.Sub("dcf")));
  ASSERT_FALSE(blbsim::KzbfAttach(loop.Device(), 4 << 20).IsError());
  ASSERT_FALSE(blbsim::KzbfMarkExtents(loop.Device(), {3}).IsError());
  testing_support::UnreadableSetting unreadable("FileSystemAgent/sKZBFSNAPPART");
  platform::Registry::Scope use(unreadable);
  for (int flag : {1, 0}) {
    std::vector<SMVolBlock> volumes = {Volume(loop.Device(), "/mnt/d")};
    EXPECT_TRUE(OpenedHandler(UnixJobArgs(1))->ExecutePrePostSnapTask(volumes, 4, 1, flag, false).IsError()) << flag;
    std::vector<uint64_t> changed;
    ASSERT_FALSE(blbsim::KzbfChangedExtents(loop.Device(), false, changed).IsError());
    EXPECT_EQ(changed, std::vector<uint64_t>{3}) << flag;
    EXPECT_FALSE(FileExists(state.Sub("dcf"))) << flag;
    EXPECT_FALSE(FileExists(state.Sub("install/KZBF"))) << flag;
  }
}
