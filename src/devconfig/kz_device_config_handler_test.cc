#include "devconfig/kz_device_config_handler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "devconfig/devconfig_test_fixtures.h"
#include "support/file_size_limit.h"
#include "support/test_platform.h"

using devconfig_test::Job;
using devconfig_test::SlotOf;
using devconfig_test::kHeader;
using testing_support::CapturingLog;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedStateDir;
using testing_support::WriteFile;

namespace {

BackupDeviceInfo Record(const std::string& volume, uint64_t totalBlocks = 2097152, uint64_t version = 1) {
  const uint64_t extent = 4194304, fsBlock = 4096, bitmap = 32;
  return BackupDeviceInfo(true, volume, "/dev/sd" + volume.substr(1), "ext4", "rw", extent, totalBlocks, fsBlock,
                          bitmap, 512, 512, 4096, 0, version);
}

SMVolBlock Volume(const std::string& volume) {
  SMVolBlock block;
  block.sDevice = "/dev/sd" + volume.substr(1);
  block.sVolume = volume;
  block.sMountOptions = "rw";
  block.sFSType = "ext4";
  return block;
}

// A handler whose devices are all supported, whose geometry comes from a
// table and whose bitmap step records what it was asked.
class RecordingHandler : public KzDeviceConfigHandler {
 public:
  using KzDeviceConfigHandler::KzDeviceConfigHandler;
  bool IsSupportedDevice(const std::string&) override { return true; }
  CQiError WriteDeviceConfig(const std::string& volume, const std::string&, const std::string&, const std::string&,
                             bool cacheOnly) override {
    return KzDeviceConfigHandler::WriteDeviceConfig(volume, geometry.at(volume), cacheOnly);
  }
  using KzDeviceConfigHandler::WriteDeviceConfig;
  CQiError HandleBitMap(SMVolBlock& volume, const KZBkpLevel& level, eSnapState state) override {
    levels[volume.sVolume + (state == SNAP_STATE_POST ? "@post" : "@pre")] = level;
    return CQiError();
  }
  std::map<std::string, BackupDeviceInfo> geometry;
  std::map<std::string, uint32_t> levels;
};

}  // namespace

// The agent calls the handler through its vtable, so the slots must stay
// where the agent expects them.
TEST(KzDeviceConfigHandler, VirtualOperationsKeepTheirSlots) {
  using H = KzDeviceConfigHandler;
  EXPECT_EQ(SlotOf(&H::InitRead), 0);
  EXPECT_EQ(SlotOf(&H::InitWrite), 1);
  EXPECT_EQ(SlotOf(&H::Close), 2);
  EXPECT_EQ(SlotOf(&H::DownloadRemoteIndexFiles), 3);
  EXPECT_EQ(SlotOf(&H::PutConfigFiles), 4);
  EXPECT_EQ(SlotOf(&H::GetNextDeviceConfig), 5);
  EXPECT_EQ(SlotOf(&H::GetDeviceConfigForVolume), 6);
  EXPECT_EQ(SlotOf(&H::WriteAllDeviceConfigAtOnce), 7);
  EXPECT_EQ(SlotOf(static_cast<CQiError (H::*)(const std::string&, const BackupDeviceInfo&, bool)>(
                &H::WriteDeviceConfig)),
            8);
  EXPECT_EQ(SlotOf(&H::IsVolumeNewOrChangedSinceLastBackup), 9);
  EXPECT_EQ(SlotOf(&H::ConvertVolumeToFull), 10);
  EXPECT_EQ(SlotOf(&H::CheckContentConflict), 11);
  EXPECT_EQ(SlotOf(static_cast<CQiError (H::*)(std::vector<SMVolBlock>&, unsigned long, unsigned long, int, bool)>(
                &H::ExecutePrePostSnapTask)),
            12);
  EXPECT_EQ(SlotOf(static_cast<CQiError (H::*)(SMVolBlock&, unsigned long, unsigned long, int, bool)>(
                &H::ExecutePrePostSnapTask)),
            13);
  EXPECT_EQ(SlotOf(static_cast<CQiError (H::*)(const std::string&, const std::string&, const std::string&,
                                                const std::string&, bool)>(&H::WriteDeviceConfig)),
            14);
  EXPECT_EQ(SlotOf(&H::DetachBlockFilterOnVolumeOnSizeChange), 15);
  EXPECT_EQ(SlotOf(&H::WriteVolumeTypeForOracleBlockLvl), 16);
  EXPECT_EQ(SlotOf(&H::HandleBitMap), 17);
  EXPECT_EQ(SlotOf(&H::DeleteBitMap), 18);
  EXPECT_EQ(SlotOf(&H::IsSupportedDevice), 19);
  EXPECT_EQ(SlotOf(&H::GetBitMapInfo), 20);
  EXPECT_EQ(SlotOf(&H::AttachDeviceForMonitoring), 21);
  EXPECT_EQ(SlotOf(&H::ShouldAppendDeviceConfig), 22);
  EXPECT_EQ(SlotOf(&H::setAppendDeviceConfigForOracle), 23);
  EXPECT_EQ(SlotOf(&H::GetFSType), 24);
  EXPECT_EQ(SlotOf(&H::DriverCacheFolder), 25);
  // 26 and 27: the complete and the deleting destructor.
  EXPECT_EQ(SlotOf(&H::CleanPrevJobConfigFiles), 28);
  EXPECT_EQ(SlotOf(&H::ReadAllDeviceConfig), 29);
  EXPECT_EQ(SlotOf(&H::PopulateDeviceListFromLastBackup), 30);
}

