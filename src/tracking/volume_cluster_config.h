#pragma once
// VolumeClusterConfig: one volume of the attached-volume list, with its line
// "<mount point>|<extent size>|<bitmap size>|<dirty>\n".
#include <string>

class VolumeClusterConfig {
 public:
  VolumeClusterConfig() = default;
  VolumeClusterConfig(const std::string& mountPoint, int extentSize, int bitMapSize)
      : MountPoint(mountPoint), BitMapSize(bitMapSize), ExtentSize(extentSize), m_bValid(true) {}
  // Parses a line; valid only when it holds exactly four fields.
  explicit VolumeClusterConfig(const std::string& line);

  const std::string& GetMountPoint() const { return MountPoint; }
  int GetExtentSize() const { return ExtentSize; }
  int GetBitMapSize() const { return BitMapSize; }
  bool IsValid() const { return m_bValid; }
  // Set when tracking started on this node without the bitmap the previous
  // node left behind: the driver's records for the volume are incomplete.
  bool IsDirty() const { return m_nDirty != 0; }
  void SetDirty() { m_nDirty = 1; }
  void UnSetDirty() { m_nDirty = 0; }

  std::string Serialize() const;
  // Mount point, extent size and bitmap size; the flags do not count.
  bool operator==(const VolumeClusterConfig& other) const {
    return MountPoint == other.MountPoint && ExtentSize == other.ExtentSize && BitMapSize == other.BitMapSize;
  }
  bool operator!=(const VolumeClusterConfig& other) const { return !(*this == other); }

  std::string MountPoint;
  int BitMapSize = 0;
  int ExtentSize = 0;

 private:
  bool m_bValid = false;
  int m_nDirty = 0;
};
