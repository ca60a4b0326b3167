#include "platform/archive/kz_archive.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "platform/archive/archive_stream.h"
#include "platform/harness/archive_harness.h"
#include "platform/services/cx_file_header.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"
#include "tests/support/test_platform.h"

namespace {

using testing_support::ScopedStateDir;

TEST(KZArchive, BuffersBecomeRecordsOrComeBackAndAreCounted) {
  ScopedStateDir state;
  KZArchive archive("c1");
  archive.setJobId(7);

  uint32_t size = 0;
  char* data = archive.allocateBuffer(size);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(size, 65536u);
  uint32_t small = 3;
  char* end = archive.allocateBuffer(small);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(small, 3u);
  EXPECT_EQ(archive.OutstandingBuffers(), 2u);

  // Refused writes leave the buffer the caller's.
  EXPECT_EQ(archive.writeBuffer(end, 130, 4), 22);
  char foreign[4] = {};
  EXPECT_EQ(archive.writeBuffer(foreign, 2, 1), 22);
  platform::FaultTable::Set("KZArchive::writeBuffer", 5, platform::FaultMode::kError, 1);
  std::memcpy(data, "abc", 3);
  EXPECT_EQ(archive.writeBuffer(data, 2, 3), 5);
  EXPECT_EQ(archive.OutstandingBuffers(), 2u);

  EXPECT_EQ(archive.writeBuffer(data, 2, 3), 0);
  EXPECT_EQ(archive.writeBuffer(end, 130, 0), 0);
  EXPECT_EQ(archive.OutstandingBuffers(), 0u);
  char* unused = archive.allocateBuffer(size);
  archive.freeBuffer(unused);
  archive.freeBuffer(nullptr);
  EXPECT_EQ(archive.OutstandingBuffers(), 0u);

  std::vector<platform::ArchiveRecord> records;
  std::string why;
  ASSERT_TRUE(platform::ReadArchiveStream(7, records, why)) << why;
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].type, 2u);
  EXPECT_EQ(records[0].payload, "abc");
  EXPECT_EQ(records[1].type, 130u);
  EXPECT_TRUE(records[1].payload.empty());
  std::string stream;
  ASSERT_TRUE(platform::ReadWholeFile(platform::ArchiveStreamPath(7), stream));
  EXPECT_EQ(stream, std::string("\x02\0\0\0\x03\0\0\0abc\x82\0\0\0\0\0\0\0", 19));

  // A stream cut inside a record does not read back.
  ASSERT_EQ(::truncate(platform::ArchiveStreamPath(7).c_str(), 13), 0);
  EXPECT_FALSE(platform::ReadArchiveStream(7, records, why));

  // The harness's default size; allocation faults.
  ASSERT_TRUE(blbsim::SetArchiveBufferSize(4096));
  KZArchive other("c1");
  size = 0;
  other.freeBuffer(other.allocateBuffer(size));
  EXPECT_EQ(size, 4096u);
  platform::FaultTable::Set("KZArchive::allocateBuffer", 12, platform::FaultMode::kError, 1);
  EXPECT_EQ(other.allocateBuffer(size), nullptr);
  platform::FaultTable::Set("KZArchive::SetFileSignatureData", 9, platform::FaultMode::kError, 1);
  EXPECT_EQ(other.SetFileSignatureData(nullptr, -1), 9);
  EXPECT_EQ(other.SetFileSignatureData(nullptr, -1), 0);
}

TEST(KZArchive, HarnessDescribesAStreamAndExtractsAnItem) {
  ScopedStateDir state;
  KZArchive archive("c1");
  archive.setJobId(8);
  auto write = [&](uint32_t type, const std::string& payload) {
    uint32_t size = static_cast<uint32_t>(payload.size());
    char* buffer = archive.allocateBuffer(size);
    std::memcpy(buffer, payload.data(), payload.size());
    ASSERT_EQ(archive.writeBuffer(buffer, type, static_cast<uint32_t>(payload.size())), 0);
  };
  for (const char* name : {"/f/one", "/f/two"}) {
    CXFileHeader header;
    header.SetFileName(name);
    header.h_mode = 0100644;
    header.h_filesize = 6;
    write(128, std::string(reinterpret_cast<const char*>(&header), sizeof header));
    write(159, std::string("\x31\xF1\x57\x20\x02\0\0\0g\x01", 10));
    write(2, std::string(name).substr(3) + "!");
    write(2, "end");
    write(130, "");
  }
  std::vector<std::string> lines;
  std::string why;
  ASSERT_TRUE(blbsim::DescribeArchiveStream(8, lines, why)) << why;
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "type=128 length=1160 name=/f/one mode=0x81a4 size=6");
  EXPECT_EQ(lines[1], "type=159 length=10 tag=0x2057F131 value=g\\x01");
  EXPECT_EQ(lines[2], "type=2 length=4");
  EXPECT_EQ(lines[4], "type=130 length=0");
  std::string data;
  ASSERT_TRUE(blbsim::ExtractArchiveItemData(8, "/f/two", data, why)) << why;
  EXPECT_EQ(data, "two!end");
  EXPECT_FALSE(blbsim::ExtractArchiveItemData(8, "/f/three", data, why));
}

}  // namespace
