#pragma once
// Change tracking by content, shared by the simulated filter drivers.
//
// Per tracked device a driver keeps its extent size, an MD5 digest per extent
// taken when tracking starts and at every clear (the baseline), and a dirty
// bitmap. An extent is changed when its content differs from its baseline or
// its dirty bit is set (the harness marks extents directly).
//
// A driver keeps one record file per device: a magic line, "key=value" lines
// (the driver's own fields, then extentSize, deviceSize and extents), a line
// "data", then the digests and the dirty bits. The driver's state folder is
// guarded by one lock file, held for each call, so every process sees one
// driver.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/driver/extent_digest.h"
#include "platform/lock/kz_file_lock.h"

namespace platform {

struct TrackedExtents {
  int extentSize = 0;
  uint64_t deviceSize = 0;
  std::vector<ExtentDigest> baseline;
  std::vector<unsigned char> dirty;  // one bit per extent

  size_t BitmapBytes() const { return (baseline.size() + 7) / 8; }

  // Takes the first baseline of the device; 0 or an errno.
  int Start(const std::string& device, int extentSize);
  // The extents changed since the baseline (one bit each, BitmapBytes long),
  // and a new baseline of what was read. With clear the dirty bits go; without,
  // what was seen stays changed until a clear, even if written back later: a
  // driver records writes, not differences. 0 or an errno.
  int Read(const std::string& device, bool clear, std::vector<unsigned char>& changed);
  // Sets the dirty bits of the extents; EINVAL (nothing set) for one beyond
  // the device.
  int Mark(const std::vector<uint64_t>& extents);
};

using RecordFields = std::vector<std::pair<std::string, std::string>>;

std::string SerializeTrackedRecord(const std::string& magic, const RecordFields& fields,
                                   const TrackedExtents& extents);
// 0, or EBADMSG when the record is damaged; fields gets the driver's own
// "key=value" lines in file order.
int ParseTrackedRecord(const std::string& text, const std::string& magic, RecordFields& fields,
                       TrackedExtents& extents);

// A text as a file name: letters, digits, '-' and '_' stand, every other byte
// is %XX, so distinct texts never share a record.
std::string EscapedFileName(const std::string& text);
// The names of the folder's files ending in the suffix; none when it cannot be
// listed.
std::vector<std::string> ListFiles(const std::string& folder, const std::string& suffix);

// The marker "loaded" in a driver's state folder: present while the driver
// is loaded.
bool IsDriverLoaded(const std::string& folder);
bool SetDriverLoaded(const std::string& folder, bool loaded);

// The one lock of a driver's state folder (made when missing), held for the
// guard's life.
class DriverStateGuard {
 public:
  explicit DriverStateGuard(const std::string& folder);
  // 0, or the errno of a lock that could not be taken.
  int Result() const { return m_nResult; }

 private:
  KzFileLock m_oLock;
  int m_nResult = 0;
};

}  // namespace platform
