// The exported facade: picks the job's handler by the application type the
// agent passes and forwards to it.
#include "blocklevel/pseudo_snap_archive_handler.h"

#include "library/entry_guard.h"
#include "platform/log/ev_debug.h"
#include "pseudosnap/pseudo_snap_handler_private.h"

namespace {

constexpr uint32_t kMetadataStorageRfc = 2;

CQiError NotInitialized(const FXCodeLocation& location) {
  return FXErrorUtil::ErrorErrNo(location, -1, "Pseudo snap archive handler is not initialized");
}

}  // namespace

CPseudoSnapArchiveHandlerPrivate* MakePseudoSnapHandler(uint32_t appType) {
  if (appType == 125) return new CPostGresPseudoSnapArchiveHandlerPrivate();
  if (appType == 22 || appType == 80) return new COraclePseudoSnapArchiveHandlerPrivate();
  return new CPseudoSnapArchiveHandlerPrivate();
}

CPseudoSnapArchiveHandler::CPseudoSnapArchiveHandler() = default;
CPseudoSnapArchiveHandler::~CPseudoSnapArchiveHandler() = default;

CQiError CPseudoSnapArchiveHandler::Initialize(uint32_t VornCellId, uint32_t AppId, uint32_t AppType, KZBkpLevel level,
                                               uint64_t JobId, uint64_t SnapJobId, uint32_t CopyId,
                                               uint32_t SnapClientId, uint32_t ClientId,
                                               const std::string& SubClientDir, const std::string& QM,
                                               const std::string& JobToken, KZJobCtrlClient* jobCtrl, bool V2,
                                               bool metadataCollected) {
  const char* const function = __FUNCTION__;
  return blocklevel::GuardEntryPoint(function, [&]() -> CQiError {
    EvDebug log;
    // The old handler goes first: its clean-up must not run over the new one's.
    m_pPrivate.reset();
    m_pPrivate.reset(MakePseudoSnapHandler(AppType));
    log.Debug(function,
              "VornCellId=%lu, AppId=%lu, AppType=%lu, Backuplevel=%d, JobId=%llu, SnapJobId=%llu, CopyId=%lu, "
              "SnapClientId=%lu, ClientId=%lu, \t\t\tSubClientDir=%s, QM=%s, JobToken=%s, V2=%d metadataCollected =%d",
              static_cast<unsigned long>(VornCellId), static_cast<unsigned long>(AppId),
              static_cast<unsigned long>(AppType), static_cast<int>(level), static_cast<unsigned long long>(JobId),
              static_cast<unsigned long long>(SnapJobId), static_cast<unsigned long>(CopyId),
              static_cast<unsigned long>(SnapClientId), static_cast<unsigned long>(ClientId), SubClientDir.c_str(),
              QM.c_str(), JobToken.c_str(), V2 ? 1 : 0, metadataCollected ? 1 : 0);
    CQiError error = m_pPrivate->Initialize(VornCellId, AppId, AppType, level, JobId, SnapJobId, CopyId, SnapClientId,
                                            ClientId, SubClientDir, QM, JobToken, jobCtrl, V2, metadataCollected);
    return error.IsError() ? error.Push(FXCODELOC) : error;
  });
}

CQiError CPseudoSnapArchiveHandler::CreatePseudoSnapArchive(std::vector<uint32_t>* ids) {
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&]() -> CQiError {
    if (!m_pPrivate || !m_pPrivate->IsInitialized()) return NotInitialized(FXCODELOC);
    CQiError error = m_pPrivate->CreatePseudoSnapArchive(ids);
    return error.IsError() ? error.Push(FXCODELOC) : error;
  });
}

CQiError CPseudoSnapArchiveHandler::GetCumulativeBmpMap(std::map<std::string, std::string>& bitmaps) {
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&]() -> CQiError {
    if (!m_pPrivate || !m_pPrivate->IsInitialized()) return NotInitialized(FXCODELOC);
    CQiError error = m_pPrivate->GetCumulativeBmpMap(bitmaps);
    return error.IsError() ? error.Push(FXCODELOC) : error;
  });
}

bool CPseudoSnapArchiveHandler::IsMetadataUploadedToRFC() {
  return !m_pPrivate || m_pPrivate->GetMetadataType() == kMetadataStorageRfc;
}
