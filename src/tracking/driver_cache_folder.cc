#include "tracking/driver_cache_folder.h"

#include "platform/config/kz_client.h"
#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"

namespace {

// Whether a product directory that KZPI_Base did not give is one the registry
// could not give: its read failed, or a value is there all the same. Only a
// value not set (or set empty) makes the folder at the machine's root right.
bool ProductDirectoryUnknown() {
  std::string directory;
  const int read = KZPlatformInfo::readString("Base", "dTARVOSHOME", directory);
  return read < 0 || (read > 0 && !directory.empty());
}

}  // namespace

void KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(std::string& folder) {
  EvDebug log;
  std::string configured;
  const int read = KZPlatformInfo::readString("FileSystemAgent", "sKZBFSNAPPART", configured);
  // A folder chosen from a read that failed holds another list and other
  // hooks than the ones the next step finds: no folder, which every caller
  // refuses.
  if (read < 0) {
    log.Error(__FUNCTION__, "Failed to read [FileSystemAgent] sKZBFSNAPPART, the driver cache folder is not known");
    folder.clear();
    return;
  }
  // An empty value would put the driver's files in the working directory of
  // whichever process asks: it counts as not set.
  if (read > 0 && !configured.empty()) {
    folder = configured;
    return;
  }
  std::optional<std::string> product = KZPI_Base::getTarvosDirectory();
  if (!product && ProductDirectoryUnknown()) {
    log.Error(__FUNCTION__, "Failed to read the product directory, the driver cache folder is not known");
    folder.clear();
    return;
  }
  if (!product)
    log.Error(__FUNCTION__, "Product directory is not configured; driver cache folder falls back to [/KZBF/cache]");
  folder = product.value_or(std::string()) + "/KZBF/cache";
}
