#pragma once
// A read of the state database that the disk fails, in this process: the
// statement that makes it fails with SQLite's I/O error, and SQLite rolls
// back the transaction it was in, as a short read or an unreadable block
// does to the simulated services.
#include <string>

namespace testing_support {

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
  void FailFirstReadOf(const std::string& sqlText);
  // The next statement whose SQL holds the text is interrupted before it
  // reads a row: it fails, and SQLite keeps the transaction it was in (an
  // interrupted read rolls nothing back).
  void InterruptReadOf(const std::string& sqlText);
  // Whether the read failed.
  bool Struck() const;

 private:
  void Arm(const std::string& sqlText, bool interrupt);
};

}  // namespace testing_support
