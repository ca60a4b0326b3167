#pragma once
// Fixtures shared by the tests: a private state directory for the simulated
// platform, and capturing log and event backends.
#include <mutex>
#include <string>
#include <vector>

#include "platform/event/ev_event.h"
#include "platform/log/log_backend.h"

namespace testing_support {

// A fresh state directory for the test's scope: BLB_STATE_DIR points at it,
// platform sleeps are skipped, the layout is initialised; everything is
// removed afterwards.
class ScopedStateDir {
 public:
  ScopedStateDir();
  ~ScopedStateDir();
  ScopedStateDir(const ScopedStateDir&) = delete;
  ScopedStateDir& operator=(const ScopedStateDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string Sub(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
  std::vector<std::pair<std::string, std::string>> saved_;
};

// Records every log line of level <= Level() while installed.
class CapturingLog : public platform::LogBackend {
 public:
  explicit CapturingLog(int level = 7);
  ~CapturingLog() override;
  int Level() override { return level_; }
  void Write(int level, const char* function, int line, const std::string& text) override;

  bool Contains(const std::string& text) const;
  std::vector<std::string> Lines() const;
  void Clear();

 private:
  int level_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  platform::Log::Scope scope_;
};

class CapturingEvents : public platform::EventBackend {
 public:
  CapturingEvents() : scope_(*this) {}
  void Raise(const platform::RaisedEvent& event) override { events.push_back(event); }
  std::vector<platform::RaisedEvent> events;

 private:
  platform::Events::Scope scope_;
};

// The working directory for the test's scope; the earlier one afterwards.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ~ScopedCwd();
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  std::string saved_;
};

// Writes a file (creating its folders); fails the test when it cannot.
void WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace testing_support
