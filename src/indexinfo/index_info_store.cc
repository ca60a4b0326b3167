// The index-info store's facade and its tree: key paths resolved to nodes,
// their bags, files and children.
#include "blocklevel/index_info_store.h"

#include "indexinfo/index_info_store_private.h"
#include "library/entry_guard.h"
#include "platform/indexing/indexing_connection.h"

namespace {

constexpr int kNotSupported = 50;

}  // namespace

CIndexInfoStore::CIndexInfoStore(long jobId, unsigned long VornCellId, unsigned long AppId)
    : m_pPrivate(std::make_shared<CIndexInfoStorePrivate>(jobId, VornCellId, AppId)), m_nOptions(1) {}

CIndexInfoStore::~CIndexInfoStore() = default;

void CIndexInfoStore::SetDelimiter(char delimiter) {
  m_pPrivate->SetDelimiter(delimiter);
}

void CIndexInfoStore::SetViewName(const std::string& viewName) {
  m_pPrivate->SetViewName(viewName);
}

CBagPtr CIndexInfoStore::GetPathBag(const std::string& path) {
  return m_pPrivate->IndexInfoPath(path)->GetBag();
}

CQiError CIndexInfoStore::GetKeys(const std::string& path, std::list<std::string>& keys) {
  m_pPrivate->IndexInfoPath(path)->GetKeys(keys);
  return CQiError();
}

CQiError CIndexInfoStore::GetFiles(const std::string& path, std::list<std::string>& files) {
  m_pPrivate->IndexInfoPath(path)->GetFiles(files);
  return CQiError();
}

CQiError CIndexInfoStore::GetSubPaths(const std::string& path, std::list<std::string>& subPaths) {
  m_pPrivate->IndexInfoPath(path)->GetSubPaths(subPaths);
  return CQiError();
}

CQiError CIndexInfoStore::AddFileContentForKey(const std::string& path, const std::string& localFile) {
  // The node is made first: it stays even when the file is refused.
  CIndexInfoPathPtr node = m_pPrivate->IndexInfoPath(path);
  return node->AttachLocalFile(localFile);
}

CQiError CIndexInfoStore::SaveToDisk(const std::string&) {
  return FXErrorUtil::ErrorWin32(FXCODELOC, kNotSupported);
}

CQiError CIndexInfoStore::LoadFromDisk(const std::string&) {
  return FXErrorUtil::ErrorWin32(FXCODELOC, kNotSupported);
}

CQiError CIndexInfoStore::BackupData(IndexingConnection& connection) {
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&] { return m_pPrivate->BackupData(connection); });
}

CQiError CIndexInfoStore::BackupData(const std::string& storageServerName, const std::string& jobToken,
                                     unsigned int archiveFileNumber) {
  return blocklevel::GuardEntryPoint(
      __FUNCTION__, [&] { return m_pPrivate->BackupData(storageServerName, jobToken, archiveFileNumber, m_nOptions); });
}

CIndexInfoStorePrivate::CIndexInfoStorePrivate(long jobId, unsigned long VornCellId, unsigned long AppId)
    : m_nJobId(jobId), m_nVornCellId(VornCellId), m_nAppId(AppId), m_pRoot(std::make_shared<CIndexInfoPath>()) {}

CIndexInfoPathPtr CIndexInfoStorePrivate::IndexInfoPath(const std::string& path) {
  return indexinfo::ResolveKeyPath(m_pRoot, path, m_cDelimiter);
}
