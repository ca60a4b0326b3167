// The index thread's paging of a volume's extent view, with replies the
// index scripts: pages that end the paging, pages that do not advance,
// items without a hash.
#include "scan/index_info_true_up.h"

#include <gtest/gtest.h>

#include "platform/harness/index_harness.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"
#include "scan/scan_test_fixtures.h"
#include "scan/snap_read_manager.h"
#include "scan/true_up_test_fixtures.h"

namespace {

using testing_support::CapturingLog;

std::string Hash(char digit) {
  return std::string(32, digit);
}

// A reply of one response whose items are the extents (an item without
// data where the hash is empty).
std::string PageReply(const std::vector<std::pair<std::string, std::string>>& items) {
  std::vector<CNMessageBase> messages;
  for (const auto& entry : items) {
    databrowse::BrowseData item;
    item.setstring(item.kExtentName.number, item.kExtentName.tag, entry.first);
    if (!entry.second.empty()) {
      databrowse::BrowseDataResult data;
      data.setstring(data.kHash.number, data.kHash.tag, entry.second);
      item.setObjectAccessor(item.kData.number, item.kData.tag, data);
    }
    messages.push_back(item);
  }
  databrowse::BrowseResult result;
  result.setlistobject(result.kItems.number, result.kItems.tag, messages);
  databrowse::BrowseResponse response;
  response.setint64(response.kType.number, response.kType.tag, 1);
  response.setObjectAccessor(response.kResult.number, response.kResult.tag, result);
  databrowse::BrowseResponseList list;
  list.addlistobject(list.kResponses.number, list.kResponses.tag, response);
  return list.toString();
}

class IndexInfoTrueUpTest : public scan_test::ScanTest {
 protected:
  void SetUp() override {
    job_ = TarvosJobInfo(scan_test::JobArgs("2"));
    ASSERT_EQ(job_.ParseArgs(false), 0);
    ASSERT_TRUE(platform::MakeDirectories(volumeFolder_));
  }
  void Queue(const std::string& reply) {
    std::string why;
    ASSERT_TRUE(blbsim::QueueIndexReply(reply, 0, "EXTENTVIEW", &why)) << why;
  }
  CQiError Fetch(unsigned pageSize) {
    boost::shared_ptr<CSnapReadManager> manager(
        new CSnapReadManager(1, {}, {IdxVolInfo("/mnt/v1", volumeFolder_)}, nullptr));
    CIndexInfoTrueUp index(manager, job_, folder_, 9, pageSize);
    return index.FetchVolumeExtentHashes();
  }
  std::string Read(const std::string& path) { return testing_support::ReadFile(path); }

  TarvosJobInfo job_;
  std::string folder_ = jr_ + "/TrueUp";
  std::string volumeFolder_ = true_up_test::VolumeFolder(folder_, "/mnt/v1");
};

TEST_F(IndexInfoTrueUpTest, APageThatDoesNotAdvanceEndsTheVolumesPaging) {
  Queue(PageReply({{"00000000", Hash('a')}, {"00000001", Hash('b')}}));
  Queue(PageReply({{"00000000", Hash('a')}, {"00000001", Hash('b')}}));
  CapturingLog log(0);
  CQiError err = Fetch(2);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_TRUE(log.Contains("does not advance past extent[1]"));
  EXPECT_EQ(Read(volumeFolder_ + "/VolIdxHash.kzf"), "00000000|" + Hash('a') + "\n00000001|" + Hash('b') + "\n");
  EXPECT_EQ(Read(folder_ + "/IdxRestartInfo.kzf"), "/mnt/v1|1\n");
}

TEST_F(IndexInfoTrueUpTest, AnItemWithoutAHashFailsTheVolumeAfterThePagesBeforeIt) {
  Queue(PageReply({{"00000000", Hash('a')}}));
  Queue(PageReply({{"00000001", Hash('b')}, {"00000002", ""}}));
  CQiError err = Fetch(2);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 774)) << err.AsString();
  EXPECT_NE(err.AsString().find("Browse DataResut set for extent[00000002] volume[/mnt/v1], do not have HASH set"),
            std::string::npos);
  EXPECT_EQ(Read(volumeFolder_ + "/VolIdxHash.kzf"), "00000000|" + Hash('a') + "\n");
}

// A thread whose fetch failed before it read the restart file leaves the
// file as it was when it stops.
TEST_F(IndexInfoTrueUpTest, AStopAfterAnEarlyFailureKeepsTheRestartFile) {
  testing_support::WriteFile(folder_ + "/IdxRestartInfo.kzf", "/mnt/v1|7\n");
  platform::FaultTable::Set("IdxBrowseClient::Initialize", 5);
  boost::shared_ptr<CSnapReadManager> manager(
      new CSnapReadManager(1, {}, {IdxVolInfo("/mnt/v1", volumeFolder_)}, nullptr));
  boost::shared_ptr<CIndexInfoTrueUp> index(new CIndexInfoTrueUp(manager, job_, folder_, 9, 2));
  manager->SetIdxQueryWorker(index);
  ASSERT_TRUE(index->StartSynchronously());
  EXPECT_TRUE(index->AnyFailure());
  manager->StopAllWorkers(true);
  EXPECT_EQ(Read(folder_ + "/IdxRestartInfo.kzf"), "/mnt/v1|7\n");
}

