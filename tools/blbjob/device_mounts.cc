#include "device_mounts.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/mnttab/kz_mnt_tab.h"

namespace blbjob {
namespace {

constexpr const char* kMountInfo = "/proc/self/mountinfo";

// The mount points of the file system with the device number, in mount
// order; false when the table cannot be read.
bool MountPointsOf(dev_t device, std::vector<std::string>& mountPoints) {
  std::ifstream table(kMountInfo);
  if (!table) return false;
  const std::string number = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  // "<id> <parent> <major:minor> <root> <mount point> <options> ..."
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string id, parent, numbers, root, mountPoint;
    if (fields >> id >> parent >> numbers >> root >> mountPoint && numbers == number)
      mountPoints.push_back(platform::DecodeMountField(mountPoint));
  }
  return !table.bad();
}

}  // namespace

bool FreezePointOfDevice(const std::string& device, std::string& mountPoint, std::string& why) {
  mountPoint.clear();
  struct stat info;
  if (::stat(device.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) return true;
  std::vector<std::string> mountPoints;
  if (!MountPointsOf(info.st_rdev, mountPoints)) {
    why =
        std::string("cannot read ") + kMountInfo + " to find where " + device + " is mounted: " + std::strerror(errno);
    return false;
  }
  // The last mount at a path hides those before it: the mount point must
  // show this file system to freeze it.
  for (const std::string& candidate : mountPoints) {
    struct stat shown;
    if (::stat(candidate.c_str(), &shown) == 0 && shown.st_dev == info.st_rdev) {
      mountPoint = candidate;
      return true;
    }
  }
  if (mountPoints.empty()) return true;
  why = device + " is mounted at " + mountPoints.front() +
        ", where another mount hides it: its file system cannot be frozen for the snapshot";
  return false;
}

}  // namespace blbjob
