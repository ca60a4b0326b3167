#include "platform/driver/simulated_kzbf.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/driver/extent_digest.h"
#include "platform/lock/kz_file_lock.h"
#include "platform/memory/auto_handle.h"
#include "platform/settings/settings.h"
#include "platform/sim/fs_util.h"
#include "platform/process/shell_quote.h"

namespace platform {
namespace {

constexpr const char* kMagic = "KZBFSIM 1";

struct Snapshot {
  std::string device;  // what the driver lists
  std::string image;   // the copy behind it
};

struct TrackedDevice {
  std::string device;
  int extentSize = 0;
  uint64_t deviceSize = 0;
  std::vector<ExtentDigest> baseline;
  std::vector<unsigned char> dirty;  // one bit per extent
  std::vector<Snapshot> snapshots;

  size_t BitmapBytes() const { return (baseline.size() + 7) / 8; }
};

std::string DevicesFolder() { return SimulatedKzBf::Folder() + "/devices"; }
std::string SnapsFolder() { return SimulatedKzBf::Folder() + "/snaps"; }
std::string LoadedMarker() { return SimulatedKzBf::Folder() + "/loaded"; }

// Device paths become file names: letters, digits, '-' and '_' stand, every
// other byte is %XX, so distinct paths never share a record.
std::string RecordPath(const std::string& device) {
  static const char* kHex = "0123456789ABCDEF";
  std::string name;
  for (unsigned char c : device) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
      name += static_cast<char>(c);
    } else {
      name += '%';
      name += kHex[c >> 4];
      name += kHex[c & 15];
    }
  }
  return DevicesFolder() + "/" + name + ".dev";
}

// The one lock of the driver's state, held for each call.
class StateGuard {
 public:
  StateGuard() : m_oLock(true) {
    MakeDirectories(SimulatedKzBf::Folder());
    m_nResult = m_oLock.lock(SimulatedKzBf::Folder() + "/.lock", KzFileLock::kWrite, -1);
  }
  int Result() const { return m_nResult; }

 private:
  KzFileLock m_oLock;
  int m_nResult = 0;
};

bool ReadNumber(const std::string& text, unsigned long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text.c_str(), &end, 10);
  return errno == 0 && end != nullptr && *end == '\0';
}

std::string Serialize(const TrackedDevice& record) {
  std::string text = std::string(kMagic) + "\n";
  text += "device=" + record.device + "\n";
  text += "extentSize=" + std::to_string(record.extentSize) + "\n";
  text += "deviceSize=" + std::to_string(record.deviceSize) + "\n";
  text += "extents=" + std::to_string(record.baseline.size()) + "\n";
  for (const Snapshot& snapshot : record.snapshots) text += "snapshot=" + snapshot.device + "\t" + snapshot.image + "\n";
  text += "data\n";
  for (const ExtentDigest& digest : record.baseline) text.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  text.append(reinterpret_cast<const char*>(record.dirty.data()), record.dirty.size());
  return text;
}

// 0, or EBADMSG when the record is damaged.
int Parse(const std::string& text, TrackedDevice& record) {
  const std::string separator = "\ndata\n";
  const size_t dataAt = text.find(separator);
  if (dataAt == std::string::npos) return EBADMSG;
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= dataAt) {
    size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (lines.empty() || lines[0] != kMagic) return EBADMSG;
  unsigned long long extents = 0, number = 0;
  bool haveExtents = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const size_t equals = line.find('=');
    if (equals == std::string::npos) return EBADMSG;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "device") {
      record.device = value;
    } else if (key == "extentSize") {
      if (!ReadNumber(value, number) || number < 512 || number > 0x7FFFFFFF) return EBADMSG;
      record.extentSize = static_cast<int>(number);
    } else if (key == "deviceSize") {
      if (!ReadNumber(value, number)) return EBADMSG;
      record.deviceSize = number;
    } else if (key == "extents") {
      if (!ReadNumber(value, extents)) return EBADMSG;
      haveExtents = true;
    } else if (key == "snapshot") {
      const size_t tab = value.find('\t');
      if (tab == std::string::npos) return EBADMSG;
      record.snapshots.push_back({value.substr(0, tab), value.substr(tab + 1)});
    }
  }
  const size_t payload = text.size() - (dataAt + separator.size());
  // The counts must agree with each other and with what the record holds
  // before anything is sized by them.
  if (!haveExtents || record.extentSize == 0 || extents > payload / 16 ||
      payload != extents * 16 + (extents + 7) / 8 ||
      extents != record.deviceSize / static_cast<uint64_t>(record.extentSize) +
                     (record.deviceSize % static_cast<uint64_t>(record.extentSize) != 0 ? 1 : 0))
    return EBADMSG;
  const char* data = text.data() + dataAt + separator.size();
  record.baseline.resize(extents);
  for (unsigned long long i = 0; i < extents; ++i) std::memcpy(record.baseline[i].data(), data + i * 16, 16);
  record.dirty.assign(data + extents * 16, data + payload);
  return 0;
}

