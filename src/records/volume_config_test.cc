#include "records/volume_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/test_platform.h"

namespace {
const char kLine[] = "2|5|7|/dev/sdb1|ID1|0|0|0|0|b = 2; a=1;";
}

TEST(VolumeConfig, ParsesLinesOfFiveToTenFields) {
  VolumeConfig five("2|5|7|/dev/sdb1|ID1");
  EXPECT_TRUE(five.IsValid());
  EXPECT_EQ(five.VornCellId(), 2);
  EXPECT_EQ(five.ClientId(), 5);
  EXPECT_EQ(five.AppId(), 7);
  EXPECT_EQ(five.Device(), "/dev/sdb1");
  EXPECT_EQ(five.DeviceId(), "ID1");
  EXPECT_EQ(five.Reserved1(), 0);
  EXPECT_EQ(five.Options(), "");
  EXPECT_GT(five.LoadTime(), 0);

  VolumeConfig four("2|5|7|/dev/sdb1\n");
  EXPECT_FALSE(four.IsValid());
  EXPECT_EQ(four.VornCellId(), -1);
  EXPECT_EQ(four.ClientId(), -1);
  EXPECT_EQ(four.AppId(), -1);
  EXPECT_EQ(four.Device(), "");
  EXPECT_FALSE(VolumeConfig("").IsValid());

  VolumeConfig seven("0x10|010|x|d|i|3|4");
  EXPECT_TRUE(seven.IsValid());
  EXPECT_EQ(seven.VornCellId(), 16);
  EXPECT_EQ(seven.ClientId(), 8);
  EXPECT_EQ(seven.AppId(), 0);  // does not parse
  EXPECT_EQ(seven.Reserved1(), 3);
  EXPECT_EQ(seven.Reserved2(), 4);
  EXPECT_EQ(seven.Reserved3(), 0);
  EXPECT_EQ(seven.Reserved4(), 0);

  VolumeConfig twelve("1|2|3|d|i|1|2|3|4|k=v|extra|more\n");
  EXPECT_EQ(twelve.Reserved4(), 4);
  EXPECT_EQ(twelve.Options(), "k=v");
}

TEST(VolumeConfig, LineRoundTripAndEquality) {
  VolumeConfig made(2, 5, 7, "/dev/sdb1", "ID1", 1, 2, 3, 4, "a=1");
  EXPECT_TRUE(made.IsValid());
  EXPECT_EQ(made.LoadTime(), 0);
  EXPECT_EQ(made.Serialize(), "2|5|7|/dev/sdb1|ID1|1|2|3|4|a=1\n");
  VolumeConfig back(made.Serialize());
  EXPECT_TRUE(back == made);
  EXPECT_GT(back.LoadTime(), 0);
  EXPECT_EQ(back.Serialize(), made.Serialize());

  // Only device, device id and the three ids take part.
  EXPECT_TRUE(made == VolumeConfig(2, 5, 7, "/dev/sdb1", "ID1", 0, 0, 0, 0, "other"));
  EXPECT_FALSE(made == VolumeConfig(2, 5, 7, "/dev/sdb1", "ID2", 1, 2, 3, 4, "a=1"));
  EXPECT_FALSE(made == VolumeConfig(2, 6, 7, "/dev/sdb1", "ID1", 1, 2, 3, 4, "a=1"));
  EXPECT_FALSE(made == VolumeConfig(3, 5, 7, "/dev/sdb1", "ID1", 1, 2, 3, 4, "a=1"));
  EXPECT_TRUE(made != VolumeConfig(2, 5, 8, "/dev/sdb1", "ID1", 1, 2, 3, 4, "a=1"));
  EXPECT_EQ(VolumeConfig().Serialize(), "-1|-1|-1|||0|0|0|0|\n");
}

