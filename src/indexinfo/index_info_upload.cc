// The index-info store's upload walk: per node a folder item, the key-bag
// item ".self" and one item per attached file, each as an index metadata
// record followed by its header.
#include <ctime>
#include <mutex>

#include "indexinfo/index_info_store_private.h"
#include "platform/config/kz_client.h"
#include "platform/fs/fx_file.h"
#include "platform/guid/guid_factory.h"
#include "platform/indexing/indexing_connection.h"
#include "platform/log/ev_debug.h"
#include "platform/memory/auto_handle.h"
#include "platform/services/subclient.h"
#include "platform/text/ascii85.h"
#include "platform/text/fx_string.h"
#include "records/destination_os.h"

namespace {

constexpr uint64_t kFolderMode = 0x4124;
constexpr uint64_t kFileMode = 0x8124;
constexpr uint64_t kItemAttributes = 0x8000000000ULL | 0x20000000000000ULL;
constexpr uint32_t kItemFlags = 0x200;
constexpr uint32_t kDefaultClientOS = 25;
constexpr size_t kFileChunk = 0x10000;

std::string WithoutTrailing(std::string path, char delimiter) {
  while (!path.empty() && path.back() == delimiter) path.pop_back();
  return path;
}

}  // namespace

uint32_t IndexInfoClientOS(uint64_t VornCellId, uint64_t AppId) {
  static std::once_flag asked;
  static uint32_t clientOS = 0;
  std::call_once(asked, [VornCellId, AppId] {
    ApplicationId application(VornCellId, AppId);
    KZClient* client = application.getClient(nullptr);
    int osId = 0;
    if (client != nullptr && AppId == 1 && client->getOperatingSystemId(osId) == 0)
      clientOS = static_cast<uint32_t>(osId);
    if (clientOS == 0) clientOS = kDefaultClientOS;
  });
  return clientOS;
}

std::string CIndexInfoStorePrivate::ParentPath(const std::string& itemPath) const {
  std::string parent;
  if (m_cDelimiter == '/') {
    FXString folder, name;
    FXPath::SplitParentPath(itemPath, folder, name);
    parent = folder;
  } else {
    const size_t last = itemPath.rfind(m_cDelimiter);
    parent = last == std::string::npos ? m_sDelimiter : itemPath.substr(0, last + 1);
  }
  parent = WithoutTrailing(parent, m_cDelimiter);
  return parent.empty() ? m_sDelimiter : parent;
}

void CIndexInfoStorePrivate::UpdateIndexDataWithGUID(IdxMetadata::IdxMetaData& record,
                                                     const std::string& itemPath) const {
  EvDebug log;
  const std::string objectGuid = GetObjectGuid(WithoutTrailing(itemPath, m_cDelimiter), 1, m_cDelimiter);
  log.DebugLvl(__FUNCTION__, 3, "Object '%s' GUID is [%s]", itemPath.c_str(), objectGuid.c_str());
  const std::string version = FXString::Format("%s.%lld", itemPath.c_str(), static_cast<long long>(std::time(nullptr)));
  const std::string versionGuid = GetObjectGuid(version, 1, m_cDelimiter);
  const std::string parent = ParentPath(itemPath);
  const std::string parentGuid = GetObjectGuid(parent, 1, m_cDelimiter);
  log.DebugLvl(__FUNCTION__, 3, "For parent '%s' GUID is [%s]", parent.c_str(), parentGuid.c_str());

  IdxMetadata::IdxViewInfo view;
  view.setstring(view.kViewName.number, view.kViewName.tag, m_sViewName);
  IdxMetadata::IdxObjectInfo object;
  object.setstring(object.kObjectGuid.number, object.kObjectGuid.tag, objectGuid);
  object.setstring(object.kParentGuid.number, object.kParentGuid.tag, parentGuid);
  object.setObjectAccessor(object.kView.number, object.kView.tag, view);
  record.setObjectAccessor(record.kObject.number, record.kObject.tag, object);
  IdxMetadata::IdxVersionInfo versionInfo;
  versionInfo.setstring(versionInfo.kVersionGuid.number, versionInfo.kVersionGuid.tag, versionGuid);
  record.setObjectAccessor(record.kVersion.number, record.kVersion.tag, versionInfo);
}

void CIndexInfoStorePrivate::PrepareHeader(CXFileHeader& header, const std::string& itemPath, bool isFolder) const {
  const uint32_t clientOS = IndexInfoClientOS(m_nVornCellId, m_nAppId);
  const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  header.Clear();
  header.h_kind = CXFileHeader::kHeaderKind;
  header.h_signature = CXFileHeader::kSignature;
  header.h_nlink = 1;
  // A path past the name field is cut, always zero-terminated.
  header.h_namelen = static_cast<uint32_t>(header.SetFileName(itemPath));
  header.h_mode = isFolder ? kFolderMode : kFileMode;
  header.h_attributes = kItemAttributes;
  header.h_mtime = now;
  header.h_ctime = now;
  header.h_delimiter = static_cast<uint32_t>(static_cast<int32_t>(m_cDelimiter));
  header.h_options = records::IsWindowsOsId(static_cast<int>(clientOS)) ? 0 : 0x3;
  header.h_flags |= kItemFlags;
  header.h_atime = now;
  header.h_clientOS = clientOS;
}

