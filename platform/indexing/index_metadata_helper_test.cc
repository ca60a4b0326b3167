// The archive stream's metadata entries and item headers, byte for byte.
#include "platform/indexing/index_metadata_helper.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/services/cx_file_header_byte_order.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

using namespace std::string_literals;

TEST(IndexMetaDataHelper, EntriesAreTagLengthValueLittleEndian) {
  testing_support::ScopedStateDir state;
  const IndexMetaDataHelper helper;
  const std::string value = "Troubleshooting";
  const uint32_t length = helper.getEncodedLength(0x57571A98, value);
  ASSERT_EQ(length, 23u);
  std::vector<char> buffer(length + 1, '#');
  uint32_t written = 99;
  ASSERT_EQ(helper.fillBuffer(0x57571A98, value, buffer.data(), length, written, 0), 0);
  EXPECT_EQ(written, length);
  EXPECT_EQ(std::string(buffer.data(), length + 1), "\x98\x1A\x57\x57\x0F\0\0\0Troubleshooting#"s);
  uint32_t tag = 0;
  std::string read;
  ASSERT_TRUE(platform::ReadIndexMetaData(buffer.data(), length, tag, read));
  EXPECT_EQ(tag, 0x57571A98u);
  EXPECT_EQ(read, value);
  // A payload that is not exactly one entry.
  EXPECT_FALSE(platform::ReadIndexMetaData(buffer.data(), length + 1, tag, read));
  EXPECT_FALSE(platform::ReadIndexMetaData(buffer.data(), 7, tag, read));

  EXPECT_EQ(helper.fillBuffer(1, value, buffer.data(), length - 1, written, 0), EINVAL);
  EXPECT_EQ(helper.fillBuffer(1, value, nullptr, length, written, 0), EINVAL);
  EXPECT_EQ(written, 0u);
  platform::FaultTable::Set("IndexMetaDataHelper::fillBuffer", 0, false, 1);
  EXPECT_EQ(helper.fillBuffer(1, value, buffer.data(), length, written, 0), -1);

  // The stream's headers are little-endian.
  CXFileHeader header;
  header.h_attributes = 0x10000000000;
  ConvertCXFileHeaderByteOrder(&header);
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(&header)[0x35], 1);
}
