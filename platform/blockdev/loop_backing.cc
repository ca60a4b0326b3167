#include "platform/blockdev/loop_backing.h"

#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdint>

namespace platform {
namespace {

// LOOP_GET_STATUS64 reports the backing file's device in the kernel's
// 32-bit encoding: the minor number's low byte below the major number.
dev_t DecodeDevice(uint64_t encoded) {
  return makedev(static_cast<unsigned>((encoded & 0xfff00) >> 8),
                 static_cast<unsigned>((encoded & 0xff) | ((encoded >> 12) & 0xfff00)));
}

}  // namespace

bool LoopDeviceReads(int loopFd, const struct stat& file) {
  struct loop_info64 info = {};
  if (::ioctl(loopFd, LOOP_GET_STATUS64, &info) != 0) return false;
  errno = 0;
  const dev_t device = DecodeDevice(info.lo_device);
  return major(device) == major(file.st_dev) && minor(device) == minor(file.st_dev) &&
         static_cast<ino_t>(info.lo_inode) == file.st_ino;
}

}  // namespace platform
