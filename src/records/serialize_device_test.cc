#include <gtest/gtest.h>

#include "blocklevel/blocklevel.h"
#include "platform/codec/nmessage_base.h"

namespace {

CNMessageBase ReadBack(const std::string& text) {
  CNMessageBase message;
  std::string why;
  EXPECT_EQ(message.unserialize(text, &why), 0) << why << ": " << text;
  EXPECT_EQ(message.getModule(), 22);
  EXPECT_EQ(message.getType(), 229);
  EXPECT_EQ(message.fieldCount(), 9u);
  return message;
}

}  // namespace

TEST(Serialize, TurnsAConfigurationLineIntoABlockBackupDeviceMessage) {
  const std::string text = Serialize("true|/data|/dev/sdb1|ext4|rw,noatime|4194304|2097152|4096|32|512|4096|0|0|1");
  EXPECT_EQ(text.find('\n'), std::string::npos);
  const CNMessageBase message = ReadBack(text);
  EXPECT_EQ(message.getint64(1, 1), 1);
  EXPECT_EQ(message.getstring(3, 3), "/data");
  EXPECT_EQ(message.getstring(4, 7), "/dev/sdb1");
  EXPECT_EQ(message.getstring(5, 11), "ext4");
  EXPECT_EQ(message.getstring(6, 15), "rw,noatime");
  EXPECT_EQ(message.getint64(8, 23), 4194304);
  EXPECT_EQ(message.getint64(9, 24), 2097152);
  EXPECT_EQ(message.getint64(12, 27), 4096);
  EXPECT_EQ(message.getint64(13, 28), 32);

  // An unsupported device is told by the flag; its geometry still travels.
  const CNMessageBase unsupported = ReadBack(Serialize("false|/data|/dev/sdb1|ext4||4194304|2097152|4096|32"));
  EXPECT_EQ(unsupported.getint64(1, 1), 0);
  EXPECT_EQ(unsupported.getstring(3, 3), "/data");

  // A line that does not parse still gives a whole message, of empty values.
  for (const std::string& bad : {std::string(""), std::string("true|/data|x")}) {
    const CNMessageBase empty = ReadBack(Serialize(bad));
    EXPECT_EQ(empty.getint64(1, 1), 0);
    EXPECT_TRUE(empty.isSet(3, 3));
    EXPECT_EQ(empty.getstring(3, 3), "");
    EXPECT_EQ(empty.getint64(8, 23), 0);
  }
}
