#include "platform/sim/state_db_failure.h"

#include <cerrno>
#include <cstdarg>
#include <string>

#include "platform/text/format.h"

namespace platform {
namespace {

struct NotedFailure {
  int result = SQLITE_OK;
  int systemErrno = 0;
  std::string message;
  std::string file;
};

thread_local NotedFailure t_failure;

}  // namespace

void NoteStateDbFailure(sqlite3* db, int result) {
  if (db == nullptr) return;
  NotedFailure& noted = t_failure;
  noted.result = result;
  noted.systemErrno = sqlite3_system_errno(db);
  noted.message = sqlite3_errmsg(db);
  const char* file = sqlite3_db_filename(db, "main");
  noted.file = file != nullptr ? file : "";
}

CQiError StateDbFailure(const FXCodeLocation& location, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string what = VFormat(format, args);
  va_end(args);
  const NotedFailure& noted = t_failure;
  if (noted.result == SQLITE_OK) return FXErrorUtil::ErrorErrNo(location, EIO, "%s: no failure noted", what.c_str());
  // SQLite reports a full disk as its own code and keeps no errno for it.
  int code = EIO;
  if ((noted.result & 0xff) == SQLITE_FULL)
    code = ENOSPC;
  else if (noted.systemErrno > 0)
    code = noted.systemErrno;
  return FXErrorUtil::ErrorErrNo(location, code, "%s: %s [%s]", what.c_str(), noted.message.c_str(),
                                 noted.file.c_str());
}

}  // namespace platform
