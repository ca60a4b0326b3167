#pragma once
// Which file a loop device reads, told by the file's device and inode as the
// kernel holds them, not by the path it was attached under: a path names
// another file in another mount namespace, or once the file was replaced.
#include <sys/stat.h>

namespace platform {

// True when the open loop device reads the file described by `file`; false
// with errno set when it reads no file (ENXIO) or is no loop device (ENOTTY,
// EINVAL), false with errno 0 when it reads another file.
bool LoopDeviceReads(int loopFd, const struct stat& file);

}  // namespace platform
