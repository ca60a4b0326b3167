#pragma once
// The device configuration of an earlier job, fetched from the backup index.
//
// HandleRemoteIndex downloads the job's files into the given job-results
// directory, keeps the configuration file of the highest job id under the
// plain name "BlockDeviceConfig.kzf", reads it and hands back an object that
// answers lookups from it. The agent owns the object and deletes it.
#include <cstdint>
#include <list>
#include <string>

#include "devconfig/kz_device_config_handler.h"
#include "platform/error/qi_error.h"
#include "records/backup_device_info.h"
#include "records/tarvos_job_info.h"

struct HandleRemoteIndexArgs {
  std::string jobResultsDir;
  std::list<std::string> filePatterns;  // empty: the bitmaps, archives and configuration files
  uint64_t referenceTime = 0;           // 0: the create time of the job's metadata archive file
  uint64_t jobId = 0;
  uint64_t appId = 0;
  uint64_t cellId = 0;
  std::string stowhost;
  int32_t archFileType = 0;
};

class CBlkLvlRemoteIndexHandler {
 public:
  CBlkLvlRemoteIndexHandler(TarvosJobInfo& job, unsigned long referenceTime, int archFileType,
                            const std::list<std::string>& patterns);
  CBlkLvlRemoteIndexHandler(const CBlkLvlRemoteIndexHandler&) = delete;
  CBlkLvlRemoteIndexHandler& operator=(const CBlkLvlRemoteIndexHandler&) = delete;

  CQiError DownLoadIndexFiles();

  // The agent calls these on the object it was handed; they are inline so
  // that they need nothing of the library but the handler's exported members.
  //
  // The files are keyed by volume: the key is a volume's mount path.
  CQiError GetBackupDeviceInfoForDevice(const std::string& key, BackupDeviceInfo& device) {
    BackupDeviceInfo found;
    CQiError error = m_oHandler.KzDeviceConfigHandler::GetDeviceConfigForVolume(key, found, std::string());
    if (error.IsError()) return error.Push(FXCODELOC);
    device = found;
    return CQiError();
  }
  CQiError GetNextBackupDevice(BackupDeviceInfo& device, bool& end) {
    return m_oHandler.KzDeviceConfigHandler::GetNextDeviceConfig(device, end);
  }

 private:
  TarvosJobInfo m_oJobInfo;
  KzDeviceConfigHandler m_oHandler;
  unsigned long m_nReferenceTime;
  int m_nArchFileType;
  std::list<std::string> m_lPatterns;
};
