#pragma once
// Seeding and inspection of the simulated CXBF driver (blbsim cxbf ...).
#include <cstdint>
#include <string>
#include <vector>

#include "platform/cxbf/simulated_cxbf.h"

namespace blbsim {

bool SetCxbfLoaded(bool loaded);
// A pseudo-device at path over the real device (or image) with that extent
// size; tracking starts now.
CQiError CxbfAddDevice(const std::string& path, const std::string& real, int extentSize = 4 << 20);
CQiError CxbfAddSnapshots(const std::string& path, const std::vector<uint32_t>& sminors);
CQiError CxbfMarkExtents(const std::string& path, const std::vector<uint64_t>& extents);
CQiError CxbfDevices(std::vector<platform::CxbfDevice>& devices);
// The control-device requests so far, oldest first.
std::vector<std::string> CxbfIoctlLog();
bool SetCxbfFsBlockSize(uint64_t size);

}  // namespace blbsim
