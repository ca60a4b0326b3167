#include "records/block_device_config.h"

#include <gtest/gtest.h>

#include "platform/sim/fs_util.h"
#include "support/file_size_limit.h"
#include "support/test_platform.h"

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedCwd;
using testing_support::WriteFile;

namespace {

const char kHeader[] =
    "# IsSupported|SourceVolume|SourceDevice|FSType|MountOptions|ExtentSize|TotalBlocks|FSBlockSize|BitMapSize|"
    "LogSectorSz|PhySectorSz|IOMinSz|IOOptimalSz|Version\n";

BackupDeviceInfo Device(const std::string& volume, const std::string& device, bool supported = true,
                        const std::string& fsType = "ext4") {
  const uint64_t extent = 4194304;
  const uint64_t blocks = 2097152;
  const uint64_t fsBlock = 4096;
  const uint64_t bitmap = 32;
  return BackupDeviceInfo(supported, volume, device, fsType, "rw", extent, blocks, fsBlock, bitmap, 512, 512, 512, 0);
}

// Reads with ReadNextBackupConfig until a record that is not valid; the volumes in order.
std::vector<std::string> ReadAllConfigs(const std::string& path) {
  std::vector<std::string> volumes;
  BlockDeviceConfigReaderWriter_UNIX reader;
  CQiError result = reader.InitRead(path);
  EXPECT_FALSE(result.IsError()) << result.AsString();
  for (int guard = 0; guard < 100; ++guard) {
    BackupDeviceInfo device;
    result = reader.ReadNextBackupConfig(device);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    if (!device.IsValid()) break;
    volumes.push_back(device.GetSourceVolName());
  }
  return volumes;
}

}  // namespace

TEST(BlockDeviceConfig, WritesBothFilesExactlyAndReadsThemBack) {
  testing_support::ScopedStateDir state;
  const std::string main = state.Sub("jobresults/BlockDeviceConfig.kzf");
  const std::string ext = state.Sub("jobresults/BlockDeviceConfigExt.kzf");
  const BackupDeviceInfo data = Device("/data", "/dev/sdb1");
  const BackupDeviceInfo pool = Device("/pool", "tank/pool", true, "zfs");
  {
    BlockDeviceConfigReaderWriter_UNIX writer;
    ASSERT_FALSE(writer.InitWrite(main, true, false).IsError());
    ASSERT_FALSE(writer.WriteNextBackupDevice(data).IsError());
    ASSERT_FALSE(writer.WriteNextBackupDevice(pool).IsError());
    ASSERT_FALSE(writer.WriteNextBackupConfig(data).IsError());  // writes nothing
    ASSERT_FALSE(writer.Close().IsError());
  }
  EXPECT_EQ(ReadFile(main),
            std::string(kHeader) + "#METADATA_ENABLED#\n" + data.Serialize() + "\n" + pool.Serialize() + "\n");
  EXPECT_EQ(ReadFile(ext), std::string(kHeader) + "#METADATA_ENABLED#\n");

  BlockDeviceConfigReaderWriter_UNIX reader;
  ASSERT_FALSE(reader.InitRead(main).IsError());
  EXPECT_TRUE(reader.IsMetaDataCollectionEnabled());
  BackupDeviceInfo first, second, end;
  ASSERT_FALSE(reader.ReadNextBackupDevice(first).IsError());
  ASSERT_FALSE(reader.ReadNextBackupDevice(second).IsError());
  ASSERT_FALSE(reader.ReadNextBackupDevice(end).IsError());
  EXPECT_TRUE(first.IsSame(data));
  EXPECT_EQ(first.Serialize(), data.Serialize());
  EXPECT_EQ(second.Serialize(), pool.Serialize());
  EXPECT_FALSE(end.IsValid());
  // Once at the end the stream leaves the caller's record alone.
  BackupDeviceInfo untouched = data;
  ASSERT_FALSE(reader.ReadNextBackupDevice(untouched).IsError());
  EXPECT_TRUE(untouched.IsValid());

  // The extension file holds the devices that lie under another one.
  BlockDeviceConfigReaderWriter_UNIX extWriter;
  ASSERT_FALSE(extWriter.InitWrite(main, false, false).IsError());
  ASSERT_FALSE(extWriter.WriteNextBackupDevice(data).IsError());
  ASSERT_FALSE(extWriter.WriteNextExtBackupDevice(Device("/dev/sdb1", "/dev/sdc")).IsError());
  ASSERT_FALSE(extWriter.WriteNextExtBackupDevice(Device("/other", "/dev/sdd")).IsError());
  ASSERT_FALSE(extWriter.WriteNextExtBackupDevice(Device("/dev/sdb1", "/dev/sde")).IsError());
  ASSERT_FALSE(extWriter.Close().IsError());
  EXPECT_EQ(ReadAllConfigs(main), (std::vector<std::string>{"/data", "/dev/sdb1", "/other", "/dev/sdb1"}));

  ASSERT_FALSE(reader.InitRead(main).IsError());
  EXPECT_FALSE(reader.IsMetaDataCollectionEnabled());
  std::vector<BackupDeviceInfo> under;
  BackupDeviceInfo key = data;
  ASSERT_FALSE(reader.LookUpUnderlyingBackupDevInfo(key, under).IsError());
  ASSERT_EQ(under.size(), 2u);
  EXPECT_EQ(under[0].GetSourceDeviceName(), "/dev/sdc");
  EXPECT_EQ(under[1].GetSourceDeviceName(), "/dev/sde");
}

