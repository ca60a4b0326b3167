// The shared-device bitmap handler's registration, plain reads and the
// hand-over between two subclients of one device; the distribution of a
// cleared driver bitmap is in bitmap_distribution.cc.
#include "tracking/block_level_bitmap_handler.h"

#include <cerrno>

#include "platform/log/ev_debug.h"
#include "tracking/cbf_driver_interface.h"
#include "tracking/fx_name_mutex_wrapper.h"
#include "tracking/subclient_cache.h"

CQiError CBlockLevelBitmapHandler::Initialize(const std::string& driverCacheFolder) {
  // The list and the hooks would be looked for in the working directory or
  // at the root, not where the device's next step finds them.
  if (driverCacheFolder.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EIO, "The driver cache folder is not known, nothing is done");
  m_pVolumeList = std::make_shared<CVolumeList>();
  m_pDriverCache = std::make_shared<CDriverCache>(driverCacheFolder);
  CQiError err = m_pVolumeList->Initialize(driverCacheFolder);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CBlockLevelBitmapHandler::CheckInitialized() const {
  if (!m_pVolumeList || !m_pDriverCache)
    return FXErrorUtil::ErrorWin32(FXCODELOC, 774, "The block-level bitmap handler is not initialized");
  return CQiError();
}

CQiError CBlockLevelBitmapHandler::BeginLocked(tracking::LockedOperation& operation) const {
  CQiError err = CheckInitialized();
  if (!err.IsError()) err = operation.Lock();
  return err;
}

VolumeConfig CBlockLevelBitmapHandler::OwnRecord(long long clientId, const SMVolBlock& block,
                                                 const std::string& deviceId) {
  return VolumeConfig(static_cast<long long>(block.nVornCellId), clientId, static_cast<long long>(block.nAppId),
                      block.sDevice, deviceId, 0, 0, 0, 0, "");
}

CQiError CBlockLevelBitmapHandler::ValidateDevice(VolumeConfig& record, bool& isNew) {
  isNew = false;
  CQiError err = CheckInitialized();
  if (!err.IsError()) err = m_pVolumeList->Load();
  if (err.IsError()) return err.Push(FXCODELOC);
  isNew = !m_pVolumeList->IsExists(record);
  if (!isNew) return err;
  const std::string device = record.Device();
  err = m_pVolumeList->Add(record, true);
  if (err.IsError())
    return err.Push(FXCODELOC, "Failed to add device to attached volume list, device=%s", device.c_str());
  err = CSubclientCache::Cleanup(record);
  if (err.IsError())
    return err.Push(FXCODELOC, "Failed to add cleanup sublcient cache, device=%s, clientId=%lld, appId=%lld, error=%s",
                    device.c_str(), record.ClientId(), record.AppId(), err.AsString().c_str());
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 0,
               "New entry added to attached volume list, vcId=%lld, clientId=%lld, appId=%lld, device=%s",
               record.VornCellId(), record.ClientId(), record.AppId(), device.c_str());
  return err;
}

