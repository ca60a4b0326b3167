#include "subclient_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "abandoned_freezes.h"
#include "ending_process.h"
#include "platform/memory/auto_handle.h"
#include "platform/settings/settings.h"
#include "platform/sim/fs_util.h"
#include "set_aside.h"

namespace blbjob {
namespace {

// The lock of a subclient is a read lock (an open file description's,
// fcntl F_OFD_SETLK) of one byte of the `locks` folder, at an offset of the
// subclient's own: a folder opens for reading only, so only read locks can
// be taken on it. Read locks share; what makes this one exclusive is how it
// is taken. A taker holds a flock of the folder, only while it takes (every
// taker waits its turn there for a few system calls), asks whether another
// holds the byte (F_OFD_GETLK) and takes it only when none does. The kernel
// drops both when the descriptor's last copy is closed, at the end of the
// process however it ends. The removal of any file of the folder changes
// neither lock; only the folder removed with all its files and made again
// would.
//
// Cells and applications go up to 2^32-1, offsets below 2^63: cells 2^31
// apart share a byte, their jobs then excluding each other too, which is
// never unsafe.
off_t OffsetOf(unsigned long long cellId, unsigned long long appId) {
  return static_cast<off_t>(((cellId & 0x7FFFFFFFULL) << 32) | (appId & 0xFFFFFFFFULL));
}

struct flock ByteAt(off_t offset, short type) {
  struct flock byte {};
  byte.l_type = type;
  byte.l_whence = SEEK_SET;
  byte.l_start = offset;
  byte.l_len = 1;
  return byte;
}

// The locks this process holds: the folder's descriptor carrying the lock,
// the holder file's, and the holds on them.
struct Held {
  int folder = -1;
  int holder = -1;
  int holds = 0;
};

std::mutex g_mutex;
std::map<std::string, Held>& HeldLocks() {
  static std::map<std::string, Held>* held = new std::map<std::string, Held>();
  return *held;
}

// Who holds the lock, as its holder wrote it into the file: only a line of
// printable characters is told.
std::string Holder(const std::string& path) {
  auto_handle fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return "another job";
  char text[160];
  const ssize_t got = ::pread(fd.get(), text, sizeof text - 1, 0);
  std::string holder;
  for (ssize_t i = 0; i < got && text[i] != '\n'; ++i) {
    if (text[i] < ' ' || text[i] > '~') return "another job";
    holder += text[i];
  }
  return holder.empty() ? "another job" : holder;
}

// Whether the holder the file names is a process on its way out: a killed
// job's command keeps the lock until it has ended.
bool HolderIsEnding(const std::string& path) {
  const std::string holder = Holder(path);
  const size_t at = holder.rfind("process ");
  if (at == std::string::npos) return false;
  const long long pid = std::atoll(holder.c_str() + at + 8);
  return pid > 0 && IsEnding(static_cast<pid_t>(pid));
}

// What a verb refused meanwhile tells of the holder: best effort, a full
// disk leaves it unsaid.
bool WriteHolder(int fd, const std::string& holder) {
  return ::ftruncate(fd, 0) == 0 &&
         ::pwrite(fd, holder.data(), holder.size(), 0) == static_cast<ssize_t>(holder.size());
}

// The file that names the holder, opened for writing; -1 (errno set) when it
// cannot be.
int OpenHolderFile(const char* verb, const std::string& path) {
  struct stat found;
  if (::lstat(path.c_str(), &found) == 0 && !S_ISREG(found.st_mode) && !SetAsideForFile(verb, path, found)) {
    errno = S_ISDIR(found.st_mode) ? EISDIR : EEXIST;
    return -1;
  }
  auto_handle fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  if (fd.get() < 0 || ::fstat(fd.get(), &found) != 0) return -1;
  if (!S_ISREG(found.st_mode)) {  // put there since
    errno = EEXIST;
    return -1;
  }
  return fd.release();
}

// Takes the subclient's byte of the folder; 0, EWOULDBLOCK when another
// process holds it, or the errno of a failure.
int TakeByte(int folder, off_t offset) {
  while (::flock(folder, LOCK_EX) != 0)
    if (errno != EINTR) return errno;
  struct flock byte = ByteAt(offset, F_WRLCK);
  int result = 0;
  if (::fcntl(folder, F_OFD_GETLK, &byte) != 0) {
    result = errno;
  } else if (byte.l_type != F_UNLCK) {
    result = EWOULDBLOCK;
  } else {
    byte = ByteAt(offset, F_RDLCK);
    if (::fcntl(folder, F_OFD_SETLK, &byte) != 0) result = errno;
  }
  ::flock(folder, LOCK_UN);
  return result;
}

}  // namespace

SubclientLock::~SubclientLock() {
  if (m_sPath.empty()) return;
  std::lock_guard<std::mutex> guard(g_mutex);
  auto held = HeldLocks().find(m_sPath);
  if (held == HeldLocks().end() || --held->second.holds > 0) return;
  // A process that dies leaves its line, which the next holder replaces.
  WriteHolder(held->second.holder, "");
  ::close(held->second.holder);
  ::close(held->second.folder);
  HeldLocks().erase(held);
}

bool SubclientLock::Take(const char* verb, const TarvosJobInfo& job) {
  const unsigned long long cellId = job.GetVornCellId(), appId = job.GetAppId();
  const std::string folder = platform::Settings::StatePath("locks");
  const std::string path =
      folder + "/blbjob-subclient-" + std::to_string(cellId) + "-" + std::to_string(appId) + ".lock";
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    auto held = HeldLocks().find(path);
    if (held != HeldLocks().end()) {
      ++held->second.holds;
      m_sPath = path;
      return true;
    }
    auto_handle locks(platform::MakeDirectories(folder) ? ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                                        : -1);
    int error = locks.get() < 0 ? errno : TakeByte(locks.get(), OffsetOf(cellId, appId));
    if (error == EWOULDBLOCK && HolderIsEnding(path))
      WaitUntil(
          [&] {
            error = TakeByte(locks.get(), OffsetOf(cellId, appId));
            return error != EWOULDBLOCK || !HolderIsEnding(path);
          },
          kEndingWaitMs);
    // The holder must be named to those refused meanwhile.
    auto_handle holder(error == 0 ? OpenHolderFile(verb, path) : -1);
    if (error == 0 && holder.get() < 0) error = errno;
    if (error == EWOULDBLOCK) {
      std::fprintf(stderr,
                   "blbjob %s: refused: %s of subclient %llu:%llu is running; one job of a subclient runs "
                   "at a time\n",
                   verb, Holder(path).c_str(), cellId, appId);
      return false;
    }
    if (error != 0) {
      std::fprintf(stderr, "blbjob %s: cannot lock subclient %llu:%llu [%s]: %s\n", verb, cellId, appId, path.c_str(),
                   std::strerror(error));
      return false;
    }
    WriteHolder(holder.get(), "job " + std::to_string(job.GetJobId()) + " (blbjob " + verb + ", process " +
                                  std::to_string(::getpid()) + ")\n");
    HeldLocks()[path] = Held{locks.release(), holder.release(), 1};
    m_sPath = path;
  }
  ThawAbandonedFreezes(verb);
  return true;
}

}  // namespace blbjob
