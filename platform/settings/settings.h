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
  // The same without a copy.
  static const char* StateDirText();
  // Points the platform at another state directory (nullptr: back to the
  // default) and raises StateDirEpoch. Whatever caches what it read from the
  // state directory keys it on the epoch, so every change of BLB_STATE_DIR
  // within a process goes through here. It raises the fault generation of
  // the directory left as well: a copy of the platform that keeps another
  // epoch (the shared library's) watches that.
  // A relative dir is taken from the current directory.
  static void SetStateDir(const char* dir);
  // Makes a relative BLB_STATE_DIR absolute: the paths recorded in the state
  // (snapshot images, bitmap files) then name the same files from whatever
  // directory a later command runs in.
  static void AnchorStateDir();
  // Raised by every SetStateDir; cheap enough for checks made at every call.
  static unsigned long long StateDirEpoch();
  static std::string RegistryFile();
  static std::string LogFile();
  static int LogLevel();
  static double SleepFactor();
  // A path below the state directory.
  static std::string StatePath(const std::string& relative);
};

}  // namespace platform
