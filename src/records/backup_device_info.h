#pragma once
// The geometry record of one block device under block-level backup, and the
// raw geometry a change-tracking strategy reports before the record is built.
//
// A record is written as one '|'-separated line to the job's
// device-configuration files, read back by the scan and by later jobs, and
// compared between jobs to detect a changed device.
#include <cstdint>
#include <string>

// Eight geometry values of a device; a strategy fills the first four, the
// device-configuration handler the sector and I/O sizes.
struct VolumeInfo {
  uint64_t ExtentSize = 0;
  uint64_t TotalBlocks = 0;
  uint64_t FSBlockSize = 0;
  uint64_t BitMapSize = 0;
  uint64_t LogSectorSz = 0;
  uint64_t PhySectorSz = 0;
  uint64_t IOMinSz = 0;
  uint64_t IOOptimalSz = 0;
};

class BackupDeviceInfo {
 public:
  // The version of records built by this library.
  static constexpr uint64_t kCurrentVersion = 1;
  // Blocks per extent of a record built for an unsupported device.
  static constexpr uint64_t kUnsupportedBlocksPerExtent = 4096;

  BackupDeviceInfo() = default;
  // A valid record; the derived values follow from the given ones.
  BackupDeviceInfo(bool isSupported, const std::string& sourceVolume, const std::string& sourceDevice,
                   const std::string& fsType, const std::string& mountOptions, const uint64_t& extentSize,
                   const uint64_t& totalBlocks, const uint64_t& fsBlockSize, const uint64_t& bitMapSize,
                   uint64_t logSectorSz = 0, uint64_t phySectorSz = 0, uint64_t ioMinSz = 0, uint64_t ioOptimalSz = 0,
                   uint64_t version = kCurrentVersion);
  // Parses one configuration line (9, 13 or 14 fields). A line with any other
  // field count gives a record that is neither valid nor supported.
  explicit BackupDeviceInfo(const std::string& line);

  BackupDeviceInfo(const BackupDeviceInfo&) = default;
  BackupDeviceInfo& operator=(const BackupDeviceInfo&) = default;

  // Valid and supported: the only records a reader hands on as devices.
  bool IsValid() const { return m_bValid && m_bIsSupported; }
  bool IsCXBFDevice() const { return m_bValid && m_bIsSupported; }
  // Whether the bitmap size gives each extent a bit, padded after the last
  // by no more than a driver's page rounding: a damaged record's bitmap must
  // neither leave extents out nor size allocations beyond the volume.
  bool BitmapFitsExtents() const;
  // The bytes a bitmap of one bit per extent needs; the bitmap size may be
  // larger, its bits past the extents standing for nothing.
  uint64_t ExtentBitmapBytes() const;
  // Built from values or parsed from a line of an accepted field count, even
  // when its geometry (a zero extent size) leaves it not valid.
  bool IsParsed() const { return m_bParsed; }

  // Each getter gives 0 or "" while the record is not valid (whether or not
  // the device is supported).
  const std::string& GetSourceVolName() const { return m_bValid ? m_sSourceVolume : m_sEmpty; }
  const std::string& GetSourceDeviceName() const { return m_bValid ? m_sSourceDevice : m_sEmpty; }
  const std::string& GetFSType() const { return m_bValid ? m_sFSType : m_sEmpty; }
  const std::string& GetMountOpts() const { return m_bValid ? m_sMountOptions : m_sEmpty; }
  uint64_t GetExtentSize() const { return m_bValid ? m_nExtentSize : 0; }
  uint64_t GetTotalBlocks() const { return m_bValid ? m_nTotalBlocks : 0; }
  uint64_t GetDiskSize() const { return m_bValid ? m_nDiskSize : 0; }
  uint64_t GetTotalExtents() const { return m_bValid ? m_nTotalExtents : 0; }
  uint64_t GetFSBlockSize() const { return m_bValid ? m_nFSBlockSize : 0; }
  uint64_t GetBitMapSize() const { return m_bValid ? m_nBitMapSize : 0; }
  uint64_t GetBlocksPerExtent() const { return m_bValid ? m_nBlocksPerExtent : 0; }
  uint64_t GetLogicalSectorSz() const { return m_bValid ? m_nLogSectorSz : 0; }
  uint64_t GetPhysicalSectorSz() const { return m_bValid ? m_nPhySectorSz : 0; }
  uint64_t GetIOMinimalSz() const { return m_bValid ? m_nIOMinSz : 0; }
  uint64_t GetIOOptimalSz() const { return m_bValid ? m_nIOOptimalSz : 0; }
  uint64_t GetVersion() const { return m_bValid ? m_nVersion : 0; }

  void SetVersion(uint64_t version) { m_nVersion = version; }

  // The file-system block size for "NTFS", "REFS" and "RAW" (any case), else 512.
  uint64_t GetBlockSize() const;

  // Same device geometry: the device path, sector and I/O sizes, version and
  // valid flag take no part.
  bool IsSame(const BackupDeviceInfo& other) const;

  // The configuration line (14 fields, no line end); raw fields are written
  // whether or not the record is valid.
  std::string Serialize() const;
  // The name of the first text field its line cannot carry (one holding '|',
  // a carriage return or a line feed would split the record, or the line, when
  // read back), or nullptr when the line reads back as this record.
  const char* FieldUnfitForLine() const;

 private:
  // Derives disk size, extent count and blocks per extent. A zero extent size
  // or block size (only in a damaged file) leaves them 0 and the record not
  // valid instead of dividing by zero.
  void ComputeDerived(bool fromLine);
  // Whether a parsed line's extent size, block count and bitmap size can
  // describe one volume.
  bool GeometryFitsTogether(uint64_t blockSize) const;

  bool m_bIsSupported = true;
  std::string m_sSourceVolume;
  std::string m_sSourceDevice;
  std::string m_sFSType;
  std::string m_sMountOptions;
  uint64_t m_nExtentSize = 0;
  uint64_t m_nTotalBlocks = 0;
  uint64_t m_nDiskSize = 0;
  uint64_t m_nTotalExtents = 0;
  uint64_t m_nFSBlockSize = 0;
  uint64_t m_nBitMapSize = 0;
  uint64_t m_nBlocksPerExtent = 0;
  uint64_t m_nLogSectorSz = 0;
  uint64_t m_nPhySectorSz = 0;
  uint64_t m_nIOMinSz = 0;
  uint64_t m_nIOOptimalSz = 0;
  uint64_t m_nVersion = kCurrentVersion;
  bool m_bValid = false;
  bool m_bParsed = false;
  std::string m_sEmpty;
};
