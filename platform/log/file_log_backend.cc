#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <ctime>
#include <mutex>

#include "platform/log/log_backend.h"
#include "platform/settings/settings.h"
#include "platform/sim/fs_util.h"
#include "platform/text/format.h"

namespace platform {
namespace {

// Keeps one descriptor open per log path; reopens when the settings point
// elsewhere (tests switch state directories).
class FileLogBackend : public LogBackend {
 public:
  int Level() override { return Settings::LogLevel(); }

  void Write(int level, const char* function, int line, const std::string& text) override {
    const std::string path = Settings::LogFile();
    std::lock_guard<std::mutex> guard(mutex_);
    if (path != path_ || fd_ < 0) {
      if (fd_ >= 0) ::close(fd_);
      MakeDirectories(ParentOf(path));
      fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      path_ = path;
      if (fd_ < 0) return;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts;
    localtime_r(&now.tv_sec, &parts);
    std::string record = Format("%d %lx %02d/%02d %02d:%02d:%02d.%03ld [%d] %s:%d ", static_cast<int>(getpid()),
                                static_cast<unsigned long>(pthread_self()), parts.tm_mon + 1, parts.tm_mday,
                                parts.tm_hour, parts.tm_min, parts.tm_sec, now.tv_nsec / 1000000, level,
                                function ? function : "", line);
    record += text;
    if (record.empty() || record.back() != '\n') record += '\n';
    // One write per record keeps lines of concurrent processes whole.
    ssize_t ignored = ::write(fd_, record.data(), record.size());
    (void)ignored;
  }

 private:
  std::mutex mutex_;
  std::string path_;
  int fd_ = -1;
};

}  // namespace

LogBackend& LogBackend::Default() {
  static FileLogBackend* backend = new FileLogBackend();  // lives as long as the process
  return *backend;
}

}  // namespace platform
