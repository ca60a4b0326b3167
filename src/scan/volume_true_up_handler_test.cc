// One volume's true-up before and after the threads: the negate bitmap and
// its pieces, the comparison and the saved bitmaps.
#include "scan/volume_true_up_handler.h"

#include <gtest/gtest.h>

#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"
#include "scan/true_up_test_fixtures.h"
#include "support/test_platform.h"

namespace {

using true_up_test::Hex;

// 80 extents of 4 MiB, a 10-byte bitmap; 13 extents, a 2-byte one.
constexpr const char* kRecord80 = "true|/mnt/v1|/dev/sdz9|ext4|rw|4194304|655360|4096|10|512|512|512|0|1";
constexpr const char* kRecord13 = "true|/mnt/v2|/dev/sdz8|ext4|rw|4194304|106496|4096|2|512|512|512|0|1";

class VolumeTrueUpTest : public ::testing::Test {
 protected:
  TrueUpVolInfo Volume(const char* record, std::vector<unsigned char> change, std::vector<unsigned char> data = {}) {
    TrueUpVolInfo::VolumeBitmapsPtr bitmaps(new TrueUpVolInfo::VolumeBitmaps);
    const auto put = [&](int index, const std::vector<unsigned char>& bytes) {
      if (bytes.empty()) return;
      unsigned char* copy = TrueUpVolInfo::VolumeBitmaps::Allocate(bytes.size());
      std::copy(bytes.begin(), bytes.end(), copy);
      bitmaps->Reset(index, copy);
    };
    put(TrueUpVolInfo::VolumeBitmaps::kChange, change);
    put(TrueUpVolInfo::VolumeBitmaps::kDataOnly, data);
    return TrueUpVolInfo("/dev/snap", BackupDeviceInfo(record), bitmaps);
  }
  std::string Negate(const CVolumeTrueUpHandler& handler, size_t bytes) {
    return Hex(std::string(reinterpret_cast<const char*>(handler.GetNegateBmp()), bytes));
  }

  testing_support::ScopedStateDir state_;
  std::string folder_ = state_.Sub("TrueUp");
};

TEST_F(VolumeTrueUpTest, TheNegateBitmapIsCutIntoOnePiecePerReader) {
  CVolumeTrueUpHandler::s_iNextCollectFileNumber = 1;
  TrueUpVolInfo first = Volume(kRecord80, std::vector<unsigned char>(10, 0x0F), std::vector<unsigned char>(10, 0x3C));
  CVolumeTrueUpHandler handler(first, folder_, 3);
  ASSERT_FALSE(handler.Initialize().IsError());
  ASSERT_FALSE(handler.GenerateNegateBmp().IsError());
  EXPECT_EQ(Negate(handler, 10), "30 30 30 30 30 30 30 30 30 30");
  ASSERT_FALSE(handler.SplitNegateBmp().IsError());
  const std::vector<CollectInfo>& units = handler.GetVolumeToCollectsMapping().at("/mnt/v1");
  ASSERT_EQ(units.size(), 3u);
  const unsigned sizes[] = {3, 3, 4};
  const unsigned long long firsts[] = {0, 24, 48};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(units[i].GetSubNegBmpSize(), sizes[i]);
    EXPECT_EQ(units[i].GetSubNegStartExt(), firsts[i]);
    EXPECT_EQ(units[i].GetCollect(), folder_ + "/CollectT_" + std::to_string(i + 1) + ".kzf");
    EXPECT_EQ(units[i].GetSubNegBmp()[0], 0x30);
  }

  // Another volume of the run goes on with the numbers; without the
  // data-only bitmap the negate bitmap is the change bitmap's inverse, up
  // to the volume's last extent.
  TrueUpVolInfo second = Volume(kRecord13, {0x01, 0x00});
  CVolumeTrueUpHandler other(second, folder_, 2);
  ASSERT_FALSE(other.Initialize().IsError());
  ASSERT_FALSE(other.GenerateNegateBmp().IsError());
  EXPECT_EQ(Negate(other, 2), "FE 1F");
  ASSERT_FALSE(other.SplitNegateBmp().IsError());
  const std::vector<CollectInfo>& more = other.GetVolumeToCollectsMapping().at("/mnt/v2");
  ASSERT_EQ(more.size(), 2u);
  EXPECT_EQ(more[0].GetId(), 4);
  EXPECT_EQ(more[1].GetId(), 5);
  EXPECT_EQ(more[1].GetSubNegStartExt(), 8u);

