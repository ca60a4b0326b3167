// A job's device records with zfs among them: extension entries written
// after the main ones and read back after them, lookups by volume and by
// device, the previous job's entries, and bitmaps read for the scan.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "devconfig/devconfig_test_fixtures.h"
#include "devconfig/kz_device_config_handler_unix.h"
#include "platform/harness/kzbf_harness.h"
#include "support/test_platform.h"
#include "tracking/volume_bitmap_helper.h"

using devconfig_test::Job;
using devconfig_test::kHeader;
using testing_support::CapturingLog;
using testing_support::ReadFile;
using testing_support::ScopedStateDir;
using testing_support::WriteFile;

namespace {

BackupDeviceInfo Record(const std::string& volume, const std::string& device, const std::string& fsType,
                        uint64_t totalBlocks = 131072, const std::string& options = "rw", uint64_t version = 1) {
  return BackupDeviceInfo(true, volume, device, fsType, options, 4194304, totalBlocks, 0, 2, 512, 512, 512, 0,
                          version);
}

std::string Lines(const std::vector<BackupDeviceInfo>& records) {
  std::string text = std::string(kHeader) + "#METADATA_NOT_ENABLED#\n";
  for (const BackupDeviceInfo& record : records) text += record.Serialize() + "\n";
  return text;
}

std::vector<std::string> VolumesInReadOrder(KzDeviceConfigHandler& reader) {
  std::vector<std::string> volumes;
  bool end = false;
  for (BackupDeviceInfo device; !end;) {
    if (reader.GetNextDeviceConfig(device, end).IsError()) break;
    if (!end) volumes.push_back(device.GetSourceVolName());
  }
  return volumes;
}

}  // namespace

TEST(UnixDeviceEntries, ZfsEntriesGoToTheExtensionFileAndAreFoundAfterTheMainOnes) {
  ScopedStateDir state;
  const std::string dir = state.Sub("jobresults");
  const BackupDeviceInfo data = Record("/data", "/dev/sdb", "ext4");
  const BackupDeviceInfo b = Record("/z/b", "/dev/zd0", "zfs"), c = Record("/z/c", "/dev/zd0", "zfs");
  const BackupDeviceInfo a = Record("/z/a", "/dev/zd0", "zfs"), other = Record("/y", "/dev/zd1", "zfs");
  {
    // Not cached: written at once, and not kept for the write of all.
    KzDeviceConfigHandler_UNIX writer(Job(dir));
    ASSERT_FALSE(writer.InitWrite(false, false).IsError());
    ASSERT_FALSE(writer.WriteDeviceConfig("/y", other, false).IsError());
    writer.Close();
    EXPECT_EQ(ReadFile(dir + "/BlockDeviceConfigExt.kzf"), Lines({other}));
    ASSERT_FALSE(writer.InitWrite(false, false).IsError());
    for (const BackupDeviceInfo* record : {&b, &data, &c, &a})
      ASSERT_FALSE(writer.WriteDeviceConfig(record->GetSourceVolName(), *record, true).IsError());
    ASSERT_FALSE(writer.WriteAllDeviceConfigAtOnce(false).IsError());
    writer.Close();
  }
  EXPECT_EQ(ReadFile(dir + "/BlockDeviceConfig.kzf"), Lines({data}));
  EXPECT_EQ(ReadFile(dir + "/BlockDeviceConfigExt.kzf"), Lines({b, c, a}));

  KzDeviceConfigHandler_UNIX reader(Job(dir));
  ASSERT_FALSE(reader.InitRead().IsError());
  EXPECT_EQ(VolumesInReadOrder(reader), (std::vector<std::string>{"/data", "/z/b", "/z/c", "/z/a"}));
  BackupDeviceInfo found;
  // By device the first entry answers, whatever volume was asked for, and a
  // volume argument naming the device finds it too.
  ASSERT_FALSE(reader.GetDeviceConfigForVolume("/z/a", found, "/dev/zd0").IsError());
  EXPECT_EQ(found.GetSourceVolName(), "/z/b");
  ASSERT_FALSE(reader.GetDeviceConfigForVolume("/dev/zd0", found, "").IsError());
  EXPECT_EQ(found.GetSourceVolName(), "/z/b");
  CQiError missing = reader.GetDeviceConfigForVolume("/z/a", found, "/dev/zd9");
  EXPECT_EQ(missing.GetMessage(), "Device config not found for '/z/a'");

  // The scan's bitmaps: a main entry by volume, an extension entry by device.
  std::string dataFile, zfsFile;
  VolumeBitMapHelper::GenerateBitmapFileName("/data", dir, dataFile, "/dev/sdb", "ext4");
  VolumeBitMapHelper::GenerateBitmapFileName("/dev/zd0", dir, zfsFile, "/dev/zd0", "zfs");
  WriteFile(dataFile, "\x05\x80");
  WriteFile(zfsFile, "\x01\x02");
  unsigned char* bitmap = nullptr;
  unsigned long size = 0;
  unsigned char flag = 7;
  ASSERT_FALSE(reader.GetBitMapInfo("/data", bitmap, size, flag).IsError());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bitmap), size), "\x05\x80");
  EXPECT_EQ(flag, 0);
  std::free(bitmap);
  bitmap = nullptr;
  ASSERT_FALSE(reader.GetBitMapInfo("/dev/zd0", bitmap, size, flag).IsError());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bitmap), size), "\x01\x02");
  std::free(bitmap);
  EXPECT_EQ(reader.GetBitMapInfo("/z/a", bitmap, size, flag).GetMessage(), "Device config not found for '/z/a'");
  KzDeviceConfigHandler_UNIX unread(Job(dir));
  EXPECT_EQ(unread.GetBitMapInfo("/data", bitmap, size, flag).GetMessage(), "Device config not read from disk yet.");
}

