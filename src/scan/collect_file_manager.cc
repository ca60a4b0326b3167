// The manager's life, its helpers and the true-up's entry and exit.
#include "scan/collect_file_manager.h"

#include <new>

#include "devconfig/kz_device_config_handler.h"
#include "platform/log/ev_debug.h"
#include "scan/config_handler_source.h"
#include "scan/cumulative_bitmap_helper.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

constexpr unsigned kErrorOutOfMemory = 14;

}  // namespace

ExtentNameConverter CollectFileManager::s_oExtentNameConverter;

CollectFileManager::CollectFileManager(TarvosJobInfo& job, int clientId, int)
    : m_oJobInfo(job), m_nClientId(clientId), m_pConfigHandler(scan::MakeDeviceConfigHandler(m_oJobInfo)) {}

CollectFileManager::~CollectFileManager() = default;

CQiError CollectFileManager::InitCumBmpHelper() {
  m_pCumBmpHelper.reset(new (std::nothrow) CCumulativeBitmapHelper(
      m_oJobInfo, m_oJobInfo.GetJobResultsDir(), static_cast<unsigned int>(m_nClientId), m_nLastJobId));
  if (!m_pCumBmpHelper)
    return FXErrorUtil::ErrorWin32(FXCODELOC, kErrorOutOfMemory, "Failed to init cumulative bitmap helper");
  CQiError err = m_pCumBmpHelper->Initialize(m_mComponentIds);
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

unsigned char* CollectFileManager::VolumeBitmap(const std::string& volume, int index) const {
  auto found = m_mVolumeBitmaps.find(volume);
  if (found == m_mVolumeBitmaps.end() || !found->second) return nullptr;
  return (*found->second)[index];
}

CQiError CollectFileManager::LookUpDevice(const std::string& volume, BackupDeviceInfo& device) {
  if (!m_pConfigHandler) return CQiError();
  CQiError err = m_pConfigHandler->GetDeviceConfigForVolume(volume, device, "");
  if (err.IsError()) return err.Push(FXCODELOC);
  return err;
}

CQiError CollectFileManager::PrepareForTrueUpJob(const std::list<ScanObjects_t>& scanObjects) {
  for (const ScanObjects_t& scan : scanObjects) {
    BackupDeviceInfo device;
    CQiError err = LookUpDevice(scan.sVolume, device);
    if (err.IsError()) return err.Push(FXCODELOC);
    m_vTrueUpVolumes.push_back(TrueUpVolInfo(scan.sSnapDevice, device, m_mVolumeBitmaps[scan.sVolume]));
  }
  return CQiError();
}

CQiError CollectFileManager::MergeTrueUpBitmaps(const std::list<ScanObjects_t>& scanObjects) {
  EvDebug log;
  for (const ScanObjects_t& scan : scanObjects) {
    log.DebugLvl(__FUNCTION__, 3, "Merging TrueUp bitmap into driver's for volume=%s", scan.sVolume.c_str());
    BackupDeviceInfo device;
    CQiError err = LookUpDevice(scan.sVolume, device);
    if (err.IsError()) return err.Push(FXCODELOC);
    err = VolumeBitMapHelper::MergeBitMaps(VolumeBitmap(scan.sVolume, TrueUpVolInfo::VolumeBitmaps::kChange),
                                           VolumeBitmap(scan.sVolume, TrueUpVolInfo::VolumeBitmaps::kTrueUp),
                                           device.GetBitMapSize());
    if (err.IsError()) return err.Push(FXCODELOC);
  }
  return CQiError();
}

CQiError CollectFileManager::NumberOfStreamsToBeReserved(int&) {
  return CQiError();
}
