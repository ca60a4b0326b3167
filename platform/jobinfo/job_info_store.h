#pragma once
// The writing side of the job-info metadata service (job_info_metadata.h): a
// store for one job, made by its factory, that stages files into named
// containers and commits them, with the job's settings, at upload.
//
// Faults (each call then fails with the fault's code as a Windows-style
// error, or answers null): "CJobInfoMetadataStoreFactory::GetInstance",
// "CJobInfoMetadataStore::AddFileToContainer", "CJobInfoMetadataStore::Upload".
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "platform/bag/bag.h"
#include "platform/error/qi_error.h"

class CJobInfoMetadataStore {
 public:
  // The container the catalogue of a block-level job goes to, and its file.
  static constexpr const char* kCatalogContainer = "BlockLevelCatalog";
  static constexpr const char* kCatalogArchive = "BlockDeviceConfig.kzf.7z";

  CJobInfoMetadataStore(uint64_t factoryJobId, uint32_t cellId, uint32_t appId, uint32_t storageType)
      : m_nFactoryJobId(factoryJobId), m_nCellId(cellId), m_nAppId(appId), m_nStorageType(storageType) {}

  void SetPathDelimiter(char delimiter) { m_cDelimiter = delimiter; }
  void SetJobId(uint64_t jobId) { m_nJobId = jobId; }
  void SetSnapJobId(uint64_t snapJobId) { m_nSnapJobId = snapJobId; }
  void SetFlags(uint32_t flags) { m_nFlags = flags; }
  void SetAdditionalArchiveFileFlags(uint32_t flags) { m_nAdditionalFlags = flags; }
  void SetBackupType(int backupType) { m_nBackupType = backupType; }
  uint32_t GetStorageType() const { return m_nStorageType; }
  // Whether the last upload put the job's metadata into the RFC store
  // (storage type 2).
  bool IsMetadataUploadedToRFC() const { return m_bUploaded && m_nStorageType == 2; }

  // Stages a copy of the local file under its bare name; a later file of
  // the same name replaces it. Fails with errno 2 for a missing file.
  CQiError AddFileToContainer(const std::string& container, const std::string& localPath);
  // Commits the staged files and the settings to the store's job (the
  // factory's when none was set). Without a staged catalogue it first packs
  // the subclient's "BlockDeviceConfig.kzf" (and "BlockDeviceConfigExt.kzf"
  // when present) into one. The job's record keeps what it held but the
  // settings; one that cannot be read fails the upload (1627) unchanged.
  CQiError Upload(const std::string& storageServer, const std::string& jobToken, int afileId);
  // Sets the key's text value in the store's container of that name (made
  // on first use); committed by Upload under the store's storage type.
  CQiError setKeyValue(const std::string& container, const std::string& key, const std::string& value);
  // The store's container bag; null when it cannot be had (fault
  // "CJobInfoMetadataStore::getContainerBag").
  CBagPtr getContainerBag(const std::string& container);

 private:
  CQiError PackCatalogue();

  uint64_t m_nFactoryJobId;
  uint32_t m_nCellId;
  uint32_t m_nAppId;
  uint32_t m_nStorageType;
  uint64_t m_nJobId = 0;
  uint64_t m_nSnapJobId = 0;
  uint32_t m_nFlags = 0;
  uint32_t m_nAdditionalFlags = 0;
  int m_nBackupType = 0;
  char m_cDelimiter = '\0';
  bool m_bUploaded = false;
  // (container, name) to contents.
  std::map<std::pair<std::string, std::string>, std::string> m_mStaged;
  std::map<std::string, CBagPtr> m_mBags;
};

using CJobInfoMetadataStorePtr = std::shared_ptr<CJobInfoMetadataStore>;

class CJobInfoMetadataStoreFactory {
 public:
  CJobInfoMetadataStoreFactory(const std::string& storageServer, const std::string& jobToken, uint64_t jobId,
                               uint32_t cellId, uint32_t appId)
      : m_nJobId(jobId), m_nCellId(cellId), m_nAppId(appId) {
    (void)storageServer;
    (void)jobToken;
  }
  ~CJobInfoMetadataStoreFactory() {}

  // A store of the storage type (1 index, 2 RFC); null for another type.
  CJobInfoMetadataStorePtr GetInstance(uint32_t storageType);

 private:
  uint64_t m_nJobId;
  uint32_t m_nCellId;
  uint32_t m_nAppId;
};
