#pragma once
// The record of a freeze, in the `freezes` folder of the state directory:
// made before the file systems are frozen, removed once they are thawed. The
// freeze's holder (freeze_holder.h) holds a flock of it for as long as it
// holds the freeze, and the record is locked from before its name appears:
// so a record that nobody holds locked is a freeze whose holder was killed,
// which the next verb undoes (abandoned_freezes.h).
//
// That a record exists does not say its file systems were frozen: the
// command writes it before its holder starts, so a kill in between leaves a
// record of nothing frozen. So the holder marks each mount point as it goes:
// "freezing" right before it asks the kernel (a kill during the freeze, which
// the kernel completes all the same, leaves the file system frozen),
// "frozen" once it is, "unfrozen" once it thawed it or the freeze failed.
// Only a mount marked freezing or frozen is the job's to thaw. It marks and
// freezes while it holds the folder's lock (FreezesFolderLock), so that one
// who undoes an abandoned freeze sees a running job's freeze whole. A mark is
// another process's to read as soon as it is written, whoever is killed
// then; it is not synced: a power loss takes the freezes with it, and a
// record of another boot thaws nothing.
//
// A mount point is recorded with what tells it from a mount made there
// since: its file system's device number and the mount's id (the one the
// kernel never hands out again where it has one), and the boot it was frozen
// in (no freeze outlives a reboot). The name is "PID-SECONDS.NANOSECONDS
// .freeze", PID the job command's. The text: "job JOB", "boot BOOTID",
// "marked", one line per mount point, "mount MAJOR MINOR KIND ID LENGTH
// PATH", the path being LENGTH bytes (a mount point may hold a line feed),
// then the marks, "freezing|frozen|unfrozen INDEX", INDEX the mount's line
// counted from 0. A record without "marked" was written before holders
// marked: each of its mounts reads as frozen.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error/qi_error.h"

namespace blbjob {

enum class FreezeMark { kNone, kFreezing, kFrozen, kUnfrozen };

struct FrozenMount {
  std::string path;
  unsigned major = 0;
  unsigned minor = 0;
  std::string idKind;  // "unique", "reused" (a kernel without unique ids) or "none"
  uint64_t id = 0;
  FreezeMark mark = FreezeMark::kNone;  // the last one

  bool SameMountAs(const FrozenMount& other) const;
  // Whether the job may have frozen it and not thawed it since.
  bool MayBeFrozen() const { return mark == FreezeMark::kFreezing || mark == FreezeMark::kFrozen; }
};

struct FreezeRecord {
  uint64_t jobId = 0;
  std::string boot;
  std::vector<FrozenMount> mounts;
};

// The folder of the records.
std::string FreezesFolder();
// Makes sure what stands at the folder's path leads to a folder: anything
// else (a file, a pipe, a link to no folder) would refuse every freeze, and
// is set aside (set_aside.h). False, told on stderr, when it cannot be.
bool PrepareFreezesFolder(const char* verb);

// This boot's id; empty when the system does not tell it.
std::string CurrentBootId();

// The mount at the path, relative to the folder descriptor (or, with an
// empty path, the descriptor's own); false (errno set) when statx fails.
bool IdentifyMount(int folder, const std::string& path, FrozenMount& mount);

// Writes the record under a name of its own in the folder, through a
// temporary locked before anything is written and renamed into place, the
// folder synced. fd then carries the lock, path the record's name.
CQiError CreateFreezeRecord(const FreezeRecord& record, std::string& path, int& fd);

// Appends a mark of the mount at the index to the record open for writing
// at its end. A system call only; false (errno set) when it was not written
// whole.
bool AppendFreezeMark(int fd, FreezeMark mark, size_t index);

// Reads a record's text; false for anything this code did not write. A last
// line without its line end is a mark being written: it is left out.
bool ParseFreezeRecord(const std::string& text, FreezeRecord& record);
// Reads and parses the record open at fd, from its start.
bool ReadFreezeRecord(int fd, FreezeRecord& record);

// The job command that wrote the record, from its name; 0 when the name does
// not tell.
pid_t CommandOfRecord(const std::string& path);

// Removes the record and syncs its folder. System calls only, for the
// holder, which removes its record while it still holds the lock, so that no
// record of a thawed freeze is left for another verb to find unlocked.
bool RemoveFreezeRecord(const char* path, const char* folder);
bool RemoveFreezeRecord(const std::string& path);

// The lock of the records' folder (a flock of the folder itself), held by a
// holder around each freeze and its marks, and by one who undoes a freeze
// around what it reads of the running jobs' records and its thaw. A holder's
// freeze can wait for writes in progress: the wait for the lock is bounded.
class FreezesFolderLock {
 public:
  FreezesFolderLock() = default;
  ~FreezesFolderLock();
  FreezesFolderLock(const FreezesFolderLock&) = delete;
  FreezesFolderLock& operator=(const FreezesFolderLock&) = delete;

  // False (errno set) when the folder cannot be opened, or when it stayed
  // locked for the whole wait (EWOULDBLOCK).
  bool Take(int waitMs);

 private:
  int m_nFolder = -1;
};

}  // namespace blbjob
