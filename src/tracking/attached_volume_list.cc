#include "tracking/attached_volume_list.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <set>

#include "platform/config/kz_client.h"
#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"
#include "records/file_replacement.h"

namespace {

constexpr const char* kConstructor = "CAttachedVolumeList::CAttachedVolumeList(bool)";
constexpr const char* kSourceName = "CAttachedVolumeList";

// The lock files of the lists this thread holds locked. The lock is
// re-entrant per thread, so a second locked list of the same file would be
// granted at once, and the first one's write-back would later overwrite
// whatever the second wrote.
thread_local std::set<std::string> t_heldLists;

struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file) std::fclose(file);
  }
};

}  // namespace

CAttachedVolumeList::CAttachedVolumeList(bool bLock) {
  const std::string client = KZPI_Focus::getFocusClientName(true);
  std::optional<std::string> jobResults = KZPI_VornClient::getJobResultsDirectory(client);
  if (!jobResults)
    throw KzException("Failed to retrieve job results directory for VM " + client + " from registry", kConstructor,
                      kSourceName, __LINE__, -1);
  m_sConfigDir = *jobResults + "/.BlockLevel";
  const bool existed = FXPath::DoesPathExist(m_sConfigDir);
  CQiError made = FXFolder::CreateFoldersIteratively(m_sConfigDir.c_str());
  // The list written into the folder is synced; the folder's own name must
  // outlive a power loss too.
  if (!made.IsError() && !existed) made = records::SyncFolder(*jobResults);
  if (made.IsError())
    throw KzException("Failed to create config directory. Error : " + made.AsString(), kConstructor, kSourceName,
                      __LINE__, -1);
  m_sConfigFile = m_sConfigDir + "/.AttachedVolumes";
  m_sLockFile = m_sConfigFile + ".lock";
  if (!bLock) return;

  if (t_heldLists.count(m_sLockFile) != 0)
    throw KzException("The volume list [" + m_sConfigFile + "] is already held locked by this thread", kConstructor,
                      kSourceName, __LINE__, -1);
  // Without the lock the list written back at destruction could overwrite
  // another writer's update (a lost dirty mark is a missed change).
  if (int failed = m_oLock.lock(m_sLockFile, KzFileLock::kWrite, -1))
    throw KzException(FXString::Format("Failed to lock [%s], errno=%d", m_sLockFile.c_str(), failed), kConstructor,
                      kSourceName, __LINE__, -1);
  CQiError loaded = LoadList();
  if (loaded.IsError() && !FXErrorUtil::IsErrNo(loaded, 2)) {
    m_oLock.unlock();
    throw KzException("Failed to load volume list, error=" + loaded.AsString(), kConstructor, kSourceName, __LINE__,
                      -1);
  }
  m_bLocked = true;
  t_heldLists.insert(m_sLockFile);
}

CAttachedVolumeList::~CAttachedVolumeList() {
  if (!m_bLocked) return;
  t_heldLists.erase(m_sLockFile);
  EvDebug log;
  // Also runs while an exception unwinds (the fail-over merge): nothing may
  // leave it.
  // The writers save their changes themselves and report a failure; this
  // only catches a change no writer saved.
  try {
    CQiError saved = m_bUnsaved ? SaveList() : CQiError();
    if (saved.IsError()) log.DebugLvl(__FUNCTION__, -1, "%s", saved.AsString().c_str());
  } catch (const KzException& exception) {
    log.DebugLvl(__FUNCTION__, -1, "%s", exception.getMessage());
  } catch (const std::exception& exception) {
    log.DebugLvl(__FUNCTION__, -1, "%s", exception.what());
  }
  m_oLock.unlock();
}

CQiError CAttachedVolumeList::LoadList() {
  m_lVolumes.clear();
  m_bUnsaved = false;
  KzFileLock reading(true);
  if (int failed = reading.lock(m_sLockFile, KzFileLock::kRead, -1))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failed, "Failed to lock [%s]", m_sLockFile.c_str());
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(m_sConfigFile.c_str(), "re"));
  if (!file) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open [%s]", m_sConfigFile.c_str());
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  errno = 0;
  while ((length = ::getline(&line, &capacity, file.get())) >= 0) {
    if (length == 0 || (length == 1 && line[0] == '\n')) continue;
    VolumeClusterConfig volume(std::string(line, static_cast<size_t>(length)));
    if (volume.IsValid()) m_lVolumes.push_back(volume);
  }
  std::free(line);
  if (std::ferror(file.get())) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to read [%s]", m_sConfigFile.c_str());
  return CQiError();
}

