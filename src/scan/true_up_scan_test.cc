// The scan with a true-up: extents the driver missed are found by their
// hashes and backed up, on a loop device of random data.
#include <gtest/gtest.h>

#include "platform/harness/index_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/sim/fs_util.h"
#include "scan/scan_test_fixtures.h"
#include "scan/true_up_test_fixtures.h"
#include "scan/volume_true_up_handler.h"
#include "support/loop_device.h"

namespace {

using namespace true_up_test;
using testing_support::CapturingLog;

// 16 extents of 4 MiB, a 2-byte bitmap.
constexpr const char* kRecord16 = "true|/mnt/v1|/dev/sdz9|ext4|rw|4194304|131072|4096|2|512|512|512|0|1";

class TrueUpScanTest : public scan_test::ScanTest {
 protected:
  void SetUp() override {
    if (!loop_.Ok()) GTEST_SKIP() << loop_.SkipReason();
    // The index holds every extent as the last backup saw it; extents 7 and
    // 12 changed since, and the driver recorded only 12.
    const std::vector<unsigned char> data = RandomBytes(loop_.Size(), 31);
    WriteAt(loop_.Device(), 0, data.data(), data.size());
    std::string why;
    ASSERT_TRUE(blbsim::SetIndexExtentView({2, 7, "/mnt/v1"}, ExtentViewLines(data, 0, 15), &why)) << why;
    OverwriteExtent(loop_.Device(), 7, 32);
    OverwriteExtent(loop_.Device(), 12, 33);
    WriteRecords({kRecord16});
    WriteDriverBitmap(kRecord16, {0x00, 0x10});
    CVolumeTrueUpHandler::s_iNextCollectFileNumber = 1;
  }

  CQiError ScanWithTrueUp(unsigned int& total) {
    return Scan(scan_test::JobArgs("2"), {{"/mnt/v1", loop_.Device()}}, 2, false, 0, total, true);
  }
  std::string TrueUp() { return jr_ + "/TrueUp"; }
  std::string VolumeFile(const std::string& name) {
    return testing_support::ReadFile(VolumeFolder(TrueUp(), "/mnt/v1") + "/" + name);
  }
  // The browses of the extent view, with the first extent each one asked for.
  std::vector<std::string> ExtentViewPages() {
    std::vector<std::string> pages;
    for (const platform::IndexRequestRecord& request : blbsim::IndexRequests()) {
      const size_t at = request.request.find("EXTENTVIEW");
      const size_t paging = request.request.find("4:4=s\"");
      if (request.call == "Browse" && at != std::string::npos && paging != std::string::npos)
        pages.push_back(request.request.substr(paging + 6, 8));
    }
    return pages;
  }
  void ExpectTheChangedExtentsBackedUp(const std::string& trueUpBitmap) {
    EXPECT_EQ(Hex(VolumeFile("TrueUp.bmp")), trueUpBitmap);
    EXPECT_EQ(Hex(VolumeFile("Driver.bmp")), "00 10");
    EXPECT_EQ(Hex(VolumeFile("DataBlock.bmp")), "FF FF");
  }
  // A second run in the same job-results directory starts from nothing.
  void ForgetTheRun() {
    ASSERT_TRUE(platform::RemoveTree(TrueUp()));
    ASSERT_TRUE(blbsim::ClearIndexRequests());
    CVolumeTrueUpHandler::s_iNextCollectFileNumber = 1;
  }

