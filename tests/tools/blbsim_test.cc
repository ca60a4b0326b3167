// Runs the harness command the way an engineer would and reads what it left
// through the library's platform calls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/kz_platform_info.h"
#include "platform/settings/settings.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"
#include "support/blbsim_command.h"
#include "support/test_platform.h"

using testing_support::RunBlbsim;

TEST(blbsim, InitialisesAStateDirAndRoundTripsARegistryValue) {
  testing_support::ScopedStateDir scope;  // provides the environment; the tool re-initialises it
  const std::string dir = scope.Sub("fresh");
  ASSERT_EQ(RunBlbsim("", "init " + dir), 0);
  EXPECT_TRUE(testing_support::FileExists(dir + "/registry.ini"));
  EXPECT_TRUE(testing_support::FileExists(dir + "/agent.db"));

  ASSERT_EQ(RunBlbsim(dir, "reg set FileSystemAgent nExtentSizeForBlockFilterDriver 8"), 0);
  std::string out;
  ASSERT_EQ(RunBlbsim(dir, "reg get FileSystemAgent nExtentSizeForBlockFilterDriver", &out), 0);
  EXPECT_EQ(out, "8\n");

  platform::Settings::SetStateDir(dir.c_str());
  unsigned value = 4;
  EXPECT_NE(KZPlatformInfo::getNumber("FileSystemAgent", "nExtentSizeForBlockFilterDriver", &value), 0);
  EXPECT_EQ(value, 8u);
}

TEST(blbsim, RejectsUnknownVerbsAndBadUsage) {
  testing_support::ScopedStateDir scope;
  std::string out;
  EXPECT_EQ(RunBlbsim("", "nosuchverb", &out), 2);
  EXPECT_NE(out.find("unknown verb"), std::string::npos);
  EXPECT_EQ(RunBlbsim("", "reg get OnlySection", &out), 2);
  EXPECT_NE(out.find("usage: blbsim reg"), std::string::npos);
  EXPECT_EQ(RunBlbsim(scope.Path(), "fault set KzBfDriver::open 5 error 1"), 0);
  ASSERT_EQ(RunBlbsim(scope.Path(), "fault show", &out), 0);
  EXPECT_EQ(out, "KzBfDriver::open 5 error 1\n");

  // Mistyped numbers and modes are refused, not read as 0 (or as "every call").
  for (const char* bad :
       {"subclient 2 x 2", "subclient 2 7 2 0x", "client -3 c h /j", "fault set KzBfDriver::open five",
        "fault set KzBfDriver::open 5 eror", "fault set KzBfDriver::open 5 error -2", "snaphandler install seven",
        "snaphandler install 300", "hostname mangle c h port"})
    EXPECT_EQ(RunBlbsim(scope.Path(), bad, &out), 2) << bad << ": " << out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "fault show", &out), 0);
  EXPECT_EQ(out, "KzBfDriver::open 5 error 1\n");
  ASSERT_EQ(RunBlbsim(scope.Path(), "subclient 0x2 7 2 0 1 4", &out), 0) << out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "fault set KzBfDriver::open 5 error 0", &out), 0) << out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "fault set KzBfDriver::clearBitmap 2000 delay", &out), 0) << out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "fault show", &out), 0);
  EXPECT_EQ(out, "KzBfDriver::clearBitmap 2000 delay -1\n");
}

TEST(blbsim, FaultNamesAreCheckedAndListed) {
  testing_support::ScopedStateDir scope;
  std::string out;
  EXPECT_EQ(RunBlbsim(scope.Path(), "fault set No::SuchCall 5", &out), 2);
  EXPECT_NE(out.find("no failable call is named 'No::SuchCall'"), std::string::npos) << out;
  EXPECT_EQ(RunBlbsim(scope.Path(), "fault set KzBfDriver::getBitmp 5", &out), 2);
  EXPECT_NE(out.find("nearest: KzBfDriver::getBitmap"), std::string::npos) << out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "fault show", &out), 0);
  EXPECT_EQ(out, "");  // nothing was set

  ASSERT_EQ(RunBlbsim(scope.Path(), "fault list", &out), 0);
  EXPECT_NE(out.find("\nKzBfDriver::getBitmap\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nKzFileLock::lock\n"), std::string::npos) << out;
}

