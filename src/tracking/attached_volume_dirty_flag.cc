// The attached-volume list's dirty flags set in the file itself: the one mark
// of a volume that needs neither a new file nor more room, for a state
// directory that has none to give.
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <list>

#include "platform/lock/kz_file_lock.h"
#include "tracking/attached_volume_list.h"

namespace {

// Where a line's dirty flag lies in the file, and what makes it read dirty:
// the flag's bytes overwritten by as many, a 1 after leading zeros.
struct FlagWrite {
  off_t offset;
  std::string bytes;
};

// The write that makes the line dirty, if it needs one; false when its flag
// has no byte to overwrite.
bool DirtyFlagWrite(const std::string& line, off_t lineOffset, std::list<FlagWrite>& writes) {
  const VolumeClusterConfig volume(line);
  if (volume.IsDirty()) return true;
  const size_t end = !line.empty() && line.back() == '\n' ? line.size() - 1 : line.size();
  const size_t flag = line.rfind('|', end) + 1;  // a valid line has its fields
  if (flag >= end) return false;
  std::string bytes(end - flag - 1, '0');
  bytes += '1';
  writes.push_back({lineOffset + static_cast<off_t>(flag), bytes});
  return true;
}

int WriteAll(int fd, const FlagWrite& write) {
  size_t done = 0;
  while (done < write.bytes.size()) {
    const ssize_t wrote =
        ::pwrite(fd, write.bytes.data() + done, write.bytes.size() - done, write.offset + static_cast<off_t>(done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return wrote < 0 && errno != 0 ? errno : EIO;
    done += static_cast<size_t>(wrote);
  }
  return 0;
}

}  // namespace

CQiError CAttachedVolumeList::SetDirtyInPlace(const std::set<std::string>& mountPoints, std::set<std::string>& marked) {
  KzFileLock writing(true);
  if (int failed = writing.lock(m_sLockFile, KzFileLock::kWrite, -1))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failed, "Failed to lock [%s]", m_sLockFile.c_str());
  const int fd = ::open(m_sConfigFile.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open [%s]", m_sConfigFile.c_str());
  std::FILE* file = ::fdopen(fd, "r");
  if (file == nullptr) {
    const CQiError failed = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open [%s]", m_sConfigFile.c_str());
    ::close(fd);
    return failed;
  }

  std::list<FlagWrite> writes;
  std::set<std::string> found, unmarkable;
  char* buffer = nullptr;
  size_t capacity = 0;
  off_t offset = 0;
  ssize_t length;
  errno = 0;
  while ((length = ::getline(&buffer, &capacity, file)) >= 0) {
    const std::string line(buffer, static_cast<size_t>(length));
    const VolumeClusterConfig volume(line);
    if (volume.IsValid() && mountPoints.count(volume.GetMountPoint()) != 0) {
      found.insert(volume.GetMountPoint());
      if (!DirtyFlagWrite(line, offset, writes)) unmarkable.insert(volume.GetMountPoint());
    }
    offset += static_cast<off_t>(length);
  }
  std::free(buffer);
  int failure = std::ferror(file) ? (errno != 0 ? errno : EIO) : 0;
  for (const FlagWrite& write : writes) {
    if (failure == 0) failure = WriteAll(fd, write);
  }
  if (failure == 0 && !writes.empty() && ::fsync(fd) != 0) failure = errno != 0 ? errno : EIO;
  std::fclose(file);
  if (failure != 0) return FXErrorUtil::ErrorErrNo(FXCODELOC, failure, "Failed to mark [%s]", m_sConfigFile.c_str());
  for (const std::string& mountPoint : found)
    if (unmarkable.count(mountPoint) == 0) marked.insert(mountPoint);
  return CQiError();
}
