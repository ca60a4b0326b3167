// How each volume's extents to back up are decided: the driver's bitmap,
// the file system's used extents, and the rule that a volume whose data-only
// bitmap cannot be trusted is backed up whole.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdlib>
#include <memory>

#include "platform/harness/mount_harness.h"
#include "scan/cumulative_bitmap_helper.h"
#include "scan/scan_test_fixtures.h"
#include "support/ext_image.h"

namespace {

using scan_test::JobArgs;
using scan_test::kRecordV1;
using scan_test::ScanTest;
using testing_support::CapturingLog;

// 64 extents of 1 MiB over a 64 MiB ext4 image.
constexpr const char* kRecordE = "true|/mnt/e|/dev/sdz8|ext4|rw|1048576|131072|4096|8|512|512|512|0|1";
constexpr uint64_t kImageBytes = 64ull << 20;

std::string LinesOf(const std::vector<unsigned char>& bitmap, const std::string& volume, unsigned extents) {
  std::string text;
  char name[16];
  for (unsigned n = 0; n < extents; ++n) {
    if ((bitmap[n / 8] & (1u << (n % 8))) == 0) continue;
    ExtentNameConverter::Extent_dec_to_base32_v2(n, name, 8);
    text += volume + "/" + name + "\n";
  }
  return text;
}

class ExtScanTest : public ScanTest {
 protected:
  void SetUp() override {
    image_ = state_.Sub("e.img");
    ASSERT_TRUE(testing_support::MakeExt4Image(image_, 64, {{"big", 20u << 20}}, 4096));
    testing_support::ExtAllocation allocation;
    ASSERT_TRUE(testing_support::ReadAllocation(image_, allocation));
    used_ = testing_support::ExpectedExtentBitmap(allocation, 1 << 20, kImageBytes);
    WriteRecords({kRecordE});
  }

