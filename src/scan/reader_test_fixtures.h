#pragma once
// What the extent readers' tests share: a loop device over an image of
// pseudo-random bytes, its device record, collect files naming its extents,
// and the digests dd and md5sum give for its byte ranges, the reference the
// readers' hashes are held against.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/shared_ptr.hpp>
#include <memory>
#include <string>
#include <vector>

#include "platform/hashing/extent_name_converter.h"
#include "records/backup_device_info.h"
#include "records/tarvos_job_info.h"
#include "scan/kz_device_reader_unix.h"
#include "support/loop_device.h"
#include "support/test_platform.h"

namespace reader_test {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kExtent = 4 * kMiB;

// A loop device whose image holds pseudo-random bytes (a different stream
// per seed), written before anything reads the device.
class RandomDevice {
 public:
  explicit RandomDevice(uint64_t size, uint64_t seed = 1) : loop_(size) {
    if (loop_.Ok()) Fill(size, seed);
  }
  bool Ok() const { return loop_.Ok(); }
  const std::string& SkipReason() const { return loop_.SkipReason(); }
  const std::string& Device() const { return loop_.Device(); }
  const std::string& Image() const { return loop_.Image(); }

 private:
  void Fill(uint64_t size, uint64_t seed) {
    const int fd = ::open(loop_.Image().c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    std::vector<uint64_t> chunk(kMiB / 8);
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    for (uint64_t at = 0; at < size; at += kMiB) {
      for (uint64_t& word : chunk) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        word = state;
      }
      const size_t length = static_cast<size_t>(std::min<uint64_t>(kMiB, size - at));
      ASSERT_EQ(::pwrite(fd, chunk.data(), length, static_cast<off_t>(at)), static_cast<ssize_t>(length));
    }
    ::close(fd);
  }

  testing_support::ScopedLoopDevice loop_;
};

// The record of a device of the given size in 4 MiB extents at /mnt/v1.
inline BackupDeviceInfo Record(const std::string& device, uint64_t size, const std::string& fsType = "ext4",
                               uint64_t fsBlockSize = 4096) {
  const uint64_t blockSize = fsType == "NTFS" ? fsBlockSize : 512;
  const uint64_t extents = (size + kExtent - 1) / kExtent;
  return BackupDeviceInfo("true|/mnt/v1|" + device + "|" + fsType + "|rw|" + std::to_string(kExtent) + "|" +
                          std::to_string(size / blockSize) + "|" + std::to_string(fsBlockSize) + "|" +
                          std::to_string((extents + 7) / 8) + "|512|512|512|0|1");
}

inline std::string Name(unsigned long long extent) {
  char name[16];
  EXPECT_TRUE(ExtentNameConverter::Extent_dec_to_base32_v2(extent, name, 8));
  return name;
}

// A collect file of /mnt/v1 listing the extents.
inline void WriteCollect(const std::string& path, const std::vector<unsigned long long>& extents) {
  std::string text;
  for (unsigned long long extent : extents) text += "/mnt/v1/" + Name(extent) + "\n";
  testing_support::WriteFile(path, text);
}

// Bytes of an image file.
inline std::string ImageBytes(const std::string& image, off_t offset, size_t length) {
  std::string bytes(length, '\0');
  const int fd = ::open(image.c_str(), O_RDONLY);
  EXPECT_EQ(::pread(fd, &bytes[0], length, offset), static_cast<ssize_t>(length));
  ::close(fd);
  return bytes;
}

// md5sum of what a shell pipeline prints.
inline std::string Md5Of(const std::string& pipeline) {
  const std::string line = testing_support::CommandOutput("( " + pipeline + " ) | md5sum");
  return line.substr(0, 32);
}

// The digest of one 4 MiB extent of an image, as dd reads it.
inline std::string ExtentMd5(const std::string& image, unsigned long long extent) {
  return Md5Of("dd if=" + image + " bs=4M skip=" + std::to_string(extent) + " count=1 2>/dev/null");
}

// The digests of the image's first `count` 4 MiB extents, as dd reads them.
inline std::vector<std::string> ExtentMd5s(const std::string& image, unsigned count) {
  const std::string lines = testing_support::CommandOutput(
      "for n in $(seq 0 " + std::to_string(count - 1) + "); do dd if=" + image +
      " bs=4M skip=$n count=1 2>/dev/null | md5sum; done");
  std::vector<std::string> digests;
  for (size_t at = 0; at + 32 <= lines.size(); at = lines.find('\n', at) + 1) digests.push_back(lines.substr(at, 32));
  EXPECT_EQ(digests.size(), count);
  return digests;
}

// An opened device reader, as the agent shares one.
inline boost::shared_ptr<KzDeviceReader> OpenReader(const std::string& device, BackupDeviceInfo record) {
  TarvosJobInfo job;
  boost::shared_ptr<KzDeviceReader> reader(new KzDeviceReaderUnix(job));
  CQiError err = reader->InitDevice(device, record);
  EXPECT_FALSE(err.IsError()) << err.AsString();
  return reader;
}

}  // namespace reader_test
