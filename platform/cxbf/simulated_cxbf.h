#pragma once
// The simulated CXBF filter driver. Change tracking is derived from content
// the way the simulated KZBF driver does it (tracked_extents.h): writes to the
// real device under a pseudo-device show up as changed extents of the
// pseudo-device.
//
// The harness registers pseudo-devices (a path: a loop device, a link or any
// "/dev/cxbf/" path; the real device or image under it; an extent size). The
// driver knows a pseudo-device by its name, the text after the path's last
// "/", and by a block minor number (bminor) it hands out; the harness lists
// snapshot minor numbers (sminors) for a device.
//
// State, shared by every process through a lock file:
//   <state>/drivers/cxbf/loaded          present while the driver is loaded
//   <state>/drivers/cxbf/devices.tab     one line per pseudo-device
//   <state>/drivers/cxbf/extents/*.trk   the tracked extents of each
//   <state>/drivers/cxbf/ioctl.log       every control-device request, one a line
//   <state>/drivers/cxbf/fsblocksize     the file-system block size, when set
//
// Control-device requests (records as the driver's ABI lays them out):
// device list (count can exceed the 256 slots: the true count, the first 256
// filled), device information (sminor count likewise), stop a snapshot,
// delete a snapshot (errno 16 while it is not stopped). Unloaded, the
// control device does not open (errno 2). Faults: one per request name
// ("CXBF_GET_DEVICE_LIST", "CXBF_GET_INFO", "CXBF_STOP_SNAP",
// "CXBF_DELETE_SNAP"), the request logged all the same.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/cxbf/kz_volume.h"
#include "platform/error/qi_error.h"

namespace platform {

struct CxbfSnapshot {
  uint32_t sminor = 0;
  bool stopped = false;
};

struct CxbfDevice {
  uint32_t bminor = 0;
  std::string path;
  std::string name;
  std::string real;
  int extentSize = 0;
  std::vector<CxbfSnapshot> snapshots;
};

class SimulatedCxbf {
 public:
  static std::string Folder();
  static bool IsLoaded();
  static bool SetLoaded(bool loaded);

  // The harness's side.
  static CQiError AddDevice(const std::string& path, const std::string& real, int extentSize);
  static CQiError AddSnapshots(const std::string& path, const std::vector<uint32_t>& sminors);
  static CQiError MarkExtents(const std::string& path, const std::vector<uint64_t>& extents);
  static CQiError Devices(std::vector<CxbfDevice>& devices);
  static std::vector<std::string> IoctlLog();
  static bool SetFsBlockSize(uint64_t size);

  // What the volume class answers; 0 or an errno.
  static bool IsPseudoDevice(const std::string& path);
  static bool HasVolume(const std::string& name);
  static int VolumeInformation(const std::string& name, KZVolumeInformation& information);
  static int ReadBitmap(const std::string& name, unsigned char* buffer, uint64_t count, bool clear);
  static uint64_t FsBlockSize();

  // One request on the control device; 0 or an errno.
  static int Ioctl(unsigned long request, void* argument);
};

}  // namespace platform
