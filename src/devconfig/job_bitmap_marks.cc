#include "devconfig/job_bitmap_marks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs/fx_file.h"
#include "platform/memory/auto_handle.h"
#include "platform/text/fx_string.h"
#include "records/file_replacement.h"

namespace devconfig {
namespace {

std::string MarkPath(const std::string& bitmapFile, const std::string& key) {
  return bitmapFile + "." + key;
}

// A job id in decimal as JobKeyOf writes it: digits, no leading zero, not 0.
bool IsJobKey(const std::string& text) {
  if (text.empty() || text.size() > 20 || text[0] == '0') return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// Job ids grow: of two keys, the longer is the later, else the greater.
bool IsLaterJob(const std::string& key, const std::string& than) {
  return key.size() != than.size() ? key.size() > than.size() : key > than;
}

}  // namespace

std::string JobKeyOf(const TarvosJobInfo& job) {
  return std::to_string(job.GetJobId());
}

CQiError MarkBitmapForJob(const std::string& bitmapFile, const std::string& key) {
  const std::string mark = MarkPath(bitmapFile, key);
  {
    auto_handle file(::open(mark.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    // No folder, no bitmap file this step could write into it either.
    if (file.get() < 0 && errno == ENOENT) return CQiError();
    if (file.get() < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to create %s", mark.c_str());
  }
  // The mark must be on disk before the driver is cleared: without it a
  // re-run would remove the file holding the cleared bits.
  CQiError err = records::SyncFolderOf(mark);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

bool IsBitmapMarkedForJob(const std::string& bitmapFile, const std::string& key) {
  return ::access(MarkPath(bitmapFile, key).c_str(), F_OK) == 0;
}

std::string LastCompletedJobKeyOf(const TarvosJobInfo& job) {
  const std::vector<std::string>& args = job.GetArgs();
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] != "-lsjid") continue;
    return IsJobKey(args[i + 1]) ? args[i + 1] : std::string();
  }
  return std::string();
}

bool IsBitmapMarkedForUncompletedJob(const std::string& bitmapName, const std::vector<std::string>& folderNames,
                                     const std::string& lastKey) {
  if (lastKey.empty()) return false;
  const std::string prefix = MarkPath(bitmapName, std::string());
  for (const std::string& name : folderNames) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string key = name.substr(prefix.size());
    if (IsJobKey(key) && IsLaterJob(key, lastKey)) return true;
  }
  return false;
}

}  // namespace devconfig
