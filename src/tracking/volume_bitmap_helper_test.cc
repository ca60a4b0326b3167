#include "tracking/volume_bitmap_helper.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <random>
#include <vector>

#include "platform/guid/guid_factory.h"
#include "support/ext_image.h"
#include "support/test_platform.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string AsText(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

Bytes RandomBytes(size_t size, unsigned seed, int density) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (unsigned char& b : bytes) {
    b = 0;
    for (int bit = 0; bit < 8; ++bit)
      if (static_cast<int>(random() % 100) < density) b = static_cast<unsigned char>(b | (1u << bit));
  }
  return bytes;
}

}  // namespace

TEST(BitmapFiles, RoundTripsAndReadFailures) {
  testing_support::ScopedStateDir state;
  const Bytes bitmap = RandomBytes(1029, 7, 30);
  const unsigned long size = bitmap.size();

  // Raw file: bytes only, read back by known size and as a whole file.
  const std::string raw = state.Sub("raw.bmp");
  ASSERT_FALSE(VolumeBitMapHelper::WriteBitMapToFile(raw, bitmap.data(), size).IsError());
  EXPECT_EQ(testing_support::ReadFile(raw), AsText(bitmap));
  unsigned char* read = nullptr;
  ASSERT_FALSE(VolumeBitMapHelper::ReadBitMapFromFile(raw, &read, size).IsError());
  EXPECT_EQ(Bytes(read, read + size), bitmap);
  std::free(read);
  auto_ptr_array<unsigned char> whole;
  unsigned long wholeSize = 0;
  ASSERT_FALSE(VolumeBitMapHelper::ReadBitMapFromFile(raw, whole, wholeSize).IsError());
  ASSERT_EQ(wholeSize, size);
  EXPECT_EQ(Bytes(whole.get(), whole.get() + wholeSize), bitmap);

  // A longer file gives its first bytes; a shorter one fails.
  const unsigned long smaller = 1000;
  ASSERT_FALSE(VolumeBitMapHelper::ReadBitMapFromFile(raw, &read, smaller).IsError());
  EXPECT_EQ(Bytes(read, read + smaller), Bytes(bitmap.begin(), bitmap.begin() + smaller));
  std::free(read);
  const unsigned long larger = 2000;
  CQiError err = VolumeBitMapHelper::ReadBitMapFromFile(raw, &read, larger);
  EXPECT_TRUE(err.IsError());
  EXPECT_EQ(read, nullptr);
  EXPECT_EQ(err.GetMessage(), "Failed to read bitmap from file [" + raw + "] BitmapSize[2000] BytesRead[1029]");
  EXPECT_FALSE(FXErrorUtil::IsErrNo(err, ENOENT));
  // A size no file here holds (a damaged record's) is refused before it is
  // allocated.
  const unsigned long huge = 1ul << 42;
  err = VolumeBitMapHelper::ReadBitMapFromFile(raw, &read, huge);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EIO)) << err.AsString();
  EXPECT_EQ(read, nullptr);

  // A missing raw file is errno 2: callers take it for "no bitmap yet".
  err = VolumeBitMapHelper::ReadBitMapFromFile(state.Sub("none.bmp"), &read, size);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ENOENT)) << err.AsString();
  err = VolumeBitMapHelper::ReadBitMapFromFile(state.Sub("none.bmp"), whole, wholeSize);
  EXPECT_TRUE(err.IsError());
  EXPECT_NE(err.AsString().find("Failed to open the Bitmap File, File="), std::string::npos);

  // Zero-length whole file.
  testing_support::WriteFile(state.Sub("empty.bmp"), "");
  err = VolumeBitMapHelper::ReadBitMapFromFile(state.Sub("empty.bmp"), whole, wholeSize);
  EXPECT_EQ(err.GetMessage(), "Bitmap File size is zero.File=" + state.Sub("empty.bmp"));
  EXPECT_EQ(whole.get(), nullptr);

  // Size-prefixed file: 8-byte little-endian count, then the bytes.
  const std::string prefixed = state.Sub("prefixed.bmp");
  ASSERT_FALSE(VolumeBitMapHelper::WriteBitMapToFileWithSize(prefixed, bitmap.data(), size).IsError());
  const std::string onDisk = testing_support::ReadFile(prefixed);
  ASSERT_EQ(onDisk.size(), 8 + size);
  EXPECT_EQ(onDisk.substr(0, 8), std::string("\x05\x04\0\0\0\0\0\0", 8));
  EXPECT_EQ(onDisk.substr(8), AsText(bitmap));
  unsigned long prefixedSize = 0;
  ASSERT_FALSE(VolumeBitMapHelper::ReadBitMapFromFileWithSize(prefixed, whole, prefixedSize).IsError());
  ASSERT_EQ(prefixedSize, size);
  EXPECT_EQ(Bytes(whole.get(), whole.get() + size), bitmap);
}

