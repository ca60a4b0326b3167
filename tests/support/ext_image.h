#pragma once
// ext4 image files for tests of code that reads a file system's allocation,
// made and inspected with e2fsprogs' own tools (no mount needed).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// Makes an image of sizeMiB holding the given files (name, bytes of
// non-zero, incompressible data). blockSize 0 lets mkfs.ext4 choose.
// Fails the test (and returns false) when a tool fails.
bool MakeExt4Image(const std::string& image, uint64_t sizeMiB,
                   const std::vector<std::pair<std::string, uint64_t>>& files, unsigned blockSize = 0);

// What dumpe2fs reports: the block size and, per block of the file system,
// whether it is in use (every block not listed as free).
struct ExtAllocation {
  uint64_t blockSize = 0;
  std::vector<bool> used;
};
bool ReadAllocation(const std::string& image, ExtAllocation& allocation);

// The allocated-extent bitmap those blocks give for an extent size: bit i set
// when any block of extent i is in use; extents cover deviceBytes.
std::vector<unsigned char> ExpectedExtentBitmap(const ExtAllocation& allocation, uint64_t extentSize,
                                                uint64_t deviceBytes);

}  // namespace testing_support
