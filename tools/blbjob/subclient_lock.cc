#include "subclient_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/settings/settings.h"
#include "platform/sim/fs_util.h"

namespace blbjob {
namespace {

// The locks this process holds: one descriptor each, carrying the flock, and
// the holds on it.
struct Held {
  int fd = -1;
  int holds = 0;
};

std::mutex g_mutex;
std::map<std::string, Held>& HeldLocks() {
  static std::map<std::string, Held>* held = new std::map<std::string, Held>();
  return *held;
}

// Who holds the lock, as its holder wrote it into the file: only a line of
// printable characters is told.
std::string Holder(int fd) {
  char text[160];
  const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
  std::string holder;
  for (ssize_t i = 0; i < got && text[i] != '\n'; ++i) {
    if (text[i] < ' ' || text[i] > '~') return "another job";
    holder += text[i];
  }
  return holder.empty() ? "another job" : holder;
}

// What a verb refused meanwhile tells of the holder: best effort, a full
// disk leaves it unsaid.
bool WriteHolder(int fd, const std::string& holder) {
  return ::ftruncate(fd, 0) == 0 &&
         ::pwrite(fd, holder.data(), holder.size(), 0) == static_cast<ssize_t>(holder.size());
}

}  // namespace

SubclientLock::~SubclientLock() {
  if (m_sPath.empty()) return;
  std::lock_guard<std::mutex> guard(g_mutex);
  auto held = HeldLocks().find(m_sPath);
  if (held == HeldLocks().end() || --held->second.holds > 0) return;
  // A process that dies leaves its line, which the next holder replaces.
  WriteHolder(held->second.fd, "");
  ::close(held->second.fd);
  HeldLocks().erase(held);
}

bool SubclientLock::Take(const char* verb, const TarvosJobInfo& job) {
  const unsigned long long cellId = job.GetVornCellId(), appId = job.GetAppId();
  const std::string folder = platform::Settings::StatePath("locks");
  const std::string path =
      folder + "/blbjob-subclient-" + std::to_string(cellId) + "-" + std::to_string(appId) + ".lock";
  std::lock_guard<std::mutex> guard(g_mutex);
  auto held = HeldLocks().find(path);
  if (held != HeldLocks().end()) {
    ++held->second.holds;
    m_sPath = path;
    return true;
  }
  int fd = -1;
  if (platform::MakeDirectories(folder)) fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  int result = fd < 0 ? -1 : 0;
  while (fd >= 0 && (result = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (result != 0) {
    const int error = errno;
    if (fd >= 0 && error == EWOULDBLOCK) {
      std::fprintf(stderr,
                   "blbjob: %s: refused: %s of subclient %llu:%llu is running; one job of a subclient runs "
                   "at a time\n",
                   verb, Holder(fd).c_str(), cellId, appId);
    } else {
      std::fprintf(stderr, "blbjob: %s: cannot lock subclient %llu:%llu [%s]: %s\n", verb, cellId, appId, path.c_str(),
                   std::strerror(error));
    }
    if (fd >= 0) ::close(fd);
    return false;
  }
  WriteHolder(fd, "job " + std::to_string(job.GetJobId()) + " (blbjob " + verb + ", process " +
                      std::to_string(::getpid()) + ")\n");
  HeldLocks()[path] = Held{fd, 1};
  m_sPath = path;
  return true;
}

}  // namespace blbjob
