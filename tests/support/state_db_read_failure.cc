#include "support/state_db_read_failure.h"

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/sim/state_db.h"

namespace testing_support {
namespace {

constexpr const char* kVfsName = "blb-failing-reads";

// The statement text that arms the failure, the statements holding it still
// to pass before it does, the fault, and whether it is armed and has struck.
// One scope at a time.
std::mutex g_mutex;
std::string g_sqlText;
int g_passesLeft = 0;
std::atomic<StateDbReadFault> g_fault{StateDbReadFault::kIoError};
std::atomic<bool> g_armed{false};
std::atomic<bool> g_struck{false};
// Whether the statement that armed is due to be interrupted.
std::atomic<bool> g_interrupt{false};

sqlite3_vfs* g_base = nullptr;
sqlite3_vfs g_vfs;

// The base layer's file follows this header in the same allocation.
struct File {
  sqlite3_file header;
  bool database;  // the database file or its log
  sqlite3_file* Base() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

File* Of(sqlite3_file* file) {
  return reinterpret_cast<File*>(file);
}

int Read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  if (Of(file)->database && g_armed.exchange(false)) {
    g_struck = true;
    switch (g_fault.load()) {
      case StateDbReadFault::kIoError:
        errno = EIO;  // what SQLite asks the system for its cause
        return SQLITE_IOERR_READ;
      case StateDbReadFault::kOutOfMemory:
        errno = ENOMEM;
        return SQLITE_IOERR_NOMEM;
      case StateDbReadFault::kCorruptPage:
        return SQLITE_CORRUPT;
      case StateDbReadFault::kDenied:
        return SQLITE_PERM;
      case StateDbReadFault::kInterrupted:
        break;  // never armed for a read: the statement is stopped instead
    }
  }
  return Of(file)->Base()->pMethods->xRead(Of(file)->Base(), buffer, amount, offset);
}

int Close(sqlite3_file* file) {
  return Of(file)->Base()->pMethods->xClose(Of(file)->Base());
}
int Write(sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
  return Of(f)->Base()->pMethods->xWrite(Of(f)->Base(), b, n, o);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  return Of(f)->Base()->pMethods->xTruncate(Of(f)->Base(), size);
}
int Sync(sqlite3_file* f, int flags) {
  return Of(f)->Base()->pMethods->xSync(Of(f)->Base(), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Of(f)->Base()->pMethods->xFileSize(Of(f)->Base(), size);
}
int Lock(sqlite3_file* f, int level) {
  return Of(f)->Base()->pMethods->xLock(Of(f)->Base(), level);
}
int Unlock(sqlite3_file* f, int level) {
  return Of(f)->Base()->pMethods->xUnlock(Of(f)->Base(), level);
}
int CheckReservedLock(sqlite3_file* f, int* out) {
  return Of(f)->Base()->pMethods->xCheckReservedLock(Of(f)->Base(), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  return Of(f)->Base()->pMethods->xFileControl(Of(f)->Base(), op, arg);
}
int SectorSize(sqlite3_file* f) {
  return Of(f)->Base()->pMethods->xSectorSize(Of(f)->Base());
}
int DeviceCharacteristics(sqlite3_file* f) {
  return Of(f)->Base()->pMethods->xDeviceCharacteristics(Of(f)->Base());
}
int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
  return Of(f)->Base()->pMethods->xShmMap(Of(f)->Base(), region, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return Of(f)->Base()->pMethods->xShmLock(Of(f)->Base(), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) {
  Of(f)->Base()->pMethods->xShmBarrier(Of(f)->Base());
}
int ShmUnmap(sqlite3_file* f, int remove) {
  return Of(f)->Base()->pMethods->xShmUnmap(Of(f)->Base(), remove);
}

// Memory-mapped reads would pass by Read: none are offered.
const sqlite3_io_methods kMethods = {2,
                                     Close,
                                     Read,
                                     Write,
                                     Truncate,
                                     Sync,
                                     FileSize,
                                     Lock,
                                     Unlock,
                                     CheckReservedLock,
                                     FileControl,
                                     SectorSize,
                                     DeviceCharacteristics,
                                     ShmMap,
                                     ShmLock,
                                     ShmBarrier,
                                     ShmUnmap,
                                     nullptr,
                                     nullptr};

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  File* wrapped = Of(file);
  wrapped->header.pMethods = nullptr;
  wrapped->database = (flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_WAL)) != 0;
  const int result = g_base->xOpen(g_base, name, wrapped->Base(), flags, outFlags);
  if (result == SQLITE_OK) wrapped->header.pMethods = &kMethods;
  return result;
}

int Trace(unsigned type, void* db, void*, void* sql) {
  if (type != SQLITE_TRACE_STMT || sql == nullptr) return 0;
  std::lock_guard<std::mutex> guard(g_mutex);
  if (!g_sqlText.empty() && std::strstr(static_cast<const char*>(sql), g_sqlText.c_str()) != nullptr &&
      --g_passesLeft == 0) {
    g_sqlText.clear();
    if (g_fault == StateDbReadFault::kInterrupted) {
      g_interrupt = true;
    } else {
      // What earlier statements left cached is read again.
      sqlite3_db_release_memory(static_cast<sqlite3*>(db));
      g_armed = true;
    }
  }
  return 0;
}

int Progress(void*) {
  if (!g_interrupt.exchange(false)) return 0;
  g_struck = true;
  return 1;
}

}  // namespace

ScopedStateDbReadFailure::ScopedStateDbReadFailure() {
  g_base = sqlite3_vfs_find(nullptr);
  g_vfs = *g_base;
  g_vfs.zName = kVfsName;
  g_vfs.szOsFile = static_cast<int>(sizeof(File)) + g_base->szOsFile;
  g_vfs.xOpen = Open;
  g_vfs.pNext = nullptr;
  sqlite3_vfs_register(&g_vfs, 1);
  g_armed = g_struck = g_interrupt = false;
  platform::StateDb::CloseCurrent();
}

ScopedStateDbReadFailure::~ScopedStateDbReadFailure() {
  platform::StateDb::CloseCurrent();
  sqlite3_vfs_register(g_base, 1);
  sqlite3_vfs_unregister(&g_vfs);
  g_armed = g_interrupt = false;
  std::lock_guard<std::mutex> guard(g_mutex);
  g_sqlText.clear();
}

const char* Describe(StateDbReadFault fault) {
  switch (fault) {
    case StateDbReadFault::kIoError:
      return "an I/O error";
    case StateDbReadFault::kOutOfMemory:
      return "no memory";
    case StateDbReadFault::kCorruptPage:
      return "a corrupt page";
    case StateDbReadFault::kDenied:
      return "a denied read";
    case StateDbReadFault::kInterrupted:
      return "an interrupted read";
  }
  return "";
}

void ScopedStateDbReadFailure::FailReadOf(const std::string& sqlText, int occurrence, StateDbReadFault fault) {
  platform::StateDb& db = platform::StateDb::Current();
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_sqlText = sqlText;
    g_passesLeft = occurrence;
    g_fault = fault;
  }
  sqlite3_trace_v2(db.Handle(), SQLITE_TRACE_STMT, Trace, db.Handle());
  sqlite3_progress_handler(db.Handle(), fault == StateDbReadFault::kInterrupted ? 1 : 0, Progress, nullptr);
}

bool ScopedStateDbReadFailure::Struck() const {
  return g_struck;
}

}  // namespace testing_support
