#include "platform/driver/tracked_extents.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/sim/fs_util.h"

namespace platform {
namespace {

bool TestBit(const std::vector<unsigned char>& bits, size_t i) { return (bits[i / 8] >> (i % 8)) & 1; }
void SetBit(std::vector<unsigned char>& bits, size_t i) { bits[i / 8] |= static_cast<unsigned char>(1u << (i % 8)); }

bool ReadNumber(const std::string& text, unsigned long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text.c_str(), &end, 10);
  return errno == 0 && end != nullptr && *end == '\0';
}

}  // namespace

int TrackedExtents::Start(const std::string& device, int size) {
  if (size < 512) return EINVAL;
  extentSize = size;
  if (int error = DigestExtents(device, static_cast<uint64_t>(size), baseline, deviceSize)) return error;
  dirty.assign(BitmapBytes(), 0);
  return 0;
}

int TrackedExtents::Read(const std::string& device, bool clear, std::vector<unsigned char>& changed) {
  std::vector<ExtentDigest> now;
  uint64_t size = 0;
  if (int error = DigestExtents(device, static_cast<uint64_t>(extentSize), now, size)) return error;
  changed.assign((now.size() + 7) / 8, 0);
  for (size_t i = 0; i < now.size(); ++i) {
    const bool marked = i / 8 < dirty.size() && TestBit(dirty, i);
    if (marked || i >= baseline.size() || now[i] != baseline[i]) SetBit(changed, i);
  }
  deviceSize = size;
  baseline.swap(now);
  if (clear)
    dirty.assign(changed.size(), 0);
  else
    dirty = changed;
  return 0;
}

int TrackedExtents::Mark(const std::vector<uint64_t>& extents) {
  for (uint64_t extent : extents)
    if (extent >= baseline.size()) return EINVAL;
  for (uint64_t extent : extents) SetBit(dirty, static_cast<size_t>(extent));
  return 0;
}

std::string SerializeTrackedRecord(const std::string& magic, const RecordFields& fields,
                                   const TrackedExtents& extents) {
  std::string text = magic + "\n";
  for (const auto& [key, value] : fields) text += key + "=" + value + "\n";
  text += "extentSize=" + std::to_string(extents.extentSize) + "\n";
  text += "deviceSize=" + std::to_string(extents.deviceSize) + "\n";
  text += "extents=" + std::to_string(extents.baseline.size()) + "\n";
  text += "data\n";
  for (const ExtentDigest& digest : extents.baseline)
    text.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  text.append(reinterpret_cast<const char*>(extents.dirty.data()), extents.dirty.size());
  return text;
}

int ParseTrackedRecord(const std::string& text, const std::string& magic, RecordFields& fields,
                       TrackedExtents& extents) {
  fields.clear();
  extents = TrackedExtents();
  const std::string separator = "\ndata\n";
  const size_t dataAt = text.find(separator);
  if (dataAt == std::string::npos) return EBADMSG;
  std::vector<std::string> lines;
  for (size_t start = 0; start <= dataAt;) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (lines.empty() || lines[0] != magic) return EBADMSG;
  unsigned long long count = 0, number = 0;
  bool haveCount = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const size_t equals = lines[i].find('=');
    if (equals == std::string::npos) return EBADMSG;
    const std::string key = lines[i].substr(0, equals), value = lines[i].substr(equals + 1);
    if (key == "extentSize") {
      if (!ReadNumber(value, number) || number < 512 || number > 0x7FFFFFFF) return EBADMSG;
      extents.extentSize = static_cast<int>(number);
    } else if (key == "deviceSize") {
      if (!ReadNumber(value, number)) return EBADMSG;
      extents.deviceSize = number;
    } else if (key == "extents") {
      if (!ReadNumber(value, count)) return EBADMSG;
      haveCount = true;
    } else {
      fields.emplace_back(key, value);
    }
  }
  const size_t payload = text.size() - (dataAt + separator.size());
  const uint64_t extentSize = static_cast<uint64_t>(extents.extentSize);
  // The counts must agree with each other and with what the record holds
  // before anything is sized by them.
  if (!haveCount || extentSize == 0 || count > payload / 16 || payload != count * 16 + (count + 7) / 8 ||
      count != extents.deviceSize / extentSize + (extents.deviceSize % extentSize != 0 ? 1 : 0))
    return EBADMSG;
  const char* data = text.data() + dataAt + separator.size();
  extents.baseline.resize(count);
  for (unsigned long long i = 0; i < count; ++i) std::memcpy(extents.baseline[i].data(), data + i * 16, 16);
  extents.dirty.assign(data + count * 16, data + payload);
  return 0;
}

std::string EscapedFileName(const std::string& text) {
  static const char* kHex = "0123456789ABCDEF";
  std::string name;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
      name += static_cast<char>(c);
    } else {
      name += '%';
      name += kHex[c >> 4];
      name += kHex[c & 15];
    }
  }
  return name;
}

std::vector<std::string> ListFiles(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

bool IsDriverLoaded(const std::string& folder) {
  struct stat info;
  return ::stat((folder + "/loaded").c_str(), &info) == 0;
}

bool SetDriverLoaded(const std::string& folder, bool loaded) {
  const std::string marker = folder + "/loaded";
  if (!loaded) return (::unlink(marker.c_str()) == 0 && SyncFolder(folder)) || errno == ENOENT;
  return MakeDirectoriesDurably(folder) && WriteFileAtomically(marker, "loaded\n");
}

DriverStateGuard::DriverStateGuard(const std::string& folder) : m_oLock(true) {
  MakeDirectoriesDurably(folder);
  m_nResult = m_oLock.lock(folder + "/.lock", KzFileLock::kWrite, -1);
}

}  // namespace platform
