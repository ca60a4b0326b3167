#include "records/backup_device_info.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_platform.h"

namespace {

const char kNineFields[] = "true|/data|/dev/sdb1|ext4||4194304|2097152|4096|32";

}  // namespace

TEST(BackupDeviceInfo, ParsesAnOldNineFieldLine) {
  testing_support::CapturingLog log;
  BackupDeviceInfo info{std::string(kNineFields)};
  ASSERT_TRUE(info.IsValid());
  EXPECT_TRUE(info.IsCXBFDevice());
  EXPECT_EQ(info.GetBlockSize(), 512u);
  EXPECT_EQ(info.GetDiskSize(), 1073741824u);
  EXPECT_EQ(info.GetTotalExtents(), 256u);
  EXPECT_EQ(info.GetBlocksPerExtent(), 8192u);
  EXPECT_EQ(info.GetSourceVolName(), "/data");
  EXPECT_EQ(info.GetSourceDeviceName(), "/dev/sdb1");
  EXPECT_EQ(info.GetFSType(), "ext4");
  EXPECT_EQ(info.GetMountOpts(), "");
  EXPECT_EQ(info.GetFSBlockSize(), 4096u);
  EXPECT_EQ(info.GetBitMapSize(), 32u);
  EXPECT_EQ(info.GetLogicalSectorSz() + info.GetPhysicalSectorSz() + info.GetIOMinimalSz() + info.GetIOOptimalSz(), 0u);
  EXPECT_EQ(info.GetVersion(), 0u);
  EXPECT_EQ(info.Serialize(), std::string(kNineFields) + "|0|0|0|0|0");
  EXPECT_FALSE(log.Contains("Previous BlockDeviceConfig version"));

  // Only the Windows-style file systems count in file-system blocks.
  BackupDeviceInfo ntfs{std::string("true|/data|/dev/sdb1|ntfs||4194304|2097152|4096|32")};
  ASSERT_TRUE(ntfs.IsValid());
  EXPECT_EQ(ntfs.GetBlockSize(), 4096u);
  EXPECT_EQ(ntfs.GetDiskSize(), 2097152ull * 4096);
  EXPECT_EQ(ntfs.GetBlocksPerExtent(), 1024u);
}

TEST(BackupDeviceInfo, ParsesThirteenAndFourteenFieldLinesWithBaseZeroNumbers) {
  testing_support::CapturingLog log;
  BackupDeviceInfo v14{std::string("true|/v|/dev/x|xfs|rw,noatime|0x400000|010|4096|1|512|4096|4096|0|1")};
  ASSERT_TRUE(v14.IsValid());
  EXPECT_EQ(v14.GetExtentSize(), 4194304u);
  EXPECT_EQ(v14.GetTotalBlocks(), 8u);   // leading zero: octal
  EXPECT_EQ(v14.GetTotalExtents(), 1u);  // a partial extent still counts
  EXPECT_EQ(v14.GetPhysicalSectorSz(), 4096u);
  EXPECT_EQ(v14.GetVersion(), 1u);
  EXPECT_TRUE(log.Contains("Previous BlockDeviceConfig version=1"));

  BackupDeviceInfo v13{std::string("true|/v|/dev/x|xfs||4096|8|4096|1|512|4096|4096|0")};
  ASSERT_TRUE(v13.IsValid());
  EXPECT_EQ(v13.GetIOMinimalSz(), 4096u);
  EXPECT_EQ(v13.GetVersion(), 0u);

  // A field without digits reads as 0; the record is still valid.
  BackupDeviceInfo junk{std::string("true|/v|/dev/x|xfs||4096|abc|4096|1")};
  EXPECT_TRUE(junk.IsValid());
  EXPECT_EQ(junk.GetTotalBlocks(), 0u);
}

TEST(BackupDeviceInfo, RejectsBadFieldCountsAndUnsupportedLines) {
  for (const std::string& line : {std::string(""), std::string(kNineFields) + "|1", std::string(kNineFields) + "|1|2",
                                  std::string(kNineFields) + "|1|2|3", std::string(kNineFields) + "|1|2|3|4|5|6"}) {
    BackupDeviceInfo info(line);
    EXPECT_FALSE(info.IsValid()) << line;
    EXPECT_EQ(info.GetExtentSize(), 0u) << line;
    EXPECT_EQ(info.GetSourceVolName(), "") << line;
    // A bad line is not even "supported": it writes back as "false".
    EXPECT_EQ(info.Serialize().substr(0, 6), "false|") << line;
  }
  // Case matters for the flag: the record parses but is not handed on.
  BackupDeviceInfo upper{std::string("TRUE|/data|/dev/sdb1|ext4||4194304|2097152|4096|32")};
  EXPECT_FALSE(upper.IsValid());
  EXPECT_EQ(upper.GetSourceVolName(), "/data");  // the getters test validity only
  EXPECT_EQ(upper.GetDiskSize(), 1073741824u);
}

