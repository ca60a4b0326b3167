// The job-results backup's run: filters, the folder's ancestors and the walk
// of the folder. The items themselves are written by jr_backup_item.cc.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "indexinfo/jr_backup_handler_private.h"
#include "library/entry_guard.h"
#include "platform/fs/fx_file.h"
#include "platform/fs/qi_directory.h"
#include "platform/jobs/job_ctrl_client.h"
#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"
#include "platform/text/fx_string.h"

const char kJRFakeRootPath[] = "/KzBLBTCTroubleShootFakePath_95AD_4538_A437_5F81";

namespace {

constexpr size_t kFakeRootLength = sizeof(kJRFakeRootPath) - 1;
static_assert(kFakeRootLength == 48, "the fake root is 48 characters");

}  // namespace

std::string JRFailureText(const CQiError& error) {
  const std::string message = error.FirstMessage();
  return message.empty() ? "code=" + std::to_string(error.GetErrorCode()) : message;
}

CBLBJRForJobBackupHandler::CBLBJRForJobBackupHandler(const std::string& jobResultsFolder, const std::string& appGuid,
                                                     KZArchive* archive, KZJobCtrlClient* jobCtrl,
                                                     unsigned long clientOsId, bool indexV2)
    : m_pPrivate(std::make_shared<CBLBJRForJobBackupHandlerPrivate>(jobResultsFolder, appGuid, archive, jobCtrl,
                                                                    clientOsId, indexV2)) {}

CBLBJRForJobBackupHandler::~CBLBJRForJobBackupHandler() = default;

void CBLBJRForJobBackupHandler::SetJRItemPreprocessCallback(PreprocessCallback callback) {
  m_pPrivate->SetPreprocessCallback(std::move(callback));
}

void CBLBJRForJobBackupHandler::SetJRItemFilterCallback(FilterCallback callback) {
  m_pPrivate->SetFilterCallback(std::move(callback));
}

CQiError CBLBJRForJobBackupHandler::Run() {
  CQiError error = blocklevel::GuardEntryPoint(__FUNCTION__, [this] { return m_pPrivate->Run(); });
  return error.IsError() ? error.Push(FXCODELOC) : error;
}

CBLBJRForJobBackupHandlerPrivate::CBLBJRForJobBackupHandlerPrivate(const std::string& jobResultsFolder,
                                                                   const std::string& appGuid, KZArchive* archive,
                                                                   KZJobCtrlClient* jobCtrl, unsigned long clientOsId,
                                                                   bool indexV2)
    : m_sJobResultsFolder(jobResultsFolder),
      m_sAppGuid(appGuid),
      m_bIndexV2(indexV2),
      m_nClientOsId(clientOsId),
      m_pArchive(archive),
      m_pJobCtrl(jobCtrl) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 0, "JRForJob[%s] AppGUID[%s] ClientOSId[%lu] IndexV2[%s]", m_sJobResultsFolder.c_str(),
               m_sAppGuid.c_str(), clientOsId, indexV2 ? "YES" : "NO");
}

std::string CBLBJRForJobBackupHandlerPrivate::PrepareFakePath(const std::string& path) {
  return FXPath::Append(kJRFakeRootPath, path);
}

bool CBLBJRForJobBackupHandlerPrivate::IsFakePath(const std::string& path) {
  return path.compare(0, kFakeRootLength, kJRFakeRootPath) == 0;
}

std::string CBLBJRForJobBackupHandlerPrivate::PrepareOrigPath(const std::string& path) {
  return IsFakePath(path) ? path.substr(kFakeRootLength) : path;
}

CQiError CBLBJRForJobBackupHandlerPrivate::Run() {
  EvDebug log;
  if (m_pArchive == nullptr || m_pJobCtrl == nullptr)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Invalid params passed as input");
  if (!m_bIndexV2) {
    log.DebugLvl(__FUNCTION__, 0, "It appears Indexing V1 enabled client, nothing to do");
    return CQiError();
  }
  CQiError error = LoadFilters();
  if (error.IsError()) log.Error(__FUNCTION__, "Failed to setup filters, warning=%s", error.AsString().c_str());

  FXString folder(m_sJobResultsFolder);
  if (FXString::MatchRight(folder, "/")) folder.RemoveRight(1);
  m_sJobResultsFolder = folder;
  // The ancestors go as folders whatever the previous run's last item was.
  m_bIsFolder = true;
  error = BackupAncestorPath(PrepareFakePath(m_sJobResultsFolder));
  if (error.IsError()) {
    const std::string text = JRFailureText(error);
    return error.Push(FXCODELOC, "Failed to backup ancestor path, error=[%s]", text.c_str());
  }
  return DoBackup(m_sJobResultsFolder);
}