TEST(BitmapFiles, SizePrefixIsCheckedBeforeAllocating) {
  testing_support::ScopedStateDir state;
  auto_ptr_array<unsigned char> bitmap;
  unsigned long size = 0;
  // A prefix of 2^60 bytes: allocating it would fail with 14 (or worse); the
  // file's length rules it out first.
  const std::string huge = state.Sub("huge.bmp");
  testing_support::WriteFile(huge, std::string("\0\0\0\0\0\0\0\x10"
                                               "abcd",
                                               12));
  CQiError err = VolumeBitMapHelper::ReadBitMapFromFileWithSize(huge, bitmap, size);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774)) << err.AsString();
  EXPECT_EQ(err.GetMessage().rfind("Mismatch bitmap read, ", 0), 0u) << err.GetMessage();
  EXPECT_EQ(bitmap.get(), nullptr);

  // One byte short of its prefix (a torn write).
  const std::string torn = state.Sub("torn.bmp");
  testing_support::WriteFile(torn, std::string("\x05\0\0\0\0\0\0\0"
                                               "abcd",
                                               12));
  err = VolumeBitMapHelper::ReadBitMapFromFileWithSize(torn, bitmap, size);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774));
  EXPECT_EQ(err.GetMessage(), "Mismatch bitmap read, SizeToRead=5, SizeRead=4, file=" + torn);

  // A file whose reported length is smaller than what it yields (0 here):
  // the prefix is still bounded by the length, not by a wrapped remainder.
  err = VolumeBitMapHelper::ReadBitMapFromFileWithSize("/proc/version", bitmap, size);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774)) << err.AsString();
  EXPECT_NE(err.GetMessage().find(", SizeRead=0, file=/proc/version"), std::string::npos) << err.GetMessage();
  EXPECT_EQ(bitmap.get(), nullptr);

  // Not even a whole prefix.
  const std::string stub = state.Sub("stub.bmp");
  testing_support::WriteFile(stub, "abc");
  err = VolumeBitMapHelper::ReadBitMapFromFileWithSize(stub, bitmap, size);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774));
  EXPECT_EQ(err.GetMessage(), "Mismatch bitmap read, SizeToRead=8, SizeRead=3, file=" + stub);
}

