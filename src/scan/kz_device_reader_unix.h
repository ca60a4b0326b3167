#pragma once
// KzDeviceReaderUnix: the reader of a snapshot's block device (raw devices
// are not supported), opened read-only.
//
// Extent reads are large and aligned, so a block device is also opened with
// O_DIRECT: a read whose buffer, offset and length are aligned to the
// device's logical sector size goes past the page cache (much faster on a
// loop device, and no cache filled with data read once); any other read,
// and every read when the direct open is refused, takes the plain
// descriptor.
#include <atomic>

#include "scan/kz_device_reader.h"

class BLB_EXPORT KzDeviceReaderUnix : public KzDeviceReader {
 public:
  explicit KzDeviceReaderUnix(TarvosJobInfo& job);
  ~KzDeviceReaderUnix() override;

  CQiError OpenDevice() override;
  CQiError Read(unsigned long long startSector, unsigned long sectorCount, char* buffer,
                unsigned long& sectorsRead) override;
  CQiError Write(unsigned long long startSector, unsigned long sectorCount, char* buffer,
                 unsigned long& sectorsWritten) override;
  CQiError Seek(unsigned long long offset, int whence) override;
  CQiError CloseDevice() override;

 private:
  // One positioned read, past the page cache when it can.
  ssize_t ReadAt(char* buffer, size_t count, unsigned long long offset);
  void CloseDescriptors();

  int m_nDirectFd = -1;
  unsigned m_nDirectAlignment = 0;
  std::atomic<bool> m_bDirectUsable{false};
};
