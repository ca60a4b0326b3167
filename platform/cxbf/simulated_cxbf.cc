#include "platform/cxbf/simulated_cxbf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>

#include "platform/cxbf/cxbf_control.h"
#include "platform/driver/tracked_extents.h"
#include "platform/settings/settings.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"

namespace platform {
namespace {

constexpr const char* kMagic = "CXBFSIM 1";

// The driver's ABI: request numbers and record layouts.
constexpr unsigned long kGetDeviceList = 0xC4084306;
constexpr unsigned long kGetInfo = 0xD9084307;
constexpr unsigned long kStopSnap = 0x40044305;
constexpr unsigned long kDeleteSnap = 0x40044303;
constexpr size_t kSlots = 256;
constexpr size_t kListCountAt = 4, kListMinorsAt = 8;
constexpr size_t kInfoSize = 6408, kInfoNameAt = 63, kInfoMinorsAt = 1224, kInfoCountAt = 2248;
constexpr size_t kVolumeExtentAt = 8, kVolumeBlocksAt = 16, kVolumeBitmapAt = 32, kVolumeRealAt = 112;
constexpr uint64_t kDefaultFsBlockSize = 4096;

std::string LoadedMarker() { return SimulatedCxbf::Folder() + "/loaded"; }
std::string TablePath() { return SimulatedCxbf::Folder() + "/devices.tab"; }
std::string LogPath() { return SimulatedCxbf::Folder() + "/ioctl.log"; }
std::string ExtentsFolder() { return SimulatedCxbf::Folder() + "/extents"; }
std::string ExtentsPath(const std::string& name) { return ExtentsFolder() + "/" + EscapedFileName(name) + ".trk"; }

class StateGuard : public DriverStateGuard {
 public:
  StateGuard() : DriverStateGuard(SimulatedCxbf::Folder()) {}
};

std::string NameOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

template <class T>
void Put(void* record, size_t at, T value) {
  std::memcpy(static_cast<unsigned char*>(record) + at, &value, sizeof value);
}

template <class T>
T Get(const void* record, size_t at) {
  T value;
  std::memcpy(&value, static_cast<const unsigned char*>(record) + at, sizeof value);
  return value;
}

// devices.tab: bminor, path, real device, extent size and the snapshots
// ("sminor:stopped" joined by ','), tab-separated, one device a line.
std::string FormatTable(const std::vector<CxbfDevice>& devices) {
  std::string text;
  for (const CxbfDevice& device : devices) {
    std::string snapshots;
    for (const CxbfSnapshot& snapshot : device.snapshots)
      snapshots += (snapshots.empty() ? "" : ",") + std::to_string(snapshot.sminor) + ":" +
                   (snapshot.stopped ? "1" : "0");
    text += std::to_string(device.bminor) + "\t" + device.path + "\t" + device.real + "\t" +
            std::to_string(device.extentSize) + "\t" + snapshots + "\n";
  }
  return text;
}

bool ParseTable(const std::string& text, std::vector<CxbfDevice>& devices) {
  devices.clear();
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    if (line.back() == '\t') fields.push_back("");
    if (fields.size() != 5) return false;
    CxbfDevice device;
    device.bminor = static_cast<uint32_t>(std::strtoul(fields[0].c_str(), nullptr, 10));
    device.path = fields[1];
    device.name = NameOf(device.path);
    device.real = fields[2];
    device.extentSize = std::atoi(fields[3].c_str());
    std::istringstream snapshots(fields[4]);
    for (std::string item; std::getline(snapshots, item, ',');) {
      const size_t colon = item.find(':');
      if (colon == std::string::npos) return false;
      device.snapshots.push_back({static_cast<uint32_t>(std::strtoul(item.c_str(), nullptr, 10)),
                                  item.substr(colon + 1) == "1"});
    }
    devices.push_back(device);
  }
  return true;
}

// 0, or an errno; no table is no device.
int LoadTable(std::vector<CxbfDevice>& devices) {
  std::string text;
  devices.clear();
  if (!ReadWholeFile(TablePath(), text)) return errno == ENOENT ? 0 : errno;
  return ParseTable(text, devices) ? 0 : EBADMSG;
}

int SaveTable(const std::vector<CxbfDevice>& devices) {
  return WriteFileAtomically(TablePath(), FormatTable(devices)) ? 0 : (errno ? errno : EIO);
}

int LoadExtents(const std::string& name, TrackedExtents& extents) {
  std::string text;
  if (!ReadWholeFile(ExtentsPath(name), text)) return errno;
  RecordFields fields;
  if (int error = ParseTrackedRecord(text, kMagic, fields, extents)) return error;
  return fields.size() == 1 && fields[0].first == "name" && fields[0].second == name ? 0 : EBADMSG;
}

int SaveExtents(const std::string& name, const TrackedExtents& extents) {
  MakeDirectoriesDurably(ExtentsFolder());
  return WriteFileAtomically(ExtentsPath(name), SerializeTrackedRecord(kMagic, {{"name", name}}, extents))
             ? 0
             : (errno ? errno : EIO);
}

template <class Match>
CxbfDevice* Find(std::vector<CxbfDevice>& devices, Match match) {
  auto found = std::find_if(devices.begin(), devices.end(), match);
  return found == devices.end() ? nullptr : &*found;
}

CxbfDevice* ByPath(std::vector<CxbfDevice>& devices, const std::string& path) {
  return Find(devices, [&](const CxbfDevice& d) { return d.path == path; });
}

CxbfDevice* ByName(std::vector<CxbfDevice>& devices, const std::string& name) {
  return Find(devices, [&](const CxbfDevice& d) { return d.name == name; });
}

CQiError Failed(const FXCodeLocation& location, int error, const std::string& what) {
  return FXErrorUtil::ErrorErrNo(location, error, "%s", what.c_str());
}

// The device table, read under the driver's lock, which it holds for its life.
class LockedTable {
 public:
  // 0, or the errno of a lock or a table that could not be had.
  int Load() { return guard_.Result() != 0 ? guard_.Result() : LoadTable(devices); }
  CQiError LoadOrFail(const FXCodeLocation& location) {
    const int error = Load();
    return error == 0 ? CQiError() : Failed(location, error, "Cannot read the CXBF device table");
  }
  // Loads the table and finds the pseudo-device at path (ENOENT when none).
  CQiError LoadDevice(const FXCodeLocation& location, const std::string& path, CxbfDevice*& device) {
    CQiError err = LoadOrFail(location);
    device = err.IsError() ? nullptr : ByPath(devices, path);
    if (!err.IsError() && device == nullptr) err = Failed(location, ENOENT, "No pseudo-device [" + path + "]");
    return err;
  }
  // Loads the table and the tracked extents of the pseudo-device named name:
  // 0, or an errno (ENXIO when there is no such device).
  int LoadNamed(const std::string& name, const CxbfDevice*& device, TrackedExtents& extents) {
    if (int error = Load()) return error;
    device = ByName(devices, name);
    if (device == nullptr) return ENXIO;
    return LoadExtents(name, extents);
  }
  CQiError Save(const FXCodeLocation& location) {
    const int error = SaveTable(devices);
    return error == 0 ? CQiError() : Failed(location, error, "Cannot store the CXBF device table");
  }