TEST(VolumeConfig, OptionsParseAndAdd) {
  VolumeConfig config(kLine);
  const std::map<std::string, std::string> expected = {{"a", "1"}, {"b", "2"}};
  EXPECT_EQ(config.GetOptions(), expected);

  EXPECT_FALSE(config.AddOption("c=3").IsError());
  EXPECT_EQ(config.Serialize(), "2|5|7|/dev/sdb1|ID1|0|0|0|0|a=1;b=2;c=3\n");
  EXPECT_FALSE(config.AddOption("a=9").IsError());  // replaces
  EXPECT_EQ(config.Options(), "a=9;b=2;c=3");
  EXPECT_FALSE(config.AddOption("e=").IsError());  // an empty value is allowed
  EXPECT_EQ(config.Options(), "a=9;b=2;c=3;e=");

  // A value may hold '=' when read from a stored line; a later pair wins.
  VolumeConfig stored("1|1|1|d|i|0|0|0|0|x=1=2;y=a;y = b");
  const std::map<std::string, std::string> read = {{"x", "1=2"}, {"y", "b"}};
  EXPECT_EQ(stored.GetOptions(), read);
  EXPECT_TRUE(VolumeConfig("1|1|1|d|i|0|0|0|0|novalue").GetOptions().empty());
}

TEST(VolumeConfig, AddOptionRefusesWhatWouldCorruptTheLine) {
  VolumeConfig config(kLine);
  const std::string before = config.Options();
  for (const std::string& bad : {std::string("a=b=c"), std::string(""), std::string("k=v;x"), std::string("novalue"),
                                 std::string("k=v|x"), std::string("k=v\nx"), std::string("k\r=v"),
                                 std::string("k=v\0x", 5)}) {
    CQiError error = config.AddOption(bad);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 774)) << bad;
    EXPECT_EQ(error.GetMessage(), "Invalid format, options=" + std::string(bad.c_str())) << bad;
    EXPECT_EQ(config.Options(), before) << bad;
  }
}

TEST(VolumeConfig, LinkTargetResolvesOneLevel) {
  testing_support::ScopedStateDir dir;
  testing_support::CapturingLog log;
  const std::string root = dir.Path();
  testing_support::WriteFile(root + "/dev/sdb1", "");
  // by-id/disk -> ../../dev/sdb1 (relative, against the link's folder)
  testing_support::WriteFile(root + "/a/by-id/.keep", "");
  ASSERT_EQ(::symlink("../../dev/sdb1", (root + "/a/by-id/disk").c_str()), 0);
  VolumeConfig relative(1, 1, 1, root + "/a/by-id/disk", "id", 0, 0, 0, 0, "");
  EXPECT_FALSE(relative.SetLinkTargetPathForDevice().IsError());
  EXPECT_EQ(relative.Device(), root + "/dev/sdb1");
  EXPECT_TRUE(log.Contains("resolved device path as = " + root + "/dev/sdb1"));

  // Only one level: a link to a link stops at the first target.
  ASSERT_EQ(::symlink((root + "/a/by-id/disk").c_str(), (root + "/a/second").c_str()), 0);
  VolumeConfig chained(1, 1, 1, root + "/a/second", "id", 0, 0, 0, 0, "");
  EXPECT_FALSE(chained.SetLinkTargetPathForDevice().IsError());
  EXPECT_EQ(chained.Device(), root + "/a/by-id/disk");

  // An absolute target with "..", made absolute lexically.
  ASSERT_EQ(::symlink((root + "/a/../dev/sdb1").c_str(), (root + "/a/abs").c_str()), 0);
  VolumeConfig absolute(1, 1, 1, root + "/a/abs", "id", 0, 0, 0, 0, "");
  EXPECT_FALSE(absolute.SetLinkTargetPathForDevice().IsError());
  EXPECT_EQ(absolute.Device(), root + "/dev/sdb1");

  VolumeConfig plain(1, 1, 1, root + "/dev/sdb1", "id", 0, 0, 0, 0, "");
  EXPECT_FALSE(plain.SetLinkTargetPathForDevice().IsError());
  EXPECT_EQ(plain.Device(), root + "/dev/sdb1");

  VolumeConfig missing(1, 1, 1, root + "/dev/none", "id", 0, 0, 0, 0, "");
  EXPECT_FALSE(missing.SetLinkTargetPathForDevice().IsError());
  EXPECT_EQ(missing.Device(), root + "/dev/none");
  EXPECT_TRUE(log.Contains("Failed to check if path=" + root + "/dev/none is a link"));

  VolumeConfig blocked(1, 1, 1, root + "/dev/sdb1/x", "id", 0, 0, 0, 0, "");
  CQiError error = blocked.SetLinkTargetPathForDevice();
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 20));
  EXPECT_EQ(blocked.Device(), root + "/dev/sdb1/x");
}
