// Key bags: any key and value survive the text form, which never holds a
// zero byte; texts that are no bag are refused without touching the bag.
#include "platform/bag/bag.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

TEST(Bag, AnyKeysAndValuesRoundTripThroughTheText) {
  testing_support::ScopedStateDir state;
  std::string every(256, '\0');
  for (int i = 0; i < 256; ++i) every[i] = static_cast<char>(255 - i);
  std::map<std::string, std::string> expected = {{"", ""}, {every, every}, {"k", "v1"}, {"=;%", "%41"}};
  std::mt19937 random(7);
  for (int n = 0; n < 50; ++n) {
    std::string key(random() % 20, '\0'), value(random() % 200, '\0');
    for (char& c : key) c = static_cast<char>(random());
    for (char& c : value) c = static_cast<char>(random());
    expected[key] = value;
  }
  CBag bag, loaded;
  ASSERT_FALSE(bag.Write("k", "replaced").IsError());
  for (const auto& entry : expected) ASSERT_FALSE(bag.Write(entry.first, entry.second).IsError());
  ASSERT_FALSE(loaded.Write("stale", "x").IsError());
  std::string text;
  bag.GetSerializedData(text);
  EXPECT_EQ(text.find('\0'), std::string::npos);
  ASSERT_FALSE(loaded.LoadSerializedData(text).IsError());

  std::list<std::string> keys;
  for (const auto& entry : expected) keys.push_back(entry.first);
  EXPECT_EQ(loaded.allKeys(), keys);
  for (const auto& entry : expected) {
    std::string value;
    ASSERT_FALSE(loaded.Read(entry.first, value).IsError());
    EXPECT_EQ(value, entry.second);
  }
  std::string value = "kept";
  EXPECT_TRUE(FXErrorUtil::IsWin32(loaded.Read("stale", value), 1168));
  EXPECT_EQ(value, "kept");
  CBag().GetSerializedData(text);
  EXPECT_EQ(text, "bag:");
}

TEST(Bag, RefusedTextsAndFaultsLeaveTheBagAsItWas) {
  testing_support::ScopedStateDir state;
  CBag bag;
  ASSERT_FALSE(bag.Write("k", "v1").IsError());
  for (const char* text : {"", "bag", "Bag:", "bag:k", "bag:k=v", "bag:k=v;x", "bag:k=v;k=w;", "bag:k=v=w;",
                           "bag:k;v=;", "bag:k=%4;", "bag:k=%4g;", "bag:k=%4a;", "bag:k=a\tb;", "bag:k=\xe9;"})
    EXPECT_TRUE(FXErrorUtil::IsWin32(bag.LoadSerializedData(text), 774)) << text;
  for (const char* call : {"CBag::Write", "CBag::Read", "CBag::LoadSerializedData"})
    platform::FaultTable::Set(call, 5, false, 1);
  std::string value;
  EXPECT_TRUE(bag.Write("k", "v2").IsError());
  EXPECT_TRUE(bag.Read("k", value).IsError());
  EXPECT_TRUE(bag.LoadSerializedData("bag:").IsError());
  ASSERT_FALSE(bag.Read("k", value).IsError());
  EXPECT_EQ(value, "v1");
}