  std::string image_;
  std::vector<unsigned char> used_;
};

TEST_F(ExtScanTest, ListsExactlyTheExtentsTheFileSystemUses) {
  unsigned int total = 0;
  ASSERT_FALSE(Scan(JobArgs("1"), {{"/mnt/e", image_}}, 1, false, 0, total).IsError());
  const std::string expected = LinesOf(used_, "/mnt/e", 64);
  ASSERT_GT(total, 20u);
  ASSERT_LT(total, 64u);
  EXPECT_EQ(Read("CollectTot_1.kzf"), expected);
  EXPECT_EQ(testing_support::ReadFile(CumulativeBitmapOf("/mnt/e")), std::string(used_.begin(), used_.end()));

  WriteDriverBitmap(kRecordE, std::vector<unsigned char>(8, 0xFF));
  ASSERT_FALSE(Scan(JobArgs("2"), {{"/mnt/e", image_}}, 1, false, 0, total).IsError());
  EXPECT_EQ(Read("CollectInc_1.kzf"), expected);

  // A change only where the file system keeps nothing: an empty collect file,
  // still listed.
  unsigned unused = 0;
  while (used_[unused / 8] & (1u << (unused % 8))) ++unused;
  std::vector<unsigned char> driver(8, 0);
  driver[unused / 8] = static_cast<unsigned char>(1u << (unused % 8));
  WriteDriverBitmap(kRecordE, driver);
  ASSERT_FALSE(Scan(JobArgs("2"), {{"/mnt/e", image_}}, 1, false, 0, total).IsError());
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(Read("CollectInc_1.kzf"), "");
  EXPECT_EQ(Read("ListOfCollect.txt"), "/mnt/e|" + jr_ + "/CollectInc_1.kzf|1\n");
}

// A driver that sizes its bitmap in pages: 64 extents in 4096 bytes. Full
// and incremental alike list exactly the extents in use, and changed; the
// bits of the padding stand for nothing.
TEST_F(ExtScanTest, ABitmapPaddedToAPageListsExactlyTheChangedExtentsInUse) {
  const std::string padded = "true|/mnt/e|/dev/sdz8|ext4|rw|1048576|131072|4096|4096|512|512|512|0|1";
  WriteRecords({padded});
  unsigned int total = 0;
  CQiError err = Scan(JobArgs("1"), {{"/mnt/e", image_}}, 1, false, 0, total);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(Read("CollectTot_1.kzf"), LinesOf(used_, "/mnt/e", 64));
  std::string cumulative(4096, '\0');
  std::copy(used_.begin(), used_.end(), cumulative.begin());
  EXPECT_EQ(testing_support::ReadFile(CumulativeBitmapOf("/mnt/e")), cumulative);

  // Changed: two extents in use, one not, and bits of the padding.
  unsigned used = 0, unused = 0;
  while (!(used_[used / 8] & (1u << (used % 8)))) ++used;
  while (used_[unused / 8] & (1u << (unused % 8))) ++unused;
  std::vector<unsigned char> driver(4096, 0);
  for (unsigned extent : {used, 63u, unused, 64u, 4000u * 8})
    driver[extent / 8] |= static_cast<unsigned char>(1u << (extent % 8));
  WriteDriverBitmap(padded, driver);
  err = Scan(JobArgs("2"), {{"/mnt/e", image_}}, 1, false, 0, total);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  std::vector<unsigned char> expected(8, 0);
  for (unsigned extent : {used, 63u})
    if (used_[extent / 8] & (1u << (extent % 8)))
      expected[extent / 8] |= static_cast<unsigned char>(1u << (extent % 8));
  EXPECT_EQ(Read("CollectInc_1.kzf"), LinesOf(expected, "/mnt/e", 64));
}

// The snapshot is mounted (here: said to be, through a relative link) on a
// file system that holds more than the data-only bitmap marks.
TEST_F(ExtScanTest, ADataOnlyBitmapBelowTheMountedUsedSpaceMakesTheVolumeFull) {
  const std::string mountPoint = state_.Sub("mounted");
  ASSERT_TRUE(platform::MakeDirectories(mountPoint));
  scan_test::ScopedTmpfs tmpfs(mountPoint, "64m");
  if (!tmpfs.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  testing_support::WriteFile(mountPoint + "/data", std::string(40u << 20, 'x'));
  ASSERT_EQ(::symlink("./sub/../e.img", state_.Sub("link").c_str()), 0);
  ASSERT_TRUE(platform::MakeDirectories(state_.Sub("sub")));
  ASSERT_TRUE(blbsim::AddMount(state_.Sub("link"), mountPoint));

  WriteDriverBitmap(kRecordE, std::vector<unsigned char>(8, 0));
  CapturingLog log;
  unsigned int total = 0;
  ASSERT_FALSE(Scan(JobArgs("2"), {{"/mnt/e", image_}}, 1, false, 0, total).IsError());
  EXPECT_EQ(total, 64u);
  EXPECT_TRUE(
      log.Contains("Failed validating data only block Bitmap for volume=/mnt/e, volume will be backed up in "
                   "its entirety"));
  // Every extent counts as used, so nothing is masked away either.
  EXPECT_EQ(testing_support::ReadFile(CumulativeBitmapOf("/mnt/e")), std::string(8, '\xFF'));
}

TEST_F(ScanTest, DataOnlyValidationNeedsAnExtentPerExtentOfUsedSpace) {
  const std::string mountPoint = state_.Sub("mounted");
  ASSERT_TRUE(platform::MakeDirectories(mountPoint));
  scan_test::ScopedTmpfs tmpfs(mountPoint, "4m");
  if (!tmpfs.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  testing_support::WriteFile(mountPoint + "/data", std::string((1u << 20) + 1, 'x'));
  const std::string snapshot = SparseSnapshot("snap", 1 << 20);
  ASSERT_TRUE(blbsim::SetRealMounts(false));
  ASSERT_TRUE(blbsim::AddMount("/no/such/device", "/nowhere"));
  ASSERT_TRUE(blbsim::AddMount(snapshot, mountPoint));
  struct statvfs space;
  ASSERT_EQ(::statvfs(mountPoint.c_str(), &space), 0);
  const uint64_t extent = 256 << 10;
  const uint64_t used = space.f_bsize * (space.f_blocks - space.f_bfree);
  const uint64_t needed = (used + extent - 1) / extent;
  ASSERT_GT(needed, 4u);

  TarvosJobInfo job(JobArgs("2"));
  ASSERT_EQ(job.ParseArgs(false), 0);
  job.SetJobResultsDir(jr_);
  CollectFileManager manager(job, 9, 0);
  ASSERT_FALSE(manager.GetMountList().IsError());
  std::vector<unsigned char> data(4, 0);
  for (uint64_t n = 0; n + 1 < needed; ++n) CollectFileManager::SetNthBit(n * 2, data.data());
  const ScanObjects_t scan{"/mnt/m", snapshot};
  CQiError err = manager.ValidateDataOnlyBitMapForVolume(scan, data.data(), data.size(), extent);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774)) << err.AsString();
  CollectFileManager::SetNthBit(31, data.data());
  EXPECT_FALSE(manager.ValidateDataOnlyBitMapForVolume(scan, data.data(), data.size(), extent).IsError());
  EXPECT_TRUE(FXErrorUtil::IsWin32(manager.ValidateDataOnlyBitMapForVolume(scan, data.data(), data.size(), 0), 774));
  // Not mounted: nothing to check against.
  const ScanObjects_t other{"/mnt/o", SparseSnapshot("other", 1 << 20)};
  EXPECT_FALSE(manager.ValidateDataOnlyBitMapForVolume(other, data.data(), 0, extent).IsError());
}

TEST_F(ScanTest, LinksAreFollowedOneLevelRelativeToTheirFolder) {
  TarvosJobInfo job(JobArgs("2"));
  CollectFileManager manager(job, 9, 0);
  const std::string folder = state_.Sub("dev");
  ASSERT_TRUE(platform::MakeDirectories(folder + "/mapper"));
  testing_support::WriteFile(folder + "/real", "");
  ASSERT_EQ(::symlink("../real", (folder + "/mapper/snap").c_str()), 0);
  ASSERT_EQ(::symlink(folder.c_str(), (folder + "/mapper/up").c_str()), 0);
  ASSERT_EQ(::symlink("mapper/snap", (folder + "/twice").c_str()), 0);

  std::string path = folder + "/mapper/snap";
  ASSERT_FALSE(manager.GetLinkTargetPath(path).IsError());
  EXPECT_EQ(path, folder + "/real");
  path = folder + "/twice";
  ASSERT_FALSE(manager.GetLinkTargetPath(path).IsError());
  EXPECT_EQ(path, folder + "/mapper/snap");
  path = folder + "/real";
  ASSERT_FALSE(manager.GetLinkTargetPath(path).IsError());
  EXPECT_EQ(path, folder + "/real");
  path = folder + "/missing";
  EXPECT_TRUE(FXErrorUtil::IsWin32(manager.GetLinkTargetPath(path), 1627));
}

// The true-up's bitmaps reach the change bitmap through the records it is
// handed, which share the manager's bitmaps.
TEST_F(ScanTest, TrueUpRecordsShareTheVolumesBitmaps) {
  WriteRecords({kRecordV1});
  std::vector<unsigned char> driver(32, 0);
  driver[1] = 0x01;
  WriteDriverBitmap(kRecordV1, driver);
  TarvosJobInfo job(JobArgs("2"));
  ASSERT_EQ(job.ParseArgs(false), 0);
  job.SetJobResultsDir(jr_);
  CollectFileManager manager(job, 9, 0);
  ASSERT_FALSE(manager.InitCumBmpHelper().IsError());
  const std::list<ScanObjects_t> volumes{{"/mnt/v1", SparseSnapshot("snap", 1ull << 30)}};
  ASSERT_FALSE(manager.FetchBitmapForVolumes(volumes).IsError());
  ASSERT_FALSE(manager.PrepareForTrueUpJob(volumes).IsError());
  ASSERT_EQ(manager.GetTrueUpVolInfo().size(), 1u);
  TrueUpVolInfo& record = manager.GetTrueUpVolInfo().front();
  EXPECT_EQ(record.GetVolume(), "/mnt/v1");
  EXPECT_EQ(record.GetSourceDevice(), "/dev/sdz9");
  EXPECT_EQ(record.GetDriverBmpSize(), 32u);
  EXPECT_TRUE(CCumulativeBitmapHelper::AreAllBitsSet(32, record.GetDataBlockBmp()));

  // A volume the true-up left without its bitmap cannot be merged.
  EXPECT_TRUE(FXErrorUtil::IsErrNo(manager.MergeTrueUpBitmaps(volumes), 22));
  unsigned char* trueUp = TrueUpVolInfo::VolumeBitmaps::Allocate(32);
  trueUp[31] = 0x80;
  record.SetTrueUpBmp(trueUp);
  ASSERT_FALSE(manager.MergeTrueUpBitmaps(volumes).IsError());
  EXPECT_EQ(record.GetDriverBmp()[1], 0x01);
  EXPECT_EQ(record.GetDriverBmp()[31], 0x80);

  // A zfs volume is known to the true-up by its dataset.
  const TrueUpVolInfo zfs("/dev/zd0",
                          BackupDeviceInfo("true|/tank|tank/fs|zfs|rw|4194304|2097152|4096|32|512|512|512|0|1"),
                          TrueUpVolInfo::VolumeBitmapsPtr());
  EXPECT_EQ(zfs.GetVolume(), "tank/fs");
  EXPECT_EQ(zfs.GetDriverBmp(), nullptr);
}

// Every later step reads the record's bitmap size from the change bitmap.
TEST_F(ScanTest, ADriverBitmapOfAnotherSizeIsNotUsed) {
  struct ShortBitmapHandler : KzDeviceConfigHandler {
    using KzDeviceConfigHandler::KzDeviceConfigHandler;
    CQiError GetBitMapInfo(const std::string&, unsigned char*& bitmap, unsigned long& size, unsigned char&) override {
      size = 4;
      bitmap = static_cast<unsigned char*>(std::calloc(size, 1));
      bitmap[0] = 0x01;
      return CQiError();
    }
  };
  scan::ScopedDeviceConfigHandlerMaker shortBitmaps(
      [](TarvosJobInfo& job) -> KzDeviceConfigHandler* { return new ShortBitmapHandler(job); });
  WriteRecords({kRecordV1});
  CapturingLog log;
  unsigned int total = 0;
  ASSERT_FALSE(Scan(JobArgs("2"), {{"/mnt/v1", SparseSnapshot("snap", 1ull << 30)}}, 1, false, 0, total).IsError());
  EXPECT_EQ(total, 256u);
  EXPECT_TRUE(log.Contains("Disk bit map of 4 bytes does not fit the 32 bytes of volume [/mnt/v1], not using it"));
}

TEST(CCumulativeBitmapHelper, AllBitsSetLooksAtEveryByte) {
  std::vector<unsigned char> bitmap(19, 0xFF);
  EXPECT_TRUE(CCumulativeBitmapHelper::AreAllBitsSet(19, bitmap.data()));
  EXPECT_TRUE(CCumulativeBitmapHelper::AreAllBitsSet(0, nullptr));
  for (size_t byte : {0u, 8u, 18u}) {
    bitmap[byte] = 0x7F;
    EXPECT_FALSE(CCumulativeBitmapHelper::AreAllBitsSet(19, bitmap.data())) << byte;
    bitmap[byte] = 0xFF;
  }
}

}  // namespace
