#pragma once
// One job of a subclient at a time. The jobs of a subclient share its
// job-results directory (bitmaps, collect files and their lists) and their
// devices' snapshots: a second job meanwhile takes the first one's bitmaps and
// lists, and a release during a job's scan destroys the snapshot under it.
// So every verb that takes, reads or releases a job's snapshot holds the
// lock of the job's subclient while it runs, which the kernel drops when the
// process ends, however it ends. A verb that finds it held by another
// process is refused, naming the job that holds it (as the holder wrote it
// into `locks/blbjob-subclient-CELL-APP.lock` of the state directory), unless
// that process was killed and is still ending: the verb waits for it
// (ending_process.h) instead; a verb
// that another verb of the same process runs (run's snapshot and release)
// shares the lock that one holds.
//
// The lock is not that file: a file can be removed under its holder, and a
// second job would then lock the new file at its path and run beside the
// first. It is taken on the `locks` folder itself (subclient_lock.cc says
// how), which the removal of any file in it leaves in place.
#include <string>

#include "records/tarvos_job_info.h"

namespace blbjob {

class SubclientLock {
 public:
  SubclientLock() = default;
  // Drops this hold; the lock goes with the process's last.
  ~SubclientLock();
  SubclientLock(const SubclientLock&) = delete;
  SubclientLock& operator=(const SubclientLock&) = delete;

  // Takes the lock of the job's subclient for the verb. False, told on
  // stderr, when another process holds it (the message names its job) or
  // the lock cannot be taken. Anything but a regular file at the holder
  // file's path (a folder, a link) is set aside first. Once the lock is
  // taken, the freezes whose holders were killed are undone
  // (abandoned_freezes.h).
  bool Take(const char* verb, const TarvosJobInfo& job);

 private:
  std::string m_sPath;  // of the lock held; empty for none
};

}  // namespace blbjob
