// A synthetic full of an Oracle subclient takes no snapshot: the volume
// types and the image-copy information come from the job-info metadata of
// the jobs it is made from.
#include "platform/log/ev_debug.h"
#include "platform/services/subclient.h"
#include "platform/text/fx_string.h"
#include "pseudosnap/pseudo_snap_handler_private.h"

namespace {

constexpr const char* kCatalogContainer = "BlockLevelCatalog";
constexpr const char* kVolumeTypeArchive = "OraVolumeType.kzf.7z";
constexpr const char* kImageCopyContainer = "OracleImageCopy";
constexpr const char* kTagKey = "RmanImageCopyTag";
constexpr const char* kContentKey = "OraDatabaseContent";
constexpr unsigned kNotFound = 1168;
constexpr unsigned kFatal = 1627;
constexpr unsigned kOutOfMemory = 14;
constexpr uint32_t kIndexStorage = 1;
constexpr uint32_t kRfcStorage = 2;

bool IsNotFound(const CQiError& error) {
  return FXErrorUtil::IsWin32(error) && FXErrorUtil::GetWin32(error) == kNotFound;
}

}  // namespace

CQiError COraclePseudoSnapArchiveHandlerPrivate::DownloadAgentIndexFiles(CJobInfoMetadataReaderManagerPtr& manager,
                                                                         C7zip& archive) {
  EvDebug log;
  std::string localPath = FXPath::Append(m_sSubClientDir, kVolumeTypeArchive);
  if (!manager) return FXErrorUtil::ErrorWin32(FXCODELOC, kOutOfMemory);
  CQiError error = manager->DownloadFile(kCatalogContainer, kVolumeTypeArchive, m_sSubClientDir, localPath, 0);
  if (IsNotFound(error)) {
    log.Error(__FUNCTION__, "Could not find file '%s' in metadata.", kVolumeTypeArchive);
    return CQiError();
  }
  if (error.IsError()) return error.Push(FXCODELOC);
  error = archive.ExtractFilesFromArchive(localPath, m_sSubClientDir);
  if (error.IsError()) return error.Push(FXCODELOC);
  return CQiError();
}

CQiError COraclePseudoSnapArchiveHandlerPrivate::UploadAgentIndexToSynthFull() {
  EvDebug log;
  auto* backpack = m_pApplicationId ? dynamic_cast<OracleBackpack*>(m_pApplicationId->getSubclient(nullptr)) : nullptr;
  if (backpack == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Error getting OracleBackpack object");
  bool imageCopy = false;
  backpack->getSnapImageCopy(imageCopy, nullptr);
  if (!imageCopy) {
    log.DebugLvl(__FUNCTION__, 3, "Not Oracle Image Copy sub-client, nothing in JOBINFO tree for Oracle");
    return CQiError();
  }
  auto manager = std::make_shared<CJobInfoMetadataReaderManager>(
      m_sQM, static_cast<uint32_t>(m_nJobId), static_cast<uint32_t>(m_nSnapJobId), m_nVornCellId, m_nAppId, 0, 0);
  manager->SetDelimiter(m_cDelimiter);

  std::string container = kImageCopyContainer;
  std::string tag;
  log.DebugLvl(__FUNCTION__, 0, "Get %s from container %s", kTagKey, container.c_str());
  uint32_t storageType = kRfcStorage;
  CQiError error = manager->GetValueForKey(container, kTagKey, tag, 0);
  if (IsNotFound(error)) {
    container = FXString::Format("OraImageCopyInfo%cOracleImageCopy", m_cDelimiter);
    log.DebugLvl(__FUNCTION__, 0, "RmanImageCopyTag not found in RFC. Try to get from Index next");
    log.DebugLvl(__FUNCTION__, 0, "Get %s from container %s", kTagKey, container.c_str());
    storageType = kIndexStorage;
    error = manager->GetValueForKey(container, kTagKey, tag, 0);
    if (IsNotFound(error)) {
      log.Error(__FUNCTION__, "Could not find value for '%s' from container %s in metadata, likely it is not set.",
                kTagKey, container.c_str());
      tag.clear();
    } else if (error.IsError()) {
      return FXErrorUtil::ErrorWin32(FXCODELOC, kFatal,
                                     "Oracle Image Copy index container %s not found. Fatal error:%s",
                                     container.c_str(), error.AsString().c_str());
    }
  } else if (error.IsError()) {
    return FXErrorUtil::ErrorWin32(FXCODELOC, kFatal, "Oracle Image Copy index container %s not found. Fatal error:%s",
                                   container.c_str(), error.AsString().c_str());
  }
  if (tag.empty()) return CQiError();

  log.DebugLvl(__FUNCTION__, 3, "Querying Image Copy Copy DbContent");
  std::string content;
  error = manager->GetValueForKey(container, kContentKey, content, storageType);
  if (error.IsError() && !IsNotFound(error))
    return FXErrorUtil::ErrorWin32(FXCODELOC, kFatal, "ImageCopy DbContent download from Index failedFatal error :%s",
                                   error.AsString().c_str());
  if (error.IsError()) content.clear();
  log.DebugLvl(__FUNCTION__, 3, "Found ImageCopy Content = [%s]", content.c_str());

  CJobInfoMetadataStoreFactory factory(m_sQM, m_sJobToken, static_cast<uint32_t>(m_nJobId), m_nVornCellId, m_nAppId);
  CJobInfoMetadataStorePtr store = factory.GetInstance(kRfcStorage);
  if (!store) return FXErrorUtil::ErrorWin32(FXCODELOC, kOutOfMemory);
  store->SetPathDelimiter(m_cDelimiter);
  store->SetFlags(JobInfoStoreFlags());
  // Whether each value was set is not looked at: only the upload decides.
  store->setKeyValue(kImageCopyContainer, kTagKey, tag);
  store->setKeyValue(kImageCopyContainer, kContentKey, content);
  store->SetBackupType(static_cast<int>(m_eBackupLevel));
  store->SetAdditionalArchiveFileFlags(m_eBackupLevel == KZ_BKP_LEVEL_SYNTHFULL ? 0x210 : 0x214);
  // An upload needs an archive file to hang on.
  if (m_mPseudoArchFileMap.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to upload Oracle ImageCopy JOBINFO to RFC");
  error = store->Upload(m_sQM, m_sJobToken, m_mPseudoArchFileMap.begin()->second);
  if (error.IsError()) return error.Push(FXCODELOC, "Failed to upload Oracle ImageCopy JOBINFO to RFC");
  return CQiError();
}
