#pragma once
// The pseudo-snap job's state and the points where the file-system, Oracle
// and PostgreSQL jobs differ (the virtual operations, whose order the agent's
// builds of the variants rely on).
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/compress/c7zip.h"
#include "platform/error/qi_error.h"
#include "platform/indexing/indexing_connection.h"
#include "platform/jobinfo/job_info_reader.h"
#include "platform/jobinfo/job_info_store.h"
#include "platform/jobs/backup_level.h"
#include "platform/jobs/job_ctrl_client.h"
#include "platform/messages/service_messages.h"
#include "platform/services/subclient.h"
#include "platform/snapshot/sm_vol_snap_info.h"
#include "platform/snapshot/uxa_snap_util.h"

// Volume path to archive-file id.
using MapVolumeArchFiles_t = std::map<std::string, int>;

class CPseudoSnapArchiveHandlerPrivate;

// A new handler of the variant for the application type as the agent passed
// it: PostgreSQL (125), Oracle (22, 80) or file systems (any other).
CPseudoSnapArchiveHandlerPrivate* MakePseudoSnapHandler(uint32_t appType);

// Whether the job's information goes to the index instead of the job-info
// store: PostgreSQL jobs.
bool useIndexToStoreJobInfo(uint32_t appType);

class CPseudoSnapArchiveHandlerPrivate {
 public:
  static constexpr uint32_t kIndexConnAlways = 1u << 16;
  static constexpr uint32_t kIndexConnNoMetadata = 1u << 8;
  // The job's files in the subclient directory, behind "<job id>_": the done
  // marker, and the archive-file map that a rerun after it reads.
  static constexpr const char* kDoneMarkerName = "PSnapADone.kzf";
  static constexpr const char* kArchFileMapName = "SnapAFilePseudoAFileMap.kzf";

  CPseudoSnapArchiveHandlerPrivate();
  virtual ~CPseudoSnapArchiveHandlerPrivate();
  CPseudoSnapArchiveHandlerPrivate(const CPseudoSnapArchiveHandlerPrivate&) = delete;
  CPseudoSnapArchiveHandlerPrivate& operator=(const CPseudoSnapArchiveHandlerPrivate&) = delete;

  CQiError Initialize(uint32_t cellId, uint32_t appId, uint32_t appType, KZBkpLevel level, uint64_t jobId,
                      uint64_t snapJobId, uint32_t copyId, uint32_t snapClientId, uint32_t clientId,
                      const std::string& subclientDir, const std::string& storageServer, const std::string& jobToken,
                      KZJobCtrlClient* jobCtrl, bool indexingV2, bool metadataCollected);
  // Whether Initialize succeeded.
  bool IsInitialized() const { return m_bInitialized; }
  CQiError CreatePseudoSnapArchive(std::vector<uint32_t>* ids);
  CQiError GetCumulativeBmpMap(std::map<std::string, std::string>& bitmaps);

  uint32_t GetMetadataType() const { return m_nMetadataType; }
  // Asked again at each call, from the application type.
  bool isIndexingV2();
  CQiError SetIndexConnTypeFlags();

  // The variant hooks, in the order of their slots.
  virtual CQiError GetSnapInfo();
  virtual CQiError CreateSnapArchiveFiles(uint32_t& copyId);
  virtual CQiError GetMountMap();
  virtual CQiError DownloadAgentIndexFiles(CJobInfoMetadataReaderManagerPtr& manager, C7zip& archive);
  virtual CQiError DownloadCumulativeBitmapFiles(CJobInfoMetadataReaderManagerPtr& manager);
  virtual CQiError UploadCumulativeBackupBitmaps(CJobInfoMetadataStorePtr& store);
  virtual CQiError CheckForVolumeCountMismatch();
  virtual CQiError AppendAgentCarryFwdIndex(databrowse::BrowseTimeRange timeRange);
  virtual CQiError UploadAgentIndexToSynthFull();
  virtual CQiError GetVolumeType();
  virtual CQiError GetOperatingSystemId();
  virtual CQiError UpdateVolumeAFileInfo(std::vector<uint32_t>* ids);
  virtual CQiError UpdateClonedVolSnapInfo();

