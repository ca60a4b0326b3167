// Taking and clearing a device's driver bitmap and handing it to every
// subclient cache of the device.
//
// From the driver's clear until the driver hook is removed, the cleared bits
// live only in memory and in the caches updated so far: the hook, made before
// the driver is touched and removed last, is what makes a process that dies
// or fails in between turn every cache of the device into all ones at the
// next call instead of losing those bits. A cluster start's last mark in the
// runtime folder counts as such a hook left over, and goes once the hooks of
// this call carry it; a runtime folder that cannot be known counts as one
// holding the device's mark.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "platform/log/ev_debug.h"
#include "records/file_replacement.h"
#include "tracking/block_level_bitmap_handler.h"
#include "tracking/cbf_driver_interface.h"
#include "tracking/fx_name_mutex_wrapper.h"
#include "tracking/runtime_full_marks.h"
#include "tracking/subclient_cache.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

// The driver keeps one bitmap per device, but subclients may know the device
// by other device ids (another mount path of it, a bind mount): a
// distribution that ended half-way under any of them cleared the bitmap every
// one of them reads, so each id the device's entries carry gets the hook. An
// id that cannot name a file never had a hook and is left out.
std::set<std::string> DriverHookIds(const std::string& deviceId, const std::list<VolumeConfig>& entries) {
  std::set<std::string> ids{deviceId};
  for (const VolumeConfig& entry : entries)
    if (!tracking::CheckDeviceIdForFileName(entry.DeviceId()).IsError()) ids.insert(entry.DeviceId());
  return ids;
}

// A hook found under another id guards the caches that a call under that id
// reaches. When every entry carrying that id names this call's device (one
// device mounted at two paths, or bound at a second), this call reaches each
// of them and makes it all ones: the hook goes with this call's own, or it
// would make every later call of this subclient full until one under that id
// came. An entry of that id naming the device otherwise may be one this call
// does not reach: the hook then stays for that id's next call.
bool ReachesEveryEntryOf(const std::string& id, const std::string& device, const std::list<VolumeConfig>& list) {
  return std::all_of(list.begin(), list.end(),
                     [&](const VolumeConfig& entry) { return entry.DeviceId() != id || entry.Device() == device; });
}

// A cluster start's last marks of the device: by any id its hooks go by, or
// by the device itself.
std::set<std::string> FindLastMarks(const tracking::RuntimeFullMarks& marks, std::set<std::string> names,
                                    const std::string& device) {
  names.insert(tracking::RuntimeFullMarks::NameOfDevice(device));
  std::set<std::string> found = marks.Find(names);
  EvDebug log;
  if (marks.Folder().empty())
    log.DebugLvl(__FUNCTION__, -1,
                 "A cluster start may have marked device=%s in a runtime folder not known, all bitmaps will be "
                 "converted to dirty",
                 device.c_str());
  else if (!found.empty())
    log.DebugLvl(__FUNCTION__, 0, "A cluster start marked device=%s in [%s], all bitmaps will be converted to dirty",
                 device.c_str(), marks.Folder().c_str());
  return found;
}

}  // namespace

