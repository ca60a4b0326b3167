// What a scan leaves for the next one when it cannot finish a volume, and
// what it clears before it starts.
//
// A volume whose collect file fails is left out of the scan's lists and the
// backup goes on with the others; but the changes the snapshot took from the
// change-tracking layer for it are then in no collect file, and the layer
// will not report them again. A mark beside the job's files,
// "<component id>.FullAfterCollectFailure" (holding the volume's path),
// makes the volume's next scan list the whole volume; it goes once a scan
// has listed the volume again.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/memory/auto_handle.h"
#include "scan/checked_file_writer.h"
#include "scan/collect_file_manager.h"

namespace {

constexpr const char* kFullBackupMarkSuffix = ".FullAfterCollectFailure";

// A removal in the folder outlives a crash of the machine too. A folder
// that cannot be synced has the files removed all the same.
void SyncFolder(const std::string& folder) {
  auto_handle handle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (handle.get() >= 0 && ::fsync(handle.get()) == 0) return;
  EvDebug log;
  log.DebugLvl(__FUNCTION__, -1, "Failed to sync folder [%s], error=%s", folder.c_str(), std::strerror(errno));
}

}  // namespace

std::string CollectFileManager::FullBackupMarkPath(const std::string& volume) {
  BackupDeviceInfo device;
  if (LookUpDevice(volume, device).IsError()) return std::string();
  const auto found = m_mComponentIds.find(device.GetSourceVolName());
  if (found == m_mComponentIds.end() || found->second.empty()) return std::string();
  return m_oJobInfo.GetJobResultsDir() + "/" + found->second + kFullBackupMarkSuffix;
}

bool CollectFileManager::IsMarkedForFullBackup(const std::string& volume) {
  const std::string mark = FullBackupMarkPath(volume);
  return !mark.empty() && ::access(mark.c_str(), F_OK) == 0;
}

CQiError CollectFileManager::MarkForFullBackup(const std::string& volume) {
  const std::string mark = FullBackupMarkPath(volume);
  if (mark.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "No component id for volume [%s]", volume.c_str());
  scan::ReplacingFileWriter file(mark);
  CQiError err = file.Open();
  if (!err.IsError()) {
    file.Append(volume + "\n");
    err = file.Commit();
  }
  if (err.IsError())
    return err.Push(FXCODELOC, "Failed to mark volume [%s] for a full backup in [%s]", volume.c_str(), mark.c_str());
  return err;
}

void CollectFileManager::ClearFullBackupMarks() {
  EvDebug log;
  for (const auto& [volume, files] : m_mCollectMap) {
    const std::string mark = FullBackupMarkPath(volume);
    if (mark.empty() || ::access(mark.c_str(), F_OK) != 0) continue;
    // One left behind only makes another full backup of the volume.
    if (unlink_utf(mark.c_str()) != 0)
      log.Error(__FUNCTION__, "Failed to remove [%s], error=%s", mark.c_str(), std::strerror(errno));
    else
      log.DebugLvl(__FUNCTION__, 1, "Volume [%s] is listed again, removed [%s]", volume.c_str(), mark.c_str());
  }
}

CQiError CollectFileManager::RemoveCollectLists() {
  const std::string& directory = m_oJobInfo.GetJobResultsDir();
  bool removed = false;
  for (const char* name : {kListOfCollectFile, kSrcSnapFile}) {
    const std::string path = directory + "/" + name;
    if (unlink_utf(path.c_str()) == 0) {
      removed = true;
    } else if (errno != ENOENT) {
      return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to remove [%s]", path.c_str());
    }
  }
  if (removed) SyncFolder(directory);
  return CQiError();
}