  std::vector<CxbfDevice> devices;

 private:
  StateGuard guard_;
};

void AppendLog(const std::string& line) {
  const int fd = ::open(LogPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string text = line + "\n";
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    // A lost log line only hides a request from the harness.
  }
  ::close(fd);
}

int DeviceList(std::vector<CxbfDevice>& devices, void* record) {
  if (Get<uint32_t>(record, 0) != 1) return EINVAL;
  std::sort(devices.begin(), devices.end(), [](const CxbfDevice& a, const CxbfDevice& b) { return a.bminor < b.bminor; });
  Put<uint32_t>(record, kListCountAt, static_cast<uint32_t>(devices.size()));
  for (size_t i = 0; i < devices.size() && i < kSlots; ++i) Put<uint32_t>(record, kListMinorsAt + 4 * i, devices[i].bminor);
  return 0;
}

int DeviceInformation(std::vector<CxbfDevice>& devices, void* record) {
  const uint32_t bminor = Get<uint32_t>(record, 0);
  CxbfDevice* device = Find(devices, [&](const CxbfDevice& d) { return d.bminor == bminor; });
  if (device == nullptr) return ENXIO;
  const size_t room = kInfoMinorsAt - kInfoNameAt - 1;
  std::memcpy(static_cast<unsigned char*>(record) + kInfoNameAt, device->name.data(), std::min(device->name.size(), room));
  for (size_t i = 0; i < device->snapshots.size() && i < kSlots; ++i)
    Put<uint32_t>(record, kInfoMinorsAt + 4 * i, device->snapshots[i].sminor);
  Put<int32_t>(record, kInfoCountAt, static_cast<int32_t>(device->snapshots.size()));
  return 0;
}

int Snapshot(std::vector<CxbfDevice>& devices, uint32_t sminor, bool remove) {
  for (CxbfDevice& device : devices) {
    for (auto it = device.snapshots.begin(); it != device.snapshots.end(); ++it) {
      if (it->sminor != sminor) continue;
      if (!remove) {
        it->stopped = true;
      } else {
        if (!it->stopped) return EBUSY;
        device.snapshots.erase(it);
      }
      return SaveTable(devices);
    }
  }
  return ENOENT;
}

// The simulated driver behind the control device: descriptors on the loaded
// marker, so they are real and go with the process.
class SimulatedControl : public CxbfControlBackend {
 public:
  int Open(const std::string& path, int /*flags*/) override {
    if (path != KZVolumeUnix::kControlDevice || !SimulatedCxbf::IsLoaded()) {
      errno = ENOENT;
      return -1;
    }
    const int fd = ::open(LoadedMarker().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      errno = ENOENT;  // unloaded meanwhile
      return -1;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    open_.insert(fd);
    return fd;
  }
  int Ioctl(int fd, unsigned long request, void* argument) override {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (open_.count(fd) == 0) {
        errno = EBADF;
        return -1;
      }
    }
    const int error = argument == nullptr ? EFAULT : SimulatedCxbf::Ioctl(request, argument);
    errno = error;
    return error == 0 ? 0 : -1;
  }
  int Close(int fd) override {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (open_.erase(fd) == 0) {
        errno = EBADF;
        return -1;
      }
    }
    return ::close(fd);
  }

