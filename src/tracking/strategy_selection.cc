// Which change-tracking strategy a device gets, and the factory of the
// strategies' objects.
#include <new>

#include "platform/cxbf/kz_volume.h"
#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"
#include "tracking/volume_bitmap_helper.h"
#include "tracking/volume_bitmap_helper_cxbf.h"
#include "tracking/volume_bitmap_helper_driverless.h"
#include "tracking/volume_bitmap_helper_kzbf.h"

VolumeBitMapHelper::eDeviceType_t VolumeBitMapHelper::GetDeviceHandlerType(const std::string& device) {
  unsigned long long driverLess = 0;
  if (KZPlatformInfo::getNumber("FileSystemAgent", "nEnableDriverLessForBlockLevel", &driverLess) && driverLess != 0) {
    EvDebug log;
    log.DebugLvl(__FUNCTION__, 0,
                 "*********************** DRIVER LESS SUPPORT ENABLED FOR BLOCK LEVEL ******************");
    return eDeviceType_BLOCKLEVEL_DRIVERLESS;
  }
  if (KZVolume::isCXBFDevice(device)) return eDeviceType_CXBF;
  if (VolumeBitMapHelper_KZBF::IsKZBFDriverAvailable()) return eDeviceType_KZBF;
  return eDeviceType_NONE;
}

boost::shared_ptr<VolumeBitMapHelper> VolumeBitMapHelper::GetVolumeHandlerInstance(const std::string& device,
                                                                                   eDeviceType_t& type) {
  type = GetDeviceHandlerType(device);
  switch (type) {
    case eDeviceType_CXBF:
      return VolumeBitMapHelper_CXBF::GetVolumeHandler();
    case eDeviceType_KZBF:
      return VolumeBitMapHelper_KZBF::GetVolumeHandler();
    case eDeviceType_BLOCKLEVEL_DRIVERLESS:
      return VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS::GetVolumeHandler();
    case eDeviceType_NONE:
      break;
  }
  return boost::shared_ptr<VolumeBitMapHelper>();
}

VolumeBitMapHelper* VolumeBitMapHelper::GetVolumeHandler(const std::string& device, eDeviceType_t& type) {
  type = GetDeviceHandlerType(device);
  switch (type) {
    case eDeviceType_CXBF:
      return new (std::nothrow) VolumeBitMapHelper_CXBF();
    case eDeviceType_KZBF:
      return new (std::nothrow) VolumeBitMapHelper_KZBF();
    case eDeviceType_BLOCKLEVEL_DRIVERLESS:
      return new (std::nothrow) VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS();
    case eDeviceType_NONE:
      break;
  }
  return nullptr;
}
