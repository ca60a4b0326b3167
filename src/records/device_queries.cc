#include "records/device_queries.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "platform/blockdev/block_ioctl.h"
#include "platform/log/ev_debug.h"
#include "platform/memory/auto_handle.h"

bool GetDeviceSize(std::string device, uint64_t* size) { return GetDeviceSize_Internal(device, size, nullptr); }

bool GetDeviceSize_Internal(std::string device, uint64_t* size, uint64_t* unroundedSize) {
  EvDebug log;
  auto_handle fd;
  fd.reset(::open(device.c_str(), O_RDWR | O_CLOEXEC));
  if (fd.get() < 0) {
    log.Error(__FUNCTION__, "open failed on %s. errno:%d", device.c_str(), errno);
    return false;
  }
  uint64_t bytes = 0;
  if (platform::BlockDeviceIoctl(fd.get(), BLKGETSIZE64, &bytes) != 0) {
    log.Error(__FUNCTION__, " ioctl BLKGETSIZE64 failed for volume %s errorno=%d. falling back to BLKGETSIZE",
              device.c_str(), errno);
    unsigned long sectors = 0;
    if (platform::BlockDeviceIoctl(fd.get(), BLKGETSIZE, &sectors) != 0) {
      log.Error(__FUNCTION__, " ioctl BLKGETSIZE failed for volume %s errorno=%d \n", device.c_str(), errno);
      return false;
    }
    // BLKGETSIZE counts 512-byte units whatever the logical sector size: a
    // 4 KiB-sector device must not read as eight times its size.
    bytes = static_cast<uint64_t>(sectors) * 512u;
  }
  int blockSize = 0;
  if (platform::BlockDeviceIoctl(fd.get(), BLKBSZGET, &blockSize) != 0) {
    log.Error(__FUNCTION__, " ioctl BLKBSZGET failed for volume %s errorno=%d \n", device.c_str(), errno);
    return false;
  }
  if (unroundedSize != nullptr) *unroundedSize = bytes;
  if (blockSize > 0) bytes -= bytes % static_cast<uint64_t>(blockSize);
  if (size != nullptr) *size = bytes;
  log.DebugLvl(__FUNCTION__, 2, "Device:%s\tSize:%llu", device.c_str(), static_cast<unsigned long long>(bytes));
  return true;
}

namespace {

// One 32-bit geometry query widened to 64 bits; 0, or the errno of its failure.
int QuerySize(int fd, unsigned long request, uint64_t& into) {
  unsigned int value = 0;
  if (platform::BlockDeviceIoctl(fd, request, &value) != 0) return errno != 0 ? errno : -1;
  into = value;
  return 0;
}

}  // namespace

bool GetDiskSectorSz(const std::string& device, uint64_t* logicalSectorSz, uint64_t* physicalSectorSz,
                     uint64_t* ioMinimalSz, uint64_t* ioOptimalSz) {
  EvDebug log;
  try {
    auto_handle fd;
    fd.reset(::open(device.c_str(), O_RDWR | O_CLOEXEC));
    if (fd.get() < 0) {
      log.Error(__FUNCTION__, "open failed for device %s, error %s", device.c_str(), std::strerror(errno));
      return false;
    }
    uint64_t logical = 0;
    uint64_t physical = 0;
    uint64_t ioMin = 0;
    uint64_t ioOpt = 0;
    // Every query is asked, so the log names each one that fails.
    const char* name = device.c_str();
    const int logicalFailed = QuerySize(fd.get(), BLKSSZGET, logical);
    if (logicalFailed != 0)
      log.Error(__FUNCTION__, "BLKSSZGET failed for device %s, error: %s", name, std::strerror(logicalFailed));
    const int physicalFailed = QuerySize(fd.get(), BLKPBSZGET, physical);
    if (physicalFailed != 0)
      log.Error(__FUNCTION__, "BLKPBSZGET failed for device %s, error: %s", name, std::strerror(physicalFailed));
    const int ioMinFailed = QuerySize(fd.get(), BLKIOMIN, ioMin);
    if (ioMinFailed != 0)
      log.Error(__FUNCTION__, "BLKIOMIN failed for device %s, error: %s", name, std::strerror(ioMinFailed));
    const int ioOptFailed = QuerySize(fd.get(), BLKIOOPT, ioOpt);
    if (ioOptFailed != 0)
      log.Error(__FUNCTION__, "BLKIOOPT failed for device %s, error: %s", name, std::strerror(ioOptFailed));
    const bool ok = logicalFailed == 0 && physicalFailed == 0 && ioMinFailed == 0 && ioOptFailed == 0;
    log.DebugLvl(__FUNCTION__, 2, "LogSecSz[%llu] PhySecSz[%llu] IOMinSz[%llu] IOOptimalSz[%llu]",
                 static_cast<unsigned long long>(logical), static_cast<unsigned long long>(physical),
                 static_cast<unsigned long long>(ioMin), static_cast<unsigned long long>(ioOpt));
    if (!ok) {
      log.DebugLvl(__FUNCTION__, 1, "At least one of the device ioctl's have failed, resetting attr to 0's");
      logical = physical = ioMin = ioOpt = 0;
    }
    if (logicalSectorSz != nullptr) *logicalSectorSz = logical;
    if (physicalSectorSz != nullptr) *physicalSectorSz = physical;
    if (ioMinimalSz != nullptr) *ioMinimalSz = ioMin;
    if (ioOptimalSz != nullptr) *ioOptimalSz = ioOpt;
    return true;
  } catch (const std::exception& e) {
    log.Error(__FUNCTION__, "Exception: %s", e.what());
  } catch (...) {
    log.Error(__FUNCTION__, "Unhandled exception caught");
  }
  return false;
}
