// The pseudo-snap handler's set-up: Initialize, the decisions several steps
// read (indexing V2, index-connection flags, destination operating system
// and path delimiter) and the clean-up at destruction.
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/config/kz_client.h"
#include "platform/fs/fx_file.h"
#include "platform/indexing/indexing_v2.h"
#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"
#include "pseudosnap/pseudo_snap_handler_private.h"
#include "records/block_device_config.h"
#include "records/destination_os.h"
#include "records/file_replacement.h"

namespace {

constexpr uint32_t kPostgreSqlAppType = 125;
constexpr uint32_t kFileSystemAppTypeNoV2 = 5;
constexpr uint32_t kOtherAppTypeNoV2 = 104;

}  // namespace

bool useIndexToStoreJobInfo(uint32_t appType) {
  return appType == kPostgreSqlAppType;
}

CPseudoSnapArchiveHandlerPrivate::CPseudoSnapArchiveHandlerPrivate() = default;

CPseudoSnapArchiveHandlerPrivate::~CPseudoSnapArchiveHandlerPrivate() {
  EvDebug log;
  m_pApplicationId.reset();
  // Only a folder the synthetic full made for itself may go: before that is
  // prepared, the subclient directory is the agent's own.
  if (m_eBackupLevel != KZ_BKP_LEVEL_SYNTHFULL || m_sSynthFullWorkDir.empty()) return;
  const std::string keystep = FXPath::Append(m_sSynthFullWorkDir, "KeystepInfo.kzf");
  if (FXPath::DoesPathExist(keystep)) {
    CQiError error = FXFile::RemoveFile(keystep.c_str());
    if (error.IsError())
      log.Error(__FUNCTION__, "Failed to clean up Keystep Info File, path : [%s], error : [%s]", keystep.c_str(),
                error.AsString().c_str());
  }
  if (FXPath::DoesPathExist(FXPath::Append(m_sSynthFullWorkDir, "BlockDeviceConfig.kzf.7z"))) RemoveSynthFullWorkDir();
}

void CPseudoSnapArchiveHandlerPrivate::RemoveSynthFullWorkDir() {
  EvDebug log;
  // The done marker lives in the folder, beside the files a rerun that finds
  // it reads: it goes first, and for good, before any of them. A marker left
  // without them would have every rerun skip the work and fail; one that
  // cannot be removed keeps the whole folder, and the rerun finishes from it.
  const std::string marker = FXPath::Append(
      m_sSynthFullWorkDir, FXString::Format("%llu_%s", static_cast<unsigned long long>(m_nJobId), kDoneMarkerName));
  CQiError error;
  if (unlink_utf(marker.c_str()) != 0 && errno != ENOENT)
    error = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to remove [%s]", marker.c_str());
  if (!error.IsError()) error = records::SyncFolder(m_sSynthFullWorkDir);
  if (!error.IsError()) {
    std::error_code failure;
    std::filesystem::remove_all(m_sSynthFullWorkDir, failure);
    if (failure) error = FXErrorUtil::ErrorErrNo(FXCODELOC, failure.value(), "%s", failure.message().c_str());
  }
  if (error.IsError())
    log.Error(__FUNCTION__, "Failed to remove config directory for synthfull, directory=%s, error=%s",
              m_sSynthFullWorkDir.c_str(), error.AsString().c_str());
}

bool CPseudoSnapArchiveHandlerPrivate::IsWindowsOsId() const {
  return records::IsWindowsOsId(m_nDestOsId);
}
bool CPseudoSnapArchiveHandlerPrivate::IsUnixOsId() const {
  return records::IsUnixOsId(m_nDestOsId);
}

std::string CPseudoSnapArchiveHandlerPrivate::JobFilePath(const char* name) const {
  return FXPath::Append(m_sSubClientDir, FXString::Format("%llu_%s", static_cast<unsigned long long>(m_nJobId), name));
}

