#pragma once
// What the true-up's tests share: a volume of random data whose extent view
// the index holds as it was before some extents were overwritten, the files
// the true-up leaves, and the threads this process runs.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/guid/guid_factory.h"
#include "platform/harness/index_harness.h"
#include "platform/hashing/get_guid.h"
#include "support/test_platform.h"

namespace true_up_test {

constexpr uint64_t kExtentBytes = 4ull << 20;

// "ID HASH" per extent of the bytes, as md5sum prints the hash.
inline std::string ExtentViewLines(const std::vector<unsigned char>& bytes, uint64_t firstExtent, uint64_t lastExtent) {
  std::string text;
  std::string hash;
  for (uint64_t n = firstExtent; n <= lastExtent && (n + 1) * kExtentBytes <= bytes.size(); ++n) {
    GetGUID(bytes.data() + n * kExtentBytes, static_cast<int>(kExtentBytes), hash);
    text += std::to_string(n) + " " + hash + "\n";
  }
  return text;
}

inline std::vector<unsigned char> RandomBytes(uint64_t size, unsigned seed) {
  std::vector<unsigned char> bytes(size);
  std::mt19937_64 random(seed);
  for (uint64_t i = 0; i + 8 <= size; i += 8) {
    const uint64_t word = random();
    std::memcpy(bytes.data() + i, &word, 8);
  }
  return bytes;
}

// Writes through the device (or file) and syncs, so direct reads see it.
inline void WriteAt(const std::string& path, uint64_t offset, const unsigned char* bytes, uint64_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::pwrite(fd, bytes, size, static_cast<off_t>(offset)), static_cast<ssize_t>(size));
  ASSERT_EQ(::fsync(fd), 0);
  ::close(fd);
}

// Overwrites one extent with other random bytes.
inline void OverwriteExtent(const std::string& path, uint64_t extent, unsigned seed) {
  const std::vector<unsigned char> other = RandomBytes(kExtentBytes, seed);
  WriteAt(path, extent * kExtentBytes, other.data(), other.size());
}

inline size_t ThreadCount() {
  size_t count = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  while (dirent* entry = ::readdir(tasks))
    if (entry->d_name[0] != '.') ++count;
  ::closedir(tasks);
  return count;
}

inline std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string text;
  for (unsigned char byte : bytes) {
    if (!text.empty()) text += ' ';
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

// The volume's folder under the true-up folder.
inline std::string VolumeFolder(const std::string& trueUpFolder, const std::string& volume) {
  return trueUpFolder + "/" + CGuidFactory::get_guid_nosalt(volume);
}

}  // namespace true_up_test
