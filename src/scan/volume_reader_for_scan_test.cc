// The true-up's reader of one work unit: the unit's extents hashed into its
// collect file, resumed after a crash (a torn last entry, a complete one
// without its line feed, another unit's file), one reader serving unit after
// unit.
#include "scan/volume_reader_for_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/fault_table.h"
#include "scan/reader_test_fixtures.h"

namespace {

using reader_test::kMiB;
using reader_test::Name;
using reader_test::RandomDevice;
using reader_test::Record;

class ScanReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!device_.Ok()) GTEST_SKIP() << device_.SkipReason();
    md5_ = reader_test::ExtentMd5s(device_.Image(), 32);
    collect_ = state_.Sub("TrueUp/v1/CollectT_3.kzf");
    testing_support::WriteFile(collect_, "");
    ::unlink(collect_.c_str());
  }

  CVolumeReaderForScan::DeviceInfo Unit(unsigned char* piece, DeviceHashComputeMode mode = HC_NO_THREAD) {
    CVolumeReaderForScan::DeviceInfo info;
    info.sSnapDevice = device_.Device();
    info.oDeviceInfo = Record(device_.Device(), 128 * kMiB);
    info.pSubNegBmp = piece;
    info.nSubNegBmpSize = 1;
    info.nFirstExtent = 16;
    info.nReadAheadQLen = 4;
    info.eMode = mode;
    info.sCollect = collect_;
    return info;
  }

  std::string Entry(unsigned long long extent) const { return Name(extent) + "|" + md5_[extent] + "\n"; }
  std::string Entries(unsigned long long from, unsigned long long to) const {
    std::string text;
    for (unsigned long long n = from; n <= to; ++n) text += Entry(n);
    return text;
  }

  CQiError RunUnit(CVolumeReaderForScan& reader, CVolumeReaderForScan::DeviceInfo info) {
    CQiError err = reader.Initialize2(info);
    return err.IsError() ? err : reader.Run();
  }

  testing_support::ScopedStateDir state_;  // first: the loop device's set-up already uses it
  RandomDevice device_{128 * kMiB, 3};
  std::vector<std::string> md5_;
  std::string collect_;
  unsigned char full_ = 0xFF;
};

TEST_F(ScanReaderTest, AUnitFromNothingListsItsExtentsInOrderInEveryMode) {
  for (DeviceHashComputeMode mode : {HC_NO_THREAD, HC_SINGLE_THREAD, HC_READ_AND_HASH_THREADS}) {
    ::unlink(collect_.c_str());
    CVolumeReaderForScan reader;
    ASSERT_FALSE(RunUnit(reader, Unit(&full_, mode)).IsError()) << mode;
    // Every entry is in the file while the reader still holds it.
    EXPECT_EQ(testing_support::ReadFile(collect_), Entries(16, 23)) << mode;
    EXPECT_EQ(Name(16), "0000000G");
  }
  // A piece with no set bit: the file is there and empty.
  unsigned char none = 0;
  ::unlink(collect_.c_str());
  CVolumeReaderForScan reader;
  ASSERT_FALSE(RunUnit(reader, Unit(&none)).IsError());
  EXPECT_TRUE(testing_support::FileExists(collect_));
  EXPECT_EQ(testing_support::ReadFile(collect_), "");
}

// The list of the true-up's collect files comes after the units: a unit is
// on disk when Run reports it done, and one that cannot be synced fails.
TEST_F(ScanReaderTest, AUnitIsOnDiskWhenItIsDone) {
  platform::FaultTable::Set("FXFile::KZFlushFile", 5);
  CVolumeReaderForScan reader;
  CQiError err = RunUnit(reader, Unit(&full_));
  platform::FaultTable::ClearAll();
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 5)) << err.AsString();
  EXPECT_EQ(testing_support::ReadFile(collect_), Entries(16, 23));
  // The rerun resumes from the entries, and syncs them.
  ASSERT_FALSE(RunUnit(reader, Unit(&full_)).IsError());
  EXPECT_EQ(testing_support::ReadFile(collect_), Entries(16, 23) + Entry(23));
}