CQiError CBLBJRForJobBackupHandlerPrivate::LoadFilters() {
  EvDebug log;
  auto failures = std::make_shared<CFilterTerm>();
  failures->LoadRaw("**/Failures.kzf");
  m_lFilters.push_back(failures);

  std::string value;
  if (KZPlatformInfo::getString("FileSystemAgent", "BLBTSFilesNotToBackup", value) == 0 || value.empty())
    return CQiError();
  log.DebugLvl(__FUNCTION__, 0, "Registry key 'FilesNotToBackup' set with value - [%s]", value.c_str());
  for (const FXString& piece : FXString::Split(value, ',')) {
    log.DebugLvl(__FUNCTION__, 0, "Adding folder filter - %s", piece.c_str());
    auto term = std::make_shared<CFilterTerm>();
    term->LoadRaw(piece);
    m_lFilters.push_back(term);
  }
  return CQiError();
}

CQiError CBLBJRForJobBackupHandlerPrivate::BackupAncestorPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return CQiError();
  const std::string parent = path.substr(0, slash);
  CQiError error = BackupAncestorPath(parent);
  if (error.IsError()) {
    const std::string text = JRFailureText(error);
    return error.Push(FXCODELOC, "Failed to backup item[%s], error[%s]", parent.c_str(), text.c_str());
  }
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 5, "Backing up ancestor path[%s]", parent.c_str());
  error = BackupItem(parent);
  if (error.IsError()) {
    const std::string text = JRFailureText(error);
    error.Push(FXCODELOC, "Failed to backup item[%s], error[%s]", parent.c_str(), text.c_str());
  }
  return error;
}

CQiError CBLBJRForJobBackupHandlerPrivate::DoBackup(const std::string& path) {
  CQiError error = BackupItem(path);
  if (error.IsError()) {
    const std::string text = JRFailureText(error);
    return error.Push(FXCODELOC, "Failed to backup item[%s], error[%s]", path.c_str(), text.c_str());
  }
  error = CQiDirectory::Walk(path.c_str(), this, 0, false, &CBLBJRForJobBackupHandlerPrivate::EnumerateItemCallBack);
  if (error.IsError())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 1627, "Failed while enumerating path=[%s], error=[%s]", path.c_str(),
                                   error.AsString().c_str());
  return CQiError();
}

CQiError CBLBJRForJobBackupHandlerPrivate::EnumerateItemCallBack(void* context, const char* directory, const char* name,
                                                                 bool isFolder) {
  return static_cast<CBLBJRForJobBackupHandlerPrivate*>(context)->EnumerateItemCallBack(directory, name, isFolder);
}

CQiError CBLBJRForJobBackupHandlerPrivate::EnumerateItemCallBack(const char* directory, const char* name, bool) {
  EvDebug log;
  if (directory == nullptr || name == nullptr)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Invalid input params passed");
  if (m_pJobCtrl->checkQuitFlag()) return FXErrorUtil::ErrorWin32(FXCODELOC, 995, "Job Quit flag received");
  m_bIsFolder = false;
  const std::string fullPath = FXPath::Append(directory, name);
  log.DebugLvl(__FUNCTION__, 5, "Troubleshooting item=[%s]", fullPath.c_str());

  // The walker's answer follows links; the entry itself decides. A link to a
  // folder (or to "..") would walk outside the folder without end, and a
  // FIFO or a device would block the read or stream a whole device.
  struct stat entry {};
  if (::lstat(fullPath.c_str(), &entry) != 0)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "lstat(%s) failed", fullPath.c_str());
  if (!S_ISDIR(entry.st_mode) && !S_ISREG(entry.st_mode)) {
    log.DebugLvl(__FUNCTION__, 0, "Skipping troubleshooting item[%s]: neither a regular file nor a folder (mode 0%o)",
                 fullPath.c_str(), static_cast<unsigned>(entry.st_mode));
    return CQiError();
  }
  if (S_ISDIR(entry.st_mode)) {
    log.DebugLvl(__FUNCTION__, 5, "Backing up troubleshooting folder[%s]", fullPath.c_str());
    m_bIsFolder = true;
    return BackupFolder(fullPath);
  }

  log.DebugLvl(__FUNCTION__, 5, "Backing up troubleshooting file[%s]", fullPath.c_str());
  bool skip = false;
  for (const std::shared_ptr<CFilterTerm>& term : m_lFilters) {
    if (term->Matches(fullPath)) {
      skip = true;
      break;
    }
  }
  if (!skip && m_fnFilter) {
    CQiError error = m_fnFilter(fullPath, skip);
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  if (skip) {
    log.DebugLvl(__FUNCTION__, 5, "Filtered troubleshooting file[%s]", fullPath.c_str());
    return CQiError();
  }
  m_bIsFolder = false;
  return BackupItem(fullPath);
}
