#pragma once
// The index-info store's tree, job identity and uploads behind
// CIndexInfoStore.
#include <cstdint>
#include <string>

#include "blocklevel/index_info_store.h"
#include "indexinfo/index_info_path.h"
#include "platform/messages/service_messages.h"
#include "platform/services/archive_manager.h"
#include "platform/services/cx_file_header.h"

class IndexingConnection;

class CIndexInfoStorePrivate {
 public:
  CIndexInfoStorePrivate(long jobId, unsigned long VornCellId, unsigned long AppId);

  void SetDelimiter(char delimiter) {
    m_cDelimiter = delimiter;
    m_sDelimiter = std::string(1, delimiter);
  }
  void SetViewName(const std::string& viewName) { m_sViewName = viewName; }
  char Delimiter() const { return m_cDelimiter; }

  // The node of a key path, made with every missing node on the way.
  CIndexInfoPathPtr IndexInfoPath(const std::string& path);

  CQiError QueryJobInfo(unsigned int archiveFileNumber);
  // The self-connecting upload; options are the facade's option word.
  CQiError BackupData(const std::string& storageServerName, const std::string& jobToken, unsigned int archiveFileNumber,
                      uint32_t options);
  // The upload walk from a node; the root is called with an empty item path.
  CQiError BackupData(IndexingConnection& connection, const CIndexInfoPathPtr& node, const std::string& itemPath);
  CQiError BackupData(IndexingConnection& connection) { return BackupData(connection, m_pRoot, std::string()); }

 private:
  void UpdateIndexDataWithGUID(IdxMetadata::IdxMetaData& record, const std::string& itemPath) const;
  std::string ParentPath(const std::string& itemPath) const;
  // One item: its metadata record (with the data text for a data item),
  // then its header.
  CQiError SendItem(IndexingConnection& connection, const std::string& itemPath, bool isFolder,
                    const std::string* data);
  CQiError SendHeader(IndexingConnection& connection, const std::string& itemPath, bool isFolder);
  void PrepareHeader(CXFileHeader& header, const std::string& itemPath, bool isFolder) const;
  CQiError SendEOF(IndexingConnection&) { return CQiError(); }
  // The attached file's bytes, ASCII85-encoded chunk by chunk.
  CQiError EncodeFile(const std::string& localPath, std::string& data) const;

  long m_nJobId;
  uint64_t m_nVornCellId;
  uint64_t m_nAppId;
  uint64_t m_nClientId = 0;
  uint64_t m_nAppType = 0;
  bool m_bQueried = false;
  ArchiveFileId_t m_oArchiveFileId;
  uint64_t m_nArchiveFileCreateTime = 0;
  uint64_t m_nArchiveFileFlags = 0;
  int32_t m_nBackupLevel = 0;
  char m_cDelimiter = '/';
  std::string m_sDelimiter = "/";
  std::string m_sViewName;
  CIndexInfoPathPtr m_pRoot;
};

// The client's operating system for every item header of the process: asked
// of the application's client once, and only for application id 1; 25
// otherwise or when it cannot be had.
uint32_t IndexInfoClientOS(uint64_t VornCellId, uint64_t AppId);