CQiError CIndexInfoStorePrivate::SendHeader(IndexingConnection& connection, const std::string& itemPath,
                                            bool isFolder) {
  EvDebug log;
  CXFileHeader header;
  PrepareHeader(header, itemPath, isFolder);
  const int result = connection.sendFileInfo(&header, static_cast<int>(header.h_reserved3), nullptr, 0);
  if (result == 0) return CQiError();
  log.Error(__FUNCTION__, "Failed to send index meta-data (header) (rc=%d)", result);
  return FXErrorUtil::ErrorWin32(FXCODELOC, 109, "Error during send index meta-data (header) (rc=%d)", result);
}

CQiError CIndexInfoStorePrivate::SendItem(IndexingConnection& connection, const std::string& itemPath, bool isFolder,
                                          const std::string* data) {
  EvDebug log;
  IdxMetadata::IdxMetaData record;
  UpdateIndexDataWithGUID(record, itemPath);
  if (data != nullptr) {
    IdxMetadata::IdxDataInfo dataInfo;
    dataInfo.setstring(dataInfo.kData.number, dataInfo.kData.tag, *data);
    record.setObjectAccessor(record.kData.number, record.kData.tag, dataInfo);
  }
  if (EvDebug::IsLevelEnabled(6)) log.DebugLvl(__FUNCTION__, 6, "IDX METADATA:%s", record.toString().c_str());
  const int result = connection.sendMetaDataInfo(record);
  if (result != 0) {
    log.Error(__FUNCTION__, "Failed to send index meta-data (rc=%d)", result);
    return FXErrorUtil::ErrorWin32(FXCODELOC, 109, "Error during send index meta-data (rc=%d)", result);
  }
  CQiError error = SendHeader(connection, itemPath, isFolder);
  if (error.IsError()) return error.Push(FXCODELOC);
  return SendEOF(connection);
}

CQiError CIndexInfoStorePrivate::EncodeFile(const std::string& localPath, std::string& data) const {
  data.clear();
  auto_handle file;
  CQiError error = FXFile::KZCreateFile(localPath.c_str(), 0x80000000u, 3, nullptr, fxfile::kOpenExisting,
                                        fxfile::kAttributeNormal, file);
  if (error.IsError()) return error.Push(FXCODELOC);
  std::string chunk(kFileChunk, '\0');
  std::string encoded;
  for (;;) {
    uint64_t read = 0;
    error = FXFile::KZReadFile(file.get(), &chunk[0], chunk.size(), read);
    if (error.IsError()) return error.Push(FXCODELOC, "Failed to read, FileName=[%s]", localPath.c_str());
    if (read == 0) break;
    CAscii85::Encode(chunk.data(), static_cast<unsigned long>(read), encoded);
    data += encoded;
  }
  return CQiError();
}

CQiError CIndexInfoStorePrivate::BackupData(IndexingConnection& connection, const CIndexInfoPathPtr& node,
                                            const std::string& path) {
  EvDebug log;
  std::string itemPath = path;
  CQiError error;
  if (itemPath.empty()) {
    itemPath = FXString::Format("%c%s", m_cDelimiter, m_sViewName.c_str());
    error = SendItem(connection, itemPath, true, nullptr);
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  if (!node->GetName().empty() && node->GetName() != m_sDelimiter) {
    error = SendItem(connection, itemPath, true, nullptr);
    if (error.IsError()) return error.Push(FXCODELOC);
  }

  std::string bagText;
  node->GetBag()->GetSerializedData(bagText);
  log.DebugLvl(__FUNCTION__, 3, "setting data for '%s':%s", itemPath.c_str(), bagText.c_str());
  error =
      SendItem(connection, indexinfo::JoinItemPath(itemPath, m_cDelimiter, indexinfo::kKeyBagItem), false, &bagText);
  if (error.IsError()) return error.Push(FXCODELOC);

  for (const auto& [name, localPath] : node->GetFileMap()) {
    std::string data;
    error = EncodeFile(localPath, data);
    if (!error.IsError())
      error = SendItem(connection, indexinfo::JoinItemPath(itemPath, m_cDelimiter, name), false, &data);
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  for (const auto& [name, child] : node->GetChildren()) {
    error = BackupData(connection, child, indexinfo::JoinItemPath(itemPath, m_cDelimiter, name));
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  return CQiError();
}
