#include "platform/sim/state_db.h"

#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>

#include "platform/settings/settings.h"
#include "platform/sim/fs_util.h"
#include "platform/sim/state_schema.h"

namespace platform {

SqlStatement::SqlStatement(StateDb& db, const char* sql) : db_(&db) {
  const int rc = sqlite3_prepare_v2(db.Handle(), sql, -1, &statement_, nullptr);
  if (rc != SQLITE_OK) Failed(db.Handle(), rc);
}

SqlStatement::~SqlStatement() {
  sqlite3_finalize(statement_);
}

// The first failure is the statement's cause: what follows it fails because of it.
void SqlStatement::Failed(sqlite3* db, int result) {
  if (result_.ok()) result_ = StateDbResult::FromSqlite(db, result);
}

SqlStatement& SqlStatement::Bind(int index, long long value) {
  if (!statement_) return *this;
  const int rc = sqlite3_bind_int64(statement_, index, value);
  if (rc != SQLITE_OK) Failed(sqlite3_db_handle(statement_), rc);
  return *this;
}

SqlStatement& SqlStatement::Bind(int index, const std::string& value) {
  if (!statement_) return *this;
  const int rc = sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) Failed(sqlite3_db_handle(statement_), rc);
  return *this;
}

SqlStatement& SqlStatement::BindBlob(int index, const std::string& bytes) {
  if (!statement_) return *this;
  const int rc = sqlite3_bind_blob(statement_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) Failed(sqlite3_db_handle(statement_), rc);
  return *this;
}

SqlStatement& SqlStatement::BindNull(int index) {
  if (!statement_) return *this;
  const int rc = sqlite3_bind_null(statement_, index);
  if (rc != SQLITE_OK) Failed(sqlite3_db_handle(statement_), rc);
  return *this;
}

bool SqlStatement::Step() {
  if (!result_.ok() || statement_ == nullptr) return false;
  if (db_->TransactionEndedBySqlite()) {
    result_ =
        StateDbResult::Refused(ECANCELED, "the transaction was rolled back by a failure before [" + db_->Path() + "]");
    return false;
  }
  const int rc = sqlite3_step(statement_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) Failed(sqlite3_db_handle(statement_), rc);
  return false;
}

bool SqlStatement::Run() {
  while (Step()) {
  }
  return result_.ok();
}

bool SqlStatement::Reset() {
  if (statement_ == nullptr) return false;
  const int rc = sqlite3_reset(statement_);
  result_ = rc == SQLITE_OK ? StateDbResult() : StateDbResult::FromSqlite(sqlite3_db_handle(statement_), rc);
  return result_.ok();
}

long long SqlStatement::Int(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::string SqlStatement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(sqlite3_column_bytes(statement_, column)));
}

bool SqlStatement::IsNull(int column) const {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

StateDb::StateDb(std::string path, Commits commits) : path_(std::move(path)) {
  MakeDirectoriesDurably(ParentOf(path_));
  const bool existed = ::access(path_.c_str(), F_OK) == 0;
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db_, 30000);
    Exec("PRAGMA journal_mode=WAL;");
    // What a service acknowledged is on disk when its commit returns, as
    // the real services' records are: each commit syncs the log (SQLite
    // syncs the log's folder itself when it makes the log).
    Exec(commits == Commits::kSynced ? "PRAGMA synchronous=FULL;" : "PRAGMA synchronous=NORMAL;");
  }
  MigrateStateSchema(db_, path_, StateSchemaVersion(), refused_);
  // The database file itself is made here: its name must last too.
  if (!existed && db_ != nullptr) SyncFolder(ParentOf(path_));
}

StateDb::~StateDb() {
  sqlite3_close(db_);
}

namespace {

std::mutex& CacheMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

std::map<std::string, std::unique_ptr<StateDb>>& Cache() {
  static auto* cache = new std::map<std::string, std::unique_ptr<StateDb>>();
  return *cache;
}

}  // namespace

StateDb& StateDb::Current() {
  return Open(Settings::StatePath("agent.db"), Commits::kSynced);
}

StateDb& StateDb::CurrentForLogs() {
  return Open(Settings::StatePath("agent.db"), Commits::kUnsynced);
}

StateDb& StateDb::Open(const std::string& path, Commits commits) {
  const std::string key = commits == Commits::kSynced ? path : path + "#logs";
  std::lock_guard<std::mutex> guard(CacheMutex());
  auto found = Cache().find(key);
  if (found != Cache().end()) return *found->second;
  std::unique_ptr<StateDb> opened(new StateDb(path, commits));
  // A refused database is not kept: once it is replaced (init --reset), the
  // next call opens the new one.
  if (!opened->refused_.empty()) throw StateDbError(opened->refused_);
  return *Cache().emplace(key, std::move(opened)).first->second;
}

void StateDb::CloseCurrent() {
  const std::string path = Settings::StatePath("agent.db");
  std::lock_guard<std::mutex> guard(CacheMutex());
  Cache().erase(path);
  Cache().erase(path + "#logs");
}

StateDbResult StateDb::Exec(const std::string& sql) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (db_ == nullptr) return StateDbResult::FromSqlite(nullptr, SQLITE_MISUSE);
  if (TransactionEndedBySqlite())
    return StateDbResult::Refused(ECANCELED, "the transaction was rolled back by a failure before [" + path_ + "]");
  const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? StateDbResult() : StateDbResult::FromSqlite(db_, rc);
}

StateDbResult StateDb::Transaction(const std::function<StateDbResult()>& fn) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  StateDbResult result = Exec("BEGIN IMMEDIATE;");
  if (!result) return result;
  const std::thread::id outer = transactionThread_.exchange(std::this_thread::get_id());
  result = fn();
  const bool ended = sqlite3_get_autocommit(db_) != 0;
  transactionThread_ = outer;
  if (!result) {
    if (!ended) Exec("ROLLBACK;");
    return result;
  }
  // fn went on past the failure that ended the transaction.
  if (ended) return StateDbResult::Refused(ECANCELED, "the transaction was rolled back by a failure [" + path_ + "]");
  return Exec("COMMIT;");
}

bool StateDb::Transaction(const std::function<bool()>& fn) {
  const std::function<StateDbResult()> change = [&fn] {
    return fn() ? StateDbResult() : StateDbResult::Refused(ECANCELED, "the change was given up");
  };
  return Transaction(change).ok();
}

bool StateDb::TransactionEndedBySqlite() {
  return transactionThread_.load(std::memory_order_relaxed) == std::this_thread::get_id() &&
         sqlite3_get_autocommit(db_) != 0;
}

long long StateDb::LastInsertId() {
  return sqlite3_last_insert_rowid(db_);
}

std::string InsertInto(OnTakenKey onTaken, const std::string& into) {
  return (onTaken == OnTakenKey::kReplace ? "INSERT OR REPLACE INTO " : "INSERT INTO ") + into;
}

long long StateDb::DataVersion() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  SqlStatement query(*this, "PRAGMA data_version;");
  return query.Step() ? query.Int(0) : -1;
}

}  // namespace platform