TEST(KzDeviceConfigHandler, WritesCachedRecordsInVolumeOrderAndReadsThemBack) {
  ScopedStateDir state;
  const std::string dir = state.Sub("jobresults");
  const BackupDeviceInfo recA = Record("/a"), recB = Record("/b");
  {
    KzDeviceConfigHandler handler(Job(dir));
    ASSERT_FALSE(handler.InitWrite(true, false).IsError());
    ASSERT_FALSE(handler.WriteDeviceConfig("/b", recB, true).IsError());
    ASSERT_FALSE(handler.WriteDeviceConfig("/a", recA, true).IsError());
    ASSERT_FALSE(handler.WriteAllDeviceConfigAtOnce(false).IsError());
    handler.Close();
  }
  EXPECT_EQ(ReadFile(dir + "/BlockDeviceConfig.kzf"),
            std::string(kHeader) + "#METADATA_ENABLED#\n" + recA.Serialize() + "\n" + recB.Serialize() + "\n");

  KzDeviceConfigHandler reader(Job(dir));
  BackupDeviceInfo device;
  bool end = true;
  EXPECT_EQ(reader.GetNextDeviceConfig(device, end).GetMessage(), "Device config not read yet from config files");
  ASSERT_FALSE(reader.InitRead().IsError());
  ASSERT_FALSE(reader.GetNextDeviceConfig(device, end).IsError());
  EXPECT_FALSE(end);
  EXPECT_EQ(device.GetSourceVolName(), "/a");
  ASSERT_FALSE(reader.GetNextDeviceConfig(device, end).IsError());
  EXPECT_EQ(device.GetSourceVolName(), "/b");
  ASSERT_FALSE(reader.GetNextDeviceConfig(device, end).IsError());
  EXPECT_TRUE(end);
  ASSERT_FALSE(reader.GetDeviceConfigForVolume("/b", device, "").IsError());
  EXPECT_EQ(device.Serialize(), recB.Serialize());
  CQiError missing = reader.GetDeviceConfigForVolume("/c", device, "");
  EXPECT_EQ(FXErrorUtil::GetCode(missing), -1);
  EXPECT_EQ(missing.GetMessage(), "Device config not found for '/c'");

  // A later line for the same volume wins.
  const BackupDeviceInfo grown = Record("/a", 4194304);
  WriteFile(dir + "/BlockDeviceConfig.kzf",
            std::string(kHeader) + "#METADATA_NOT_ENABLED#\n" + recA.Serialize() + "\n" + grown.Serialize() + "\n");
  ASSERT_FALSE(reader.InitRead().IsError());
  ASSERT_FALSE(reader.GetDeviceConfigForVolume("/a", device, "").IsError());
  EXPECT_EQ(device.GetTotalBlocks(), 4194304u);

  WriteFile(dir + "/BlockDeviceConfig.kzf", std::string(kHeader) + "#METADATA_ENABLED#\n");
  CQiError empty = reader.InitRead();
  EXPECT_EQ(FXErrorUtil::GetCode(empty), -1);
  EXPECT_EQ(empty.GetMessage(), "No device config found");
}