TEST(BitmapOps, WordMergesMatchBitByBitDefinition) {
  // Sizes around the 8-byte word, at unaligned starts, against the per-bit
  // definition of the operations.
  for (size_t size : {1ul, 7ul, 8ul, 9ul, 15ul, 16ul, 17ul, 100ul, 1031ul}) {
    for (size_t offset : {0ul, 3ul}) {
      Bytes dstStore = RandomBytes(size + offset, 1, 20), src = RandomBytes(size, 2, 20),
            mask = RandomBytes(size, 3, 60);
      unsigned char* dst = dstStore.data() + offset;
      const Bytes before(dst, dst + size);
      const unsigned long n = size;
      ASSERT_FALSE(VolumeBitMapHelper::MergeBitMaps(dst, src.data(), n).IsError());
      for (size_t i = 0; i < size * 8; ++i) {
        const bool expect = ((before[i / 8] | src[i / 8]) >> (i % 8)) & 1;
        ASSERT_EQ(((dst[i / 8] >> (i % 8)) & 1) != 0, expect) << size << " bit " << i;
      }
      const Bytes ored(dst, dst + size);
      ASSERT_FALSE(VolumeBitMapHelper::MergeDataBitMaps(dst, mask.data(), n).IsError());
      for (size_t i = 0; i < size; ++i) ASSERT_EQ(dst[i], ored[i] & mask[i]);
      ASSERT_FALSE(VolumeBitMapHelper::SetBitMapForFULL(dst, n).IsError());
      for (size_t i = 0; i < size; ++i) ASSERT_EQ(dst[i], 0xFF);
      for (size_t i = 0; i < offset; ++i) ASSERT_EQ(dstStore[i], RandomBytes(size + offset, 1, 20)[i]);
    }
  }

  // Bit 0 and extent 8 land where the layout says; size 0 touches nothing.
  unsigned char empty[2] = {0, 0};
  const unsigned char source[2] = {0x01, 0x01};
  const unsigned long none = 0;
  ASSERT_FALSE(VolumeBitMapHelper::MergeBitMaps(empty, source, none).IsError());
  ASSERT_FALSE(VolumeBitMapHelper::SetBitMapForFULL(empty, none).IsError());
  EXPECT_EQ(empty[0], 0x00);
  ASSERT_FALSE(VolumeBitMapHelper::MergeBitMaps(empty, source, 2ul).IsError());
  EXPECT_EQ(empty[0], 0x01);
  EXPECT_EQ(empty[1], 0x01);

  EXPECT_TRUE(FXErrorUtil::IsErrNo(VolumeBitMapHelper::MergeBitMaps(nullptr, source, 2ul), EINVAL));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(VolumeBitMapHelper::MergeBitMaps(empty, nullptr, 2ul), EINVAL));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(VolumeBitMapHelper::MergeDataBitMaps(nullptr, source, 2ul), EINVAL));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(VolumeBitMapHelper::SetBitMapForFULL(nullptr, 2ul), EINVAL));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(VolumeBitMapHelper::InspectBitMap(nullptr, 2ul), EINVAL));
}

