#pragma once
// The simulated agent services' one SQLite database: <state dir>/agent.db.
//
// Its tables are made and migrated in one place, state_schema.cc, when a
// process first opens the database. Connections are cached per database path
// and guarded by one mutex; a busy time-out lets several processes (a job and
// the harness) share the file. A commit is on disk when it returns (WAL with
// synchronous=FULL), as a real service's acknowledged record is.
#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/state_db_failure.h"

namespace platform {

// A state database that this build must not use: newer than the build, or
// one that could not be migrated; also thrown by the harness for a read
// that failed (harness/harness_reads.h). The message names the database's
// path.
class StateDbError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class StateDb;

// A prepared statement bound to positional parameters (1-based). Inside a
// transaction of StateDb::Transaction that SQLite has rolled back already
// (a read or write of the disk failed, memory ran out), it refuses to run
// (ECANCELED): it would run on its own, outside the transaction, and
// commit at once what the transaction was to give up.
class SqlStatement {
 public:
  SqlStatement(StateDb& db, const char* sql);
  ~SqlStatement();
  SqlStatement(const SqlStatement&) = delete;
  SqlStatement& operator=(const SqlStatement&) = delete;

  SqlStatement& Bind(int index, long long value);
  // Ids, sizes and times are unsigned 64-bit; SQLite keeps their bit pattern.
  SqlStatement& BindUnsigned(int index, uint64_t value) { return Bind(index, static_cast<long long>(value)); }
  SqlStatement& Bind(int index, const std::string& value);
  // Bytes kept as they are (a text column may be read back changed).
  SqlStatement& BindBlob(int index, const std::string& bytes);
  SqlStatement& BindNull(int index);
  // True while a row is available; false at the end. Throws nothing: an
  // error ends the walk and is reported by ok() and Result().
  bool Step();
  // Runs a statement that returns no rows.
  bool Run();
  // Makes the statement ready to run again with the same bindings, so that
  // one prepared statement serves a run of rows.
  bool Reset();
  bool ok() const { return result_.ok(); }
  // Done, or why preparing, binding or running the statement failed.
  const StateDbResult& Result() const { return result_; }

  long long Int(int column) const;
  uint64_t Unsigned(int column) const { return static_cast<uint64_t>(Int(column)); }
  std::string Text(int column) const;
  bool IsNull(int column) const;

 private:
  void Failed(sqlite3* db, int result);

  StateDb* db_;
  sqlite3_stmt* statement_ = nullptr;
  StateDbResult result_;
};

class StateDb {
 public:
  // The database of the current state directory, opened (and migrated to
  // this build's schema) on first use. Throws StateDbError when the database
  // is refused.
  static StateDb& Current();
  // The same database through a connection whose commits are not synced
  // one by one: for the harness's own request logs, which no service
  // acknowledged. A later synced commit of any connection still takes them
  // to disk, in order.
  static StateDb& CurrentForLogs();
  // Closes the current state directory's connection, so its files can be
  // removed. Only for a process that holds no reference to it.
  static void CloseCurrent();
  ~StateDb();
  StateDb(const StateDb&) = delete;
  StateDb& operator=(const StateDb&) = delete;

  // Refused (ECANCELED) like a statement inside a transaction that SQLite
  // has rolled back already: a SAVEPOINT or a change sent through it would
  // open a transaction of its own and commit alone.
  StateDbResult Exec(const std::string& sql);
  // Runs fn inside BEGIN IMMEDIATE .. COMMIT; rolls back when fn fails.
  // Done, or the cause: fn's, or that of the BEGIN or the COMMIT. A
  // statement whose failure made SQLite roll the transaction back ends it:
  // no statement of fn runs after it, and nothing is committed.
  StateDbResult Transaction(const std::function<StateDbResult()>& fn);
  // The same for a change whose callers report no cause: rolled back when
  // fn returns false.
  bool Transaction(const std::function<bool()>& fn);
  long long LastInsertId();
  // Whether this thread is inside Transaction and SQLite has rolled the
  // transaction back on its own.
  bool TransactionEndedBySqlite();
  // Increases whenever another connection committed a change.
  long long DataVersion();
  std::recursive_mutex& Mutex() { return mutex_; }
  sqlite3* Handle() { return db_; }
  const std::string& Path() const { return path_; }

 private:
  enum class Commits { kSynced, kUnsynced };
  static StateDb& Open(const std::string& path, Commits commits);
  StateDb(std::string path, Commits commits);
  std::string path_;
  sqlite3* db_ = nullptr;
  std::recursive_mutex mutex_;
  std::atomic<std::thread::id> transactionThread_{};  // the thread inside Transaction
  std::string refused_;                               // why the database may not be used; empty when it may
};

// How a record added under its key meets another record of that key.
enum class OnTakenKey {
  kRefuse,   // a new record: the key taken already is refused (EEXIST)
  kReplace,  // seeds and Put calls: the record of the key is replaced
};

// "INSERT INTO <into>", or "INSERT OR REPLACE INTO <into>" to replace.
std::string InsertInto(OnTakenKey onTaken, const std::string& into);

// The readers of the services' records. A read that fails is never taken
// for fewer rows: each returns done (no row is a read of nothing) or the
// cause of the failed step.

// Calls onRow for each row of the query; after a failure, the caller drops
// what the rows before it gave.
template <typename OnRow>
StateDbResult ForEachRow(SqlStatement& query, OnRow onRow) {
  while (query.Step()) onRow(query);
  return query.Result();
}

// Every row of the query, as rowOf makes it; none after a failure.
template <typename Row, typename RowOf>
StateDbResult ReadRows(SqlStatement& query, std::vector<Row>& rows, RowOf rowOf) {
  rows.clear();
  const StateDbResult read = ForEachRow(query, [&](const SqlStatement& row) { rows.push_back(rowOf(row)); });
  if (!read) rows.clear();
  return read;
}

// The query's first row; nothing when it gives none, or fails.
template <typename Row, typename RowOf>
StateDbResult ReadFirstRow(SqlStatement& query, std::optional<Row>& row, RowOf rowOf) {
  row.reset();
  if (query.Step()) row = rowOf(query);
  return query.Result();
}

}  // namespace platform
