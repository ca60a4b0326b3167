#include "platform/services/cx_file_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>


TEST(CXFileHeader, StartsAllZeroAndClears) {
  static_assert(std::is_standard_layout<CXFileHeader>::value, "wire record");
  CXFileHeader header;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&header);
  for (size_t index = 0; index < sizeof(header); ++index) ASSERT_EQ(bytes[index], 0) << index;
  header.h_kind = CXFileHeader::kHeaderKind;
  header.h_signature = CXFileHeader::kSignature;
  header.SetFileName("/x");
  header.Clear();
  for (size_t index = 0; index < sizeof(header); ++index) ASSERT_EQ(bytes[index], 0) << index;
}

TEST(CXFileHeader, NameIsAlwaysTerminated) {
  CXFileHeader header;
  std::memset(header.h_filename, 'z', sizeof(header.h_filename));

  EXPECT_EQ(header.SetFileName("/jr/Failures.kzf"), 16u);
  EXPECT_EQ(header.GetFileName(), "/jr/Failures.kzf");
  EXPECT_EQ(header.h_filename[16], '\0');
  EXPECT_EQ(header.h_filename[CXFileHeader::kFileNameSize - 1], '\0');  // the rest is zeroed

  // Names of 1027, 1028 and more characters: at most 1027 stored, terminated.
  for (size_t length : {1027u, 1028u, 5000u}) {
    const std::string name(length, 'n');
    EXPECT_EQ(header.SetFileName(name), 1027u) << length;
    EXPECT_EQ(header.h_filename[1027], '\0') << length;
    EXPECT_EQ(header.GetFileName(), name.substr(0, 1027)) << length;
  }
  // A writer's own smaller limit, and a limit above the field that is held
  // at the field's size.
  EXPECT_EQ(header.SetFileName(std::string(2000, 'v'), 1024), 1024u);
  EXPECT_EQ(header.GetFileName().size(), 1024u);
  EXPECT_EQ(header.SetFileName(std::string(2000, 'v'), 1028), 1027u);
  // The name ends at a zero byte.
  EXPECT_EQ(header.SetFileName(std::string("ab\0cd", 5)), 2u);
  EXPECT_EQ(header.SetFileName(""), 0u);
  EXPECT_EQ(header.GetFileName(), "");
}
