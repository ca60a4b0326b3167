#pragma once
// Where the file system of a block device given by its path is mounted.
//
// A device path stands for the whole device, but a file system mounted from
// it still takes writes while its copy is made: that copy has a journal
// that needs recovery, and its block bitmap cannot be trusted. The mount is
// found by device number in /proc/self/mountinfo, so whatever path mounted
// it (another node of the device, a /dev/disk/by-* link) it is found.
#include <string>

namespace blbjob {

// The path through which the file system on the block device can be frozen:
// empty when the device holds no mounted file system. False, with why, when
// the mount table cannot be read, or when the file system is mounted but
// none of its mount points shows it (another mount hides each one).
bool FreezePointOfDevice(const std::string& device, std::string& mountPoint, std::string& why);

}  // namespace blbjob
