#include "tracking/configured_extent_size.h"

#include "platform/log/ev_debug.h"
#include "platform/registry/kz_platform_info.h"

namespace tracking {

uint64_t ConfiguredExtentSize() {
  unsigned long long mebibytes = 0;
  if (!KZPlatformInfo::getNumber("FileSystemAgent", "nExtentSizeForBlockFilterDriver", &mebibytes) || mebibytes == 0)
    return kDefaultExtentSize;
  if (mebibytes > kLargestExtentSizeMiB) {
    EvDebug log;
    log.Error(__FUNCTION__, "nExtentSizeForBlockFilterDriver=%llu MiB is larger than %llu MiB, using %llu bytes",
              mebibytes, static_cast<unsigned long long>(kLargestExtentSizeMiB),
              static_cast<unsigned long long>(kDefaultExtentSize));
    return kDefaultExtentSize;
  }
  return mebibytes << 20;
}

uint64_t BitmapBytes(uint64_t deviceBytes, uint64_t extentSize) {
  const uint64_t extents = deviceBytes / extentSize + (deviceBytes % extentSize != 0 ? 1 : 0);
  return extents / 8 + (extents % 8 != 0 ? 1 : 0);
}

}  // namespace tracking
