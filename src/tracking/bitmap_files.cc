// Raw and size-prefixed bitmap files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

#include "platform/fs/fx_file.h"
#include "records/file_replacement.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

constexpr unsigned kErrorOutOfMemory = 14;
constexpr unsigned kErrorMismatch = 774;

CQiError OpenForReading(const std::string& path, auto_handle& file, uint64_t& length) {
  CQiError err = FXFile::KZCreateFile(path.c_str(), fxfile::kGenericRead, fxfile::kShareRead, nullptr,
                                      fxfile::kOpenExisting, fxfile::kAttributeNormal, file);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to open the Bitmap File, File=%s", path.c_str());
  err = FXFile::KZGetFileSize(file.get(), length);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to get file size for File=%s", path.c_str());
  return CQiError();
}

// Reads count bytes of an open bitmap file into a new buffer; read is what
// came back, judged by the caller.
CQiError ReadBitmapBytes(const auto_handle& file, const std::string& path, uint64_t count,
                         auto_ptr_array<unsigned char>& buffer, uint64_t& read) {
  buffer.reset(new (std::nothrow) unsigned char[count > 0 ? count : 1]);
  if (buffer.get() == nullptr)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorOutOfMemory, "Failed to allocate %llu bytes for bitmap, file=%s",
                                   static_cast<unsigned long long>(count), path.c_str());
  CQiError err = FXFile::KZReadFile(file.get(), buffer.get(), count, read);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to read from bitmap data, file=%s", path.c_str());
  return err;
}

CQiError PrefixedMismatch(const FXCodeLocation& location, uint64_t toRead, uint64_t read, const std::string& path) {
  return FXErrorUtil::ErrorWin32(
      location, kErrorMismatch, "Mismatch bitmap read, SizeToRead=%lu, SizeRead=%llu, file=%s",
      static_cast<unsigned long>(toRead), static_cast<unsigned long long>(read), path.c_str());
}

}  // namespace

CQiError VolumeBitMapHelper::ReadBitMapFromFile(const std::string& path, unsigned char** bitmap,
                                                const unsigned long& size) {
  if (bitmap == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "NULL bitmap pointer passed");
  *bitmap = nullptr;
  auto_handle fd(::open(path.c_str(), O_RDONLY | O_DSYNC | O_CLOEXEC));
  if (fd.get() < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open %s to read bitmap", path.c_str());
  // The size comes from a configuration record: a file that cannot hold it
  // is refused before the size becomes an allocation.
  struct stat info;
  if (::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) < size)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EIO,
                                   "Failed to read bitmap from file [%s] BitmapSize[%lu] BytesRead[%lu]", path.c_str(),
                                   size, static_cast<unsigned long>(info.st_size));

  unsigned char* buffer = static_cast<unsigned char*>(std::calloc(size > 0 ? size : 1, 1));
  if (buffer == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, ENOMEM, "Failed to allocate memory for bitmap");

  // A single read may legitimately return less than asked; keep reading
  // until the size is in or the file ends.
  unsigned long got = 0;
  int readErrno = 0;
  while (got < size) {
    ssize_t n = ::read(fd.get(), buffer + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) readErrno = errno;
    if (n <= 0) break;
    got += static_cast<unsigned long>(n);
  }
  if (got != size) {
    std::free(buffer);
    // A file that ends early is an I/O failure, never a stale errno (2 would
    // read as "no bitmap yet").
    return FXErrorUtil::ErrorErrNo(FXCODELOC, readErrno != 0 ? readErrno : EIO,
                                   "Failed to read bitmap from file [%s] BitmapSize[%lu] BytesRead[%lu]", path.c_str(),
                                   size, got);
  }
  *bitmap = buffer;
  return CQiError();
}

CQiError VolumeBitMapHelper::WriteBitMapToFile(const std::string& path, const unsigned char* bitmap,
                                               const unsigned long& size) {
  if (bitmap == nullptr && size > 0) return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "NULL bitmap passed");
  auto_handle fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open %s to write bitmap", path.c_str());
  unsigned long put = 0;
  while (put < size) {
    ssize_t n = ::write(fd.get(), bitmap + put, size - put);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to write bitmap to file [%s]", path.c_str());
    }
    put += static_cast<unsigned long>(n);
  }
  if (::fsync(fd.get()) != 0)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to flush bitmap file [%s] to disk", path.c_str());
  if (::close(fd.release()) != 0)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to flush bitmap file [%s] to disk", path.c_str());
  return CQiError();
}

