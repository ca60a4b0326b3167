#pragma once
// CIndexInfoStore: a small tree of key paths, each with a bag of keys and
// attached local files, uploaded into the backup index as the items of one
// named view, so that a later job can browse it back.
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "blocklevel/export.h"
#include "platform/bag/bag.h"
#include "platform/error/qi_error.h"

class IndexingConnection;
class CIndexInfoStorePrivate;

class BLB_EXPORT CIndexInfoStore {
 public:
  CIndexInfoStore(long jobId, unsigned long VornCellId, unsigned long AppId);
  virtual ~CIndexInfoStore();
  CIndexInfoStore(const CIndexInfoStore&) = delete;
  CIndexInfoStore& operator=(const CIndexInfoStore&) = delete;

  // Key paths are written with this delimiter ('/' unless set); a leading
  // delimiter is optional.
  void SetDelimiter(char delimiter);
  void SetViewName(const std::string& viewName);

  // The bag of the path's node; every query creates the nodes it names.
  CBagPtr GetPathBag(const std::string& path);
  CQiError GetKeys(const std::string& path, std::list<std::string>& keys);
  CQiError GetFiles(const std::string& path, std::list<std::string>& files);
  CQiError GetSubPaths(const std::string& path, std::list<std::string>& subPaths);
  // Attaches a local file to the path's node under its base name: 1168 when
  // the file does not exist.
  CQiError AddFileContentForKey(const std::string& path, const std::string& localFile);
  // Not supported: 50.
  CQiError SaveToDisk(const std::string& path);
  CQiError LoadFromDisk(const std::string& path);

  // Uploads the tree over a connection the caller initialised and ends.
  CQiError BackupData(IndexingConnection& connection);
  // Finds the job's archive file (the smallest of the job's when the number
  // is 0), opens a connection of its own, uploads the tree and ends it.
  CQiError BackupData(const std::string& storageServerName, const std::string& jobToken,
                      unsigned int archiveFileNumber);

 private:
  std::shared_ptr<CIndexInfoStorePrivate> m_pPrivate;
  uint32_t m_nOptions;
};
