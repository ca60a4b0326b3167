// The scan end to end through its entry point, and the backup side's
// read-back through getCollectInstance.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

#include "platform/harness/index_harness.h"
#include "platform/harness/services_harness.h"
#include "scan/scan_test_fixtures.h"

namespace {

using scan_test::JobArgs;
using scan_test::kRecordV1;
using scan_test::kRecordV1Of100;
using scan_test::ScanTest;
using testing_support::CapturingLog;

std::string Lines(const std::string& volume, std::initializer_list<const char*> names) {
  std::string text;
  for (const char* name : names) text += volume + "/" + name + "\n";
  return text;
}

std::string AllLines(const std::string& volume, unsigned count) {
  std::string text;
  char name[16];
  for (unsigned n = 0; n < count; ++n) {
    ExtentNameConverter::Extent_dec_to_base32_v2(n, name, 8);
    text += volume + "/" + name + "\n";
  }
  return text;
}

TEST_F(ScanTest, IncrementalListsTheDriversExtentsAndSavesTheCumulativeBitmap) {
  WriteRecords({kRecordV1});
  std::vector<unsigned char> driver(32, 0);
  driver[0] = 0x21;
  driver[4] = 0x02;
  WriteDriverBitmap(kRecordV1, driver);
  const std::string snapshot = SparseSnapshot("snap1", 1ull << 30);
  // The previous job left no cumulative bitmaps to compare with.
  ASSERT_TRUE(blbsim::AddArchiveFile(31, 55, 7, 2, 1, 0, 1000, "ma1"));
  unsigned int total = 0;
  CQiError err = Scan(JobArgs("2", {"-lsjid", "55"}), {{"/mnt/v1", snapshot}}, 1, false, 3, total);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(total, 3u);
  EXPECT_EQ(Read("CollectInc_1.kzf"), Lines("/mnt/v1", {"00000000", "00000005", "00000011"}));
  EXPECT_EQ(Read("ListOfCollect.txt"), "/mnt/v1|" + jr_ + "/CollectInc_1.kzf|1\n");
  EXPECT_EQ(Read("SrcSnapFile.kzf"), "|/mnt/v1|" + snapshot + "|\n");
  // The snapshot holds no file system the parser knows: every extent counts as used.
  EXPECT_EQ(testing_support::ReadFile(CumulativeBitmapOf("/mnt/v1")), std::string(32, '\xFF'));
  EXPECT_TRUE(Exists("BlockLevelCumulativeBM_55"));
  std::vector<std::string> files;
  scan_test::ListTree(jr_, "", files);
  for (const std::string& file : files)
    for (const char* leftover : {".tmp", "_tmp", "_temp"}) EXPECT_EQ(file.find(leftover), std::string::npos) << file;
}

TEST_F(ScanTest, FullSplitsOverStreamsAndTheBackupHandsThePiecesOutInOrder) {
  WriteRecords({kRecordV1Of100});
  const std::string snapshot = SparseSnapshot("snap1", 400ull << 20);
  unsigned int total = 0;
  CQiError err = Scan(JobArgs("1"), {{"/mnt/v1", snapshot}}, 4, true, 3, total);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(total, 100u);
  // 100 extents over 4 x 3 files of 8, the remainder in a thirteenth.
  std::string joined, list;
  for (int id = 1; id <= 13; ++id) {
    const std::string name = "CollectTot_" + std::to_string(id) + ".kzf";
    const std::string piece = Read(name);
    EXPECT_EQ(std::count(piece.begin(), piece.end(), '\n'), id < 13 ? 8 : 4) << name;
    joined += piece;
    list += "/mnt/v1|" + jr_ + "/" + name + "|" + std::to_string(id) + "\n";
  }
  EXPECT_FALSE(Exists("CollectTot_14.kzf"));
  EXPECT_EQ(joined, AllLines("/mnt/v1", 100));
  EXPECT_EQ(Read("ListOfCollect.txt"), list);
  // The spare bits past extent 99 are no extents.
  EXPECT_EQ(testing_support::ReadFile(CumulativeBitmapOf("/mnt/v1")), std::string(12, '\xFF') + "\x0F");

  std::unique_ptr<CollectFileManager> backup(getCollectInstance(JobArgs("1"), 9, 0));
  ASSERT_NE(backup, nullptr);
  std::list<std::string> volumes;
  ASSERT_FALSE(backup->ReadCollectFilesFromDisk(volumes).IsError());
  EXPECT_EQ(volumes, std::list<std::string>{"/mnt/v1"});
  std::string name;
  int id = 0;
  for (int expected = 1; expected <= 13; ++expected) {
    ASSERT_EQ(backup->GetNextCollectForVolume("/mnt/v1", name, id), 1);
    EXPECT_EQ(id, expected);
    EXPECT_EQ(name, jr_ + "/CollectTot_" + std::to_string(expected) + ".kzf");
  }
  EXPECT_EQ(backup->GetNextCollectForVolume("/mnt/v1", name, id), 0);
}

// Left unmasked, a full bitmap also sets the bits past the last extent, which
// name nothing the backup could read.
TEST_F(ScanTest, WithoutTheDataOnlyMaskNoExtentPastTheVolumeIsListed) {
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "sDisableDataOnlyBlock", "true"));
  WriteRecords({kRecordV1Of100});
  unsigned int total = 0;
  ASSERT_FALSE(Scan(JobArgs("1"), {{"/mnt/v1", SparseSnapshot("snap1", 400ull << 20)}}, 1, false, 0, total).IsError());
  EXPECT_EQ(total, 100u);
  EXPECT_EQ(Read("CollectTot_1.kzf"), AllLines("/mnt/v1", 100));
}

