#include "job_volumes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <set>

#include "device_mounts.h"
#include "freeze_holder.h"
#include "held_snapshots.h"
#include "platform/harness/kzbf_harness.h"
#include "platform/memory/auto_handle.h"
#include "platform/mnttab/kz_mnt_tab.h"
#include "platform/settings/settings.h"
#include "verbs/error_report.h"

namespace blbjob {
namespace {

// The job's mount points of the device, one per file system: a second mount
// or a bind mount shows a file system again, and freezing it twice fails
// (EBUSY). A mount point that cannot be read stays, for the freeze to
// report. A device the job names by its path is frozen through where it is
// mounted. One read of the mount table answers all of it.
CQiError FileSystemsOf(const std::vector<SMVolBlock>& volumes, const std::string& device,
                       std::vector<std::string>& mountPoints) {
  MountTable table;
  std::string unread;
  const bool read = table.Read(unread);
  std::set<std::string> paths;
  std::set<std::string> fileSystems;
  for (const SMVolBlock& volume : volumes) {
    if (volume.sDevice != device) continue;
    std::string mountPoint = volume.sVolume;
    if (volume.sVolume == device) {
      std::string why = unread + " to find where " + device + " is mounted";
      if (!read || !table.FreezePointOf(device, mountPoint, why))
        return FXErrorUtil::ErrorErrNo(FXCODELOC, EBUSY, "Cannot freeze the file system of [%s]: %s", device.c_str(),
                                       why.c_str());
      if (mountPoint.empty()) continue;
    }
    if (!paths.insert(mountPoint).second) continue;
    const std::string fileSystem = read ? table.FileSystemShownAt(mountPoint) : std::string();
    if (!fileSystem.empty() && !fileSystems.insert(fileSystem).second) continue;
    mountPoints.push_back(mountPoint);
  }
  return CQiError();
}

// The copy and the simulated services write into the state directory while
// the file systems are frozen: one of them holding it would wait for a thaw
// that comes only after the copy.
CQiError RefuseFreezingTheStateDirectory(const std::vector<std::string>& mountPoints) {
  const std::string state = platform::Settings::StateDir();
  struct stat stateInfo, info;
  if (::stat(state.c_str(), &stateInfo) != 0) return CQiError();
  for (const std::string& mountPoint : mountPoints)
    if (::stat(mountPoint.c_str(), &info) == 0 && info.st_dev == stateInfo.st_dev)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, EDEADLK,
                                     "Cannot freeze [%s]: the state directory [%s] is on it, and the copy written "
                                     "there would wait for the thaw",
                                     mountPoint.c_str(), state.c_str());
  return CQiError();
}

// The volume of the mount point from the mount table (device, type and
// options; the last mount there wins); false when nothing is mounted there.
bool FromMountTable(const std::list<KzMntTab::Entry>& mounts, const std::string& mountPoint, SMVolBlock& volume) {
  const KzMntTab::Entry* entry = KzMntTab::find(mounts, mountPoint);
  if (entry == nullptr) return false;
  volume.sVolume = mountPoint;
  volume.sDevice = entry->m_sDevice;
  volume.sFSType = entry->m_sFsType;
  volume.sMountOptions = entry->m_sOptions;
  return true;
}

bool IsBlockDevice(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISBLK(info.st_mode);
}

}  // namespace

