#pragma once
// CTrueUpHandler: the true-up of one scan. Every extent of a volume that the
// change bitmap leaves out (and, unless switched off, that the file system
// uses) is read again from the snapshot and hashed; its hash is compared
// with the one the backup index keeps for it, and each extent that differs
// or that the index lacks gets a bit in the volume's true-up bitmap, which
// the scan then ORs into the change bitmap.
//
// Run prepares each volume on the caller's thread, runs one index thread
// and the reader threads over the read manager's queues, polls them until
// the work is done or given up, and compares and saves each volume after
// they stopped. Whatever Run returns, no thread it started is left running
// and every thread object is released. "VolToCFList.kzf" in the true-up
// folder lists each work unit as "volume|collect file\n".
//
// A rerun of the job resumes from the true-up folder, so what it holds
// outlives a power loss: the folder and the volume folders are synced into
// their parents once made, and the list file's replacement syncs the folder
// after the readers synced their collect files.
//
// Settings ("FileSystemAgent"): "nBlockLevelTrueUpScanReaders",
// "nBlockLevelTrueUpReaderMode", "nBlockLevelTrueUpReaderCacheLength",
// "nBlockLevelTrueUpIdxPageSize", "nBlockLevelTrueUpDisableDataBlocks",
// "nBlockLevelTrueUpInspectBitmaps".
#include <boost/shared_ptr.hpp>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "platform/error/qi_error.h"
#include "platform/hashing/hash_read_handler.h"
#include "records/tarvos_job_info.h"
#include "scan/true_up_vol_info.h"
#include "scan/true_up_work_units.h"

class CSnapReadManager;
class CVolumeTrueUpHandler;
class KZJobCtrlClient;

class CTrueUpHandler {
 public:
  static constexpr const char* kTrueUpFolder = "TrueUp";
  static constexpr const char* kVolumeToCollectsFile = "VolToCFList.kzf";
  static constexpr unsigned kErrorAborted = 995;

  CTrueUpHandler(std::vector<TrueUpVolInfo>& volumes, TarvosJobInfo& job, unsigned int clientId, unsigned int streams,
                 KZJobCtrlClient* jobCtrl);
  ~CTrueUpHandler();
  CTrueUpHandler(const CTrueUpHandler&) = delete;
  CTrueUpHandler& operator=(const CTrueUpHandler&) = delete;

  CQiError Initialize();
  CQiError Run();
  CQiError Prepare();

  CQiError DoPreTaskForVolume(const boost::shared_ptr<CVolumeTrueUpHandler>& volume);
  void UpdateVolumeToCollectsInfo(const boost::shared_ptr<CVolumeTrueUpHandler>& volume);
  CQiError DoPostTaskForVolume(const boost::shared_ptr<CVolumeTrueUpHandler>& volume);
  CQiError Finalize();

  void InspectBitMaps(bool afterTrueUp);
  void LogBitMap(const unsigned char* bitmap, unsigned long long bytes);
  static bool IsNthBitSet(unsigned long long n, const unsigned char* bitmap);

  const std::string& GetTrueUpFolder() const { return m_sTrueUpFolder; }
  unsigned int GetReaderCount() const { return m_nReaderCount; }
  DeviceHashComputeMode GetReaderMode() const { return m_eReaderMode; }

 private:
  void ReadSettings();
  // Starts the threads and polls them; stops them before it returns.
  CQiError RunThreads(const boost::shared_ptr<CSnapReadManager>& manager);

  std::string m_sJobResultsDir;
  std::string m_sTrueUpFolder;
  unsigned int m_nClientId;
  unsigned int m_nIdxPageSize = 1000;
  unsigned int m_nReaderCount;
  unsigned int m_nReaderCacheLength = 32;
  bool m_bDataBmpDisabled = false;
  bool m_bInspectBitmaps = false;
  TarvosJobInfo m_oJobInfo;
  DeviceHashComputeMode m_eReaderMode = HC_READ_AND_HASH_THREADS;
  KZJobCtrlClient* m_pJobCtrl;
  std::vector<TrueUpVolInfo> m_vVolumes;
  std::list<IdxVolInfo> m_lIndexWork;
  std::map<std::string, std::vector<CollectInfo>> m_mVolumeToCollects;
};
