// Cluster start: the node that takes the volumes over tracks them from now
// on and decides which of them the previous node's records still cover.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>

#include "platform/config/kz_client.h"
#include "platform/driver/kz_bf_driver.h"
#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/process/kz_process.h"
#include "platform/process/shell_quote.h"
#include "records/file_replacement.h"
#include "tracking/attached_volume_list.h"
#include "tracking/block_level_bitmap_handler.h"
#include "tracking/driver_cache_folder.h"
#include "tracking/kzbf_cluster_handler.h"

namespace {

constexpr const char* kFunction = cluster::kStartFunction;

int LastErrno() {
  return errno != 0 ? errno : -1;
}

CQiError LoadDriver() {
  EvDebug log;
  log.DebugLvl(kFunction, 0, "KZBF driver does not seem to be loaded, trying to load it...");
  std::optional<std::string> home = KZPI_Base::getHomeDirectory();
  if (!home) return FXErrorUtil::ErrorErrNo(FXCODELOC, 2, "Failed to get base directory from registry");
  std::string output, error;
  errno = 0;
  if (KzProcess::system(platform::ShellQuote(*home + "/unix_drv.sh") + " -a kzbf", &output, &error, 0, false) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, LastErrno(), "Failed to load KZBF driver: %s", error.c_str());
  return CQiError();
}

// The records the marker carries, every non-empty line in file order; the
// marker is deleted once they are read, before any volume is attached.
CQiError TakeMarkerRecords(const std::string& marker, std::list<VolumeConfig>& records) {
  EvDebug log;
  std::ifstream file(marker);
  if (!file.is_open()) {
    const int failure = LastErrno();
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failure, "Failed to open file %s err: %s", marker.c_str(),
                                   std::strerror(failure));
  }
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty()) continue;
    records.emplace_back(line);
    log.Debug(kFunction, "Read volume config [%s]", records.back().Serialize().c_str());
  }
  // A marker read only in part would lose the rest once deleted.
  if (file.bad()) {
    const int failure = LastErrno();
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failure, "Failed to read file %s err: %s", marker.c_str(),
                                   std::strerror(failure));
  }
  file.close();
  log.DebugLvl(kFunction, 0, "Deleting soft failover hook file[%s]", marker.c_str());
  if (unlink_utf(marker.c_str()) < 0) {
    const int failure = LastErrno();
    log.Error(kFunction, "failed to unlink %s error: %s", marker.c_str(), std::strerror(failure));
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failure, "Failed to unlink %s", marker.c_str());
  }
  // A marker that a power loss brings back makes the next start soft again:
  // it would clear the driver once more and mark nothing.
  CQiError err = records::SyncFolderOf(marker);
  if (err.IsError())
    return err.Push(FXCODELOC, "The removal of %s is not on disk, no volume is started", marker.c_str());
  return err;
}

// The previous node's records of a dirty volume are incomplete: its next
// backup is full.
void MarkDirty(VolumeClusterConfig& volume, const std::string& leftBehind, bool soft) {
  EvDebug log;
  if (!soft)
    log.DebugLvl(kFunction, 0, "Hard failover detected, mountpoint[%s] will be marked dirty",
                 volume.GetMountPoint().c_str());
  else
    log.DebugLvl(kFunction, 0, "Bitmap file=[%s] not found for mount point=[%s], marking it diry", leftBehind.c_str(),
                 volume.GetMountPoint().c_str());
  volume.SetDirty();
}

// Failing to remove a stale bitmap ends the start.
CQiError RemoveStaleBitmap(const VolumeClusterConfig& volume, const std::string& file) {
  EvDebug log;
  log.Debug(kFunction, "Removing stale bitmap file=[%s] for mount point=[%s]", file.c_str(),
            volume.GetMountPoint().c_str());
  if (unlink_utf(file.c_str()) < 0) {
    const int failure = LastErrno();
    log.Error(kFunction, "failed to unlink %s error: %s", file.c_str(), std::strerror(failure));
    return FXErrorUtil::ErrorErrNo(FXCODELOC, failure, "Failed to unlink %s", file.c_str());
  }
  return CQiError();
}

// The stale bitmaps go, for good, before the driver is touched: one that a
// power loss brings back would be trusted by a later soft start. One that
// cannot go ends the start at its volume, the volumes before it are started
// all the same: the first volume not to start is returned, the failure set.
std::list<cluster::StartVolume>::const_iterator RemoveStaleBitmaps(const std::list<cluster::StartVolume>& volumes,
                                                                   const std::string& folder, CQiError& failure) {
  auto unstarted = volumes.cbegin();
  bool removed = false;
  for (; unstarted != volumes.cend(); ++unstarted) {
    if (!unstarted->staleLeftBehind) continue;
    failure = RemoveStaleBitmap(unstarted->volume, unstarted->leftBehind);
    if (failure.IsError()) break;
    removed = true;
  }
  if (!removed) return unstarted;
  CQiError synced = records::SyncFolder(folder);
  if (!synced.IsError()) return unstarted;
  failure = synced.Push(FXCODELOC, "The removal of the stale bitmaps is not on disk, no volume is started");
  return volumes.cbegin();
}

