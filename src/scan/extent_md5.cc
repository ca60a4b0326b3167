#include "scan/extent_md5.h"

#include <climits>

#include "platform/hashing/get_guid.h"

namespace scan {

CQiError ComputeExtentMd5(unsigned char* buffer, unsigned long long length, std::string& hash) {
  if (length > static_cast<unsigned long long>(INT_MAX))
    return FXErrorUtil::ErrorWin32(FXCODELOC, 774, "Extent of %llu bytes is too long to hash", length);
  if (!GetGUID(buffer, static_cast<int>(length), hash))
    return FXErrorUtil::ErrorWin32(FXCODELOC, 774, "Failed to compute the MD5 digest of %llu bytes", length);
  return CQiError();
}

}  // namespace scan
