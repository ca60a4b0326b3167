#include "platform/process/kz_process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>

#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

TEST(KzProcessSystem, CapturesOutputErrorAndExitStatus) {
  testing_support::ScopedStateDir state;
  std::string output;
  std::string error;
  EXPECT_EQ(KzProcess::system("printf 'a b\\n' | tr -d ' '; echo oops >&2", &output, &error, 0, false), 0);
  EXPECT_EQ(output, "ab\n");
  EXPECT_EQ(error, "oops\n");

  EXPECT_EQ(KzProcess::system("echo out; echo err >&2; exit 3", &output, &error, 0, true), 3);
  EXPECT_EQ(output, "out\nerr\n");
  EXPECT_EQ(error, "command exited with status 3");  // nothing on stderr: the status is the explanation

  // Output larger than a pipe's buffer must not stall the command.
  EXPECT_EQ(KzProcess::system("head -c 300000 /dev/zero", &output, nullptr), 0);
  EXPECT_EQ(output.size(), 300000u);

  // A command that leaves a child holding the pipes still returns when it ends.
  EXPECT_EQ(KzProcess::system("(sleep 5 &) ; echo done", &output, &error), 0);
  EXPECT_EQ(output, "done\n");

  // Past its limit the command is killed.
  EXPECT_EQ(KzProcess::system("sleep 30", &output, &error, 1, false), 128 + SIGKILL);
  EXPECT_NE(error.find("killed"), std::string::npos);
}

TEST(KzProcessSystem, InjectedFaultFailsWithoutRunning) {
  testing_support::ScopedStateDir state;
  const std::string marker = state.Sub("ran");
  platform::FaultTable::Set("KzProcess::system", 5, false, 1);
  std::string error;
  EXPECT_EQ(KzProcess::system("touch " + marker, nullptr, &error), 5);
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(testing_support::FileExists(marker));
  EXPECT_EQ(KzProcess::system("touch " + marker, nullptr, &error), 0);  // the fault was counted
  EXPECT_TRUE(testing_support::FileExists(marker));
}

TEST(KzProcessStart, WaitsForTheEndOrReportsTimedOut) {
  testing_support::ScopedStateDir state;
  char error[1024];
  {
    setenv("BLB_SLEEP_FACTOR", "1", 1);
    KzProcess quick;
    ASSERT_TRUE(quick.StartProcess(nullptr, "exit 4", error, sizeof error, 0)) << error;
    EXPECT_GT(quick.getProcessId(), 0);
    EXPECT_EQ(quick.WaitForProcessToEnd(30, error, sizeof error), 1) << error;
    EXPECT_EQ(quick.getExitCode(), 4);
  }
  {
    // Time-outs scale with the sleep factor: 10 s become 0.1 s here.
    setenv("BLB_SLEEP_FACTOR", "0.01", 1);
    KzProcess slow;
    ASSERT_TRUE(slow.StartProcess(nullptr, "sleep 30", error, sizeof error, 0)) << error;
    EXPECT_EQ(slow.WaitForProcessToEnd(10, error, sizeof error), 0);
    EXPECT_STREQ(error, "timedout");
    EXPECT_EQ(slow.getExitCode(), -1);
    ASSERT_EQ(slow.kill(SIGINT), 0);
    EXPECT_EQ(slow.WaitForProcessToEnd(-1, error, sizeof error), 1) << error;
    EXPECT_EQ(slow.getExitCode(), 128 + SIGINT);
  }
}

TEST(KzProcessStart, RefusesWhatCannotRun) {
  testing_support::ScopedStateDir state;
  char error[1024];
  KzProcess process;
  const std::string missing = state.Sub("no-such-script.sh");
  EXPECT_FALSE(process.StartProcess(missing.c_str(), (missing + " -x").c_str(), error, sizeof error, 0));
  EXPECT_NE(std::string(error).find("No such file"), std::string::npos) << error;
  EXPECT_EQ(process.getProcessId(), -1);
  EXPECT_EQ(process.WaitForProcessToEnd(1, error, sizeof error), -1);

  char tiny[8];
  EXPECT_FALSE(process.StartProcess(missing.c_str(), "x", tiny, sizeof tiny, 0));
  EXPECT_EQ(std::string(tiny).size(), sizeof tiny - 1);  // cut to the buffer, still terminated

  platform::FaultTable::Set("KzProcess::StartProcess", 1, false, 1);
  EXPECT_FALSE(process.StartProcess(nullptr, "true", error, sizeof error, 0));
  platform::FaultTable::Set("KzProcess::WaitForProcessToEnd", 1, false, 1);
  ASSERT_TRUE(process.StartProcess(nullptr, "true", error, sizeof error, 0));
  EXPECT_EQ(process.WaitForProcessToEnd(-1, error, sizeof error), -1);
  EXPECT_EQ(process.WaitForProcessToEnd(-1, error, sizeof error), 1);
}