bool ResolveVolume(const std::string& path, const TarvosJobInfo& job, uint64_t appType, SMVolBlock& volume) {
  volume = SMVolBlock();
  volume.sVolume = path;
  volume.nAppType = appType;
  volume.nAppId = job.GetAppId();
  volume.nVornCellId = job.GetVornCellId();
  std::list<KzMntTab::Entry> mounts;
  CQiError read = KzMntTab::getAll(mounts);
  if (read.IsError()) {
    tools::PrintError("cannot read the mount table", read);
    return false;
  }
  // The mount table names mount points by their canonical path: a relative
  // path, a trailing slash or a symbolic link names the same file system.
  std::vector<std::string> names = {path};
  char* canonical = ::realpath(path.c_str(), nullptr);
  if (canonical != nullptr && path != canonical) names.push_back(canonical);
  std::free(canonical);
  for (const std::string& name : names)
    if (FromMountTable(mounts, name, volume)) return true;
  if (!IsBlockDevice(path)) {
    tools::PrintErrorLine("%s is neither a mount point nor a block device", path.c_str());
    return false;
  }
  // Its file system is frozen around the copy: refused now if it could not be.
  std::string mountPoint, why;
  if (!FreezePointOfDevice(path, mountPoint, why)) {
    tools::PrintErrorLine("%s", why.c_str());
    return false;
  }
  if (mountPoint.empty()) {
    volume.sDevice = path;
    return true;
  }
  // A mounted device is its mount point's volume, as a job given the mount
  // point records it: the library keeps a device's tracking per volume, and
  // two volumes of one device in a subclient clear each other's changes
  // from the driver, so that every job of one of them goes full.
  if (FromMountTable(mounts, mountPoint, volume)) return true;
  tools::PrintErrorLine("%s is mounted at %s, which the mount table does not list", path.c_str(), mountPoint.c_str());
  return false;
}

bool CanReadDevice(const SMVolBlock& volume) {
  auto_handle device(::open(volume.sDevice.c_str(), O_RDONLY | O_CLOEXEC));
  if (device.get() >= 0) return true;
  tools::PrintErrorLine("cannot open device %s of volume %s: %s", volume.sDevice.c_str(), volume.sVolume.c_str(),
                        std::strerror(errno));
  return false;
}

CQiError SnapshotDevices(uint64_t jobId, const std::vector<SMVolBlock>& volumes,
                         std::map<std::string, TakenSnapshot>& snapshots,
                         const std::function<void(const std::map<std::string, TakenSnapshot>&)>& taken) {
  for (const SMVolBlock& volume : volumes) {
    const std::string& device = volume.sDevice;
    if (snapshots.count(device) != 0) continue;
    std::vector<std::string> mountPoints;
    CQiError error = FileSystemsOf(volumes, device, mountPoints);
    if (!error.IsError()) error = RefuseFreezingTheStateDirectory(mountPoints);
    FreezeHolder frozen;
    if (!error.IsError()) error = frozen.Freeze(mountPoints, jobId);
    if (error.IsError()) return error.Push(FXCODELOC);
    for (const std::string& mountPoint : mountPoints)
      std::printf("snapshot %s: frozen %s\n", device.c_str(), mountPoint.c_str());
    std::fflush(stdout);
    TakenSnapshot snapshot;
    // The copy's image is the job's before the copy starts: a command killed
    // during it leaves the image to release. The image, not the loop device
    // it gets, tells the snapshot: the driver's records may name that loop
    // device for a snapshot whose loop device went.
    const auto copying = [&](const std::string& image) {
      snapshot.image = image;
      std::map<std::string, TakenSnapshot> recorded = snapshots;
      recorded[device] = TakenSnapshot{image, image};
      taken(recorded);
    };
    const std::string owner = SnapshotOwner(jobId);
    error = blbsim::KzbfCreateSnapshot(device, true, snapshot.device, copying, owner);
    CQiError kept = frozen.Thaw();
    if (error.IsError()) {
      if (kept.IsError()) tools::PrintError("", kept);
      return error.Push(FXCODELOC);
    }
    if (kept.IsError()) {
      // Not kept: a copy of a file system thawed before it ended.
      blbsim::KzbfDestroyed destroyed;
      blbsim::KzbfDestroySnapshotOf(snapshot.image, owner, destroyed);
      return kept.Push(FXCODELOC);
    }
    snapshots[device] = snapshot;
    taken(snapshots);
  }
  return CQiError();
}

}  // namespace blbjob
