// Moving a job's configuration files between machines: shipping them to the
// subclient's proxy, and fetching a job's files back from the backup index.
#include <unistd.h>

#include <cstring>
#include <vector>

#include "devconfig/kz_device_config_handler.h"
#include "platform/config/kz_client.h"
#include "platform/log/ev_debug.h"
#include "platform/services/archive_manager.h"
#include "platform/services/file_transfer.h"
#include "platform/services/host_name.h"
#include "platform/services/index_files.h"
#include "platform/services/subclient.h"
#include "platform/text/fx_string.h"

namespace {

constexpr int32_t kConfigTransferRequest = 300;

// Texts of the transfer record live in 1024-character arrays: a text that
// does not fit with its terminating zero is refused, never cut.
bool FitsTransferText(const std::string& text) {
  return text.size() < 1024;
}

void CopyTransferText(char (&target)[1024], const std::string& text) {
  std::memcpy(target, text.c_str(), text.size() + 1);
}

}  // namespace

CQiError KzDeviceConfigHandler::PutConfigFiles() {
  EvDebug log;
  const std::string& directory = m_oJobInfo.GetJobResultsDir();
  const uint64_t cellId = m_oJobInfo.GetVornCellId();
  const uint64_t appId = m_oJobInfo.GetAppId();

  m_vFileList.push_back(kConfigFileName);
  if (::access((directory + "/" + kConfigExtFileName).c_str(), F_OK) == 0) m_vFileList.push_back(kConfigExtFileName);

  ApplicationId application(cellId, appId);
  Subclient* subclient = application.getSubclient(nullptr);
  if (subclient == nullptr)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to get subclient instanace for (%lu/%lu)",
                                   static_cast<unsigned long>(cellId), static_cast<unsigned long>(appId));

  uint64_t proxyId = 0;
  if (subclient->getProxyClientId(proxyId, nullptr) != 0)
    log.DebugLvl(__FUNCTION__, -1, "Failed to find out proxy information");
  if (proxyId == 0) {
    log.DebugLvl(__FUNCTION__, 1, "Proxy host not configured, config files will be kept on source");
    return CQiError();
  }

  const std::string clientName = KZPI_Focus::getFocusClientName(true);
  uint64_t sourceId = 0;
  if (KZClient(clientName.c_str(), false, 0).getClientId(sourceId, nullptr) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 774, "Failed to get source client ID for client name=%s",
                                   clientName.c_str());
  if (sourceId == proxyId) {
    log.DebugLvl(__FUNCTION__, 0, "Proxy host configured as source client, no files to copy");
    return CQiError();
  }

  bool useSource = false;
  if (subclient->getUseSource(useSource, nullptr) != 0) useSource = true;
  log.DebugLvl(__FUNCTION__, 1, "Got ProxyHost ClientId=[%lu], bUseSource=[%s]", static_cast<unsigned long>(proxyId),
               useSource ? "TRUE" : "FALSE");

  KZClient proxy(proxyId);
  std::string host;
  if (proxy.getNetworkHostnameMangled(host, nullptr) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to get client mangled name for clientID=[%lu]",
                                   static_cast<unsigned long>(proxyId));

  // An empty job-results directory is no place to send files to: it is
  // treated like a proxy that could not say where its job results are.
  FXString destination;
  std::string proxyResults;
  if (proxy.getjobResultDirectory(proxyResults, nullptr) == 0 && !proxyResults.empty()) {
    destination = proxyResults;
    FXPath::AppendTrailingDelimiter(destination);
    destination += std::to_string(cellId) + "/" + std::to_string(appId);
  } else {
    std::string installDir;
    if (proxy.getInstallDirectory(installDir, 4, nullptr) != 0)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, 2, "Failed to locate JobResults on Proxy ClientID=[%lu]",
                                     static_cast<unsigned long>(proxyId));
    destination = installDir;
    FXPath::AppendTrailingDelimiter(destination);
    destination += "Temp";
  }

  if (!FitsTransferText(directory) || !FitsTransferText(destination))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Path too long to send config files, source=[%s], destination=[%s]",
                                   directory.c_str(), destination.c_str());
  std::vector<_KZS_FILE_COPY_INFO> files;
  files.reserve(m_vFileList.size());
  for (const std::string& name : m_vFileList) {
    if (!FitsTransferText(name))
      return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "File name too long to send, name=[%s]", name.c_str());
    _KZS_FILE_COPY_INFO info;
    CopyTransferText(info.strFilePath, directory);
    info.nRequestType = kConfigTransferRequest;
    CopyTransferText(info.request.cFileName, name);
    CopyTransferText(info.request.destDir, destination);
    info.request.bCreateDestDir = 1;
    info.request.bAppend = 0;
    info.request.bOverwrite = 1;
    log.DebugLvl(__FUNCTION__, 3, "FileInfo: cFileName:%s, destDir:%s, strFilePath:%s", info.request.cFileName,
                 info.request.destDir, info.strFilePath);
    files.push_back(info);
  }

  log.DebugLvl(__FUNCTION__, 1, "Sending [%ld] config files on nethost mangled name [%s]",
               static_cast<long>(files.size()), host.c_str());
  KzCopyFile copier;
  CQiError error = copier.GetConnection(host, nullptr, false);
  if (error.IsError())
    log.DebugLvl(__FUNCTION__, 1, "[%s]: failed to connect to QM to send dirchange files", error.AsString().c_str());
  error = copier.CopyFiles(files, false, nullptr, std::string(), std::string());
  if (!error.IsError()) return CQiError();
  if (useSource) {
    log.DebugLvl(__FUNCTION__, 1, "Failed to send config files, error=%s, will keep them on source",
                 error.AsString().c_str());
    return CQiError();
  }
  return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to send config files");
}

