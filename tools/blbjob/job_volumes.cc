#include "job_volumes.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <list>
#include <memory>
#include <set>

#include "platform/harness/kzbf_harness.h"
#include "platform/memory/auto_handle.h"
#include "platform/mnttab/kz_mnt_tab.h"

namespace blbjob {
namespace {

// A mounted file system frozen for the object's life: its writes wait and
// what it wrote is on the device, so a copy of the device is the file system
// as it stands.
class FrozenFileSystem {
 public:
  CQiError Freeze(const std::string& mountPoint) {
    m_oFd.reset(::open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (m_oFd.get() < 0) return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot open [%s]", mountPoint.c_str());
    if (::ioctl(m_oFd.get(), FIFREEZE, 0) != 0) {
      CQiError failed = FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot freeze [%s]", mountPoint.c_str());
      m_oFd.reset(-1);
      return failed;
    }
    m_sMountPoint = mountPoint;
    return CQiError();
  }
  ~FrozenFileSystem() {
    if (m_oFd.get() >= 0 && ::ioctl(m_oFd.get(), FITHAW, 0) != 0)
      std::fprintf(stderr, "blbjob: cannot thaw %s\n", m_sMountPoint.c_str());
  }

 private:
  auto_handle m_oFd;
  std::string m_sMountPoint;
};

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
    std::fprintf(stderr, "blbjob: cannot read the mount table: %s\n", read.AsString().c_str());
    return false;
  }
  bool mounted = false;
  for (const KzMntTab::Entry& entry : mounts) {
    if (entry.m_sMountPoint != path) continue;
    volume.sDevice = entry.m_sDevice;
    volume.sFSType = entry.m_sFsType;
    volume.sMountOptions = entry.m_sOptions;
    mounted = true;
  }
  if (mounted) return true;
  if (IsBlockDevice(path)) {
    volume.sDevice = path;
    return true;
  }
  std::fprintf(stderr, "blbjob: %s is neither a mount point nor a block device\n", path.c_str());
  return false;
}

CQiError SnapshotDevices(const std::vector<SMVolBlock>& volumes, std::map<std::string, TakenSnapshot>& snapshots) {
  for (const SMVolBlock& volume : volumes) {
    const std::string& device = volume.sDevice;
    if (snapshots.count(device) != 0) continue;
    std::set<std::string> mountPoints;
    for (const SMVolBlock& other : volumes)
      if (other.sDevice == device && other.sVolume != device) mountPoints.insert(other.sVolume);
    std::list<FrozenFileSystem> frozen;
    for (const std::string& mountPoint : mountPoints) {
      frozen.emplace_back();
      CQiError error = frozen.back().Freeze(mountPoint);
      if (error.IsError()) return error;
    }
    TakenSnapshot snapshot;
    CQiError error = blbsim::KzbfCreateSnapshot(device, true, snapshot.device);
    if (!error.IsError()) error = blbsim::KzbfSnapshotImage(snapshot.device, snapshot.image);
    if (error.IsError()) return error.Push(FXCODELOC);
    snapshots[device] = snapshot;
  }
  return CQiError();
}

}  // namespace blbjob
