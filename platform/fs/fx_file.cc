#include "platform/fs/fx_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"

namespace {

int OpenFlags(unsigned access, unsigned disposition, bool& valid) {
  valid = true;
  int flags = O_CLOEXEC;
  const bool reads = (access & fxfile::kGenericRead) != 0;
  const bool writes = (access & fxfile::kGenericWrite) != 0;
  if (reads && writes) flags |= O_RDWR;
  else if (writes) flags |= O_WRONLY;
  else flags |= O_RDONLY;
  switch (disposition) {
    case fxfile::kCreateNew: flags |= O_CREAT | O_EXCL; break;
    case fxfile::kCreateAlways: flags |= O_CREAT | O_TRUNC; break;
    case fxfile::kOpenExisting: break;
    case fxfile::kOpenAlways: flags |= O_CREAT; break;
    case fxfile::kTruncateExisting: flags |= O_TRUNC; break;
    default: valid = false;
  }
  return flags;
}

}  // namespace

CQiError FXFile::KZCreateFile(const char* path, unsigned access, unsigned, void*, unsigned disposition, unsigned,
                              auto_handle& handle) {
  CQiError fault = platform::InjectedFault("FXFile::KZCreateFile", FXCODELOC);
  if (fault.IsError()) return fault;
  if (path == nullptr || *path == '\0') return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Empty file name");
  bool valid = false;
  const int flags = OpenFlags(access, disposition, valid);
  if (!valid) return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Invalid disposition %u for %s", disposition, path);
  int fd = ::open(path, flags, 0644);
  if (fd < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open %s", path);
  handle.reset(fd);
  return CQiError();
}

CQiError FXFile::KZReadFile(int handle, void* buffer, uint64_t ask, uint64_t& read) {
  read = 0;
  CQiError fault = platform::InjectedFault("FXFile::KZReadFile", FXCODELOC);
  if (fault.IsError()) return fault;
  char* out = static_cast<char*>(buffer);
  while (read < ask) {
    ssize_t got = ::read(handle, out + read, static_cast<size_t>(ask - read));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Read failed after %llu bytes", (unsigned long long)read);
    if (got == 0) break;
    read += static_cast<uint64_t>(got);
  }
  return CQiError();
}

CQiError FXFile::KZWriteFile(int handle, const void* buffer, uint64_t size, uint64_t& written) {
  written = 0;
  CQiError fault = platform::InjectedFault("FXFile::KZWriteFile", FXCODELOC);
  if (fault.IsError()) return fault;
  const char* in = static_cast<const char*>(buffer);
  while (written < size) {
    ssize_t put = ::write(handle, in + written, static_cast<size_t>(size - written));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0)
      return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Write failed after %llu bytes", (unsigned long long)written);
    written += static_cast<uint64_t>(put);
  }
  return CQiError();
}

CQiError FXFile::KZSetFilePointer(int handle, uint64_t offset) {
  CQiError fault = platform::InjectedFault("FXFile::KZSetFilePointer", FXCODELOC);
  if (fault.IsError()) return fault;
  if (::lseek(handle, static_cast<off_t>(offset), SEEK_SET) < 0)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Seek to %llu failed", (unsigned long long)offset);
  return CQiError();
}

CQiError FXFile::KZGetFileSize(int handle, uint64_t& size) {
  CQiError fault = platform::InjectedFault("FXFile::KZGetFileSize", FXCODELOC);
  if (fault.IsError()) return fault;
  struct stat info;
  if (::fstat(handle, &info) != 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "fstat failed");
  size = static_cast<uint64_t>(info.st_size);
  return CQiError();
}

CQiError FXFile::KZGetFileSize(const char* path, uint64_t& size) {
  CQiError fault = platform::InjectedFault("FXFile::KZGetFileSize", FXCODELOC);
  if (fault.IsError()) return fault;
  struct stat info;
  if (path == nullptr || ::stat(path, &info) != 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "stat of %s failed", path ? path : "");
  size = static_cast<uint64_t>(info.st_size);
  return CQiError();
}

CQiError FXFile::KZFlushFile(int handle) {
  CQiError fault = platform::InjectedFault("FXFile::KZFlushFile", FXCODELOC);
  if (fault.IsError()) return fault;
  if (::fsync(handle) != 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "fsync failed");
  return CQiError();
}

CQiError FXFile::RemoveFile(const char* path) {
  CQiError fault = platform::InjectedFault("FXFile::RemoveFile", FXCODELOC);
  if (fault.IsError()) return fault;
  if (path == nullptr || ::unlink(path) != 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to remove %s", path ? path : "");
  return CQiError();
}

CQiError FXFile::KZCopyFile(const char* from, const char* to, bool failIfExists) {
  CQiError fault = platform::InjectedFault("FXFile::KZCopyFile", FXCODELOC);
  if (fault.IsError()) return fault;
  if (from == nullptr || to == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Invalid copy arguments");
  if (failIfExists && DoesFileExist(to)) return FXErrorUtil::ErrorErrNo(FXCODELOC, EEXIST, "%s exists", to);
  auto_handle source(::open(from, O_RDONLY | O_CLOEXEC));
  if (source.get() < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open %s", from);
  const std::string temporary = platform::TemporarySibling(to);
  auto_handle target(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (target.get() < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to create %s", temporary.c_str());
  std::vector<char> buffer(1 << 20);
  for (;;) {
    uint64_t got = 0;
    CQiError error = KZReadFile(source.get(), buffer.data(), buffer.size(), got);
    if (!error.IsError() && got > 0) {
      uint64_t put = 0;
      error = KZWriteFile(target.get(), buffer.data(), got, put);
    }
    if (error.IsError()) {
      ::unlink(temporary.c_str());
      return error.Push(FXCODELOC, "Failed to copy %s to %s", from, to);
    }
    if (got < buffer.size()) break;
  }
  if (::fsync(target.get()) != 0 || ::close(target.release()) != 0 || ::rename(temporary.c_str(), to) != 0) {
    CQiError error = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to complete the copy to %s", to);
    ::unlink(temporary.c_str());
    return error;
  }
  return CQiError();
}

bool FXFile::DoesFileExist(const char* path) {
  struct stat info;
  return path != nullptr && ::stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

CQiError FXFile::CreateFoldersIteratively(const char* path) {
  CQiError fault = platform::InjectedFault("FXFolder::CreateFoldersIteratively", FXCODELOC);
  if (fault.IsError()) return fault;
  if (path == nullptr || !platform::MakeDirectories(path))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to create folder %s", path ? path : "");
  return CQiError();
}

int rename_utf(const char* from, const char* to) {
  int code = 0;
  if (platform::InjectedFaultCode("rename_utf", code)) {
    errno = code > 0 ? code : EIO;
    return -1;
  }
  return ::rename(from, to);
}

int unlink_utf(const char* path) {
  int code = 0;
  if (platform::InjectedFaultCode("unlink_utf", code)) {
    errno = code > 0 ? code : EIO;
    return -1;
  }
  return ::unlink(path);
}

int CQiUTFOSAPI::stat(const char* path, struct stat* info) {
  int code = 0;
  if (platform::InjectedFaultCode("CQiUTFOSAPI::stat", code)) {
    errno = code > 0 ? code : EIO;
    return -1;
  }
  return ::stat(path, info);
}