  CQiError GetArchiveFileMap(SMVolSnapInfo& record, MapVolumeArchFiles_t& map);
  CQiError GetVolumeSourcePath(SMVolSnapInfo& record, SMVolumeInfo& volume, std::string& path);
  CQiError GetVolumeType(SMVolSnapInfo& record);
  CQiError UpdateSourceSnapDevice(int volumeId, const std::string& device);
  CQiError UpdateLVMMetadata(int volumeId, const std::string& sourcePath);

  CQiError SaveCarryFwdMapToDisk();
  CQiError LoadCarryFwdMapFromDisk();
  CQiError SaveSnapAFilePseudoAFileMapToCache();
  CQiError LoadSnapAFilePseudoAFileMapFromCache();

  // Index publishing, carry-forward and synthetic full.
  CQiError SendVolumeAFileInfo(const std::string& volume, int pseudoArchFileId);
  // The volume's block-backup-device message text; empty when no device of
  // the configuration has that source volume.
  CQiError GetVolData(const std::string& volume, std::string& output);
  std::string GetParent(const std::string& path);
  // The job-info store's flags (metadata collected or not) and the archive
  // file flags its uploads add (synthetic full or not).
  uint32_t JobInfoStoreFlags() const;
  uint32_t PseudoArchiveFileFlags() const;
  CQiError PopulateFullIncrBackupIndex();
  CQiError RunCarryFwdIndex();
  // Lowers `time` to the earliest creation time of the snapshot job's
  // archive files of type 6.
  CQiError GetSnapJobFromTime(unsigned long long snapJobId, long long& time);
  // The copy precedence the database variants browse the snapshot job's
  // agent entries with: the snapshot copy, or for a synthetic full the
  // precedence of the job's copy in the first snapshot archive file's group.
  CQiError AgentCarryFwdCopyPrecedence(uint64_t& precedence);
  CQiError CarryFwdSystemViewToIndex(databrowse::BrowseTimeRange timeRange);
  // Whether the snapshot job backed up a system state; false whenever that
  // cannot be learnt.
  bool IsBackupSystemState();
  CQiError DownloadSysViewIndexFiles(CJobInfoMetadataReaderManagerPtr& manager);
  CQiError UploadSysViewIndexFiles();
  CQiError InitializeSynthfull();
  CQiError PopulateSynthFullIndex();
  CQiError UpdateSynthFullBackupInfo();

 protected:
  // The job's files in the subclient directory: "<job id>_<name>".
  std::string JobFilePath(const char* name) const;
  bool IsWindowsOsId() const;
  bool IsUnixOsId() const;
  // The destructor's clean-up of the synthetic full's work folder.
  void RemoveSynthFullWorkDir();
  // Registers the record's archive files through the utility for this job;
  // copyId is the copy they were made for.
  CQiError RegisterSnapArchiveFiles(UxaSnapUtil& util, uint32_t first, SMVolSnapInfo& record, uint32_t& copyId);

