#include "platform/sim/fault_table.h"

#include <map>
#include <mutex>
#include <utility>

#include "platform/sim/state_db.h"

namespace platform {
namespace {

struct Cache {
  std::mutex mutex;
  std::string dbPath;
  long long dataVersion = -2;
  long long localGeneration = 0;
  long long seenGeneration = -1;
  std::map<std::string, Fault> faults;
};

Cache& TheCache() {
  static Cache* cache = new Cache();
  return *cache;
}

// Faults in the order of the call names.
std::vector<Fault> ReadFaults(StateDb& db) {
  std::vector<Fault> faults;
  SqlStatement query(db, "SELECT call, code, mode, remaining FROM faults ORDER BY call;");
  while (query.Step()) {
    Fault fault;
    fault.call = query.Text(0);
    fault.code = static_cast<int>(query.Int(1));
    fault.raise = query.Text(2) == "throw";
    fault.remaining = query.Int(3);
    faults.push_back(fault);
  }
  return faults;
}

void Reload(Cache& cache, StateDb& db) {
  cache.faults.clear();
  for (Fault& fault : ReadFaults(db)) cache.faults[fault.call] = std::move(fault);
}

void Invalidate() {
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> guard(cache.mutex);
  ++cache.localGeneration;
}

}  // namespace

std::optional<Fault> FaultTable::Check(const std::string& call) {
  StateDb& db = StateDb::Current();
  Cache& cache = TheCache();
  std::lock_guard<std::recursive_mutex> dbGuard(db.Mutex());
  std::lock_guard<std::mutex> guard(cache.mutex);
  const long long version = db.DataVersion();
  if (cache.dbPath != db.Path() || version != cache.dataVersion || cache.seenGeneration != cache.localGeneration) {
    Reload(cache, db);
    cache.dbPath = db.Path();
    cache.dataVersion = version;
    cache.seenGeneration = cache.localGeneration;
  }
  auto found = cache.faults.find(call);
  if (found == cache.faults.end()) return std::nullopt;
  Fault fault = found->second;
  if (fault.remaining == 0) return std::nullopt;
  if (fault.remaining > 0) {
    // Counted faults are consumed in the database, so another process sees
    // the same remaining count.
    long long left = -1;
    db.Transaction([&] {
      SqlStatement read(db, "SELECT remaining FROM faults WHERE call = ?;");
      read.Bind(1, call);
      if (!read.Step()) return false;
      left = read.Int(0);
      if (left == 0) return true;
      SqlStatement write(db, left == 1 ? "DELETE FROM faults WHERE call = ?;"
                                       : "UPDATE faults SET remaining = remaining - 1 WHERE call = ?;");
      write.Bind(1, call);
      return write.Run();
    });
    ++cache.localGeneration;
    if (left <= 0) return std::nullopt;
  }
  return fault;
}

void FaultTable::Set(const std::string& call, int code, bool raise, long long count) {
  if (count == 0) {  // hits no call: stored, it would read as "every call"
    Clear(call);
    return;
  }
  StateDb& db = StateDb::Current();
  SqlStatement upsert(db, "INSERT OR REPLACE INTO faults (call, code, mode, remaining) VALUES (?, ?, ?, ?);");
  upsert.Bind(1, call).Bind(2, code).Bind(3, std::string(raise ? "throw" : "error")).Bind(4, count);
  upsert.Run();
  Invalidate();
}

void FaultTable::Clear(const std::string& call) {
  SqlStatement remove(StateDb::Current(), "DELETE FROM faults WHERE call = ?;");
  remove.Bind(1, call);
  remove.Run();
  Invalidate();
}

void FaultTable::ClearAll() {
  StateDb::Current().Exec("DELETE FROM faults;");
  Invalidate();
}

std::vector<Fault> FaultTable::List() { return ReadFaults(StateDb::Current()); }

CQiError InjectedFault(const char* call, const FXCodeLocation& location) {
  std::optional<Fault> fault = FaultTable::Check(call);
  if (!fault) return CQiError();
  if (fault->raise) throw KzException(std::string("Injected fault in ") + call, location.m_szFunction,
                                      location.m_szFile, location.m_nLine, fault->code);
  return FXErrorUtil::ErrorErrNo(location, fault->code, "Injected fault in %s", call);
}

bool InjectedFaultCode(const char* call, int& code) {
  std::optional<Fault> fault = FaultTable::Check(call);
  if (!fault) return false;
  if (fault->raise)
    throw KzException(std::string("Injected fault in ") + call, __PRETTY_FUNCTION__, __FILE__, __LINE__, fault->code);
  code = fault->code;
  return true;
}

}  // namespace platform
