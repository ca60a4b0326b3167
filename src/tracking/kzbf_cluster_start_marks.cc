// Which listed volumes a cluster start marks dirty, and the marks it gives
// them before it changes anything, so that a start that fails or dies on the
// way leaves none of them to an incremental of this node's changes alone.
//
// The mark is the volume's driver hook. Where the hook cannot be made (the
// state directory out of room or inodes, a disk error), the marks that need
// no new file stand in: the volume's dirty flag set in place in the list,
// else this node's driver stops tracking the volume's device, which makes the
// next backup's bitmap step attach it afresh and go full. When none of these
// holds (the state directory read-only and the driver keeping the device),
// the last mark needs nothing of the state directory: a mark in the runtime
// folder, which the device's next bitmap step honours.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <list>
#include <map>
#include <set>

#include "platform/driver/kz_bf_driver.h"
#include "platform/log/ev_debug.h"
#include "tracking/attached_volume_list.h"
#include "tracking/block_level_bitmap_handler.h"
#include "tracking/driver_cache_folder.h"
#include "tracking/kzbf_cluster_handler.h"
#include "tracking/runtime_full_marks.h"

namespace cluster {

std::list<StartVolume> DecideVolumes(const std::list<VolumeClusterConfig>& listed, const std::string& listDirectory,
                                     bool softFailOver) {
  std::set<std::string> handled;
  std::list<StartVolume> volumes;
  for (const VolumeClusterConfig& volume : listed) {
    if (!handled.insert(volume.GetMountPoint()).second) continue;
    StartVolume start;
    start.volume = volume;
    LeftBehindBitmap(volume.GetMountPoint(), listDirectory, start.leftBehind, start.key);
    const bool leftBehind = ::access(start.leftBehind.c_str(), F_OK) == 0;
    start.dirty = !softFailOver || !leftBehind;
    start.staleLeftBehind = !softFailOver && leftBehind;
    volumes.push_back(start);
  }
  return volumes;
}

}  // namespace cluster

namespace {

constexpr const char* kFunction = cluster::kStartFunction;

// A volume to mark, by what is known of it: its volume key names its driver
// hook, its mount point its lines in the list, its devices are what this
// node's driver may track for it.
struct VolumeToMark {
  std::string key;         // empty when not known
  std::string mountPoint;  // empty when not from the list
  std::set<std::string> devices;

