#pragma once
// A read of the state database that fails, in this process, as the disk or
// the system can fail it for the simulated services.
#include <string>

namespace testing_support {

enum class StateDbReadFault {
  // The disk fails the read (EIO), or the memory for it runs out: the
  // statement fails and SQLite rolls back the transaction it was in.
  kIoError,
  kOutOfMemory,
  // The page read is corrupt once: the statement fails and the transaction
  // goes on, for reads only (SQLite rolls back for I/O errors and lack of
  // memory, and refuses the writes of a transaction that met corruption).
  kCorruptPage,
  // The read is denied (SQLITE_PERM): the statement fails, and the
  // transaction goes on, writes and all. No guard of the transaction covers
  // it; only the caller that fails on the read does.
  kDenied,
  // The statement is interrupted before it reads a row, whether its pages
  // are cached or not: it fails, and SQLite keeps the transaction it was in
  // (an interrupted read rolls nothing back).
  kInterrupted,
};

const char* Describe(StateDbReadFault fault);

class ScopedStateDbReadFailure {
 public:
  // The state directory's database is opened again through a file layer
  // that can fail a read; on destruction it is opened again as before.
  ScopedStateDbReadFailure();
  ~ScopedStateDbReadFailure();
  ScopedStateDbReadFailure(const ScopedStateDbReadFailure&) = delete;
  ScopedStateDbReadFailure& operator=(const ScopedStateDbReadFailure&) = delete;

  // The first read of the database (its file or its log) made by the next
  // statement whose SQL holds the text fails. The connection's cached pages
  // are dropped, so that the statement reads.
  void FailFirstReadOf(const std::string& sqlText) { FailReadOf(sqlText, 1, StateDbReadFault::kIoError); }
  // The next statement whose SQL holds the text is interrupted
  // (StateDbReadFault::kInterrupted).
  void InterruptReadOf(const std::string& sqlText) { FailReadOf(sqlText, 1, StateDbReadFault::kInterrupted); }
  // The same for the occurrence-th statement from now whose SQL holds the
  // text (1: the next), with the fault given; the pages are dropped as it
  // starts (not for kInterrupted).
  void FailReadOf(const std::string& sqlText, int occurrence, StateDbReadFault fault);
  // Whether the read failed.
  bool Struck() const;
};

}  // namespace testing_support
