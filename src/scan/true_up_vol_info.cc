#include "scan/true_up_vol_info.h"

#include <cstdlib>

TrueUpVolInfo::VolumeBitmaps::~VolumeBitmaps() {
  for (int i = 0; i < kCount; ++i) Reset(i, nullptr);
}

unsigned char* TrueUpVolInfo::VolumeBitmaps::Allocate(uint64_t bytes) {
  return static_cast<unsigned char*>(std::calloc(bytes > 0 ? bytes : 1, 1));
}

void TrueUpVolInfo::VolumeBitmaps::Reset(int index, unsigned char* bitmap) {
  if (m_pBitmaps[index] != bitmap) std::free(m_pBitmaps[index]);
  m_pBitmaps[index] = bitmap;
}

TrueUpVolInfo::TrueUpVolInfo(const std::string& snapDevice, const BackupDeviceInfo& device,
                             const VolumeBitmapsPtr& bitmaps)
    : m_sVolume(device.GetSourceVolName()),
      m_sSourceDevice(device.GetSourceDeviceName()),
      m_sSnapDevice(snapDevice),
      m_sFSType(device.GetFSType()),
      m_pBitmaps(bitmaps),
      m_nBitmapSize(device.GetBitMapSize()),
      m_oDevice(device) {
  if (m_sFSType == "zfs") m_sVolume = m_sSourceDevice;
}

void TrueUpVolInfo::SetTrueUpBmp(unsigned char* bitmap) {
  if (!m_pBitmaps) m_pBitmaps.reset(new VolumeBitmaps);
  m_pBitmaps->Reset(VolumeBitmaps::kTrueUp, bitmap);
}
