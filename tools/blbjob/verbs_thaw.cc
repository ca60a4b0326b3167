// The way out by hand for a file system left frozen: it thaws it and takes
// back what the job command recorded of its freeze, so that no later verb
// takes another freeze of it (by hand, by a database's quiesce, by another
// job) for the one a killed job left, and thaws that.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "abandoned_freezes.h"
#include "device_mounts.h"
#include "ending_process.h"
#include "file_system_freeze.h"
#include "freeze_record.h"
#include "platform/memory/auto_handle.h"
#include "verbs/verb.h"

namespace blbjob {
namespace {

// The file system shown at the path, as FileSystemOf tells a recorded one.
std::string FileSystemAt(const MountTable& table, int fd, const std::string& path) {
  FrozenMount mount;
  if (!IdentifyMount(fd, "", mount)) return std::string();
  mount.path = path;
  return FileSystemOf(table, mount);
}

// Takes back the marks of the record's mounts of the file system: the whole
// record when nothing else of it stays frozen. False (told) when a running
// job holds it frozen.
bool TakeBack(const std::string& path, const std::string& fileSystem, const MountTable& table,
              std::set<unsigned long long>& jobs) {
  auto_handle fd(::open(path.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return true;
  const RecordHold hold = HoldRecord("thaw", path, fd.get(), 0);
  FreezeRecord record;
  if (hold == RecordHold::kGone || !ReadFreezeRecord(fd.get(), record)) return true;
  std::vector<size_t> ours;
  bool others = false;
  for (size_t i = 0; i < record.mounts.size(); ++i) {
    if (!record.mounts[i].MayBeFrozen()) continue;
    if (FileSystemOf(table, record.mounts[i]) == fileSystem)
      ours.push_back(i);
    else
      others = true;
  }
  if (ours.empty()) return true;
  if (hold == RecordHold::kRunning) {
    const pid_t command = CommandOfRecord(path);
    std::fprintf(stderr,
                 "blbjob thaw: refused: job %llu (process %lld) holds %s frozen for its snapshot; it thaws once "
                 "the copy is made, or at once when the job is ended\n",
                 static_cast<unsigned long long>(record.jobId), static_cast<long long>(command),
                 record.mounts[ours.front()].path.c_str());
    return false;
  }
  bool taken = true;
  if (others) {
    for (size_t index : ours) taken = taken && AppendFreezeMark(fd.get(), FreezeMark::kUnfrozen, index);
  } else {
    taken = RemoveFreezeRecord(path);
  }
  if (!taken) {
    std::fprintf(stderr, "blbjob thaw: cannot take back the freeze record %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return false;
  }
  jobs.insert(record.jobId);
  return true;
}

int Thaw(const tools::Args& args) {
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-')
    return tools::UsageError("thaw", args.empty() ? "no mount point given" : "one mount point only, no option");
  const std::string path = args[0];
  auto_handle fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    std::fprintf(stderr, "blbjob thaw: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  MountTable table;
  std::string unread;
  table.Read(unread);  // unread: told apart by device numbers only
  const std::string fileSystem = FileSystemAt(table, fd.get(), path);
  // The records go first: a command killed before the thaw leaves a file
  // system frozen that no record names, which this verb run again thaws; the
  // other way round, a record of a freeze that is gone.
  // A killed job's holder still ending thaws as it ends: waited for before
  // the folder is locked, which a holder takes to freeze.
  for (const std::string& record : FreezeRecordPaths()) {
    auto_handle ending(::open(record.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (ending.get() >= 0) HoldRecord("thaw", record, ending.get(), kEndingWaitMs);
  }
  std::set<unsigned long long> jobs;
  {
    // A folder that is not there holds no record.
    FreezesFolderLock folder;
    if (!folder.Take(kEndingWaitMs) && errno != ENOENT && errno != ENOTDIR) {
      std::fprintf(stderr, "blbjob thaw: cannot lock %s: %s\n", FreezesFolder().c_str(), std::strerror(errno));
      return 1;
    }
    for (const std::string& record : FreezeRecordPaths())
      if (!TakeBack(record, fileSystem, table, jobs)) return 1;
  }
  std::string froze;
  for (unsigned long long job : jobs) froze += (froze.empty() ? " (job " : ", job ") + std::to_string(job);
  if (!froze.empty()) froze += " froze it; its record is removed)";
  switch (ThawFileSystem(fd.get())) {
    case ThawResult::kThawed:
      std::printf("thawed %s%s\n", path.c_str(), froze.c_str());
      return 0;
    case ThawResult::kNotFrozen:
      std::printf("%s was not frozen%s\n", path.c_str(), froze.c_str());
      return 0;
    case ThawResult::kFailed:
      break;
  }
  std::fprintf(stderr, "blbjob thaw: cannot thaw %s: %s\n", path.c_str(), std::strerror(errno));
  return 1;
}

const tools::VerbRegistration kThawVerbs({
    {"thaw", "MOUNT", "thaws the file system mounted at MOUNT and removes what records a killed job's freeze of it",
     Thaw},
});

}  // namespace
}  // namespace blbjob
