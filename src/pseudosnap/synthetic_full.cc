// The synthetic full's own steps: the source job's information fetched into
// a private work folder at initialisation, and published again for the new
// job.
#include <unistd.h>

#include <ctime>
#include <list>
#include <new>

#include "platform/compress/c7zip.h"
#include "platform/config/kz_client.h"
#include "platform/fs/fx_file.h"
#include "platform/fs/qi_directory.h"
#include "platform/log/ev_debug.h"
#include "platform/services/host_name.h"
#include "platform/services/index_files.h"
#include "platform/text/fx_string.h"
#include "pseudosnap/pseudo_snap_handler_private.h"

namespace {

constexpr char kCatalogContainer[] = "BlockLevelCatalog";
constexpr char kCatalogArchive[] = "BlockDeviceConfig.kzf.7z";
constexpr char kCatalogExtArchive[] = "BlockDeviceConfigExt.kzf.7z";
constexpr char kCatalogFile[] = "BlockDeviceConfig.kzf";
constexpr int kSevenZipFormat = 2;
constexpr unsigned kOutOfMemory = 14;
constexpr unsigned kPathNotFound = 3;
constexpr uint32_t kPostgresAppType = 125;
constexpr uint32_t kIndexStorageType = 1;
constexpr uint32_t kRfcStorageType = 2;

}  // namespace

CQiError CPseudoSnapArchiveHandlerPrivate::InitializeSynthfull() {
  EvDebug log;
  std::optional<std::string> temp = KZPI_Base::getTarvosTempDirectory();
  if (!temp) return FXErrorUtil::ErrorWin32(FXCODELOC, kPathNotFound, "Failed to get the temporary directory");
  const std::string workDir =
      FXPath::Append(*temp, FXString::Format("BlockSnapArchive_%llu", static_cast<unsigned long long>(m_nJobId)));
  m_sSubClientDir = workDir;
  CQiError error = CQiDirectory::Create(workDir.c_str(), true);
  if (error.IsError()) return error.Push(FXCODELOC);
  // From here on the folder is the synthetic full's own, for the destructor
  // to clean.
  m_sSynthFullWorkDir = workDir;

  if (!m_bIndexingV2) {
    const std::list<std::string> names = {
        FXString::Format("%lld_%s", static_cast<long long>(m_nSnapJobId), kCatalogFile)};
    std::string clientName, hostName;
    int port = 0, flags = 0;
    DemangleHostName(m_sQM, clientName, hostName, port, flags);
    const int result = GetIndexFiles(hostName, m_nVornCellId, m_nAppId, static_cast<unsigned>(std::time(nullptr)),
                                     static_cast<long long>(m_nSnapJobId), 2, 1, workDir, &names, nullptr);
    if (result < 0)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, result, "failed to fetch Blockdeviceconfig.kzf from index ");
    const std::string fetched = workDir + "/" + names.front();
    if (access(fetched.c_str(), F_OK) != 0)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, result, "failed to access Blockdeviceconfig.kzf from index ");
    error = FXFile::KZCopyFile(fetched.c_str(), (workDir + "/" + kCatalogFile).c_str(), false);
    if (error.IsError()) return error.Push(FXCODELOC);
    return CQiError();
  }

  const std::optional<std::string> home = KZPI_Base::getHomeDirectory();
  C7zip compressor(home.value_or(""), kSevenZipFormat);
  compressor.Initialize();
  CJobInfoMetadataReaderManagerPtr manager(
      new (std::nothrow) CJobInfoMetadataReaderManager(m_sQM, m_nJobId, m_nSnapJobId, m_nVornCellId, m_nAppId, 0, 0));
  if (!manager) return FXErrorUtil::ErrorWin32(FXCODELOC, kOutOfMemory);
  manager->SetDelimiter(m_cDelimiter);
  std::string localPath;
  error = manager->DownloadFile(kCatalogContainer, kCatalogArchive, workDir, localPath, 0);
  if (error.IsError()) return error.Push(FXCODELOC);
  error = compressor.ExtractFilesFromArchive(localPath, workDir);
  if (error.IsError()) return error.Push(FXCODELOC);
  std::list<std::string> names;
  error = manager->DownloadFiles(kCatalogContainer, names, workDir, 0);
  if (error.IsError()) return error.Push(FXCODELOC);
  CJobInfoMetadataReaderPtr reader = manager->GetActiveMetadataReader();
  if (!reader) return FXErrorUtil::ErrorWin32(FXCODELOC, kOutOfMemory);
  m_nMetadataType = reader->GetMetadataType();
  log.Debug(__FUNCTION__, "Caching metadata storage type [%d][%s] for synthetic full uploads.",
            static_cast<int>(m_nMetadataType), m_nMetadataType == kRfcStorageType ? "RFC" : "Index");
  for (const std::string& name : names) {
    if (name != kCatalogExtArchive) continue;
    const std::string extPath = FXPath::Append(workDir, name);
    error = reader->WriteFileToPath(kCatalogContainer, name, extPath);
    if (error.IsError()) return error.Push(FXCODELOC);
    error = compressor.ExtractFilesFromArchive(extPath, workDir);
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  error = DownloadCumulativeBitmapFiles(manager);
  if (error.IsError())
    return error.Push(FXCODELOC, "DownloadCumulativeBitmapFiles failed, error[%s]", error.AsString().c_str());
  error = DownloadAgentIndexFiles(manager, compressor);
  if (error.IsError()) return error.Push(FXCODELOC, "DownloadAgentIndexFiles failed");
  if (IsWindowsOsId() && IsBackupSystemState()) {
    error = DownloadSysViewIndexFiles(manager);
    if (error.IsError()) return error.Push(FXCODELOC, "DownloadSysViewIndexFiles failed");
  }
  return CQiError();
}