CQiError CAttachedVolumeList::SaveList() {
  if (m_lVolumes.empty()) return CQiError();
  KzFileLock writing(true);
  if (int failed = writing.lock(m_sLockFile, KzFileLock::kWrite, -1))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failed, "Failed to lock [%s]", m_sLockFile.c_str());
  const std::string temporary = m_sConfigFile + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "we");
  if (file == nullptr) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to open [%s]", m_sConfigFile.c_str());
  // The list must be on disk before it replaces the old one: a crash leaves
  // either list whole, and a failed write leaves the old one in place.
  int failure = 0;
  for (const VolumeClusterConfig& volume : m_lVolumes) {
    if (std::fputs(volume.Serialize().c_str(), file) == EOF) {
      failure = errno != 0 ? errno : EIO;
      break;
    }
  }
  if (failure == 0 && std::fflush(file) != 0) failure = errno != 0 ? errno : EIO;
  if (failure == 0 && ::fsync(fileno(file)) != 0) failure = errno != 0 ? errno : EIO;
  if (std::fclose(file) != 0 && failure == 0) failure = errno != 0 ? errno : EIO;
  if (failure != 0) {
    unlink_utf(temporary.c_str());
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failure, "Failed to write [%s]", temporary.c_str());
  }
  CQiError replaced = records::ReplaceWithTemporary(temporary, m_sConfigFile);
  if (replaced.IsError())
    return replaced.Push(FXCODELOC, "Failed to rename [%s] to [%s]", temporary.c_str(), m_sConfigFile.c_str());
  m_bUnsaved = false;
  return CQiError();
}

CQiError CAttachedVolumeList::SaveList(const std::list<VolumeClusterConfig>& volumes) {
  m_lVolumes = volumes;
  m_bUnsaved = true;
  return CQiError();
}

CQiError CAttachedVolumeList::GetVolumeList(std::list<VolumeClusterConfig>& volumes) {
  if (!FXFile::DoesFileExist(m_sConfigFile.c_str()))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 2, "Cluster volume config file does not exist");
  if (!m_bLocked) {
    CQiError loaded = LoadList();
    if (loaded.IsError()) return loaded.Push(FXCODELOC);
  }
  volumes = m_lVolumes;
  return CQiError();
}

CQiError CAttachedVolumeList::GetVolumeConfig(VolumeClusterConfig& volume) {
  if (!m_bLocked) {
    CQiError loaded = LoadList();
    if (loaded.IsError()) return loaded.Push(FXCODELOC);
  }
  for (const VolumeClusterConfig& held : m_lVolumes) {
    if (FXPath::IsSamePathAs(held.GetMountPoint(), volume.GetMountPoint())) {
      volume = held;
      return CQiError();
    }
  }
  return FXErrorUtil::ErrorErrNo(FXCODELOC, 2, "Failed get volume config for volume : [%s]",
                                 volume.GetMountPoint().c_str());
}

bool CAttachedVolumeList::IsVolumeAlreadyAddedInList(const VolumeClusterConfig& volume) {
  if (!m_bLocked && LoadList().IsError()) return false;
  for (const VolumeClusterConfig& held : m_lVolumes)
    if (held == volume) return true;
  return false;
}

CQiError CAttachedVolumeList::AddVolumeToAttachedList(const VolumeClusterConfig& volume) {
  if (m_bLocked) {
    Add(volume);
    return CQiError();
  }
  KzFileLock writing(true);
  if (int failed = writing.lock(m_sLockFile, KzFileLock::kWrite, -1))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failed, "Failed to lock [%s]", m_sLockFile.c_str());
  CQiError loaded = LoadList();
  if (loaded.IsError()) return loaded.Push(FXCODELOC);
  Add(volume);
  return SaveList();
}

void CAttachedVolumeList::Add(const VolumeClusterConfig& volume) {
  for (auto held = m_lVolumes.begin(); held != m_lVolumes.end(); ++held) {
    if (held->GetMountPoint() == volume.GetMountPoint()) {
      m_lVolumes.erase(held);
      break;
    }
  }
  m_lVolumes.push_back(volume);
  m_bUnsaved = true;
}