CQiError VolumeBitMapHelper::ReplaceBitMapFile(const std::string& path, const unsigned char* bitmap,
                                               const unsigned long& size, records::FolderSync folderSync) {
  const std::string temporary = records::TemporaryNameFor(path);
  CQiError err = WriteBitMapToFile(temporary, bitmap, size);
  if (err.IsError()) {
    unlink_utf(temporary.c_str());
    return err.Push(FXCODELOC);
  }
  err = records::ReplaceWithTemporary(temporary, path, folderSync);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to replace the bitmap file, file=%s", path.c_str());
  return err;
}

CQiError VolumeBitMapHelper::CheckEarlierJobBitmap(const std::string& path, const unsigned long& size) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0)
    return errno == ENOENT ? CQiError()
                           : FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open %s to read bitmap", path.c_str());
  if (static_cast<uint64_t>(info.st_size) == size) return CQiError();
  return FXErrorUtil::ErrorWin32(
      FXCODELOC, kErrorMismatch,
      " Src and dest bitmap sizes are not matching, SrcSize=%lld, DstSize=%lld, can't merge.",
      static_cast<long long>(size), static_cast<long long>(info.st_size));
}

CQiError VolumeBitMapHelper::ReadBitMapFromFile(const std::string& path, auto_ptr_array<unsigned char>& bitmap,
                                                unsigned long& size) {
  bitmap.reset();
  auto_handle file;
  uint64_t length = 0;
  CQiError err = OpenForReading(path, file, length);
  if (err.IsError()) return err;
  if (length == 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorMismatch, "Bitmap File size is zero.File=%s", path.c_str());

  size = static_cast<unsigned long>(length);
  auto_ptr_array<unsigned char> buffer;
  uint64_t read = 0;
  err = ReadBitmapBytes(file, path, length, buffer, read);
  if (err.IsError()) return err.Push(FXCODELOC);
  if (read != length)
    return FXErrorUtil::ErrorWin32(
        FXCODELOC, kErrorMismatch, "Mismatch bitmap read, SizeToRead=%llu, SizeRead=%llu, file=%s",
        static_cast<unsigned long long>(length), static_cast<unsigned long long>(read), path.c_str());
  bitmap.reset(buffer.release());
  return CQiError();
}

CQiError VolumeBitMapHelper::ReadBitMapFromFileWithSize(const std::string& path, auto_ptr_array<unsigned char>& bitmap,
                                                        unsigned long& size) {
  bitmap.reset();
  auto_handle file;
  uint64_t length = 0;
  CQiError err = OpenForReading(path, file, length);
  if (err.IsError()) return err;

  uint64_t prefix = 0;
  uint64_t read = 0;
  err = FXFile::KZReadFile(file.get(), &prefix, sizeof prefix, read);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to read from bitmap size, file=%s", path.c_str());
  // The prefix is checked against what the file holds before it sizes an
  // allocation: a torn or foreign file must not ask for gigabytes.
  if (read != sizeof prefix) return PrefixedMismatch(FXCODELOC, sizeof prefix, read, path);
  // The length was taken before the read: a file that reports less than it
  // holds (a growing file, a pseudo file) must not wrap the subtraction.
  const uint64_t remaining = length > sizeof prefix ? length - sizeof prefix : 0;
  if (prefix > remaining) return PrefixedMismatch(FXCODELOC, prefix, remaining, path);

  size = static_cast<unsigned long>(prefix);
  auto_ptr_array<unsigned char> buffer;
  err = ReadBitmapBytes(file, path, prefix, buffer, read);
  if (err.IsError()) return err.Push(FXCODELOC);
  if (read != prefix) return PrefixedMismatch(FXCODELOC, prefix, read, path);
  bitmap.reset(buffer.release());
  return CQiError();
}

CQiError VolumeBitMapHelper::WriteBitMapToFileWithSize(const std::string& path, const unsigned char* bitmap,
                                                       const unsigned long& size) {
  if (bitmap == nullptr && size > 0) return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "NULL bitmap passed");
  auto_handle file;
  CQiError err = FXFile::KZCreateFile(path.c_str(), fxfile::kGenericWrite, fxfile::kShareRead, nullptr,
                                      fxfile::kCreateAlways, fxfile::kAttributeNormal, file);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to open to write Bitmap File, File=%s", path.c_str());
  const uint64_t prefix = size;
  uint64_t written = 0;
  err = FXFile::KZWriteFile(file.get(), &prefix, sizeof prefix, written);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to write the bitmap size, file=%s", path.c_str());
  if (written != sizeof prefix)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorMismatch, "ToWrite=%lu Wrote=%lld file=%s",
                                   static_cast<unsigned long>(sizeof prefix), static_cast<long long>(written),
                                   path.c_str());
  err = FXFile::KZWriteFile(file.get(), bitmap, size, written);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to write the bitmap data, file=%s", path.c_str());
  if (written != size)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorMismatch, "ToWrite=%lu Wrote=%lld file=%s", size,
                                   static_cast<long long>(written), path.c_str());
  return CQiError();
}
