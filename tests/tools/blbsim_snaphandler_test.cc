// The stand-in snapshot handler script, installed and inspected through blbsim.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/harness/snap_handler_harness.h"
#include "support/blbsim_command.h"
#include "support/test_platform.h"

using testing_support::RunBlbsim;
using testing_support::RunCommand;

TEST(blbsim, InstallsASnapHandlerScriptThatRecordsItsRuns) {
  testing_support::ScopedStateDir scope;
  std::string out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "snaphandler install 7", &out), 0) << out;
  const std::string script = scope.Path() + "/install/Base/ImgUxaSnapHandler.sh";
  EXPECT_EQ(out, script + "\n");
  struct stat info;
  ASSERT_EQ(::stat(script.c_str(), &info), 0);
  EXPECT_NE(info.st_mode & S_IXUSR, 0u);

  EXPECT_EQ(RunCommand(script + " -mode pre -jobid 9"), 7);
  ASSERT_EQ(RunBlbsim(scope.Path(), "snaphandler calls", &out), 0);
  EXPECT_NE(out.find(" " + script + " -mode pre -jobid 9\n"), std::string::npos) << out;
  ASSERT_EQ(blbsim::SnapHandlerCalls().size(), 1u);
  EXPECT_GT(blbsim::SnapHandlerCalls()[0].pid, 0);

  EXPECT_EQ(RunBlbsim(scope.Path(), "snaphandler remove"), 0);
  EXPECT_FALSE(testing_support::FileExists(script));
  EXPECT_EQ(RunBlbsim(scope.Path(), "snaphandler bogus"), 2);
}
