#include <gtest/gtest.h>

#include <filesystem>
#include <list>
#include <string>

#include "blocklevel/blocklevel.h"
#include "platform/guid/guid_factory.h"
#include "records/block_device_config.h"
#include "support/test_platform.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedStateDir;
using testing_support::WriteFile;

std::string Bytes(unsigned char first, unsigned char rest = 0) {
  return std::string(1, static_cast<char>(first)) + std::string(7, static_cast<char>(rest));
}

// A job-results directory D whose configuration lists /mnt/v and /mnt/w
// (8-byte bitmaps) and the zfs dataset tank/fs, with the two volumes'
// bitmap files.
struct JobResults {
  ScopedStateDir state;
  std::string d = state.Sub("D");
  std::string v = d + "/" + CGuidFactory::get_guid_nosalt("/mnt/v") + ".bmp";
  std::string w = d + "/" + CGuidFactory::get_guid_nosalt("/mnt/w") + ".bmp";
  std::string keyV = v.substr(d.size() + 1);

  JobResults() {
    std::filesystem::create_directories(d);
    BlockDeviceConfigReaderWriter_UNIX writer;
    EXPECT_FALSE(writer.InitWrite(d + "/BlockDeviceConfig.kzf", false, false).IsError());
    for (const BackupDeviceInfo& device :
         {BackupDeviceInfo(true, "/mnt/v", "/dev/sdv", "ext4", "", 4 << 20, 524288, 4096, 8),
          BackupDeviceInfo(true, "/mnt/w", "/dev/sdw", "ext4", "", 4 << 20, 524288, 4096, 8),
          BackupDeviceInfo(true, "/tank/fs", "tank/fs", "zfs", "", 4 << 20, 524288, 4096, 8)})
      EXPECT_FALSE(writer.WriteNextBackupDevice(device).IsError());
    EXPECT_FALSE(writer.Close().IsError());
    WriteFile(v, Bytes(0x01));
    WriteFile(w, Bytes(0x10));
  }

  std::string Contents(const std::string& path) const { return FileExists(path) ? ReadFile(path) : "<none>"; }
};

TEST(MergeBitmapForBlockLevelSnap, FoldsEveryFileHoldingADevicesKeyAndRemovesTheRest) {
  JobResults job;
  const std::string x = job.d + "/x_" + job.keyV, other = job.d + "/other.bmp";
  const std::string elsewhere = job.state.Sub("E/2_" + job.keyV);
  WriteFile(x, Bytes(0x02));
  WriteFile(other, Bytes(0xFF, 0xFF));
  WriteFile(elsewhere, Bytes(0x80));
  ASSERT_FALSE(MergeBitmapForBlockLevelSnap(7, 2, job.d, {x, other, job.v, elsewhere}).IsError());
  EXPECT_EQ(job.Contents(job.v), Bytes(0x83));
  EXPECT_EQ(job.Contents(job.w), Bytes(0x10));  // nothing for it: rewritten as it was
  for (const std::string& gone : {x, other, elsewhere}) EXPECT_FALSE(FileExists(gone)) << gone;
  EXPECT_FALSE(FileExists(job.v + "_tmp"));
  EXPECT_FALSE(FileExists(job.d + "/" + CGuidFactory::get_guid_nosalt("tank/fs") + ".bmp"));

  // The device's own file listed twice is merged with itself and stays.
  ASSERT_FALSE(MergeBitmapForBlockLevelSnap(7, 2, job.d, {job.v, job.v}).IsError());
  EXPECT_EQ(job.Contents(job.v), Bytes(0x83));
}

TEST(MergeBitmapForBlockLevelSnap, AFailedMergeKeepsEveryFileItWouldHaveConsumed) {
  JobResults job;
  const std::string x = job.d + "/x_" + job.keyV, other = job.d + "/other.bmp";
  WriteFile(x, Bytes(0x02));
  WriteFile(other, Bytes(0xFF, 0xFF));
  std::filesystem::create_directories(job.v + "_tmp");  // the merged file cannot be written
  CQiError failed = MergeBitmapForBlockLevelSnap(7, 2, job.d, {x, other});
  EXPECT_TRUE(FXErrorUtil::IsErrNo(failed, 21)) << failed.AsString();
  EXPECT_EQ(job.Contents(job.v), Bytes(0x01));
  EXPECT_EQ(job.Contents(x), Bytes(0x02));
  EXPECT_TRUE(FileExists(other));  // the merge ended before the leftovers
  std::filesystem::remove(job.v + "_tmp");

  // A device without its bitmap file ends the merge; later devices wait.
  std::filesystem::remove(job.v);
  failed = MergeBitmapForBlockLevelSnap(7, 2, job.d, {x, other});
  EXPECT_TRUE(FXErrorUtil::IsErrNo(failed, 2)) << failed.AsString();
  EXPECT_EQ(job.Contents(x), Bytes(0x02));
  EXPECT_TRUE(FileExists(other));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(MergeBitmapForBlockLevelSnap(7, 2, job.state.Sub("none"), {}), 2));
}

TEST(ResetBitmapsForFull, EveryDevicesBitmapBecomesAllOnes) {
  JobResults job;
  std::filesystem::remove(job.w);
  ASSERT_FALSE(ResetBitmapsForFull(job.d).IsError());
  EXPECT_EQ(job.Contents(job.v), Bytes(0xFF, 0xFF));
  EXPECT_EQ(job.Contents(job.w), Bytes(0xFF, 0xFF));
  EXPECT_FALSE(FileExists(job.d + "/" + CGuidFactory::get_guid_nosalt("tank/fs") + ".bmp"));

  std::filesystem::remove(job.w);
  std::filesystem::create_directories(job.w + "/in-the-way");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(ResetBitmapsForFull(job.d), 21));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(ResetBitmapsForFull(job.state.Sub("none")), 2));

  // A record whose bitmap size does not fit its extents fails the reset
  // instead of sizing an allocation (and a bitmap file) by it.
  WriteFile(job.d + "/BlockDeviceConfig.kzf",
            "#METADATA_NOT_ENABLED#\ntrue|/mnt/v|/dev/sdv|ext4||4194304|524288|4096|99999999999|0|0|0|0|1\n");
  const std::string before = job.Contents(job.v);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(ResetBitmapsForFull(job.d), EINVAL));
  EXPECT_EQ(job.Contents(job.v), before);
  // One whose driver padded the bitmap to a page is reset at that size.
  WriteFile(job.d + "/BlockDeviceConfig.kzf",
            "#METADATA_NOT_ENABLED#\ntrue|/mnt/v|/dev/sdv|ext4||4194304|524288|4096|4096|0|0|0|0|1\n");
  ASSERT_FALSE(ResetBitmapsForFull(job.d).IsError());
  EXPECT_EQ(job.Contents(job.v), std::string(4096, '\xFF'));
}

}  // namespace
