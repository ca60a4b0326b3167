// The extent hash generator over a real device: extents clipped at the
// device's end hash as their bytes followed by zeros whatever the buffer
// held, records counting file-system blocks clip in bytes, and reads that
// fall short or out of the device fail.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "scan/extent_md5.h"
#include "scan/fsblb_hash_generator.h"
#include "scan/reader_test_fixtures.h"

namespace {

using reader_test::kExtent;
using reader_test::kMiB;
using reader_test::Md5Of;
using reader_test::RandomDevice;
using reader_test::Record;

// The digest of the image's last partial extent padded with zeros to 4 MiB.
std::string PaddedLastExtentMd5(const std::string& image, unsigned long long extent, uint64_t bytes) {
  return Md5Of("dd if=" + image + " bs=4M skip=" + std::to_string(extent) + " 2>/dev/null; head -c " +
               std::to_string(4 * kMiB - bytes) + " /dev/zero");
}

TEST(CFSBLBHashGenerator, APartialLastExtentHashesAsItsBytesThenZerosForEveryRecordKind) {
  testing_support::ScopedStateDir state;
  RandomDevice device(10 * kMiB);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(device);
  const std::string expected = PaddedLastExtentMd5(device.Image(), 2, 2 * kMiB);
  // ext4 counts 512-byte blocks; NTFS counts its 4 KiB file-system blocks.
  for (const char* fsType : {"ext4", "NTFS"}) {
    BackupDeviceInfo record = Record(device.Device(), 10 * kMiB, fsType);
    ASSERT_EQ(record.GetDiskSize(), 10 * kMiB) << fsType;
    CFSBLBHashGenerator generator;
    ASSERT_FALSE(generator.Intialize(device.Device(), record, reader_test::OpenReader(device.Device(), record), 0,
                                     &scan::ComputeExtentMd5)
                     .IsError());
    // A buffer left with other bytes, and room behind it that must stay untouched.
    std::vector<unsigned char> buffer(kExtent + 4096, 0xAB);
    std::string hash;
    ASSERT_FALSE(generator.ReadBufferAndGetHash(0, kExtent, buffer.data(), hash).IsError());
    CQiError err = generator.ReadBufferAndGetHash(2 * kExtent, kExtent, buffer.data(), hash);
    ASSERT_FALSE(err.IsError()) << fsType << ": " << err.AsString();
    EXPECT_EQ(hash, expected) << fsType;
    EXPECT_EQ(buffer[kExtent], 0xAB) << fsType;

    err = generator.ReadBuffer(10 * kMiB, kExtent, buffer.data());
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 259)) << fsType;
    EXPECT_EQ(err.GetMessage(), "Accessing out of boundary");
  }
}

TEST(CFSBLBHashGenerator, WholeSectorsOfAnOddLengthAreReadAndTheRestZeroed) {
  testing_support::ScopedStateDir state;
  RandomDevice device(kMiB);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(device);
  BackupDeviceInfo record = Record(device.Device(), kMiB);
  TarvosJobInfo job;
  CFSBLBHashGenerator generator;
  ASSERT_FALSE(generator.Intialize(device.Device(), record, job, 0, &scan::ComputeExtentMd5).IsError());
  std::vector<unsigned char> buffer(1500, 0xCD);
  ASSERT_FALSE(generator.ReadBuffer(512, 1500, buffer.data()).IsError());
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 1024), reader_test::ImageBytes(device.Image(), 512, 1024));
  EXPECT_EQ(std::vector<unsigned char>(buffer.begin() + 1024, buffer.end()), std::vector<unsigned char>(476, 0));
}

// A record that claims more than the device holds: the short read fails
// with the block counts of the record; the device reader calls it success.
TEST(CFSBLBHashGenerator, AReadShortOfTheRecordFailsWithItsBlockCounts) {
  testing_support::ScopedStateDir state;
  RandomDevice device(6 * kMiB);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(device);
  BackupDeviceInfo record = Record(device.Device(), 8 * kMiB);
  CFSBLBHashGenerator generator;
  ASSERT_FALSE(generator.Intialize(device.Device(), record, reader_test::OpenReader(device.Device(), record), 0,
                                   &scan::ComputeExtentMd5)
                   .IsError());
  std::vector<unsigned char> buffer(kExtent);
  CQiError err = generator.ReadBuffer(kExtent, kExtent, buffer.data());
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774));
  EXPECT_EQ(err.GetMessage(), "Read less bytes, Requested=" + std::to_string(8192ull * 4096) +
                                  ", Read=" + std::to_string(4096ull * 4096));

  // Without a device reader or a hash function: failures, not crashes.
  CFSBLBHashGenerator unbound;
  std::string hash;
  EXPECT_TRUE(FXErrorUtil::IsWin32(unbound.ReadBuffer(0, 512, buffer.data()), 774));
  EXPECT_TRUE(FXErrorUtil::IsWin32(unbound.GetHash(buffer.data(), 512, hash), 774));
  TarvosJobInfo job;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(unbound.Intialize("/nonexistent/dev", record, job, 0, nullptr), 2));
}

TEST(ComputeExtentMd5, GivesMd5sumsDigestAndRefusesALengthBeyondIt) {
  std::string hash;
  unsigned char abc[] = {'a', 'b', 'c'};
  ASSERT_FALSE(scan::ComputeExtentMd5(abc, 3, hash).IsError());
  EXPECT_EQ(hash, "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_TRUE(FXErrorUtil::IsWin32(scan::ComputeExtentMd5(abc, 1ull << 31, hash), 774));
}

}  // namespace