 private:
  std::mutex mutex_;
  std::set<int> open_;
};

}  // namespace

CxbfControlBackend& CxbfControlBackend::Default() {
  static SimulatedControl* control = new SimulatedControl();
  return *control;
}

std::string SimulatedCxbf::Folder() { return Settings::StatePath("drivers/cxbf"); }

bool SimulatedCxbf::IsLoaded() { return IsDriverLoaded(Folder()); }

bool SimulatedCxbf::SetLoaded(bool loaded) { return SetDriverLoaded(Folder(), loaded); }

CQiError SimulatedCxbf::AddDevice(const std::string& path, const std::string& real, int extentSize) {
  const std::string name = NameOf(path);
  // The records carry the name and the real device's path at fixed places.
  if (path.empty() || path[0] != '/' || name.empty() || name.size() >= kInfoMinorsAt - kInfoNameAt ||
      real.empty() || real.size() >= KZVolumeInformation::kSize - kVolumeRealAt ||
      (path + real).find_first_of("\t\n") != std::string::npos)
    return Failed(FXCODELOC, EINVAL, "Cannot register [" + path + "] over [" + real + "]");
  LockedTable table;
  if (CQiError err = table.LoadOrFail(FXCODELOC); err.IsError()) return err;
  std::vector<CxbfDevice>& devices = table.devices;
  if (ByPath(devices, path) != nullptr || ByName(devices, name) != nullptr)
    return Failed(FXCODELOC, EEXIST, "A pseudo-device [" + path + "] or named [" + name + "] exists");
  TrackedExtents extents;
  if (int error = extents.Start(real, extentSize)) return Failed(FXCODELOC, error, "Cannot read [" + real + "]");
  CxbfDevice device;
  while (Find(devices, [&](const CxbfDevice& d) { return d.bminor == device.bminor; }) != nullptr) ++device.bminor;
  device.path = path;
  device.name = name;
  device.real = real;
  device.extentSize = extentSize;
  if (int error = SaveExtents(name, extents)) return Failed(FXCODELOC, error, "Cannot store [" + name + "]");
  devices.push_back(device);
  return table.Save(FXCODELOC);
}

CQiError SimulatedCxbf::AddSnapshots(const std::string& path, const std::vector<uint32_t>& sminors) {
  LockedTable table;
  CxbfDevice* device = nullptr;
  if (CQiError err = table.LoadDevice(FXCODELOC, path, device); err.IsError()) return err;
  for (uint32_t sminor : sminors) {
    for (const CxbfDevice& other : table.devices)
      for (const CxbfSnapshot& snapshot : other.snapshots)
        if (snapshot.sminor == sminor)
          return Failed(FXCODELOC, EEXIST, "Snapshot minor " + std::to_string(sminor) + " is taken");
    device->snapshots.push_back({sminor, false});
  }
  return table.Save(FXCODELOC);
}

CQiError SimulatedCxbf::MarkExtents(const std::string& path, const std::vector<uint64_t>& extents) {
  LockedTable table;
  CxbfDevice* device = nullptr;
  if (CQiError err = table.LoadDevice(FXCODELOC, path, device); err.IsError()) return err;
  TrackedExtents tracked;
  if (int error = LoadExtents(device->name, tracked)) return Failed(FXCODELOC, error, "Cannot read [" + path + "]");
  if (int error = tracked.Mark(extents)) return Failed(FXCODELOC, error, "An extent is beyond the device");
  if (int error = SaveExtents(device->name, tracked)) return Failed(FXCODELOC, error, "Cannot store [" + path + "]");
  return CQiError();
}

