#include "platform/text/fx_string.h"

#include <gtest/gtest.h>

TEST(FXString, SplitKeepsEmptyFields) {
  EXPECT_EQ(FXString("a||b|").Split('|').size(), 4u);
  EXPECT_EQ(FXString("").Split('|').size(), 1u);
  std::vector<FXString> fields = FXString::Split("true|/data|", '|');
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[1], "/data");
  EXPECT_EQ(fields[2], "");
}

TEST(FXString, ComparisonsAndTrimming) {
  EXPECT_EQ(FXString::CompareNoCase("NTFS", "ntfs"), 0);
  EXPECT_TRUE(FXString::MatchRight("x_CumulativeV2.bmp", "_CumulativeV2.bmp"));
  EXPECT_FALSE(FXString::MatchRight("bmp", ".bmp"));
  EXPECT_EQ(FXString("/dev/SDB1").FindNoCase("sdb"), 5u);
  EXPECT_EQ(FXString("abc").FindNoCase("x"), FXString::npos);
  FXString padded(" \t a b \t");
  EXPECT_EQ(padded.TrimWhiteSpace(), "a b");
  FXString blanks("   ");
  EXPECT_EQ(blanks.TrimWhiteSpace(), "");
  FXString shortText("ab");
  EXPECT_EQ(shortText.RemoveRight(5), "");
  EXPECT_EQ(FXString("a") + "bc", "abc");
  EXPECT_FALSE(CQiString() != CQiString(""));
  EXPECT_TRUE(CQiString("a") != CQiString("b"));
}

TEST(FXPath, JoinsAndSplitsPaths) {
  EXPECT_EQ(FXPath::Append("/jr", "x.bmp"), "/jr/x.bmp");
  EXPECT_EQ(FXPath::Append("/jr/", "/x.bmp"), "/jr/x.bmp");
  FXString path("/jr/");
  FXPath::RemoveTrailingDelimiter(path);
  EXPECT_EQ(path, "/jr");
  FXPath::AppendTrailingDelimiter(path);
  FXPath::AppendTrailingDelimiter(path);
  EXPECT_EQ(path, "/jr/");
  EXPECT_EQ(FXPath::GetParent("/a/b"), "/a");
  EXPECT_EQ(FXPath::GetParent("/a"), "/");
  EXPECT_EQ(FXPath::GetParent("a"), "");
  EXPECT_EQ(FXPath::GetFileName("/a/b.kzf"), "b.kzf");
}

TEST(FXString, TrimOneEnd) {
  FXString options("a=1;b=2;;");
  EXPECT_EQ(options.TrimRight(";"), "a=1;b=2");
  FXString all(";;");
  EXPECT_EQ(all.TrimRight(";"), "");
  FXString lead("//a/");
  EXPECT_EQ(lead.TrimLeft("/"), "a/");
  FXString none("///");
  EXPECT_EQ(none.TrimLeft("/"), "");
}