  testing_support::ScopedLoopDevice loop_{64ull << 20};
};

TEST_F(TrueUpScanTest, TheExtentTheDriverMissedIsBackedUp) {
  CapturingLog log(3);
  unsigned int total = 0;
  CQiError err = ScanWithTrueUp(total);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(total, 2u);
  EXPECT_EQ(Read("CollectInc_1.kzf"), "/mnt/v1/00000007\n/mnt/v1/0000000C\n");
  ExpectTheChangedExtentsBackedUp("80 00");
  EXPECT_EQ(Read("TrueUp/VolToCFList.kzf"),
            "/mnt/v1|" + TrueUp() + "/CollectT_1.kzf\n/mnt/v1|" + TrueUp() + "/CollectT_2.kzf\n");
  EXPECT_EQ(Read("TrueUp/IdxRestartInfo.kzf"), "/mnt/v1|15\n");
  EXPECT_TRUE(log.Contains("Volume Extent mismatch count [1]"));
  EXPECT_EQ(ExtentViewPages(), std::vector<std::string>({"00000000", "0000000G"}));
}

// Each setting changes how the work is done, not what it finds.
TEST_F(TrueUpScanTest, SettingsChangeTheWorkNotTheResult) {
  struct Case {
    const char* key;
    const char* value;
    const char* logged;
  };
  const Case cases[] = {
      {"nBlockLevelTrueUpScanReaders", "1", "User have set regkey to have [1] Reader streams for TrueUp"},
      {"nBlockLevelTrueUpReaderMode", "5",
       "User have set regkey to have Snap reader mode[HC_READ_AND_HASH_THREADS] for TrueUp"},
      {"nBlockLevelTrueUpReaderMode", "0", "User have set regkey to have Snap reader mode[HC_NO_THREAD] for TrueUp"},
      {"nBlockLevelTrueUpIdxPageSize", "1", "User have set regkey to have Index Page Size as [1]"},
      {"nBlockLevelTrueUpDisableDataBlocks", "2", nullptr},
  };
  for (const Case& setting : cases) {
    SCOPED_TRACE(std::string(setting.key) + "=" + setting.value);
    ForgetTheRun();
    ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", setting.key, setting.value));
    CapturingLog log(3);
    unsigned int total = 0;
    CQiError err = ScanWithTrueUp(total);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(total, 2u);
    ExpectTheChangedExtentsBackedUp("80 00");
    EXPECT_EQ(Read("TrueUp/IdxRestartInfo.kzf"), "/mnt/v1|15\n");
    if (setting.logged != nullptr) {
      EXPECT_TRUE(log.Contains(setting.logged));
    }
    if (std::string(setting.key) == "nBlockLevelTrueUpScanReaders") {
      EXPECT_TRUE(log.Contains("Starting TrueUp reader thread [2] of [2]"));
    }
    if (std::string(setting.key) == "nBlockLevelTrueUpIdxPageSize") {
      const std::vector<std::string> pages = ExtentViewPages();
      ASSERT_EQ(pages.size(), 17u);
      EXPECT_EQ(pages.front(), "00000000");
      EXPECT_EQ(pages.back(), "0000000G");
    }
    if (std::string(setting.key) == "nBlockLevelTrueUpDisableDataBlocks") {
      EXPECT_FALSE(log.Contains("Disable DataOnly blocks"));
    }
    ASSERT_TRUE(blbsim::RemoveRegistryValue("FileSystemAgent", setting.key));
  }
}

// A rerun continues each volume's index pages after the last one appended
// in full, and resumes each unit from its collect file.
TEST_F(TrueUpScanTest, ARerunContinuesWhereTheRestartFilesSay) {
  ASSERT_TRUE(platform::MakeDirectories(VolumeFolder(TrueUp(), "/mnt/v1")));
  // Extents 0-7 as the index holds them.
  const std::string firstPages = blbsim::IndexExtentViewText({2, 7, "/mnt/v1"});
  std::string hashes;
  char name[16];
  size_t from = 0;
  for (int n = 0; n < 8; ++n) {
    const size_t end = firstPages.find('\n', from);
    const std::string line = firstPages.substr(from, end - from);
    from = end + 1;
    ExtentNameConverter::Extent_dec_to_base32_v2(static_cast<unsigned long long>(n), name, 8);
    hashes += std::string(name) + "|" + line.substr(line.find(' ') + 1) + "\n";
  }
  testing_support::WriteFile(VolumeFolder(TrueUp(), "/mnt/v1") + "/VolIdxHash.kzf", hashes);
  testing_support::WriteFile(TrueUp() + "/IdxRestartInfo.kzf", "/mnt/v1|7\n/mnt/zz|3\n");
  unsigned int total = 0;
  CQiError err = ScanWithTrueUp(total);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(total, 2u);
  ExpectTheChangedExtentsBackedUp("80 00");
  EXPECT_EQ(ExtentViewPages().front(), "00000008");
  EXPECT_EQ(Read("TrueUp/IdxRestartInfo.kzf"), "/mnt/v1|15\n/mnt/zz|3\n");
  const std::string all = VolumeFile("VolIdxHash.kzf");
  EXPECT_EQ(all.size(), 16u * 42u);
  for (int n = 0; n < 16; ++n) {
    ExtentNameConverter::Extent_dec_to_base32_v2(static_cast<unsigned long long>(n), name, 8);
    EXPECT_EQ(all.substr(static_cast<size_t>(n) * 42, 8), name);
  }

  // Extent 0 was fetched, says the restart file, yet the index hash file
  // holds nothing: extent 0 counts as missing from the index.
  ForgetTheRun();
  ASSERT_TRUE(platform::MakeDirectories(VolumeFolder(TrueUp(), "/mnt/v1")));
  testing_support::WriteFile(VolumeFolder(TrueUp(), "/mnt/v1") + "/VolIdxHash.kzf", "");
  testing_support::WriteFile(TrueUp() + "/IdxRestartInfo.kzf", "/mnt/v1|0\n");
  ASSERT_FALSE(ScanWithTrueUp(total).IsError());
  EXPECT_EQ(ExtentViewPages().front(), "00000001");
  ExpectTheChangedExtentsBackedUp("81 00");

  // A collect file another run left, whose last entry lies outside the
  // unit: the unit starts over.
  ForgetTheRun();
  ASSERT_TRUE(platform::MakeDirectories(TrueUp()));
  testing_support::WriteFile(TrueUp() + "/CollectT_1.kzf", "00000018|0123456789abcdef0123456789abcdef\n");
  ASSERT_FALSE(ScanWithTrueUp(total).IsError());
  EXPECT_EQ(total, 2u);
  ExpectTheChangedExtentsBackedUp("80 00");
}

}  // namespace
