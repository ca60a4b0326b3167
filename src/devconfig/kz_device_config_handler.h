#pragma once
// KzDeviceConfigHandler: the per-job handler of the device configuration.
//
// At the snapshot the agent opens it for writing and runs the pre-snap and
// post-snap task over the job's volumes with the same object: the pre-snap
// step caches each device's record in memory, the post-snap step writes them
// all to "BlockDeviceConfig.kzf" in the job-results directory. At the scan and
// at restore it is opened for reading and answers lookups by volume.
//
// The virtual operations keep the order the agent's handlers were built
// with; the Unix handler overrides most decisions and the bitmap step. A base
// operation that only a derived handler implements fails with -1 "Not
// Implemented".
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "blocklevel/export.h"
#include "platform/error/qi_error.h"
#include "platform/jobs/backup_level.h"
#include "platform/snapshot/sm_vol_block.h"
#include "records/backup_device_info.h"
#include "records/block_device_config.h"
#include "records/tarvos_job_info.h"

class ApplicationId;

class BLB_EXPORT KzDeviceConfigHandler {
 public:
  // The files' names belong to their reader and writer.
  static constexpr const char* kConfigFileName = BlockDeviceConfigReaderWriter::kMainFileName;
  static constexpr const char* kConfigExtFileName = BlockDeviceConfigReaderWriter_UNIX::kExtFileName;

  explicit KzDeviceConfigHandler(const TarvosJobInfo& job);
  KzDeviceConfigHandler(const KzDeviceConfigHandler&) = delete;
  KzDeviceConfigHandler& operator=(const KzDeviceConfigHandler&) = delete;

  // --- virtual operations, in slot order --------------------------------------

  // Opens the job's configuration files and reads every record.
  virtual CQiError InitRead();
  // Opens the files for writing; with fromExistingFile the files already in
  // the job-results directory are taken as the previous backup's instead and
  // nothing is opened (this never fails).
  virtual CQiError InitWrite(bool metadataEnabled, bool fromExistingFile);
  virtual void Close();
  // Fetches a job's files from the backup index into the job-results
  // directory; a reference time of 0 is looked up from the job's archive files.
  virtual CQiError DownloadRemoteIndexFiles(int archFileType, const std::list<std::string>& patterns,
                                            unsigned long referenceTime);
  // Ships the configuration files (and the files of the file list) to the
  // subclient's proxy, when it has one.
  virtual CQiError PutConfigFiles();
  // Records in byte-wise order of their volumes.
  virtual CQiError GetNextDeviceConfig(BackupDeviceInfo& device, bool& end);
  virtual CQiError GetDeviceConfigForVolume(const std::string& volume, BackupDeviceInfo& device,
                                            const std::string& deviceName);
  // Writes every cached record and empties the cache. A record that cannot be
  // written does not stop the others; the first such failure is returned.
  virtual CQiError WriteAllDeviceConfigAtOnce(bool append);
  virtual CQiError WriteDeviceConfig(const std::string& volume, const BackupDeviceInfo& device, bool cacheOnly);
  virtual bool IsVolumeNewOrChangedSinceLastBackup(const std::string& volume, const std::string& deviceName);
  // True when the previous record of the volume has an older configuration
  // version; the cached record then gets the current version.
  virtual bool ConvertVolumeToFull(const std::string& volume);
  virtual CQiError CheckContentConflict(ApplicationId* application, const std::string& first,
                                        const std::string& second);
  // The snapshot task over the job's volumes; the post-snap call writes and
  // closes the configuration files.
  virtual CQiError ExecutePrePostSnapTask(std::vector<SMVolBlock>& volumes, unsigned long number,
                                          unsigned long backupLevel, int flag, bool postSnap);
  // The task's step for one volume.
  virtual CQiError ExecutePrePostSnapTask(SMVolBlock& volume, unsigned long number, unsigned long backupLevel, int flag,
                                          bool postSnap);
  virtual CQiError WriteDeviceConfig(const std::string& volume, const std::string& deviceName,
                                     const std::string& fsType, const std::string& mountOptions, bool cacheOnly);
  virtual CQiError DetachBlockFilterOnVolumeOnSizeChange(const std::string& deviceName, const std::string& volume,
                                                         bool& forceFull);
  virtual CQiError WriteVolumeTypeForOracleBlockLvl(bool postSnap, int appType, int appId, int cellId,
                                                    const std::string& volume);
  virtual CQiError HandleBitMap(SMVolBlock& volume, const KZBkpLevel& level, eSnapState state);
  virtual CQiError DeleteBitMap(const std::string& volume);
  virtual bool IsSupportedDevice(const std::string& deviceName);
  virtual CQiError GetBitMapInfo(const std::string& volume, unsigned char*& bitmap, unsigned long& size,
                                 unsigned char& flags);
  virtual CQiError AttachDeviceForMonitoring(const std::string& volume, const std::string& deviceName,
                                             const int& extentSize);
  virtual bool ShouldAppendDeviceConfig();
  virtual void setAppendDeviceConfigForOracle(bool append);
  virtual std::string GetFSType(SMVolBlock& volume);
  virtual std::string DriverCacheFolder();
  virtual ~KzDeviceConfigHandler();
  // Removes the bitmap files of earlier jobs from the job-results directory.
  virtual CQiError CleanPrevJobConfigFiles();
  virtual CQiError ReadAllDeviceConfig();
  virtual CQiError PopulateDeviceListFromLastBackup();

  // --- non-virtual ------------------------------------------------------------

  // The handler the agent gets for a job's arguments: null when they do not
  // parse or the subclient's job-results directory is unknown; the SPOS
  // handler when the last argument is exactly "-SPOS", else the Unix one.
  // The caller owns the object.
  static KzDeviceConfigHandler* GetDeviceConfigHandler(const std::vector<std::string>& args);
  // A Unix handler on a job identity already parsed (the scan, the bitmap
  // merge). The caller owns the object.
  static KzDeviceConfigHandler* GetDeviceConfigHandler(TarvosJobInfo& job);

  // The job-results directory, the volume from its last '/' on, ".bmp".
  void PrepareBMFileName(const std::string& volume, std::string& path) const;

  const TarvosJobInfo& GetJobInfo() const { return m_oJobInfo; }
  const std::vector<std::string>& GetFileList() const { return m_vFileList; }

 protected:
  using DeviceMap = std::map<std::string, BackupDeviceInfo>;

  // Closes the configuration files and says whether everything written
  // reached them.
  CQiError CloseConfigFiles();
  // Opens the configuration files for writing, appending or anew.
  CQiError OpenConfigFilesForWriting(bool append);
  // Writes every cached record and empties the cache. A record that cannot be
  // written does not stop the others; the first such failure is returned.
  CQiError WriteCachedDevices();
  void ClearCurrentDevices();

  std::vector<std::string> m_vFileList;
  TarvosJobInfo m_oJobInfo;
  BlockDeviceConfigReaderWriter_UNIX m_oConfigFile;
  DeviceMap m_mCurrentDevices;
  DeviceMap::const_iterator m_itReadCursor;
  std::multimap<std::string, BackupDeviceInfo> m_mExtDevices;
  std::multimap<std::string, BackupDeviceInfo>::const_iterator m_itExtCursor;
  bool m_bMetadataEnabled = false;
  std::string m_sConfigPath;
  DeviceMap m_mPreviousDevices;
};