// A record whose line cannot be written is refused; the ones after it must
// still reach the file, and the failure must not read as success.
TEST(UnixDeviceEntries, AnExtensionEntryThatCannotBeWrittenIsReportedAndTheOthersStillWritten) {
  ScopedStateDir state;
  const std::string dir = state.Sub("jobresults");
  const BackupDeviceInfo broken = Record("/z/a", "/dev/zd0", "zfs", 131072, "rw|x");
  const BackupDeviceInfo good = Record("/z/b", "/dev/zd1", "zfs"), data = Record("/data", "/dev/sdb", "ext4");
  KzDeviceConfigHandler_UNIX writer(Job(dir));
  ASSERT_FALSE(writer.InitWrite(false, false).IsError());
  for (const BackupDeviceInfo* record : {&broken, &good, &data})
    ASSERT_FALSE(writer.WriteDeviceConfig(record->GetSourceVolName(), *record, true).IsError());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(writer.WriteAllDeviceConfigAtOnce(false), 22));
  writer.Close();
  EXPECT_EQ(ReadFile(dir + "/BlockDeviceConfig.kzf"), Lines({data}));
  EXPECT_EQ(ReadFile(dir + "/BlockDeviceConfigExt.kzf"), Lines({good}));
  // Both caches were emptied all the same.
  ASSERT_FALSE(writer.WriteAllDeviceConfigAtOnce(false).IsError());
  writer.Close();
  EXPECT_EQ(ReadFile(dir + "/BlockDeviceConfigExt.kzf"), Lines({}));
}

// A device without a strategy (no driver, and none can be loaded) has no
// object to work with, and every step that needs one says so before it looks
// at the device's type. The driver probe holds its first outcome for the
// process: the steps run in a process of their own.
TEST(UnixDeviceEntries, ADeviceWithoutAStrategyObjectFailsForTheMissingObject) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto failures = [] {
    ScopedStateDir state;
    if (!blbsim::SetKzbfLoaded(false) || !blbsim::InstallKzbfLoadScript(false)) return std::string("no driver set-up");
    KzDeviceConfigHandler_UNIX handler(Job(state.Sub("jobresults")));
    std::string said;
    const auto add = [&said](const CQiError& error) {
      said += "[" + std::to_string(FXErrorUtil::GetCode(error)) + " " + error.GetMessage() + "]";
    };
    add(handler.WriteDeviceConfig("/data", "/dev/loop99", "ext4", "rw", true));
    SMVolBlock volume;
    volume.sDevice = "/dev/loop99";
    volume.sVolume = "/data";
    add(handler.HandleBitMap(volume, KZ_BKP_LEVEL_FULL, SNAP_STATE_PRE));
    bool changed = false;
    add(handler.CompareExtentSizeForDevice("/dev/loop99", changed));
    add(handler.DetachDeviceMonitoring("/dev/loop99"));
    return said;
  };
  EXPECT_EXIT(
      {
        std::fprintf(stderr, "%s\n", failures().c_str());
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0),
      "\\[-1 Failed to create volume handler for volume=\\[/dev/loop99\\]\\]"
      "\\[-1 Failed to create volume handler for device=\\[/dev/loop99\\]\\]"
      "\\[-1 Failed to create volume handler for volume=\\[/dev/loop99\\]\\]"
      "\\[-1 Failed to create volume handler for volume=\\[/dev/loop99\\]\\]");
}

