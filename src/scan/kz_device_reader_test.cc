// The snapshot device reader against real objects: loop devices (512-byte
// and 4 KiB sectors), a missing path, a directory; the read call is only
// replaced to provoke what a device seldom does.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "scan/device_read_call.h"
#include "scan/reader_test_fixtures.h"

namespace {

using reader_test::ImageBytes;
using reader_test::kMiB;
using reader_test::RandomDevice;
using reader_test::Record;

// A page-aligned buffer of the given size.
struct AlignedBuffer {
  explicit AlignedBuffer(size_t size) { EXPECT_EQ(::posix_memalign(&data, 4096, size), 0); }
  ~AlignedBuffer() { std::free(data); }
  char* get() const { return static_cast<char*>(data); }
  void* data = nullptr;
};

size_t OpenDescriptors() {
  size_t count = 0;
  DIR* folder = ::opendir("/proc/self/fd");
  while (dirent* entry = ::readdir(folder)) count += entry->d_name[0] != '.';
  ::closedir(folder);
  return count;
}

TEST(KzDeviceReaderUnix, RefusesWhatItCannotOpenAndReadsNothingBeforeIt) {
  testing_support::ScopedStateDir state;
  TarvosJobInfo job;
  KzDeviceReaderUnix reader(job);
  char buffer[4096];
  unsigned long read = 7;
  CQiError err = reader.Read(0, 8, buffer, read);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, -1));
  EXPECT_EQ(err.GetMessage(), "Device not initialized yet");

  BackupDeviceInfo record = Record("/dev/sdz9", 8 * kMiB);
  err = reader.InitDevice(state.Sub("missing"), record);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 2));
  EXPECT_EQ(err.GetMessage(), "Invalid snap device");
  err = reader.InitDevice("", record);
  EXPECT_EQ(err.GetMessage(), "Empty snap device name passed");
  BackupDeviceInfo invalid;
  err = reader.InitDevice(state.Path(), invalid);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, -1));
  EXPECT_EQ(err.GetMessage(), "Invalid Backup Device");
  EXPECT_EQ(reader.CloseDevice().GetMessage(), "Device reader not initialized yet");

  // A directory opens, and its first read fails as the kernel says. Opened
  // again, it holds one descriptor still.
  ASSERT_FALSE(reader.InitDevice(state.Path(), record).IsError());
  const size_t descriptors = OpenDescriptors();
  ASSERT_FALSE(reader.InitDevice(state.Path(), record).IsError());
  EXPECT_EQ(OpenDescriptors(), descriptors);
  err = reader.Read(0, 8, buffer, read);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EISDIR));
  EXPECT_EQ(err.GetMessage(), "failed to read on volume=" + state.Path() + " from offset=0 size=4096");
  ASSERT_FALSE(reader.CloseDevice().IsError());
  EXPECT_EQ(reader.CloseDevice().GetMessage(), "Device reader not initialized yet");
  EXPECT_EQ(reader.Read(0, 8, buffer, read).GetMessage(), "Device not initialized yet");
}

// The device's end is no error: the sectors there are read and counted,
// through the direct descriptor or, off its alignment, the plain one.
TEST(KzDeviceReaderUnix, ReadsUpToTheDevicesEndOnEitherSectorSize) {
  testing_support::ScopedStateDir state;
  for (unsigned sectorSize : {512u, 4096u}) {
    testing_support::ScopedLoopDevice loop(8 * kMiB, sectorSize);
    BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
    std::string pattern(8 * kMiB, '\0');
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i * 7 + i / 4096);
    const int fd = ::open(loop.Image().c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, pattern.data(), pattern.size(), 0), static_cast<ssize_t>(pattern.size()));
    ::close(fd);

    BackupDeviceInfo record = Record(loop.Device(), 8 * kMiB);
    TarvosJobInfo job;
    KzDeviceReaderUnix reader(job);
    ASSERT_FALSE(reader.InitDevice(loop.Device(), record).IsError());
    AlignedBuffer buffer(4 * kMiB + 4096);
    const unsigned long long lastSector = 8 * kMiB / 512;
    unsigned long read = 0;
    // 8 sectors from 2 before the end, into an unaligned buffer too.
    for (char* into : {buffer.get(), buffer.get() + 512}) {
      std::memset(into, 'x', 4096);
      ASSERT_FALSE(reader.Read(lastSector - 2, 8, into, read).IsError()) << sectorSize;
      EXPECT_EQ(read, 2u);
      EXPECT_EQ(std::string(into, 1024), ImageBytes(loop.Image(), 8 * kMiB - 1024, 1024));
      EXPECT_EQ(into[1024], 'x');
    }
    ASSERT_FALSE(reader.Read(lastSector, 8, buffer.get(), read).IsError());
    EXPECT_EQ(read, 0u);
    ASSERT_FALSE(reader.Read(8192, 8192, buffer.get(), read).IsError());
    EXPECT_EQ(read, 8192u);
    EXPECT_EQ(std::string(buffer.get(), 4 * kMiB), pattern.substr(4 * kMiB));
  }
}