TEST_F(ScanTest, AnEmptyOrMissingDriverBitmapAndAFullJob) {
  WriteRecords({kRecordV1});
  const std::string snapshot = SparseSnapshot("snap1", 1ull << 30);
  const char* converting = "Backup of '/mnt/v1' converting to FULL, due to unavailability of bitmap.";
  unsigned int total = 0;
  {
    // Nothing changed: the volume's head still goes into the backup.
    WriteDriverBitmap(kRecordV1, std::vector<unsigned char>(32, 0));
    CapturingLog log;
    ASSERT_FALSE(Scan(JobArgs("2"), {{"/mnt/v1", snapshot}}, 1, false, 0, total).IsError());
    EXPECT_EQ(Read("CollectInc_1.kzf"), "/mnt/v1/00000000\n");
    EXPECT_EQ(total, 1u);
    EXPECT_TRUE(log.Contains("Will backup volume head and extent 0 for volume [/mnt/v1]"));
  }
  ASSERT_EQ(::unlink(DriverBitmapPath(kRecordV1).c_str()), 0);
  for (const char* level : {"2", "1"}) {
    CapturingLog log;
    ASSERT_FALSE(Scan(JobArgs(level), {{"/mnt/v1", snapshot}}, 1, false, 0, total).IsError());
    EXPECT_EQ(total, 256u);
    EXPECT_EQ(Read(std::string(level[0] == '1' ? "CollectTot_1.kzf" : "CollectInc_1.kzf")), AllLines("/mnt/v1", 256));
    EXPECT_EQ(log.Contains(converting), level[0] == '2') << level;
  }
}

TEST_F(ScanTest, RefusesBadArgumentsAnEmptyOrRepeatingListAndAFullDisk) {
  unsigned int total = 7;
  CQiError err = Scan({"-a", "2:7", "-j", "101", "-t", "2", "-jt", "tok"}, {}, 1, false, 0, total);
  EXPECT_EQ(FXErrorUtil::GetCode(err), -1);
  EXPECT_EQ(err.GetMessage(), "Failed to parse command line arguments");
  std::vector<std::string> files;
  scan_test::ListTree(jr_, "", files);
  EXPECT_TRUE(files.empty());

  WriteRecords({kRecordV1});
  err = Scan(JobArgs("2"), {}, 1, false, 0, total);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 22));
  EXPECT_EQ(err.GetMessage(), "Nothing to scan, scan objects list is empty");
  // A volume listed twice would be scanned twice: counted twice, its first
  // collect files orphaned.
  const std::string snapshot = SparseSnapshot("snap0", 1ull << 30);
  err = Scan(JobArgs("1"), {{"/mnt/v1", snapshot}, {"/mnt/v1", snapshot}}, 2, true, 2, total);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 22)) << err.AsString();
  EXPECT_EQ(err.GetMessage(), "Volume [/mnt/v1] is listed more than once in the scan objects");
  EXPECT_FALSE(Exists("ListOfCollect.txt"));

  // 1,048,576 extents of 4 KiB: 17 MiB of collect lines on a 1 MiB disk.
  scan_test::ScopedTmpfs disk(jr_, "1m");
  if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  WriteRecords({"true|/mnt/v1|/dev/sdz9|ext4|rw|4096|8388608|4096|131072|512|512|512|0|1"});
  err = Scan(JobArgs("1"), {{"/mnt/v1", SparseSnapshot("snap1", 4ull << 30)}}, 1, false, 0, total);
  // The agent tells a scan that failed for every volume by its code 2; the
  // full disk the volume ran into is named in its message.
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 2)) << err.AsString();
  EXPECT_EQ(err.GetMessage().rfind("Collect file generation failed for all volumes, the first [/mnt/v1] with "
                                   "error=[code=-28 | ",
                                   0),
            0u)
      << err.GetMessage();
  EXPECT_FALSE(Exists("ListOfCollect.txt"));
  EXPECT_FALSE(Exists("SrcSnapFile.kzf"));
}

