// Runs the harness command the way an engineer would and reads what it left
// through the library's platform calls.
#include <gtest/gtest.h>

#include <string>

#include "platform/registry/kz_platform_info.h"
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

  setenv("BLB_STATE_DIR", dir.c_str(), 1);
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
  EXPECT_EQ(RunBlbsim(scope.Path(), "fault set X::y 5 error 1"), 0);
  ASSERT_EQ(RunBlbsim(scope.Path(), "fault list", &out), 0);
  EXPECT_EQ(out, "X::y 5 error 1\n");

  // Mistyped numbers and modes are refused, not read as 0 (or as "every call").
  for (const char* bad : {"subclient 2 x 2", "subclient 2 7 2 0x", "client -3 c h /j", "fault set X::y five",
                          "fault set X::y 5 eror", "fault set X::y 5 error -2", "snaphandler install seven",
                          "snaphandler install 300", "hostname mangle c h port"})
    EXPECT_EQ(RunBlbsim(scope.Path(), bad, &out), 2) << bad << ": " << out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "fault list", &out), 0);
  EXPECT_EQ(out, "X::y 5 error 1\n");
  ASSERT_EQ(RunBlbsim(scope.Path(), "subclient 0x2 7 2 0 1 4", &out), 0) << out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "fault set X::y 5 error 0", &out), 0) << out;
  ASSERT_EQ(RunBlbsim(scope.Path(), "fault list", &out), 0);
  EXPECT_EQ(out, "");
}