bool CPseudoSnapArchiveHandlerPrivate::isIndexingV2() {
  if (m_nAppType == kPostgreSqlAppType) {
    bool use = true;
    return shouldUseIndexingV2(m_nVornCellId, m_nAppId, use) == 0 && use;
  }
  return m_nAppType != kFileSystemAppTypeNoV2 && m_nAppType != kOtherAppTypeNoV2;
}

CQiError CPseudoSnapArchiveHandlerPrivate::SetIndexConnTypeFlags() {
  BlockDeviceConfigReaderWriter reader;
  CQiError error = reader.InitRead(FXPath::Append(m_sSubClientDir, BlockDeviceConfigReaderWriter::kMainFileName));
  if (error.IsError()) return error.Push(FXCODELOC);
  m_bMetadataCollectionEnabled = reader.IsMetaDataCollectionEnabled();
  if (!m_bMetadataCollectionEnabled && !m_bMetadataCollected)
    m_nIndexConnFlags |= kIndexConnNoMetadata;
  else
    m_nIndexConnFlags &= ~kIndexConnNoMetadata;
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::GetOperatingSystemId() {
  KZClient* client = m_pApplicationId ? m_pApplicationId->getClient(nullptr) : nullptr;
  if (client == nullptr || client->getOperatingSystemId(m_nDestOsId) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to get OS Id, ClientId=%d", static_cast<int>(m_nClientId));
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::Initialize(uint32_t cellId, uint32_t appId, uint32_t appType,
                                                      KZBkpLevel level, uint64_t jobId, uint64_t snapJobId,
                                                      uint32_t copyId, uint32_t snapClientId, uint32_t clientId,
                                                      const std::string& subclientDir, const std::string& storageServer,
                                                      const std::string& jobToken, KZJobCtrlClient* jobCtrl,
                                                      bool indexingV2, bool metadataCollected) {
  EvDebug log;
  m_bInitialized = false;
  m_nVornCellId = cellId;
  m_nAppId = appId;
  m_nAppType = appType;
  m_eBackupLevel = level;
  m_nJobId = jobId;
  m_nSnapJobId = snapJobId;
  m_ulCopyId = copyId;
  m_nSnapClientId = snapClientId;
  m_nClientId = clientId;
  m_pJobCtrl = jobCtrl;
  m_sSubClientDir = subclientDir;
  m_sQM = storageServer;
  m_sJobToken = jobToken;
  m_bMetadataCollected = metadataCollected;
  m_bIndexingV2 = indexingV2 && isIndexingV2();
  m_nIndexConnFlags |= kIndexConnAlways;
  m_pApplicationId.reset(new ApplicationId(cellId, appId));

  if (m_nAppType == 0) {
    unsigned long looked = 0;
    m_pApplicationId->getAppType(looked, nullptr);
    if (looked == 0)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to get AppType , ClientId=%d, AppId %d",
                                     static_cast<int>(m_nClientId), static_cast<int>(m_nAppId));
    m_nAppType = static_cast<uint32_t>(looked);
  }
  // A failure leaves the id at -1, which the delimiter choice refuses.
  GetOperatingSystemId();
  if (records::IsUnixOsId(m_nDestOsId)) {
    m_cDelimiter = '/';
    m_bWindowsDestination = false;
  } else if (records::IsWindowsOsId(m_nDestOsId)) {
    m_cDelimiter = '\\';
    m_bWindowsDestination = true;
  } else {
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Invalid OS Id, ClientId=%d, OSId=%d", static_cast<int>(m_nClientId),
                                   m_nDestOsId);
  }
  log.Debug(__FUNCTION__, "Delimiter=%c, DestOsId=%d", m_cDelimiter, m_nDestOsId);
  if (m_eBackupLevel == KZ_BKP_LEVEL_SYNTHFULL) {
    CQiError error = InitializeSynthfull();
    if (error.IsError()) return error.Push(FXCODELOC, "Failed initialize synthfull config");
  }
  m_bInitialized = true;
  return CQiError();
}
