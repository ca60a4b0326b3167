// The shared-device bitmap handler's side of a cluster fail-over: the
// registrations of the cluster's virtual clients travel with their volumes
// from the node that stops tracking them to the node that starts, and the
// devices a start could leave with only this node's changes go full.
#include <set>

#include "platform/config/kz_client.h"
#include "platform/log/ev_debug.h"
#include "records/file_replacement.h"
#include "tracking/block_level_bitmap_handler.h"
#include "tracking/fx_name_mutex_wrapper.h"

CQiError CBlockLevelBitmapHandler::HandleClusterStopForUNIX(const std::list<std::string>& volumeKeys,
                                                            std::list<VolumeConfig>& records) {
  tracking::LockedOperation operation(__FUNCTION__);
  CQiError err = BeginLocked(operation);
  if (!err.IsError()) err = m_pVolumeList->Load();
  if (err.IsError()) return err.Push(FXCODELOC);

  const std::set<std::string> keys(volumeKeys.begin(), volumeKeys.end());
  for (const VolumeConfig& record : m_pVolumeList->GetList()) {
    bool isVirtual = false;
    const int checked = ClientProperties(static_cast<uint64_t>(record.ClientId())).isVirtualClient(isVirtual, nullptr);
    if (checked != 0)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, checked, "Failed to check virtual client or not, clientId=%lld, err=%d",
                                     record.ClientId(), checked);
    if (isVirtual && keys.count(record.DeviceId()) != 0) records.push_back(record);
  }
  return CQiError();
}

CQiError CBlockLevelBitmapHandler::HandleClusterStartForUNIX(std::list<VolumeConfig>& records,
                                                             const std::map<std::string, std::string>& deviceOfKey) {
  tracking::LockedOperation operation(__FUNCTION__);
  CQiError err = BeginLocked(operation);
  if (!err.IsError()) err = m_pVolumeList->Load();
  if (err.IsError()) return err.Push(FXCODELOC);

  EvDebug log;
  bool changed = false;
  for (VolumeConfig& record : records) {
    VolumeConfig held;
    CQiError found =
        m_pVolumeList->Get(record.VornCellId(), record.ClientId(), record.AppId(), record.DeviceId(), held);
    if (!found.IsError()) continue;  // this node tracks it already
    if (!FXErrorUtil::IsWin32(found, 1168)) {
      log.DebugLvl(__FUNCTION__, -1, "Failed to check system cache, device config=%s, error=%s",
                   record.Serialize().c_str(), found.AsString().c_str());
      continue;
    }
    auto device = deviceOfKey.find(record.DeviceId());
    if (device == deviceOfKey.end()) {
      log.DebugLvl(__FUNCTION__, -1, "Failed to find associated device for deviceId=%s", record.DeviceId().c_str());
      continue;
    }
    record.SetDevice(device->second);
    log.DebugLvl(__FUNCTION__, 0, "Adding config [%s] to the local cache", record.Serialize().c_str());
    CQiError added = m_pVolumeList->Add(record, false);
    if (added.IsError())
      log.DebugLvl(__FUNCTION__, -1,
                   "Failed to add device to system cache, backup for this subclient volume will run as full, "
                   "device=%s, error=%s",
                   device->second.c_str(), added.AsString().c_str());
    else
      changed = true;
  }
  if (!changed) return CQiError();
  err = m_pVolumeList->Save();
  if (err.IsError())
    return err.Push(FXCODELOC, "Failed to save new volume config list in the cache, err=%s", err.AsString().c_str());
  return err;
}

CQiError CBlockLevelBitmapHandler::HookDevicesForFullBackup(const std::set<std::string>& deviceIds,
                                                            std::set<std::string>& hooked) {
  tracking::LockedOperation operation(__FUNCTION__);
  CQiError err = BeginLocked(operation);
  if (!err.IsError()) err = MakeDriverHooks(deviceIds, hooked);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CBlockLevelBitmapHandler::HookRegisteredDevicesForFullBackup(std::list<VolumeConfig>& registered,
                                                                      std::set<std::string>& hooked) {
  tracking::LockedOperation operation(__FUNCTION__);
  CQiError err = BeginLocked(operation);
  if (!err.IsError()) err = m_pVolumeList->Load();
  if (err.IsError()) return err.Push(FXCODELOC);
  registered = m_pVolumeList->GetList();
  std::set<std::string> deviceIds;
  for (const VolumeConfig& record : registered) deviceIds.insert(record.DeviceId());
  err = MakeDriverHooks(deviceIds, hooked);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CBlockLevelBitmapHandler::MakeDriverHooks(const std::set<std::string>& deviceIds,
                                                   std::set<std::string>& hooked) {
  EvDebug log;
  CQiError failed;
  std::set<std::string> made;
  for (const std::string& deviceId : deviceIds) {
    bool existed = false;
    CQiError creation = m_pDriverCache->CreateHook(deviceId, existed);
    if (creation.IsError()) {
      if (!failed.IsError()) failed = creation;
      continue;
    }
    made.insert(deviceId);
  }
  // A hook whose name may not outlive a power loss marks nothing.
  CQiError synced = records::SyncFolder(m_pDriverCache->Folder());
  if (!synced.IsError()) {
    for (const std::string& deviceId : made)
      log.DebugLvl(__FUNCTION__, 0, "The next backup of deviceId=%s will be full", deviceId.c_str());
    hooked.insert(made.begin(), made.end());
  }
  if (failed.IsError()) return failed.Push(FXCODELOC);
  if (synced.IsError()) return synced.Push(FXCODELOC);
  return synced;
}

CQiError CBlockLevelBitmapHandler::HandleClusterStart() {
  return CQiError();
}

CQiError CBlockLevelBitmapHandler::GetNewClusterVolumes(std::list<VolumeConfig>& /*volumes*/) {
  return CQiError();
}
