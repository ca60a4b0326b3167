#include "records/file_replacement.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
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

}  // namespace

std::string TemporaryNameFor(const std::string& path) {
  static std::atomic<unsigned long> sequence{0};
  return FXString::Format("%s.tmp.%ld.%lu", path.c_str(), static_cast<long>(::getpid()), sequence.fetch_add(1));
}

CQiError ReplaceWithTemporary(const std::string& temporary, const std::string& path, FolderSync folderSync) {
  CQiError err = Sync(temporary, O_RDONLY);
  if (!err.IsError() && rename_utf(temporary.c_str(), path.c_str()) != 0)
    err = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to rename %s to %s", temporary.c_str(), path.c_str());
  if (err.IsError()) {
    unlink_utf(temporary.c_str());
    return err.Push(FXCODELOC);
  }
  // The rename itself must outlive a crash too: a reader that relies on a
  // file whose name a power loss can take back may take less than it must
  // (a mark, a dirty flag), so a folder that cannot be synced fails the
  // replacement although the path holds the complete new file.
  if (folderSync == FolderSync::kNow) {
    err = SyncFolderOf(path);
    if (err.IsError()) return err.Push(FXCODELOC, "Failed to sync the folder of %s", path.c_str());
  }
  return err;
}

CQiError ExchangeTemporaryForFolder(const std::string& temporary, const std::string& path) {
  if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0) {
    CQiError err =
        FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to exchange the folder [%s] for a file", path.c_str());
    unlink_utf(temporary.c_str());
    return err;
  }
  CQiError err = SyncFolderOf(path);
  if (err.IsError()) return err.Push(FXCODELOC);
  if (::rmdir(temporary.c_str()) != 0) {
    EvDebug log;
    log.Error(__FUNCTION__, "Left the folder that stood at [%s] as [%s]: %s", path.c_str(), temporary.c_str(),
              std::strerror(errno));
  }
  return err;
}

CQiError SyncFolder(const std::string& folder) {
  const std::string name = folder.empty() ? "." : folder;
  CQiError err = Sync(name, O_RDONLY | O_DIRECTORY);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to sync folder %s", name.c_str());
  return err;
}

CQiError SyncFolderOf(const std::string& path) {
  CQiError err = SyncFolder(FXPath::GetParent(path));
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

}  // namespace records
