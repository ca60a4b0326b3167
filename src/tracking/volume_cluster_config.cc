#include "tracking/volume_cluster_config.h"

#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/text/fx_string.h"

namespace {

// atoi's reading (leading number, else 0), but a value that does not fit an
// int reads as 0 instead of wrapping.
int ReadInt(const std::string& text) {
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  return value < INT_MIN || value > INT_MAX ? 0 : static_cast<int>(value);
}

}  // namespace

VolumeClusterConfig::VolumeClusterConfig(const std::string& line) {
  FXString text(line);
  if (text.MatchRight("\n")) text.RemoveRight(1);
  const std::vector<FXString> fields = text.Split('|');
  if (fields.size() != 4) return;
  MountPoint = fields[0];
  ExtentSize = ReadInt(fields[1].c_str());
  BitMapSize = ReadInt(fields[2].c_str());
  m_nDirty = ReadInt(fields[3].c_str());
  m_bValid = true;
}

std::string VolumeClusterConfig::Serialize() const {
  return FXString::Format("%s|%d|%d|%d\n", MountPoint.c_str(), ExtentSize, BitMapSize, m_nDirty);
}
