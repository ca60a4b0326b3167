#include "platform/lock/kz_file_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/sim/fault_table.h"

namespace {

using Clock = std::chrono::steady_clock;
using FileKey = std::pair<dev_t, ino_t>;

// One lock file as this process holds it: a single descriptor carries the
// flock, every KzFileLock object of the process that holds the file counts
// as one hold on it.
struct Entry {
  int fd = -1;
  int type = KzFileLock::kRead;
  bool acquiring = true;  // a thread waits in flock for this entry
  std::map<std::thread::id, int> holders;  // holds per thread; the entry goes with the last
};

struct Hold {
  FileKey file;
  std::thread::id thread;
};

struct Table {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<FileKey, Entry> entries;
  std::map<long long, Hold> holds;
  long long nextHold = 0;
};

Table& TheTable();

void BeforeFork() { TheTable().mutex.lock(); }
void AfterForkInParent() { TheTable().mutex.unlock(); }
// The child shares the parent's open file descriptions: closing its copies
// leaves the parent's locks alone, and the child starts holding nothing.
void AfterForkInChild() {
  Table& table = TheTable();
  for (auto& [file, entry] : table.entries)
    if (entry.fd >= 0) ::close(entry.fd);
  table.entries.clear();
  table.holds.clear();
  table.mutex.unlock();
}

Table& TheTable() {
  static Table* table = [] {
    Table* made = new Table();
    ::pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
    return made;
  }();
  return *table;
}

// Takes the flock; waits until the deadline, or without end when none.
int Flock(int fd, int type, const Clock::time_point* deadline) {
  const int operation = type == KzFileLock::kWrite ? LOCK_EX : LOCK_SH;
  for (;;) {
    if (::flock(fd, operation | (deadline ? LOCK_NB : 0)) == 0) return 0;
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EWOULDBLOCK || deadline == nullptr) return error;
    if (Clock::now() >= *deadline) return ETIMEDOUT;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int OpenLockFile(const char* path) {
  int fd;
  do fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  // A lock file in a folder we may only read can still be locked.
  if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = ::open(path, O_RDONLY | O_CLOEXEC);
  return fd;
}

}  // namespace

KzFileLock::~KzFileLock() {
  if (isLocked()) unlock();
}

int KzFileLock::lock(const char* path, int type, int waitSeconds) {
  int injected = 0;
  if (platform::InjectedFaultCode("KzFileLock::lock", injected)) return injected;
  if (path == nullptr || *path == '\0' || (type != kRead && type != kWrite)) return EINVAL;
  if (isLocked()) return EBUSY;

  const int fd = OpenLockFile(path);
  if (fd < 0) return errno != 0 ? errno : EIO;
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  const FileKey file(info.st_dev, info.st_ino);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(waitSeconds < 0 ? 0 : waitSeconds);
  const Clock::time_point* until = waitSeconds < 0 ? nullptr : &deadline;
  const std::thread::id me = std::this_thread::get_id();

  Table& table = TheTable();
  std::unique_lock<std::mutex> guard(table.mutex);
  auto record = [&](Entry& entry) {
    ++entry.holders[me];
    m_nKey = table.nextHold++;
    table.holds[m_nKey] = Hold{file, me};
  };
  for (;;) {
    auto found = table.entries.find(file);
    if (found == table.entries.end()) break;
    Entry& entry = found->second;
    if (!entry.acquiring) {
      const bool mine = entry.holders.count(me) != 0;
      if (mine && type == kWrite && entry.type == kRead) {
        ::close(fd);
        return EDEADLK;
      }
      if (mine || (type == kRead && entry.type == kRead)) {
        ::close(fd);
        record(entry);
        return 0;
      }
    }
    if (until == nullptr) {
      table.changed.wait(guard);
    } else if (table.changed.wait_until(guard, deadline) == std::cv_status::timeout &&
               table.entries.count(file) != 0) {
      ::close(fd);
      return ETIMEDOUT;
    }
  }

  Entry& entry = table.entries[file];
  entry.fd = fd;
  entry.type = type;
  guard.unlock();
  const int result = Flock(fd, type, until);
  guard.lock();
  Entry& held = table.entries[file];
  if (result != 0) {
    table.entries.erase(file);
    table.changed.notify_all();
    ::close(fd);
    return result;
  }
  held.acquiring = false;
  record(held);
  table.changed.notify_all();
  return 0;
}

int KzFileLock::unlock() {
  if (!isLocked()) return EINVAL;
  Table& table = TheTable();
  std::lock_guard<std::mutex> guard(table.mutex);
  auto hold = table.holds.find(m_nKey);
  m_nKey = -1;
  if (hold == table.holds.end()) return EINVAL;  // taken before a fork, in the parent
  auto found = table.entries.find(hold->second.file);
  if (found != table.entries.end()) {
    Entry& entry = found->second;
    auto holder = entry.holders.find(hold->second.thread);
    if (holder != entry.holders.end() && --holder->second == 0) entry.holders.erase(holder);
    if (entry.holders.empty()) {
      ::flock(entry.fd, LOCK_UN);
      ::close(entry.fd);
      table.entries.erase(found);
      table.changed.notify_all();
    }
  }
  table.holds.erase(hold);
  return 0;
}
