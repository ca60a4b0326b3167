#pragma once
// The files a true-up's comparison reads, made without reading a device:
// per work unit of the volume's handler, the collect file its reader leaves
// (every extent of the unit with a hash of its number), and the index's
// table of the same extents.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/hashing/extent_name_converter.h"
#include "platform/sim/fs_util.h"
#include "scan/volume_true_up_handler.h"

// The units' collect files, in order.
inline std::vector<std::string> WriteTrueUpTables(const CVolumeTrueUpHandler& handler) {
  std::vector<std::string> collects;
  std::string index;
  char name[16] = {0};
  for (const CollectInfo& unit : handler.GetVolumeToCollectsMapping().begin()->second) {
    std::string text;
    const uint64_t first = unit.GetSubNegStartExt();
    for (uint64_t n = first; n < first + unit.GetSubNegBmpSize() * 8ull; ++n) {
      ExtentNameConverter::Extent_dec_to_base32_v2(n, name, 8);
      char hash[40];
      std::snprintf(hash, sizeof hash, "%032llx", static_cast<unsigned long long>(n * 2654435761ull));
      text.append(name).append("|").append(hash).append("\n");
    }
    index += text;
    platform::WriteFileAtomically(unit.GetCollect(), text);
    collects.push_back(unit.GetCollect());
  }
  platform::WriteFileAtomically(handler.GetVolTrueUpFolder() + "/VolIdxHash.kzf", index);
  return collects;
}
