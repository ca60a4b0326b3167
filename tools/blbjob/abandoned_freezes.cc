#include "abandoned_freezes.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "freeze_record.h"
#include "platform/memory/auto_handle.h"

namespace blbjob {
namespace {

// A record is a few lines: anything longer is none this code wrote.
constexpr size_t kLongestRecord = 1 << 20;

bool IsRecordName(const std::string& name) {
  const std::string suffix = ".freeze";
  return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool ReadRecord(int fd, std::string& text) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || text.size() + static_cast<size_t>(got) > kLongestRecord) return false;
    if (got == 0) return true;
    text.append(buffer, static_cast<size_t>(got));
  }
}

// Thaws the mount of the record's if the mount point still shows it; false
// when it could not be thawed and may still be frozen.
bool ThawMount(const char* verb, uint64_t jobId, const FrozenMount& frozen) {
  auto_handle mountPoint(::open(frozen.path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  FrozenMount now;
  if (mountPoint.get() < 0 || !IdentifyMount(mountPoint.get(), "", now) || !now.SameMountAs(frozen)) {
    std::fprintf(stderr,
                 "blbjob %s: left %s alone: job %llu froze what was mounted there and its freeze holder was "
                 "killed, but what is mounted there now is another mount; a file system that stays frozen is "
                 "thawed by fsfreeze -u through where it is mounted\n",
                 verb, frozen.path.c_str(), static_cast<unsigned long long>(jobId));
    return true;
  }
  if (::ioctl(mountPoint.get(), FITHAW, 0) == 0) {
    std::fprintf(stderr, "blbjob %s: thawed %s: job %llu froze it and its freeze holder was killed\n", verb,
                 frozen.path.c_str(), static_cast<unsigned long long>(jobId));
    return true;
  }
  if (errno == EINVAL) return true;  // thawed already
  std::fprintf(stderr,
               "blbjob %s: cannot thaw %s, which job %llu froze before its freeze holder was killed: %s; thaw it "
               "with fsfreeze -u %s\n",
               verb, frozen.path.c_str(), static_cast<unsigned long long>(jobId), std::strerror(errno),
               frozen.path.c_str());
  return false;
}

void ThawIfAbandoned(const char* verb, const std::string& path) {
  auto_handle fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return;
  // Its holder is alive (or undoing it too).
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return;
  // Removed by whoever held it before it was locked here.
  struct stat held, named;
  if (::fstat(fd.get(), &held) != 0 || ::lstat(path.c_str(), &named) != 0 || held.st_dev != named.st_dev ||
      held.st_ino != named.st_ino || !S_ISREG(held.st_mode))
    return;
  std::string text;
  FreezeRecord record;
  if (!ReadRecord(fd.get(), text) || !ParseFreezeRecord(text, record)) {
    std::fprintf(stderr,
                 "blbjob %s: removed %s, which is no freeze record; a file system it named may still be frozen: "
                 "fsfreeze -u MOUNT thaws it\n",
                 verb, path.c_str());
    RemoveFreezeRecord(path);
    return;
  }
  // No freeze outlives a reboot, and the mount ids of another boot say
  // nothing of this one's.
  const std::string boot = CurrentBootId();
  bool thawed = true;
  if (boot.empty() || record.boot == boot)
    for (const FrozenMount& mount : record.mounts) thawed = ThawMount(verb, record.jobId, mount) && thawed;
  if (thawed) RemoveFreezeRecord(path);
}

}  // namespace

void ThawAbandonedFreezes(const char* verb) {
  const std::string folder = FreezesFolder();
  std::vector<std::string> records;
  if (DIR* listing = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(listing))
      if (IsRecordName(entry->d_name)) records.push_back(folder + "/" + entry->d_name);
    ::closedir(listing);
  }
  for (const std::string& record : records) ThawIfAbandoned(verb, record);
}

}  // namespace blbjob
