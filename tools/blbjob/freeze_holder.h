#pragma once
// File systems frozen by a child process that outlives nothing it must not.
//
// A freeze outlasts the process that made it: if the job command is
// interrupted (Ctrl-C, SIGTERM, SIGKILL, a crash) while the file system is
// frozen, every later write to it hangs until someone thaws it by hand. So the
// freeze is held by a small child instead. It thaws when told, when the job
// command ends however it ends (its end of a socket closes; the child also
// asks for a signal on its parent's death), or when the child itself is sent
// a terminating signal; every other catchable signal waits until it has
// thawed. Only SIGKILL of the child itself can leave a freeze behind, and the
// job command then thaws in its place.
#include <sys/types.h>

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

  // Freezes the file systems mounted at the mount points, one each: a file
  // system frozen twice fails with EBUSY. On failure nothing stays frozen.
  CQiError Freeze(const std::vector<std::string>& mountPoints);

  // Thaws. An error when a file system could not be thawed, or when the
  // holder thawed before it was asked (it was signalled): what was copied in
  // the meantime is not the frozen file system.
  CQiError Thaw();

 private:
  // Closes the socket and waits for the holder to end.
  void End();

  pid_t m_nPid = -1;
  int m_nSocket = -1;
  std::vector<std::string> m_oMountPoints;
};

}  // namespace blbjob
