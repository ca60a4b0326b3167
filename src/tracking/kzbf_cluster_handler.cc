// The agent's cluster entry point and what start and stop share: the mount
// table, the device of a mount point and the names in the list's folder.
#include "tracking/kzbf_cluster_handler.h"

#include <sys/stat.h>

#include "blocklevel/blocklevel.h"
#include "library/entry_guard.h"
#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

// Both sides fail with the exception's message when the list or the driver
// client throws; the list object has been released (written back) by then.
template <class Body>
CQiError CatchKzException(const char* function, Body&& body) {
  try {
    return body();
  } catch (const KzException& exception) {
    EvDebug log;
    log.DebugLvl(function, -1, "%s", exception.getMessage());
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "%s", exception.getMessage());
  }
}

CQiError RunClusterHandler(int startStop) {
  KzBfClusterHandler handler;
  // Before anything can fail the start.
  if (startStop == 1) handler.HookVolumesToMark();
  CQiError err = handler.LoadMounts();
  if (err.IsError()) return startStop == 1 ? handler.FailedStart(err.Push(FXCODELOC)) : err.Push(FXCODELOC);
  if (startStop == 1) return handler.ClusterStart();
  if (startStop == 0) return handler.ClusterStop();
  return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Invalid Start-Stop parameter");
}

}  // namespace

namespace cluster {

std::string MarkerPath(const std::string& listDirectory) {
  if (!listDirectory.empty() && listDirectory.back() == '/')
    return listDirectory + KzBfClusterHandler::kSoftFailoverMarker;
  return listDirectory + "/" + KzBfClusterHandler::kSoftFailoverMarker;
}

void LeftBehindBitmap(const std::string& mountPoint, const std::string& listDirectory, std::string& file,
                      std::string& volumeKey) {
  VolumeBitMapHelper::GenerateBitmapFileName(mountPoint, listDirectory, file, "", "");
  const std::string name = file.substr(file.rfind('/') + 1);  // the name has a folder
  volumeKey = name.substr(0, name.size() - 4);                // and ends in ".bmp"
}

}  // namespace cluster

CQiError KzBfClusterHandler::LoadMounts() {
  CQiError err = KzMntTab::getAll(m_lMounts);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError KzBfClusterHandler::ClusterStart() {
  CQiError err = CatchKzException(cluster::kStartFunction, [this] { return Start(); });
  return err.IsError() ? FailedStart(err) : err;
}

CQiError KzBfClusterHandler::ClusterStop() {
  return CatchKzException(cluster::kStopFunction, [this] { return Stop(); });
}

CQiError KzBfClusterHandler::GetDevice(const std::string& path, std::string& device) {
  struct stat64 info;
  if (::stat64(path.c_str(), &info) != 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, 1627, "stat failed on path[%s]", path.c_str());
  if (S_ISBLK(info.st_mode) || S_ISCHR(info.st_mode)) {
    device = path;
    return CQiError();
  }
  const KzMntTab::Entry* entry = KzMntTab::find(m_lMounts, path);
  if (entry == nullptr) return FXErrorUtil::ErrorErrNo(FXCODELOC, 2, "Could not find mount point [%s]", path.c_str());
  device = entry->m_sDevice;
  return CQiError();
}

extern "C" CQiError BlockLevelClusterHandler(int startStop) {
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&] { return RunClusterHandler(startStop); });
}