CQiError CBlockLevelBitmapHandler::GetAndClearBitmap(long long clientId, const uint64_t& bitmapSize, SMVolBlock& block,
                                                     const std::string& deviceId, const std::string& destination) {
  tracking::LockedOperation operation(__FUNCTION__);
  CQiError err = BeginLocked(operation);
  if (err.IsError()) return err.Push(FXCODELOC);
  EvDebug log;

  VolumeConfig own = OwnRecord(clientId, block, deviceId);
  bool isNew = false;
  err = ValidateDevice(own, isNew);
  if (err.IsError()) return err.Push(FXCODELOC);

  std::list<VolumeConfig> entries;
  err = m_pVolumeList->Get(block.sDevice, deviceId, entries);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to get config info, device=%s", block.sDevice.c_str());

  bool dirty = false;             // every cache of the device becomes all ones
  std::set<std::string> hookIds;  // removed at the end
  std::set<std::string> madeIds;  // made by this call
  const std::set<std::string> driverHookIds = DriverHookIds(deviceId, entries);
  for (const std::string& id : driverHookIds) {
    bool existed = false;
    err = m_pDriverCache->CreateHook(id, existed);
    if (err.IsError()) return err.Push(FXCODELOC);
    dirty = dirty || existed;
    if (!existed || id == deviceId || ReachesEveryEntryOf(id, block.sDevice, m_pVolumeList->GetList()))
      hookIds.insert(id);
    if (!existed) madeIds.insert(id);
  }
  err = SyncDriverHooks(madeIds);
  if (err.IsError()) return err.Push(FXCODELOC);
  const tracking::RuntimeFullMarks runtimeMarks;
  const std::set<std::string> lastMarks = FindLastMarks(runtimeMarks, driverHookIds, block.sDevice);
  dirty = dirty || !lastMarks.empty();

  CBFDriverInterface driver(block.sDevice);
  bool alreadyAttached = false;
  err = driver.Initialize();
  if (!err.IsError()) err = driver.StartBlockFilter(alreadyAttached);
  if (err.IsError()) return err.Push(FXCODELOC);
  if (!alreadyAttached) {
    // Whatever was kept for the device before the driver watched it says nothing.
    log.DebugLvl(__FUNCTION__, 0, "Started Block filtering, all bitmaps will be converted to dirty, device=%s",
                 block.sDevice.c_str());
    dirty = true;
    block.bForceFull = true;
  }

  auto_ptr_array<unsigned char> bitmap;
  err = driver.GetAndClearBitmap(bitmap, bitmapSize);
  if (err.IsError()) return err.Push(FXCODELOC);
  err = MergeFailOver(block, bitmap, bitmapSize, destination);
  if (err.IsError()) return err.Push(FXCODELOC);

  // A cache left lacking the cleared bits without a hook of its own on disk
  // has only the driver hooks to say so: they stay.
  bool cacheUnguarded = false;
  for (const VolumeConfig& entry : entries)
    cacheUnguarded = !UpdateEntryCache(entry, own, bitmapSize, bitmap, dirty, block, destination) || cacheUnguarded;
  if (cacheUnguarded) {
    log.DebugLvl(__FUNCTION__, -1, "A subclient cache of device=%s lacks the cleared bits, its driver hooks stay",
                 block.sDevice.c_str());
    return CQiError();
  }

  // The caches are all ones by now: the last marks have done their part.
  runtimeMarks.Remove(lastMarks);
  for (const std::string& id : hookIds) {
    CQiError removed = m_pDriverCache->DeleteHook(id);
    if (removed.IsError())
      log.DebugLvl(
          __FUNCTION__, -1,
          "Failed to delete driver cache hook, next backups will be converted to full for all devices, error=%s",
          removed.AsString().c_str());
  }
  return CQiError();
}

CQiError CBlockLevelBitmapHandler::SyncDriverHooks(const std::set<std::string>& madeIds) {
  // The driver records its clear on disk at once: a hook whose name a power
  // loss could still take back would leave no trace of the bits it cleared.
  // Synced even when every hook was there already: the process that made
  // them may have died before their folder was synced.
  CQiError err = records::SyncFolder(m_pDriverCache->Folder());
  if (!err.IsError()) return err;
  // Nothing was taken from the driver: the hooks this call made mark nothing.
  for (const std::string& id : madeIds) m_pDriverCache->DeleteHook(id);
  return err.Push(FXCODELOC, "Failed to sync the driver hooks, the driver is left untouched");
}

