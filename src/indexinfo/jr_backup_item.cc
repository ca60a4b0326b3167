// One job-results item in the archive stream: its header (128), its index
// metadata (159 each), its data (2) and its end-of-file record (130, or 134
// after a failure past the header).
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "indexinfo/index_metadata_tags.h"
#include "indexinfo/jr_backup_handler_private.h"
#include "platform/archive/kz_archive.h"
#include "platform/fs/fx_file.h"
#include "platform/guid/guid_factory.h"
#include "platform/indexing/index_metadata_helper.h"
#include "platform/log/ev_debug.h"
#include "platform/memory/auto_handle.h"
#include "platform/services/cx_file_header_byte_order.h"
#include "platform/text/fx_string.h"
#include "platform/time/time_stamp.h"

namespace {

constexpr unsigned kEventAllocateBuffer = 0x17000044;
constexpr unsigned kEventWriteBuffer = 0x17000045;

constexpr uint32_t kRecordData = 2;
constexpr uint32_t kRecordHeader = 128;
constexpr uint32_t kRecordEnd = 130;
constexpr uint32_t kRecordEndFailed = 134;
constexpr uint32_t kRecordIndexMetaData = 159;

constexpr uint64_t kItemAttributes = 0x10000000000ULL;
constexpr uint32_t kItemOptions = 0x3;
constexpr uint32_t kItemFlags = 0x200;

struct MetaDataTag {
  uint32_t tag;
  const char* name;
};

const MetaDataTag kObjectGuidTag{indexinfo::kObjectGuidTag, "INDEXINGDATA_OBJECT_GUID"};
const MetaDataTag kParentGuidTag{indexinfo::kParentObjectGuidTag, "INDEXINGDATA_PARENT_OBJECT_GUID"};
const MetaDataTag kVersionGuidTag{indexinfo::kVersionGuidTag, "GRANULARAGINGDATA_GUID"};
const MetaDataTag kComponentIdTag{indexinfo::kComponentIdTag, "IDXDBINFO__COMPONENT_ID"};
const MetaDataTag kViewIdTag{indexinfo::kViewIdTag, "IDXDBINFO__VIEW_ID"};

}  // namespace

CQiError CBLBJRForJobBackupHandlerPrivate::TakeItemStatus(const std::string& path) {
  const bool fake = IsFakePath(path);
  const std::string real = PrepareOrigPath(path);
  if (fake && real.empty()) {
    // The fake root exists nowhere: a folder dated now.
    std::memset(&m_oItemStatus, 0, sizeof m_oItemStatus);
    m_oItemStatus.st_mode = S_IFDIR;
    m_oItemStatus.st_mtime = CTimeStamp::Now().AsUnixTime();
    m_oItemStatus.st_ctime = m_oItemStatus.st_mtime;
    m_oItemStatus.st_atime = m_oItemStatus.st_mtime;
    return CQiError();
  }
  // The folder and its ancestors are taken through links, as the agent names
  // them; an entry found by the walk is taken as it is.
  const bool walked = !fake && path != m_sJobResultsFolder;
  const int result = walked ? ::lstat(real.c_str(), &m_oItemStatus) : CQiUTFOSAPI::stat(real.c_str(), &m_oItemStatus);
  if (result != 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "lstat(%s) failed", real.c_str());
  return CQiError();
}

CQiError CBLBJRForJobBackupHandlerPrivate::BackupItem(const std::string& path) {
  EvDebug log;
  CQiError error = TakeItemStatus(path);
  if (error.IsError()) return error.Push(FXCODELOC);
  m_sCurrentItem = path;
  log.DebugLvl(__FUNCTION__, 0, "INFO: backing up item '%s'", path.c_str());

  error = SendHeader();
  if (error.IsError()) return error.Push(FXCODELOC);

  error = SendOptHeaders();
  if (!error.IsError()) error = SendIdxMetadata();
  if (!error.IsError()) error = SendData();
  if (!error.IsError()) error = SendEOF(true);
  if (!error.IsError()) return error;

  error.Push(FXCODELOC);
  log.Error(__FUNCTION__, "Error while backing up file '%s': %s", path.c_str(), error.AsString().c_str());
  CQiError eofError = SendEOF(false);
  if (eofError.IsError()) {
    log.Error(__FUNCTION__, "Error while sending EOF for file '%s': %s", path.c_str(), eofError.AsString().c_str());
    error = eofError;
  }
  return error.Push(FXCODELOC);
}

std::string CBLBJRForJobBackupHandlerPrivate::ItemFakePath() const {
  return IsFakePath(m_sCurrentItem) ? m_sCurrentItem : PrepareFakePath(m_sCurrentItem);
}

