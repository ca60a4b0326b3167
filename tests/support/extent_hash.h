#pragma once
// Extents of a device as the tests check a job's reads of them: the bytes,
// their MD5 as the backup's hash files hold it, and the extents a file
// system uses.
#include <cstdint>
#include <set>
#include <string>

namespace testing_support {

// The MD5 of the bytes, in lower-case hex.
std::string Md5Hex(const std::string& bytes);

// Extent `extent` of the device, zero-padded past the device's end.
std::string ReadExtent(const std::string& device, uint64_t extent, uint64_t extentSize);

// The extents of an ext2/3/4 image that hold a block its file system uses.
std::set<uint64_t> ExtentsInUse(const std::string& image, uint64_t extentSize, uint64_t deviceSize);

}  // namespace testing_support
