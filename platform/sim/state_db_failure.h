#pragma once
// Why the state database refused a change, as the system gave it. The call
// that failed returns its cause, so that a caller reports that call's cause
// and never one left over from an earlier call. A full disk is ENOSPC, a
// state directory that cannot be written EROFS or EACCES, naming the
// database file.
#include <string>

#include "platform/error/qi_error.h"

struct sqlite3;

namespace platform {

class StateDbResult {
 public:
  // Done.
  StateDbResult() = default;
  // What SQLite said of the connection's call that failed with `result`.
  static StateDbResult FromSqlite(sqlite3* db, int result);
  // A refusal of the caller's own (no row to change, a file it could not
  // read): its errno and what was refused.
  static StateDbResult Refused(int code, std::string why);

  bool ok() const { return code_ == 0; }
  explicit operator bool() const { return ok(); }
  // The failure's errno; 0 when done.
  int Code() const { return code_; }
  // "<SQLite's message> [<database file>]", or the refusal's text.
  const std::string& Why() const { return why_; }

 private:
  int code_ = 0;
  std::string why_;
};

// What a facade of a simulated service answers, Windows-style, when the
// service could not read its records (ERROR_FUNCTION_FAILED): never the
// answer of a record that is not there.
constexpr int kServiceFailed = 1627;

// The errno behind SQLite's failure `result` on the database at `path`:
// ENOSPC for a full disk; for a database that cannot be opened or written,
// why its file or its folder cannot be written (EROFS, EACCES), since
// SQLite keeps only the errno of its read-only retry then; EEXIST for a
// key another row holds; else the errno of the failed system call. 0 when
// the failure is not the system's.
int StateDbSystemCause(sqlite3* db, int result, const std::string& path);

// "<what, formatted>: <why>" with the failure's errno (EIO and "no failure"
// for a result that is done, which no caller should report).
CQiError StateDbFailure(const FXCodeLocation& location, const StateDbResult& failure, const char* format, ...)
    KZ_PRINTF_FORMAT(3, 4);

}  // namespace platform
