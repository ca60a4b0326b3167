#include "records/durable_files.h"

#include <fcntl.h>

#include <vector>

#include "platform/fs/fx_file.h"
#include "platform/fs/qi_directory.h"
#include "platform/memory/auto_handle.h"
#include "platform/text/fx_string.h"
#include "records/file_replacement.h"

namespace records {

CQiError SyncFile(const std::string& path) {
  auto_handle handle(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (handle.get() < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open %s to sync it", path.c_str());
  CQiError err = FXFile::KZFlushFile(handle.get());
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to sync %s to disk", path.c_str());
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
    err = SyncFolderOf(*made);
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  return err;
}

}  // namespace records