// 0, ENXIO when the device is not attached, EBADMSG when its record is damaged.
int Load(const std::string& device, TrackedDevice& record) {
  std::string text;
  if (!ReadWholeFile(RecordPath(device), text)) return errno == ENOENT ? ENXIO : errno;
  if (int error = Parse(text, record)) return error;
  return record.device == device ? 0 : EBADMSG;
}

int Save(const TrackedDevice& record) {
  MakeDirectories(DevicesFolder());
  return WriteFileAtomically(RecordPath(record.device), Serialize(record)) ? 0 : (errno ? errno : EIO);
}

bool TestBit(const std::vector<unsigned char>& bits, size_t i) { return (bits[i / 8] >> (i % 8)) & 1; }
void SetBit(std::vector<unsigned char>& bits, size_t i) { bits[i / 8] |= static_cast<unsigned char>(1u << (i % 8)); }

// The extents changed since the baseline, dirty bits included; takes the new
// digests, which a clear makes the baseline.
int Changed(TrackedDevice& record, std::vector<unsigned char>& changed, std::vector<ExtentDigest>& now) {
  uint64_t size = 0;
  if (int error = DigestExtents(record.device, static_cast<uint64_t>(record.extentSize), now, size)) return error;
  changed.assign((now.size() + 7) / 8, 0);
  for (size_t i = 0; i < now.size(); ++i) {
    const bool dirty = i / 8 < record.dirty.size() && TestBit(record.dirty, i);
    if (dirty || i >= record.baseline.size() || now[i] != record.baseline[i]) SetBit(changed, i);
  }
  record.deviceSize = size;
  return 0;
}

void RemoveSnapshot(const Snapshot& snapshot) {
  if (snapshot.device != snapshot.image) {
    const std::string command = "losetup -d " + platform::ShellQuote(snapshot.device) + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "kzbf: cannot detach %s\n", snapshot.device.c_str());
  }
  ::unlink(snapshot.image.c_str());
}

CQiError NotLoaded(const FXCodeLocation& location) {
  return FXErrorUtil::ErrorErrNo(location, ENODEV, "The KZBF driver is not loaded");
}

CQiError LockFailed(const FXCodeLocation& location, int code) {
  return FXErrorUtil::ErrorErrNo(location, code, "Cannot lock the KZBF driver state");
}

CQiError LoadFailed(const FXCodeLocation& location, const std::string& device, int code) {
  if (code == ENXIO) return FXErrorUtil::ErrorErrNo(location, code, "Device [%s] is not attached", device.c_str());
  return FXErrorUtil::ErrorErrNo(location, code, "Cannot read the driver record of device [%s]", device.c_str());
}

// Copies a device into an image file with large reads.
int CopyDevice(const std::string& device, const std::string& image) {
  auto_handle in(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return errno;
  uint64_t size = 0;
  if (int error = DeviceSize(in.get(), size)) return error;
  auto_handle out(::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (out.get() < 0) return errno;
  std::vector<char> buffer(4u << 20);
  for (uint64_t offset = 0; offset < size;) {
    ssize_t got = ::pread(in.get(), buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got < 0 ? errno : EIO;
    for (ssize_t put = 0; put < got;) {
      ssize_t wrote = ::write(out.get(), buffer.data() + put, static_cast<size_t>(got - put));
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) return wrote < 0 ? errno : EIO;
      put += wrote;
    }
    offset += static_cast<uint64_t>(got);
  }
  return ::fsync(out.get()) == 0 ? 0 : errno;
}

int AttachLoop(const std::string& image, std::string& loop) {
  const std::string command = "losetup -f --show " + platform::ShellQuote(image) + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return errno ? errno : EIO;
  char line[256] = {0};
  const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
  const int status = ::pclose(pipe);
  if (!got || status != 0) return ENXIO;
  loop = line;
  while (!loop.empty() && (loop.back() == '\n' || loop.back() == ' ')) loop.pop_back();
  return loop.empty() ? ENXIO : 0;
}

// The device records of the folder; none when it cannot be listed.
void ListFolder(const std::string& folder, std::vector<std::string>& names) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dev") == 0) names.push_back(name);
  }
  ::closedir(dir);
}

}  // namespace

