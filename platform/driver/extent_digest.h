#pragma once
// Content digests of a device's extents: what the simulated filter driver
// compares to tell which extents were written since its last baseline.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

using ExtentDigest = std::array<unsigned char, 16>;

// Reads the whole device (block device or image file) with large aligned
// reads and digests each extent; the last extent may be short. Returns 0 or
// an errno; size is the device's size in bytes.
int DigestExtents(const std::string& device, uint64_t extentSize, std::vector<ExtentDigest>& digests,
                  uint64_t& size);

// Reads the whole device in order, handing each piece to consume: a block
// device past its page cache (O_DIRECT, large aligned reads), so what a
// mounted file system or a loop device's backing file wrote is what is read;
// an image file as it is. size is the device's size in bytes. Returns 0, an
// errno, or the first non-zero result of consume.
int ReadDevice(const std::string& device, uint64_t& size,
               const std::function<int(const unsigned char* data, size_t length)>& consume);

// The size in bytes of an open block device or regular file; 0 or an errno.
int DeviceSize(int fd, uint64_t& size);

}  // namespace platform
