// Collect files: how a volume's extents are split over the backup streams,
// and what a failure to write them leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <sstream>

#include "platform/sim/fault_table.h"
#include "platform/text/fx_string.h"
#include "scan/scan_test_fixtures.h"

namespace {

using scan_test::JobArgs;
using scan_test::kRecordV1;
using scan_test::ScanTest;
using testing_support::CapturingLog;

// A volume of `extents` extents of 4 MiB.
std::string RecordOf(const std::string& volume, unsigned extents) {
  return "true|" + volume + "|/dev/sdz9|ext4|rw|4194304|" + std::to_string(extents * 8192ull) + "|4096|" +
         std::to_string((extents + 7) / 8) + "|512|512|512|0|1";
}

size_t LineCount(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class CollectFileTest : public ScanTest {
 protected:
  // Lines per listed collect file, in list order.
  std::vector<size_t> ListedPieces() {
    std::vector<size_t> pieces;
    std::istringstream list(Read("ListOfCollect.txt"));
    std::string line;
    while (std::getline(list, line)) {
      const std::vector<FXString> fields = FXString::Split(line, '|');
      EXPECT_EQ(fields.size(), 3u) << line;
      if (fields.size() == 3) pieces.push_back(LineCount(testing_support::ReadFile(fields[1])));
    }
    return pieces;
  }
};

TEST_F(CollectFileTest, ExtentsSplitOverStreamsTimesTheLargestStarvationFactorThatFillsEveryFile) {
  struct Case {
    unsigned extents;
    int streams;
    bool multipleReaders;
    int starvation;
    std::vector<size_t> pieces;
  };
  const Case cases[] = {
      {100, 4, true, 3, {8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 4}},
      {5, 4, true, 2, {1, 1, 1, 1, 1}},                     // factor 2 leaves files empty, factor 1 does not
      {10, 4, true, 1000000, {1, 1, 1, 1, 1, 1, 1, 1, 2}},  // factor 2: 8 files and the remainder
      {3, 4, true, 1, {3}},                                 // fewer extents than streams
      {100, 1, true, 3, {100}},
      {100, 4, false, 3, {100}},
      {100, 4, true, 0, {100}},
      {100, 4, true, -2, {100}},
      {100, 0, true, 3, {100}},
      {100, -4, true, 3, {100}},
  };
  for (const Case& c : cases) {
    WriteRecords({RecordOf("/mnt/v1", c.extents)});
    unsigned int total = 0;
    CQiError err = Scan(JobArgs("1"), {{"/mnt/v1", SparseSnapshot("snap", c.extents * (4ull << 20))}}, c.streams,
                        c.multipleReaders, c.starvation, total);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(total, c.extents);
    EXPECT_EQ(ListedPieces(), c.pieces) << c.extents << " extents, " << c.streams << " streams, factor "
                                        << c.starvation;
  }
}

TEST_F(CollectFileTest, TheRootVolumesLinesStartWithTheirSlash) {
  WriteRecords({RecordOf("/", 3)});
  unsigned int total = 0;
  ASSERT_FALSE(Scan(JobArgs("1"), {{"/", SparseSnapshot("snap", 3 * (4ull << 20))}}, 1, false, 0, total).IsError());
  EXPECT_EQ(Read("CollectTot_1.kzf"), "/00000000\n/00000001\n/00000002\n");
}

// A collect file that did not reach the disk whole fails its volume only:
// the volume is in neither list, and its id stays taken.
TEST_F(CollectFileTest, AVolumeWhoseCollectFileFailsIsLeftOutOfBothLists) {
  for (const char* call : {"FXFile::KZWriteFile", "FXFile::KZFlushFile"}) {
    // Each call's scan is a first one: the fault strikes the first volume's
    // files, not the clean-up of what an earlier scan left.
    ASSERT_TRUE(platform::RemoveTree(jr_) && platform::MakeDirectories(jr_));
    WriteRecords({RecordOf("/mnt/v1", 10), RecordOf("/mnt/v2", 20)});
    const std::string snap1 = SparseSnapshot("snap1", 40ull << 20);
    const std::string snap2 = SparseSnapshot("snap2", 80ull << 20);
    platform::FaultTable::Set(call, 5, false, 1);
    CapturingLog log;
    unsigned int total = 0;
    CQiError err = Scan(JobArgs("2"), {{"/mnt/v1", snap1}, {"/mnt/v2", snap2}}, 1, false, 0, total);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_TRUE(log.Contains("Failed to generate collect file for volume [/mnt/v1]")) << call;
    EXPECT_EQ(total, 20u);
    EXPECT_EQ(Read("ListOfCollect.txt"), "/mnt/v2|" + jr_ + "/CollectInc_2.kzf|2\n");
    EXPECT_EQ(Read("SrcSnapFile.kzf"), "|/mnt/v2|" + snap2 + "|\n");
  }
}

TEST_F(CollectFileTest, AFailedSplitKeepsTheWholeFileAsideAndThePiecesWritten) {
  WriteRecords({RecordOf("/mnt/v1", 100)});
  ASSERT_EQ(::mkdir((jr_ + "/CollectTot_2.kzf").c_str(), 0755), 0);
  unsigned int total = 0;
  CQiError err = Scan(JobArgs("1"), {{"/mnt/v1", SparseSnapshot("snap", 400ull << 20)}}, 4, true, 3, total);
  // The scan failed for its only volume: the code says so, and the folder
  // in the second piece's way is named as its cause.
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 2)) << err.AsString();
  EXPECT_NE(err.GetMessage().find("error=[code=-21 | "), std::string::npos) << err.AsString();
  EXPECT_EQ(LineCount(Read("CollectTot_1.kzf_temp")), 100u);
  EXPECT_EQ(LineCount(Read("CollectTot_1.kzf")), 8u);
  EXPECT_FALSE(Exists("ListOfCollect.txt"));
}

// The backup reads the list: one that cannot be put in place fails the scan
// and leaves nothing half-written under its name or beside it.
TEST_F(CollectFileTest, AListThatCannotBeWrittenFailsTheScan) {
  WriteRecords({kRecordV1});
  testing_support::WriteFile(jr_ + "/ListOfCollect.txt/in-the-way", "");
  unsigned int total = 0;
  CQiError err = Scan(JobArgs("1"), {{"/mnt/v1", SparseSnapshot("snap", 1ull << 30)}}, 1, false, 0, total);
  EXPECT_TRUE(err.IsError());
  std::vector<std::string> files;
  scan_test::ListTree(jr_, "", files);
  for (const std::string& file : files) EXPECT_EQ(file.find(".tmp"), std::string::npos) << file;
}

TEST_F(CollectFileTest, ANullBitmapIsRefused) {
  TarvosJobInfo job(JobArgs("2"));
  job.SetJobResultsDir(jr_);
  CollectFileManager manager(job, 9, 0);
  CapturingLog log;
  unsigned long count = 0;
  CQiError err = manager.GenerateSingleCollectFile({"/mnt/v1", "/dev/x"}, jr_ + "/c.kzf", nullptr, 32, count, 4096);
  EXPECT_EQ(err.GetMessage(), "Invalid Argument : NULL bitmap sent.");
  EXPECT_TRUE(log.Contains("Invalid Arguement : NULL bitmap sent."));
  EXPECT_FALSE(Exists("c.kzf"));
}

}  // namespace