  // A bitmap smaller than the reader count: all pieces but the last empty.
  CVolumeTrueUpHandler many(second, folder_, 3);
  ASSERT_FALSE(many.Initialize().IsError());
  ASSERT_FALSE(many.GenerateNegateBmp().IsError());
  ASSERT_FALSE(many.SplitNegateBmp().IsError());
  const std::vector<CollectInfo>& thin = many.GetVolumeToCollectsMapping().at("/mnt/v2");
  EXPECT_EQ(thin[0].GetSubNegBmpSize() + thin[1].GetSubNegBmpSize(), 0u);
  EXPECT_EQ(thin[2].GetSubNegBmpSize(), 2u);
}

TEST_F(VolumeTrueUpTest, TheComparisonSetsTheTrueUpBitmapAndTheBitmapsAreSaved) {
  TrueUpVolInfo volume = Volume(kRecord13, {0x00, 0x10});
  CVolumeTrueUpHandler handler(volume, folder_, 1);
  ASSERT_FALSE(handler.Initialize().IsError());
  ASSERT_FALSE(handler.GenerateNegateBmp().IsError());
  const std::string& dir = handler.GetVolTrueUpFolder();
  EXPECT_EQ(dir, true_up_test::VolumeFolder(folder_, "/mnt/v2"));
  const std::string a(32, 'a'), b(32, 'b');
  testing_support::WriteFile(dir + "/VolIdxHash.kzf", "00000001|" + a + "\n00000003|" + a + "\n");
  testing_support::WriteFile(dir + "/VolSnapHash.kzf", "00000001|" + a + "\n00000002|" + a + "\n00000003|" + b + "\n");
  ASSERT_FALSE(handler.CompareHash().IsError());
  ASSERT_FALSE(handler.SaveTrueUpBmpToDisk().IsError());
  EXPECT_EQ(Hex(testing_support::ReadFile(handler.GetTrueUpBmpFilePath())), "0C 00");
  EXPECT_EQ(Hex(testing_support::ReadFile(dir + "/Driver.bmp")), "00 10");
  EXPECT_FALSE(testing_support::FileExists(dir + "/DataBlock.bmp"));
  ASSERT_NE(volume.GetTrueUpBmp(), nullptr);
  EXPECT_EQ(volume.GetTrueUpBmp()[0], 0x0C);

  // The volume folder's new names are synced: a failing sync fails the
  // save, which then hands no bitmap.
  TrueUpVolInfo unsynced = Volume(kRecord13, {0x00, 0x10});
  CVolumeTrueUpHandler third(unsynced, folder_, 1);
  ASSERT_FALSE(third.Initialize().IsError());
  ASSERT_FALSE(third.GenerateNegateBmp().IsError());
  ASSERT_FALSE(third.SplitNegateBmp().IsError());
  testing_support::WriteFile(third.GetVolumeToCollectsMapping().at("/mnt/v2")[0].GetCollect(), "00000002|" + a + "\n");
  ASSERT_FALSE(third.MergeNegateHashCFs().IsError());
  ASSERT_FALSE(third.CompareHash().IsError());
  platform::FaultTable::Set("FXFile::KZFlushFile", 5);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(third.SaveTrueUpBmpToDisk(), 5));
  platform::FaultTable::ClearAll();
  EXPECT_EQ(unsynced.GetTrueUpBmp(), nullptr);
  EXPECT_EQ(testing_support::ReadFile(dir + "/VolSnapHash.kzf"), "00000002|" + a + "\n");

  // A snapshot table whose third entry is torn fails the comparison.
  CVolumeTrueUpHandler again(volume, folder_, 1);
  ASSERT_FALSE(again.Initialize().IsError());
  ASSERT_FALSE(again.GenerateNegateBmp().IsError());
  testing_support::WriteFile(dir + "/VolSnapHash.kzf", "00000001|" + a + "\n00000002|" + a + "\n0000000");
  CQiError err = again.CompareHash();
  EXPECT_TRUE(err.IsError());
  EXPECT_NE(err.AsString().find("Compare of hashes for volume[/mnt/v2] failed, error["), std::string::npos)
      << err.AsString();
}

}  // namespace
