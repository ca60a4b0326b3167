#pragma once
// The hash the volume readers give each extent: its MD5 digest as 32
// lower-case hexadecimal digits (GetGUID).
#include <string>

#include "platform/error/qi_error.h"

namespace scan {

// Fails (774) rather than hash a length the digest cannot take (beyond
// 2 GiB - 1) or when the digest fails, instead of handing on an empty hash.
CQiError ComputeExtentMd5(unsigned char* buffer, unsigned long long length, std::string& hash);

}  // namespace scan
