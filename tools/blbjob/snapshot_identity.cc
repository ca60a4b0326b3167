#include "snapshot_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/blockdev/loop_backing.h"
#include "platform/memory/auto_handle.h"

namespace blbjob {
namespace {

// The volume's snapshot opened, when it still reads the image the job
// recorded. Otherwise -1: with what became of the snapshot in `gone`, or
// with the errno in `error` when that cannot be told.
int OpenIfStillTheSnapshot(const blbsim::JobVolumeRecord& volume, std::string& gone, int& error) {
  gone.clear();
  error = 0;
  const std::string& snapshot = volume.snapshot;
  const std::string& image = volume.snapshotImage;
  // The snapshot task's clean-up of stale snapshots records those it
  // destroys so; a record made before images were recorded cannot be told
  // from another snapshot on the same loop device either.
  if (image.empty()) {
    gone = "the clean-up of stale snapshots of a later snapshot phase destroyed it";
    return -1;
  }
  // Recorded before its copy started, and never kept.
  if (snapshot == image) {
    gone = "its copy was cut short";
    return -1;
  }
  struct stat imageInfo;
  if (::stat(image.c_str(), &imageInfo) != 0) {
    error = errno;
    if (error == ENOENT) gone = "its image " + image + " was removed";
    return -1;
  }
  const std::string notAttached = snapshot + " no longer reads its image (detached, or the machine restarted)";
  auto_handle fd(::open(snapshot.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    error = errno;
    if (error == ENOENT || error == ENXIO || error == ENODEV) gone = notAttached;
    return -1;
  }
  struct stat opened;
  if (::fstat(fd.get(), &opened) != 0) return error = errno, -1;
  bool same = false;
  if (S_ISBLK(opened.st_mode)) {
    same = platform::LoopDeviceReads(fd.get(), imageInfo);
    if (!same && errno != 0) {
      error = errno;
      if (error == ENXIO) gone = notAttached;
      if (error == ENOTTY || error == EINVAL) gone = snapshot + " is not a loop device";
      return -1;
    }
  } else {
    same = opened.st_dev == imageInfo.st_dev && opened.st_ino == imageInfo.st_ino;
  }
  if (!same) {
    gone = snapshot + " reads another file now, not its image " + image;
    return -1;
  }
  return fd.release();
}

}  // namespace

std::string WhyNotTheSnapshot(const std::string& snapshot, const std::string& image) {
  blbsim::JobVolumeRecord volume;
  volume.snapshot = snapshot;
  volume.snapshotImage = image;
  std::string gone;
  int error = 0;
  const int fd = OpenIfStillTheSnapshot(volume, gone, error);
  if (fd >= 0) ::close(fd);
  return gone;
}

CheckedSnapshots::~CheckedSnapshots() {
  for (int fd : m_vOpen) ::close(fd);
}

bool CheckedSnapshots::Open(const std::vector<blbsim::JobVolumeRecord>& volumes, std::string& why) {
  std::vector<std::string> checked;
  for (const blbsim::JobVolumeRecord& volume : volumes) {
    // A device's volumes share its snapshot.
    if (std::find(checked.begin(), checked.end(), volume.snapshot) != checked.end()) continue;
    std::string gone;
    int error = 0;
    const int fd = OpenIfStillTheSnapshot(volume, gone, error);
    if (fd < 0 && gone.empty()) {
      why = "cannot tell whether the snapshot " + volume.snapshot + " of volume " + volume.volume +
            " is still the job's: " + std::strerror(error);
      return false;
    }
    if (fd < 0) {
      why = "the snapshot " + volume.snapshot + " of volume " + volume.volume + " is gone: " + gone +
            "; take the snapshot again: blbjob release, then blbjob snapshot or run, with the job's arguments";
      return false;
    }
    m_vOpen.push_back(fd);
    checked.push_back(volume.snapshot);
  }
  return true;
}

}  // namespace blbjob
