#pragma once
// The extent size the agent is configured to track devices with:
// "FileSystemAgent"/"nExtentSizeForBlockFilterDriver", in MiB.
#include <cstdint>

namespace tracking {

constexpr uint64_t kDefaultExtentSize = 4ULL << 20;
// The largest setting whose byte count still fits a positive 32-bit extent
// size, as the drivers take it.
constexpr uint64_t kLargestExtentSizeMiB = 2047;

// Missing or 0: 4 MiB. 1 to 2047: that many MiB. More: an error is logged and
// 4 MiB applies, since no driver can track with it.
uint64_t ConfiguredExtentSize();

// The byte size of a device's changed-extent bitmap: one bit per extent, a
// last partial extent counted. extentSize must not be 0.
uint64_t BitmapBytes(uint64_t deviceBytes, uint64_t extentSize);

}  // namespace tracking
