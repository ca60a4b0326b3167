#pragma once
// Content digests of a device's extents: what the simulated filter driver
// compares to tell which extents were written since its last baseline.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using ExtentDigest = std::array<unsigned char, 16>;

// Reads the whole device (block device or image file) with large aligned
// reads and digests each extent; the last extent may be short. Returns 0 or
// an errno; size is the device's size in bytes.
int DigestExtents(const std::string& device, uint64_t extentSize, std::vector<ExtentDigest>& digests,
                  uint64_t& size);

// The size in bytes of an open block device or regular file; 0 or an errno.
int DeviceSize(int fd, uint64_t& size);

}  // namespace platform