std::atomic<int> g_interruptions{0};
std::atomic<int> g_directReads{0};
std::atomic<int> g_plainReads{0};
std::atomic<int> g_failWith{0};

// Interrupts the first calls, then returns at most 1000 bytes a call.
ssize_t InterruptedShortRead(int fd, void* buffer, size_t count, off64_t offset) {
  if (g_interruptions > 0) {
    --g_interruptions;
    errno = EINTR;
    return -1;
  }
  if (g_failWith != 0 && offset > 0) {
    errno = g_failWith;
    return -1;
  }
  return ::pread64(fd, buffer, count < 1000 ? count : 1000, offset);
}

ssize_t CountingRead(int fd, void* buffer, size_t count, off64_t offset) {
  ++((::fcntl(fd, F_GETFL) & O_DIRECT) != 0 ? g_directReads : g_plainReads);
  return ::pread64(fd, buffer, count, offset);
}

TEST(KzDeviceReaderUnix, RetriesInterruptedAndShortReadsAndReportsWhereAReadFailed) {
  testing_support::ScopedStateDir state;
  RandomDevice device(4 * kMiB);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(device);
  const auto reader = reader_test::OpenReader(device.Device(), Record(device.Device(), 4 * kMiB));
  scan::ScopedPreadCall interrupted(&InterruptedShortRead);
  std::vector<char> buffer(8192);
  unsigned long read = 0;
  g_interruptions = 3;
  ASSERT_FALSE(reader->Read(3, 16, buffer.data(), read).IsError());
  EXPECT_EQ(read, 16u);
  EXPECT_EQ(g_interruptions, 0);
  EXPECT_EQ(std::string(buffer.data(), 8192), ImageBytes(device.Image(), 1536, 8192));

  g_failWith = EIO;
  CQiError err = reader->Read(0, 4, buffer.data(), read);
  g_failWith = 0;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EIO));
  EXPECT_EQ(err.GetMessage(), "failed to read on volume=" + device.Device() + " from offset=1000 size=1048");
}

// Extent reads (aligned buffer, offset and length) go past the page cache;
// the rest through it. Threads share one reader.
TEST(KzDeviceReaderUnix, AlignedReadsGoDirectAndThreadsShareOneReader) {
  testing_support::ScopedStateDir state;
  RandomDevice device(16 * kMiB);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(device);
  const auto reader = reader_test::OpenReader(device.Device(), Record(device.Device(), 16 * kMiB));
  const std::string image = ImageBytes(device.Image(), 0, 16 * kMiB);
  scan::ScopedPreadCall counting(&CountingRead);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      AlignedBuffer buffer(kMiB);
      for (int round = 0; round < 8; ++round) {
        const unsigned long long sector = static_cast<unsigned long long>((t * 4 + round % 4) * 2048);
        unsigned long read = 0;
        if (reader->Read(sector, 2048, buffer.get(), read).IsError() || read != 2048 ||
            std::memcmp(buffer.get(), image.data() + sector * 512, kMiB) != 0)
          ++wrong;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(g_directReads, 32);
  EXPECT_EQ(g_plainReads, 0);
  AlignedBuffer buffer(kMiB + 512);
  unsigned long read = 0;
  ASSERT_FALSE(reader->Read(1, 2048, buffer.get() + 512, read).IsError());  // sector-aligned: direct
  EXPECT_EQ(g_plainReads, 0);
  ASSERT_FALSE(reader->Read(1, 2048, buffer.get() + 100, read).IsError());
  EXPECT_EQ(g_plainReads, 1);
  EXPECT_EQ(std::memcmp(buffer.get() + 100, image.data() + 512, kMiB), 0);
}

}  // namespace