TEST(UnixDeviceEntries, APreviousZfsDeviceIsComparedWithItsFirstEntryOfThisJob) {
  ScopedStateDir state;
  CapturingLog log;
  const std::string dir = state.Sub("jobresults");
  // The previous job: one main record, two entries of /dev/zd0 (the first
  // stands for the device) and one of /dev/zd1 with an old version.
  WriteFile(dir + "/BlockDeviceConfig.kzf", Lines({Record("/data", "/dev/sdb", "ext4")}));
  WriteFile(dir + "/BlockDeviceConfigExt.kzf",
            Lines({Record("/z/a", "/dev/zd0", "zfs"), Record("/z/b", "/dev/zd0", "zfs", 262144),
                   Record("/y", "/dev/zd1", "zfs", 131072, "rw", 0)}));
  KzDeviceConfigHandler_UNIX handler(Job(dir));
  ASSERT_FALSE(handler.InitWrite(false, true).IsError());
  EXPECT_TRUE(log.Contains("Read previous backup up device info [" + Record("/z/a", "/dev/zd0", "zfs").Serialize()));
  EXPECT_FALSE(log.Contains("Read previous backup up device info [" + Record("/z/b", "/dev/zd0", "zfs", 262144).Serialize()));

  // Other mount options only: not changed.
  ASSERT_FALSE(handler.WriteDeviceConfig("/z/a", Record("/z/a", "/dev/zd0", "zfs", 131072, "ro"), true).IsError());
  EXPECT_FALSE(handler.IsVolumeNewOrChangedSinceLastBackup("/z/a", "/dev/zd0"));
  // A device not seen before is new; the main volume keeps the base rule.
  EXPECT_TRUE(handler.IsVolumeNewOrChangedSinceLastBackup("/z/q", "/dev/zd7"));
  ASSERT_FALSE(handler.WriteDeviceConfig("/data", Record("/data", "/dev/sdb", "ext4"), true).IsError());
  EXPECT_FALSE(handler.IsVolumeNewOrChangedSinceLastBackup("/data", "/dev/sdb"));
  // The old version sends the volume to full and brings its entries to the
  // current version.
  ASSERT_FALSE(handler.WriteDeviceConfig("/y", Record("/y", "/dev/zd1", "zfs"), true).IsError());
  EXPECT_TRUE(handler.ConvertVolumeToFull("/y"));
  EXPECT_FALSE(handler.ConvertVolumeToFull("/z/a"));

  KzDeviceConfigHandler_UNIX grown(Job(dir));
  ASSERT_FALSE(grown.InitWrite(false, true).IsError());
  ASSERT_FALSE(grown.WriteDeviceConfig("/z/a", Record("/z/a", "/dev/zd0", "zfs", 262144), true).IsError());
  EXPECT_TRUE(grown.IsVolumeNewOrChangedSinceLastBackup("/z/a", "/dev/zd0"));
  EXPECT_TRUE(log.Contains("Previous and current config for device=/dev/zd0 do not match"));

  // No extension file: only the main records are the previous job's.
  std::remove((dir + "/BlockDeviceConfigExt.kzf").c_str());
  KzDeviceConfigHandler_UNIX mainOnly(Job(dir));
  ASSERT_FALSE(mainOnly.InitWrite(false, true).IsError());
  ASSERT_FALSE(mainOnly.WriteDeviceConfig("/z/a", Record("/z/a", "/dev/zd0", "zfs"), true).IsError());
  EXPECT_TRUE(mainOnly.IsVolumeNewOrChangedSinceLastBackup("/z/a", "/dev/zd0"));
  EXPECT_TRUE(log.Contains("Volume=[/dev/zd0] new in this backup"));
}
