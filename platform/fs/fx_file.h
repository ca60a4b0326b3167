#pragma once
// The framework's file calls, with the Windows-style access, share and
// creation constants the library passes. Handles are file descriptors held
// by auto_handle. Every call can be failed through the fault table.
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "platform/error/qi_error.h"
#include "platform/memory/auto_handle.h"

namespace fxfile {
constexpr unsigned kGenericRead = 0x80000000u;
constexpr unsigned kGenericWrite = 0x40000000u;
constexpr unsigned kShareNone = 0;
constexpr unsigned kShareRead = 1;
constexpr unsigned kShareWrite = 2;
constexpr unsigned kCreateNew = 1;
constexpr unsigned kCreateAlways = 2;     // create, or truncate an existing file
constexpr unsigned kOpenExisting = 3;
constexpr unsigned kOpenAlways = 4;       // create when missing, keep existing content
constexpr unsigned kTruncateExisting = 5;
constexpr unsigned kAttributeNormal = 128;
}  // namespace fxfile

class FXFile {
 public:
  // Opens or creates per disposition. The share mode is advisory only: POSIX
  // has no mandatory sharing.
  static CQiError KZCreateFile(const char* path, unsigned access, unsigned shareMode, void* security,
                               unsigned disposition, unsigned attributes, auto_handle& handle);
  // Reads up to `ask` bytes, looping over short reads until `ask` or the end
  // of the file; `read` is what came back.
  static CQiError KZReadFile(int handle, void* buffer, uint64_t ask, uint64_t& read);
  // Writes all `size` bytes unless an error stops it; `written` says how far.
  static CQiError KZWriteFile(int handle, const void* buffer, uint64_t size, uint64_t& written);
  static CQiError KZSetFilePointer(int handle, uint64_t offset);
  static CQiError KZGetFileSize(int handle, uint64_t& size);
  static CQiError KZGetFileSize(const char* path, uint64_t& size);
  static CQiError KZFlushFile(int handle);
  static CQiError RemoveFile(const char* path);
  // Copies a whole file through a temporary name beside the target.
  static CQiError KZCopyFile(const char* from, const char* to, bool failIfExists);
  static bool DoesFileExist(const char* path);
  static CQiError CreateFoldersIteratively(const char* path);
};

class FXFolder {
 public:
  static CQiError CreateFoldersIteratively(const char* path) { return FXFile::CreateFoldersIteratively(path); }
};

// File-name wrappers with the C library's results (0 or -1 with errno).
int rename_utf(const char* from, const char* to);
int unlink_utf(const char* path);

class CQiUTFOSAPI {
 public:
  static int stat(const char* path, struct stat* info);
};