  std::string Name() const {
    if (!mountPoint.empty()) return mountPoint;
    if (!key.empty()) return key;
    return devices.empty() ? std::string() : *devices.begin();
  }
};

// Runs the body; an exception it throws is logged after the text and makes
// the result false. Nothing here may keep the start from going on.
template <class Body>
bool WithExceptionsLogged(const char* text, Body&& body) {
  EvDebug log;
  try {
    return body();
  } catch (const KzException& exception) {
    log.DebugLvl(kFunction, -1, "%s: %s", text, exception.getMessage());
  } catch (const std::exception& exception) {
    log.DebugLvl(kFunction, -1, "%s: %s", text, exception.what());
  }
  return false;
}

// The listed volumes a start marks dirty; false when the list cannot be
// read. Read under the list's read lock only: the hooks are made under the
// bitmap handler's semaphore, which a backup holds while it waits for the
// list's write lock.
bool ListedToMark(std::list<VolumeToMark>& volumes) {
  CAttachedVolumeList list(false);
  std::list<VolumeClusterConfig> listed;
  CQiError err = list.GetVolumeList(listed);
  if (FXErrorUtil::IsErrNo(err, 2)) return true;  // nothing listed, nothing to start
  if (err.IsError()) {
    EvDebug log;
    log.DebugLvl(kFunction, -1, "%s", err.AsString().c_str());
    return false;
  }
  const bool soft = ::access(cluster::MarkerPath(list.GetConfigDirName()).c_str(), F_OK) == 0;
  for (const cluster::StartVolume& start : cluster::DecideVolumes(listed, list.GetConfigDirName(), soft))
    if (start.dirty) volumes.push_back({start.key, start.volume.GetMountPoint(), {}});
  return true;
}

// Makes the driver hooks: of the volumes given when the list was read, else
// of every device this node has registered, each a volume to mark. The
// hooked volumes are taken out. False when neither the list nor the
// registrations could be read.
bool Hook(std::list<VolumeToMark>& volumes, bool listed) {
  EvDebug log;
  constexpr const char* kFailed = "Failed to make the driver hooks of the volumes to start";
  bool registrationsRead = listed;
  WithExceptionsLogged(kFailed, [&] {
    std::string folder;
    KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(folder);
    CBlockLevelBitmapHandler handler;
    std::set<std::string> hooked;
    CQiError err = handler.Initialize(folder);
    if (!err.IsError() && listed) {
      std::set<std::string> keys;
      for (const VolumeToMark& volume : volumes) keys.insert(volume.key);
      err = handler.HookDevicesForFullBackup(keys, hooked);
    } else if (!err.IsError()) {
      std::list<VolumeConfig> registered;
      err = handler.HookRegisteredDevicesForFullBackup(registered, hooked);
      registrationsRead = !err.IsError() || !registered.empty();
      std::map<std::string, VolumeToMark> byId;
      for (const VolumeConfig& record : registered) {
        VolumeToMark& volume = byId[record.DeviceId()];
        volume.key = record.DeviceId();
        volume.devices.insert(record.Device());
      }
      for (auto& [id, volume] : byId) volumes.push_back(volume);
    }
    if (err.IsError()) log.DebugLvl(kFunction, -1, "%s, error=%s", kFailed, err.AsString().c_str());
    volumes.remove_if([&](const VolumeToMark& volume) { return hooked.count(volume.key) != 0; });
    return !err.IsError();
  });
  return registrationsRead;
}

// The dirty flags of the listed volumes set in place; the marked volumes are
// taken out.
void SetDirtyInPlace(std::list<VolumeToMark>& volumes) {
  std::set<std::string> mountPoints, marked;
  for (const VolumeToMark& volume : volumes) mountPoints.insert(volume.mountPoint);
  constexpr const char* kFailed = "Failed to mark the volumes to start dirty in place";
  WithExceptionsLogged(kFailed, [&] {
    CAttachedVolumeList list(false);
    CQiError err = list.SetDirtyInPlace(mountPoints, marked);
    if (err.IsError()) {
      EvDebug log;
      log.DebugLvl(kFunction, -1, "%s, error=%s", kFailed, err.AsString().c_str());
    }
    return !err.IsError();
  });
  volumes.remove_if([&](const VolumeToMark& volume) { return marked.count(volume.mountPoint) != 0; });
}

// The device's next backup attaches it afresh and goes full once this
// node's driver no longer tracks it. One with snapshots is left tracked: a
// backup may be reading them.
bool StopTracking(KzBfDriver& driver, const std::string& device) {
  EvDebug log;
  bool attached = false;
  int64_t size = 0;
  int extentSize = 0, extentCount = 0;
  std::list<std::string> snapshots;
  CQiError err = driver.queryDevice(device, &attached, &size, &extentSize, &extentCount, &snapshots);
  if (!err.IsError() && !attached) return true;
  if (!err.IsError() && !snapshots.empty())
    err = FXErrorUtil::ErrorErrNo(FXCODELOC, EBUSY, "Device [%s] has snapshots", device.c_str());
  if (!err.IsError()) err = driver.detachDevice(device);
  if (err.IsError()) {
    log.DebugLvl(kFunction, -1, "Failed to stop tracking device [%s], error=[%s]", device.c_str(),
                 err.AsString().c_str());
    return false;
  }
  log.DebugLvl(kFunction, 0, "Device [%s] no longer tracked, its next backup will be full", device.c_str());
  return true;
}

// This node's driver stops tracking the volumes' devices; the volumes whose
// devices it no longer tracks are taken out. A driver that is not loaded
// tracks none.
void StopTracking(std::list<VolumeToMark>& volumes) {
  WithExceptionsLogged("Failed to stop tracking the volumes to start", [&] {
    KzBfDriver driver;
    if (driver.open().IsError()) {
      EvDebug log;
      log.DebugLvl(kFunction, 0, "KZBF driver not loaded, it tracks none of the volumes to start");
      volumes.clear();
      return true;
    }
    volumes.remove_if([&](const VolumeToMark& volume) {
      bool untracked = !volume.devices.empty();
      for (const std::string& device : volume.devices) untracked = StopTracking(driver, device) && untracked;
      return untracked;
    });
    return true;
  });
}

// The marks a volume's next bitmap step looks for: by its volume key, and by
// each of its devices.
std::set<std::string> RuntimeMarkNames(const VolumeToMark& volume) {
  std::set<std::string> names;
  if (!volume.key.empty()) names.insert(volume.key);
  for (const std::string& device : volume.devices) names.insert(tracking::RuntimeFullMarks::NameOfDevice(device));
  return names;
}

// The last mark, in the runtime folder (named in folder); the volumes whose
// every mark is there are taken out and named in marked.
void MarkInRuntimeFolder(std::list<VolumeToMark>& volumes, std::list<std::string>& marked, std::string& folder) {
  constexpr const char* kFailed = "Failed to mark the volumes to start in the runtime folder";
  WithExceptionsLogged(kFailed, [&] {
    const tracking::RuntimeFullMarks marks;
    folder = marks.Folder();
    std::set<std::string> names, made;
    for (const VolumeToMark& volume : volumes) names.merge(RuntimeMarkNames(volume));
    CQiError err = marks.Make(names, made);
    if (err.IsError()) {
      EvDebug log;
      log.DebugLvl(kFunction, -1, "%s [%s], error=%s", kFailed, folder.c_str(), err.AsString().c_str());
    }
    volumes.remove_if([&](const VolumeToMark& volume) {
      const std::set<std::string> own = RuntimeMarkNames(volume);
      if (own.empty()) return false;
      for (const std::string& name : own)
        if (made.count(name) == 0) return false;
      marked.push_back(volume.Name());
      return true;
    });
    return !err.IsError();
  });
}

// Every device the mount table names by its path: what this node's driver
// may track for a volume that neither the list nor the registrations name.
CQiError MountedDevices(std::list<VolumeToMark>& volumes) {
  std::list<KzMntTab::Entry> mounts;
  CQiError err = KzMntTab::getAll(mounts);
  if (err.IsError()) return err.Push(FXCODELOC);
  std::set<std::string> devices;
  for (const KzMntTab::Entry& mount : mounts)
    if (!mount.m_sDevice.empty() && mount.m_sDevice.front() == '/' && devices.insert(mount.m_sDevice).second)
      volumes.push_back({"", "", {mount.m_sDevice}});
  return err;
}

std::string Names(const std::list<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : ", ") + name;
  return joined;
}

}  // namespace