// A device record that a damaged configuration file gives: an extent size
// that cannot be held, a block count that wraps the disk size, or a bitmap
// whose size does not fit the extents (too small, it would leave extents
// out of an incremental; huge, it would size the scan's allocations). The
// scan fails and lists nothing.
TEST_F(ScanTest, ADamagedDeviceRecordFailsTheScanInsteadOfListingFromIt) {
  const std::string snapshot = SparseSnapshot("snap1", 1ull << 30);
  for (const char* damaged : {"true|/mnt/v1|/dev/sdz9|ext4|rw|-1|2097152|0|32|512|512|512|0|1",
                              "true|/mnt/v1|/dev/sdz9|ext4|rw|4194304|99999999999999999|0|32|512|512|512|0|1",
                              "true|/mnt/v1|/dev/sdz9|ext4|rw|512|2097152|0|32|512|512|512|0|1",
                              "true|/mnt/v1|/dev/sdz9|ext4|rw|4194304|2097152|0|-1|512|512|512|0|1",
                              "true|/mnt/v1|/dev/sdz9|ext4|rw|4194304|2097152|0|99999999999|512|512|512|0|1"}) {
    testing_support::WriteFile(jr_ + "/BlockDeviceConfig.kzf",
                               std::string("#METADATA_NOT_ENABLED#\n") + damaged + "\n");
    WriteDriverBitmap(kRecordV1, std::vector<unsigned char>(32, 0));
    unsigned int total = 0;
    for (const char* level : {"1", "2"}) {
      EXPECT_TRUE(Scan(JobArgs(level), {{"/mnt/v1", snapshot}}, 1, false, 0, total).IsError()) << damaged;
      EXPECT_FALSE(Exists("ListOfCollect.txt")) << damaged;
    }
  }
}

// A full job reads every extent anyway: it runs no true-up, and leaves no
// true-up folder behind.
TEST_F(ScanTest, AFullJobRunsNoTrueUp) {
  WriteRecords({kRecordV1});
  const std::string snapshot = SparseSnapshot("snap1", 1ull << 30);
  unsigned int total = 0;
  ASSERT_FALSE(Scan(JobArgs("1"), {{"/mnt/v1", snapshot}}, 1, false, 0, total, true).IsError());
  EXPECT_EQ(total, 256u);
  EXPECT_FALSE(Exists("TrueUp"));
}

// A synthetic full found extents of the volume's component missing in the
// index: the volume goes full, or gets the used extents the index lacks.
TEST_F(ScanTest, ASyntheticFullValidationsComponentIsBackedUpWholeOrWhereTheIndexLacksIt) {
  WriteRecords({kRecordV1});
  std::vector<unsigned char> driver(32, 0);
  driver[0] = 0x01;
  WriteDriverBitmap(kRecordV1, driver);
  const std::string snapshot = SparseSnapshot("snap1", 1ull << 30);
  std::string component;
  VolumeBitMapHelper::GetCumulativeBmpVolumeName("/mnt/v1", "/dev/sdz9", "ext4", component);
  unsigned int total = 0;
  ASSERT_FALSE(Scan(JobArgs("2", {"-lvwme", component}), {{"/mnt/v1", snapshot}}, 1, false, 0, total).IsError());
  EXPECT_EQ(total, 256u);

  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nBlkLvlBackupOnlyMissedExtentsInSFV", "1"));
  std::string held(32, '\xFF');
  held[3] = '\0';
  ASSERT_TRUE(blbsim::SetIndexExtentBitmap(2, 7, component, held));
  CQiError err = Scan(JobArgs("2", {"-lvwme", component}), {{"/mnt/v1", snapshot}}, 1, false, 0, total);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(total, 9u);
  EXPECT_EQ(Read("CollectInc_1.kzf"), Lines("/mnt/v1", {"00000000", "0000000O", "0000000P", "0000000Q", "0000000R",
                                                        "0000000S", "0000000T", "0000000U", "0000000V"}));
}

TEST_F(ScanTest, ThePreviousJobIsTheDecimalAfterLsjid) {
  WriteRecords({kRecordV1});
  const std::string snapshot = SparseSnapshot("snap1", 1ull << 30);
  unsigned int total = 0;
  ASSERT_FALSE(Scan(JobArgs("1", {"-lsjid", "0070"}), {{"/mnt/v1", snapshot}}, 1, false, 0, total).IsError());
  EXPECT_TRUE(Exists("BlockLevelCumulativeBM_70"));
  ASSERT_FALSE(Scan(JobArgs("1", {"-lsjid"}), {{"/mnt/v1", snapshot}}, 1, false, 0, total).IsError());
  EXPECT_TRUE(Exists("BlockLevelCumulativeBM_0"));
}

TEST(GetCollectInstance, NeedsArgumentsThatParseAndAKnownSubclient) {
  testing_support::ScopedStateDir state;
  EXPECT_EQ(getCollectInstance({"-a", "2:7", "-j", "101", "-t", "2"}, 9, 0), nullptr);
  // Subclient 2/7 is not configured: no job-results directory.
  EXPECT_EQ(getCollectInstance(JobArgs("2"), 9, 0), nullptr);
}

}  // namespace
