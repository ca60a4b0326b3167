// What a scan leaves for the next one when it cannot finish a volume, and
// what it clears before it starts.
//
// A volume whose collect file fails is left out of the scan's lists and the
// backup goes on with the others; but the changes the snapshot took from the
// change-tracking layer for it are then in no collect file, and the layer
// will not report them again. A mark beside the job's files,
// "<component id>.FullAfterCollectFailure", makes every later scan of the
// volume list it whole. Its first line is the volume's path; each job whose
// scan then listed the volume whole adds its job key on a line of its own.
// Listing is not backing up: that job may still fail, and its re-run or the
// next job (its "-lsjid" the last job that completed) would miss what the
// failed jobs took from the layer. The mark goes only once "-lsjid" names
// one of the jobs it holds: that job backed the volume up whole.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "devconfig/job_bitmap_marks.h"
#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/memory/auto_handle.h"
#include "records/file_replacement.h"
#include "scan/checked_file_writer.h"
#include "scan/collect_file_manager.h"

namespace {

constexpr const char* kFullBackupMarkSuffix = ".FullAfterCollectFailure";
// The jobs a mark remembers, the latest ones: an older one named by
// "-lsjid" only leaves the volume whole once more.
constexpr size_t kListingsKept = 32;
constexpr size_t kLongestMarkLine = 4096;

// The mark's lines: the volume's and at most the listings kept; false when
// it cannot be read whole or holds more (it then names no listing).
bool ReadMark(const std::string& mark, std::vector<std::string>& lines) {
  lines.clear();
  std::ifstream file(mark);
  std::string line;
  while (file.is_open() && std::getline(file, line)) {
    if (line.size() > kLongestMarkLine || lines.size() > kListingsKept) return false;  // not ours
    lines.push_back(line);
  }
  return file.is_open() && !file.bad() && !lines.empty();
}

// A removal in the folder outlives a crash of the machine too. A folder
// that cannot be synced has the files removed all the same.
void SyncFolder(const std::string& folder) {
  CQiError err = records::SyncFolder(folder);
  if (!err.IsError()) return;
  EvDebug log;
  log.DebugLvl(__FUNCTION__, -1, "Failed to sync folder [%s], error=%s", folder.c_str(), err.GetMessage().c_str());
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
  if (mark.empty() || ::access(mark.c_str(), F_OK) != 0) return false;
  EvDebug log;
  std::vector<std::string> lines;
  const std::string lastKey = devconfig::LastCompletedJobKeyOf(m_oJobInfo);
  if (lastKey.empty() || !ReadMark(mark, lines) || std::find(lines.begin() + 1, lines.end(), lastKey) == lines.end())
    return true;
  // One left behind only makes another full backup of the volume.
  if (unlink_utf(mark.c_str()) != 0) {
    log.Error(__FUNCTION__, "Failed to remove [%s], error=%s", mark.c_str(), std::strerror(errno));
    return true;
  }
  log.DebugLvl(__FUNCTION__, 1, "Job [%s] backed up volume [%s] whole, removed [%s]", lastKey.c_str(), volume.c_str(),
               mark.c_str());
  return false;
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

void CollectFileManager::RecordWholeListings() {
  EvDebug log;
  const std::string key = devconfig::JobKeyOf(m_oJobInfo);
  for (const std::string& volume : m_vListedForMark) {
    if (m_mCollectMap.count(volume) == 0) continue;
    const std::string mark = FullBackupMarkPath(volume);
    std::vector<std::string> lines;
    if (mark.empty() || !ReadMark(mark, lines)) continue;
    if (std::find(lines.begin() + 1, lines.end(), key) != lines.end()) continue;
    lines.push_back(key);
    if (lines.size() > kListingsKept + 1) lines.erase(lines.begin() + 1);
    scan::ReplacingFileWriter file(mark);
    CQiError err = file.Open();
    for (const std::string& line : lines)
      if (!err.IsError()) file.Append(line + "\n");
    if (!err.IsError()) err = file.Commit();
    // Unrecorded, the listing only leaves the volume whole once more.
    if (err.IsError())
      log.Error(__FUNCTION__, "Failed to record in [%s] that job [%s] lists volume [%s] whole: %s", mark.c_str(),
                key.c_str(), volume.c_str(), err.AsString().c_str());
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
