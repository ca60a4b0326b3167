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

RuntimeFullMarks::RuntimeFullMarks() {
  // A relative folder would be another one in each process's working
  // directory: it counts as not set, as an empty one does.
  if (KZPlatformInfo::getString("FileSystemAgent", "sBlockLevelRuntimeDir", m_sFolder) == 0 || m_sFolder.empty() ||
      m_sFolder.front() != '/')
    m_sFolder = kDefaultFolder;
}

std::string RuntimeFullMarks::NameOfDevice(const std::string& device) {
  return "device-" + CGuidFactory::get_guid_nosalt(device);
}

std::string RuntimeFullMarks::PathOf(const std::string& name) const {
  return FXPath::Append(m_sFolder, name + ".full");
}

CQiError RuntimeFullMarks::Make(const std::set<std::string>& names, std::set<std::string>& made) const {
  CQiError err = records::CreateFolderDurably(m_sFolder, true);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to create the runtime folder [%s]", m_sFolder.c_str());
  CQiError failed;
  std::set<std::string> created;
  for (const std::string& name : names) {
    bool existed = false;
    CQiError creation = CheckDeviceIdForFileName(name);
    if (!creation.IsError()) creation = CreateHookFile(PathOf(name), existed);
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
  std::set<std::string> found;
  for (const std::string& name : names) {
    const std::string path = PathOf(name);
    if (::access(path.c_str(), F_OK) == 0) {
      found.insert(name);
    } else if (errno != ENOENT && errno != ENOTDIR) {
      const int failure = errno;
      EvDebug log;
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
  for (const std::string& name : names) {
    CQiError err = FXFile::RemoveFile(PathOf(name).c_str());
    if (err.IsError()) {
      EvDebug log;
      log.DebugLvl(__FUNCTION__, -1, "Failed to remove the full-backup mark, the next backup stays full, error=%s",
                   err.AsString().c_str());
    }
  }
}

}  // namespace tracking
