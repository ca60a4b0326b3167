#include "device_mounts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/mnttab/kz_mnt_tab.h"

namespace blbjob {
namespace {

constexpr const char* kMountInfo = "/proc/self/mountinfo";

std::string NumberText(unsigned major, unsigned minor) {
  return std::to_string(major) + ":" + std::to_string(minor);
}

// Mounted from the device: by the file system's number, or by a source that
// is the device under any of its names. A source that is not an absolute
// path ("tmpfs", "proc") names no device node.
bool IsOfDevice(const std::string& fileSystem, const std::string& source, dev_t device) {
  if (fileSystem == NumberText(major(device), minor(device))) return true;
  struct stat node;
  return !source.empty() && source[0] == '/' && ::stat(source.c_str(), &node) == 0 && S_ISBLK(node.st_mode) &&
         node.st_rdev == device;
}

// The mount the path shows: its id, when the kernel reports mount ids (byId),
// and the number of the file system the path shows. False when the path
// cannot be read.
bool ShownAt(const std::string& path, bool& byId, uint64_t& id, std::string& fileSystem) {
  struct statx shown;
  if (::statx(AT_FDCWD, path.c_str(), AT_NO_AUTOMOUNT, STATX_MNT_ID, &shown) != 0) return false;
  byId = (shown.stx_mask & STATX_MNT_ID) != 0;
  id = shown.stx_mnt_id;
  fileSystem = NumberText(shown.stx_dev_major, shown.stx_dev_minor);
  return true;
}

// Whether the mount point shows this mount: a later mount at the same path,
// or at a folder above it, hides it.
bool IsShown(const std::string& mountPoint, uint64_t mountId, const std::string& mountFileSystem) {
  bool byId = false;
  uint64_t id = 0;
  std::string fileSystem;
  if (!ShownAt(mountPoint, byId, id, fileSystem)) return false;
  return byId ? id == mountId : fileSystem == mountFileSystem;
}

}  // namespace

// "<id> <parent> <major:minor> <root> <mount point> <options> [<optional>...]
// - <type> <source> <super options>"; false for a line that lacks the first
// six fields.
bool MountTable::ParseLine(const std::string& line, Mount& mount) {
  std::istringstream fields(line);
  std::string parent, root, mountPoint, options, word, type, source;
  if (!(fields >> mount.id >> parent >> mount.fileSystem >> root >> mountPoint >> options)) return false;
  mount.mountPoint = platform::DecodeMountField(mountPoint);
  while (fields >> word && word != "-") {
  }
  if (word == "-" && fields >> type >> source) mount.source = platform::DecodeMountField(source);
  return true;
}

bool MountTable::Read(std::string& why) {
  m_mounts.clear();
  std::ifstream table(kMountInfo);
  for (std::string line; table && std::getline(table, line);) {
    Mount mount;
    if (ParseLine(line, mount)) m_mounts.push_back(mount);
  }
  if (table.is_open() && !table.bad()) return true;
  why = std::string("cannot read ") + kMountInfo + ": " + std::strerror(errno);
  return false;
}

bool MountTable::FreezePointOf(const std::string& device, std::string& mountPoint, std::string& why) const {
  mountPoint.clear();
  struct stat info;
  if (::stat(device.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) return true;
  const Mount* hidden = nullptr;
  for (const Mount& mount : m_mounts) {
    if (!IsOfDevice(mount.fileSystem, mount.source, info.st_rdev)) continue;
    if (IsShown(mount.mountPoint, mount.id, mount.fileSystem)) {
      mountPoint = mount.mountPoint;
      return true;
    }
    if (hidden == nullptr) hidden = &mount;
  }
  if (hidden == nullptr) return true;
  why = device + " is mounted at " + hidden->mountPoint +
        ", where another mount hides it: its file system cannot be frozen for the snapshot";
  return false;
}

std::string MountTable::FileSystemShownAt(const std::string& path) const {
  bool byId = false;
  uint64_t id = 0;
  std::string fileSystem;
  if (!ShownAt(path, byId, id, fileSystem)) return std::string();
  if (!byId) return "device " + fileSystem;
  for (const Mount& mount : m_mounts)
    if (mount.id == id) return mount.fileSystem;
  return std::string();
}

bool FreezePointOfDevice(const std::string& device, std::string& mountPoint, std::string& why) {
  MountTable table;
  std::string unread;
  if (!table.Read(unread)) {
    mountPoint.clear();
    why = unread + " to find where " + device + " is mounted";
    return false;
  }
  return table.FreezePointOf(device, mountPoint, why);
}

}  // namespace blbjob