KzBfBackend& KzBfBackend::Default() {
  static SimulatedKzBf* driver = new SimulatedKzBf();
  return *driver;
}

std::string SimulatedKzBf::Folder() { return Settings::StatePath("drivers/kzbf"); }

bool SimulatedKzBf::IsLoaded() {
  struct stat info;
  return ::stat(LoadedMarker().c_str(), &info) == 0;
}

bool SimulatedKzBf::SetLoaded(bool loaded) {
  if (!loaded) return ::unlink(LoadedMarker().c_str()) == 0 || errno == ENOENT;
  return MakeDirectories(Folder()) && WriteFileAtomically(LoadedMarker(), "kzbf\n");
}

CQiError SimulatedKzBf::Open() {
  if (!IsLoaded()) return NotLoaded(FXCODELOC);
  return CQiError();
}

CQiError SimulatedKzBf::Attach(const std::string& device, int extentSize) {
  if (!IsLoaded()) return NotLoaded(FXCODELOC);
  if (extentSize < 512)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Invalid extent size %d for device [%s]", extentSize, device.c_str());
  StateGuard guard;
  if (guard.Result()) return LockFailed(FXCODELOC, guard.Result());
  TrackedDevice record;
  const int loaded = Load(device, record);
  if (loaded == 0) return FXErrorUtil::ErrorErrNo(FXCODELOC, 114, "Device [%s] is already attached", device.c_str());
  if (loaded != ENXIO) return LoadFailed(FXCODELOC, device, loaded);
  record = TrackedDevice();
  record.device = device;
  record.extentSize = extentSize;
  if (int error = DigestExtents(device, static_cast<uint64_t>(extentSize), record.baseline, record.deviceSize))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot read device [%s]", device.c_str());
  record.dirty.assign(record.BitmapBytes(), 0);
  if (int error = Save(record))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot store the driver record of device [%s]", device.c_str());
  return CQiError();
}

CQiError SimulatedKzBf::Detach(const std::string& device) {
  if (!IsLoaded()) return NotLoaded(FXCODELOC);
  StateGuard guard;
  if (guard.Result()) return LockFailed(FXCODELOC, guard.Result());
  TrackedDevice record;
  if (int error = Load(device, record)) return LoadFailed(FXCODELOC, device, error);
  for (const Snapshot& snapshot : record.snapshots) RemoveSnapshot(snapshot);
  if (::unlink(RecordPath(device).c_str()) != 0)
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot remove the driver record of device [%s]", device.c_str());
  return CQiError();
}

CQiError SimulatedKzBf::Query(const std::string& device, KzBfDeviceStatus& status) {
  status = KzBfDeviceStatus();
  if (!IsLoaded()) return NotLoaded(FXCODELOC);
  StateGuard guard;
  if (guard.Result()) return LockFailed(FXCODELOC, guard.Result());
  TrackedDevice record;
  const int error = Load(device, record);
  if (error == ENXIO) return CQiError();
  if (error) return LoadFailed(FXCODELOC, device, error);
  status.attached = true;
  status.deviceSize = static_cast<int64_t>(record.deviceSize);
  status.extentSize = record.extentSize;
  status.extentCount = static_cast<int>(record.baseline.size());
  for (const Snapshot& snapshot : record.snapshots) status.snapshots.push_back(snapshot.device);
  return CQiError();
}

CQiError SimulatedKzBf::Clear(const std::string& device) {
  std::vector<char> ignored;
  CQiError result = GetBitmap(device, ignored, true);
  return result.IsError() ? result.Push(FXCODELOC) : result;
}

