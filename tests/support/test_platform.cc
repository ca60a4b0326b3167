#include "support/test_platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/harness/sim_harness.h"
#include "platform/settings/settings.h"
#include "platform/sim/fs_util.h"
#include "support/temporary_folder.h"

namespace testing_support {
namespace {

const char* kManagedVariables[] = {"BLB_STATE_DIR", "BLB_REGISTRY_FILE", "BLB_LOG_FILE", "BLB_SLEEP_FACTOR"};

}  // namespace

ScopedStateDir::ScopedStateDir() {
  for (const char* name : kManagedVariables) {
    const char* value = std::getenv(name);
    saved_.emplace_back(name, value ? value : std::string("\x01"));
  }
  path_ = MakeTemporaryFolder("blbtest");
  if (path_.empty()) path_ = TemporaryDirectory() + "/blbtest.failed";
  platform::Settings::SetStateDir(path_.c_str());
  unsetenv("BLB_REGISTRY_FILE");
  unsetenv("BLB_LOG_FILE");
  setenv("BLB_SLEEP_FACTOR", "0", 1);
  EXPECT_TRUE(blbsim::InitStateDir());
}

ScopedStateDir::~ScopedStateDir() {
  // Switched back before the directory goes: the switch tells whoever
  // watches this directory's faults (the shared library's platform) to look
  // at the one in use again.
  for (const auto& [name, value] : saved_) {
    const bool unset = value == "\x01";
    if (name == "BLB_STATE_DIR")
      platform::Settings::SetStateDir(unset ? nullptr : value.c_str());
    else if (unset)
      unsetenv(name.c_str());
    else
      setenv(name.c_str(), value.c_str(), 1);
  }
  platform::RemoveTree(path_);
}

CapturingLog::CapturingLog(int level) : level_(level), scope_(*this) {}

CapturingLog::~CapturingLog() = default;

void CapturingLog::Write(int level, const char* function, int, const std::string& text) {
  // A line written from inside a lambda with the compiler's name of the
  // function names the lambda, not the function it is written for.
  if (function != nullptr && std::string(function) == "operator()")
    ADD_FAILURE() << "log line names no function: " << text;
  std::lock_guard<std::mutex> guard(mutex_);
  lines_.push_back("[" + std::to_string(level) + "] " + (function ? function : "") + ": " + text);
}

bool CapturingLog::Contains(const std::string& text) const {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const std::string& line : lines_)
    if (line.find(text) != std::string::npos) return true;
  return false;
}

std::vector<std::string> CapturingLog::Lines() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return lines_;
}

void CapturingLog::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  lines_.clear();
}

ScopedCwd::ScopedCwd(const std::string& dir) {
  char here[PATH_MAX];
  saved_ = ::getcwd(here, sizeof here) ? here : "/";
  EXPECT_EQ(::chdir(dir.c_str()), 0) << dir;
}

ScopedCwd::~ScopedCwd() {
  (void)::chdir(saved_.c_str());
}

void WriteFile(const std::string& path, const std::string& contents) {
  platform::MakeDirectories(platform::ParentOf(path));
  ASSERT_TRUE(platform::WriteFileAtomically(path, contents)) << path;
}

std::string ReadFile(const std::string& path) {
  std::string contents;
  EXPECT_TRUE(platform::ReadWholeFile(path, contents)) << path;
  return contents;
}

bool FileExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace testing_support
