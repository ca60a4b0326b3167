#pragma once
// The Linux block-device queries the library makes (BLKGETSIZE64,
// BLKGETSIZE, BLKSSZGET, BLKBSZGET, BLKPBSZGET, BLKIOMIN, BLKIOOPT). They are
// real ioctls; each can also be failed through the fault table under
// "ioctl::<request>", so the fallbacks between them can be tested on a real
// device.
namespace platform {

// ioctl(fd, request, argument): 0, or -1 with errno set (a fault's code).
int BlockDeviceIoctl(int fd, unsigned long request, void* argument);

}  // namespace platform
