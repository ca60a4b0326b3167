// The job command writing a job's job-results directory into the job's
// archive stream, read back with the harness.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/blbsim_command.h"
#include "support/fault_injection.h"
#include "support/run_command.h"
#include "support/test_platform.h"

namespace {

using testing_support::RunBlbsim;
using testing_support::RunCommand;

const std::string kFakeRoot = "/KzBLBTCTroubleShootFakePath_95AD_4538_A437_5F81";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t LongestLine(const std::string& text) {
  size_t longest = 0;
  for (const std::string& line : Lines(text)) longest = std::max(longest, line.size());
  return longest;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(blbjobJobResults, TheDirectoryGoesIntoTheJobsStreamAsItems) {
  testing_support::ScopedStateDir state;
  const std::string jobResults = state.Sub("jobresults/2/7");
  std::mt19937 generator(7);
  std::string data(70000, '\0');
  for (char& c : data) c = static_cast<char>(generator());
  testing_support::WriteFile(jobResults + "/c.bin", data);
  testing_support::WriteFile(jobResults + "/sub/Failures.kzf", "x");
  ASSERT_EQ(RunBlbsim(state.Path(), "archive buffer-size 32768"), 0);

  const std::string jobResultsOf101 =
      std::string(BLBJOB_PATH) + " jobresults -- -a 2:7 -j 101 -t 1 -d stow1 -jt TOK 2>&1";
  std::string out;
  ASSERT_EQ(RunCommand(jobResultsOf101, &out), 0) << out;
  EXPECT_EQ(out.rfind("jobresults seconds=", 0), 0u) << out;
  ASSERT_NE(out.find(" items="), std::string::npos) << out;
  const std::string items = out.substr(out.find(" items="));

  std::string stream;
  ASSERT_EQ(RunBlbsim(state.Path(), "archive stream 101", &stream), 0) << stream;
  const std::vector<std::string> lines = Lines(stream);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("type=128 length=1160 name=" + kFakeRoot + " mode=0x4000 size=0", 0), 0u) << stream;
  std::vector<std::string> names, dataLengths;
  for (const std::string& line : lines) {
    if (line.rfind("type=128 ", 0) == 0) names.push_back(line.substr(line.find("name=") + 5));
    if (line.rfind("type=2 ", 0) == 0) dataLengths.push_back(line);
  }
  ASSERT_GE(names.size(), 3u);
  EXPECT_EQ(names[names.size() - 3].rfind(kFakeRoot + jobResults + " ", 0), 0u) << stream;
  EXPECT_EQ(names[names.size() - 2].rfind(kFakeRoot + jobResults + "/c.bin ", 0), 0u) << stream;
  EXPECT_EQ(names.back().rfind(kFakeRoot + jobResults + "/sub ", 0), 0u) << stream;
  EXPECT_NE(stream.find("name=" + kFakeRoot + jobResults + "/c.bin mode=0x81a4 size=70000"), std::string::npos);
  EXPECT_EQ(stream.find("Failures.kzf"), std::string::npos) << stream;
  EXPECT_EQ(dataLengths,
            (std::vector<std::string>{"type=2 length=32768", "type=2 length=32768", "type=2 length=4464"}));
  EXPECT_NE(stream.find("tag=0x57571A98 value=Troubleshooting"), std::string::npos);
  // One item per folder and file: the root, the folders down to the
  // directory, the directory, c.bin and sub.
  EXPECT_EQ(items, " items=" + std::to_string(names.size()) + "\n");

  // Sent again for the same job, the items are counted as this run sent
  // them, not as the stream now holds them from both runs.
  ASSERT_EQ(RunCommand(jobResultsOf101, &out), 0) << out;
  EXPECT_EQ(out.substr(out.find(" items=")), items) << out;

  std::string extracted;
  ASSERT_EQ(RunCommand(std::string(BLBSIM_PATH) + " archive extract 101 " + kFakeRoot + jobResults + "/c.bin > " +
                           state.Sub("c.out") + " && cmp " + state.Sub("c.out") + " " + jobResults + "/c.bin",
                       &extracted),
            0)
      << extracted;
}

// The job-results directory 16 folders deep, each ancestor an item of its
// own: a failed archive write passes every one of them on its way up. The
// error line names the system's cause, and what the log and --verbose show
// grows with the calls the failure passed: one frame each, not the chain
// quoted again at every level. A file that cannot be read is named by its
// cause too, not by the code the walk gives every failure.
TEST(blbjobJobResults, AFailureDeepDownIsNamedByItsCauseOnLinesThatStayShort) {
  testing_support::ScopedStateDir scratch;
  std::string state = scratch.Path();
  const size_t depth = static_cast<size_t>(std::count(state.begin(), state.end(), '/'));
  for (size_t level = depth; level < 16 - 3; ++level) state += "/d" + std::to_string(level);
  const std::string jobResults = state + "/jobresults/2/7";
  ASSERT_EQ(std::count(jobResults.begin(), jobResults.end(), '/'), 16) << jobResults;
  ASSERT_EQ(RunBlbsim("", "init " + state), 0);
  ASSERT_EQ(RunBlbsim(state, "subclient 2 7 2"), 0);
  testing_support::WriteFile(jobResults + "/c.bin", "some results");
  const std::string onState = "BLB_STATE_DIR=" + state + " ";
  const std::string jobResultsOf101 =
      std::string(BLBJOB_PATH) + " --verbose jobresults -- -a 2:7 -j 101 -t 1 -d stow1 -jt TOK 2>&1";

  ASSERT_EQ(RunBlbsim(state, "fault set KZArchive::writeBuffer 28 error"), 0);
  std::string out;
  EXPECT_EQ(RunCommand(onState + jobResultsOf101, &out), 1) << out.substr(0, 2000);
  EXPECT_TRUE(Contains(out,
                       "blbjob jobresults: jobresults failed: Failed to write Archive buffer: No space left on device "
                       "(code=-385876037)\n"))
      << out.substr(0, 2000);
  EXPECT_LT(LongestLine(out), 64u << 10);
  EXPECT_LT(LongestLine(testing_support::ReadFile(state + "/logs/blocklevel.log")), 64u << 10);
  ASSERT_EQ(RunBlbsim(state, "fault clear-all"), 0);

  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  EXPECT_EQ(RunCommand(onState + "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -o /dev/null -P " +
                           jobResults + "/c.bin -e trace=read -e inject=read:error=EIO " + jobResultsOf101,
                       &out),
            1)
      << out.substr(0, 2000);
  EXPECT_TRUE(Contains(out, "blbjob jobresults: jobresults failed: Failed while enumerating path=[" + jobResults +
                                "], error=[code=-5: Read failed after 0 bytes; "))
      << out.substr(0, 2000);
  EXPECT_TRUE(Contains(out, ": Input/output error (code=-1627)\n")) << out.substr(0, 2000);
}

}  // namespace
