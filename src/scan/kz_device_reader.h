#pragma once
// KzDeviceReader: reads one snapshot block device, addressed in 512-byte
// sectors, for the extent hash generators and the volume readers, which
// share one reader. The agent makes one per snapshot device (the Unix one,
// KzDeviceReaderUnix), opens it with InitDevice and hands it to the backup
// readers of that device's collect files.
//
// A reader takes no lock: it reads only with positioned reads, so any
// number of threads may read through one reader at once.
#include <string>

#include "blocklevel/export.h"
#include "platform/error/qi_error.h"
#include "records/backup_device_info.h"
#include "records/tarvos_job_info.h"

class BLB_EXPORT KzDeviceReader {
 public:
  static constexpr unsigned kSectorSize = 512;

  explicit KzDeviceReader(TarvosJobInfo& job);
  virtual ~KzDeviceReader();
  KzDeviceReader(const KzDeviceReader&) = delete;
  KzDeviceReader& operator=(const KzDeviceReader&) = delete;

  virtual CQiError OpenDevice() = 0;
  // sectorsRead counts the whole sectors read; reaching the end of the
  // device is no error (fewer sectors than asked).
  virtual CQiError Read(unsigned long long startSector, unsigned long sectorCount, char* buffer,
                        unsigned long& sectorsRead) = 0;
  virtual CQiError Write(unsigned long long startSector, unsigned long sectorCount, char* buffer,
                         unsigned long& sectorsWritten) = 0;
  // The offset is in bytes.
  virtual CQiError Seek(unsigned long long offset, int whence) = 0;
  virtual CQiError CloseDevice() = 0;

  // Binds the reader to the device and its record, then opens it. The
  // reader counts as initialised from here on, even when the open fails.
  CQiError InitDevice(const std::string& devicePath, BackupDeviceInfo& info);

 protected:
  TarvosJobInfo m_oJobInfo;
  BackupDeviceInfo m_oDeviceInfo;
  bool m_bInitialized = false;
  std::string m_sDevicePath;
  int m_nFd = -1;
};
