#include "platform/driver/simulated_kzbf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

#include "platform/blockdev/loop_backing.h"
#include "platform/driver/tracked_extents.h"
#include "platform/memory/auto_handle.h"
#include "platform/process/shell_quote.h"
#include "platform/settings/settings.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"

namespace platform {
namespace {

constexpr const char* kMagic = "KZBFSIM 1";

struct Snapshot {
  std::string device;  // what the driver lists
  std::string image;   // the copy behind it
  std::string owner;   // who took it; empty when not told
};

// "snapshot<TAB>image", then "<TAB>owner" when there is one.
std::string EntryText(const Snapshot& snapshot) {
  return snapshot.device + "\t" + snapshot.image + (snapshot.owner.empty() ? "" : "\t" + snapshot.owner);
}

bool ParseEntry(const std::string& text, Snapshot& snapshot) {
  const size_t tab = text.find('\t');
  if (tab == std::string::npos) return false;
  const size_t second = text.find('\t', tab + 1);
  snapshot.device = text.substr(0, tab);
  snapshot.image = text.substr(tab + 1, second == std::string::npos ? std::string::npos : second - tab - 1);
  snapshot.owner = second == std::string::npos ? std::string() : text.substr(second + 1);
  return true;
}

struct TrackedDevice {
  std::string device;
  TrackedExtents extents;
  std::vector<Snapshot> snapshots;
};

std::string DevicesFolder() {
  return SimulatedKzBf::Folder() + "/devices";
}
std::string SnapsFolder() {
  return SimulatedKzBf::Folder() + "/snaps";
}

std::string RecordPath(const std::string& device) {
  return DevicesFolder() + "/" + EscapedFileName(device) + ".dev";
}

// The one lock of the driver's state, held for each call.
class StateGuard : public DriverStateGuard {
 public:
  StateGuard() : DriverStateGuard(SimulatedKzBf::Folder()) {}
};

std::string Serialize(const TrackedDevice& record) {
  RecordFields fields{{"device", record.device}};
  for (const Snapshot& snapshot : record.snapshots) fields.emplace_back("snapshot", EntryText(snapshot));
  return SerializeTrackedRecord(kMagic, fields, record.extents);
}

// 0, or EBADMSG when the record is damaged.
int Parse(const std::string& text, TrackedDevice& record) {
  RecordFields fields;
  if (int error = ParseTrackedRecord(text, kMagic, fields, record.extents)) return error;
  for (const auto& [key, value] : fields) {
    if (key == "device") {
      record.device = value;
    } else if (key == "snapshot") {
      Snapshot snapshot;
      if (!ParseEntry(value, snapshot)) return EBADMSG;
      record.snapshots.push_back(snapshot);
    }
  }
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
  MakeDirectoriesDurably(DevicesFolder());
  return WriteFileAtomically(RecordPath(record.device), Serialize(record)) ? 0 : (errno ? errno : EIO);
}

// The loop devices that read the image, whatever the records say: the
// snapshot's own, or one that a copy cut short attached before its record
// named it. A device whose image went may have been given to someone else
// since, and is left alone. While the image is there, a device reads it by
// its device and inode: the path a device was attached under names another
// file in another mount namespace.
std::vector<std::string> LoopDevicesReading(const std::string& image) {
  std::vector<std::string> devices;
  struct stat imageInfo;
  const bool imageThere = ::stat(image.c_str(), &imageInfo) == 0;
  char* canonical = ::realpath(image.c_str(), nullptr);
  const std::string real = canonical != nullptr ? canonical : image;
  std::free(canonical);
  for (const std::string& name : ListFiles("/sys/block", "")) {
    if (name.rfind("loop", 0) != 0) continue;
    std::string backing;
    if (!ReadWholeFile("/sys/block/" + name + "/loop/backing_file", backing)) continue;
    while (!backing.empty() && backing.back() == '\n') backing.pop_back();
    bool reads = false;
    if (imageThere) {
      auto_handle loop(::open(("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC));
      reads = loop.get() >= 0 && platform::LoopDeviceReads(loop.get(), imageInfo);
    } else {
      for (const std::string& path : {image, real}) reads = reads || backing == path + " (deleted)";
    }
    if (reads) devices.push_back("/dev/" + name);
  }
  return devices;
}

void RemoveSnapshot(const Snapshot& snapshot, SimulatedKzBf::Destroyed* destroyed = nullptr) {
  for (const std::string& device : LoopDevicesReading(snapshot.image)) {
    const std::string command = "losetup -d " + platform::ShellQuote(device) + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "kzbf: cannot detach %s\n", device.c_str());
    } else if (destroyed != nullptr) {
      destroyed->detached.push_back(device);
    }
  }
  const bool removed = ::unlink(snapshot.image.c_str()) == 0;
  if (destroyed != nullptr) destroyed->imageRemoved = removed;
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

// Copies a device into an image file. The device is read past its page
// cache: a buffered copy of a mounted file system's device can hand back
// blocks the file system has overwritten since, so the copy would not be
// the frozen file system.
// The image is made anew, never over a file that exists (`created` tells
// whether this call made it).
int CopyDevice(const std::string& device, const std::string& image, bool& created) {
  auto_handle out(::open(image.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  created = out.get() >= 0;
  if (!created) return errno;
  uint64_t size = 0;
  bool first = true;
  const int error = ReadDevice(device, size, [&](const unsigned char* data, size_t length) {
    for (size_t put = 0; put < length;) {
      ssize_t wrote = ::write(out.get(), data + put, length - put);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) return wrote < 0 ? errno : EIO;
      put += static_cast<size_t>(wrote);
    }
    // Checked once the first part is copied: a delay holds the copy half
    // done, an error cuts it short there.
    int injected = 0;
    if (first && InjectedFaultCode("KzbfCopyDevice", injected)) return injected;
    first = false;
    return 0;
  });
  if (error) return error;
  if (::fsync(out.get()) != 0) return errno;
  // The driver's record will name the image: its name must last too.
  return SyncFolder(ParentOf(image)) ? 0 : errno;
}

constexpr const char* kImagePrefix = "snap";
constexpr const char* kImageSuffix = ".img";

// One past the highest number of an image in the snapshots folder; 0 when
// there is none.
unsigned long long OnePastTheHighestImage() {
  unsigned long long next = 0;
  const size_t prefix = std::strlen(kImagePrefix), suffix = std::strlen(kImageSuffix);
  for (const std::string& name : ListFiles(SnapsFolder(), kImageSuffix)) {
    if (name.compare(0, prefix, kImagePrefix) != 0 || name.size() <= prefix + suffix) continue;
    const std::string digits = name.substr(prefix, name.size() - prefix - suffix);
    if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const unsigned long long number = std::strtoull(digits.c_str(), nullptr, 10);
    if (number >= next) next = number + 1;
  }
  return next;
}

// A name no snapshot image had before: a snapshot is told from a later one
// that got the same (reused) loop device by its image. The counter
// (".next") keeps the names handed out, the images of destroyed snapshots
// included, so a counter that cannot be read or written fails the snapshot
// instead of starting over; a missing one (the first snapshot, or one
// removed) starts past the images left. Nor is a name handed out that a
// snapshot's record names (a copy killed before it made its image): its
// destruction would take the new image. The caller holds the driver's
// lock.
CQiError NewImagePath(const std::set<std::string>& recorded, std::string& image) {
  if (!MakeDirectoriesDurably(SnapsFolder()))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot make the snapshot folder [%s]", SnapsFolder().c_str());
  const std::string counter = SnapsFolder() + "/.next";
  std::string text;
  unsigned long long next = 0;
  if (ReadWholeFile(counter, text)) {
    char* end = nullptr;
    errno = 0;
    next = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || errno != 0 ||
        (*end != '\0' && std::strcmp(end, "\n") != 0))
      return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "The snapshot image counter [%s] holds no number",
                                     counter.c_str());
  } else if (errno == ENOENT) {
    next = OnePastTheHighestImage();
  } else {
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot read the snapshot image counter [%s]", counter.c_str());
  }
  for (;; ++next) {
    image = SnapsFolder() + "/" + kImagePrefix + std::to_string(next) + kImageSuffix;
    struct stat info;
    if (::lstat(image.c_str(), &info) != 0 && recorded.count(image) == 0) break;
  }
  if (!WriteFileAtomically(counter, std::to_string(next + 1) + "\n"))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot write the snapshot image counter [%s]", counter.c_str());
  return CQiError();
}

// Snapshots of devices the driver does not track (driverless volumes): the
// driver does not list them, but destroys them as it does its own. One
// record per device, a "snapshot<TAB>image[<TAB>owner]" line each.
std::string LooseFolder() {
  return SimulatedKzBf::Folder() + "/loose";
}

std::string LooseRecordPath(const std::string& device) {
  return LooseFolder() + "/" + EscapedFileName(device) + ".snaps";
}

std::vector<Snapshot> LoadLoose(const std::string& path) {
  std::vector<Snapshot> snapshots;
  std::string text;
  if (!ReadWholeFile(path, text)) return snapshots;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    Snapshot snapshot;
    if (ParseEntry(text.substr(start, end - start), snapshot)) snapshots.push_back(snapshot);
    start = end + 1;
  }
  return snapshots;
}

int SaveLoose(const std::string& path, const std::vector<Snapshot>& snapshots) {
  if (snapshots.empty()) {
    if (::unlink(path.c_str()) != 0) return errno == ENOENT ? 0 : errno;
    return SyncFolder(ParentOf(path)) ? 0 : errno;
  }
  std::string text;
  for (const Snapshot& snapshot : snapshots) text += EntryText(snapshot) + "\n";
  MakeDirectoriesDurably(ParentOf(path));
  return WriteFileAtomically(path, text) ? 0 : (errno ? errno : EIO);
}

// Removes a snapshot from a list it is in; false when it is in none.
bool TakeSnapshot(std::vector<Snapshot>& snapshots, const std::string& snapshot, Snapshot& taken) {
  for (size_t i = 0; i < snapshots.size(); ++i) {
    if (snapshots[i].device != snapshot) continue;
    taken = snapshots[i];
    snapshots.erase(snapshots.begin() + static_cast<long>(i));
    return true;
  }
  return false;
}

// The snapshots of one record as stored: a tracked device's, or the loose
// ones of a device not tracked.
struct SnapshotList {
  std::string path;
  bool tracked = false;
  TrackedDevice record;         // when tracked
  std::vector<Snapshot> loose;  // when not
  std::vector<Snapshot>& Snapshots() { return tracked ? record.snapshots : loose; }
  int Store() const { return tracked ? Save(record) : SaveLoose(path, loose); }
};

// Every record of snapshots, as stored now; one that cannot be read is left
// out. The caller holds the driver's lock to change them.
std::vector<SnapshotList> SnapshotLists() {
  std::vector<SnapshotList> lists;
  for (const std::string& name : ListFiles(DevicesFolder(), ".dev")) {
    SnapshotList list;
    list.path = DevicesFolder() + "/" + name;
    list.tracked = true;
    std::string text;
    if (ReadWholeFile(list.path, text) && Parse(text, list.record) == 0 && RecordPath(list.record.device) == list.path)
      lists.push_back(std::move(list));
  }
  for (const std::string& name : ListFiles(LooseFolder(), ".snaps")) {
    SnapshotList list;
    list.path = LooseFolder() + "/" + name;
    list.loose = LoadLoose(list.path);
    lists.push_back(std::move(list));
  }
  return lists;
}

// Snapshots recorded on a loop device that a new snapshot just got: that
// device let their images go since (a detach, a restart), so they are named
// by their images from now on, and the loop device names one snapshot. The
// record at `except` is the caller's to store; `lists` are the records as
// read under the lock the caller still holds.
int ForgetLoopDevice(const std::string& loop, const std::string& except, std::vector<Snapshot>& own,
                     std::vector<SnapshotList>& lists) {
  for (Snapshot& snapshot : own)
    if (snapshot.device == loop) snapshot.device = snapshot.image;
  for (SnapshotList& list : lists) {
    if (list.path == except) continue;
    bool renamed = false;
    for (Snapshot& snapshot : list.Snapshots())
      if (snapshot.device == loop) snapshot.device = snapshot.image, renamed = true;
    if (renamed)
      if (int error = list.Store()) return error;
  }
  return 0;
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

}  // namespace

KzBfBackend& KzBfBackend::Default() {
  static SimulatedKzBf* driver = new SimulatedKzBf();
  return *driver;
}

std::string SimulatedKzBf::Folder() {
  return Settings::StatePath("drivers/kzbf");
}

bool SimulatedKzBf::IsLoaded() {
  return IsDriverLoaded(Folder());
}

bool SimulatedKzBf::SetLoaded(bool loaded) {
  return SetDriverLoaded(Folder(), loaded);
}

CQiError SimulatedKzBf::Open() {
  if (!IsLoaded()) return NotLoaded(FXCODELOC);
  return CQiError();
}

CQiError SimulatedKzBf::Attach(const std::string& device, int extentSize) {
  if (!IsLoaded()) return NotLoaded(FXCODELOC);
  if (extentSize < 512)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "Invalid extent size %d for device [%s]", extentSize,
                                   device.c_str());
  StateGuard guard;
  if (guard.Result()) return LockFailed(FXCODELOC, guard.Result());
  TrackedDevice record;
  const int loaded = Load(device, record);
  if (loaded == 0) return FXErrorUtil::ErrorErrNo(FXCODELOC, 114, "Device [%s] is already attached", device.c_str());
  if (loaded != ENXIO) return LoadFailed(FXCODELOC, device, loaded);
  record = TrackedDevice();
  record.device = device;
  if (int error = record.extents.Start(device, extentSize))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot read device [%s]", device.c_str());
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
  // A detach that a power loss took back would have the next step find the
  // device still tracked where the library expects to attach it anew (and
  // so go full).
  if (!SyncFolder(DevicesFolder()))
    return FXErrorUtil::ErrorFromErrno(FXCODELOC, "Cannot sync the driver records after detaching [%s]",
                                       device.c_str());
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
  status.deviceSize = static_cast<int64_t>(record.extents.deviceSize);
  status.extentSize = record.extents.extentSize;
  status.extentCount = static_cast<int>(record.extents.baseline.size());
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
  if (int error = record.extents.Read(device, clear, changed))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot read device [%s]", device.c_str());
  // The caller sized the vector to the bitmap it expects and relies on it
  // holding at least that much: a shorter bitmap of ours is padded.
  const size_t requested = bitmap.size();
  bitmap.assign(changed.begin(), changed.end());
  if (bitmap.size() < requested) bitmap.resize(requested, 0);
  if (int error = Save(record))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot store the driver record of device [%s]", device.c_str());
  return CQiError();
}

CQiError SimulatedKzBf::DestroySnap(const std::string& snapshot) {
  if (!IsLoaded()) return NotLoaded(FXCODELOC);
  StateGuard guard;
  if (guard.Result()) return LockFailed(FXCODELOC, guard.Result());
  // Each snapshot goes before its record is saved: its image frees the room
  // the save needs on a full disk. A record that still lists a snapshot
  // removed already is harmless: destroying it again only saves the record.
  Snapshot removed;
  for (const std::string& name : ListFiles(DevicesFolder(), ".dev")) {
    const std::string path = DevicesFolder() + "/" + name;
    std::string text;
    TrackedDevice record;
    if (!ReadWholeFile(path, text) || Parse(text, record) != 0 || RecordPath(record.device) != path) continue;
    if (!TakeSnapshot(record.snapshots, snapshot, removed)) continue;
    RemoveSnapshot(removed);
    if (int error = Save(record))
      return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot store the driver record of [%s]", record.device.c_str());
    return CQiError();
  }
  for (const std::string& name : ListFiles(LooseFolder(), ".snaps")) {
    const std::string path = LooseFolder() + "/" + name;
    std::vector<Snapshot> snapshots = LoadLoose(path);
    if (!TakeSnapshot(snapshots, snapshot, removed)) continue;
    RemoveSnapshot(removed);
    if (int error = SaveLoose(path, snapshots))
      return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot store the snapshot record [%s]", path.c_str());
    return CQiError();
  }
  return FXErrorUtil::ErrorErrNo(FXCODELOC, ENOENT, "No snapshot [%s]", snapshot.c_str());
}

void SimulatedKzBf::DestroyAllSnapshots() {
  StateGuard guard;
  if (guard.Result()) return;
  for (const std::string& name : ListFiles(DevicesFolder(), ".dev")) {
    std::string text;
    TrackedDevice record;
    if (!ReadWholeFile(DevicesFolder() + "/" + name, text) || Parse(text, record) != 0) continue;
    for (const Snapshot& snapshot : record.snapshots) RemoveSnapshot(snapshot);
    record.snapshots.clear();
    Save(record);
  }
  const std::vector<std::string> loose = ListFiles(LooseFolder(), ".snaps");
  for (const std::string& name : loose) {
    for (const Snapshot& snapshot : LoadLoose(LooseFolder() + "/" + name)) RemoveSnapshot(snapshot);
    ::unlink((LooseFolder() + "/" + name).c_str());
  }
  if (!loose.empty()) SyncFolder(LooseFolder());
}

CQiError SimulatedKzBf::SnapshotImage(const std::string& snapshot, std::string& image) {
  StateGuard guard;
  if (guard.Result()) return LockFailed(FXCODELOC, guard.Result());
  std::vector<Snapshot> snapshots;
  for (const std::string& name : ListFiles(DevicesFolder(), ".dev")) {
    std::string text;
    TrackedDevice record;
    if (ReadWholeFile(DevicesFolder() + "/" + name, text) && Parse(text, record) == 0)
      snapshots.insert(snapshots.end(), record.snapshots.begin(), record.snapshots.end());
  }
  for (const std::string& name : ListFiles(LooseFolder(), ".snaps")) {
    const std::vector<Snapshot> loose = LoadLoose(LooseFolder() + "/" + name);
    snapshots.insert(snapshots.end(), loose.begin(), loose.end());
  }
  for (const Snapshot& known : snapshots) {
    if (known.device != snapshot) continue;
    image = known.image;
    return CQiError();
  }
  return FXErrorUtil::ErrorErrNo(FXCODELOC, ENOENT, "No snapshot [%s]", snapshot.c_str());
}

CQiError SimulatedKzBf::Snapshots(std::vector<Recorded>& snapshots) {
  snapshots.clear();
  // Read without the driver's lock, which a copy under way holds for its
  // whole length: each record is replaced whole.
  for (SnapshotList& list : SnapshotLists())
    for (const Snapshot& snapshot : list.Snapshots())
      snapshots.push_back(
          {list.tracked ? list.record.device : std::string(), snapshot.device, snapshot.image, snapshot.owner});
  return CQiError();
}

CQiError SimulatedKzBf::DestroySnapshotOf(const std::string& image, const std::string& owner, Destroyed& destroyed) {
  destroyed = Destroyed();
  if (!IsLoaded()) return NotLoaded(FXCODELOC);
  StateGuard guard;
  if (guard.Result()) return LockFailed(FXCODELOC, guard.Result());
  std::vector<SnapshotList> lists = SnapshotLists();
  SnapshotList* holder = nullptr;
  size_t at = 0, naming = 0;
  for (SnapshotList& list : lists) {
    std::vector<Snapshot>& snapshots = list.Snapshots();
    for (size_t i = 0; i < snapshots.size(); ++i) {
      if (snapshots[i].image != image) continue;
      ++naming;
      if (holder == nullptr && (snapshots[i].owner == owner || snapshots[i].owner.empty())) holder = &list, at = i;
    }
  }
  if (holder == nullptr)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, ENOENT, "No snapshot of image [%s] taken by [%s]", image.c_str(),
                                   owner.c_str());
  std::vector<Snapshot>& snapshots = holder->Snapshots();
  const Snapshot taken = snapshots[at];
  snapshots.erase(snapshots.begin() + static_cast<long>(at));
  // As in destroySnap, the snapshot goes before its record is saved. An
  // image another record names is that snapshot's.
  if (naming == 1) RemoveSnapshot(taken, &destroyed);
  if (int error = holder->Store())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot store the snapshot record [%s]", holder->path.c_str());
  return CQiError();
}

