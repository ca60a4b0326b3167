// A cluster start holds the attached-volume list while it attaches the
// volumes and then takes the bitmap handler's semaphore; a backup's
// get-and-clear holds the semaphore while its fail-over merge waits for the
// list. Started close together in two processes, both must finish.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "platform/sim/fault_table.h"
#include "support/run_command.h"
#include "tracking/cluster_test_fixtures.h"

namespace {

using cluster_test::ClusterNode;

constexpr int kRunsPerGroup = 5;
constexpr int kGroups = 4;
constexpr const char* kGiveUpAfter = "30";  // seconds: far beyond either side's work

int RunTool(const std::string& arguments, std::string* output) {
  return testing_support::RunCommand("timeout " + std::string(kGiveUpAfter) + " " + CLUSTER_TOOL + " " + arguments +
                                         " 2>&1",
                                     output);
}

class ClusterStartBesideABackup : public testing::TestWithParam<int> {};

TEST_P(ClusterStartBesideABackup, NeitherWaitsForTheOther) {
  for (int run = 0; run < kRunsPerGroup; ++run) {
    // Runs spread the backup's start over 0 to 1.5 s after the cluster start's.
    const int offsetMs = (GetParam() * kRunsPerGroup + run) * 1500 / (kRunsPerGroup * kGroups - 1);
    SCOPED_TRACE("backup started " + std::to_string(offsetMs) + " ms after the cluster start");
    ClusterNode node;
    const std::string image = node.Image("A");
    const std::string mount = node.Mount("a", image);
    const std::string key = node.Key(mount);
    testing_support::WriteFile(node.list, node.Entry(mount));
    testing_support::WriteFile(node.marker, node.Record(image, key));
    testing_support::WriteFile(node.LeftBehind(mount), std::string("\x05\x00", 2));
    // Start holds the list for two seconds while it clears the driver bitmap.
    platform::FaultTable::Set("KzBfDriver::clearBitmap", 2000, platform::FaultMode::kDelay);

    std::string startOutput, backupOutput;
    std::future<int> start = std::async(std::launch::async, [&] { return RunTool("start", &startOutput); });
    std::this_thread::sleep_for(std::chrono::milliseconds(offsetMs));
    const int backup =
        RunTool("getandclear " + image + " " + mount + " " + key + " " + node.state.Sub("job.bmp"), &backupOutput);
    EXPECT_EQ(start.get(), 0) << startOutput;  // 124: given up on
    EXPECT_EQ(backup, 0) << backupOutput;
    EXPECT_EQ(node.Contents(node.marker), cluster_test::kNone);
    EXPECT_EQ(node.Tracking(image), "attached=1 extent=4194304");
  }
}

INSTANTIATE_TEST_SUITE_P(Spread, ClusterStartBesideABackup, testing::Range(0, kGroups));

}  // namespace