TEST(BitmapOps, PerBitLinesNameExactlyTheChangedBits) {
  unsigned char bitmap[9] = {0x01, 0, 0, 0, 0, 0, 0, 0, 0x00};
  const unsigned char source[9] = {0x03, 0, 0, 0, 0, 0, 0, 0x80, 0x04};
  {
    testing_support::CapturingLog quiet(6);
    ASSERT_FALSE(VolumeBitMapHelper::MergeBitMaps(bitmap, source, 9ul).IsError());
    EXPECT_FALSE(quiet.Contains("Setting bit"));
  }
  unsigned char again[9] = {0x01, 0, 0, 0, 0, 0, 0, 0, 0x00};
  testing_support::CapturingLog log(7);
  ASSERT_FALSE(VolumeBitMapHelper::MergeBitMaps(again, source, 9ul).IsError());
  std::vector<std::string> lines;
  for (const std::string& line : log.Lines())
    if (line.find("Setting bit") != std::string::npos) lines.push_back(line.substr(line.find(" -BlockLevel-")));
  EXPECT_EQ(lines, (std::vector<std::string>{" -BlockLevel- Setting bit [1]", " -BlockLevel- Setting bit [63]",
                                             " -BlockLevel- Setting bit [66]"}));

  log.Clear();
  const unsigned char mask[9] = {0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  ASSERT_FALSE(VolumeBitMapHelper::MergeDataBitMaps(again, mask, 9ul).IsError());
  EXPECT_TRUE(log.Contains(" -BlockLevel- Clearing bit [0]"));
  EXPECT_FALSE(log.Contains("Clearing bit [1]"));
  EXPECT_EQ(again[0], 0x02);

  log.Clear();
  ASSERT_FALSE(VolumeBitMapHelper::InspectBitMap(again, 9ul).IsError());
  lines.clear();
  for (const std::string& line : log.Lines()) lines.push_back(line.substr(line.find(" -BlockLevel-")));
  EXPECT_EQ(lines, (std::vector<std::string>{" -BlockLevel- Set Extent1", " -BlockLevel- Set Extent63",
                                             " -BlockLevel- Set Extent66"}));
}

TEST(DataBlockBitmap, MatchesTheFileSystemsAllocation) {
  testing_support::ScopedStateDir state;
  const std::string image = state.Sub("fs.img");
  ASSERT_TRUE(testing_support::MakeExt4Image(image, 64, {{"big", 20u << 20}}));
  testing_support::ExtAllocation allocation;
  ASSERT_TRUE(testing_support::ReadAllocation(image, allocation));
  const Bytes expected = testing_support::ExpectedExtentBitmap(allocation, 4194304, 64ull << 20);
  ASSERT_EQ(expected.size(), 2u);
  ASSERT_NE(expected, (Bytes{0xFF, 0xFF}));  // some extents are free, or the check says nothing

  unsigned char* data = nullptr;
  const unsigned long size = 2;
  const int extent = 4194304;
  ASSERT_FALSE(VolumeBitMapHelper::GetDataBlockBitMap(image, &data, size, extent).IsError());
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(Bytes(data, data + 2), expected);
  std::free(data);

  // Masking a full change bitmap leaves exactly the allocated extents.
  unsigned char change[2] = {0xFF, 0xFF};
  ASSERT_FALSE(VolumeBitMapHelper::MergeDataBlockBitMap(image, change, size, extent).IsError());
  EXPECT_EQ(Bytes(change, change + 2), expected);

  // A caller that expects another size gets no bitmap and an unchanged mask.
  const unsigned long wrong = 3;
  unsigned char change3[3] = {0xFF, 0xFF, 0xFF};
  testing_support::CapturingLog log;
  ASSERT_FALSE(VolumeBitMapHelper::GetDataBlockBitMap(image, &data, wrong, extent).IsError());
  EXPECT_EQ(data, nullptr);
  EXPECT_TRUE(log.Contains(" -BlockLevel- Disk bitmap and data bitmap are not of same size, 3 vs 2 for device=[" +
                           image + "]"));
  ASSERT_FALSE(VolumeBitMapHelper::MergeDataBlockBitMap(image, change3, wrong, extent).IsError());
  EXPECT_EQ(Bytes(change3, change3 + 3), (Bytes{0xFF, 0xFF, 0xFF}));

  // An all-zero image holds no known file system: errno 38, and the merge
  // leaves the change bitmap as it is.
  const std::string zeros = state.Sub("zero.img");
  testing_support::WriteFile(zeros, std::string(64 << 10, '\0'));
  CQiError err = VolumeBitMapHelper::GetDataBlockBitMap(zeros, &data, size, extent);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, 38)) << err.AsString();
  EXPECT_EQ(data, nullptr);
  EXPECT_TRUE(
      log.Contains(" -BlockLevel- Device=[" + zeros + "] does not have recognized FS for data only block bitmap"));
  unsigned char kept[2] = {0x5A, 0xA5};
  EXPECT_FALSE(VolumeBitMapHelper::MergeDataBlockBitMap(zeros, kept, size, extent).IsError());
  EXPECT_EQ(Bytes(kept, kept + 2), (Bytes{0x5A, 0xA5}));

  // A device that cannot be opened at all: logged, success, no bitmap.
  EXPECT_FALSE(VolumeBitMapHelper::GetDataBlockBitMap(state.Sub("missing"), &data, size, extent).IsError());
  EXPECT_EQ(data, nullptr);
  EXPECT_TRUE(log.Contains(" -BlockLevel- Failed to init FsParser, error="));

  // The given-bitmap form.
  const unsigned char dataOnly[2] = {0x0F, 0xF0};
  unsigned char bits[2] = {0xFF, 0xFF};
  EXPECT_FALSE(VolumeBitMapHelper::MergeDataBlockBitMap(image, bits, nullptr, size, extent).IsError());
  EXPECT_TRUE(log.Contains("Either of the bitmap passed is NULL"));
  EXPECT_EQ(Bytes(bits, bits + 2), (Bytes{0xFF, 0xFF}));
  EXPECT_FALSE(VolumeBitMapHelper::MergeDataBlockBitMap(image, bits, const_cast<unsigned char*>(dataOnly), size, extent)
                   .IsError());
  EXPECT_EQ(Bytes(bits, bits + 2), (Bytes{0x0F, 0xF0}));
}

