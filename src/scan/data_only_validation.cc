// Whether a snapshot's data-only bitmap can be trusted: it must mark at least
// as many extents as the used space of the snapshot's mounted file system
// fills. A bitmap that marks fewer would drop data from the backup.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>

#include "platform/log/ev_debug.h"
#include "platform/path/qi_path.h"
#include "records/link_target.h"
#include "scan/collect_file_manager.h"
#include "tracking/bitmap_words.h"

namespace {

constexpr unsigned kErrorFailed = 774;
constexpr unsigned kErrorCallFailed = 1627;

}  // namespace

CQiError CollectFileManager::GetMountList() {
  CQiError err = KzMntTab::getAll(m_lMountList);
  if (err.IsError()) return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorCallFailed, "failed to get mount list");
  return err;
}

CQiError CollectFileManager::GetLinkTargetPath(std::string& path) {
  bool isLink = false;
  CQiError err = CQiPath(path).IsLink(isLink);
  if (err.IsError())
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorCallFailed, "Failed to check if path=%s is a link, error=%s",
                                   path.c_str(), err.AsString().c_str());
  if (!isLink) return CQiError();
  std::string resolved;
  err = ReadLinkTargetOneLevel(path, resolved);
  if (err.IsError()) return err.Push(FXCODELOC);
  path = resolved;
  return err;
}

CQiError CollectFileManager::ValidateDataOnlyBitMapForVolume(const ScanObjects_t& scan, unsigned char* dataBitmap,
                                                             unsigned long bitmapSize, int extentSize) {
  EvDebug log;
  const char* volume = scan.sVolume.c_str();
  log.DebugLvl(__FUNCTION__, 1, "DataOnly Block will be validated for volume=%s snap=%s", volume,
               scan.sSnapDevice.c_str());
  if (extentSize <= 0)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "Invalid extent size %d for volume=%s", extentSize, volume);
  std::string snapshot = scan.sSnapDevice;
  CQiError err = GetLinkTargetPath(snapshot);
  if (err.IsError())
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "get realpath failed for path=%s, error=%s",
                                   scan.sSnapDevice.c_str(), err.AsString().c_str());

  for (const KzMntTab::Entry& entry : m_lMountList) {
    struct stat64 info;
    if (::stat64(entry.m_sDevice.c_str(), &info) != 0) continue;
    std::string current = entry.m_sDevice;
    err = GetLinkTargetPath(current);
    if (err.IsError())
      return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorFailed, "get realpath failed for path=%s, error=%s",
                                     entry.m_sDevice.c_str(), err.AsString().c_str());
    log.DebugLvl(__FUNCTION__, 3, "SnapDev=%s CurrDev=%s", snapshot.c_str(), current.c_str());
    if (entry.m_sDevice != snapshot && current != snapshot) continue;

    struct statvfs64 space;
    if (::statvfs64(entry.m_sMountPoint.c_str(), &space) != 0) {
      const int error = errno;
      return FXErrorUtil::ErrorWin32(FXCODELOC, static_cast<unsigned>(error),
                                     "statfs failed for volume snapshot=%s, error=%s", entry.m_sMountPoint.c_str(),
                                     std::strerror(error));
    }
    const unsigned long long used = static_cast<unsigned long long>(space.f_bsize) * (space.f_blocks - space.f_bfree);
    const unsigned long long extent = static_cast<unsigned long long>(extentSize);
    const unsigned long long minimum = used / extent + (used % extent != 0 ? 1 : 0);
    if (dataBitmap != nullptr) {
      const unsigned long long marked = bitmap_words::CountSet(dataBitmap, bitmapSize);
      log.DebugLvl(__FUNCTION__, 1, "Volume=%s, UsedSpace=%llu DataonlyExtents=%llu MinVolUsedExtents=%llu", volume,
                   used, marked, minimum);
      if (marked < minimum)
        return FXErrorUtil::ErrorWin32(
            FXCODELOC, kErrorFailed,
            "Dataonly block extents validation failed for volume=%s, dataonly bitmap will not be merged", volume);
    }
    return CQiError();
  }
  return CQiError();
}
