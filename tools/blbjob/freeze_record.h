#pragma once
// The record of a freeze, in the `freezes` folder of the state directory:
// made before the file systems are frozen, removed once they are thawed. The
// freeze's holder (freeze_holder.h) holds a flock of it for as long as it
// holds the freeze, and the record is locked from before its name appears:
// so a record that nobody holds locked is a freeze whose holder was killed,
// which the next verb undoes (abandoned_freezes.h).
//
// A mount point is recorded with what tells it from a mount made there
// since: its file system's device number and the mount's id (the one the
// kernel never hands out again where it has one), and the boot it was frozen
// in (no freeze outlives a reboot). The text: "job JOB", "boot BOOTID", then
// one line per mount point, "mount MAJOR MINOR KIND ID LENGTH PATH", the path
// being LENGTH bytes (a mount point may hold a line feed).
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error/qi_error.h"

namespace blbjob {

struct FrozenMount {
  std::string path;
  unsigned major = 0;
  unsigned minor = 0;
  std::string idKind;  // "unique", "reused" (a kernel without unique ids) or "none"
  uint64_t id = 0;

  bool SameMountAs(const FrozenMount& other) const;
};

struct FreezeRecord {
  uint64_t jobId = 0;
  std::string boot;
  std::vector<FrozenMount> mounts;
};

// The folder of the records.
std::string FreezesFolder();
// This boot's id; empty when the system does not tell it.
std::string CurrentBootId();

// The mount at the path, relative to the folder descriptor (or, with an
// empty path, the descriptor's own); false (errno set) when statx fails.
bool IdentifyMount(int folder, const std::string& path, FrozenMount& mount);

// Writes the record under a name of its own in the folder, through a
// temporary locked before anything is written and renamed into place, the
// folder synced. fd then carries the lock, path the record's name.
CQiError CreateFreezeRecord(const FreezeRecord& record, std::string& path, int& fd);

// Reads a record's text; false for anything this code did not write.
bool ParseFreezeRecord(const std::string& text, FreezeRecord& record);

// Removes the record and syncs its folder: its holder calls it while it
// still holds the lock, so that no record of a thawed freeze is left for
// another verb to find unlocked.
bool RemoveFreezeRecord(const std::string& path);

}  // namespace blbjob
