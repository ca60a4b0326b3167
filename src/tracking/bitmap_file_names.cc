// Names of per-volume and cumulative bitmap files. The same mount path (or
// zfs device) always gives the same name, so a bitmap written by one job, by
// fail-over or by a merge is found again by the next.
#include "platform/guid/guid_factory.h"
#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

const char kRootVolumeSuffix[] = "KzFakeStringForVolumeRootBlockLevel";

void LogName(const char* function, const std::string& mountPath, const std::string& device, const std::string& fsType,
             const std::string& key, const std::string& name) {
  EvDebug log;
  log.DebugLvl(function, 1, " -BlockLevel- MountPath=[%s] Device=[%s] FSType=[%s] GUID=[%s], BitMapFileName=[%s]",
               mountPath.c_str(), device.c_str(), fsType.c_str(), key.c_str(), name.c_str());
}

}  // namespace

void VolumeBitMapHelper::GenerateBitmapFileName(const std::string& mountPath, const std::string& directory,
                                                std::string& name, const std::string& device,
                                                const std::string& fsType) {
  const std::string key = CGuidFactory::get_guid_nosalt(fsType == "zfs" ? device : mountPath);
  name = directory;
  if (name.empty() || name.back() != '/') name += "/";
  name += key + ".bmp";
  LogName(__FUNCTION__, mountPath, device, fsType, key, name);
}

void VolumeBitMapHelper::GetCumulativeBmpVolumeName(const std::string& mountPath, const std::string& device,
                                                    const std::string& fsType, std::string& name) {
  if (fsType == "zfs") {
    name = GetObjectGuid(device, 0, '/');
    return;
  }
  std::string volume = mountPath;
  if (volume == "/") volume += kRootVolumeSuffix;
  name = GetObjectGuid(volume, 0, '/');
}

void VolumeBitMapHelper::GenerateCumulativeBitmapFileName(const std::string& mountPath, const std::string& directory,
                                                          std::string& name, const std::string& device,
                                                          const std::string& fsType, bool) {
  std::string key;
  GetCumulativeBmpVolumeName(mountPath, device, fsType, key);
  name = FXPath::Append(directory, key + "_CumulativeV2.bmp");
  LogName(__FUNCTION__, mountPath, device, fsType, key, name);
}
