#pragma once
// KzDeviceConfigHandler_UNIX: the device-configuration handler of a Unix
// block-level job, and KzDeviceConfigHandler_SPOS, the one a job whose last
// argument is "-SPOS" gets.
//
// The agent calls ExecutePrePostSnapTask on one object before and after the
// snapshot. Before it, each volume's device is measured and its record
// cached, the decisions that force a volume (or the whole job) to a full
// backup are taken, and the volume's change-tracking strategy writes the
// job's bitmap file; after it, the bitmap step runs again, the records are
// written to the job's configuration files and the files are shipped to the
// subclient's proxy.
//
// zfs needs more than one record per device: every record of file-system
// type "zfs" on a "/dev/" device is an extension entry, keyed by device and
// written to "BlockDeviceConfigExt.kzf"; a zfs dataset with no device of its
// own gets a raw entry in the main file, sized from its file system. Lookups
// answer from the main entries first, then from the extension entries.
//
// An SPOS job is never converted to a full backup as a whole and its bitmap
// step never fails: the volume goes full instead.
#include <string>
#include <vector>

#include "devconfig/kz_device_config_handler.h"

class BLB_EXPORT KzDeviceConfigHandler_UNIX : public KzDeviceConfigHandler {
 public:
  explicit KzDeviceConfigHandler_UNIX(const TarvosJobInfo& job);
  ~KzDeviceConfigHandler_UNIX() override;

  // "FileSystemAgent"/"sKZBFSNAPPART" when set to a non-empty value, else the
  // product directory followed by "/KZBF/cache": the folder of the
  // monitored-volume list, the driver hooks, the driverless device records
  // and the KZBF snapshot files. Empty when the registry could not be read
  // for either: every caller refuses an empty folder.
  static void GetDriverCacheFolder(std::string& folder);

  // --- overrides, in the base's slot order ------------------------------------

  CQiError GetNextDeviceConfig(BackupDeviceInfo& device, bool& end) override;
  CQiError GetDeviceConfigForVolume(const std::string& volume, BackupDeviceInfo& device,
                                    const std::string& deviceName) override;
  // Writes the main records, then every extension entry, and empties both;
  // the first record that could not be written is returned.
  CQiError WriteAllDeviceConfigAtOnce(bool append) override;
  CQiError WriteDeviceConfig(const std::string& volume, const BackupDeviceInfo& device, bool cacheOnly) override;
  bool IsVolumeNewOrChangedSinceLastBackup(const std::string& volume, const std::string& deviceName) override;
  bool ConvertVolumeToFull(const std::string& volume) override;
  // extentSizeMiB is handed on in bytes and read by no step. flag 1 turns on
  // the stale-snapshot clean-up and the duplicate-subclient check before the
  // snapshot, and turns off the shipping after it.
  CQiError ExecutePrePostSnapTask(std::vector<SMVolBlock>& volumes, unsigned long extentSizeMiB,
                                  unsigned long backupLevel, int flag, bool postSnap) override;
  using KzDeviceConfigHandler::ExecutePrePostSnapTask;
  // Measures the device through its change-tracking strategy and records it.
  CQiError WriteDeviceConfig(const std::string& volume, const std::string& deviceName, const std::string& fsType,
                             const std::string& mountOptions, bool cacheOnly) override;
  // Stops tracking the device, and converts the job, when its extent size or
  // its size changed; the volume is then forced to full.
  CQiError DetachBlockFilterOnVolumeOnSizeChange(const std::string& deviceName, const std::string& volume,
                                                 bool& forceFull) override;
  // After the snapshot of an Oracle job: the volume's type ("LOGS" when the
  // Oracle append flag is set, else "DATA") in the subclient directory's
  // "OraVolumeType.kzf".
  CQiError WriteVolumeTypeForOracleBlockLvl(bool postSnap, int appType, int appId, int cellId,
                                            const std::string& volume) override;
  CQiError HandleBitMap(SMVolBlock& volume, const KZBkpLevel& level, eSnapState state) override;
  bool IsSupportedDevice(const std::string& deviceName) override;
  // The volume's bitmap file as the snapshot left it (release with free).
  CQiError GetBitMapInfo(const std::string& volume, unsigned char*& bitmap, unsigned long& size,
                         unsigned char& flags) override;
  CQiError AttachDeviceForMonitoring(const std::string& volume, const std::string& deviceName,
                                     const int& extentSize) override;
  bool ShouldAppendDeviceConfig() override;
  void setAppendDeviceConfigForOracle(bool append) override;
  std::string GetFSType(SMVolBlock& volume) override;
  CQiError ReadAllDeviceConfig() override;
  CQiError PopulateDeviceListFromLastBackup() override;

  // The one virtual operation after the base's: drops the zfs entries that
  // are not the first of their device from the list, recording them (before
  // the snapshot) as raw or extension entries.
  virtual CQiError PreparePrePostSnapTask(std::vector<SMVolBlock>& volumes, bool postSnap);

  // --- non-virtual ------------------------------------------------------------

  // Records a zfs dataset from the size of its file system, in the main file.
  CQiError WriteRawDeviceConfig(const std::string& volume, const std::string& dataset, const std::string& fsType,
                                const std::string& mountOptions, bool cacheOnly);
  // Sets the flag when the strategy's extent size is not the configured one;
  // then converts the job, stops tracking the device and revises its records.
  CQiError CompareExtentSizeForDevice(const std::string& deviceName, bool& changed);
  // Removes the strategy's snapshots of the device and stops tracking it.
  CQiError DetachDeviceMonitoring(const std::string& deviceName);
  // Raises the event that lists the volumes whose force-full flag is set.
  void LogEventForForceFullVolumes(const std::vector<SMVolBlock>& volumes);
  // Turns the running job into a full backup at the job service.
  CQiError ConvertJobTypeToFull();

 protected:
  // Whether the job's last argument is exactly "-SPOS".
  bool IsSposJob() const;

 private:
  // The stale-snapshot clean-up and the duplicate-subclient check.
  CQiError CheckDevicesBeforeSnapshot(const std::vector<SMVolBlock>& volumes);
  // The device's first extension entry, in the order they were recorded.
  const BackupDeviceInfo* FirstExtensionEntry(const std::string& deviceName) const;
  // The record to compare with the previous job's: the main entry of the
  // volume, else the first extension entry of the device.
  const BackupDeviceInfo* CurrentRecordOf(const std::string& volume, const std::string& deviceName) const;
  // The device's records of this job with the configured extent size.
  void ReviseRecordsOfDevice(const std::string& deviceName, const VolumeInfo& info, uint64_t extentSize);

  TarvosJobInfo m_oUnixJobInfo;
  bool m_bAppendForOracle = false;
};

class BLB_EXPORT KzDeviceConfigHandler_SPOS : public KzDeviceConfigHandler_UNIX {
 public:
  explicit KzDeviceConfigHandler_SPOS(const TarvosJobInfo& job);
  ~KzDeviceConfigHandler_SPOS() override;

  // Never: a version change does not force an SPOS volume to full.
  bool ConvertVolumeToFull(const std::string& volume) override;
  // The Unix step; a failure of it, or a full level, sets the volume's
  // force-full flag instead of failing.
  CQiError HandleBitMap(SMVolBlock& volume, const KZBkpLevel& level, eSnapState state) override;
};