TEST(KzDeviceConfigHandler, ReportsARecordThatCouldNotBeWrittenAndStillEmptiesTheCache) {
  ScopedStateDir state;
  const std::string dir = state.Sub("jobresults");
  testing_support::ScopedFileSizeLimit full(100);  // less than the header lines
  KzDeviceConfigHandler handler(Job(dir));
  ASSERT_FALSE(handler.InitWrite(false, false).IsError());
  ASSERT_FALSE(handler.WriteDeviceConfig("/a", Record("/a"), true).IsError());
  // Larger than any stream buffer, so the write reaches the file at once.
  const std::string huge = "/" + std::string(20000, 'h');
  ASSERT_FALSE(handler.WriteDeviceConfig(huge, Record(huge), true).IsError());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(handler.WriteAllDeviceConfigAtOnce(false), EFBIG));
  BackupDeviceInfo device;
  bool end = false;
  EXPECT_EQ(handler.GetNextDeviceConfig(device, end).GetMessage(), "Device config not read yet from config files");

  // Records that only fail when flushed at the end of the post-snap step
  // fail the step too.
  RecordingHandler task(Job(dir));
  task.geometry["/a"] = Record("/a");
  ASSERT_FALSE(task.InitWrite(false, false).IsError());
  std::vector<SMVolBlock> volumes = {Volume("/a")};
  ASSERT_FALSE(task.ExecutePrePostSnapTask(volumes, 0, 2, 0, false).IsError());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(task.ExecutePrePostSnapTask(volumes, 0, 2, 0, true), EFBIG));
}

TEST(KzDeviceConfigHandler, BaseStepFailsOnAnUnsupportedDeviceAndMarksItFull) {
  ScopedStateDir state;
  const std::string dir = state.Sub("jobresults");
  KzDeviceConfigHandler handler(Job(dir));
  ASSERT_FALSE(handler.InitWrite(false, true).IsError());
  std::vector<SMVolBlock> volumes = {Volume("/first"), Volume("/second")};
  CQiError error = handler.ExecutePrePostSnapTask(volumes, 0, 2, 0, false);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 1627));
  EXPECT_EQ(error.GetMessage(), "Device is not supported for blocklevel backup, volume=/first, device=/dev/sdfirst");
  EXPECT_TRUE(volumes[0].bForceFull);
  EXPECT_FALSE(volumes[1].bForceFull);
  EXPECT_FALSE(FileExists(dir + "/BlockDeviceConfig.kzf"));

  // The base operations that only a derived handler provides.
  EXPECT_EQ(handler.HandleBitMap(volumes[0], KZ_BKP_LEVEL_FULL, SNAP_STATE_PRE).GetMessage(), "Not Implemented");
  EXPECT_EQ(handler.WriteDeviceConfig("/v", "/dev/v", "ext4", "rw", true).GetMessage(), "Not Implemented");
  EXPECT_FALSE(handler.IsSupportedDevice("/dev/sda"));
  std::string path;
  handler.PrepareBMFileName("/data/vol1", path);
  EXPECT_EQ(path, dir + "/vol1.bmp");
}

