#pragma once
// Freezes whose holders were killed. The freeze holder thaws however the job
// command ends, but SIGKILL of the holder and the command together (a
// service manager stopping the command's whole control group, a kill by
// pid of both) leaves the file system frozen: every write to it hangs. Its
// record (freeze_record.h) stays, and nobody holds its lock any more.
//
// Only what the job's holder marked it froze is thawed, and only while
// nothing says it was thawed since: the mount point still shows the mount
// that was frozen, in the same boot, and no running job's record marks that
// file system frozen (the kernel freezes a file system once: that job's
// freeze proves the killed job's gone).
#include <cstdint>
#include <string>
#include <vector>

#include "device_mounts.h"
#include "freeze_record.h"

namespace blbjob {

// What undoing a record did with one of its mounts.
struct UndoneMount {
  enum Outcome {
    kThawed,        // the job froze it: thawed now
    kNotFrozen,     // the job froze it, but nothing held it frozen any more
    kNotTheJobs,    // the job never froze it, or thawed it itself: not touched
    kAnotherMount,  // what is mounted there now is another mount: not touched
    kFrozenSince,   // a running job froze its file system since: not touched
    kBeingFrozen,   // a running job is freezing its file system now: not touched, the record stays
    kFailed,        // could not be thawed (error): the record stays
  };
  const FrozenMount* mount = nullptr;
  Outcome outcome = kNotTheJobs;
  int error = 0;
  uint64_t otherJob = 0;  // kFrozenSince, kBeingFrozen: the running job, 0 when unknown
};

// Undoes the record at the path, whose lock the caller holds: thaws each
// mount it marks as frozen (or being frozen), as above, and removes the
// record once nothing of it may still be frozen (true then). One outcome
// per mount of the record.
bool UndoFreezeRecord(const std::string& path, const FreezeRecord& record, std::vector<UndoneMount>& undone);

// How one who undoes a record finds it.
enum class RecordHold {
  kTaken,    // its lock taken: abandoned
  kRunning,  // a running job holds it (or a killed job's holder that did not end within the wait)
  kGone,     // removed meanwhile (its holder thawed and removed it)
};

// Takes the lock of the record open at fd. A record whose command was killed
// and whose holder is still ending (it thaws as it ends) is waited for, as
// long as given (ending_process.h); told on stderr when the wait is over
// first.
RecordHold HoldRecord(const char* verb, const std::string& path, int fd, int waitMs);

// The paths of the records in the folder.
std::vector<std::string> FreezeRecordPaths();

// Thaws the file systems of every record in the state directory that nobody
// holds locked, as UndoFreezeRecord does, and says so on stderr, naming the
// mount point and the job, for each one it thaws, each it leaves alone and
// each it cannot thaw (its record then stays for the next verb); one thawed
// already (by hand) goes silently. A record whose holder is alive (a job of
// any subclient running) is left as it is. What stands at the folder's path
// and is no folder is set aside first.
void ThawAbandonedFreezes(const char* verb);

// The number (mount table's) of the file system the recorded mount shows
// while its mount point still shows that mount; otherwise its recorded
// device number.
std::string FileSystemOf(const MountTable& table, const FrozenMount& mount);

}  // namespace blbjob