TEST_F(ScanReaderTest, ARestartKeepsWholeEntriesAndCutsOffATornOne) {
  const std::string before = Entries(16, 19);
  for (const std::string& tail : {std::string(), std::string("0000000K|ab")}) {
    testing_support::WriteFile(collect_, before + tail);
    CVolumeReaderForScan reader;
    ASSERT_FALSE(RunUnit(reader, Unit(&full_, HC_READ_AND_HASH_THREADS)).IsError()) << tail;
    const std::string after = testing_support::ReadFile(collect_);
    EXPECT_EQ(after.substr(0, before.size()), before);
    // The last entry found is read again: it may stand twice.
    EXPECT_EQ(after.substr(before.size()), Entry(19) + Entries(20, 23)) << tail;
    EXPECT_EQ(after.find("|ab"), std::string::npos);
  }
  // A whole last entry that lost only its line feed keeps it, and gets one.
  testing_support::WriteFile(collect_, Entries(16, 17) + Name(18) + "|" + md5_[18]);
  CVolumeReaderForScan reader;
  ASSERT_FALSE(RunUnit(reader, Unit(&full_)).IsError());
  EXPECT_EQ(testing_support::ReadFile(collect_), Entries(16, 18) + Entries(18, 23));
  // Nothing but a torn entry: the unit starts over.
  testing_support::WriteFile(collect_, "0000000G|0123");
  ASSERT_FALSE(RunUnit(reader, Unit(&full_)).IsError());
  EXPECT_EQ(testing_support::ReadFile(collect_), Entries(16, 23));
}

TEST_F(ScanReaderTest, AFileOfAnotherUnitIsStartedOverAndADamagedOneRefused) {
  // Extent 40 (above the unit) and extent 3 (below it).
  for (unsigned long long foreign : {40ull, 3ull}) {
    testing_support::WriteFile(collect_, Name(foreign) + "|" + md5_[0] + "\n");
    CVolumeReaderForScan reader;
    ASSERT_FALSE(RunUnit(reader, Unit(&full_)).IsError()) << foreign;
    EXPECT_EQ(testing_support::ReadFile(collect_), Entries(16, 23)) << foreign;
  }
  // A whole last line that is no entry is not a crash's work: refused, kept.
  const std::string damaged = Entries(16, 17) + "0000000I|nothex\n";
  testing_support::WriteFile(collect_, damaged);
  CVolumeReaderForScan reader;
  auto unit = Unit(&full_);
  EXPECT_TRUE(FXErrorUtil::IsWin32(reader.Initialize(unit), 774));
  EXPECT_TRUE(FXErrorUtil::IsWin32(reader.Run(), 774));
  EXPECT_EQ(testing_support::ReadFile(collect_), damaged);

  unsigned long long resume = 16;
  testing_support::WriteFile(collect_, Entries(16, 20));
  ASSERT_FALSE(reader.OpenCollect(collect_, resume).IsError());
  EXPECT_EQ(resume, 20u);
}

TEST_F(ScanReaderTest, OneReaderServesUnitAfterUnitUntilStopped) {
  // Stopped before its first unit: nothing to stop yet, but it stays stopped.
  CVolumeReaderForScan reader;
  reader.Stop();
  CVolumeReaderForScan worker;
  unsigned char low = 0x0F, high = 0xF0;
  auto first = Unit(&low, HC_SINGLE_THREAD);
  ASSERT_FALSE(RunUnit(worker, first).IsError());
  auto second = Unit(&high, HC_READ_AND_HASH_THREADS);
  second.sCollect = state_.Sub("TrueUp/v1/CollectT_4.kzf");
  ASSERT_FALSE(RunUnit(worker, second).IsError());
  EXPECT_EQ(testing_support::ReadFile(collect_), Entries(16, 19));
  EXPECT_EQ(testing_support::ReadFile(second.sCollect), Entries(20, 23));

  // Stopped between two units, the worker does not read the next one.
  worker.Stop();
  ::unlink(collect_.c_str());
  EXPECT_TRUE(FXErrorUtil::IsWin32(RunUnit(worker, first), 995));
  EXPECT_TRUE(FXErrorUtil::IsWin32(RunUnit(reader, first), 995));
  EXPECT_EQ(testing_support::ReadFile(collect_), "");

  // A snapshot that is not there fails the unit.
  CVolumeReaderForScan fresh;
  first.sSnapDevice = state_.Sub("gone");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(fresh.Initialize(first), 2));
  EXPECT_TRUE(FXErrorUtil::IsWin32(fresh.Run(), 774));
}

}  // namespace