TEST(BlockDeviceConfig, AppendedWritesAndOddLinesReadInOrder) {
  testing_support::ScopedStateDir state;
  const std::string main = state.Sub("BlockDeviceConfig.kzf");
  for (bool metadata : {false, true}) {
    BlockDeviceConfigReaderWriter writer;
    ASSERT_FALSE(writer.InitWrite(main, metadata, true).IsError());
    ASSERT_FALSE(writer.WriteNextBackupDevice(Device(metadata ? "/second" : "/first", "/dev/x")).IsError());
  }
  const std::string contents = ReadFile(main);
  EXPECT_EQ(contents.find(kHeader), 0u);
  EXPECT_NE(contents.find(kHeader, 1), std::string::npos);
  EXPECT_NE(contents.find("#METADATA_NOT_ENABLED#\n"), std::string::npos);
  EXPECT_NE(contents.find("#METADATA_ENABLED#\n"), std::string::npos);
  BlockDeviceConfigReaderWriter_UNIX reader;
  ASSERT_FALSE(reader.InitRead(main).IsError());
  EXPECT_FALSE(reader.IsMetaDataCollectionEnabled());  // the first marker counts
  EXPECT_EQ(ReadAllConfigs(main), (std::vector<std::string>{"/first", "/second"}));

  // Carriage returns and tabs before the line end are not part of the record;
  // a blank before '#' makes the line a (bad) record, passed over.
  WriteFile(main, "\n#METADATA_ENABLED#\r\n\n" + Device("/cr", "/dev/a").Serialize() + "\r\n" +
                      Device("/tab", "/dev/b").Serialize() + "\t\n" + " # comment\n" +
                      Device("/after", "/dev/c").Serialize() + "\n");
  ASSERT_FALSE(reader.InitRead(main).IsError());
  EXPECT_TRUE(reader.IsMetaDataCollectionEnabled());
  EXPECT_EQ(ReadAllConfigs(main), (std::vector<std::string>{"/cr", "/tab", "/after"}));
}

