#include "records/backup_device_info.h"

#include <strings.h>

#include <cstdlib>
#include <limits>
#include <utility>

#include "platform/log/ev_debug.h"
#include "platform/text/fx_string.h"

namespace {

constexpr uint64_t kDefaultBlockSize = 512;

// The largest extent a line may give: the phases that read extents hold one
// in a buffer whose size is an int.
constexpr uint64_t kLargestExtentSize = std::numeric_limits<int>::max();

// The field counts of the three line generations: without sector and I/O
// sizes, with them, and with the version.
constexpr size_t kFieldsOldest = 9;
constexpr size_t kFieldsWithSectors = 13;
constexpr size_t kFieldsWithVersion = 14;

uint64_t ReadSigned(const std::string& field) {
  return static_cast<uint64_t>(std::strtoll(field.c_str(), nullptr, 0));
}

uint64_t ReadUnsigned(const std::string& field) {
  return std::strtoull(field.c_str(), nullptr, 0);
}

}  // namespace

BackupDeviceInfo::BackupDeviceInfo(bool isSupported, const std::string& sourceVolume, const std::string& sourceDevice,
                                   const std::string& fsType, const std::string& mountOptions,
                                   const uint64_t& extentSize, const uint64_t& totalBlocks, const uint64_t& fsBlockSize,
                                   const uint64_t& bitMapSize, uint64_t logSectorSz, uint64_t phySectorSz,
                                   uint64_t ioMinSz, uint64_t ioOptimalSz, uint64_t version)
    : m_bIsSupported(isSupported),
      m_sSourceVolume(sourceVolume),
      m_sSourceDevice(sourceDevice),
      m_sFSType(fsType),
      m_sMountOptions(mountOptions),
      m_nExtentSize(extentSize),
      m_nTotalBlocks(totalBlocks),
      m_nFSBlockSize(fsBlockSize),
      m_nBitMapSize(bitMapSize),
      m_nLogSectorSz(logSectorSz),
      m_nPhySectorSz(phySectorSz),
      m_nIOMinSz(ioMinSz),
      m_nIOOptimalSz(ioOptimalSz),
      m_nVersion(version),
      m_bParsed(true) {
  ComputeDerived(false);
}

BackupDeviceInfo::BackupDeviceInfo(const std::string& line) : m_bIsSupported(false), m_nVersion(0) {
  const std::vector<FXString> fields = FXString::Split(line, '|');
  const size_t count = fields.size();
  if (count != kFieldsOldest && count != kFieldsWithSectors && count != kFieldsWithVersion) return;
  m_bParsed = true;

  m_bIsSupported = fields[0] == "true";
  m_sSourceVolume = fields[1];
  m_sSourceDevice = fields[2];
  m_sFSType = fields[3];
  m_sMountOptions = fields[4];
  m_nExtentSize = ReadSigned(fields[5]);
  m_nTotalBlocks = ReadSigned(fields[6]);
  m_nFSBlockSize = ReadSigned(fields[7]);
  m_nBitMapSize = ReadSigned(fields[8]);
  if (count >= kFieldsWithSectors) {
    m_nLogSectorSz = ReadUnsigned(fields[9]);
    m_nPhySectorSz = ReadUnsigned(fields[10]);
    m_nIOMinSz = ReadUnsigned(fields[11]);
    m_nIOOptimalSz = ReadUnsigned(fields[12]);
  }
  if (count == kFieldsWithVersion) {
    m_nVersion = ReadUnsigned(fields[13]);
    EvDebug log;
    log.DebugLvl(__FUNCTION__, 0, "Previous BlockDeviceConfig version=%llu",
                 static_cast<unsigned long long>(m_nVersion));
  }
  ComputeDerived(true);
}

void BackupDeviceInfo::ComputeDerived(bool fromLine) {
  m_nDiskSize = 0;
  m_nTotalExtents = 0;
  m_nBlocksPerExtent = 0;
  m_bValid = false;
  const uint64_t blockSize = GetBlockSize();
  if (m_nExtentSize == 0 || blockSize == 0) {
    EvDebug log;
    log.Error(__FUNCTION__, "Invalid geometry for volume [%s]: extent size %llu, block size %llu",
              m_sSourceVolume.c_str(), static_cast<unsigned long long>(m_nExtentSize),
              static_cast<unsigned long long>(blockSize));
    return;
  }
  m_nDiskSize = m_nTotalBlocks * blockSize;
  m_nTotalExtents = m_nDiskSize / m_nExtentSize + (m_nDiskSize % m_nExtentSize != 0 ? 1 : 0);
  m_nBlocksPerExtent = (fromLine || m_bIsSupported) ? m_nExtentSize / blockSize : kUnsupportedBlocksPerExtent;
  m_bValid = !fromLine || GeometryFitsTogether(blockSize);
  if (!m_bValid) {
    m_nDiskSize = 0;
    m_nTotalExtents = 0;
    m_nBlocksPerExtent = 0;
  }
}