CQiError CBlockLevelBitmapHandler::AddVolume(long long clientId, const SMVolBlock& block, const std::string& deviceId) {
  tracking::LockedOperation operation(__FUNCTION__);
  CQiError err = BeginLocked(operation);
  if (err.IsError()) return err.Push(FXCODELOC);
  VolumeConfig own = OwnRecord(clientId, block, deviceId);
  bool isNew = false;
  err = ValidateDevice(own, isNew);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CBlockLevelBitmapHandler::AddVolume(VolumeConfig& record, bool& isNew) {
  isNew = false;
  tracking::LockedOperation operation(__FUNCTION__);
  CQiError err = BeginLocked(operation);
  if (!err.IsError()) err = ValidateDevice(record, isNew);
  if (!err.IsError() && isNew) err = m_pVolumeList->Save();
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CBlockLevelBitmapHandler::GetBitmap(long long clientId, const uint64_t& bitmapSize, SMVolBlock& block,
                                             const std::string& deviceId, const std::string& destination) {
  tracking::LockedOperation operation(__FUNCTION__);
  CQiError err = BeginLocked(operation);
  if (!err.IsError()) err = m_pVolumeList->Load();
  if (err.IsError()) return err.Push(FXCODELOC);
  VolumeConfig record;
  err = m_pVolumeList->Get(static_cast<long long>(block.nVornCellId), clientId, static_cast<long long>(block.nAppId),
                           block.sDevice, deviceId, record);
  if (err.IsError()) return err.Push(FXCODELOC);

  CBFDriverInterface driver(block.sDevice);
  auto_ptr_array<unsigned char> bitmap;
  err = driver.Initialize();
  if (!err.IsError()) err = driver.GetBitmap(bitmap, bitmapSize);
  if (err.IsError()) return err.Push(FXCODELOC);
  // The bits stay in the driver as well: the next GetAndClearBitmap ORs them
  // into this cache again, which changes nothing.
  CSubclientCache cache;
  err = cache.Initialize(bitmapSize, record);
  if (!err.IsError()) err = cache.MergeBitmap(bitmap);
  if (!err.IsError()) err = cache.SaveBitmapToFile(destination);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CBlockLevelBitmapHandler::GetJRBitmapFileName(VolumeConfig& /*record*/, std::string& /*name*/) {
  return CQiError();
}

CQiError CBlockLevelBitmapHandler::MergeBitmapFromSC2SC(const SMVolBlock& target, long long clientId,
                                                        const std::string& deviceId, long long sourceAppId) {
  tracking::LockedOperation operation(__FUNCTION__);
  CQiError err = BeginLocked(operation);
  if (err.IsError()) return err.Push(FXCODELOC);
  VolumeConfig targetRecord = OwnRecord(clientId, target, deviceId);
  bool isNew = false;
  err = ValidateDevice(targetRecord, isNew);
  if (err.IsError()) return err.Push(FXCODELOC);
  std::list<VolumeConfig> entries;
  err = m_pVolumeList->Get(target.sDevice, deviceId, entries);
  if (err.IsError()) return err.Push(FXCODELOC, "Failed to get config info, device=%s", target.sDevice.c_str());
  auto source = entries.begin();
  while (source != entries.end() && source->AppId() != sourceAppId) ++source;
  if (source == entries.end()) return CQiError();

  EvDebug log;
  const std::string sourceDevice = source->Device();
  CSubclientCache sourceCache;
  bool hookExisted = false;
  bool hookMade = false;
  err = sourceCache.Initialize(0, *source);
  if (!err.IsError()) err = sourceCache.CreateHook(hookExisted);
  hookMade = !err.IsError() && !hookExisted;
  if (!err.IsError() && hookExisted)
    err = FXErrorUtil::ErrorWin32(FXCODELOC, 774,
                                  "Seems source suclient's backup is running can not get hook to subclient's bitmap "
                                  "cache folder,device=%s, clientId=%lld, appId=%lld",
                                  sourceDevice.c_str(), source->ClientId(), source->AppId());
  // Both caches take the size of the source's cache file. A source without
  // one leaves the target an empty cache, which reads as all changed.
  const bool sourceHasBitmap = !err.IsError() && sourceCache.DoesBitmapExists();
  uint64_t size = 0;
  if (sourceHasBitmap) {
    err = sourceCache.GetBitmapSize(size);
    if (err.IsError()) err.Push(FXCODELOC, "Faile to get bitmap size, device=%s", sourceDevice.c_str());
    if (!err.IsError()) err = sourceCache.Initialize(size, *source);
  }
  CSubclientCache targetCache;
  if (!err.IsError()) err = targetCache.Initialize(size, targetRecord);
  if (!err.IsError() && !sourceHasBitmap) {
    log.DebugLvl(__FUNCTION__, 0,
                 "Source bitmap doesn't exist in subclient cache, nothing todo. device=%s, clientId=%lld, appId=%lld",
                 sourceDevice.c_str(), source->ClientId(), source->AppId());
    err = targetCache.CreateBitmapFile(false);
    if (err.IsError())
      err.Push(FXCODELOC, "Faile to create bitmap file fiel blr sucblient, device=%s", targetRecord.Device().c_str());
  } else if (!err.IsError()) {
    log.DebugLvl(__FUNCTION__, 0,
                 "Merging source subclient cache bitmap with blr subclient cache bitmap, device=%s, clientId=%lld, "
                 "appId=%lld, srcAppId=%lld",
                 targetRecord.Device().c_str(), clientId, targetRecord.AppId(), sourceAppId);
    std::string targetFile;
    targetCache.GetBitmapFileName(targetFile);
    err = sourceCache.SaveBitmapToFile(targetFile);
    if (err.IsError())
      err.Push(FXCODELOC, "Failed merge and save bitmap, file=%s, volume=%s", targetFile.c_str(),
               targetRecord.Device().c_str());
    if (!err.IsError()) {
      log.DebugLvl(__FUNCTION__, 0,
                   "Merging source subclient JR bitmap with blr subclient cache bitmap, device=%s, clientId=%lld, "
                   "appId=%lld, srcAppId=%lld",
                   targetRecord.Device().c_str(), clientId, targetRecord.AppId(), sourceAppId);
      std::string jrFile;
      err = GetJRBitmapFileName(*source, jrFile);
      if (err.IsError()) err.Push(FXCODELOC, "Failed to get JR bitmap name, volume=%s", sourceDevice.c_str());
      if (!err.IsError() && jrFile.empty()) {
        // No job-results bitmap file is kept; an empty name names no file.
        log.DebugLvl(__FUNCTION__, 1, "No job-results bitmap file for device=%s, clientId=%lld, appId=%lld, skipped",
                     sourceDevice.c_str(), source->ClientId(), source->AppId());
      } else if (!err.IsError()) {
        err = targetCache.SaveBitmapToFile(jrFile);
        if (err.IsError())
          err.Push(FXCODELOC, "Failed merge and save bitmap, file=%s, volume=%s", jrFile.c_str(),
                   targetRecord.Device().c_str());
      }
    }
  }
  if (hookMade) {
    CQiError removed = sourceCache.DeleteHook();
    if (removed.IsError())
      log.DebugLvl(__FUNCTION__, -1,
                   "Failed to delete bitmap, next backup will be converted to full, device=%s, clientId=%lld, "
                   "appId=%lld, error=%s",
                   sourceDevice.c_str(), source->ClientId(), source->AppId(), removed.AsString().c_str());
  }
  return err;
}
