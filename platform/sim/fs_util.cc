#include "platform/sim/fs_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace platform {

std::string ParentOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

namespace {

bool MakeFolders(const std::string& path, unsigned mode, bool durable) {
  if (path.empty()) return false;
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  const std::string parent = ParentOf(path);
  if (parent != path && parent != "." && parent != "/" && !MakeFolders(parent, mode, durable) && durable) return false;
  if (::mkdir(path.c_str(), mode) == 0) return !durable || SyncFolder(parent);
  // Made by someone else meanwhile: fine if it is a folder.
  return errno == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool MakeDirectories(const std::string& path, unsigned mode) {
  return MakeFolders(path, mode, false);
}

bool MakeDirectoriesDurably(const std::string& path, unsigned mode) {
  return MakeFolders(path, mode, true);
}

bool SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return synced;
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
  contents.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      ::close(fd);
      errno = saved;
      return false;
    }
    if (got == 0) break;
    contents.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return true;
}

std::string TemporarySibling(const std::string& path) {
  static std::atomic<unsigned long> sequence{0};
  return path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(sequence.fetch_add(1));
}

bool WriteFileAtomically(const std::string& path, const std::string& contents, unsigned mode) {
  const std::string temporary = TemporarySibling(path);
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < contents.size()) {
    ssize_t put = ::write(fd, contents.data() + done, contents.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      int saved = put < 0 ? errno : EIO;
      ::close(fd);
      ::unlink(temporary.c_str());
      errno = saved;
      return false;
    }
    done += static_cast<size_t>(put);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    int saved = errno;
    ::unlink(temporary.c_str());
    errno = saved;
    return false;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    int saved = errno;
    ::unlink(temporary.c_str());
    errno = saved;
    return false;
  }
  return SyncFolder(ParentOf(path));
}

bool RemoveTree(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT;
  if (S_ISDIR(info.st_mode)) {
    if (DIR* dir = ::opendir(path.c_str())) {
      while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        RemoveTree(path + "/" + name);
      }
      ::closedir(dir);
    }
    return ::rmdir(path.c_str()) == 0;
  }
  return ::unlink(path.c_str()) == 0;
}

}  // namespace platform
