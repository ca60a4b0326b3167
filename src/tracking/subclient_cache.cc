#include "tracking/subclient_cache.h"

#include <cstring>
#include <new>

#include "platform/config/kz_client.h"
#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"
#include "platform/text/fx_string.h"
#include "records/durable_files.h"
#include "records/file_replacement.h"
#include "tracking/bitmap_words.h"
#include "tracking/driver_cache.h"

namespace {

constexpr unsigned kErrorMismatch = 774;

// The machine's job-results directory: through the record's client, else
// through the physical machine's client.
CQiError FindJobResultsDirectory(const VolumeConfig& record, std::string& directory) {
  directory.clear();
  int code = KZClient(static_cast<uint64_t>(record.VornCellId()), static_cast<uint64_t>(record.ClientId()))
                 .getjobResultDirectory(directory);
  if (code == 0 && !directory.empty()) return CQiError();
  std::string machine;
  KZPlatformInfo::getPhysicalMachine(machine);
  directory.clear();
  code = KZClient(machine.c_str(), false, 0).getjobResultDirectory(directory);
  if (code == 0 && !directory.empty()) return CQiError();
  directory.clear();
  return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorMismatch,
                                 "Failed to retrieve job results directory, ClientId=%lld, ErrorCode=%d",
                                 record.ClientId(), code != 0 ? code : -1);
}

auto_ptr_array<unsigned char> NewBuffer(uint64_t size) {
  return auto_ptr_array<unsigned char>(new (std::nothrow) unsigned char[size > 0 ? size : 1]);
}

CQiError OutOfMemory(const FXCodeLocation& location, uint64_t size) {
  return FXErrorUtil::ErrorWin32(location, 14, "Failed to allocate %llu bytes for bitmap",
                                 static_cast<unsigned long long>(size));
}

}  // namespace

CQiError CSubclientCache::Initialize(uint64_t bitmapSize, const VolumeConfig& record) {
  m_oRecord = record;
  m_nBitmapSize = bitmapSize;
  CQiError err = FindJobResultsDirectory(record, m_sFolder);
  if (err.IsError()) return err.Push(FXCODELOC);
  m_sFolder = FXString::Format("%s%s%s%s%lld_%lld", m_sFolder.c_str(), "/", ".BlockLevel", "/", record.ClientId(),
                               record.AppId());
  err = records::CreateFolderDurably(m_sFolder, true);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to create config directory, ConfigDir=%s", m_sFolder.c_str());
  return err;
}

std::string CSubclientCache::BitmapPath() const {
  return FXPath::Append(m_sFolder, m_oRecord.DeviceId() + ".bmp");
}

std::string CSubclientCache::HookPath() const {
  return FXPath::Append(m_sFolder, m_oRecord.DeviceId() + ".hook");
}

CQiError CSubclientCache::CheckReady() const {
  // A cache whose folder was never found must not act on paths relative to
  // the working directory.
  if (m_sFolder.empty())
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorMismatch, "Subclient cache is not initialized, DeviceId=%s",
                                   m_oRecord.DeviceId().c_str());
  return tracking::CheckDeviceIdForFileName(m_oRecord.DeviceId());
}

CQiError CSubclientCache::CreateHook(bool& existed) {
  existed = false;
  CQiError err = CheckReady();
  if (err.IsError()) return err.Push(FXCODELOC);
  err = tracking::CreateHookFile(HookPath(), existed);
  if (err.IsError()) return err.Push(FXCODELOC);
  // The hook must be on disk before the cache it guards changes: it may
  // outlast the driver hook that guards the same bits.
  if (!existed) err = records::SyncFolder(m_sFolder);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to sync the subclient hook, file=%s", HookPath().c_str());
  return err;
}

