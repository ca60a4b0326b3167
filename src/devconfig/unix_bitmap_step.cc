// Handing a volume to its change-tracking strategy: the bitmap step before
// and after the snapshot, whether a device can be backed up at block level,
// the volume's bitmap file for the scan, and the real device under a CXBF
// pseudo-device.
#include <sys/stat.h>

#include <climits>
#include <cstdlib>

#include "blocklevel/blocklevel.h"
#include "devconfig/job_bitmap_marks.h"
#include "devconfig/kz_device_config_handler_unix.h"
#include "library/entry_guard.h"
#include "platform/fs/fx_file.h"
#include "platform/log/ev_debug.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

const char* PhaseName(eSnapState state) {
  return state == SNAP_STATE_PRE ? "PRE_SNAP" : "POST_SNAP";
}

}  // namespace

CQiError KzDeviceConfigHandler_UNIX::HandleBitMap(SMVolBlock& volume, const KZBkpLevel& level, eSnapState state) {
  EvDebug log;
  if (volume.sDevice.empty() || volume.sVolume.empty())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Empty device or volume name passed");
  log.DebugLvl(__FUNCTION__, 3, "Called for device [%s] job_type=%d %s", volume.sDevice.c_str(),
               static_cast<int>(level), state == SNAP_STATE_PRE ? "Pre Snap" : "Post Snap");
  if (level != KZ_BKP_LEVEL_FULL && level != KZ_BKP_LEVEL_INCREMENTAL)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Invalid BackupType, only FULL and INCR supported.");
  if (state != SNAP_STATE_PRE && state != SNAP_STATE_POST)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Invalid Snap state passed.");

  VolumeBitMapHelper::eDeviceType_t type = VolumeBitMapHelper::eDeviceType_NONE;
  boost::shared_ptr<VolumeBitMapHelper> strategy = VolumeBitMapHelper::GetVolumeHandlerInstance(volume.sDevice, type);
  if (!strategy)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to create volume handler for device=[%s]",
                                   volume.sDevice.c_str());
  if (type == VolumeBitMapHelper::eDeviceType_NONE)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 38, "%s not a supported device", volume.sDevice.c_str());

  BackupDeviceInfo device;
  CQiError error = GetDeviceConfigForVolume(volume.sVolume, device, volume.sDevice);
  if (error.IsError()) return error.Push(FXCODELOC);
  // The strategies take the extent size as an int: a record that does not
  // fit one would have them cut the device into the wrong extents.
  if (device.GetExtentSize() == 0 || device.GetExtentSize() > static_cast<uint64_t>(INT_MAX))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 22, "Extent size %llu of device=[%s] is out of range",
                                   static_cast<unsigned long long>(device.GetExtentSize()), volume.sDevice.c_str());
  std::string path;
  VolumeBitMapHelper::GenerateBitmapFileName(device.GetSourceVolName(), m_oUnixJobInfo.GetJobResultsDir(), path,
                                             device.GetSourceDeviceName(), device.GetFSType());
  const unsigned long bitmapSize = device.GetBitMapSize();
  const int extentSize = static_cast<int>(device.GetExtentSize());
  const bool preSnap = state == SNAP_STATE_PRE;
  if (preSnap) {
    error = devconfig::MarkBitmapForJob(path, devconfig::JobKeyOf(m_oUnixJobInfo));
    if (error.IsError()) return error.Push(FXCODELOC);
  }
  if (level == KZ_BKP_LEVEL_FULL || volume.bForceFull) {
    log.DebugLvl(__FUNCTION__, 3, "FULL block level job processing bitmap file [%s] during [%s]", path.c_str(),
                 PhaseName(state));
    error = strategy->FullBitMapFormalities(volume, path, bitmapSize, extentSize, preSnap);
  } else {
    log.DebugLvl(__FUNCTION__, 3, "INCR block level job processing bitmap file [%s] during [%s]", path.c_str(),
                 PhaseName(state));
    error = strategy->IncrBitMapFormalities(volume, path, bitmapSize, extentSize, preSnap);
  }
  if (error.IsError()) return error.Push(FXCODELOC);
  if (!preSnap) m_vFileList.push_back(path.substr(path.rfind('/') + 1));
  return CQiError();
}

