// The backup index's verbs, with the scan's browse made in this process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "scan/cumulative_bitmap_helper.h"
#include "support/blbsim_command.h"
#include "support/test_platform.h"

namespace {

using testing_support::RunBlbsim;

class BrowsingHelper : public CCumulativeBitmapHelper {
 public:
  using CCumulativeBitmapHelper::CCumulativeBitmapHelper;
  using CCumulativeBitmapHelper::FetchIdxBmpForVolumes;
};

CQiError Fetch(const std::string& component, std::map<std::string, std::string>& bitmaps) {
  TarvosJobInfo job({"-a", "2:7", "-j", "101", "-t", "2", "-d", "ss1", "-jt", "tok"});
  EXPECT_EQ(job.ParseArgs(false), 0);
  BrowsingHelper helper(job, "/unused", 9, 0);
  std::vector<std::string> components = {component};
  return helper.FetchIdxBmpForVolumes(components, bitmaps);
}

TEST(blbsimIndex, SeedsBitmapsAndRepliesAndListsTheBrowsesOfAnotherProcess) {
  testing_support::ScopedStateDir scope;
  const std::string dir = scope.Path();
  std::string out;
  testing_support::WriteFile(scope.Sub("seed.json"), R"({"agent_config": {"subclients": [
      {"cell_id": 2, "app_id": 7, "client_id": 2, "app_type": 29, "indexing_v2": false}]}})");
  ASSERT_EQ(RunBlbsim(dir, "seed " + scope.Sub("seed.json"), &out), 0) << out;
  ASSERT_EQ(RunBlbsim(dir, "dump agent_config", &out), 0) << out;
  EXPECT_EQ(nlohmann::json::parse(out)["agent_config"]["subclients"][0]["indexing_v2"], false);
  std::map<std::string, std::string> bitmaps;
  EXPECT_TRUE(FXErrorUtil::IsWin32(Fetch("C", bitmaps), 774));
  EXPECT_EQ(RunBlbsim(dir, "index v2 2 7 maybe"), 2);
  EXPECT_EQ(RunBlbsim(dir, "index v2 2 8 on"), 1);
  ASSERT_EQ(RunBlbsim(dir, "index v2 2 7 on"), 0);
  ASSERT_EQ(RunBlbsim(dir, "index requests clear"), 0);

  const std::string random = scope.Sub("random.bmp");
  ASSERT_EQ(testing_support::RunCommand("head -c 4096 /dev/urandom > " + random), 0);
  ASSERT_EQ(RunBlbsim(dir, "index bitmap set 2 7 C " + random, &out), 0) << out;
  EXPECT_EQ(RunBlbsim(dir, "index bitmap set 2 x C " + random), 2);
  EXPECT_EQ(RunBlbsim(dir, "index bitmap set 2 7 C " + scope.Sub("absent")), 1);
  ASSERT_EQ(RunBlbsim(dir, "index bitmap list", &out), 0);
  EXPECT_EQ(out.substr(0, 17), "2/7 C bytes=4096 ") << out;
  EXPECT_EQ(out.size(), 17 + 64 + 4u) << out;  // 32 bytes shown, then "...\n"

  ASSERT_FALSE(Fetch("C", bitmaps).IsError());
  testing_support::WriteFile(scope.Sub("back.bmp"), bitmaps["C"]);
  EXPECT_EQ(testing_support::RunCommand("cmp " + random + " " + scope.Sub("back.bmp")), 0);

  ASSERT_EQ(RunBlbsim(dir, "index requests", &out), 0);
  const std::string pid = " pid=" + std::to_string(::getpid()) + " M100:92{";
  const size_t initialized = out.find(" Initialize rc=0 responses=0 items=0" + pid);
  const size_t browsed = out.find(" Browse rc=0 responses=1 items=1" + pid);
  EXPECT_NE(initialized, std::string::npos) << out;
  EXPECT_NE(browsed, std::string::npos) << out;
  EXPECT_LT(initialized, browsed) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;

  // A queued reply reaches the next browse of this process, once.
  testing_support::WriteFile(scope.Sub("partial.txt"), "M100:102{1:1=[M100:101{1:1=i2}]}\n");
  EXPECT_EQ(RunBlbsim(dir, "index reply " + scope.Sub("partial.txt") + " type=x"), 2);
  ASSERT_EQ(RunBlbsim(dir, "index reply " + scope.Sub("partial.txt") + " type=21 path=/", &out), 0) << out;
  const CQiError partial = Fetch("C", bitmaps);
  EXPECT_TRUE(FXErrorUtil::IsWin32(partial, 1627)) << partial.AsString();
  EXPECT_FALSE(Fetch("C", bitmaps).IsError());
  testing_support::WriteFile(scope.Sub("request.txt"), "M100:92{}");
  EXPECT_EQ(RunBlbsim(dir, "index reply " + scope.Sub("request.txt"), &out), 1);
  EXPECT_NE(out.find("reply refused"), std::string::npos) << out;

  ASSERT_EQ(RunBlbsim(dir, "index requests clear"), 0);
  ASSERT_EQ(RunBlbsim(dir, "index requests", &out), 0);
  EXPECT_EQ(out, "");
}

}  // namespace
