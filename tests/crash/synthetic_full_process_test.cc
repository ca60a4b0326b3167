// A synthetic full as a process of its own, killed or failing at each call
// on its work folder: the downloads of the source job's files into it, the
// job's own files there, and the clean-up at destruction. The rerun under the
// same job id succeeds and leaves no work folder behind, and the job's
// cumulative-bitmap container holds the source job's bitmap, nothing else.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/harness/job_info_harness.h"
#include "pseudosnap/synthetic_full_test_fixtures.h"
#include "support/fault_injection.h"
#include "support/run_command.h"

namespace {

using testing_support::FaultPoint;
using testing_support::InjectedFault;
using testing_support::RunCommand;

// The calls that create, write, sync, rename and remove the work folder's
// files, killed or failing; those that open and close its folders, killed.
const std::vector<InjectedFault> kEveryFault = {InjectedFault::kKill, InjectedFault::kNoSpace, InjectedFault::kIo};
const std::vector<std::pair<std::string, std::vector<InjectedFault>>> kCalls = {
    {"write", kEveryFault},           {"pwrite64", kEveryFault},
    {"fsync", kEveryFault},           {"rename", kEveryFault},
    {"unlink", kEveryFault},          {"unlinkat", kEveryFault},
    {"rmdir", kEveryFault},           {"openat", {InjectedFault::kKill}},
    {"close", {InjectedFault::kKill}}};

class SyntheticFullProcess : public pseudosnap_test::SyntheticFullTest {
 protected:
  // Each run starts from a state directory of its own (Prepare).
  void SetUp() override {}

  void Prepare(bool oracle) {
    fresh_.reset();
    fresh_ = std::make_unique<testing_support::ScopedStateDir>();
    SyntheticFullTest::SetUp();
    if (oracle) PrepareOracleSubclient(true, true);
  }

  std::string Command(bool oracle) const {
    return std::string(CRASH_TOOL) + " pseudosnap " + (oracle ? "22 " : "29 ") + "64 " + sc_;
  }
  std::string WorkFolder() const { return fresh_->Path() + "/install/Temp/BlockSnapArchive_101"; }

  // Which of the job's calls of the system call (the first is 1) touch the
  // work folder: its files, and for opens and closes the folders themselves.
  std::vector<int> CallsOnTheWorkFolder(bool oracle, const std::string& call) const {
    const std::vector<std::string> lines = testing_support::TraceCalls(Command(oracle), call);
    const std::string bitmaps = WorkFolder() + "/BlockLevelCumulativeBM";
    std::vector<int> positions;
    for (size_t i = 0; i < lines.size(); ++i) {
      const std::string& line = lines[i];
      bool touches = line.find(WorkFolder()) != std::string::npos;
      if (call == "openat") touches = touches && line.find("O_DIRECTORY") != std::string::npos;
      if (call == "close")
        touches = line.find(WorkFolder() + ">") != std::string::npos || line.find(bitmaps + ">") != std::string::npos;
      if (touches) positions.push_back(static_cast<int>(i) + 1);
    }
    return positions;
  }

  // The names and sizes job 101's cumulative-bitmap container holds.
  static std::map<std::string, uint64_t> StoredBitmaps() {
    std::map<std::string, uint64_t> stored;
    for (const platform::JobInfoFileRecord& file : blbsim::JobInfoFiles())
      if (file.jobId == 101 && file.container == blbsim::kCumulativeBitmapContainer) stored[file.name] = file.size;
    return stored;
  }

  void RunEveryFault(bool oracle) {
    const std::string unavailable = testing_support::StraceUnavailable();
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    int struck = 0;
    for (const auto& [call, faults] : kCalls) {
      Prepare(oracle);
      if (HasFatalFailure()) return;
      for (const int when : CallsOnTheWorkFolder(oracle, call)) {
        for (const InjectedFault fault : faults) {
          Prepare(oracle);
          if (HasFatalFailure()) return;
          const FaultPoint point{call, fault, when};
          SCOPED_TRACE(testing_support::Describe(point));
          bool reached = false;
          std::string output;
          testing_support::RunWithFault(Command(oracle), point, reached, &output);
          if (!reached) continue;
          ++struck;
          ASSERT_EQ(RunCommand(Command(oracle) + " 2>&1", &output), 0) << output;
          EXPECT_FALSE(testing_support::FileExists(WorkFolder()));
          EXPECT_EQ(StoredBitmaps(), (std::map<std::string, uint64_t>{{"C1_CumulativeV2.bmp.7z", bitmap_.size()}}));
        }
      }
    }
    EXPECT_GT(struck, 50) << "the faults reached too few calls";
  }

  std::unique_ptr<testing_support::ScopedStateDir> fresh_;
};

// What a rerun, or the agent after the job, reads is on disk with its name
// once the job is done: the done marker, the bitmaps a job packs for its
// container and those a synthetic full downloads, each synced with its
// folder.
TEST_F(SyntheticFullProcess, ItsFilesAreSyncedWithTheirFolders) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  Prepare(false);
  const std::string packed = sc_ + "/BlockLevelCumulativeBM";
  testing_support::WriteFile(packed + "/C1_CumulativeV2.bmp", std::string(32, '\xFF'));
  std::vector<std::string> calls =
      testing_support::TraceCalls(std::string(CRASH_TOOL) + " pseudosnap 29 2 " + sc_, "openat,rename,fsync");
  EXPECT_TRUE(testing_support::FolderSyncedAfterLast(calls, "/101_PSnapADone.kzf\", O_", sc_));
  EXPECT_TRUE(testing_support::FolderSyncedAfterLast(calls, "\", \"" + packed + "/", packed));
  EXPECT_EQ(StoredBitmaps(),
            (std::map<std::string, uint64_t>{
                {"C1_CumulativeV2.bmp.7z", testing_support::ReadFile(packed + "/C1_CumulativeV2.bmp.7z").size()}}));

  Prepare(false);
  const std::string downloaded = WorkFolder() + "/BlockLevelCumulativeBM";
  calls = testing_support::TraceCalls(Command(false), "openat,rename,fsync");
  EXPECT_TRUE(testing_support::FolderSyncedAfterLast(calls, "\", \"" + downloaded + "/", downloaded));
}

TEST_F(SyntheticFullProcess, OfAFileSystemSubclientIsRunAgainAfterAnyFault) {
  RunEveryFault(false);
}

TEST_F(SyntheticFullProcess, OfAnOracleImageCopySubclientIsRunAgainAfterAnyFault) {
  RunEveryFault(true);
}

}  // namespace
