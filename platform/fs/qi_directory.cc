#include "platform/fs/qi_directory.h"

#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"

namespace {

bool IsFolder(const std::string& directory, const struct dirent* entry) {
  if (entry->d_type == DT_DIR) return true;
  if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) return false;
  struct stat info;
  return ::stat((directory + "/" + entry->d_name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

CQiDirectory::~CQiDirectory() { Close(); }

CQiError CQiDirectory::Create(const char* path, bool recursive) {
  CQiError fault = platform::InjectedFault("CQiDirectory::Create", FXCODELOC);
  if (fault.IsError()) return fault;
  if (path == nullptr || *path == '\0') return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Empty folder name");
  struct stat info;
  if (::stat(path, &info) == 0) {
    if (S_ISDIR(info.st_mode)) return CQiError();
    return FXErrorUtil::ErrorErrNo(FXCODELOC, ENOTDIR, "%s exists and is no folder", path);
  }
  if (recursive ? !platform::MakeDirectories(path) : (::mkdir(path, 0755) != 0 && errno != EEXIST))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to create folder %s", path);
  return CQiError();
}

CQiError CQiDirectory::Open(const char* path, const char* pattern, bool includeFolders) {
  Close();
  CQiError fault = platform::InjectedFault("CQiDirectory::Open", FXCODELOC);
  if (fault.IsError()) return fault;
  if (path == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "No folder given");
  m_pDir = ::opendir(path);
  if (m_pDir == nullptr) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to list %s", path);
  m_sPath = path;
  m_sPattern = (pattern != nullptr && *pattern != '\0') ? pattern : "*";
  m_bIncludeFolders = includeFolders;
  return CQiError();
}

CQiError CQiDirectory::GetEntry(SQiDirEntry& entry, bool& end) {
  end = false;
  CQiError fault = platform::InjectedFault("CQiDirectory::GetEntry", FXCODELOC);
  if (fault.IsError()) return fault;
  if (m_pDir == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, EBADF, "No listing open");
  if (!m_bRead) {
    CQiError read = ReadEntries();
    if (read.IsError()) return read;
  }
  if (m_nNext >= m_vEntries.size()) {
    end = true;
    return CQiError();
  }
  entry.m_sName = CQiString(m_vEntries[m_nNext].first);
  entry.m_bIsDirectory = m_vEntries[m_nNext].second;
  ++m_nNext;
  return CQiError();
}

CQiError CQiDirectory::ReadEntries() {
  m_vEntries.clear();
  m_nNext = 0;
  for (;;) {
    errno = 0;
    struct dirent* found = ::readdir(m_pDir);
    if (found == nullptr) {
      if (errno != 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to read %s", m_sPath.c_str());
      break;
    }
    const std::string name = found->d_name;
    if (name == "." || name == "..") continue;
    if (::fnmatch(m_sPattern.c_str(), name.c_str(), 0) != 0) continue;
    const bool folder = IsFolder(m_sPath, found);
    if (folder && !m_bIncludeFolders) continue;
    m_vEntries.emplace_back(name, folder);
  }
  std::sort(m_vEntries.begin(), m_vEntries.end());
  m_bRead = true;
  return CQiError();
}

void CQiDirectory::Close() {
  if (m_pDir != nullptr) ::closedir(m_pDir);
  m_pDir = nullptr;
  m_bRead = false;
  m_vEntries.clear();
  m_nNext = 0;
}

CQiError CQiDirectory::Walk(const char* path, void* context, int, bool, WalkCallback callback) {
  CQiError fault = platform::InjectedFault("CQiDirectory::Walk", FXCODELOC);
  if (fault.IsError()) return fault;
  if (path == nullptr || callback == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Invalid walk");
  DIR* dir = ::opendir(path);
  if (dir == nullptr) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to list %s", path);
  std::vector<std::pair<std::string, bool>> entries;
  while (struct dirent* found = ::readdir(dir)) {
    const std::string name = found->d_name;
    if (name == "." || name == "..") continue;
    entries.emplace_back(name, IsFolder(path, found));
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end());
  for (const auto& [name, folder] : entries) {
    CQiError error = callback(context, path, name.c_str(), folder);
    if (error.IsError()) return error;
  }
  return CQiError();
}

CQiError CQiDirectory::GetSpaceUsage(const char* path, uint64_t& totalBytes, uint64_t& freeBytes) {
  CQiError fault = platform::InjectedFault("CQiDirectory::GetSpaceUsage", FXCODELOC);
  if (fault.IsError()) return fault;
  struct statvfs info;
  if (path == nullptr || ::statvfs(path, &info) != 0)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "statvfs of %s failed", path ? path : "");
  totalBytes = static_cast<uint64_t>(info.f_blocks) * info.f_frsize;
  freeBytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  return CQiError();
}
