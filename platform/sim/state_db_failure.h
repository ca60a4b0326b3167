#pragma once
// Why the state database refused a change, as the system gave it: the
// harness calls answer true or false, and a caller that reports the failure
// asks here for its cause. A full disk is ENOSPC, naming the database file.
#include <sqlite3.h>

#include "platform/error/qi_error.h"

namespace platform {

// Kept per thread: the statement or command of this connection that failed
// last, with SQLite's result code and message at that moment.
void NoteStateDbFailure(sqlite3* db, int result);

// "<what, formatted>: <SQLite's message> [<database file>]" with the errno
// of the last failure noted on this thread (ENOSPC for a full disk, the
// system's errno of a failed read or write, else EIO); EIO and "no failure
// noted" when none was.
CQiError StateDbFailure(const FXCodeLocation& location, const char* format, ...) KZ_PRINTF_FORMAT(2, 3);

}  // namespace platform