bool BackupDeviceInfo::GeometryFitsTogether(uint64_t blockSize) const {
  // A line read back sizes every bitmap and read buffer of the later phases:
  // a damaged one must not ask for an allocation beyond reason, wrap the disk
  // size, or have a bitmap with fewer bits than the volume has extents (the
  // extents past its end would never be listed).
  const char* unfit = nullptr;
  if (m_nExtentSize > kLargestExtentSize)
    unfit = "extent size";
  else if (m_nTotalBlocks > std::numeric_limits<uint64_t>::max() / blockSize)
    unfit = "total blocks";
  if (unfit == nullptr) return true;
  EvDebug log;
  log.Error(__FUNCTION__,
            "Invalid geometry for volume [%s]: %s does not fit (extent size %llu, total blocks %llu, block size %llu, "
            "bitmap size %llu)",
            m_sSourceVolume.c_str(), unfit, static_cast<unsigned long long>(m_nExtentSize),
            static_cast<unsigned long long>(m_nTotalBlocks), static_cast<unsigned long long>(blockSize),
            static_cast<unsigned long long>(m_nBitMapSize));
  return false;
}

uint64_t BackupDeviceInfo::ExtentBitmapBytes() const {
  return GetTotalExtents() / 8 + (GetTotalExtents() % 8 != 0 ? 1 : 0);
}

bool BackupDeviceInfo::BitmapFitsExtents() const {
  // A driver that reports its own bitmap size (CXBF) may have sized it in
  // whole pages of its machine: up to the next multiple of the largest page
  // size is rounding, beyond it a damaged size.
  constexpr uint64_t kLargestPageBytes = 64 << 10;
  const uint64_t needed = ExtentBitmapBytes();
  const uint64_t pages = needed / kLargestPageBytes + (needed % kLargestPageBytes != 0 || needed == 0 ? 1 : 0);
  return m_bValid && GetBitMapSize() >= needed && GetBitMapSize() <= pages * kLargestPageBytes;
}

uint64_t BackupDeviceInfo::GetBlockSize() const {
  const char* type = m_sFSType.c_str();
  if (::strcasecmp(type, "NTFS") == 0 || ::strcasecmp(type, "REFS") == 0 || ::strcasecmp(type, "RAW") == 0)
    return m_nFSBlockSize;
  return kDefaultBlockSize;
}

bool BackupDeviceInfo::IsSame(const BackupDeviceInfo& other) const {
  return m_bIsSupported == other.m_bIsSupported && m_sSourceVolume == other.m_sSourceVolume &&
         m_sFSType == other.m_sFSType && m_sMountOptions == other.m_sMountOptions &&
         m_nExtentSize == other.m_nExtentSize && m_nTotalBlocks == other.m_nTotalBlocks &&
         m_nTotalExtents == other.m_nTotalExtents && m_nFSBlockSize == other.m_nFSBlockSize &&
         m_nBitMapSize == other.m_nBitMapSize && m_nDiskSize == other.m_nDiskSize &&
         m_nBlocksPerExtent == other.m_nBlocksPerExtent;
}

std::string BackupDeviceInfo::Serialize() const {
  return FXString::Format("%s|%s|%s|%s|%s|%lld|%lld|%lld|%lld|%llu|%llu|%llu|%llu|%llu",
                          m_bIsSupported ? "true" : "false", m_sSourceVolume.c_str(), m_sSourceDevice.c_str(),
                          m_sFSType.c_str(), m_sMountOptions.c_str(), static_cast<long long>(m_nExtentSize),
                          static_cast<long long>(m_nTotalBlocks), static_cast<long long>(m_nFSBlockSize),
                          static_cast<long long>(m_nBitMapSize), static_cast<unsigned long long>(m_nLogSectorSz),
                          static_cast<unsigned long long>(m_nPhySectorSz), static_cast<unsigned long long>(m_nIOMinSz),
                          static_cast<unsigned long long>(m_nIOOptimalSz), static_cast<unsigned long long>(m_nVersion));
}

const char* BackupDeviceInfo::FieldUnfitForLine() const {
  const std::pair<const char*, const std::string*> texts[] = {{"SourceVolume", &m_sSourceVolume},
                                                              {"SourceDevice", &m_sSourceDevice},
                                                              {"FSType", &m_sFSType},
                                                              {"MountOptions", &m_sMountOptions}};
  for (const auto& [name, text] : texts)
    if (text->find_first_of("|\r\n") != std::string::npos) return name;
  return nullptr;
}