CQiError SimulatedCxbf::Devices(std::vector<CxbfDevice>& devices) {
  LockedTable table;
  CQiError err = table.LoadOrFail(FXCODELOC);
  devices.swap(table.devices);
  return err;
}

std::vector<std::string> SimulatedCxbf::IoctlLog() {
  std::vector<std::string> lines;
  std::string text;
  if (!ReadWholeFile(LogPath(), text)) return lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

bool SimulatedCxbf::SetFsBlockSize(uint64_t size) {
  return MakeDirectoriesDurably(Folder()) &&
         WriteFileAtomically(Folder() + "/fsblocksize", std::to_string(size) + "\n");
}

uint64_t SimulatedCxbf::FsBlockSize() {
  std::string text;
  if (!ReadWholeFile(Folder() + "/fsblocksize", text)) return kDefaultFsBlockSize;
  return std::strtoull(text.c_str(), nullptr, 10);
}

bool SimulatedCxbf::IsPseudoDevice(const std::string& path) {
  if (!IsLoaded()) return false;
  LockedTable table;
  return table.Load() == 0 && ByPath(table.devices, path) != nullptr;
}

bool SimulatedCxbf::HasVolume(const std::string& name) {
  LockedTable table;
  return table.Load() == 0 && ByName(table.devices, name) != nullptr;
}

int SimulatedCxbf::VolumeInformation(const std::string& name, KZVolumeInformation& information) {
  LockedTable table;
  const CxbfDevice* device = nullptr;
  TrackedExtents extents;
  if (int error = table.LoadNamed(name, device, extents)) return error;
  Put<uint64_t>(information.bytes, kVolumeExtentAt, static_cast<uint64_t>(device->extentSize));
  Put<uint64_t>(information.bytes, kVolumeBlocksAt, extents.deviceSize / 512);
  Put<uint64_t>(information.bytes, kVolumeBitmapAt, extents.BitmapBytes());
  std::memset(information.bytes + kVolumeRealAt, 0, KZVolumeInformation::kSize - kVolumeRealAt);
  std::memcpy(information.bytes + kVolumeRealAt, device->real.data(), device->real.size());
  return 0;
}

int SimulatedCxbf::ReadBitmap(const std::string& name, unsigned char* buffer, uint64_t count, bool clear) {
  LockedTable table;
  const CxbfDevice* device = nullptr;
  TrackedExtents extents;
  if (int error = table.LoadNamed(name, device, extents)) return error;
  std::vector<unsigned char> changed;
  if (int error = extents.Read(device->real, clear, changed)) return error;
  if (count > 0) {
    std::memset(buffer, 0, count);
    std::memcpy(buffer, changed.data(), std::min<uint64_t>(count, changed.size()));
  }
  return SaveExtents(name, extents);
}

namespace {

// Each control-device request is failable under its own name.
bool IoctlFaulted(unsigned long request, int& code) {
  switch (request) {
    case kGetDeviceList: return InjectedFaultCode("CXBF_GET_DEVICE_LIST", code);
    case kGetInfo: return InjectedFaultCode("CXBF_GET_INFO", code);
    case kStopSnap: return InjectedFaultCode("CXBF_STOP_SNAP", code);
    case kDeleteSnap: return InjectedFaultCode("CXBF_DELETE_SNAP", code);
    default: return false;
  }
}

}  // namespace

int SimulatedCxbf::Ioctl(unsigned long request, void* argument) {
  LockedTable table;  // the log, too, is written under the driver's lock
  const char* call = request == kGetDeviceList ? "CXBF_GET_DEVICE_LIST"
                     : request == kGetInfo     ? "CXBF_GET_INFO"
                     : request == kStopSnap    ? "CXBF_STOP_SNAP"
                     : request == kDeleteSnap  ? "CXBF_DELETE_SNAP"
                                               : nullptr;
  if (call == nullptr) {
    std::ostringstream unknown;
    unknown << "CXBF_UNKNOWN 0x" << std::hex << request;
    AppendLog(unknown.str());
    return ENOTTY;
  }
  const uint32_t word = Get<uint32_t>(argument, 0);
  AppendLog(request == kGetDeviceList ? std::string(call) : std::string(call) + " " + std::to_string(word));
  int injected = 0;
  if (IoctlFaulted(request, injected)) return injected;
  if (int error = table.Load()) return error;
  if (request == kGetDeviceList) return DeviceList(table.devices, argument);
  if (request == kGetInfo) return DeviceInformation(table.devices, argument);
  return Snapshot(table.devices, word, request == kDeleteSnap);
}

}  // namespace platform
