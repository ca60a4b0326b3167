// What a scan leaves for the next one when it cannot finish a volume, and
// what it clears before it starts.
//
// A volume whose collect file fails is left out of the scan's lists and the
// backup goes on with the others; but the changes the snapshot took from the
// change-tracking layer for it are then in no collect file, and the layer
// will not report them again. A mark beside the job's files,
// "<component id>.FullAfterCollectFailure" (collect_failure_mark_file.h),
// makes every later scan of the volume list it whole. Each job whose scan
// then listed the volume whole adds its own job id ("-j"). Listing is not
// backing up: that job may still fail, and its re-run or the next job (its
// "-lsjid" the last job that completed) would miss what the failed jobs took
// from the layer. The mark goes only once "-lsjid" names one of the jobs it
// holds: that job backed the volume up whole.
//
// Anything at the mark's path that the reader refuses keeps the volume
// whole too; the scan that lists it whole writes a mark in its place, so
// that the same rule ends it.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "devconfig/job_bitmap_marks.h"
#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "records/file_replacement.h"
#include "scan/collect_file_manager.h"

namespace {

constexpr const char* kFullBackupMarkSuffix = ".FullAfterCollectFailure";

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

CollectFileManager::MarkVerdict CollectFileManager::JudgeFullBackupMark(const std::string& volume) {
  const std::string path = FullBackupMarkPath(volume);
  if (path.empty()) return MarkVerdict::kNone;
  OwedMark owed;
  owed.path = path;
  switch (scan::ReadCollectFailureMark(path, owed.mark)) {
    case scan::MarkFound::kNone:
      return MarkVerdict::kNone;
    case scan::MarkFound::kRefused:
      owed.refused = true;
      break;
    case scan::MarkFound::kMark: {
      const std::string lastKey = devconfig::LastCompletedJobKeyOf(m_oJobInfo);
      if (!lastKey.empty() && owed.mark.Holds(lastKey)) return MarkVerdict::kListingCompleted;
      break;
    }
  }
  m_mOwedMarks[volume] = owed;
  return MarkVerdict::kOwed;
}

void CollectFileManager::DropFullBackupMark(const std::string& volume) {
  const std::string path = FullBackupMarkPath(volume);
  EvDebug log;
  // One left behind only makes another full backup of the volume.
  if (unlink_utf(path.c_str()) != 0) {
    log.Error(__FUNCTION__, "Failed to remove [%s], error=%s", path.c_str(), std::strerror(errno));
    return;
  }
  log.DebugLvl(__FUNCTION__, 1, "Job [%s] backed up volume [%s] whole, removed [%s]",
               devconfig::LastCompletedJobKeyOf(m_oJobInfo).c_str(), volume.c_str(), path.c_str());
}

CQiError CollectFileManager::MarkForFullBackup(const std::string& volume) {
  const std::string path = FullBackupMarkPath(volume);
  if (path.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "No component id for volume [%s]", volume.c_str());
  scan::CollectFailureMark mark;
  mark.volume = volume;
  CQiError err = scan::WriteCollectFailureMark(path, mark);
  if (err.IsError())
    return err.Push(FXCODELOC, "Failed to mark volume [%s] for a full backup in [%s]", volume.c_str(), path.c_str());
  return err;
}

void CollectFileManager::RecordWholeListings() {
  EvDebug log;
  const std::string key = devconfig::JobKeyOf(m_oJobInfo);
  for (auto& [volume, owed] : m_mOwedMarks) {
    if (m_mCollectMap.count(volume) == 0) continue;
    // A refused mark gives way to one that names this listing alone.
    if (owed.refused) owed.mark = scan::CollectFailureMark{volume, {}};
    if (!owed.mark.Add(key)) continue;
    CQiError err = scan::WriteCollectFailureMark(owed.path, owed.mark);
    // Unrecorded, the listing only leaves the volume whole once more.
    if (err.IsError())
      log.Error(__FUNCTION__, "Failed to record in [%s] that job [%s] lists volume [%s] whole: %s", owed.path.c_str(),
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
