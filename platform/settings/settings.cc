#include "platform/settings/settings.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "platform/sim/fault_generation.h"

namespace platform {
namespace {

std::atomic<unsigned long long> g_stateDirEpoch{0};

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? std::string(value) : fallback;
}

// A relative path joined to the current directory; as it is when that
// cannot be read.
std::string Anchored(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char* current = ::getcwd(nullptr, 0);
  if (current == nullptr) return path;
  std::string anchored = current;
  std::free(current);
  return anchored + "/" + path;
}

}  // namespace

const char* Settings::StateDirText() {
  const char* value = std::getenv("BLB_STATE_DIR");
  return (value != nullptr && *value != '\0') ? value : "/var/tmp/blbsim";
}

void Settings::SetStateDir(const char* dir) {
  const std::string left = StateDirText();
  if (dir != nullptr)
    ::setenv("BLB_STATE_DIR", Anchored(dir).c_str(), 1);
  else
    ::unsetenv("BLB_STATE_DIR");
  g_stateDirEpoch.fetch_add(1, std::memory_order_acq_rel);
  // After the change: whoever looks on being told finds the new directory.
  if (left != StateDirText()) FaultGeneration::RaiseLeft(left);
}

void Settings::AnchorStateDir() {
  const char* value = std::getenv("BLB_STATE_DIR");
  if (value != nullptr && *value != '\0' && *value != '/') SetStateDir(value);
}

unsigned long long Settings::StateDirEpoch() {
  return g_stateDirEpoch.load(std::memory_order_acquire);
}

std::string Settings::StateDir() {
  return StateDirText();
}

std::string Settings::StatePath(const std::string& relative) {
  return StateDir() + "/" + relative;
}

std::string Settings::RegistryFile() {
  return EnvOr("BLB_REGISTRY_FILE", StatePath("registry.ini"));
}

std::string Settings::LogFile() {
  return EnvOr("BLB_LOG_FILE", StatePath("logs/blocklevel.log"));
}

int Settings::LogLevel() {
  // Level 1 by default: the detailed levels log per extent and per bitmap
  // byte, which floods the log on large volumes.
  constexpr int kDefaultLevel = 1;
  const std::string text = EnvOr("BLB_LOG_LEVEL", std::to_string(kDefaultLevel));
  char* end = nullptr;
  long level = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str()) return kDefaultLevel;
  if (level < -1) return -1;
  if (level > 7) return 7;
  return static_cast<int>(level);
}

double Settings::SleepFactor() {
  const std::string text = EnvOr("BLB_SLEEP_FACTOR", "1");
  char* end = nullptr;
  double factor = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !(factor >= 0.0)) return 1.0;
  return factor;
}

}  // namespace platform