CQiError CBLBJRForJobBackupHandlerPrivate::PopulateHeader() {
  EvDebug log;
  m_oHeader.Clear();
  const std::string name = ItemFakePath();
  const struct stat& status = m_oItemStatus;
  m_oHeader.h_kind = CXFileHeader::kHeaderKind;
  m_oHeader.h_signature = CXFileHeader::kSignature;
  m_oHeader.h_nlink = static_cast<uint32_t>(status.st_nlink);
  // A name past the field is cut: the length counts what is stored.
  m_oHeader.h_namelen = static_cast<uint32_t>(m_oHeader.SetFileName(name) + 1);
  m_oHeader.h_mode = status.st_mode;
  m_oHeader.h_uid = status.st_uid;
  m_oHeader.h_gid = status.st_gid;
  m_oHeader.h_dev = static_cast<uint32_t>(status.st_dev);
  m_oHeader.h_attributes = kItemAttributes;
  m_oHeader.h_filesize = static_cast<uint64_t>(status.st_size);
  m_oHeader.h_mtime = static_cast<uint64_t>(status.st_mtime);
  m_oHeader.h_ctime = static_cast<uint64_t>(status.st_ctime);
  m_oHeader.h_reserved3 = 0;
  m_oHeader.h_delimiter = '/';
  m_oHeader.h_options = kItemOptions;
  m_oHeader.h_flags |= kItemFlags;
  m_oHeader.h_rdev = static_cast<uint32_t>(status.st_rdev);
  m_oHeader.h_atime = static_cast<uint32_t>(status.st_atime);
  m_oHeader.h_clientOS = static_cast<uint32_t>(m_nClientOsId);
  log.DebugLvl(__FUNCTION__, 3, "h_filename[%s] h_filesize[%ld]", m_oHeader.h_filename,
               static_cast<long>(m_oHeader.h_filesize));
  return CQiError();
}

CQiError CBLBJRForJobBackupHandlerPrivate::WriteRecord(char* buffer, uint32_t type, uint32_t length,
                                                       const char* failure) {
  const int code = m_pArchive->writeBuffer(buffer, type, length);
  if (code == 0) return CQiError();
  m_pArchive->freeBuffer(buffer);
  // The event says what failed; the archive's code (an errno) says why.
  return FXErrorUtil::ErrorEventMessage(FXCODELOC, kEventWriteBuffer, "%s: %s", failure, std::strerror(code));
}

CQiError CBLBJRForJobBackupHandlerPrivate::SendHeader() {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 5, "Sending header for item=%s", m_sCurrentItem.c_str());
  PopulateHeader();
  if (m_fnPreprocess) {
    CQiError error = m_fnPreprocess(m_sCurrentItem, m_oHeader);
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  m_pArchive->SetFileSignatureData(nullptr, -1);
  uint32_t size = sizeof(CXFileHeader);
  char* buffer = m_pArchive->allocateBuffer(size);
  if (buffer == nullptr)
    return FXErrorUtil::ErrorEventMessage(FXCODELOC, kEventAllocateBuffer, "Failed to allocate Archive buffer");
  CXFileHeader wire = m_oHeader;
  ConvertCXFileHeaderByteOrder(&wire);
  std::memcpy(buffer, &wire, sizeof wire);
  return WriteRecord(buffer, kRecordHeader, sizeof wire, "Failed to write Archive buffer");
}

std::string CBLBJRForJobBackupHandlerPrivate::GetObjectGUID() const {
  return GetObjectGuid(ItemFakePath(), 0, '/');
}

std::string CBLBJRForJobBackupHandlerPrivate::GetParentObjectGUID() const {
  std::string parent = ItemFakePath();
  if (!parent.empty() && parent.back() == '/') parent.pop_back();
  const size_t slash = parent.rfind('/');
  parent = (slash == std::string::npos || slash == 0) ? std::string("/") : parent.substr(0, slash);
  return GetObjectGuid(parent, 0, '/');
}

std::string CBLBJRForJobBackupHandlerPrivate::GetVersionGUID() const {
  std::string version;
  GetVersionGuid(ItemFakePath(), m_sAppGuid, static_cast<uint64_t>(m_oItemStatus.st_mtime),
                 static_cast<uint64_t>(m_oItemStatus.st_ctime), static_cast<uint64_t>(m_oItemStatus.st_size), 0, 0, '/',
                 version);
  return version;
}

CQiError CBLBJRForJobBackupHandlerPrivate::FillMetadataList() {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 5, "Filling metadata for item=%s", m_sCurrentItem.c_str());
  m_lMetaData.clear();
  if (!m_bIndexV2) return CQiError();
  const std::pair<const MetaDataTag*, std::string> entries[] = {
      {&kObjectGuidTag, GetObjectGUID()},       {&kParentGuidTag, GetParentObjectGUID()},
      {&kVersionGuidTag, GetVersionGUID()},     {&kComponentIdTag, GetComponentGUID()},
      {&kViewIdTag, GetTroubleshootViewGUID()},
  };
  for (const auto& [tag, value] : entries) {
    if (value.empty()) continue;
    auto entry = std::make_shared<MetaDataInfo>();
    entry->tag = tag->tag;
    entry->length = static_cast<uint32_t>(value.size());
    entry->value = value;
    m_lMetaData.push_back(entry);
    log.DebugLvl(__FUNCTION__, 5, "Sending MetaData [%s]=[%s] for '%s'", tag->name, value.c_str(),
                 m_sCurrentItem.c_str());
  }
  return CQiError();
}

