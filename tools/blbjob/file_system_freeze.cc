#include "file_system_freeze.h"

#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace blbjob {

bool FreezeFileSystem(int fd) {
  return ::ioctl(fd, FIFREEZE, 0) == 0;
}

ThawResult ThawFileSystem(int fd) {
  if (::ioctl(fd, FITHAW, 0) == 0) return ThawResult::kThawed;
  return errno == EINVAL ? ThawResult::kNotFrozen : ThawResult::kFailed;
}

}  // namespace blbjob
