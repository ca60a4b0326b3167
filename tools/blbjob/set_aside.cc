#include "set_aside.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/memory/auto_handle.h"
#include "records/file_replacement.h"
#include "verbs/error_report.h"

namespace blbjob {
namespace {

// Removes what was set aside under the temporary name when it holds nothing;
// otherwise says where it is kept.
void RemoveIfEmpty(const char* verb, const std::string& path, const std::string& temporary) {
  struct stat kept;
  if (::lstat(temporary.c_str(), &kept) != 0) return;  // removed already (an empty folder's exchange)
  const bool folder = S_ISDIR(kept.st_mode);
  if (folder ? ::rmdir(temporary.c_str()) == 0
             : (!S_ISREG(kept.st_mode) || kept.st_size == 0) && ::unlink(temporary.c_str()) == 0)
    return;
  std::fprintf(stderr, "blbjob %s: the %s that stood at %s is kept as %s\n", verb, folder ? "folder" : "file",
               path.c_str(), temporary.c_str());
}

}  // namespace

bool SetAsideForFile(const char* verb, const std::string& path, const struct stat& found) {
  const std::string temporary = records::TemporaryNameFor(path);
  auto_handle file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  CQiError error;
  if (file.get() < 0) error = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot make [%s]", temporary.c_str());
  file.reset();
  if (!error.IsError())
    error = S_ISDIR(found.st_mode) ? records::ExchangeTemporaryForFolder(temporary, path)
                                   : records::ReplaceWithTemporary(temporary, path);
  if (error.IsError()) {
    tools::PrintError("cannot set aside what stands at " + path, error);
    return false;
  }
  if (S_ISDIR(found.st_mode)) RemoveIfEmpty(verb, path, temporary);
  return true;
}

bool SetAsideForFolder(const char* verb, const std::string& path) {
  const std::string temporary = records::TemporaryNameFor(path);
  CQiError error;
  if (::mkdir(temporary.c_str(), 0755) != 0) {
    error = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot make [%s]", temporary.c_str());
  } else if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0) {
    error = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot exchange [%s] for a folder", path.c_str());
    ::rmdir(temporary.c_str());
  } else {
    error = records::SyncFolderOf(path);
  }
  if (error.IsError()) {
    tools::PrintError("cannot set aside what stands at " + path, error);
    return false;
  }
  RemoveIfEmpty(verb, path, temporary);
  return true;
}

}  // namespace blbjob
