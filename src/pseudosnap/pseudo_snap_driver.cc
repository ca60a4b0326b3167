// CreatePseudoSnapArchive: one pseudo-snap job from the snapshot record to
// the done marker and the index carry-forward. Nothing done is rolled back:
// the done marker is the one sign of progress a rerun consults.
#include <cerrno>
#include <cstring>

#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/services/host_name.h"
#include "platform/snapshot/snap_client_api.h"
#include "platform/text/fx_string.h"
#include "pseudosnap/pseudo_snap_handler_private.h"
#include "records/file_replacement.h"

namespace {

constexpr unsigned kIndexCloseFailed = 774;

}  // namespace

CQiError CPseudoSnapArchiveHandlerPrivate::CreatePseudoSnapArchive(std::vector<uint32_t>* ids) {
  EvDebug log;
  const std::string marker = JobFilePath(kDoneMarkerName);
  CQiError error;
  if (FXPath::DoesPathExist(marker)) {
    error = SetIndexConnTypeFlags();
    if (error.IsError()) return error.Push(FXCODELOC);
    log.Debug(__FUNCTION__, "Pseudo archive done file[%s] already exists", marker.c_str());
  } else {
    error = GetSnapInfo();
    if (!error.IsError()) error = GetMountMap();
    if (!error.IsError()) error = CheckForVolumeCountMismatch();
    if (error.IsError()) return error.Push(FXCODELOC);
    uint32_t copyId = 0;
    error = CreateSnapArchiveFiles(copyId);
    if (error.IsError())
      return error.Push(FXCODELOC, "CreateSnapArchiveFiles failed while creating block level snap archive files");
    error = GetArchiveFileMap(m_oSnapVolSnapInfo, m_mSnapArchFileMap);
    if (!error.IsError()) error = GetArchiveFileMap(m_oPseudoVolSnapInfo, m_mPseudoArchFileMap);
    if (!error.IsError()) error = GetVolumeType();
    if (error.IsError()) return error.Push(FXCODELOC);

    std::string clientName, hostName;
    int port = 0, hostFlags = 0;
    DemangleHostName(m_sQM, clientName, hostName, port, hostFlags);
    log.Debug(__FUNCTION__, "IndexingConnection::initialize(%lu,%lu,%lu,%d,%s,%s,%s,%lu)",
              static_cast<unsigned long>(m_nVornCellId), static_cast<unsigned long>(m_nAppId),
              static_cast<unsigned long>(m_nAppType), static_cast<int>(m_eBackupLevel), m_sJobToken.c_str(),
              m_sQM.c_str(), hostName.c_str(), static_cast<unsigned long>(m_nIndexConnFlags));
    if (m_oIndexingConnection.initialize(m_nVornCellId, m_nAppId, m_nAppType, static_cast<int>(m_eBackupLevel),
                                         m_sJobToken, m_sQM, hostName, m_nIndexConnFlags) != 0)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "failed to initialize Indexing connection");

    error = UpdateVolumeAFileInfo(ids);
    if (!error.IsError() && m_bIndexingV2) {
      if (m_eBackupLevel == KZ_BKP_LEVEL_FULL || m_eBackupLevel == KZ_BKP_LEVEL_INCREMENTAL) {
        error = PopulateFullIncrBackupIndex();
      } else if (m_eBackupLevel == KZ_BKP_LEVEL_SYNTHFULL) {
        error = PopulateSynthFullIndex();
        if (!error.IsError() && m_nAppType != 22 && m_nAppType != 80) error = UpdateSynthFullBackupInfo();
      }
    }
    if (error.IsError()) return error.Push(FXCODELOC);

    SMEngineInfo engine;
    if (!KZQMSnapHandler().getEngineInfoByEngineID(platform::kBlockLevelSnapEngine, engine))
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Could not get engine info associated with engine id[%d]",
                                     platform::kBlockLevelSnapEngine);
    std::string cloneError;
    if (m_oSnapVolSnapInfo.cloneForBlockSnap(m_nJobId, copyId, m_mSnapToPseudoArchFileMap, engine, m_oClonedVolSnapInfo,
                                             cloneError, m_eBackupLevel == KZ_BKP_LEVEL_SYNTHFULL) != 0)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "cloneForBlockSnap failed. error[%s]", cloneError.c_str());
    error = UpdateClonedVolSnapInfo();
    if (error.IsError()) return error.Push(FXCODELOC);
    error = SaveCarryFwdMapToDisk();
    if (error.IsError())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to save carry fwd details map to disk err: %s",
                                     error.AsString().c_str());
    KZSnapClientAPI snapClient;
    if (!snapClient.updateVolumeSnaps(m_oClonedVolSnapInfo)) {
      int apiCode = 0;
      std::string apiError;
      snapClient.getErrCodeAndStr(apiCode, apiError);
      return FXErrorUtil::ErrorErrNo(
          FXCODELOC, -1,
          "Failed to update cloned vol snap info. KZSnapClientAPI error[%s] volSnapInfo error[%d] error[%s]",
          apiError.c_str(), m_oClonedVolSnapInfo.getErrorCode(), m_oClonedVolSnapInfo.getErrorString().c_str());
    }
    if (m_oIndexingConnection.backupDone(1) != 0)
      return FXErrorUtil::ErrorWin32(FXCODELOC, kIndexCloseFailed, "backupdone Failed, Failed to update Index");

    // A rerun that finds the marker reads the archive-file map, so the map
    // is down before the marker: one written after it would be missing for
    // good if the process died in between, and every rerun would fail. A map
    // already there is an earlier attempt's, which died before its marker
    // and named archive files this attempt has replaced. A map that cannot
    // be written fails the job without its marker, so that its rerun does
    // the job again.
    const std::string map = JobFilePath(kArchFileMapName);
    if (unlink_utf(map.c_str()) != 0 && errno != ENOENT)
      return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to remove the earlier archive-file map [%s]", map.c_str());
    error = SaveSnapAFilePseudoAFileMapToCache();
    // Without a volume there is no map to write, and no carry-forward to
    // read one.
    if (error.IsError() && !m_mSnapToPseudoArchFileMap.empty())
      return error.Push(FXCODELOC, "Failed to save the archive-file map [%s]", map.c_str());
    auto_handle handle;
    error = FXFile::KZCreateFile(marker.c_str(), fxfile::kGenericRead, fxfile::kShareRead, nullptr, fxfile::kCreateNew,
                                 fxfile::kAttributeNormal, handle);
    if (error.IsError()) {
      log.Error(__FUNCTION__, "Failed to create file PSnapADone, err: %s", error.AsString().c_str());
    } else {
      handle.reset();
      // A marker that a power loss takes back has the rerun register the
      // archive files again.
      error = records::SyncFolderOf(marker);
      if (error.IsError()) return error.Push(FXCODELOC);
      log.Debug(__FUNCTION__, "Pseudo archive done file[%s] created", marker.c_str());
    }
  }
  if (m_bIndexingV2) {
    error = RunCarryFwdIndex();
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  return CQiError();
}
