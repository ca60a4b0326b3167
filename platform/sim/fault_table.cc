#include "platform/sim/fault_table.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "platform/settings/settings.h"
#include "platform/sim/fault_names.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

// Raised by every change this process makes to the faults table; a thread
// whose copy is older looks again at once.
std::atomic<unsigned long long> g_localGeneration{0};

// One thread's copy of the faults table.
struct ThreadCopy {
  std::string stateDir;      // the state directory it was read from
  long long nextLookNs = 0;  // no look at the database before this time
  unsigned long long localGeneration = ~0ull;
  long long dataVersion = -2;  // the database's, when last read
  std::map<std::string, Fault, std::less<>> faults;
};

long long CoarseNowNs() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Faults in the order of the call names.
std::vector<Fault> ReadFaults(StateDb& db) {
  std::vector<Fault> faults;
  SqlStatement query(db, "SELECT call, code, mode, remaining FROM faults ORDER BY call;");
  while (query.Step()) {
    Fault fault;
    fault.call = query.Text(0);
    fault.code = static_cast<int>(query.Int(1));
    fault.mode = ParseFaultMode(query.Text(2)).value_or(FaultMode::kError);
    fault.remaining = query.Int(3);
    faults.push_back(fault);
  }
  return faults;
}

void Refresh(ThreadCopy& copy, const char* stateDir, long long now) {
  StateDb& db = StateDb::Current();
  std::lock_guard<std::recursive_mutex> guard(db.Mutex());
  // Read before the table: a change made meanwhile raises it again, and the
  // next check reads once more.
  const unsigned long long generation = g_localGeneration.load(std::memory_order_acquire);
  const long long version = db.DataVersion();
  if (copy.stateDir != stateDir || copy.dataVersion != version || copy.localGeneration != generation) {
    copy.faults.clear();
    for (Fault& fault : ReadFaults(db)) copy.faults.emplace(fault.call, std::move(fault));
    copy.stateDir = stateDir;
    copy.dataVersion = version;
    copy.localGeneration = generation;
  }
  copy.nextLookNs = now + FaultTable::kLookIntervalMs * 1000000LL;
}

// Takes one hit of a counted fault in the database, so every process sees
// the same remaining count. False when none was left.
bool ConsumeHit(const char* call) {
  StateDb& db = StateDb::Current();
  std::lock_guard<std::recursive_mutex> guard(db.Mutex());
  long long left = 0;
  db.Transaction([&] {
    SqlStatement read(db, "SELECT remaining FROM faults WHERE call = ?;");
    read.Bind(1, std::string(call));
    if (!read.Step()) return false;
    left = read.Int(0);
    if (left == 0) return true;
    SqlStatement write(db, left == 1 ? "DELETE FROM faults WHERE call = ?;"
                                     : "UPDATE faults SET remaining = remaining - 1 WHERE call = ?;");
    write.Bind(1, std::string(call));
    return write.Run();
  });
  g_localGeneration.fetch_add(1, std::memory_order_acq_rel);
  return left != 0;
}

void Changed() { g_localGeneration.fetch_add(1, std::memory_order_acq_rel); }

// A fault that only delays the call: true after the wait.
bool Delayed(const Fault& fault) {
  if (fault.mode != FaultMode::kDelay) return false;
  if (fault.code > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fault.code));
  return true;
}

}  // namespace

const char* FaultModeName(FaultMode mode) {
  switch (mode) {
    case FaultMode::kThrow:
      return "throw";
    case FaultMode::kDelay:
      return "delay";
    case FaultMode::kError:
      break;
  }
  return "error";
}

std::optional<FaultMode> ParseFaultMode(const std::string& text) {
  for (FaultMode mode : {FaultMode::kError, FaultMode::kThrow, FaultMode::kDelay})
    if (text == FaultModeName(mode)) return mode;
  return std::nullopt;
}

std::optional<Fault> FaultTable::Check(const char* call) {
  thread_local ThreadCopy copy;
  const long long now = CoarseNowNs();
  const char* stateDir = Settings::StateDirText();
  if (now >= copy.nextLookNs || copy.localGeneration != g_localGeneration.load(std::memory_order_acquire) ||
      std::strcmp(copy.stateDir.c_str(), stateDir) != 0)
    Refresh(copy, stateDir, now);
  if (copy.faults.empty()) return std::nullopt;
  auto found = copy.faults.find(call);
  if (found == copy.faults.end() || found->second.remaining == 0) return std::nullopt;
  if (found->second.remaining > 0 && !ConsumeHit(call)) return std::nullopt;
  return found->second;
}

void FaultTable::Set(const std::string& call, int code, FaultMode mode, long long count) {
  if (!IsFailableCall(call)) throw std::invalid_argument("no failable call is named " + call);
  if (count == 0) {  // hits no call: stored, it would read as "every call"
    Clear(call);
    return;
  }
  SqlStatement upsert(StateDb::Current(),
                      "INSERT OR REPLACE INTO faults (call, code, mode, remaining) VALUES (?, ?, ?, ?);");
  upsert.Bind(1, call).Bind(2, code).Bind(3, std::string(FaultModeName(mode))).Bind(4, count);
  upsert.Run();
  Changed();
}

void FaultTable::Clear(const std::string& call) {
  SqlStatement remove(StateDb::Current(), "DELETE FROM faults WHERE call = ?;");
  remove.Bind(1, call);
  remove.Run();
  Changed();
}

void FaultTable::ClearAll() {
  StateDb::Current().Exec("DELETE FROM faults;");
  Changed();
}

std::vector<Fault> FaultTable::List() { return ReadFaults(StateDb::Current()); }

CQiError InjectedFault(const char* call, const FXCodeLocation& location) {
  std::optional<Fault> fault = FaultTable::Check(call);
  if (!fault || Delayed(*fault)) return CQiError();
  if (fault->mode == FaultMode::kThrow) throw KzException(std::string("Injected fault in ") + call, location.m_szFunction,
                                      location.m_szFile, location.m_nLine, fault->code);
  return FXErrorUtil::ErrorErrNo(location, fault->code, "Injected fault in %s", call);
}

bool InjectedFaultCode(const char* call, int& code) {
  std::optional<Fault> fault = FaultTable::Check(call);
  if (!fault || Delayed(*fault)) return false;
  if (fault->mode == FaultMode::kThrow)
    throw KzException(std::string("Injected fault in ") + call, __PRETTY_FUNCTION__, __FILE__, __LINE__, fault->code);
  code = fault->code;
  return true;
}

}  // namespace platform