CQiError SimulatedKzBf::GetBitmap(const std::string& device, std::vector<char>& bitmap, bool clear) {
  if (!IsLoaded()) return NotLoaded(FXCODELOC);
  StateGuard guard;
  if (guard.Result()) return LockFailed(FXCODELOC, guard.Result());
  TrackedDevice record;
  if (int error = Load(device, record)) return LoadFailed(FXCODELOC, device, error);
  std::vector<unsigned char> changed;
  std::vector<ExtentDigest> now;
  if (int error = Changed(record, changed, now))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot read device [%s]", device.c_str());
  // The caller sized the vector to the bitmap it expects and relies on it
  // holding at least that much: a shorter bitmap of ours is padded.
  const size_t requested = bitmap.size();
  bitmap.assign(changed.begin(), changed.end());
  if (bitmap.size() < requested) bitmap.resize(requested, 0);
  record.baseline.swap(now);
  if (clear) {
    record.dirty.assign(changed.size(), 0);
  } else {
    // What was seen stays changed until a clear, even if written back later:
    // the driver records writes, not differences. The baseline follows the
    // content so that a later read compares against what was seen here.
    record.dirty.swap(changed);
  }
  if (int error = Save(record))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot store the driver record of device [%s]", device.c_str());
  return CQiError();
}

CQiError SimulatedKzBf::DestroySnap(const std::string& snapshot) {
  if (!IsLoaded()) return NotLoaded(FXCODELOC);
  StateGuard guard;
  if (guard.Result()) return LockFailed(FXCODELOC, guard.Result());
  std::vector<std::string> names;
  ListFolder(DevicesFolder(), names);
  for (const std::string& name : names) {
    const std::string path = DevicesFolder() + "/" + name;
    std::string text;
    TrackedDevice record;
    if (!ReadWholeFile(path, text) || Parse(text, record) != 0 || RecordPath(record.device) != path) continue;
    for (size_t i = 0; i < record.snapshots.size(); ++i) {
      if (record.snapshots[i].device != snapshot) continue;
      const Snapshot removed = record.snapshots[i];
      record.snapshots.erase(record.snapshots.begin() + static_cast<long>(i));
      if (int error = Save(record))
        return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot store the driver record of [%s]", record.device.c_str());
      RemoveSnapshot(removed);
      return CQiError();
    }
  }
  return FXErrorUtil::ErrorErrNo(FXCODELOC, ENOENT, "No snapshot [%s]", snapshot.c_str());
}

CQiError SimulatedKzBf::MarkExtents(const std::string& device, const std::vector<uint64_t>& extents) {
  StateGuard guard;
  if (guard.Result()) return LockFailed(FXCODELOC, guard.Result());
  TrackedDevice record;
  if (int error = Load(device, record)) return LoadFailed(FXCODELOC, device, error);
  for (uint64_t extent : extents) {
    if (extent >= record.baseline.size())
      return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Extent %llu is beyond the %llu extents of [%s]",
                                     static_cast<unsigned long long>(extent),
                                     static_cast<unsigned long long>(record.baseline.size()), device.c_str());
    SetBit(record.dirty, static_cast<size_t>(extent));
  }
  if (int error = Save(record))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot store the driver record of device [%s]", device.c_str());
  return CQiError();
}

CQiError SimulatedKzBf::CreateSnapshot(const std::string& device, bool onLoopDevice, std::string& snapshot) {
  StateGuard guard;
  if (guard.Result()) return LockFailed(FXCODELOC, guard.Result());
  TrackedDevice record;
  if (int error = Load(device, record)) return LoadFailed(FXCODELOC, device, error);
  MakeDirectories(SnapsFolder());
  char pattern[64];
  std::string image;
  for (int n = 0;; ++n) {
    std::snprintf(pattern, sizeof pattern, "/snap%d.img", n);
    image = SnapsFolder() + pattern;
    struct stat info;
    if (::stat(image.c_str(), &info) != 0) break;
  }
  if (int error = CopyDevice(device, image)) {
    ::unlink(image.c_str());
    return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot copy device [%s] to [%s]", device.c_str(), image.c_str());
  }
  snapshot = image;
  if (onLoopDevice) {
    if (int error = AttachLoop(image, snapshot)) {
      ::unlink(image.c_str());
      return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "No free loop device for [%s]", image.c_str());
    }
  }
  record.snapshots.push_back({snapshot, image});
  if (int error = Save(record)) {
    RemoveSnapshot(record.snapshots.back());
    return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot store the driver record of device [%s]", device.c_str());
  }
  return CQiError();
}

}  // namespace platform