  uint32_t m_nVornCellId = 0;                                                   // 1
  uint32_t m_nAppId = 0;                                                        // 2
  uint32_t m_nAppType = 0;                                                      // 3
  KZBkpLevel m_eBackupLevel = static_cast<KZBkpLevel>(0);                       // 4
  uint64_t m_nJobId = 0;                                                        // 5
  uint64_t m_nSnapJobId = 0;                                                    // 6
  uint32_t m_ulCopyId = 0;                                                      // 7
  uint32_t m_nSnapClientId = 0;                                                 // 8
  uint32_t m_nClientId = 0;                                                     // 9
  std::unique_ptr<ApplicationId> m_pApplicationId;                              // 10
  KZJobCtrlClient* m_pJobCtrl = nullptr;                                        // 11
  std::string m_sSubClientDir;                                                  // 12
  std::string m_sQM;                                                            // 13
  std::string m_sJobToken;                                                      // 14
  bool m_bMetadataCollectionEnabled = false;                                    // 15
  uint32_t m_nIndexConnFlags = 0;                                               // 16
  bool m_bIndexingV2 = true;                                                    // 17
  bool m_bMetadataCollected = false;                                            // 18
  SMVolSnapInfo m_oSnapVolSnapInfo;                                             // 19
  SMVolSnapInfo m_oPseudoVolSnapInfo;                                           // 20
  SMVolSnapInfo m_oClonedVolSnapInfo;                                           // 21
  std::map<std::string, std::string> m_mMountMap;                               // 22
  MapVolumeArchFiles_t m_mSnapArchFileMap;                                      // 23
  MapVolumeArchFiles_t m_mPseudoArchFileMap;                                    // 24
  std::map<int, int> m_mSnapToPseudoArchFileMap;                                // 25
  std::vector<databrowse::ViewIdComponentIdToAfileMap> m_GuidToAfileMapVector;  // 26
  IndexingConnection m_oIndexingConnection;                                     // 27
  char m_cDelimiter = '\0';                                                     // 28
  bool m_bWindowsDestination = false;                                           // 29
  int m_nDestOsId = -1;                                                         // 30
  std::map<std::string, uint64_t> m_mVolumeSizes;                               // 31
  std::map<std::string, int> m_mVolumeTypes;                                    // 32
  uint32_t m_nMetadataType = 2;                                                 // 33

  // The synthetic full's own work folder, set only once it is prepared: the
  // only folder the destructor may clean up.
  std::string m_sSynthFullWorkDir;
  bool m_bInitialized = false;
};

// Oracle (22) and Oracle RAC (80) jobs: the mount map runs from device to
// mount point, ASM volumes are known by their disk groups, and the volumes
// split into data and log volumes by "OraVolumeType.kzf".
class COraclePseudoSnapArchiveHandlerPrivate : public CPseudoSnapArchiveHandlerPrivate {
 public:
  static constexpr uint32_t kAsmVolumeFlag = 0x10000;
  static constexpr uint32_t kDataBackupAttribute = 0x1000;

  ~COraclePseudoSnapArchiveHandlerPrivate() override = default;

  CQiError GetSnapInfo() override;
  CQiError CreateSnapArchiveFiles(uint32_t& copyId) override;
  CQiError GetMountMap() override;
  CQiError CheckForVolumeCountMismatch() override;
  CQiError GetVolumeType() override;
  CQiError GetOperatingSystemId() override;
  CQiError UpdateVolumeAFileInfo(std::vector<uint32_t>* ids) override;
  CQiError UpdateClonedVolSnapInfo() override;
  CQiError AppendAgentCarryFwdIndex(databrowse::BrowseTimeRange timeRange) override;
  CQiError DownloadAgentIndexFiles(CJobInfoMetadataReaderManagerPtr& manager, C7zip& archive) override;
  CQiError UploadAgentIndexToSynthFull() override;

  // Marks a synthetic full as a data backup in the job manager.
  CQiError UpdateJMFlagOnSynthFULL();

 protected:
  // The data and log volumes named in the subclient's volume-type file.
  CQiError ReadVolumeTypes(std::vector<std::string>& data, std::vector<std::string>& logs);
  // Registers the listed volumes of the mount map with the utility; found
  // tells whether any was.
  CQiError AddVolumesOfType(UxaSnapUtilDb& util, const std::vector<std::string>& names, bool logs, bool& found);
  CQiError CreateArchiveFilesOfType(UxaSnapUtilDb& util, uint32_t first, SMVolSnapInfo& record, uint32_t& copyId);
  bool FirstVolumeIsAsm() const;

  bool m_bASM = false;
  SMVolSnapInfo m_oDiskVolSnapInfo;
};

class CPostGresPseudoSnapArchiveHandlerPrivate : public CPseudoSnapArchiveHandlerPrivate {
 public:
  ~CPostGresPseudoSnapArchiveHandlerPrivate() override = default;
  CQiError AppendAgentCarryFwdIndex(databrowse::BrowseTimeRange timeRange) override;
};
