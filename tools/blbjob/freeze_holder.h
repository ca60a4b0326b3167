#pragma once
// File systems frozen by a child process that outlives nothing it must not.
//
// A freeze outlasts the process that made it: if the job command is
// interrupted (Ctrl-C, SIGTERM, SIGKILL, a crash) while the file system is
// frozen, every later write to it hangs until someone thaws it by hand. So the
// freeze is held by a small child instead, in a session of its own, so that
// what kills the command's process group (`timeout`, a job scheduler, a
// closed terminal) leaves it to thaw. It thaws when told, when the job
// command ends however it ends (its end of a socket closes; the child also
// asks for a signal on its parent's death), or when the child itself is sent
// a terminating signal; every other catchable signal waits until it has
// thawed. Only SIGKILL of the child itself can leave a freeze behind: the job
// command then thaws in its place what the child marked it froze in the
// freeze's record (freeze_record.h), and nothing else; killed as well, it
// leaves the record, which the next verb that takes a subclient's lock finds
// unheld and undoes.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/error/qi_error.h"

namespace blbjob {

class FreezeHolder {
 public:
  FreezeHolder() = default;
  // Thaws what is still frozen.
  ~FreezeHolder();
  FreezeHolder(const FreezeHolder&) = delete;
  FreezeHolder& operator=(const FreezeHolder&) = delete;

  // Freezes the file systems mounted at the mount points, one each, for the
  // job, recording the freeze first: a file system frozen twice fails with
  // EBUSY. On failure nothing stays frozen.
  CQiError Freeze(const std::vector<std::string>& mountPoints, uint64_t jobId);

  // Thaws. An error when a file system could not be thawed, or when the
  // holder thawed before it was asked (it was signalled): what was copied in
  // the meantime is not the frozen file system.
  CQiError Thaw();

 private:
  // Records the freeze, locked, before it is taken.
  CQiError Record(const std::vector<std::string>& mountPoints, uint64_t jobId);
  // Closes the record, which the holder has removed unless it could not
  // thaw; removes it first when asked (no holder froze anything).
  void CloseRecord(bool remove);
  // Undoes what a killed holder marked it froze (abandoned_freezes.h), and
  // closes the record: an error when something may stay frozen.
  CQiError UndoRecord();
  // Closes the socket and waits for the holder to end.
  void End();

  pid_t m_nPid = -1;
  int m_nSocket = -1;
  std::string m_sRecord;
  int m_nRecord = -1;  // carries the record's lock
  std::vector<std::string> m_oMountPoints;
};

}  // namespace blbjob