TEST(KzDeviceConfigHandler, SendsNewChangedAndOldVersionVolumesToFull) {
  ScopedStateDir state;
  CapturingLog log;
  const std::string dir = state.Sub("jobresults");
  // The previous job's file: /old carries the configuration version 0.
  WriteFile(dir + "/BlockDeviceConfig.kzf", std::string(kHeader) + "#METADATA_ENABLED#\n" +
                                                Record("/same").Serialize() + "\n" + Record("/grown").Serialize() +
                                                "\n" + Record("/old", 2097152, 0).Serialize() + "\n");
  RecordingHandler handler(Job(dir));
  for (const char* volume : {"/same", "/old", "/new"}) handler.geometry[volume] = Record(volume);
  handler.geometry["/grown"] = Record("/grown", 4194304);
  ASSERT_FALSE(handler.InitWrite(true, true).IsError());

  std::vector<SMVolBlock> volumes = {Volume("/same"), Volume("/grown"), Volume("/old"), Volume("/new")};
  ASSERT_FALSE(handler.ExecutePrePostSnapTask(volumes, 0, 2, 0, false).IsError());
  EXPECT_EQ(handler.levels["/same@pre"], 2u);
  EXPECT_EQ(handler.levels["/grown@pre"], 1u);
  EXPECT_EQ(handler.levels["/new@pre"], 1u);
  EXPECT_TRUE(volumes[2].bForceFull);
  EXPECT_FALSE(volumes[0].bForceFull);
  EXPECT_FALSE(volumes[1].bForceFull);  // the record is left alone; only the level changes
  EXPECT_TRUE(log.Contains("Volume=[/new] new in this backup"));
  EXPECT_TRUE(log.Contains("Previous and current config for volume[/grown] does not match"));
  EXPECT_TRUE(log.Contains("Previous Config=[" + Record("/grown").Serialize() + "]"));
  EXPECT_TRUE(log.Contains("Current Config=[" + Record("/grown", 4194304).Serialize() + "]"));
  EXPECT_TRUE(log.Contains("Version change, current version=1, config version=0"));
  EXPECT_TRUE(log.Contains("Invoking FULL backup on volume=[/old]"));
  EXPECT_TRUE(log.Contains(
      "Invoking FULL bakcup on volume=[/new] since it was not found in last backup Or changed since last backup"));

  ASSERT_FALSE(handler.ExecutePrePostSnapTask(volumes, 0, 2, 0, true).IsError());
  EXPECT_EQ(handler.levels["/grown@post"], 1u);
  KzDeviceConfigHandler reader(Job(dir));
  ASSERT_FALSE(reader.InitRead().IsError());
  BackupDeviceInfo old;
  ASSERT_FALSE(reader.GetDeviceConfigForVolume("/old", old, "").IsError());
  EXPECT_EQ(old.GetVersion(), 1u);
  BackupDeviceInfo grown;
  ASSERT_FALSE(reader.GetDeviceConfigForVolume("/grown", grown, "").IsError());
  EXPECT_EQ(grown.GetTotalBlocks(), 4194304u);

  // With no previous file nothing is new or changed.
  RecordingHandler first(Job(state.Sub("other")));
  first.geometry = handler.geometry;
  ASSERT_FALSE(first.InitWrite(true, true).IsError());
  ASSERT_FALSE(first.ExecutePrePostSnapTask(volumes, 0, 2, 0, false).IsError());
  EXPECT_EQ(first.levels["/new@pre"], 2u);
  EXPECT_EQ(first.levels["/grown@pre"], 2u);

  // A full job never asks whether a volume is new (the post-snap step does
  // not ask about the version, so only that question could log this).
  RecordingHandler full(Job(dir));
  full.geometry = handler.geometry;
  ASSERT_FALSE(full.InitWrite(true, true).IsError());
  SMVolBlock unknown = Volume("/unknown");
  log.Clear();
  ASSERT_FALSE(full.ExecutePrePostSnapTask(unknown, 0, 1, 0, true).IsError());
  EXPECT_EQ(full.levels["/unknown@post"], 1u);
  EXPECT_FALSE(log.Contains("new in this backup"));
  ASSERT_FALSE(full.ExecutePrePostSnapTask(unknown, 0, 2, 0, true).IsError());
  EXPECT_EQ(full.levels["/unknown@post"], 1u);
  EXPECT_TRUE(log.Contains("Volume=[/unknown] new in this backup"));
}

TEST(KzDeviceConfigHandler, CleansOnlyOtherJobsBitmapFiles) {
  ScopedStateDir state;
  const std::string dir = state.Sub("jobresults");
  for (const char* name : {"5_x.bmp", "12_y.bmp", "123_z.bmp", "BlockDeviceConfig.kzf"})
    WriteFile(dir + "/" + name, "x");
  KzDeviceConfigHandler handler(Job(dir));
  ASSERT_FALSE(handler.CleanPrevJobConfigFiles().IsError());
  EXPECT_FALSE(FileExists(dir + "/5_x.bmp"));
  EXPECT_TRUE(FileExists(dir + "/12_y.bmp"));
  EXPECT_TRUE(FileExists(dir + "/123_z.bmp"));
  EXPECT_TRUE(FileExists(dir + "/BlockDeviceConfig.kzf"));
  KzDeviceConfigHandler nowhere(Job(state.Sub("missing")));
  EXPECT_TRUE(nowhere.CleanPrevJobConfigFiles().IsError());
}
