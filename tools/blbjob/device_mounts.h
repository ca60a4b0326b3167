#pragma once
// Where the file system of a block device given by its path is mounted, and
// which file system a mount point shows.
//
// A device path stands for the whole device, but a file system mounted from
// it still takes writes while its copy is made: that copy has a journal
// that needs recovery, and its block bitmap cannot be trusted. The mounts
// are found in /proc/self/mountinfo by device number and by mount source:
// a file system whose own device number is not its device's (btrfs, any
// that takes an anonymous one) shows only its source as the device, so
// whatever path mounted it (another node of the device, a /dev/disk/by-*
// link) it is found. Which mount a path shows is told by mount id, for the
// same reason: such a file system's mount point does not show the device's
// number either.
#include <string>

namespace blbjob {

// The path through which the file system on the block device can be frozen,
// its first mount in mount order that its mount point shows: empty when the
// device holds no mounted file system. False, with why, when the mount table
// cannot be read, or when the file system is mounted but none of its mount
// points shows it (another mount hides each one).
bool FreezePointOfDevice(const std::string& device, std::string& mountPoint, std::string& why);

// What two paths share only when they show one file system (two mounts of
// it, a bind mount, another subvolume of it): its number in the mount table.
// Empty when that cannot be told.
std::string FileSystemShownAt(const std::string& path);

}  // namespace blbjob
