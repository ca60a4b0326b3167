#include "platform/cxbf/kz_volume.h"

#include <cstring>

#include "platform/cxbf/simulated_cxbf.h"
#include "platform/sim/fault_table.h"

namespace {

bool Faulted(const char* call) {
  int code = 0;
  return platform::InjectedFaultCode(call, code);
}

}  // namespace

bool KZVolume::isCXBFDevice(const std::string& device) {
  if (Faulted("KZVolume::isCXBFDevice")) return false;
  return platform::SimulatedCxbf::IsPseudoDevice(device);
}

std::string KZVolume::getVolName(const std::string& device) { return device.substr(device.find_last_of('/') + 1); }

bool KZVolumeUnix::OnLoadedDriver() const {
  return m_sControlDevice == kControlDevice && platform::SimulatedCxbf::IsLoaded();
}

bool KZVolumeUnix::selectVolume(std::string name) {
  if (Faulted("KZVolumeUnix::selectVolume")) return false;
  if (!OnLoadedDriver() || !platform::SimulatedCxbf::HasVolume(name)) return false;
  m_sVolume = name;
  return true;
}

bool KZVolumeUnix::getVolumeInformation(KZVolumeInformation* information) {
  if (Faulted("KZVolumeUnix::getVolumeInformation")) return false;
  if (information == nullptr || !OnLoadedDriver() || m_sVolume.empty()) return false;
  std::memset(information->bytes, 0, sizeof information->bytes);
  return platform::SimulatedCxbf::VolumeInformation(m_sVolume, *information) == 0;
}

bool KZVolumeUnix::ReadBitmap(const char* call, unsigned char* buffer, uint64_t count, bool clear) {
  if (Faulted(call)) return false;
  if ((buffer == nullptr && count > 0) || !OnLoadedDriver() || m_sVolume.empty()) return false;
  return platform::SimulatedCxbf::ReadBitmap(m_sVolume, buffer, count, clear) == 0;
}

bool KZVolumeUnix::getBitmap(int /*index*/, unsigned char* buffer, uint64_t count, bool clear) {
  return ReadBitmap("KZVolumeUnix::getBitmap", buffer, count, clear);
}

bool KZVolumeUnix::getAndClearBitmap(int /*index*/, unsigned char* buffer, uint64_t count, bool /*clear*/) {
  return ReadBitmap("KZVolumeUnix::getAndClearBitmap", buffer, count, true);
}

bool KZVolumeUnix::clearBitmap(int /*index*/) { return ReadBitmap("KZVolumeUnix::clearBitmap", nullptr, 0, true); }

uint64_t KZVolumeUnix::GetFsBlockSize() {
  if (Faulted("KZVolumeUnix::GetFsBlockSize") || !OnLoadedDriver()) return 0;
  return platform::SimulatedCxbf::FsBlockSize();
}
