#include "platform/log/ev_debug.h"

#include <gtest/gtest.h>

#include "support/test_platform.h"

using testing_support::CapturingLog;
using testing_support::ReadFile;
using testing_support::ScopedStateDir;

TEST(EvDebug, BothFormsHonourTheLevel) {
  CapturingLog log(3);
  EvDebug debug;
  debug.DebugLvl("Fn", 3, "kept %d", 1);
  debug.DebugLvl("Fn", 4, "dropped %d", 2);
  debug.Error("Fn", "error %s", "e");
  KZLOG(2, "second form %d", 3);
  KZLOG(7, "second form dropped");
  EXPECT_TRUE(log.Contains("kept 1"));
  EXPECT_FALSE(log.Contains("dropped"));
  EXPECT_TRUE(log.Contains("[-1] Fn: error e"));
  EXPECT_TRUE(log.Contains("second form 3"));
  EXPECT_TRUE(EvDebug::IsLevelEnabled(3));
  EXPECT_FALSE(EvDebug::IsLevelEnabled(4));
}

TEST(EvDebug, DefaultBackendWritesTheStateLogFile) {
  ScopedStateDir state;
  setenv("BLB_LOG_LEVEL", "5", 1);
  EvDebug().DebugLvl("Fn", 5, "to the file %s", "ok");
  unsetenv("BLB_LOG_LEVEL");
  // Unset, the level is 1: detailed per-extent lines stay out of the file.
  EvDebug().DebugLvl("Fn", 1, "summary line");
  EvDebug().DebugLvl("Fn", 2, "detail line");
  KZLOG(3, "per-byte line");
  const std::string written = ReadFile(state.Sub("logs/blocklevel.log"));
  EXPECT_NE(written.find("to the file ok"), std::string::npos);
  EXPECT_NE(written.find("summary line"), std::string::npos);
  EXPECT_EQ(written.find("detail line"), std::string::npos);
  EXPECT_EQ(written.find("per-byte line"), std::string::npos);
}
