// The device-configuration files as later jobs depend on them: a writer
// killed at any of its system calls, and a reader whose reads fail, must
// never leave a job with fewer devices than it wrote.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fault_injection.h"
#include "support/run_command.h"
#include "support/test_platform.h"

namespace {

using testing_support::RunCommand;
using testing_support::StraceUnavailable;

std::string Tool(const std::string& arguments) {
  return std::string(CONFIG_FILE_TOOL) + " " + arguments;
}

// strace running the tool with the options given. The leak check of a
// sanitizer build cannot run under ptrace, and would fail the tool at exit.
std::string Traced(const std::string& options, const std::string& toolArguments) {
  return "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -o /dev/null " + options + " " +
         Tool(toolArguments);
}

// What the reader tool prints: the volumes, then "end" (or an error line).
std::string ReadBack(const std::string& path) {
  std::string output;
  RunCommand(Tool("read " + path) + " 2>&1", &output);
  return output;
}

std::string Lines(const std::vector<std::string>& volumes) {
  std::string lines;
  for (const std::string& volume : volumes) lines += volume + "\n";
  return lines + "end\n";
}

}  // namespace

TEST(ConfigFileProcess, AWriterKilledAtAnyWriteSyncOrRenameLeavesTheOldOrTheNewRecords) {
  const std::string unavailable = StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  testing_support::ScopedStateDir state;
  const std::string path = state.Sub("jobresults/BlockDeviceConfig.kzf");
  const std::vector<std::string> previous = {"/p1", "/p2", "/p3"};
  const std::vector<std::string> written = {"/n1", "/n2", "/n3", "/n4"};
  std::string newRecords;
  for (const std::string& volume : written) newRecords += " " + volume;

  for (const bool append : {false, true}) {
    std::vector<std::string> expected = append ? previous : std::vector<std::string>();
    expected.insert(expected.end(), written.begin(), written.end());
    for (const char* calls : {"write", "fsync", "rename,renameat,renameat2"}) {
      int kills = 0;
      for (int when = 1; when <= 100; ++when) {
        std::string output;
        ASSERT_EQ(RunCommand(Tool("write " + path + " /p1 /p2 /p3"), &output), 0) << output;
        const std::string kill = " -e inject=" + std::string(calls) + ":signal=SIGKILL:when=" + std::to_string(when);
        const int status = RunCommand(
            Traced("-e trace=" + std::string(calls) + kill, "write " + path + (append ? " --append" : "") + newRecords),
            &output);
        const std::string after = ReadBack(path);
        if (status == 0) {  // no call left to kill it at
          EXPECT_EQ(after, Lines(expected)) << calls;
          break;
        }
        ++kills;
        EXPECT_TRUE(after == Lines(previous) || after == Lines(expected))
            << "killed at " << calls << " #" << when << (append ? " (append)" : "") << ", read back:\n"
            << after;
      }
      EXPECT_GT(kills, 0) << "the writer never made a call of " << calls;
      EXPECT_LT(kills, 100) << "the writer never completed under strace";
    }
  }
}

TEST(ConfigFileProcess, AReadThatFailsMidFileFailsTheReadInsteadOfEndingIt) {
  const std::string unavailable = StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  testing_support::ScopedStateDir state;
  const std::string path = state.Sub("jobresults/BlockDeviceConfig.kzf");
  std::string output;
  ASSERT_EQ(RunCommand(Tool("write " + path + " /a"), &output), 0) << output;
  // Comment lines push the later records past the stream's first buffer, so
  // they come from a later read.
  std::string contents = testing_support::ReadFile(path);
  for (int i = 0; i < 400; ++i) contents += "# " + std::string(60, 'c') + "\n";
  const std::string other = contents.substr(contents.rfind("true|/a|"));
  contents += other.substr(0, other.find('\n')) + "\n";
  testing_support::WriteFile(path, contents);
  const std::string complete = ReadBack(path);
  ASSERT_EQ(complete, Lines({"/a", "/a"}));

  bool failedAfterTheFirstRecord = false;
  for (int when = 1; when <= 20; ++when) {
    const int status = RunCommand(
        Traced("-P " + path + " -e trace=read -e inject=read:error=EIO:when=" + std::to_string(when), "read " + path) +
            " 2>&1",
        &output);
    if (status == 0) {  // no read left to fail
      EXPECT_EQ(output, complete);
      break;
    }
    // Never a shorter list passed off as the whole.
    EXPECT_EQ(output.find("end\n"), std::string::npos) << output;
    EXPECT_NE(output.find("error: "), std::string::npos) << output;
    EXPECT_NE(output.find("code=-5 "), std::string::npos) << output;  // EIO
    if (output.rfind("/a\nerror: ", 0) == 0) failedAfterTheFirstRecord = true;
  }
  EXPECT_TRUE(failedAfterTheFirstRecord);
}

// The agent opens the job's handler for writing at the pre-snap step and
// writes every record at the post-snap step. Wherever that job dies or its
// disk fails, the next job must compare its volumes with the previous job's
// records or this job's, all of them: with none, it would trust every volume
// whose size changed.
TEST(ConfigFileProcess, ASnapshotJobKilledOrFailedAnywhereLeavesTheNextJobTheOldOrTheNewRecords) {
  const std::string unavailable = StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  testing_support::ScopedStateDir state;
  const std::string dir = state.Sub("jobresults");
  const std::string path = dir + "/BlockDeviceConfig.kzf";
  std::string previousRecords, newRecords;
  std::string output;
  ASSERT_EQ(RunCommand(Tool("snapshot " + dir + " 400 2"), &output), 0) << output;
  newRecords = testing_support::ReadFile(path);
  ASSERT_EQ(RunCommand(Tool("snapshot " + dir + " 400 1"), &output), 0) << output;
  previousRecords = testing_support::ReadFile(path);
  ASSERT_EQ(RunCommand(Tool("next " + dir + " 400 2"), &output), 0);
  ASSERT_EQ(output, "trusted 1 full 399\n");  // only the first volume kept its size

  testing_support::ForEveryFaultPoint(
      testing_support::FileChangingCalls(),
      {testing_support::InjectedFault::kKill, testing_support::InjectedFault::kNoSpace,
       testing_support::InjectedFault::kIo},
      60, [&] { testing_support::WriteFile(path, previousRecords); }, Tool("snapshot " + dir + " 400 2"),
      [&](const testing_support::FaultPoint&, int status, const std::string& run) {
        const std::string after = testing_support::ReadFile(path);
        EXPECT_TRUE(after == previousRecords || after == newRecords) << run;
        if (status == 0) {
          EXPECT_EQ(after, newRecords) << "success reported, the new records not in place";
        }
        std::string decision;
        ASSERT_EQ(RunCommand(Tool("next " + dir + " 400 2"), &decision), 0) << decision;
        EXPECT_EQ(decision, after == newRecords ? "trusted 400 full 0\n" : "trusted 1 full 399\n");
      });
}

// A count the tool cannot read is refused with the usage, never read as some
// other number (an overflowing one ran for hours).
TEST(ConfigFileProcess, CountsThatAreNoNumbersOrOutOfRangeAreRefused) {
  testing_support::ScopedStateDir state;
  const std::string dir = state.Sub("jr");
  for (const char* counts : {" 99999999999 1", " -5 1", " 3x 1", " 3 1.5", " 100001 1", " 3 99999999999999999999"}) {
    std::string output;
    EXPECT_EQ(RunCommand(Tool("next " + dir + counts) + " 2>&1", &output), 2) << counts;
    EXPECT_NE(output.find("usage: config_file_tool"), std::string::npos) << output;
  }
}
