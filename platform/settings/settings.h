#pragma once
// Settings of the stand-in platform, read from the environment at each call
// so that a test can point the whole platform at its own state directory.
//
//   BLB_STATE_DIR      root of all simulated state (default /var/tmp/blbsim)
//   BLB_REGISTRY_FILE  the agent registry (default $BLB_STATE_DIR/registry.ini)
//   BLB_LOG_FILE       the debug log (default $BLB_STATE_DIR/logs/blocklevel.log)
//   BLB_LOG_LEVEL      highest level written, -1..7 (default 1)
//   BLB_SLEEP_FACTOR   factor on platform sleeps and time-outs (default 1.0)
#include <string>

namespace platform {

struct Settings {
  static std::string StateDir();
  // The same without a copy, for checks made at every call.
  static const char* StateDirText();
  static std::string RegistryFile();
  static std::string LogFile();
  static int LogLevel();
  static double SleepFactor();
  // A path below the state directory.
  static std::string StatePath(const std::string& relative);
};

}  // namespace platform