CQiError CSubclientCache::DeleteHook() {
  CQiError err = CheckReady();
  if (err.IsError()) return err.Push(FXCODELOC);
  err = FXFile::RemoveFile(HookPath().c_str());
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

bool CSubclientCache::DoesBitmapExists() const {
  return !CheckReady().IsError() && FXPath::DoesPathExist(BitmapPath());
}

CQiError CSubclientCache::ResetBitmap(int value) {
  CQiError err = CheckReady();
  if (err.IsError()) return err.Push(FXCODELOC);
  const std::string path = BitmapPath();
  auto_ptr_array<unsigned char> buffer = NewBuffer(m_nBitmapSize);
  if (buffer.get() == nullptr) return OutOfMemory(FXCODELOC, m_nBitmapSize);
  bitmap_words::Fill(buffer.get(), m_nBitmapSize, static_cast<unsigned char>(value & 0xFF));
  // The previous cache stays until the new one is whole: a reset that fails
  // or dies leaves the bits it held, never no cache or a cut one.
  err = ReplaceBitmapFile(buffer.get(), path);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CSubclientCache::ReplaceBitmapFile(const unsigned char* buffer, const std::string& path) {
  const std::string temporary = records::TemporaryNameFor(path);
  CQiError err = SaveBitmapToFile(buffer, m_nBitmapSize, temporary);
  if (err.IsError()) {
    unlink_utf(temporary.c_str());
    return err.Push(FXCODELOC);
  }
  err = records::ReplaceWithTemporary(temporary, path);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to replace the bitmap file, file=%s", path.c_str());
  return err;
}

CQiError CSubclientCache::SaveBitmapToFile(const unsigned char* buffer, uint64_t size, const std::string& path) {
  auto_handle file;
  CQiError err = FXFile::KZCreateFile(path.c_str(), fxfile::kGenericWrite, fxfile::kShareRead, nullptr,
                                      fxfile::kOpenAlways, fxfile::kAttributeNormal, file);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to open the Bitmap File, File=%s", path.c_str());
  uint64_t written = 0;
  err = FXFile::KZWriteFile(file.get(), buffer, size, written);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to write the bitmap size, file=%s", path.c_str());
  if (written != size) {
    // A partly written cache would read back with a stale tail and lose
    // changed extents.
    EvDebug log;
    log.DebugLvl(__FUNCTION__, -1, "Something wrong, wrote=%llu, actual=%llu", static_cast<unsigned long long>(written),
                 static_cast<unsigned long long>(size));
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorMismatch, "Something wrong, wrote=%llu, actual=%llu",
                                   static_cast<unsigned long long>(written), static_cast<unsigned long long>(size));
  }
  // The cache is read by the subclient's next job, possibly after a crash.
  err = FXFile::KZFlushFile(file.get());
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to write the bitmap size, file=%s", path.c_str());
  return err;
}

CQiError CSubclientCache::ReadBitmapFromFile(unsigned char* buffer, uint64_t size, const std::string& path) {
  auto_handle file;
  CQiError err = FXFile::KZCreateFile(path.c_str(), fxfile::kGenericRead, fxfile::kShareRead, nullptr,
                                      fxfile::kOpenExisting, fxfile::kAttributeNormal, file);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to open the Bitmap File, File=%s", path.c_str());
  uint64_t read = 0;
  err = FXFile::KZReadFile(file.get(), buffer, size, read);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to read from bitmap data, file=%s", path.c_str());
  if (read < size) {
    EvDebug log;
    log.DebugLvl(__FUNCTION__, -1, "Something wrong, read=%llu, actual=%llu", static_cast<unsigned long long>(read),
                 static_cast<unsigned long long>(size));
    // What the file does not hold is unknown, and unknown means changed.
    std::memset(buffer + read, 0xFF, size - read);
  }
  return CQiError();
}

CQiError CSubclientCache::MergeBitmap(unsigned char* first, uint64_t firstSize, const unsigned char* second,
                                      uint64_t secondSize) {
  if (firstSize != secondSize)
    return FXErrorUtil::ErrorWin32(
        FXCODELOC, kErrorMismatch,
        " Src and dest bitmap sizes are not matching, SrcSize=%lld, DstSize=%lld, can't merge.",
        static_cast<long long>(firstSize), static_cast<long long>(secondSize));
  if (firstSize == 0) return CQiError();
  if (first == nullptr || second == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "NULL bitmap passed");
  bitmap_words::Or(first, second, firstSize);
  if (EvDebug::IsLevelEnabled(3)) {
    EvDebug log;
    for (uint64_t index = firstSize - 1; index >= 1; --index)
      if (first[index] != 0)
        log.DebugLvl(__FUNCTION__, 3, "Index=%lld Value=%d", static_cast<long long>(index),
                     static_cast<int>(first[index]));
  }
  return CQiError();
}

CQiError CSubclientCache::ReadIntoNewBuffer(const std::string& path, auto_ptr_array<unsigned char>& buffer) {
  buffer.reset(NewBuffer(m_nBitmapSize).release());
  if (buffer.get() == nullptr) return OutOfMemory(FXCODELOC, m_nBitmapSize);
  std::memset(buffer.get(), 0, m_nBitmapSize);
  CQiError err = ReadBitmapFromFile(buffer.get(), m_nBitmapSize, path);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to read bitmap from file, file=%s", path.c_str());
  return err;
}

CQiError CSubclientCache::MergeBitmap(const auto_ptr_array<unsigned char>& driverBitmap) {
  CQiError err = CheckReady();
  if (err.IsError()) return err.Push(FXCODELOC);
  const std::string path = BitmapPath();
  auto_ptr_array<unsigned char> cache;
  err = ReadIntoNewBuffer(path, cache);
  if (err.IsError()) return err.Push(FXCODELOC);
  err = MergeBitmap(cache.get(), m_nBitmapSize, driverBitmap.get(), m_nBitmapSize);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to merge bitmap buffers");
  err = SaveBitmapToFile(cache.get(), m_nBitmapSize, path);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CSubclientCache::SaveBitmapToFile(const std::string& destination) {
  CQiError err = CheckReady();
  if (err.IsError()) return err.Push(FXCODELOC);
  const std::string path = BitmapPath();
  // The destination may be the only record of bits already taken from the
  // driver (an earlier attempt of the job): it is replaced only by a whole
  // new file, and a failure leaves it as it was.
  const std::string temporary = records::TemporaryNameFor(destination);
  const bool existing = FXPath::DoesPathExist(destination);
  err = FXFile::KZCopyFile(existing ? destination.c_str() : path.c_str(), temporary.c_str(), false);
  if (!err.IsError() && existing) {
    auto_ptr_array<unsigned char> cache;
    err = ReadIntoNewBuffer(path, cache);
    auto_ptr_array<unsigned char> target;
    if (!err.IsError()) err = ReadIntoNewBuffer(destination, target);
    if (!err.IsError()) {
      err = MergeBitmap(target.get(), m_nBitmapSize, cache.get(), m_nBitmapSize);
      if (err.IsError()) err.Push(FXCODELOC, "Failed to merge bitmap buffers");
    }
    // Written over the copy's first bitmap-size bytes: a longer tail stays.
    if (!err.IsError()) err = SaveBitmapToFile(target.get(), m_nBitmapSize, temporary);
  }
  if (err.IsError()) {
    unlink_utf(temporary.c_str());
    return err.Push(FXCODELOC);
  }
  // The cache is emptied once the destination holds its bits: the
  // destination's name must be on disk first.
  err = records::ReplaceWithTemporary(temporary, destination, records::FolderSync::kByCaller);
  if (!err.IsError()) err = records::SyncFolderOf(destination);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to replace the bitmap file, file=%s", destination.c_str());
  return err;
}

CQiError CSubclientCache::ReadBitmap(auto_ptr_array<unsigned char>& buffer) {
  CQiError err = CheckReady();
  if (err.IsError()) return err.Push(FXCODELOC);
  err = ReadIntoNewBuffer(BitmapPath(), buffer);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CSubclientCache::GetBitmapSize(uint64_t& size) {
  if (m_nBitmapSize != 0) {
    size = m_nBitmapSize;
    return CQiError();
  }
  CQiError err = CheckReady();
  if (err.IsError()) return err.Push(FXCODELOC);
  const std::string path = BitmapPath();
  auto_handle file;
  err = FXFile::KZCreateFile(path.c_str(), fxfile::kGenericRead, fxfile::kShareRead, nullptr, fxfile::kOpenExisting,
                             fxfile::kAttributeNormal, file);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to open the Bitmap File, File=%s", path.c_str());
  // The caller sizes its merge buffers with this: the file's own length.
  uint64_t length = 0;
  err = FXFile::KZGetFileSize(file.get(), length);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to get file size for File=%s", path.c_str());
  size = length;
  return err;
}

CQiError CSubclientCache::Cleanup(const VolumeConfig& record) {
  std::string directory;
  CQiError err = FindJobResultsDirectory(record, directory);
  if (err.IsError()) return err.Push(FXCODELOC);
  const std::string path = FXString::Format("%s%s%s%s%lld_%lld%s%s%s", directory.c_str(), "/", ".BlockLevel", "/",
                                            record.ClientId(), record.AppId(), "/", record.DeviceId().c_str(), ".bmp");
  CQiError removed = tracking::CheckDeviceIdForFileName(record.DeviceId());
  if (!removed.IsError()) removed = FXFile::RemoveFile(path.c_str());
  if (removed.IsError()) {
    EvDebug log;
    log.DebugLvl(__FUNCTION__, 3, "Failed to remove bitmap file, ConfigDir=%s, error=%s", path.c_str(),
                 removed.AsString().c_str());
  }
  return CQiError();
}