// Tracking starts afresh: the driver records only writes made on this node.
void AttachAndClear(KzBfDriver& driver, const std::string& device, const VolumeClusterConfig& volume) {
  EvDebug log;
  CQiError err = driver.attachDevice(device, volume.GetExtentSize());
  if (err.IsError() && !FXErrorUtil::IsErrNo(err, 114)) {
    log.DebugLvl(kFunction, -1, "Failed to attach device [%s], error=[%s]", device.c_str(), err.AsString().c_str());
    return;
  }
  err = driver.clearBitmap(device);
  if (err.IsError()) {
    log.DebugLvl(kFunction, -1, "Failed to clear bitmap on device [%s], error=[%s]", device.c_str(),
                 err.AsString().c_str());
    return;
  }
  log.DebugLvl(kFunction, 0, "Device[%s], MountPoint[%s] successfully attached", device.c_str(),
               volume.GetMountPoint().c_str());
}

}  // namespace

CQiError KzBfClusterHandler::Start() {
  EvDebug log;
  std::optional<CAttachedVolumeList> list;
  list.emplace(true);
  log.DebugLvl(kFunction, 0, "Reading cluster volume config file=[%s]", list->GetConfigFileName().c_str());
  std::list<VolumeClusterConfig> volumes;
  CQiError err = list->GetVolumeList(volumes);
  if (FXErrorUtil::IsErrNo(err, 2)) {
    log.DebugLvl(kFunction, 0,
                 "Block level cluster config file [%s] not present, not considering block level [KZBF] failiover",
                 list->GetConfigFileName().c_str());
    return CQiError();
  }
  if (err.IsError()) return err;

  KzBfDriver driver;
  if (driver.open().IsError() && !volumes.empty()) {
    err = LoadDriver();
    if (err.IsError()) return err;
  }

  const std::string marker = cluster::MarkerPath(list->GetConfigDirName());
  std::list<VolumeConfig> carried;
  std::optional<CBlockLevelBitmapHandler> handler;
  const bool soft = ::access(marker.c_str(), F_OK) == 0;
  if (soft) {
    std::string driverCacheFolder;
    KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(driverCacheFolder);
    handler.emplace();
    err = handler->Initialize(driverCacheFolder);
    if (err.IsError()) return err.Push(FXCODELOC);
    err = TakeMarkerRecords(marker, carried);
    if (err.IsError()) return err;
  }

  // Every dirty mark is on disk before a stale bitmap goes or a driver
  // bitmap is cleared. A start that fails or dies before then leaves the
  // driver tracking the volumes with this node's changes only: the marks
  // made ahead of the start (HookVolumesToMark) make their next backup full;
  // after then the list's marks do as well.
  std::list<cluster::StartVolume> toStart = cluster::DecideVolumes(volumes, list->GetConfigDirName(), soft);
  std::list<VolumeClusterConfig> rewritten;
  bool anyDirty = false;
  for (cluster::StartVolume& start : toStart) {
    if (start.dirty) {
      MarkDirty(start.volume, start.leftBehind, soft);
      anyDirty = true;
    }
    rewritten.push_back(start.volume);
  }
  if (anyDirty) {
    list->SaveList(rewritten);
    err = list->SaveList();
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  m_bMarksSaved = true;

  CQiError failure;
  const auto unstarted = RemoveStaleBitmaps(toStart, list->GetConfigDirName(), failure);
  std::map<std::string, std::string> deviceOfKey;
  for (auto start = toStart.cbegin(); start != unstarted; ++start) {
    std::string device;
    err = GetDevice(start->volume.GetMountPoint(), device);
    if (err.IsError()) {
      log.DebugLvl(kFunction, -1, "%s, continue with next", err.AsString().c_str());
      continue;
    }
    deviceOfKey[start->key] = device;
    AttachAndClear(driver, device, start->volume);
  }
  if (failure.IsError()) return failure;
  // Unlocked before the semaphore is taken: a backup that holds the
  // semaphore while its fail-over merge waits for the list then finishes,
  // and this start goes on after it.
  list.reset();

  if (!carried.empty()) {
    err = handler->HandleClusterStartForUNIX(carried, deviceOfKey);
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  log.DebugLvl(kFunction, 0, "All volumes started successfully...");
  return CQiError();
}