void KzBfClusterHandler::HookVolumesToMark() {
  EvDebug log;
  std::list<VolumeToMark> volumes;
  const bool listed = WithExceptionsLogged("Cluster volume config not readable", [&] { return ListedToMark(volumes); });
  if (listed && volumes.empty()) return;
  // What the list would name is among the registrations, and what they
  // would name among the devices this node's driver tracks.
  if (!listed)
    log.DebugLvl(kFunction, -1, "Cluster volume config not readable, every registered device will be backed up full");
  if (!Hook(volumes, listed)) {
    log.DebugLvl(kFunction, -1,
                 "Registered devices not readable, every mounted device the driver tracks will be backed up full");
    CQiError err = MountedDevices(volumes);
    if (err.IsError()) {
      log.DebugLvl(kFunction, -1, "%s", err.AsString().c_str());
      m_lUnmarked.push_back("the volumes this node's driver tracks");
    }
  }
  if (volumes.empty()) return;

  if (listed) {
    SetDirtyInPlace(volumes);
    CQiError err = volumes.empty() ? CQiError() : LoadMounts();
    for (VolumeToMark& volume : volumes) {
      std::string device;
      if (!err.IsError() && !GetDevice(volume.mountPoint, device).IsError()) volume.devices.insert(device);
    }
    if (err.IsError()) log.DebugLvl(kFunction, -1, "%s", err.AsString().c_str());
  }
  if (!volumes.empty()) StopTracking(volumes);
  if (!volumes.empty()) MarkInRuntimeFolder(volumes, m_lRuntimeMarked, m_sRuntimeFolder);
  if (!m_lRuntimeMarked.empty())
    log.DebugLvl(kFunction, -1, "Only the runtime folder [%s] marks [%s] for a full backup", m_sRuntimeFolder.c_str(),
                 Names(m_lRuntimeMarked).c_str());
  for (const VolumeToMark& volume : volumes) m_lUnmarked.push_back(volume.Name());
  if (!m_lUnmarked.empty())
    log.DebugLvl(kFunction, -1, "Nothing could mark [%s] for a full backup, the start's own marks are the last",
                 Names(m_lUnmarked).c_str());
}

CQiError KzBfClusterHandler::FailedStart(CQiError failure) const {
  if (m_bMarksSaved || (m_lUnmarked.empty() && m_lRuntimeMarked.empty())) return failure;
  // The agent tells this start from one whose marks the state directory
  // holds by the code; the cause is quoted.
  if (!m_lUnmarked.empty())
    return FXErrorUtil::ErrorWin32(
        FXCODELOC, kUnsavedMarksCode, "Nothing marks [%s] for a full backup: the next backup of each must be full: %s",
        Names(m_lUnmarked).c_str(), failure.AsString().c_str());
  return FXErrorUtil::ErrorWin32(FXCODELOC, kUnsavedMarksCode,
                                 "Only marks in the runtime folder [%s] make the next backup of [%s] full: %s",
                                 m_sRuntimeFolder.c_str(), Names(m_lRuntimeMarked).c_str(), failure.AsString().c_str());
}