TEST(blbsim, AFaultSetFromTheShellReachesAProcessLoopingOverTheCall) {
  testing_support::ScopedStateDir scope;
  using Clock = std::chrono::steady_clock;
  std::atomic<bool> started{false};
  Clock::time_point seenAt{};
  std::thread loop([&] {
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(30);
    int code = 0;
    bool faulted = false;
    while (!faulted && Clock::now() < giveUp) {
      faulted = platform::InjectedFaultCode("KzBfDriver::getBitmap", code);
      started = true;
    }
    if (faulted) seenAt = Clock::now();
  });
  while (!started) std::this_thread::yield();
  ASSERT_EQ(RunBlbsim(scope.Path(), "fault set KzBfDriver::getBitmap 5"), 0);
  const Clock::time_point setAt = Clock::now();
  loop.join();
  ASSERT_NE(seenAt, Clock::time_point{}) << "the fault was never seen";
  // Seen at once through the directory's shared generation; the bound
  // leaves room for a loaded machine.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(seenAt - setAt).count(), 3000);
}

TEST(blbsim, AProcessThatSwitchesToAStateDirWithFaultsSeesThemAtOnce) {
  testing_support::ScopedStateDir scope;
  const std::string other = scope.Sub("other");
  ASSERT_EQ(RunBlbsim("", "init " + other), 0);
  ASSERT_EQ(RunBlbsim(other, "fault set KzBfDriver::getBitmap 5"), 0);
  int code = 0;
  EXPECT_FALSE(platform::InjectedFaultCode("KzBfDriver::getBitmap", code));  // this thread's copy: no fault
  platform::Settings::SetStateDir(other.c_str());
  EXPECT_TRUE(platform::InjectedFaultCode("KzBfDriver::getBitmap", code));
  EXPECT_EQ(code, 5);
  platform::Settings::SetStateDir(scope.Path().c_str());
  EXPECT_FALSE(platform::InjectedFaultCode("KzBfDriver::getBitmap", code));
}

TEST(blbsim, AThrowingFaultEndsTheVerbWithItsMessage) {
  testing_support::ScopedStateDir scope;
  std::string out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "fault set KzFileLock::lock 5 throw", &out), 0) << out;
  EXPECT_EQ(RunBlbsim(scope.Path(), "kzbf query /dev/loop0", &out), 1);
  EXPECT_NE(out.find("KzException: Injected fault in KzFileLock::lock"), std::string::npos) << out;
}

TEST(blbsim, ANewerStateDatabaseIsRefusedUntilInitReset) {
  testing_support::ScopedStateDir scope;
  const std::string db = scope.Sub("agent.db");
  std::string out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "client 9 old old.host /jr", &out), 0) << out;
  ASSERT_EQ(testing_support::RunCommand("sqlite3 " + db + " 'PRAGMA user_version = 1000;'", &out), 0) << out;
  EXPECT_EQ(RunBlbsim(scope.Path(), "fault show", &out), 1);
  EXPECT_NE(out.find(db), std::string::npos) << out;
  EXPECT_NE(out.find("newer than this build"), std::string::npos) << out;

  ASSERT_EQ(RunBlbsim(scope.Path(), "init --reset", &out), 0) << out;
  EXPECT_EQ(out, scope.Path() + "\n");
  EXPECT_EQ(RunBlbsim(scope.Path(), "fault show", &out), 0) << out;
  EXPECT_EQ(testing_support::RunCommand("sqlite3 " + db + " 'SELECT count(*) FROM clients WHERE id = 9;'", &out), 0);
  EXPECT_EQ(out, "0\n");  // started over
  EXPECT_TRUE(testing_support::FileExists(scope.Sub("registry.ini")));
}

TEST(blbsim, InitResetDropsJobsArchiveStreamsDetailsAndReportsButKeepsOtherFiles) {
  testing_support::ScopedStateDir scope;
  std::string out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "init", &out), 0) << out;
  const std::vector<std::string> jobFiles = {"archive/job-5.stream", "jobs/5/xml_blob", "reports/5/hashes.txt"};
  for (const std::string& file : jobFiles) {
    ASSERT_TRUE(platform::MakeDirectories(scope.Sub(file.substr(0, file.rfind('/')))));
    testing_support::WriteFile(scope.Sub(file), "an earlier job 5");
  }
  testing_support::WriteFile(scope.Sub("mine.txt"), "not the layout's");
  ASSERT_EQ(RunBlbsim(scope.Path(), "init --reset", &out), 0) << out;
  for (const std::string& file : jobFiles) EXPECT_FALSE(testing_support::FileExists(scope.Sub(file))) << file;
  EXPECT_TRUE(testing_support::FileExists(scope.Sub("mine.txt")));
}
