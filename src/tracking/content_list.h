#pragma once
// CContentList: the block devices that the block-level subclients of this
// machine back up now.
//
// Load walks every active client, every application of each and every
// block-level subclient of those applications, resolves each subclient's
// contents to block devices and keeps one VolumeConfig per device and
// content (file systems, ZFS pools through their member devices) or per
// database path. The shared-device bitmap handler prunes the monitored-volume
// list with these records; cluster fail-over uses them too.
//
// A record's DeviceId is the GUID of the content path (the volume's mount
// path for databases, the device for ZFS): the same text that names the
// subclient's bitmap files, so records and bitmaps meet by it. Records are
// never merged: a device reached twice gives two records.
//
// The first failure of a client, application, instance or subclient ends the
// whole load (the records found before it stay); only a file-system content
// that cannot be resolved is logged and skipped. One object per load; no
// lock is taken, and the object is not shared between threads.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "platform/error/qi_error.h"
#include "platform/mnttab/kz_mnt_tab.h"
#include "records/volume_config.h"

class Subclient;

class CContentList {
 public:
  CContentList() = default;

  // Loads the records of every active client. AppId names the application
  // the load is made for: the instance of it is the one whose backup sets
  // the file-system walk asks for.
  CQiError Load(long long AppId, long long VornCellId);
  // Replaces the list with a copy of the loaded records.
  void Get(std::list<VolumeConfig>& records) const { records = m_lRecords; }

 private:
  // One subclient of a database instance, as the shared walk found it.
  struct DatabaseSubclient {
    uint64_t instanceId;
    unsigned long appId;
    std::string name;
    Subclient* subclient;
  };
  using DatabaseSubclientHandler = std::function<CQiError(const DatabaseSubclient&)>;

  CQiError GetMountList();
  bool getAppTypeList(std::vector<uint64_t>& types, std::vector<std::string>& names, uint64_t clientId);
  CQiError LoadFS(uint64_t clientId, uint64_t appType);
  CQiError LoadDB(uint64_t clientId, uint64_t appType);
  CQiError LoadOracle(uint64_t clientId, uint64_t appType);
  CQiError LoadMySqlPostgres(uint64_t clientId, uint64_t appType);
  // The devices of one file-system content: a link or a device node gives
  // itself (a link resolved one level), a mount point its device, a ZFS
  // mount point the member devices of its pool; anything else nothing.
  CQiError FindDeviceListByContent(const std::string& content, std::list<std::string>& devices, bool& isZfs);
  // The one device of a volume's mount path, the file-system type not
  // looked at; empty when the path is no mount point.
  CQiError FindDeviceByContent(const std::string& path, std::string& device);
  // Replaces a link by its target, one level, made absolute; anything else
  // (a path that does not exist too) stays as it is.
  CQiError GetLinkTargetPath(std::string& path);

  // Helpers of the loaders.
  CQiError StatContent(const std::string& path, mode_t& mode) const;
  const KzMntTab::Entry* FindMountEntry(const std::string& mountPoint) const;
  // The device of a content path; with `zfsApart`, a ZFS mount point's
  // entry instead.
  CQiError ResolvePath(const std::string& path, bool zfsApart, std::string& device, const KzMntTab::Entry*& zfsEntry);
  CQiError FindZfsPoolDevices(const KzMntTab::Entry& entry, const std::string& content,
                              std::list<std::string>& devices);
  CQiError ForEachDatabaseSubclient(uint64_t clientId, uint64_t appType, const DatabaseSubclientHandler& handle);
  CQiError CollectOracleFiles(const DatabaseSubclient& found, uint32_t appType, int backupMode,
                              std::list<std::string>& paths);
  CQiError CollectDirectory(const std::string& directory, bool logPaths, std::list<std::string>& paths);
  CQiError AddVolumeRecords(uint64_t clientId, const DatabaseSubclient& found, const std::list<std::string>& paths,
                            bool oracle);
  void AddRecord(uint64_t clientId, uint64_t appId, const std::string& device, const std::string& keyPath);

  std::list<VolumeConfig> m_lRecords;
  std::list<KzMntTab::Entry> m_lMountTable;
  uint64_t m_nVornCellId = 0;
  uint64_t m_nInstanceId = 0;
  // Member devices found for a ZFS pool, by pool name: every dataset of one
  // pool shares one answer of the volume-manager library.
  std::map<std::string, std::list<std::string>> m_mPoolDevices;
};
