// FXPath::KZGetVolumeNameForVolumeMountPoint over the machine's mount table.
#include <list>

#include "platform/mnttab/kz_mnt_tab.h"
#include "platform/sim/fault_table.h"
#include "platform/text/fx_string.h"

namespace {

// Whether the mount point holds the path, whole components only: "/a" holds
// "/a" and "/a/b", not "/ab".
bool Holds(const std::string& mountPoint, const std::string& path) {
  if (mountPoint == "/") return !path.empty() && path[0] == '/';
  if (path.compare(0, mountPoint.size(), mountPoint) != 0) return false;
  return path.size() == mountPoint.size() || path[mountPoint.size()] == '/';
}

}  // namespace

CQiError FXPath::KZGetVolumeNameForVolumeMountPoint(const std::string& path, FXString& volume) {
  volume.clear();
  CQiError fault = platform::InjectedFault("FXPath::KZGetVolumeNameForVolumeMountPoint", FXCODELOC);
  if (fault.IsError()) return fault;
  std::list<KzMntTab::Entry> entries;
  CQiError error = KzMntTab::getAll(entries);
  if (error.IsError()) return error.Push(FXCODELOC, "Cannot read the mount table for %s", path.c_str());
  FXString best;
  for (const KzMntTab::Entry& entry : entries) {
    FXString mountPoint = entry.m_sMountPoint;
    while (mountPoint.size() > 1 && mountPoint.back() == kDelimiter) mountPoint.RemoveRight(1);
    if (Holds(mountPoint, path) && (best.empty() || mountPoint.size() > best.size())) best = mountPoint;
  }
  if (best.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 2, "No mounted volume holds %s", path.c_str());
  volume = best;
  AppendTrailingDelimiter(volume);
  return CQiError();
}
