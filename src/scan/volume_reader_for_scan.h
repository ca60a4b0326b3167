#pragma once
// CVolumeReaderForScan: the reading of one true-up work unit. It walks the
// set bits of the unit's piece of a volume's bitmap, reads each extent from
// the snapshot device, hashes it with MD5 and appends the extent's entry to
// the unit's collect file. One reader serves one unit after another on its
// thread; Stop may come from another.
//
// Restart: a unit whose collect file holds entries resumes at its last
// entry, which is hashed and listed again (the comparison takes an extent
// listed twice). A last line torn by a crash is cut off first, and a file
// whose last entry lies outside the unit's extents (another unit's file) is
// emptied: the unit starts over. Every entry is in the file, and on disk,
// when Run returns: the list of the true-up's collect files that names it
// comes later, and a power loss must not take back what that list stands
// for. A power loss in the middle of the unit loses entries from the end
// only, which the rerun reads again.
#include <boost/shared_ptr.hpp>

#include <string>

#include "platform/error/qi_error.h"
#include "platform/hashing/extent_hash_table.h"
#include "platform/hashing/extent_iterator.h"
#include "platform/hashing/hash_read_handler.h"
#include "records/backup_device_info.h"
#include "records/tarvos_job_info.h"
#include "scan/read_handler_slot.h"

class CFSBLBHashGenerator;

class CVolumeReaderForScan {
 public:
  // The input of one unit.
  struct DeviceInfo {
    std::string sSnapDevice;
    BackupDeviceInfo oDeviceInfo;
    TarvosJobInfo oJobInfo;
    unsigned char* pSubNegBmp = nullptr;  // not owned; bit i is extent nFirstExtent + i
    unsigned long long nSubNegBmpSize = 0;
    unsigned long long nFirstExtent = 0;
    unsigned long long nReadAheadQLen = 0;
    DeviceHashComputeMode eMode = HC_NO_THREAD;
    std::string sCollect;
  };

  CVolumeReaderForScan();
  virtual ~CVolumeReaderForScan();
  CVolumeReaderForScan(const CVolumeReaderForScan&) = delete;
  CVolumeReaderForScan& operator=(const CVolumeReaderForScan&) = delete;

  CQiError Initialize(DeviceInfo& info);
  CQiError Initialize2(DeviceInfo& info);
  CQiError Run();
  void Stop();

  // Finds the resume point (firstExtent, moved to the file's last entry) and
  // opens the collect table for appending.
  CQiError OpenCollect(const std::string& path, unsigned long long& firstExtent);
  static CQiError ComputeMd5Hash(unsigned char* buffer, unsigned long long length, std::string& hash);

 private:
  // As above, for a unit of `unitExtents` extents from firstExtent.
  CQiError OpenCollect(const std::string& path, unsigned long long& firstExtent, unsigned long long unitExtents);
  // The resume point a non-empty collect file of `size` bytes gives.
  CQiError ResumePoint(const std::string& path, unsigned long long size, unsigned long long unitExtents,
                       unsigned long long& resume);
  // Run's end: the entries written out and synced, the first failure
  // reported.
  CQiError Finish(CQiError result);

  scan::ReadHandlerSlot m_oReadHandler;
  boost::shared_ptr<CExtBmpIterator> m_pIterator;
  boost::shared_ptr<CFSBLBHashGenerator> m_pHashGenerator;
  boost::shared_ptr<IExtentHashTable> m_pCollectTable;
  std::string m_sCollect;
  bool m_bInitialized = false;
};