CQiError CBlockLevelBitmapHandler::MergeFailOver(SMVolBlock& block, auto_ptr_array<unsigned char>& bitmap,
                                                 const uint64_t& size, const std::string& destination) {
  // The merge works on a malloc'd buffer of its own.
  unsigned char* merged = static_cast<unsigned char*>(std::malloc(size > 0 ? size : 1));
  if (merged == nullptr)
    return FXErrorUtil::ErrorWin32(FXCODELOC, 14, "Failed to allocate %llu bytes of bitmap for volume[%s]",
                                   static_cast<unsigned long long>(size), block.sVolume.c_str());
  std::memcpy(merged, bitmap.get(), size);
  bool forcedFull = false;
  const unsigned long length = size;
  CQiError err = VolumeBitMapHelper::MergeFailOverBitmap(block.sVolume, &merged, destination, length, forcedFull);
  block.bForceFull = block.bForceFull || forcedFull;
  if (!err.IsError()) {
    if (VolumeBitMapHelper::IsInspectRequested()) {
      EvDebug log;
      log.DebugLvl(__FUNCTION__, 0, "Printing merged failed over Bitmaps for volume[%s]", block.sVolume.c_str());
      VolumeBitMapHelper::InspectBitMap(merged, length);
    }
    std::memcpy(bitmap.get(), merged, size);
  }
  std::free(merged);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

bool CBlockLevelBitmapHandler::UpdateEntryCache(const VolumeConfig& entry, const VolumeConfig& own,
                                                const uint64_t& size, const auto_ptr_array<unsigned char>& bitmap,
                                                bool dirty, SMVolBlock& block, const std::string& destination) {
  EvDebug log;
  const char* const function = __FUNCTION__;
  const std::string device = entry.Device();
  const long long clientId = entry.ClientId(), appId = entry.AppId();
  const bool isOwn = entry == own;
  log.DebugLvl(__FUNCTION__, 0, "Processing device=%s, clientId=%lld, appId=%lld", device.c_str(), clientId, appId);
  bool full = false;
  if (block.bForceFull && isOwn) {
    log.DebugLvl(__FUNCTION__, 0, "Marking device as full, device=%s, clientId=%lld, appId=%lld", device.c_str(),
                 clientId, appId);
    full = true;
  }

  CSubclientCache cache;
  bool hookExisted = false;
  CQiError err = cache.Initialize(size, entry);
  if (!err.IsError()) err = cache.CreateHook(hookExisted);
  const bool hookMade = !err.IsError();
  // A cache that could not be made all ones lacks the bits just cleared from
  // the driver: its hook stays so the next call makes it all ones, and when
  // it is ours this backup is full.
  bool keepHook = false;
  auto resetToFull = [&] {
    CQiError reset = cache.ResetBitmap(-1);
    if (!reset.IsError()) return;
    log.DebugLvl(function, -1, "Failed to reset subclient cache bitmap, device=%s, clientId=%lld, appId=%lld, error=%s",
                 device.c_str(), clientId, appId, reset.AsString().c_str());
    keepHook = true;
    if (isOwn) full = true;
  };
  if (err.IsError()) {
    full = true;
    log.DebugLvl(__FUNCTION__, -1,
                 "Error while creating sucblcient hook file, converting bitmap to full, device=%s, clientId=%lld, "
                 "appId=%lld, error=%s",
                 device.c_str(), clientId, appId, err.AsString().c_str());
    resetToFull();
  } else if (dirty || hookExisted || full) {
    full = true;
    log.DebugLvl(__FUNCTION__, 0, "Resetting bitmap, device=%s, clientId=%lld, appId=%lld, IsHookExists=%d",
                 device.c_str(), clientId, appId, hookExisted ? 1 : 0);
    resetToFull();
  } else if (!cache.DoesBitmapExists()) {
    full = true;
    log.DebugLvl(__FUNCTION__, 0,
                 "Resetting bitmap as bitmap doesn't exist in subclient cache, device=%s, clientId=%lld, appId=%lld",
                 device.c_str(), clientId, appId);
    resetToFull();
  } else {
    log.DebugLvl(__FUNCTION__, 0,
                 "Merging driver bitmap with subclient cache bitmap, device=%s, clientId=%lld, appId=%lld",
                 device.c_str(), clientId, appId);
    CQiError merged = cache.MergeBitmap(bitmap);
    if (merged.IsError()) {
      log.DebugLvl(__FUNCTION__, 0,
                   "Resetting bitmap as failed to merge bitmap in subclient cache, device=%s, clientId=%lld, "
                   "appId=%lld, error=%s",
                   device.c_str(), clientId, appId, merged.AsString().c_str());
      resetToFull();
    }
  }

  if (isOwn) {
    log.DebugLvl(__FUNCTION__, 0,
                 "Saving bitmap to uXA's sucblcient folder, device=%s, clientId=%lld, appId=%lld, destfile=%s",
                 device.c_str(), clientId, appId, destination.c_str());
    block.bForceFull = full;
    // What an earlier attempt of the job left there is added to; a file of
    // another size is no record of this device's changes: the job goes full.
    CQiError saved = VolumeBitMapHelper::CheckEarlierJobBitmap(destination, size);
    if (!saved.IsError()) saved = cache.SaveBitmapToFile(destination);
    if (saved.IsError()) {
      // This cache's hook stays: the next call treats it as full too.
      log.DebugLvl(__FUNCTION__, 0,
                   "Resetting bitmap as failed to merge bitmap in subclient cache, device=%s, clientId=%lld, "
                   "appId=%lld, error=%s",
                   device.c_str(), clientId, appId, saved.AsString().c_str());
      resetToFull();
      block.bForceFull = true;
      return hookMade || !keepHook;
    }
    CQiError zeroed = cache.ResetBitmap(0);
    if (zeroed.IsError())
      log.DebugLvl(__FUNCTION__, -1,
                   "Resetting bitmap as failed to merge bitmap in subclient cache, device=%s, clientId=%lld, "
                   "appId=%lld, error=%s",
                   device.c_str(), clientId, appId, zeroed.AsString().c_str());
  }
  if (keepHook) return hookMade;
  CQiError removed = cache.DeleteHook();
  if (removed.IsError())
    log.DebugLvl(__FUNCTION__, -1,
                 "Failed to delete bitmap, next backup will be converted to full, device=%s, clientId=%lld, "
                 "appId=%lld, error=%s",
                 device.c_str(), clientId, appId, removed.AsString().c_str());
  return true;
}