TEST(BlockDeviceConfig, UnusableMainRecordsAreSkippedNotTheEndOfTheRead) {
  testing_support::ScopedStateDir state;
  const std::string main = state.Sub("BlockDeviceConfig.kzf");
  {
    BlockDeviceConfigReaderWriter_UNIX writer;
    ASSERT_FALSE(writer.InitWrite(main, true, false).IsError());
    ASSERT_FALSE(writer.WriteNextBackupDevice(Device("/A", "/dev/a")).IsError());
    ASSERT_FALSE(writer.WriteNextBackupDevice(Device("/B", "/dev/b", false)).IsError());
    ASSERT_FALSE(writer.WriteNextBackupDevice(Device("/C", "/dev/c")).IsError());
  }  // closed by the destructor
  EXPECT_EQ(ReadAllConfigs(main), (std::vector<std::string>{"/A", "/C"}));

  // The extension file's records follow the main file's end.
  {
    BlockDeviceConfigReaderWriter_UNIX writer;
    ASSERT_FALSE(writer.InitWrite(main, true, true).IsError());
    ASSERT_FALSE(writer.WriteNextExtBackupDevice(Device("/D", "/dev/d", true, "zfs")).IsError());
    ASSERT_FALSE(writer.Close().IsError());
  }
  EXPECT_EQ(ReadAllConfigs(main), (std::vector<std::string>{"/A", "/C", "/D"}));

  // A record whose extent size is 0 parses but is unusable: passed over too,
  // supported or not.
  WriteFile(main, Device("/A", "/dev/a").Serialize() + "\nfalse|/B|/dev/b|ext4||0|0|0|0|0|0|0|0|1\n" +
                      "true|/Z|/dev/z|ext4||0|2097152|4096|32\n" + Device("/C", "/dev/c").Serialize() + "\n");
  EXPECT_EQ(ReadAllConfigs(main), (std::vector<std::string>{"/A", "/C", "/D"}));

  // So is a line that does not parse at all.
  WriteFile(main, Device("/A", "/dev/a").Serialize() + "\nnot|a|record\n" + Device("/C", "/dev/c").Serialize() + "\n");
  EXPECT_EQ(ReadAllConfigs(main), (std::vector<std::string>{"/A", "/C", "/D"}));
}

TEST(BlockDeviceConfig, RecordsWhoseTextsWouldSplitTheLineAreRefused) {
  testing_support::ScopedStateDir state;
  const std::string main = state.Sub("BlockDeviceConfig.kzf");
  BlockDeviceConfigReaderWriter_UNIX writer;
  ASSERT_FALSE(writer.InitWrite(main, true, false).IsError());
  ASSERT_FALSE(writer.WriteNextBackupDevice(Device("/A", "/dev/a")).IsError());
  CQiError bar = writer.WriteNextBackupDevice(Device("/mnt/a|b", "/dev/b"));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(bar, 22));
  EXPECT_NE(bar.GetMessage().find("SourceVolume"), std::string::npos) << bar.GetMessage();
  CQiError lineFeed = writer.WriteNextBackupDevice(Device("/B", "/dev/b\n"));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(lineFeed, 22));
  EXPECT_NE(lineFeed.GetMessage().find("SourceDevice"), std::string::npos) << lineFeed.GetMessage();
  CQiError carriageReturn = writer.WriteNextExtBackupDevice(Device("/Z", "/dev/z", true, "zfs\r"));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(carriageReturn, 22));
  EXPECT_NE(carriageReturn.GetMessage().find("FSType"), std::string::npos) << carriageReturn.GetMessage();
  ASSERT_FALSE(writer.WriteNextBackupDevice(Device("/C", "/dev/c")).IsError());
  ASSERT_FALSE(writer.WriteNextExtBackupDevice(Device("/Y", "/dev/y", true, "zfs")).IsError());
  ASSERT_FALSE(writer.Close().IsError());
  EXPECT_EQ(ReadAllConfigs(main), (std::vector<std::string>{"/A", "/C", "/Y"}));
}