TEST(BackupDeviceInfo, ZeroExtentOrBlockSizeGivesAnInvalidRecordInsteadOfDividingByZero) {
  BackupDeviceInfo noExtent{std::string("true|/data|/dev/sdb1|ext4||0|2097152|4096|32")};
  EXPECT_FALSE(noExtent.IsValid());
  EXPECT_EQ(noExtent.GetTotalExtents(), 0u);
  BackupDeviceInfo noBlock{std::string("true|/data|/dev/sdb1|RAW||4194304|2097152|0|32")};
  EXPECT_FALSE(noBlock.IsValid());
  EXPECT_EQ(noBlock.GetBlocksPerExtent(), 0u);

  const uint64_t zero = 0;
  const uint64_t blocks = 100;
  const uint64_t fsBlock = 4096;
  BackupDeviceInfo built(true, "/v", "/dev/x", "ext4", "", zero, blocks, fsBlock, blocks);
  EXPECT_FALSE(built.IsValid());
  BackupDeviceInfo builtNtfs(false, "/v", "/dev/x", "NTFS", "", fsBlock, blocks, zero, blocks);
  EXPECT_EQ(builtNtfs.GetTotalExtents(), 0u);
  EXPECT_EQ(builtNtfs.Serialize(), "false|/v|/dev/x|NTFS||4096|100|0|100|0|0|0|0|1");
}

TEST(BackupDeviceInfo, ValueConstructorAndComparison) {
  const uint64_t extent = 4194304;
  const uint64_t blocks = 2097152;
  const uint64_t fsBlock = 4096;
  const uint64_t bitmap = 32;
  BackupDeviceInfo a(true, "/data", "/dev/sdb1", "ext4", "rw", extent, blocks, fsBlock, bitmap, 512, 4096, 512, 0);
  ASSERT_TRUE(a.IsValid());
  EXPECT_EQ(a.GetVersion(), BackupDeviceInfo::kCurrentVersion);
  EXPECT_EQ(a.Serialize(), "true|/data|/dev/sdb1|ext4|rw|4194304|2097152|4096|32|512|4096|512|0|1");
  EXPECT_TRUE(BackupDeviceInfo(a.Serialize()).IsSame(a));

  // Device path, sector sizes and version take no part in the comparison.
  BackupDeviceInfo b(true, "/data", "/dev/mapper/other", "ext4", "rw", extent, blocks, fsBlock, bitmap, 4096, 4096,
                     4096, 4096, 7);
  EXPECT_TRUE(a.IsSame(b));
  const uint64_t grown = blocks + 1;
  EXPECT_FALSE(a.IsSame(BackupDeviceInfo(true, "/data", "/dev/sdb1", "ext4", "rw", extent, grown, fsBlock, bitmap)));
  EXPECT_FALSE(a.IsSame(BackupDeviceInfo(true, "/data", "/dev/sdb1", "ext4", "ro", extent, blocks, fsBlock, bitmap)));

  // An unsupported device's record keeps a fixed 4096 blocks per extent, which
  // its line cannot carry: read back it is ExtentSize / 512.
  BackupDeviceInfo unsupported(false, "/data", "/dev/sdb1", "ext4", "rw", extent, blocks, fsBlock, bitmap);
  EXPECT_FALSE(unsupported.IsValid());
  EXPECT_EQ(unsupported.GetBlocksPerExtent(), 4096u);
  BackupDeviceInfo reread(unsupported.Serialize());
  EXPECT_EQ(reread.GetBlocksPerExtent(), 8192u);
  EXPECT_FALSE(reread.IsSame(unsupported));

  BackupDeviceInfo copy;
  EXPECT_FALSE(copy.IsValid());
  copy = a;
  EXPECT_TRUE(copy.IsSame(a));
  copy.SetVersion(3);
  EXPECT_EQ(copy.GetVersion(), 3u);
}

TEST(BackupDeviceInfo, AnExtentSizeBeyondAnIntOrAWrappingDiskSizeGivesAnInvalidRecord) {
  for (const char* line : {"true|/data|/dev/sdb1|ext4||0x80000000|2097152|4096|32",
                           "true|/data|/dev/sdb1|NTFS||4194304|0x10000000000|0x1000000|32"})
    EXPECT_FALSE(BackupDeviceInfo{std::string(line)}.IsValid()) << line;
}

TEST(BackupDeviceInfo, ABitmapSizeFitsTheExtentsUpToADriversPageRounding) {
  // The bitmap gives each of the 256 extents a bit; a driver may pad it up to
  // whole pages of the largest size (64 KiB), never further.
  const std::string line = "true|/data|/dev/sdb1|ext4||4194304|2097152|4096|";
  for (const char* bitmap : {"32", "41", "4096", "65536"})
    EXPECT_TRUE(BackupDeviceInfo(line + bitmap).BitmapFitsExtents()) << bitmap;
  for (const char* bitmap : {"31", "-1", "99999999999", "65537"})
    EXPECT_FALSE(BackupDeviceInfo(line + bitmap).BitmapFitsExtents()) << bitmap;
  // 2^20 + 1 extents: 128 KiB and a byte needed, three such pages at most.
  const std::string large = "true|/data|/dev/sdb1|ext4||4096|8388616|4096|";
  for (const char* bitmap : {"131073", "196608"})
    EXPECT_TRUE(BackupDeviceInfo(large + bitmap).BitmapFitsExtents()) << bitmap;
  for (const char* bitmap : {"131072", "196609"})
    EXPECT_FALSE(BackupDeviceInfo(large + bitmap).BitmapFitsExtents()) << bitmap;
}