// The restart file names pages as appended: a power loss must not leave it
// naming pages the index hash file lost. Until the hash file is synced it is
// not written, and then only through a synced temporary.
TEST_F(IndexInfoTrueUpTest, TheRestartFileNamesOnlyPagesOnDisk) {
  Queue(PageReply({{"00000000", Hash('a')}, {"00000001", Hash('b')}}));
  platform::FaultTable::Set("FXFile::KZFlushFile", 5);
  CapturingLog log(0);
  ASSERT_FALSE(Fetch(2).IsError());
  platform::FaultTable::ClearAll();
  EXPECT_TRUE(log.Contains("Failure while saving Idx restart info"));
  EXPECT_FALSE(testing_support::FileExists(folder_ + "/IdxRestartInfo.kzf"));
  EXPECT_EQ(Read(volumeFolder_ + "/VolIdxHash.kzf"), "00000000|" + Hash('a') + "\n00000001|" + Hash('b') + "\n");

  // The rerun fetches the page again, and the restart file names it now.
  Queue(PageReply({{"00000000", Hash('a')}, {"00000001", Hash('b')}}));
  ASSERT_FALSE(Fetch(2).IsError());
  EXPECT_EQ(Read(folder_ + "/IdxRestartInfo.kzf"), "/mnt/v1|1\n");
}

// What a power loss in the middle of an append leaves: part of a line, or
// NUL bytes where the write-back reached a later block of the file but not
// an earlier one, before or after whole lines. The rerun cuts the file at
// the first line that is no entry, with all after it, and fetches again
// what went: from the page after the one the restart file names, or from
// the last entry kept when the cut went into what the restart file names.
// The file is then whole, in the order the comparison's merge join reads.
TEST_F(IndexInfoTrueUpTest, ARerunCutsWhatAPowerLossLeftOfItsLastAppendsAndFetchesItAgain) {
  const auto entry = [](int extent) { return "0000000" + std::to_string(extent) + "|" + Hash('a' + extent) + "\n"; };
  const std::string nul41 = std::string(41, '\0') + "\n";
  const struct {
    const char* shape;
    std::string file;
    std::string restart;  // the restart file's content
  } cases[] = {
      {"a torn last line", entry(0) + entry(1).substr(0, 9), "/mnt/v1|0\n"},
      {"nothing but a torn line", "0000", ""},
      {"a NUL line before the last whole line", entry(0) + nul41 + entry(2), "/mnt/v1|0\n"},
      {"NUL bytes running into a later line", entry(0) + std::string(50, '\0') + entry(2).substr(9) + entry(3),
       "/mnt/v1|0\n"},
      {"NUL bytes to the end", entry(0) + std::string(4096, '\0'), "/mnt/v1|0\n"},
      {"NUL bytes in what the restart file names", entry(0) + nul41 + entry(2) + entry(3), "/mnt/v1|3\n"},
      {"NUL bytes where nothing is named", nul41 + entry(1), ""},
  };
  std::string why;
  ASSERT_TRUE(blbsim::SetIndexExtentView(
      {2, 7, "/mnt/v1"}, "0 " + Hash('a') + "\n1 " + Hash('b') + "\n2 " + Hash('c') + "\n3 " + Hash('d'), &why))
      << why;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shape);
    testing_support::WriteFile(volumeFolder_ + "/VolIdxHash.kzf", c.file);
    testing_support::WriteFile(folder_ + "/IdxRestartInfo.kzf", c.restart);
    const CQiError err = Fetch(2);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(Read(volumeFolder_ + "/VolIdxHash.kzf"), entry(0) + entry(1) + entry(2) + entry(3));
    EXPECT_EQ(Read(folder_ + "/IdxRestartInfo.kzf"), "/mnt/v1|3\n");
  }

  // A cut into what the restart file names is told to it at once: a rerun
  // after a failure that came before any page does not take it for fetched.
  testing_support::WriteFile(volumeFolder_ + "/VolIdxHash.kzf", entry(0) + nul41 + entry(2));
  testing_support::WriteFile(folder_ + "/IdxRestartInfo.kzf", "/mnt/v1|2\n");
  platform::FaultTable::Set("IdxBrowseClient::Browse", 5);
  EXPECT_TRUE(Fetch(2).IsError());
  platform::FaultTable::ClearAll();
  EXPECT_EQ(Read(volumeFolder_ + "/VolIdxHash.kzf"), entry(0));
  EXPECT_EQ(Read(folder_ + "/IdxRestartInfo.kzf"), "/mnt/v1|0\n");
}

TEST_F(IndexInfoTrueUpTest, AReplyWithoutResponsesOrItemsEndsTheVolume) {
  databrowse::BrowseResponseList empty;
  Queue(empty.toString());
  CapturingLog log(0);
  ASSERT_FALSE(Fetch(2).IsError());
  EXPECT_TRUE(log.Contains("No more browse Pages for volumes=/mnt/v1, moving to next volume"));
  EXPECT_EQ(Read(volumeFolder_ + "/VolIdxHash.kzf"), "");
  EXPECT_EQ(Read(folder_ + "/IdxRestartInfo.kzf"), "");

  // The view itself, empty: the same.
  log.Clear();
  ASSERT_FALSE(Fetch(2).IsError());
  EXPECT_TRUE(log.Contains("No more browse Pages for volumes=/mnt/v1"));
}

}  // namespace
