// The fail-over merge: whether a volume's driver bitmap can be trusted after
// its cluster moved it between nodes, must be completed with the bitmap the
// previous node left behind, or must give way to a full backup.
#include <cstdlib>
#include <list>

#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"
#include "tracking/attached_volume_list.h"
#include "tracking/fail_over_pending.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

void MarkFull(unsigned char* bitmap, const unsigned long& size, bool& forceFull) {
  // A missing driver bitmap cannot be marked (errno 22): the flag decides.
  VolumeBitMapHelper::SetBitMapForFULL(bitmap, size);
  forceFull = true;
}

}  // namespace

CQiError VolumeBitMapHelper::MergeFailOverBitmap(const std::string& mountPoint, unsigned char** driverBitmap,
                                                 const std::string& bitmapFile, const unsigned long& size,
                                                 bool& forceFull) {
  EvDebug log;
  unsigned char* noBitmap = nullptr;
  unsigned char** bitmap = driverBitmap != nullptr ? driverBitmap : &noBitmap;
  std::string leftBehind;
  try {
    CAttachedVolumeList list(true);
    std::list<VolumeClusterConfig> volumes;
    CQiError listed = list.GetVolumeList(volumes);
    if (listed.IsError()) {
      if (FXErrorUtil::IsErrNo(listed, 2)) return CQiError();
      log.DebugLvl(__FUNCTION__, -1,
                   " -BlockLevel- Failed to get attachdd volume list, error=[%s], volume [%s] will be marked FULL",
                   listed.AsString().c_str(), mountPoint.c_str());
      MarkFull(*bitmap, size, forceFull);
      return CQiError();
    }
    leftBehind = list.GetConfigDirName() + "/" + FXPath::GetFileName(bitmapFile);

    std::list<VolumeClusterConfig> updated;
    bool consumed = false;
    for (VolumeClusterConfig volume : volumes) {
      log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- MountPoint=[%s], IsDirty=[%d]", volume.GetMountPoint().c_str(),
                   volume.IsDirty() ? 1 : 0);
      if (volume.GetMountPoint() == mountPoint && volume.IsDirty()) {
        log.DebugLvl(__FUNCTION__, 0,
                     " -BlockLevel- Volume=[%s] seems to have failed over ungracefully, marking bitmap full",
                     mountPoint.c_str());
        MarkFull(*bitmap, size, forceFull);
        volume.UnSetDirty();
        consumed = true;
      }
      updated.push_back(volume);
    }
    // Saved before the list is unlocked: a dirty mark is consumed by exactly
    // one backup, the one that then finishes its snapshot task; until then
    // a full pending bitmap stands for it. One that cannot be made leaves
    // the dirty mark; a mark that could not be saved stays (a later backup
    // is full once more), and the failure is this backup's, already marked
    // full.
    if (consumed) {
      CQiError kept = fail_over::KeepFullPending(leftBehind, size);
      if (kept.IsError()) {
        log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Volume=[%s] stays marked dirty: %s", mountPoint.c_str(),
                     kept.AsString().c_str());
      } else {
        list.SaveList(updated);
        CQiError saved = list.SaveList();
        if (saved.IsError()) return saved.Push(FXCODELOC);
      }
    }
  } catch (const KzException& exception) {
    log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Exception [%s]", exception.getMessage());
    MarkFull(*bitmap, size, forceFull);
    return CQiError();
  }

  if (forceFull) return CQiError();

  // The previous node's bitmap, and what an earlier backup took from the
  // list and did not hand on before it died.
  const std::string pending = fail_over::PendingBitmap(leftBehind);
  unsigned char* failedOver = nullptr;
  bool fromLeftBehind = false;
  bool pendingExisted = false;
  for (const std::string& file : {leftBehind, pending}) {
    log.DebugLvl(__FUNCTION__, 3, " -BlockLevel- Reading failed over bitmap file=[%s]", file.c_str());
    unsigned char* read = nullptr;
    CQiError err = ReadBitMapFromFile(file, &read, size);
    if (err.IsError()) {
      std::free(read);
      if (FXErrorUtil::IsErrNo(err, 2)) continue;
      log.DebugLvl(
          __FUNCTION__, 0,
          " -BlockLevel- There was a problem reading failed over bitmap file [%s], error=[%s],  volume will be "
          "forced to FULL via bitmap",
          file.c_str(), err.AsString().c_str());
      std::free(failedOver);
      MarkFull(*bitmap, size, forceFull);
      CQiError removed = fail_over::RemoveConsumed(file);
      if (removed.IsError())
        log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Volume [%s] stays FULL: %s", mountPoint.c_str(),
                     removed.AsString().c_str());
      return CQiError();
    }
    (file == leftBehind ? fromLeftBehind : pendingExisted) = true;
    if (failedOver == nullptr) {
      failedOver = read;
    } else {
      CQiError merged = MergeBitMaps(failedOver, read, size);
      std::free(read);
      if (merged.IsError()) {
        std::free(failedOver);
        return merged.Push(FXCODELOC);
      }
    }
  }
  if (failedOver == nullptr) return CQiError();
  if (fromLeftBehind) {
    // Kept until this backup's snapshot task finishes.
    CQiError kept = fail_over::KeepBitsPending(leftBehind, pendingExisted, failedOver, size);
    if (kept.IsError()) {
      log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Failed over bitmap=[%s] stays: %s", leftBehind.c_str(),
                   kept.AsString().c_str());
    } else if (pendingExisted) {
      // Its bits are pending now. A removal that a power loss may take back
      // leaves the file to be taken again, or trusted by a later start; with
      // the folder failing its syncs, this backup does not rest on the list's
      // folder and goes full.
      CQiError removed = fail_over::RemoveConsumed(leftBehind);
      if (removed.IsError()) {
        log.DebugLvl(__FUNCTION__, -1, " -BlockLevel- Volume [%s] will be marked FULL: %s", mountPoint.c_str(),
                     removed.AsString().c_str());
        std::free(failedOver);
        MarkFull(*bitmap, size, forceFull);
        return CQiError();
      }
    }
  }
  log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- Failed over bitmap=[%s] found, merging with existing driver's bitmap",
               leftBehind.c_str());
  if (*bitmap != nullptr) {
    if (IsInspectRequested()) {
      log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- Printing driver's bitmap before merge");
      InspectBitMap(*bitmap, size);
      log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- Printing failed over bitmap before merge");
      InspectBitMap(failedOver, size);
    }
    CQiError merged = MergeBitMaps(*bitmap, failedOver, size);
    std::free(failedOver);
    if (merged.IsError()) return merged.Push(FXCODELOC);
    return merged;
  }
  log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- Input drive's bitmap is empty, sending the failed over bitmap back");
  *bitmap = failedOver;
  if (driverBitmap == nullptr) std::free(failedOver);  // nowhere to send it
  else if (IsInspectRequested()) {
    log.DebugLvl(__FUNCTION__, 0, " -BlockLevel- Printing bitmap before return...");
    InspectBitMap(failedOver, size);
  }
  return CQiError();
}