CQiError KzDeviceConfigHandler::DownloadRemoteIndexFiles(int archFileType, const std::list<std::string>& patterns,
                                                         unsigned long referenceTime) {
  EvDebug log;
  const uint64_t job = m_oJobInfo.GetSnapJobId() != 0 ? m_oJobInfo.GetSnapJobId() : m_oJobInfo.GetJobId();
  const uint64_t appId = m_oJobInfo.GetAppId();
  const uint64_t cellId = m_oJobInfo.GetVornCellId();
  std::string clientName, host;
  int port = 0, hostFlags = 0;
  DemangleHostName(m_oJobInfo.GetStowhost(), clientName, host, port, hostFlags);

  if (referenceTime == 0) {
    log.DebugLvl(__FUNCTION__, 3, "Fetching Snap AFile list for JOBID=%lu, AppId=%lu, VornCellID=%lu",
                 static_cast<unsigned long>(job), static_cast<unsigned long>(appId),
                 static_cast<unsigned long>(cellId));
    ArMgrClientAPI archiveManager;
    GetArchFileInfoForSnapJob_ArgsCC_t args;
    args.jobId = m_oJobInfo.GetJobId();
    args.appOrClientId = appId;
    args.cellId = cellId;
    args.snapJobId = job;
    GetArchFileInfoForSnapJob_Ret_t reply;
    int result = archiveManager.getArchFileListForSnapshotJob(&args, &reply);
    if (result != 0)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, result, "Failed to get afile list for JOBID[=%lld]",
                                     static_cast<long long>(job));
    if (reply.archFiles.empty())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "No afile results returned for JOBID[=%lld]",
                                     static_cast<long long>(job));
    if (reply.storageHostName.empty())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Empty QM host name returned for JOBID[=%lld]",
                                     static_cast<long long>(job));
    for (const ArchFileInfo_t& afile : reply.archFiles) {
      if (afile.archFileType != archFileType) continue;
      GetLastAfileOfCycleArgs_t lastArgs;
      lastArgs.archFileId = afile.archFileId;
      lastArgs.reserved = 0;
      lastArgs.cycleNumber = afile.cycleNumber;
      lastArgs.archFileType = archFileType;
      GetLastAfileOfCycleRet_t last;
      result = archiveManager.getLastAfileOfCycle(&lastArgs, &last);
      if (result != 0)
        return FXErrorUtil::ErrorErrNo(FXCODELOC, result, "Failed to get last afile for afile [%lu]",
                                       static_cast<unsigned long>(afile.archFileId));
      referenceTime = static_cast<unsigned long>(last.createTime);
    }
    if (referenceTime == 0)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to find metadata archive file create time for JID [%lld]",
                                     static_cast<long long>(job));
  }

  unsigned flags = 1;
  if (m_oJobInfo.GetJobId() == m_oJobInfo.GetSnapJobId() && m_oJobInfo.GetJobId() != 0) flags |= 2;
  std::list<std::string> wanted = patterns;
  if (wanted.empty()) wanted = {"*.bmp", "*.7z", "*BlockDeviceConfig.kzf"};

  log.DebugLvl(__FUNCTION__, 3, "Retrieving files from BCD index, using BackupRefTime=%lu, JOBID=%lld", referenceTime,
               static_cast<long long>(job));
  const int result = GetIndexFiles(host, static_cast<unsigned>(cellId), static_cast<unsigned>(appId),
                                   static_cast<unsigned>(referenceTime), static_cast<long long>(job), 0, flags,
                                   m_oJobInfo.GetJobResultsDir(), &wanted, nullptr);
  if (result == -1) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Invalid argument for GetIndexFiles.");
  if (result == -2) return FXErrorUtil::ErrorErrNo(FXCODELOC, -2, "Unable to receive collect files from QM.");
  return CQiError();
}
