#include "platform/cxbf/kz_volume.h"

#include <cstring>

#include "platform/cxbf/simulated_cxbf.h"
#include "platform/sim/fault_table.h"

bool KZVolume::isCXBFDevice(const std::string& device) {
  int code = 0;
  if (platform::InjectedFaultCode("KZVolume::isCXBFDevice", code)) return false;
  return platform::SimulatedCxbf::IsPseudoDevice(device);
}

std::string KZVolume::getVolName(const std::string& device) { return device.substr(device.find_last_of('/') + 1); }

bool KZVolumeUnix::OnLoadedDriver() const {
  return m_sControlDevice == kControlDevice && platform::SimulatedCxbf::IsLoaded();
}

bool KZVolumeUnix::selectVolume(std::string name) {
  int code = 0;
  if (platform::InjectedFaultCode("KZVolumeUnix::selectVolume", code)) return false;
  if (!OnLoadedDriver() || !platform::SimulatedCxbf::HasVolume(name)) return false;
  m_sVolume = name;
  return true;
}

bool KZVolumeUnix::getVolumeInformation(KZVolumeInformation* information) {
  int code = 0;
  if (platform::InjectedFaultCode("KZVolumeUnix::getVolumeInformation", code)) return false;
  if (information == nullptr || !OnLoadedDriver() || m_sVolume.empty()) return false;
  std::memset(information->bytes, 0, sizeof information->bytes);
  return platform::SimulatedCxbf::VolumeInformation(m_sVolume, *information) == 0;
}

bool KZVolumeUnix::ReadBitmap(unsigned char* buffer, uint64_t count, bool clear) {
  if ((buffer == nullptr && count > 0) || !OnLoadedDriver() || m_sVolume.empty()) return false;
  return platform::SimulatedCxbf::ReadBitmap(m_sVolume, buffer, count, clear) == 0;
}

bool KZVolumeUnix::getBitmap(int /*index*/, unsigned char* buffer, uint64_t count, bool clear) {
  int code = 0;
  return !platform::InjectedFaultCode("KZVolumeUnix::getBitmap", code) && ReadBitmap(buffer, count, clear);
}

bool KZVolumeUnix::getAndClearBitmap(int /*index*/, unsigned char* buffer, uint64_t count, bool /*clear*/) {
  int code = 0;
  return !platform::InjectedFaultCode("KZVolumeUnix::getAndClearBitmap", code) && ReadBitmap(buffer, count, true);
}

bool KZVolumeUnix::clearBitmap(int /*index*/) {
  int code = 0;
  return !platform::InjectedFaultCode("KZVolumeUnix::clearBitmap", code) && ReadBitmap(nullptr, 0, true);
}

uint64_t KZVolumeUnix::GetFsBlockSize() {
  int code = 0;
  if (platform::InjectedFaultCode("KZVolumeUnix::GetFsBlockSize", code) || !OnLoadedDriver()) return 0;
  return platform::SimulatedCxbf::FsBlockSize();
}
