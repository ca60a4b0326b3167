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
#include <cstdint>
#include <string>
#include <vector>

namespace blbjob {

// The kernel's mount table (/proc/self/mountinfo), read once for all the
// look-ups of one step.
class MountTable {
 public:
  // False (why set) when the table cannot be read.
  bool Read(std::string& why);

  // The path through which the file system on the block device can be
  // frozen, its first mount in mount order that its mount point shows: empty
  // when the device holds no mounted file system (or is no block device).
  // False, with why, when the file system is mounted but none of its mount
  // points shows it (another mount hides each one).
  bool FreezePointOf(const std::string& device, std::string& mountPoint, std::string& why) const;

  // What two paths share only when they show one file system (two mounts of
  // it, a bind mount, another subvolume of it): its number in the mount
  // table. Empty when that cannot be told.
  std::string FileSystemShownAt(const std::string& path) const;

 private:
  struct Mount {
    uint64_t id = 0;
    std::string fileSystem;  // "major:minor" of the file system, as the table gives it
    std::string mountPoint;
    std::string source;  // what was mounted: a device path, "tmpfs", ...
  };
  static bool ParseLine(const std::string& line, Mount& mount);

  std::vector<Mount> m_mounts;  // in mount order
};

// MountTable::FreezePointOf of a table read for it.
bool FreezePointOfDevice(const std::string& device, std::string& mountPoint, std::string& why);

}  // namespace blbjob
