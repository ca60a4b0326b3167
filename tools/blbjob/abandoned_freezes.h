#pragma once
// Freezes whose holders were killed. The freeze holder thaws however the job
// command ends, but SIGKILL of the holder and the command together (a
// service manager stopping the command's whole control group, a kill by
// pid of both) leaves the file system frozen: every write to it hangs. Its
// record (freeze_record.h) stays, and nobody holds its lock any more.
#include <string>

namespace blbjob {

// Thaws the file systems of every record in the state directory that nobody
// holds locked, each if its mount point still shows the mount that was
// frozen, and removes the record; says so on stderr, naming the mount point
// and the job, for each one it thaws, each it leaves alone and each it
// cannot thaw (its record then stays for the next verb); one thawed already
// (by hand) goes silently. A record whose holder is alive (a job of any
// subclient running) is left as it is.
void ThawAbandonedFreezes(const char* verb);

}  // namespace blbjob
