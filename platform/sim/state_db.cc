#include "platform/sim/state_db.h"

#include <algorithm>
#include <map>
#include <memory>

#include "platform/settings/settings.h"
#include "platform/sim/fs_util.h"

namespace platform {

SqlStatement::SqlStatement(StateDb& db, const char* sql) {
  if (sqlite3_prepare_v2(db.Handle(), sql, -1, &statement_, nullptr) != SQLITE_OK) ok_ = false;
}

SqlStatement::~SqlStatement() { sqlite3_finalize(statement_); }

SqlStatement& SqlStatement::Bind(int index, long long value) {
  if (statement_ && sqlite3_bind_int64(statement_, index, value) != SQLITE_OK) ok_ = false;
  return *this;
}

SqlStatement& SqlStatement::Bind(int index, const std::string& value) {
  if (statement_ && sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()),
                                      SQLITE_TRANSIENT) != SQLITE_OK)
    ok_ = false;
  return *this;
}

SqlStatement& SqlStatement::BindNull(int index) {
  if (statement_ && sqlite3_bind_null(statement_, index) != SQLITE_OK) ok_ = false;
  return *this;
}

bool SqlStatement::Step() {
  if (!ok_ || statement_ == nullptr) return false;
  int rc = sqlite3_step(statement_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) ok_ = false;
  return false;
}

bool SqlStatement::Run() {
  while (Step()) {
  }
  return ok_;
}

long long SqlStatement::Int(int column) const { return sqlite3_column_int64(statement_, column); }

std::string SqlStatement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(statement_, column)));
}

bool SqlStatement::IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

StateDb::StateDb(std::string path) : path_(std::move(path)) {
  MakeDirectories(ParentOf(path_));
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db_, 30000);
    Exec("PRAGMA journal_mode=WAL;");
    Exec("PRAGMA synchronous=NORMAL;");
  }
}

StateDb& StateDb::Current() {
  static std::mutex cacheMutex;
  static auto* cache = new std::map<std::string, std::unique_ptr<StateDb>>();
  const std::string path = Settings::StatePath("agent.db");
  std::lock_guard<std::mutex> guard(cacheMutex);
  auto found = cache->find(path);
  if (found == cache->end()) found = cache->emplace(path, std::unique_ptr<StateDb>(new StateDb(path))).first;
  return *found->second;
}

bool StateDb::Exec(const std::string& sql) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return db_ != nullptr && sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

StateDb& StateDb::EnsureSchema(const std::string& name, const std::string& createStatements) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (std::find(schemas_.begin(), schemas_.end(), name) == schemas_.end() && Exec(createStatements))
    schemas_.push_back(name);
  return *this;
}

bool StateDb::Transaction(const std::function<bool()>& fn) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!Exec("BEGIN IMMEDIATE;")) return false;
  if (!fn()) {
    Exec("ROLLBACK;");
    return false;
  }
  return Exec("COMMIT;");
}

long long StateDb::LastInsertId() { return sqlite3_last_insert_rowid(db_); }

long long StateDb::DataVersion() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  SqlStatement query(*this, "PRAGMA data_version;");
  return query.Step() ? query.Int(0) : -1;
}

}  // namespace platform
