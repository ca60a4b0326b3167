#include "platform/blockdev/block_ioctl.h"

#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "platform/sim/fault_table.h"

namespace platform {
namespace {

bool Faulted(unsigned long request, int& code) {
  switch (request) {
    case BLKGETSIZE64: return InjectedFaultCode("ioctl::BLKGETSIZE64", code);
    case BLKGETSIZE: return InjectedFaultCode("ioctl::BLKGETSIZE", code);
    case BLKSSZGET: return InjectedFaultCode("ioctl::BLKSSZGET", code);
    case BLKBSZGET: return InjectedFaultCode("ioctl::BLKBSZGET", code);
    case BLKPBSZGET: return InjectedFaultCode("ioctl::BLKPBSZGET", code);
    case BLKIOMIN: return InjectedFaultCode("ioctl::BLKIOMIN", code);
    case BLKIOOPT: return InjectedFaultCode("ioctl::BLKIOOPT", code);
    default: return false;
  }
}

}  // namespace

int BlockDeviceIoctl(int fd, unsigned long request, void* argument) {
  int code = 0;
  if (Faulted(request, code)) {
    errno = code > 0 ? code : EIO;
    return -1;
  }
  return ::ioctl(fd, request, argument);
}

}  // namespace platform
