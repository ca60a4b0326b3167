// The backup side: the list of collect files read back and handed out, and
// the lines of a collect file read one extent at a time.
#include <gtest/gtest.h>

#include <memory>

#include "scan/scan_test_fixtures.h"

namespace {

using scan_test::JobArgs;
using scan_test::ScanTest;
using testing_support::CapturingLog;

TEST_F(ScanTest, TheListIsReadBackSkippingLinesThatAreNotThreeFields) {
  std::unique_ptr<CollectFileManager> backup(getCollectInstance(JobArgs("2"), 9, 0));
  ASSERT_NE(backup, nullptr);
  std::list<std::string> volumes{"stale"};
  EXPECT_TRUE(FXErrorUtil::IsErrNo(backup->ReadCollectFilesFromDisk(volumes), 2));

  const std::string c = jr_ + "/CollectInc_";
  testing_support::WriteFile(jr_ + "/ListOfCollect.txt", "/a|" + c + "1.kzf|1\n/a|" + c + "2.kzf|2\n/b|x\n/b|" + c +
                                                             "3.kzf|3|z\n/b|" + c + "4.kzf|4\n");
  CapturingLog log;
  ASSERT_FALSE(backup->ReadCollectFilesFromDisk(volumes).IsError());
  EXPECT_EQ(volumes, (std::list<std::string>{"/a", "/b"}));
  size_t skipped = 0;
  for (const std::string& line : log.Lines()) skipped += line.find("Invalid entry, skipping.") != std::string::npos;
  EXPECT_EQ(skipped, 2u);

  std::string name;
  int id = 0;
  for (int expected : {1, 2}) {
    ASSERT_EQ(backup->GetNextCollectForVolume("/a", name, id), 1);
    EXPECT_EQ(id, expected);
    EXPECT_EQ(name, c + std::to_string(expected) + ".kzf");
  }
  EXPECT_EQ(backup->GetNextCollectForVolume("/a", name, id), 0);
  ASSERT_EQ(backup->GetNextCollectForVolume("/b", name, id), 1);
  EXPECT_EQ(id, 4);
  EXPECT_EQ(backup->GetNextCollectForVolume("/b", name, id), 0);
  EXPECT_EQ(backup->GetNextCollectForVolume("/c", name, id), 0);
}

TEST(ReadExtentsFromCollectFile, ReadsTheScansLinesAndRefusesAnyOther) {
  testing_support::ScopedStateDir state;
  const std::string path = state.Sub("collect.kzf");
  testing_support::WriteFile(path,
                             "/00000007\n\n/mnt/v1/0000000V\n/mnt/v1/0000000!\n/mnt/v1/0000007\n"
                             "/mnt/v1/0000000a\n00000001\n/mnt/v1/000000010\n");
  std::ifstream file(path);
  std::string volume, entry;
  unsigned long extent = 0;
  ASSERT_EQ(CollectFileManager::ReadExtentsFromCollectFile(file, volume, entry, extent), 1);
  EXPECT_EQ(volume, "/");
  EXPECT_EQ(entry, "/KzFakeStringForVolumeRootBlockLevel/00000007");
  EXPECT_EQ(extent, 7u);
  ASSERT_EQ(CollectFileManager::ReadExtentsFromCollectFile(file, volume, entry, extent), 1);
  EXPECT_EQ(volume, "/mnt/v1");
  EXPECT_EQ(entry, "/mnt/v1/0000000V");
  EXPECT_EQ(extent, 31u);
  // A character outside the alphabet, seven or nine digits, a lower-case
  // digit, no '/'.
  for (int bad = 0; bad < 5; ++bad)
    EXPECT_EQ(CollectFileManager::ReadExtentsFromCollectFile(file, volume, entry, extent), -1);
  EXPECT_EQ(CollectFileManager::ReadExtentsFromCollectFile(file, volume, entry, extent), 0);
  EXPECT_EQ(CollectFileManager::ReadExtentsFromCollectFile(file, volume, entry, extent), -1);  // past the end
  std::ifstream missing(state.Sub("missing"));
  EXPECT_EQ(CollectFileManager::ReadExtentsFromCollectFile(missing, volume, entry, extent), -1);
}

}  // namespace