CQiError CBLBJRForJobBackupHandlerPrivate::SendIdxMetadata() {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 5, "Sending Index metadata for item=%s", m_sCurrentItem.c_str());
  CQiError error = FillMetadataList();
  if (error.IsError()) return error.Push(FXCODELOC);
  for (const std::shared_ptr<MetaDataInfo>& entry : m_lMetaData) {
    if (entry->tag == 0 || entry->length == 0 || entry->value.empty()) continue;
    error = SendOneIdxMetadata(*entry);
    if (error.IsError()) {
      const std::string text = JRFailureText(error);
      return error.Push(FXCODELOC, "Sending metadata failed, error=%s", text.c_str());
    }
  }
  return CQiError();
}

CQiError CBLBJRForJobBackupHandlerPrivate::SendOneIdxMetadata(const MetaDataInfo& entry) {
  static const IndexMetaDataHelper helper;
  uint32_t length = helper.getEncodedLength(entry.tag, entry.value);
  uint32_t size = length;
  char* buffer = length == 0 ? nullptr : m_pArchive->allocateBuffer(size);
  if (buffer == nullptr)
    return FXErrorUtil::ErrorEventMessage(FXCODELOC, kEventAllocateBuffer, "Failed while allocating Archive buffer");
  uint32_t written = 0;
  if (helper.fillBuffer(entry.tag, entry.value, buffer, length, written, 0) != 0) {
    m_pArchive->freeBuffer(buffer);
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "Failed while filling Index metadata buffer");
  }
  return WriteRecord(buffer, kRecordIndexMetaData, length, "Failed while writing Archive buffer");
}

CQiError CBLBJRForJobBackupHandlerPrivate::SendData() {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 5, "Sending data for item=%s", m_sCurrentItem.c_str());
  if (m_bIsFolder) {
    log.DebugLvl(__FUNCTION__, 5, "No data to be sent as item is a folder");
    return CQiError();
  }
  CQiError error = ReadAndSendFileData();
  if (error.IsError()) {
    const std::string text = JRFailureText(error);
    error.Push(FXCODELOC, "Read from file[%s] failed, error[%s]", m_sCurrentItem.c_str(), text.c_str());
  }
  return error;
}

CQiError CBLBJRForJobBackupHandlerPrivate::ReadAndSendFileData() {
  uint64_t remaining = m_oItemStatus.st_size > 0 ? static_cast<uint64_t>(m_oItemStatus.st_size) : 0;
  auto_handle file;
  CQiError error = FXFile::KZCreateFile(m_sCurrentItem.c_str(), 0x80000000u, 1, nullptr, fxfile::kOpenExisting,
                                        fxfile::kAttributeNormal, file);
  if (error.IsError()) {
    const std::string text = JRFailureText(error);
    return error.Push(FXCODELOC, "Failed to open file[%s] error[%s]", m_sCurrentItem.c_str(), text.c_str());
  }
  while (remaining > 0) {
    uint32_t granted = 0;
    char* buffer = m_pArchive->allocateBuffer(granted);
    if (buffer == nullptr)
      return FXErrorUtil::ErrorEventMessage(FXCODELOC, kEventAllocateBuffer, "Failed to allocate Archive buffer");
    const uint64_t ask = std::min<uint64_t>(remaining, granted);
    uint64_t read = 0;
    error = FXFile::KZReadFile(file.get(), buffer, ask, read);
    // A buffer neither written nor freed would stay the archive's debt.
    if (error.IsError()) {
      m_pArchive->freeBuffer(buffer);
      const std::string text = JRFailureText(error);
      return error.Push(FXCODELOC, "Failed to read from file[%s] error[%s]", m_sCurrentItem.c_str(), text.c_str());
    }
    if (read != ask) {
      m_pArchive->freeBuffer(buffer);
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Something wrong, read=%lu actual=%lu",
                                     static_cast<unsigned long>(read), static_cast<unsigned long>(ask));
    }
    remaining -= read;
    error = WriteRecord(buffer, kRecordData, static_cast<uint32_t>(read), "Failed to write Archive buffer");
    if (error.IsError()) return error;
  }
  return CQiError();
}

CQiError CBLBJRForJobBackupHandlerPrivate::SendEOF(bool ok) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 5, "Sending EOF for item=%s", m_sCurrentItem.c_str());
  uint32_t size = 0;
  char* buffer = m_pArchive->allocateBuffer(size);
  if (buffer == nullptr)
    return FXErrorUtil::ErrorEventMessage(FXCODELOC, kEventAllocateBuffer, "Failed to allocate Archive buffer");
  return WriteRecord(buffer, ok ? kRecordEnd : kRecordEndFailed, 0, "Failed to write Archive buffer");
}
