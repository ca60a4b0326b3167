#include "tracking/runtime_full_marks.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fs/fx_file.h"
#include "platform/guid/guid_factory.h"
#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"
#include "platform/text/fx_string.h"
#include "records/durable_files.h"
#include "records/file_replacement.h"
#include "tracking/driver_cache.h"

namespace tracking {

namespace {

constexpr const char* kSection = "FileSystemAgent";
constexpr const char* kKey = "sBlockLevelRuntimeDir";

std::string PathOf(const std::string& folder, const std::string& name) {
  return FXPath::Append(folder, name + ".full");
}

}  // namespace

RuntimeFullMarks::RuntimeFullMarks() {
  std::string folder;
  const int read = KZPlatformInfo::readString(kSection, kKey, folder);
  if (read < 0) {
    EvDebug log;
    log.DebugLvl(__FUNCTION__, -1, "Failed to read [%s] %s from the registry, the runtime folder is not known",
                 kSection, kKey);
    return;
  }
  // A relative folder would be another one in each process's working
  // directory: it counts as not set, as an empty one does.
  m_sFolder = read == 0 || folder.empty() || folder.front() != '/' ? kDefaultFolder : folder;
}

std::string RuntimeFullMarks::NameOfDevice(const std::string& device) {
  return "device-" + CGuidFactory::get_guid_nosalt(device);
}

std::vector<std::string> RuntimeFullMarks::Folders() const {
  std::vector<std::string> folders;
  if (m_sFolder.empty()) return folders;
  folders.push_back(m_sFolder);
  if (!FXPath::IsSamePathAs(m_sFolder, kDefaultFolder)) folders.push_back(kDefaultFolder);
  return folders;
}

CQiError RuntimeFullMarks::Make(const std::set<std::string>& names, std::set<std::string>& made) const {
  if (m_sFolder.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EIO, "The runtime folder is not known: [%s] %s could not be read",
                                   kSection, kKey);
  CQiError err = records::CreateFolderDurably(m_sFolder, true);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to create the runtime folder [%s]", m_sFolder.c_str());
  CQiError failed;
  std::set<std::string> created;
  for (const std::string& name : names) {
    bool existed = false;
    CQiError creation = CheckDeviceIdForFileName(name);
    if (!creation.IsError()) creation = CreateHookFile(PathOf(m_sFolder, name), existed);
    if (creation.IsError() && !failed.IsError()) failed = creation;
    if (!creation.IsError()) created.insert(name);
  }
  // A mark whose name a power loss could take back, on a folder that is not
  // memory, marks nothing.
  err = records::SyncFolder(m_sFolder);
  if (!err.IsError()) made.insert(created.begin(), created.end());
  if (failed.IsError()) return failed.Push(FXCODELOC);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

std::set<std::string> RuntimeFullMarks::Find(const std::set<std::string>& names) const {
  EvDebug log;
  if (m_sFolder.empty()) {
    log.DebugLvl(__FUNCTION__, -1, "The runtime folder is not known, its full-backup marks are counted as there");
    return names;
  }
  std::set<std::string> found;
  for (const std::string& folder : Folders())
    for (const std::string& name : names) {
      const std::string path = PathOf(folder, name);
      if (::access(path.c_str(), F_OK) == 0) {
        found.insert(name);
      } else if (errno != ENOENT && errno != ENOTDIR) {
        const int failure = errno;
        log.DebugLvl(__FUNCTION__, -1, "Cannot look for the full-backup mark [%s], counted as there: %s", path.c_str(),
                     std::strerror(failure));
        found.insert(name);
      }
    }
  return found;
}

void RuntimeFullMarks::Remove(const std::set<std::string>& names) const {
  // Not synced: a mark that a power loss brings back only makes one more
  // full backup.
  for (const std::string& folder : Folders())
    for (const std::string& name : names) {
      CQiError err = FXFile::RemoveFile(PathOf(folder, name).c_str());
      if (err.IsError() && !FXErrorUtil::IsErrNo(err, ENOENT)) {
        EvDebug log;
        log.DebugLvl(__FUNCTION__, -1, "Failed to remove the full-backup mark, the next backup stays full, error=%s",
                     err.AsString().c_str());
      }
    }
}

}  // namespace tracking
