#include "tracking/fail_over_pending.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/memory/auto_handle.h"
#include "platform/text/fx_string.h"
#include "records/file_replacement.h"
#include "tracking/attached_volume_list.h"
#include "tracking/volume_bitmap_helper.h"

namespace fail_over {
namespace {

constexpr const char* kPendingSuffix = ".pending";

}  // namespace

CQiError RemoveConsumed(const std::string& path) {
  if (unlink_utf(path.c_str()) != 0) {
    if (errno == ENOENT) return CQiError();
    const int failure = errno;
    EvDebug log;
    log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Failed to remove [%s], error=%s", path.c_str(),
                 std::strerror(failure));
    return CQiError();
  }
  CQiError err = records::SyncFolderOf(path);
  if (err.IsError()) return err.Push(FXCODELOC, "The removal of [%s] is not on disk", path.c_str());
  return err;
}

std::string PendingBitmap(const std::string& leftBehind) {
  return leftBehind + kPendingSuffix;
}

CQiError KeepFullPending(const std::string& leftBehind, unsigned long size) {
  std::unique_ptr<unsigned char[]> full(new (std::nothrow) unsigned char[size > 0 ? size : 1]);
  if (!full) return FXErrorUtil::ErrorErrNo(FXCODELOC, ENOMEM, "Failed to allocate %lu bytes of bitmap", size);
  VolumeBitMapHelper::SetBitMapForFULL(full.get(), size);
  return VolumeBitMapHelper::ReplaceBitMapFile(PendingBitmap(leftBehind), full.get(), size);
}

CQiError KeepBitsPending(const std::string& leftBehind, bool pendingExisted, const unsigned char* combined,
                         unsigned long size) {
  const std::string pending = PendingBitmap(leftBehind);
  if (!pendingExisted) {
    // The left-behind file holds the bits already: it only changes its name.
    if (rename_utf(leftBehind.c_str(), pending.c_str()) != 0)
      return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Failed to rename [%s] to [%s]", leftBehind.c_str(),
                                         pending.c_str());
    // Renamed back, the bits stay with the left-behind file for the next
    // backup; under a name a power loss may take back, they would be lost.
    CQiError err = records::SyncFolderOf(pending);
    if (err.IsError()) {
      rename_utf(pending.c_str(), leftBehind.c_str());
      return err.Push(FXCODELOC);
    }
    return err;
  }
  CQiError err = VolumeBitMapHelper::ReplaceBitMapFile(pending, combined, size);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

}  // namespace fail_over

CQiError VolumeBitMapHelper::CompleteFailOverMerge(const std::string& bitmapFile) {
  std::string pending;
  try {
    const CAttachedVolumeList list(false);
    pending = fail_over::PendingBitmap(list.GetConfigDirName() + "/" + FXPath::GetFileName(bitmapFile));
  } catch (const KzException& exception) {
    // Left there, the pending bitmap is merged once more by the next backup.
    EvDebug log;
    log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Exception [%s]", exception.getMessage());
    return CQiError();
  }
  CQiError err = fail_over::RemoveConsumed(pending);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}
