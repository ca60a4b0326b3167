// The stand-in snapshot handler script, installed and inspected through blbsim.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "platform/harness/snap_handler_harness.h"
#include "support/test_platform.h"

namespace {

int RunShell(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  std::string text;
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  int status = ::pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(blbsim, InstallsASnapHandlerScriptThatRecordsItsRuns) {
  testing_support::ScopedStateDir scope;
  const std::string blbsim = std::string(BLBSIM_PATH) + " --state " + scope.Path() + " ";
  std::string out;
  ASSERT_EQ(RunShell(blbsim + "snaphandler install 7", &out), 0) << out;
  const std::string script = scope.Path() + "/install/Base/ImgUxaSnapHandler.sh";
  EXPECT_EQ(out, script + "\n");
  struct stat info;
  ASSERT_EQ(::stat(script.c_str(), &info), 0);
  EXPECT_NE(info.st_mode & S_IXUSR, 0u);

  EXPECT_EQ(RunShell(script + " -mode pre -jobid 9"), 7);
  ASSERT_EQ(RunShell(blbsim + "snaphandler calls", &out), 0);
  EXPECT_NE(out.find(" " + script + " -mode pre -jobid 9\n"), std::string::npos) << out;
  ASSERT_EQ(blbsim::SnapHandlerCalls().size(), 1u);
  EXPECT_GT(blbsim::SnapHandlerCalls()[0].pid, 0);

  EXPECT_EQ(RunShell(blbsim + "snaphandler remove"), 0);
  EXPECT_FALSE(testing_support::FileExists(script));
  EXPECT_EQ(RunShell(blbsim + "snaphandler bogus"), 2);
}