TEST(BlockDeviceConfig, BadPathsFailWithTheirCodesAndCreateNothing) {
  testing_support::ScopedStateDir state;
  const std::string dir = state.Sub("work");
  ASSERT_TRUE(platform::MakeDirectories(dir));
  ScopedCwd cwd(dir);
  BlockDeviceConfigReaderWriter_UNIX config;

  CQiError result = config.InitWrite("", true, false);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(result, 2));
  EXPECT_EQ(result.GetMessage(), "Empty config file name passed");
  result = config.InitRead("");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(result, 22));
  EXPECT_EQ(result.GetMessage(), "Empty config file name passed");

  result = config.InitWrite("BlockDeviceConfig.kzf", true, false);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(result, 22));
  EXPECT_EQ(result.GetMessage(), "Invalid config file name passed");
  EXPECT_FALSE(FileExists(dir + "/BlockDeviceConfig.kzf"));

  result = config.InitRead("BlockDeviceConfig.kzf");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(result, 2));
  EXPECT_EQ(result.GetMessage(), "Failed to open 'BlockDeviceConfig.kzf' to read");
  // With the main file present the path itself is refused.
  WriteFile(dir + "/BlockDeviceConfig.kzf", "");
  result = config.InitRead("BlockDeviceConfig.kzf");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(result, 22));
  EXPECT_EQ(result.GetMessage(), "Invalid config file name passed [BlockDeviceConfig.kzf]");
  EXPECT_FALSE(FileExists(dir + "/BlockDeviceConfigExt.kzf"));

  result = config.InitWrite(dir + "/missing/BlockDeviceConfig.kzf", true, false);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(result, 2));
  EXPECT_EQ(result.GetMessage(), "Failed to open '" + dir + "/missing/BlockDeviceConfig.kzf' to write");

  // A missing extension file reads as empty and leaves the record alone.
  ASSERT_FALSE(config.InitRead(dir + "/BlockDeviceConfig.kzf").IsError());
  BackupDeviceInfo untouched = Device("/kept", "/dev/k");
  ASSERT_FALSE(config.ReadNextExtBackupDevice(untouched).IsError());
  EXPECT_EQ(untouched.GetSourceVolName(), "/kept");
}

TEST(BlockDeviceConfig, ExtensionPathReplacesTwentyOneCharacters) {
  std::string ext;
  ASSERT_TRUE(BlockDeviceConfigReaderWriter_UNIX::ExtensionPath("/j/BlockDeviceConfig.kzf", ext));
  EXPECT_EQ(ext, "/j/BlockDeviceConfigExt.kzf");
  ASSERT_TRUE(BlockDeviceConfigReaderWriter_UNIX::ExtensionPath("/j/123_BlockDeviceConfig.kzf", ext));
  EXPECT_EQ(ext, "/j/BlockDeviceConfigExt.kzf.kzf");
  ASSERT_TRUE(BlockDeviceConfigReaderWriter_UNIX::ExtensionPath("/j/x.kzf", ext));
  EXPECT_EQ(ext, "/j/BlockDeviceConfigExt.kzf");
  EXPECT_FALSE(BlockDeviceConfigReaderWriter_UNIX::ExtensionPath("BlockDeviceConfig.kzf", ext));
}

TEST(BlockDeviceConfig, AWriteThatFailsLateIsReportedAtCloseAndKeepsThePreviousFile) {
  testing_support::ScopedStateDir state;
  const std::string main = state.Sub("BlockDeviceConfig.kzf");
  {
    BlockDeviceConfigReaderWriter_UNIX previous;
    ASSERT_FALSE(previous.InitWrite(main, true, false).IsError());
    ASSERT_FALSE(previous.WriteNextBackupDevice(Device("/old", "/dev/old")).IsError());
    ASSERT_FALSE(previous.Close().IsError());
  }
  const std::string before = ReadFile(main);
  {
    BlockDeviceConfigReaderWriter_UNIX writer;
    ASSERT_FALSE(writer.InitWrite(main, true, true).IsError());
    testing_support::ScopedFileSizeLimit full(before.size() + 200);
    for (int i = 0; i < 20; ++i)  // still buffered
      ASSERT_FALSE(writer.WriteNextBackupDevice(Device("/new" + std::to_string(i), "/dev/new")).IsError());
    CQiError result = writer.Close();
    ASSERT_TRUE(result.IsError());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(result, EFBIG)) << result.AsString();
    EXPECT_EQ(result.GetMessage(), "Could not write " + main);
  }
  EXPECT_EQ(ReadFile(main), before);
  EXPECT_EQ(ReadAllConfigs(main), (std::vector<std::string>{"/old"}));

  // A device is not replaced by a file of records.
  BlockDeviceConfigReaderWriter writer;
  CQiError device = writer.InitWrite("/dev/full", true, false);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(device, 22));
  EXPECT_EQ(device.GetMessage(), "Failed to open '/dev/full' to write");
}
