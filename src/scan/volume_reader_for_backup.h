#pragma once
// CVolumeReaderForBackup: the backup's reader of one collect file. It reads
// every extent the file lists from the volume's snapshot, through the
// device reader the agent opened and shares, and yields each one with the
// MD5 of its bytes, in the file's order, one per GetNextExtent.
//
// Several readers, one per collect file of a volume, may run at once on
// their own threads over one shared device reader.
#include <boost/shared_ptr.hpp>

#include <string>

#include "blocklevel/export.h"
#include "platform/error/qi_error.h"
#include "platform/hashing/extent_hash_item.h"
#include "platform/hashing/extent_iterator.h"
#include "platform/hashing/hash_read_handler.h"
#include "records/backup_device_info.h"
#include "scan/kz_device_reader.h"
#include "scan/read_handler_slot.h"

class CFSBLBHashGenerator;

class BLB_EXPORT CVolumeReaderForBackup {
 public:
  // Filled by the agent.
  struct DeviceInfo {
    std::string sSnapDevice;
    BackupDeviceInfo oDeviceInfo;
    boost::shared_ptr<KzDeviceReader> pDeviceReader;  // opened by the agent
    DeviceHashComputeMode eHashMode = HC_NO_THREAD;
    std::string sCollectFile;
    unsigned long long nStartPos = 0;  // the collect file's 0-based line to begin at
    unsigned long long nReadAheadCount = 0;
  };

  CVolumeReaderForBackup();
  virtual ~CVolumeReaderForBackup();
  CVolumeReaderForBackup(const CVolumeReaderForBackup&) = delete;
  CVolumeReaderForBackup& operator=(const CVolumeReaderForBackup&) = delete;

  CQiError Initialize(DeviceInfo& info);
  CQiError Initialize2(DeviceInfo& info);
  // Reads ahead with a second iterator over the collect file; the second
  // argument is not read.
  CQiError Initialize3(DeviceInfo& info, unsigned long reserved);

  // The next extent with its hash, owned by the caller; null at the end.
  // Fails (774) unless an initialisation succeeded.
  CQiError GetNextExtent(ExtentHashItem*& item);
  // From any thread: a GetNextExtent waiting returns.
  void Stop();

  // Where to resume: 0 for a missing or empty file, else the number that
  // begins its last line (before any "|") plus one.
  CQiError OpenCollect(const std::string& path, unsigned long long& start);
  static CQiError ComputeMd5Hash(unsigned char* buffer, unsigned long long length, std::string& hash);

 private:
  CQiError Setup(DeviceInfo& info, bool readAhead);
  CQiError SetUpReading(DeviceInfo& info, bool readAhead);

  scan::ReadHandlerSlot m_oReadHandler;
  boost::shared_ptr<CExtCollectIterator> m_pCollectIterator;
  boost::shared_ptr<CFSBLBHashGenerator> m_pHashGenerator;
  bool m_bInitialized = false;
};
