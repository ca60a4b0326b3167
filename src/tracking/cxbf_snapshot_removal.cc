// Removing the snapshots of a CXBF pseudo-device: ioctls on the driver's
// control device, the records laid out as the driver's ABI has them.
#include <fcntl.h>
#include <linux/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/cxbf/cxbf_control.h"
#include "platform/log/ev_debug.h"
#include "tracking/volume_bitmap_helper_cxbf.h"

namespace {

// Both records have room for this many minor numbers; a larger count from
// the driver names minors the record does not hold.
constexpr uint32_t kSlots = 256;

// The device list: the caller puts 1 in word 0; the driver fills the count
// (word 1) and the block minor number of each pseudo-device.
struct DeviceListRecord {
  unsigned char bytes[1032];
};
constexpr size_t kListCountAt = 4;
constexpr size_t kListMinorsAt = 8;

// The information of one pseudo-device: the caller puts its bminor in word
// 0; the driver fills its name and its snapshots' minor numbers and count.
struct DeviceInfoRecord {
  unsigned char bytes[6408];
};
constexpr size_t kInfoNameAt = 63;
constexpr size_t kInfoMinorsAt = 1224;
constexpr size_t kInfoCountAt = 2248;

constexpr unsigned long kGetDeviceList = 0xC4084306;
constexpr unsigned long kGetInfo = 0xD9084307;
constexpr unsigned long kStopSnap = 0x40044305;
constexpr unsigned long kDeleteSnap = 0x40044303;
static_assert(kGetDeviceList == _IOWR(0x43, 6, DeviceListRecord), "CXBF_GET_DEVICE_LIST");
static_assert(kGetInfo == _IOWR(0x43, 7, DeviceInfoRecord), "CXBF_GET_INFO");
static_assert(kStopSnap == _IOW(0x43, 5, uint32_t), "CXBF_STOP_SNAP");
static_assert(kDeleteSnap == _IOW(0x43, 3, uint32_t), "CXBF_DELETE_SNAP");

template <class T>
T Read(const unsigned char* record, size_t at) {
  T value;
  std::memcpy(&value, record + at, sizeof value);
  return value;
}

void Write(unsigned char* record, size_t at, uint32_t value) { std::memcpy(record + at, &value, sizeof value); }

// The control device for one call, closed on every path out.
class ControlDevice {
 public:
  ControlDevice() : fd_(platform::CxbfOpen(KZVolumeUnix::kControlDevice, O_RDWR)) {}
  ~ControlDevice() {
    if (fd_ >= 0) platform::CxbfClose(fd_);
  }
  ControlDevice(const ControlDevice&) = delete;
  ControlDevice& operator=(const ControlDevice&) = delete;
  bool IsOpen() const { return fd_ >= 0; }
  int Request(unsigned long request, void* argument) { return platform::CxbfIoctl(fd_, request, argument); }

 private:
  int fd_;
};

uint32_t Clamped(long long count, const char* what, EvDebug& log) {
  if (count < 0) count = 0;
  if (count <= kSlots) return static_cast<uint32_t>(count);
  log.Error(__FUNCTION__, "The CXBF driver reports %lld %s, only %u fit its record", count, what, kSlots);
  return kSlots;
}

}  // namespace

CQiError VolumeBitMapHelper_CXBF::DeleteSnapAndDetachDevice(const std::string& device, bool detach) {
  EvDebug log;
  ControlDevice control;
  if (!control.IsOpen())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "Failed to open [%s] with error[%s]", KZVolumeUnix::kControlDevice,
                                   std::strerror(errno));
  const size_t slash = device.find_last_of('/');
  const std::string name = slash == std::string::npos ? std::string() : device.substr(slash + 1);

  DeviceListRecord list;
  std::memset(list.bytes, 0, sizeof list.bytes);
  Write(list.bytes, 0, 1);
  if (control.Request(kGetDeviceList, &list) < 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "ioctl CXBF_GET_DEVICE_LIST failed with error=%s", std::strerror(errno));
  const uint32_t devices = Clamped(Read<uint32_t>(list.bytes, kListCountAt), "pseudo-devices", log);

  DeviceInfoRecord info;
  bool found = false;
  for (uint32_t i = 0; i < devices && !found; ++i) {
    std::memset(info.bytes, 0, sizeof info.bytes);
    Write(info.bytes, 0, Read<uint32_t>(list.bytes, kListMinorsAt + 4 * i));
    if (control.Request(kGetInfo, &info) != 0)
      return FXErrorUtil::ErrorErrNo(FXCODELOC, -1, "ioctl CXBF_GET_INFO failed with error=%s", std::strerror(errno));
    const char* text = reinterpret_cast<const char*>(info.bytes + kInfoNameAt);
    found = std::string(text, ::strnlen(text, sizeof info.bytes - kInfoNameAt)) == name;
  }

  if (found) {
    const int bminor = static_cast<int>(Read<uint32_t>(info.bytes, 0));
    const uint32_t snapshots = Clamped(Read<int32_t>(info.bytes, kInfoCountAt), "snapshots", log);
    for (uint32_t i = 0; i < snapshots; ++i) {
      uint32_t sminor = Read<uint32_t>(info.bytes, kInfoMinorsAt + 4 * i);
      if (control.Request(kStopSnap, &sminor) != 0) {
        log.Error(__FUNCTION__, "ioctl CXBF_STOP_SNAP failed for bminor[%d] sminor[%d]", bminor, static_cast<int>(sminor));
        continue;
      }
      if (control.Request(kDeleteSnap, &sminor) != 0)
        log.Error(__FUNCTION__, "ioctl CXBF_DELETE_SNAP failed for bminor[%d] sminor[%d]", bminor,
                  static_cast<int>(sminor));
    }
  }
  if (detach) return DetachDevice(device);
  return CQiError();
}
