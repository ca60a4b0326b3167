#include "abandoned_freezes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ending_process.h"
#include "file_system_freeze.h"
#include "platform/memory/auto_handle.h"

namespace blbjob {
namespace {

bool IsRecordName(const std::string& name) {
  const std::string suffix = ".freeze";
  return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

unsigned long long Job(uint64_t jobId) {
  return static_cast<unsigned long long>(jobId);
}

// A record a running job holds, as it stands.
struct RunningFreeze {
  std::string path;
  FreezeRecord record;
};

// The records held by a running job (its command alive), but the one at the
// path given.
std::vector<RunningFreeze> RunningFreezes(const std::string& except) {
  std::vector<RunningFreeze> running;
  for (const std::string& path : FreezeRecordPaths()) {
    if (path == except) continue;
    auto_handle fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 || ::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) continue;
    const pid_t command = CommandOfRecord(path);
    RunningFreeze freeze{path, FreezeRecord()};
    if (command != 0 && !IsEnding(command) && ReadFreezeRecord(fd.get(), freeze.record))
      running.push_back(std::move(freeze));
  }
  return running;
}

// Whether the path still names the file open at fd.
bool StillNamed(const std::string& path, int fd) {
  struct stat held, named;
  return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino && S_ISREG(held.st_mode);
}

// Undoes one mount of a record, the running jobs' records as given.
UndoneMount UndoMount(const FrozenMount& frozen, const std::vector<RunningFreeze>& running, const MountTable& table) {
  UndoneMount undone;
  undone.mount = &frozen;
  if (!frozen.MayBeFrozen()) return undone;
  auto_handle mountPoint(::open(frozen.path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  FrozenMount now;
  if (mountPoint.get() < 0 || !IdentifyMount(mountPoint.get(), "", now) || !now.SameMountAs(frozen)) {
    undone.outcome = UndoneMount::kAnotherMount;
    return undone;
  }
  const std::string fileSystem = running.empty() ? std::string() : FileSystemOf(table, frozen);
  for (const RunningFreeze& other : running)
    for (const FrozenMount& mount : other.record.mounts) {
      if (!mount.MayBeFrozen() || FileSystemOf(table, mount) != fileSystem) continue;
      undone.outcome = mount.mark == FreezeMark::kFrozen ? UndoneMount::kFrozenSince : UndoneMount::kBeingFrozen;
      undone.otherJob = other.record.jobId;
      return undone;
    }
  switch (ThawFileSystem(mountPoint.get())) {
    case ThawResult::kThawed:
      undone.outcome = UndoneMount::kThawed;
      break;
    case ThawResult::kNotFrozen:
      undone.outcome = UndoneMount::kNotFrozen;
      break;
    case ThawResult::kFailed:
      undone.outcome = UndoneMount::kFailed;
      undone.error = errno;
      break;
  }
  return undone;
}

void Tell(const char* verb, uint64_t jobId, const UndoneMount& undone) {
  const char* path = undone.mount->path.c_str();
  const std::string other = undone.otherJob != 0 ? "job " + std::to_string(undone.otherJob) : "another job";
  switch (undone.outcome) {
    case UndoneMount::kThawed:
      std::fprintf(stderr, "blbjob %s: thawed %s: job %llu froze it and its freeze holder was killed\n", verb, path,
                   Job(jobId));
      break;
    case UndoneMount::kAnotherMount:
      std::fprintf(stderr,
                   "blbjob %s: left %s alone: job %llu froze what was mounted there and its freeze holder was "
                   "killed, but what is mounted there now is another mount; should that file system stay frozen, "
                   "blbjob thaw thaws it through where it is mounted now\n",
                   verb, path, Job(jobId));
      break;
    case UndoneMount::kFrozenSince:
      std::fprintf(stderr,
                   "blbjob %s: left %s alone: job %llu froze it before its freeze holder was killed, but it was "
                   "thawed since: %s, running, froze it again\n",
                   verb, path, Job(jobId), other.c_str());
      break;
    case UndoneMount::kBeingFrozen:
      std::fprintf(stderr,
                   "blbjob %s: left %s to a later verb: job %llu froze it before its freeze holder was killed, and "
                   "%s is freezing it now\n",
                   verb, path, Job(jobId), other.c_str());
      break;
    case UndoneMount::kFailed:
      std::fprintf(stderr,
                   "blbjob %s: cannot thaw %s, which job %llu froze before its freeze holder was killed: %s; thaw "
                   "it with blbjob thaw %s\n",
                   verb, path, Job(jobId), std::strerror(undone.error), path);
      break;
    case UndoneMount::kNotFrozen:
    case UndoneMount::kNotTheJobs:
      break;
  }
}

void ThawIfAbandoned(const char* verb, const std::string& path) {
  auto_handle fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0 || HoldRecord(verb, path, fd.get(), kEndingWaitMs) != RecordHold::kTaken) return;
  FreezeRecord record;
  if (!ReadFreezeRecord(fd.get(), record)) {
    std::fprintf(stderr,
                 "blbjob %s: removed %s, which is no freeze record; a file system it named may still be frozen: "
                 "blbjob thaw MOUNT thaws it\n",
                 verb, path.c_str());
    RemoveFreezeRecord(path);
    return;
  }
  std::vector<UndoneMount> undone;
  UndoFreezeRecord(path, record, undone);
  for (const UndoneMount& mount : undone) Tell(verb, record.jobId, mount);
}

}  // namespace

std::string FileSystemOf(const MountTable& table, const FrozenMount& mount) {
  FrozenMount now;
  std::string shown;
  if (IdentifyMount(AT_FDCWD, mount.path, now) && now.SameMountAs(mount)) shown = table.FileSystemShownAt(mount.path);
  const std::string device = "device ";
  if (shown.compare(0, device.size(), device) == 0) shown.erase(0, device.size());
  return shown.empty() ? std::to_string(mount.major) + ":" + std::to_string(mount.minor) : shown;
}

bool UndoFreezeRecord(const std::string& path, const FreezeRecord& record, std::vector<UndoneMount>& undone) {
  undone.assign(record.mounts.size(), UndoneMount());
  for (size_t i = 0; i < record.mounts.size(); ++i) undone[i].mount = &record.mounts[i];
  // No freeze outlives a reboot, and the mount ids of another boot say
  // nothing of this one's.
  const std::string boot = CurrentBootId();
  bool frozen = false;
  for (const FrozenMount& mount : record.mounts) frozen = frozen || mount.MayBeFrozen();
  if (!frozen || (!boot.empty() && record.boot != boot)) return RemoveFreezeRecord(path);
  // No holder marks a freeze meanwhile: a running job's freeze is seen whole,
  // or not at all and then thawed before it is taken.
  FreezesFolderLock folder;
  if (!folder.Take(kEndingWaitMs)) {
    for (UndoneMount& mount : undone)
      if (mount.mount->MayBeFrozen()) mount.outcome = UndoneMount::kBeingFrozen;
    return false;
  }
  const std::vector<RunningFreeze> running = RunningFreezes(path);
  MountTable table;
  std::string unread;
  if (!running.empty()) table.Read(unread);  // unread: recorded device numbers only
  bool done = true;
  for (size_t i = 0; i < record.mounts.size(); ++i) {
    undone[i] = UndoMount(record.mounts[i], running, table);
    done = done && undone[i].outcome != UndoneMount::kBeingFrozen && undone[i].outcome != UndoneMount::kFailed;
  }
  return done && RemoveFreezeRecord(path);
}

RecordHold HoldRecord(const char* verb, const std::string& path, int fd, int waitMs) {
  const auto taken = [&] { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; };
  if (!taken()) {
    const pid_t command = CommandOfRecord(path);
    if (command == 0 || !IsEnding(command) || waitMs <= 0) return RecordHold::kRunning;
    // Its command was killed and its holder is ending: it thaws and removes
    // the record as it ends.
    if (!WaitUntil([&] { return !StillNamed(path, fd) || taken(); }, waitMs)) {
      FreezeRecord record;
      ReadFreezeRecord(fd, record);
      std::fprintf(stderr,
                   "blbjob %s: job %llu was killed, but its freeze holder has not ended after %d seconds; what it "
                   "froze stays frozen until it does\n",
                   verb, Job(record.jobId), waitMs / 1000);
      return RecordHold::kRunning;
    }
  }
  // Removed by whoever held it before it was locked here.
  return StillNamed(path, fd) ? RecordHold::kTaken : RecordHold::kGone;
}

std::vector<std::string> FreezeRecordPaths() {
  const std::string folder = FreezesFolder();
  std::vector<std::string> records;
  if (DIR* listing = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(listing))
      if (IsRecordName(entry->d_name)) records.push_back(folder + "/" + entry->d_name);
    ::closedir(listing);
  }
  return records;
}

void ThawAbandonedFreezes(const char* verb) {
  if (!PrepareFreezesFolder(verb)) return;
  for (const std::string& record : FreezeRecordPaths()) ThawIfAbandoned(verb, record);
}

}  // namespace blbjob
