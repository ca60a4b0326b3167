#include "tracking/driver_cache_folder.h"

#include "platform/config/kz_client.h"
#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"

void KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(std::string& folder) {
  // An empty value would put the driver's files in the working directory of
  // whichever process asks: it counts as not set.
  if (KZPlatformInfo::getString("FileSystemAgent", "sKZBFSNAPPART", folder) != 0 && !folder.empty()) return;
  std::optional<std::string> product = KZPI_Base::getTarvosDirectory();
  if (!product) {
    EvDebug log;
    log.Error(__FUNCTION__, "Product directory is not configured; driver cache folder falls back to [/KZBF/cache]");
  }
  folder = product.value_or(std::string()) + "/KZBF/cache";
}
