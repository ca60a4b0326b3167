#include "platform/sim/state_db_failure.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <string>

#include "platform/sim/fs_util.h"
#include "platform/text/format.h"

namespace platform {
namespace {

// Why a path cannot be written; 0 when it can.
int WhyNotWritable(const std::string& path) {
  return ::access(path.c_str(), W_OK) == 0 ? 0 : errno;
}

}  // namespace

StateDbResult StateDbResult::FromSqlite(sqlite3* db, int result) {
  if (db == nullptr) return Refused(EIO, "the state database is not open");
  const char* file = sqlite3_db_filename(db, "main");
  const std::string path = file != nullptr ? file : "";
  const int cause = StateDbSystemCause(db, result, path);
  return Refused(cause != 0 ? cause : EIO, std::string(sqlite3_errmsg(db)) + " [" + path + "]");
}

StateDbResult StateDbResult::Refused(int code, std::string why) {
  StateDbResult refused;
  refused.code_ = code != 0 ? code : EIO;
  refused.why_ = std::move(why);
  return refused;
}

int StateDbSystemCause(sqlite3* db, int result, const std::string& path) {
  switch (result & 0xff) {
    case SQLITE_FULL:  // SQLite's own code, with no errno kept
      return ENOSPC;
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
      // The database file, or beside it the log and shared-memory files.
      if (!path.empty()) {
        const int file = WhyNotWritable(path);
        if (file != 0 && file != ENOENT) return file;
        if (const int folder = WhyNotWritable(ParentOf(path))) return folder;
      }
      return db != nullptr ? sqlite3_system_errno(db) : 0;
    case SQLITE_IOERR:
      return db != nullptr ? sqlite3_system_errno(db) : 0;
    case SQLITE_CONSTRAINT: {  // a key another row holds: a plain insert never replaces it
      const int extended = db != nullptr ? sqlite3_extended_errcode(db) : result;
      return extended == SQLITE_CONSTRAINT_PRIMARYKEY || extended == SQLITE_CONSTRAINT_UNIQUE ? EEXIST : 0;
    }
    default:
      return 0;
  }
}

CQiError StateDbFailure(const FXCodeLocation& location, const StateDbResult& failure, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string what = VFormat(format, args);
  va_end(args);
  if (failure.ok()) return FXErrorUtil::ErrorErrNo(location, EIO, "%s: no failure", what.c_str());
  return FXErrorUtil::ErrorErrNo(location, failure.Code(), "%s: %s", what.c_str(), failure.Why().c_str());
}

}  // namespace platform
