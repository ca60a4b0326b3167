#pragma once
// The job-results backup's state and operations behind
// CBLBJRForJobBackupHandler.
#include <sys/stat.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "blocklevel/jr_for_job_backup_handler.h"
#include "platform/path/filter_term.h"
#include "platform/services/cx_file_header.h"

// Every item is named under this root, so that it never meets a client path
// in the backup index.
extern const char kJRFakeRootPath[];

// What a message pushed onto a failure quotes of it: its first message, or
// its code when it has none. The chain keeps the rest; quoting the chain
// itself would double it with every push.
std::string JRFailureText(const CQiError& error);

class CBLBJRForJobBackupHandlerPrivate {
 public:
  // One index-metadata entry of the current item.
  struct MetaDataInfo {
    uint32_t tag = 0;
    uint32_t length = 0;
    std::string value;
  };

  CBLBJRForJobBackupHandlerPrivate(const std::string& jobResultsFolder, const std::string& appGuid, KZArchive* archive,
                                   KZJobCtrlClient* jobCtrl, unsigned long clientOsId, bool indexV2);

  void SetPreprocessCallback(CBLBJRForJobBackupHandler::PreprocessCallback callback) {
    m_fnPreprocess = std::move(callback);
  }
  void SetFilterCallback(CBLBJRForJobBackupHandler::FilterCallback callback) { m_fnFilter = std::move(callback); }

  CQiError Run();

  // Fake paths: the fake root followed by a real path, and back.
  static std::string PrepareFakePath(const std::string& path);
  static std::string PrepareOrigPath(const std::string& path);
  static bool IsFakePath(const std::string& path);

 private:
  CQiError LoadFilters();
  CQiError BackupAncestorPath(const std::string& path);
  CQiError DoBackup(const std::string& path);
  CQiError BackupFolder(const std::string& path) { return DoBackup(path); }
  static CQiError EnumerateItemCallBack(void* context, const char* directory, const char* name, bool isFolder);
  CQiError EnumerateItemCallBack(const char* directory, const char* name, bool isFolder);

  // One item: header, index metadata, data and end-of-file records.
  CQiError BackupItem(const std::string& path);
  CQiError TakeItemStatus(const std::string& path);
  CQiError PopulateHeader();
  CQiError SendHeader();
  CQiError SendOptHeaders() { return CQiError(); }
  std::string ItemFakePath() const;
  std::string GetObjectGUID() const;
  std::string GetParentObjectGUID() const;
  std::string GetVersionGUID() const;
  std::string GetComponentGUID() const { return std::string(); }
  std::string GetTroubleshootViewGUID() const { return "Troubleshooting"; }
  CQiError FillMetadataList();
  CQiError SendIdxMetadata();
  CQiError SendOneIdxMetadata(const MetaDataInfo& entry);
  CQiError SendData();
  CQiError ReadAndSendFileData();
  CQiError SendEOF(bool ok);
  // Writes a buffer as one record; frees it when the write fails.
  CQiError WriteRecord(char* buffer, uint32_t type, uint32_t length, const char* failure);

  std::string m_sJobResultsFolder;
  std::string m_sAppGuid;
  std::string m_sCurrentItem;
  bool m_bIndexV2;
  bool m_bIsFolder = true;
  uint64_t m_nClientOsId;
  CXFileHeader m_oHeader;
  struct stat m_oItemStatus {};
  KZArchive* m_pArchive;
  KZJobCtrlClient* m_pJobCtrl;
  std::list<std::shared_ptr<MetaDataInfo>> m_lMetaData;
  std::list<std::shared_ptr<CFilterTerm>> m_lFilters;
  CBLBJRForJobBackupHandler::PreprocessCallback m_fnPreprocess;
  CBLBJRForJobBackupHandler::FilterCallback m_fnFilter;
};