CQiError SimulatedKzBf::MarkExtents(const std::string& device, const std::vector<uint64_t>& extents) {
  StateGuard guard;
  if (guard.Result()) return LockFailed(FXCODELOC, guard.Result());
  TrackedDevice record;
  if (int error = Load(device, record)) return LoadFailed(FXCODELOC, device, error);
  if (record.extents.Mark(extents) != 0)
    return FXErrorUtil::ErrorErrNo(FXCODELOC, EINVAL, "An extent is beyond the %llu extents of [%s]",
                                   static_cast<unsigned long long>(record.extents.baseline.size()), device.c_str());
  if (int error = Save(record))
    return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot store the driver record of device [%s]", device.c_str());
  return CQiError();
}

CQiError SimulatedKzBf::CreateSnapshot(const std::string& device, bool onLoopDevice, std::string& snapshot,
                                       const std::function<void(const std::string& image)>& copying,
                                       const std::string& owner) {
  // Checked before the driver's lock: a delay holds the caller (inside a
  // job's frozen window), not every other process using the driver.
  CQiError fault = InjectedFault("KzbfCreateSnapshot", FXCODELOC);
  if (fault.IsError()) return fault;
  StateGuard guard;
  if (guard.Result()) return LockFailed(FXCODELOC, guard.Result());
  TrackedDevice record;
  const int loaded = Load(device, record);
  if (loaded != 0 && loaded != ENXIO) return LoadFailed(FXCODELOC, device, loaded);
  // The device's snapshots as the driver records them: in its record when
  // it is tracked, else loose.
  const std::string loosePath = LooseRecordPath(device);
  std::vector<Snapshot> loose = loaded == 0 ? std::vector<Snapshot>() : LoadLoose(loosePath);
  std::vector<Snapshot>& snapshots = loaded == 0 ? record.snapshots : loose;
  const auto store = [&] { return loaded == 0 ? Save(record) : SaveLoose(loosePath, loose); };
  const auto drop = [&snapshots](const std::string& name) {
    Snapshot dropped;
    TakeSnapshot(snapshots, name, dropped);
  };
  // The image is recorded before the copy starts, as a snapshot on no loop
  // device yet: a copy cut short (kill -9, a crash, a power loss) leaves an
  // image that destroySnap, a detach and the next clean-up of stale
  // snapshots find. While this call holds the lock, no one else sees it.
  std::vector<SnapshotList> lists = SnapshotLists();
  std::set<std::string> recorded;
  for (SnapshotList& list : lists)
    for (const Snapshot& known : list.Snapshots()) recorded.insert(known.image);
  std::string image;
  CQiError named = NewImagePath(recorded, image);
  if (named.IsError()) return named.Push(FXCODELOC, "Cannot name a snapshot image of device [%s]", device.c_str());
  const Snapshot pending{image, image, owner};
  snapshots.push_back(pending);
  if (int error = store())
    return FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot store the snapshot record of device [%s]", device.c_str());
  if (copying) copying(image);
  bool created = false;
  int error = CopyDevice(device, image, created);
  CQiError failed;
  if (error) {
    failed =
        FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot copy device [%s] to [%s]", device.c_str(), image.c_str());
  } else if (onLoopDevice && (error = AttachLoop(image, snapshot)) != 0) {
    failed = FXErrorUtil::ErrorErrNo(FXCODELOC, error, "No free loop device for [%s]", image.c_str());
  } else if (onLoopDevice && (error = ForgetLoopDevice(snapshot, loaded == 0 ? RecordPath(device) : loosePath,
                                                       snapshots, lists)) != 0) {
    failed = FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot store the snapshot records on [%s]", snapshot.c_str());
  } else {
    if (!onLoopDevice) snapshot = image;
    drop(image);
    snapshots.push_back({snapshot, image, owner});
    if ((error = store()) == 0) return CQiError();
    failed =
        FXErrorUtil::ErrorErrNo(FXCODELOC, error, "Cannot store the snapshot record of device [%s]", device.c_str());
    drop(snapshot);
  }
  // Nothing is kept; a record that still names the image names nothing. A
  // file that stood at the image's name is someone else's.
  if (created) RemoveSnapshot(pending);
  drop(image);
  store();
  return failed;
}

}  // namespace platform