TEST(BitmapFiles, DriverBitmapIsFoldedIntoTheBitmapFile) {
  testing_support::ScopedStateDir state;
  const std::string file = state.Sub("vol.bmp");
  const unsigned long size = 2;
  unsigned char driver[2] = {0x01, 0x80};

  // No file and no driver bitmap: nothing written, errno 2.
  CQiError err = VolumeBitMapHelper::MergeAndWriteToDiskBitMap("/dev/x", file, nullptr, size, 4194304);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ENOENT));
  EXPECT_FALSE(testing_support::FileExists(file));

  // No file: the driver bitmap becomes the file.
  ASSERT_FALSE(VolumeBitMapHelper::MergeAndWriteToDiskBitMap("/dev/x", file, driver, size, 4194304).IsError());
  EXPECT_EQ(testing_support::ReadFile(file), std::string("\x01\x80", 2));

  // Both: OR-ed; the driver's buffer stays as it was.
  unsigned char more[2] = {0x02, 0x00};
  ASSERT_FALSE(VolumeBitMapHelper::MergeAndWriteToDiskBitMap("/dev/x", file, more, size, 4194304).IsError());
  EXPECT_EQ(testing_support::ReadFile(file), std::string("\x03\x80", 2));
  EXPECT_EQ(more[0], 0x02);

  // Only the file: rewritten unchanged. A short file is an error of its own.
  ASSERT_FALSE(VolumeBitMapHelper::MergeAndWriteToDiskBitMap("/dev/x", file, nullptr, size, 4194304).IsError());
  EXPECT_EQ(testing_support::ReadFile(file), std::string("\x03\x80", 2));
  const unsigned long bigger = 4;
  err = VolumeBitMapHelper::MergeAndWriteToDiskBitMap("/dev/x", file, nullptr, bigger, 4194304);
  EXPECT_TRUE(err.IsError());
  EXPECT_FALSE(FXErrorUtil::IsErrNo(err, ENOENT));
}

TEST(BitmapFileNames, PerVolumeAndCumulativeNames) {
  std::string name;
  const std::string key = CGuidFactory::get_guid_nosalt("/data");
  VolumeBitMapHelper::GenerateBitmapFileName("/data", "/jr", name, "/dev/sdb1", "ext4");
  EXPECT_EQ(name, "/jr/" + key + ".bmp");
  VolumeBitMapHelper::GenerateBitmapFileName("/data", "/jr/", name, "/dev/sdb1", "ext4");
  EXPECT_EQ(name, "/jr/" + key + ".bmp");
  // zfs volumes are named by their device: two mounts share one file.
  VolumeBitMapHelper::GenerateBitmapFileName("/data", "/jr", name, "pool/fs", "zfs");
  EXPECT_EQ(name, "/jr/" + CGuidFactory::get_guid_nosalt("pool/fs") + ".bmp");
  std::string other;
  VolumeBitMapHelper::GenerateBitmapFileName("/other", "/jr", other, "pool/fs", "zfs");
  EXPECT_EQ(name, other);

  VolumeBitMapHelper::GenerateCumulativeBitmapFileName("/", "/jr", name, "/dev/sda1", "ext4", false);
  const std::string rootKey = GetObjectGuid("/KzFakeStringForVolumeRootBlockLevel", 0, '/');
  EXPECT_EQ(name, "/jr/" + rootKey + "_CumulativeV2.bmp");
  VolumeBitMapHelper::GenerateCumulativeBitmapFileName("/", "/jr/", other, "/dev/sda1", "ext4", true);
  EXPECT_EQ(name, other);
  VolumeBitMapHelper::GetCumulativeBmpVolumeName("/data", "pool/fs", "zfs", name);
  EXPECT_EQ(name, GetObjectGuid("pool/fs", 0, '/'));
  VolumeBitMapHelper::GetCumulativeBmpVolumeName("/data", "/dev/sdb1", "ext4", name);
  EXPECT_EQ(name, GetObjectGuid("/data", 0, '/'));
}