CQiError CPseudoSnapArchiveHandlerPrivate::PopulateSynthFullIndex() {
  const std::string catalog = FXPath::Append(m_sSubClientDir, kCatalogArchive);
  const std::string catalogExt = FXPath::Append(m_sSubClientDir, kCatalogExtArchive);
  if (m_nAppType == kPostgresAppType) m_nMetadataType = kIndexStorageType;
  // The catalogue is uploaded with the job's first pseudo archive file: with
  // none there is nothing to name, and reading one would be undefined.
  if (m_mPseudoArchFileMap.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "No pseudo archive file to upload the catalog with");
  CJobInfoMetadataStoreFactory factory(m_sQM, m_sJobToken, m_nJobId, m_nVornCellId, m_nAppId);
  CJobInfoMetadataStorePtr store = factory.GetInstance(m_nMetadataType);
  if (!store) return FXErrorUtil::ErrorWin32(FXCODELOC, kOutOfMemory);
  store->SetPathDelimiter(m_cDelimiter);
  store->SetFlags(JobInfoStoreFlags());
  CQiError error = store->AddFileToContainer(kCatalogContainer, catalog);
  if (error.IsError())
    return error.Push(FXCODELOC, "Failed to add BlockDeviceConfig file to metadata store, err[%s]",
                      error.AsString().c_str());
  if (FXPath::DoesPathExist(catalogExt)) {
    error = store->AddFileToContainer(kCatalogContainer, catalogExt);
    if (error.IsError())
      return error.Push(FXCODELOC, "Failed to add BlockDeviceConfigExt file to metadata store, err[%s]",
                        error.AsString().c_str());
  }
  error = UploadCumulativeBackupBitmaps(store);
  if (error.IsError())
    return error.Push(FXCODELOC, "Failed to carry fwd cumulative backup bitmaps, error=[%s]", error.AsString().c_str());
  store->SetBackupType(static_cast<int>(m_eBackupLevel));
  store->SetAdditionalArchiveFileFlags(PseudoArchiveFileFlags());
  error = store->Upload(m_sQM, m_sJobToken, m_mPseudoArchFileMap.begin()->second);
  if (error.IsError()) return error.Push(FXCODELOC, "Failed to upload BlockDeviceConfig file to indexing");
  if (IsWindowsOsId() && IsBackupSystemState()) {
    error = UploadSysViewIndexFiles();
    if (error.IsError()) return error.Push(FXCODELOC, "Failed to upload sysview file(s) to indexing");
  }
  error = UploadAgentIndexToSynthFull();
  if (error.IsError()) return error.Push(FXCODELOC, "Failed to upload agent index to Indexing");
  return CQiError();
}
