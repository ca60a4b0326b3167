#include "platform/harness/cxbf_harness.h"

namespace blbsim {

bool SetCxbfLoaded(bool loaded) { return platform::SimulatedCxbf::SetLoaded(loaded); }

CQiError CxbfAddDevice(const std::string& path, const std::string& real, int extentSize) {
  return platform::SimulatedCxbf::AddDevice(path, real, extentSize);
}

CQiError CxbfAddSnapshots(const std::string& path, const std::vector<uint32_t>& sminors) {
  return platform::SimulatedCxbf::AddSnapshots(path, sminors);
}

CQiError CxbfMarkExtents(const std::string& path, const std::vector<uint64_t>& extents) {
  return platform::SimulatedCxbf::MarkExtents(path, extents);
}

CQiError CxbfDevices(std::vector<platform::CxbfDevice>& devices) { return platform::SimulatedCxbf::Devices(devices); }

std::vector<std::string> CxbfIoctlLog() { return platform::SimulatedCxbf::IoctlLog(); }

bool SetCxbfFsBlockSize(uint64_t size) { return platform::SimulatedCxbf::SetFsBlockSize(size); }

}  // namespace blbsim