bool KzDeviceConfigHandler_UNIX::IsSupportedDevice(const std::string& deviceName) {
  EvDebug log;
  log.DebugLvl(__FUNCTION__, 0, "Probing volume[%s] for block level support", deviceName.c_str());
  struct stat info;
  if (CQiUTFOSAPI::stat(deviceName.c_str(), &info) != 0) return false;
  if (!S_ISBLK(info.st_mode)) {
    log.Error(__FUNCTION__, "Volume[%s] is not a block device", deviceName.c_str());
    return false;
  }
  switch (VolumeBitMapHelper::GetDeviceHandlerType(deviceName)) {
    case VolumeBitMapHelper::eDeviceType_BLOCKLEVEL_DRIVERLESS:
      log.DebugLvl(__FUNCTION__, 1, "Using DRIVERLESS for Device=[%s]", deviceName.c_str());
      return true;
    case VolumeBitMapHelper::eDeviceType_CXBF:
      log.DebugLvl(__FUNCTION__, 1, "Using CXBF for Device=[%s]", deviceName.c_str());
      return true;
    case VolumeBitMapHelper::eDeviceType_KZBF:
      log.DebugLvl(__FUNCTION__, 1, "Using KZBF for Device=[%s]", deviceName.c_str());
      return true;
    case VolumeBitMapHelper::eDeviceType_NONE:
      break;
  }
  return false;
}

CQiError KzDeviceConfigHandler_UNIX::GetBitMapInfo(const std::string& volume, unsigned char*& bitmap,
                                                   unsigned long& size, unsigned char& flags) {
  EvDebug log;
  if (m_mCurrentDevices.empty()) return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Device config not read from disk yet.");
  DeviceMap::const_iterator found = m_mCurrentDevices.find(volume);
  const BackupDeviceInfo* device = found != m_mCurrentDevices.end() ? &found->second : FirstExtensionEntry(volume);
  if (device == nullptr)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Device config not found for '%s'", volume.c_str());
  size = device->GetBitMapSize();
  std::string path;
  VolumeBitMapHelper::GenerateBitmapFileName(volume, m_oUnixJobInfo.GetJobResultsDir(), path,
                                             device->GetSourceDeviceName(), device->GetFSType());
  flags = 0;
  log.DebugLvl(__FUNCTION__, 3, "Reading bitmap file [%s] from disk", path.c_str());
  CQiError error = VolumeBitMapHelper::ReadBitMapFromFile(path, &bitmap, size);
  if (error.IsError()) return error.Push(FXCODELOC);
  return error;
}

extern "C" CQiError GetUnderLyingDeviceIfCXBF(const std::string& device, std::string& realDevice) {
  return blocklevel::GuardEntryPoint(__FUNCTION__, [&]() -> CQiError {
    realDevice = device;
    VolumeBitMapHelper::eDeviceType_t type = VolumeBitMapHelper::eDeviceType_NONE;
    boost::shared_ptr<VolumeBitMapHelper> strategy = VolumeBitMapHelper::GetVolumeHandlerInstance(device, type);
    if (strategy) {
      CQiError error = strategy->GetUnderlyingDevice(device, realDevice);
      if (error.IsError()) return error.Push(FXCODELOC);
      return error;
    }
    if (type != VolumeBitMapHelper::eDeviceType_NONE)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, 12, "Could not get device handler for device=[%s]", device.c_str());
    return FXErrorUtil::ErrorErrNo(FXCODELOC, 38, "Device=[%s] not currently suppported", device.c_str());
  });
}
