#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/harness/sim_harness.h"
#include "platform/harness/snap_handler_harness.h"
#include "platform/sim/fault_table.h"
#include "records/device_queries.h"
#include "support/test_platform.h"

TEST(FireUserGivenScript, RunsTheHandlerWithTheJobsCommandLine) {
  testing_support::ScopedStateDir state;
  testing_support::CapturingLog log;
  setenv("BLB_SLEEP_FACTOR", "1", 1);  // the wait lasts until the script ends
  ASSERT_TRUE(blbsim::InstallSnapHandlerScript(3, 0));
  const std::string script = state.Sub("install/Base/ImgUxaSnapHandler.sh");

  // A script that ended counts, whatever its status.
  EXPECT_TRUE(FireUserGivenScript(" -vol /data", " -mode pre", 4711));
  const std::vector<blbsim::SnapHandlerCall> calls = blbsim::SnapHandlerCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].commandLine, script + " -mode pre -vol /data -jobid 4711");
  EXPECT_TRUE(log.Contains("Running ['" + script + "' -mode pre -vol /data -jobid 4711]"));
  // No separator is added: texts without blanks run together.
  EXPECT_TRUE(FireUserGivenScript("B", " A", 1));
  EXPECT_EQ(blbsim::SnapHandlerCalls().back().commandLine, script + " AB -jobid 1");
}

TEST(FireUserGivenScript, AScriptStillRunningAtTheTimeOutCounts) {
  testing_support::ScopedStateDir state;
  setenv("BLB_SLEEP_FACTOR", "0.02", 1);  // the wait of 10 s lasts 0.2 s
  ASSERT_TRUE(blbsim::InstallSnapHandlerScript(0, 30));
  EXPECT_TRUE(FireUserGivenScript("", "", 5));
  // The script was left running; stop it rather than let it outlive the test.
  for (int look = 0; look < 200 && blbsim::SnapHandlerCalls().empty(); ++look) ::usleep(10000);
  for (const blbsim::SnapHandlerCall& call : blbsim::SnapHandlerCalls()) {
    const pid_t group = ::getpgid(static_cast<pid_t>(call.pid));
    if (group > 1 && group != ::getpgrp()) ::kill(-group, SIGKILL);
  }
}

TEST(FireUserGivenScript, FailsWithoutRegistryScriptOrWait) {
  testing_support::ScopedStateDir state;
  testing_support::CapturingLog log;
  setenv("BLB_SLEEP_FACTOR", "1", 1);

  // No script installed: nothing starts and nothing is waited for.
  EXPECT_FALSE(FireUserGivenScript("", "", 1));
  EXPECT_TRUE(log.Contains("Could not execute the script:"));
  EXPECT_FALSE(log.Contains("Waiting for the scrip to die failed"));

  ASSERT_TRUE(blbsim::InstallSnapHandlerScript(0, 0));
  platform::FaultTable::Set("KzProcess::WaitForProcessToEnd", 1, false, 1);
  EXPECT_FALSE(FireUserGivenScript("", "", 1));
  EXPECT_TRUE(log.Contains("Waiting for the scrip to die failed:Injected fault"));

  platform::FaultTable::Set("KzProcess::StartProcess", 1, true, 1);  // throws
  EXPECT_FALSE(FireUserGivenScript("", "", 1));
  EXPECT_TRUE(log.Contains("KzException: Injected fault in KzProcess::StartProcess"));

  ASSERT_TRUE(blbsim::RemoveRegistryValue("Base", "dTARVOSHOME"));
  EXPECT_FALSE(FireUserGivenScript("", "", 1));
  EXPECT_TRUE(log.Contains("Failed to retrieve KZPI_TARVOSHOME from the KZPI_BASE registry"));
}

TEST(FireUserGivenScript, RunsFromAnyInstallDirectoryAndFailsWhenTheShellCannotRunIt) {
  testing_support::ScopedStateDir state;
  setenv("BLB_SLEEP_FACTOR", "1", 1);
  for (const char* home : {"a b", "x$(touch PWNED)", "q'uote"}) {
    ASSERT_TRUE(blbsim::SetRegistryValue("Base", "dTARVOSHOME", state.Sub(home)));
    ASSERT_TRUE(blbsim::InstallSnapHandlerScript(0, 0));
    EXPECT_TRUE(FireUserGivenScript(" -vol /data", "", 7)) << home;
    const std::vector<blbsim::SnapHandlerCall> calls = blbsim::SnapHandlerCalls();
    ASSERT_EQ(calls.size(), 1u) << home;
    EXPECT_EQ(calls[0].commandLine, blbsim::SnapHandlerScriptPath() + " -vol /data -jobid 7");
  }
  EXPECT_FALSE(testing_support::FileExists("PWNED"));
  EXPECT_FALSE(testing_support::FileExists(state.Sub("PWNED")));

  // A script the shell cannot start (its interpreter is missing) did not run.
  testing_support::WriteFile(blbsim::SnapHandlerScriptPath(), "#!/no/such/interpreter\n");
  ASSERT_EQ(::chmod(blbsim::SnapHandlerScriptPath().c_str(), 0755), 0);
  EXPECT_FALSE(FireUserGivenScript("", "", 8));
  ASSERT_TRUE(blbsim::RemoveSnapHandlerScript());
  EXPECT_FALSE(FireUserGivenScript("", "", 9));
}
