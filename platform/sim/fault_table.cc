#include "platform/sim/fault_table.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "platform/settings/settings.h"
#include "platform/sim/fault_generation.h"
#include "platform/sim/fault_names.h"
#include "platform/sim/state_db.h"

namespace platform {
namespace {

// Raised by every change this process makes to the faults table; a thread
// whose copy is older looks again at once.
std::atomic<unsigned long long> g_localGeneration{0};

// One thread's copy of the faults table.
struct ThreadCopy {
  std::string stateDir;                      // the state directory it was read from
  unsigned long long stateDirEpoch = ~0ull;  // Settings::StateDirEpoch then
  long long nextLookNs = 0;                  // no look at the database before this time
  unsigned long long localGeneration = ~0ull;
  long long dataVersion = -2;                     // the database's, when last read
  const FaultGeneration::Word* shared = nullptr;  // the state directory's
  unsigned long long sharedGeneration = 0;        // its value when last read
  std::map<std::string, Fault, std::less<>> faults;
};

// This thread's copy held no fault at all when last read: as long as
// neither this process's generation, nor the state directory's epoch, nor
// the directory's shared generation moved, every call is unfaulted. Without
// a shared generation, only until untilNs. Trivially constructible, so a
// check takes no initialisation guard; all zero means "look".
struct QuietWindow {
  long long untilNs;
  unsigned long long localGeneration;
  unsigned long long stateDirEpoch;
  const FaultGeneration::Word* shared;
  unsigned long long sharedGeneration;
  unsigned calls;
};
thread_local QuietWindow t_quiet;

// With a shared generation the clock is read only every so many calls: a
// safety net for a change the word cannot show (the directory replaced while
// this process keeps the old one's word mapped).
constexpr unsigned kCallsPerClockLook = 256;

long long CoarseNowNs() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Faults in the order of the call names.
StateDbResult ReadFaults(StateDb& db, std::vector<Fault>& faults) {
  SqlStatement query(db, "SELECT call, code, mode, remaining FROM faults ORDER BY call;");
  return ReadRows(query, faults, [](const SqlStatement& row) {
    Fault fault;
    fault.call = row.Text(0);
    fault.code = static_cast<int>(row.Int(1));
    fault.mode = ParseFaultMode(row.Text(2)).value_or(FaultMode::kError);
    fault.remaining = row.Int(3);
    return fault;
  });
}

void Refresh(ThreadCopy& copy, long long now) {
  // The epoch before the directory: a change made meanwhile raises it again.
  const unsigned long long epoch = Settings::StateDirEpoch();
  const char* stateDir = Settings::StateDirText();
  StateDb& db = StateDb::Current();
  std::lock_guard<std::recursive_mutex> guard(db.Mutex());
  // Read before the table: a change made meanwhile raises it again, and the
  // next check reads once more.
  const unsigned long long generation = g_localGeneration.load(std::memory_order_acquire);
  const FaultGeneration::Word* shared = FaultGeneration::Of(stateDir);
  const unsigned long long sharedGeneration = shared != nullptr ? shared->load(std::memory_order_acquire) : 0;
  const long long version = db.DataVersion();
  if (copy.stateDir != stateDir || copy.dataVersion != version || copy.localGeneration != generation) {
    // A table that could not be read is not taken for one without faults:
    // the copy of the directory stays as it was, and the next check reads
    // again.
    std::vector<Fault> faults;
    if (!ReadFaults(db, faults)) {
      if (copy.stateDir != stateDir) copy.faults.clear();
      return;
    }
    copy.faults.clear();
    for (Fault& fault : faults) copy.faults.emplace(fault.call, std::move(fault));
    copy.stateDir = stateDir;
    copy.dataVersion = version;
    copy.localGeneration = generation;
  }
  copy.stateDirEpoch = epoch;
  copy.shared = shared;
  copy.sharedGeneration = sharedGeneration;
  copy.nextLookNs = now + FaultTable::kLookIntervalMs * 1000000LL;
  t_quiet = copy.faults.empty()
                ? QuietWindow{copy.nextLookNs, copy.localGeneration, copy.stateDirEpoch, shared, sharedGeneration, 0}
                : QuietWindow{0, 0, 0, nullptr, 0, 0};
}

// Tells this process's threads and every other process using the state
// directory to read the table again.
void Changed() {
  g_localGeneration.fetch_add(1, std::memory_order_acq_rel);
  FaultGeneration::Raise(Settings::StateDir());
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
  Changed();
  return left != 0;
}

bool Quiet() {
  QuietWindow& quiet = t_quiet;
  if (quiet.localGeneration != g_localGeneration.load(std::memory_order_acquire) ||
      quiet.stateDirEpoch != Settings::StateDirEpoch())
    return false;
  if (quiet.shared != nullptr) {
    if (quiet.shared->load(std::memory_order_acquire) != quiet.sharedGeneration) return false;
    if (++quiet.calls % kCallsPerClockLook != 0) return true;
  }
  return CoarseNowNs() < quiet.untilNs;
}

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

namespace {

// The call looked up in this thread's copy, once the caller found no quiet
// window: a second look at the window would count the call again and could
// step over the clock look that ends it.
std::optional<Fault> CheckThreadCopy(const char* call) {
  thread_local ThreadCopy copy;
  const long long now = CoarseNowNs();
  // No look at the environment here: a state directory changed in this
  // process raises the epoch, and the periodic look reads it anew anyway.
  if (now >= copy.nextLookNs || copy.localGeneration != g_localGeneration.load(std::memory_order_acquire) ||
      copy.stateDirEpoch != Settings::StateDirEpoch() ||
      (copy.shared != nullptr && copy.shared->load(std::memory_order_acquire) != copy.sharedGeneration)) {
    // Faults are the harness's, not a service's: while the state database
    // cannot be used, the services kept in it fail on their own, and the
    // calls that do not depend on it go on unfaulted.
    try {
      Refresh(copy, now);
    } catch (const StateDbError&) {
      return std::nullopt;
    }
  }
  if (copy.faults.empty()) return std::nullopt;
  auto found = copy.faults.find(call);
  if (found == copy.faults.end() || found->second.remaining == 0) return std::nullopt;
  if (found->second.remaining > 0 && !ConsumeHit(call)) return std::nullopt;
  return found->second;
}

}  // namespace

std::optional<Fault> FaultTable::Check(const char* call) {
  if (Quiet()) return std::nullopt;
  return CheckThreadCopy(call);
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

std::vector<Fault> FaultTable::List() {
  std::vector<Fault> faults;
  const StateDbResult read = ReadFaults(StateDb::Current(), faults);
  if (!read) throw StateDbError("Cannot read the faults: " + read.Why());
  return faults;
}

CQiError InjectedFault(const char* call, const FXCodeLocation& location) {
  if (Quiet()) return CQiError();
  std::optional<Fault> fault = CheckThreadCopy(call);
  if (!fault || Delayed(*fault)) return CQiError();
  if (fault->mode == FaultMode::kThrow)
    throw KzException(std::string("Injected fault in ") + call, location.m_szFunction, location.m_szFile,
                      location.m_nLine, fault->code);
  return FXErrorUtil::ErrorErrNo(location, fault->code, "Injected fault in %s", call);
}

bool InjectedFaultCode(const char* call, int& code) {
  if (Quiet()) return false;
  std::optional<Fault> fault = CheckThreadCopy(call);
  if (!fault || Delayed(*fault)) return false;
  if (fault->mode == FaultMode::kThrow)
    throw KzException(std::string("Injected fault in ") + call, __PRETTY_FUNCTION__, __FILE__, __LINE__, fault->code);
  code = fault->code;
  return true;
}

}  // namespace platform
