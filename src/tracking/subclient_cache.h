#pragma once
// One subclient's cache bitmap of one shared device.
//
// The KZBF driver keeps one bitmap per device and every read clears it, so
// when several subclients back up the same device each cleared driver bitmap
// is OR-ed into one cache bitmap per subclient, kept until that subclient's
// next backup:
//   <job-results dir>/.BlockLevel/<client id>_<app id>/<device id>.bmp
// (a raw changed-extent bitmap, read and written as bitmap-size bytes from
// offset 0), with "<device id>.hook" beside it while an update runs.
//
// Nothing here locks: callers hold the machine-wide semaphore around every
// use. Initialize comes before every other member operation.
#include <cstdint>
#include <string>

#include "platform/error/qi_error.h"
#include "platform/memory/auto_handle.h"
#include "records/volume_config.h"

class CSubclientCache {
 public:
  CSubclientCache() = default;

  // Keeps the record and size, finds the machine's job-results directory
  // and creates the per-subclient folder (an existing one is fine).
  CQiError Initialize(uint64_t bitmapSize, const VolumeConfig& record);

  CQiError CreateHook(bool& existed);
  CQiError DeleteHook();
  bool DoesBitmapExists() const;
  // Rewrites the cache bitmap with every byte set to value's low byte
  // (0: nothing changed, -1: everything changed).
  CQiError ResetBitmap(int value);
  CQiError CreateBitmapFile(bool full) { return ResetBitmap(full ? -1 : 0); }
  // ORs a driver bitmap (at least bitmap-size bytes) into the cache file.
  CQiError MergeBitmap(const auto_ptr_array<unsigned char>& driverBitmap);
  // first |= second; sizes must match (774 otherwise, nothing changed).
  CQiError MergeBitmap(unsigned char* first, uint64_t firstSize, const unsigned char* second, uint64_t secondSize);
  // Copies the cache bitmap to a new destination, or ORs it into an
  // existing one.
  CQiError SaveBitmapToFile(const std::string& destination);
  // Writes size bytes at the start of path (created when missing, never
  // truncated) and flushes them. Fewer bytes written is an error (774).
  CQiError SaveBitmapToFile(const unsigned char* buffer, uint64_t size, const std::string& path);
  // Reads up to size bytes of path into buffer. A shorter file is logged
  // and its missing tail reads as 0xFF: an unknown extent counts as changed.
  CQiError ReadBitmapFromFile(unsigned char* buffer, uint64_t size, const std::string& path);
  // A new bitmap-size buffer holding the cache bitmap.
  CQiError ReadBitmap(auto_ptr_array<unsigned char>& buffer);
  // The bitmap size given to Initialize; when that was 0, the cache file's
  // length.
  CQiError GetBitmapSize(uint64_t& size);
  void GetBitmapFileName(std::string& path) const { path = BitmapPath(); }

  // Removes that subclient's cache bitmap of that device (a missing one is
  // only logged). The hook and the folder stay.
  static CQiError Cleanup(const VolumeConfig& record);

 private:
  std::string BitmapPath() const;
  std::string HookPath() const;
  // Fails unless Initialize succeeded and the device id names a file.
  CQiError CheckReady() const;
  // A new zeroed bitmap-size buffer holding (the first bytes of) path.
  CQiError ReadIntoNewBuffer(const std::string& path, auto_ptr_array<unsigned char>& buffer);
  // Writes a bitmap-size buffer whole under a temporary and renames it over
  // the path.
  CQiError ReplaceBitmapFile(const unsigned char* buffer, const std::string& path);

  std::string m_sFolder;
  uint64_t m_nBitmapSize = 0;
  VolumeConfig m_oRecord;
};
