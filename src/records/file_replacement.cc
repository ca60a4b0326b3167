#include "records/file_replacement.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "platform/fs/fx_file.h"
#include "platform/fs/qi_directory.h"
#include "platform/memory/auto_handle.h"
#include "platform/text/fx_string.h"

namespace records {
namespace {

CQiError Sync(const std::string& path, int flags) {
  auto_handle handle(::open(path.c_str(), flags | O_CLOEXEC));
  if (handle.get() < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open %s", path.c_str());
  CQiError err = FXFile::KZFlushFile(handle.get());
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

std::string FolderOf(const std::string& path) {
  const FXString folder = FXPath::GetParent(path);
  return folder.empty() ? "." : std::string(folder);
}

}  // namespace

std::string TemporaryNameFor(const std::string& path) {
  static std::atomic<unsigned long> sequence{0};
  return FXString::Format("%s.tmp.%ld.%lu", path.c_str(), static_cast<long>(::getpid()), sequence.fetch_add(1));
}

CQiError ReplaceWithTemporary(const std::string& temporary, const std::string& path) {
  CQiError err = Sync(temporary, O_RDONLY);
  if (!err.IsError() && rename_utf(temporary.c_str(), path.c_str()) != 0)
    err = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to rename %s to %s", temporary.c_str(), path.c_str());
  if (err.IsError()) {
    unlink_utf(temporary.c_str());
    return err.Push(FXCODELOC);
  }
  // The rename itself must outlive a crash too. A folder that cannot be
  // synced still holds the complete new file.
  SyncFolder(FolderOf(path));
  return err;
}

CQiError SyncFile(const std::string& path) {
  CQiError err = Sync(path, O_RDONLY);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to sync %s to disk", path.c_str());
  return err;
}

CQiError SyncFolder(const std::string& folder) {
  CQiError err = Sync(folder, O_RDONLY | O_DIRECTORY);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to sync folder %s to disk", folder.c_str());
  return err;
}

CQiError CreateFolderDurably(const std::string& folder, bool recursive) {
  // The folders that are missing, the deepest first.
  std::vector<std::string> missing;
  for (std::string at = folder; !at.empty() && at != "." && at != "/" && !FXPath::DoesPathExist(at);
       at = FXPath::GetParent(at)) {
    missing.push_back(at);
    if (!recursive) break;
  }
  if (missing.empty()) return CQiError();
  CQiError err = CQiDirectory::Create(folder.c_str(), recursive);
  if (err.IsError()) return err.Push(FXCODELOC);
  // Each new name lives in its parent; the topmost parent was there before.
  for (auto made = missing.rbegin(); made != missing.rend(); ++made) {
    err = SyncFolder(FolderOf(*made));
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  return err;
}

}  // namespace records
