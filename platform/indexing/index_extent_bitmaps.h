#pragma once
// The simulated index's extent bitmaps: per application (VornCell id and
// application id) and component, the extents of the component that the
// index holds, as raw bitmap bytes (extent n in bit (n mod 8) of byte
// (n div 8)). Kept in the state database's `index_extent_bitmaps` table.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/state_db_failure.h"

namespace platform {

struct IndexExtentBitmapRecord {
  uint64_t cellId = 0;
  uint64_t appId = 0;
  std::string component;
  std::string bitmap;
};

// Replaces the component's bitmap; false when it cannot be stored.
bool PutIndexExtentBitmap(const IndexExtentBitmapRecord& record);
// The component's bitmap, nothing when there is none; done, or why it could
// not be read.
StateDbResult FindIndexExtentBitmap(uint64_t cellId, uint64_t appId, const std::string& component,
                                    std::optional<std::string>& bitmap);
// Every bitmap, by cell, application and component.
StateDbResult IndexExtentBitmaps(std::vector<IndexExtentBitmapRecord>& records);

}  // namespace platform
