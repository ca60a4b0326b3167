#include "platform/path/qi_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

TEST(CQiPath, LexicalOperations) {
  EXPECT_EQ(CQiPath("/dev/disk/by-id/x").GetParent(), CQiPath("/dev/disk/by-id"));
  EXPECT_EQ(CQiPath("/dev/x/").GetParent(), CQiPath("/dev"));
  EXPECT_EQ(CQiPath("/x").GetParent(), CQiPath("/"));
  EXPECT_EQ(CQiPath("x").GetParent(), CQiPath(""));
  EXPECT_EQ(CQiPath::Append(CQiPath("/dev/disk/by-id"), "../../sdb1"), CQiPath("/dev/disk/by-id/../../sdb1"));
  EXPECT_EQ(CQiPath::Append(CQiPath("/a/"), "/b"), CQiPath("/a/b"));

  EXPECT_EQ(CQiPath("/dev/disk/by-id/../../sdb1").AbsPath(), CQiPath("/dev/sdb1"));
  EXPECT_EQ(CQiPath("//a/./b//c/").AbsPath(), CQiPath("/a/b/c"));
  EXPECT_EQ(CQiPath("/../..").AbsPath(), CQiPath("/"));
  char cwd[4096] = {};
  ASSERT_NE(::getcwd(cwd, sizeof(cwd)), nullptr);
  EXPECT_EQ(CQiPath("sub/../leaf").AbsPath(), CQiPath(CQiPath::Append(CQiPath(cwd), "leaf").AbsPath()));
}

TEST(CQiPath, IsLinkTellsLinksFilesAndMissingPaths) {
  testing_support::ScopedStateDir dir;
  const std::string file = dir.Sub("file");
  const std::string link = dir.Sub("link");
  testing_support::WriteFile(file, "x");
  ASSERT_EQ(::symlink("file", link.c_str()), 0);
  const std::string dangling = dir.Sub("dangling");
  ASSERT_EQ(::symlink("nowhere", dangling.c_str()), 0);

  bool isLink = true;
  EXPECT_FALSE(CQiPath(file).IsLink(isLink).IsError());
  EXPECT_FALSE(isLink);
  EXPECT_FALSE(CQiPath(link).IsLink(isLink).IsError());
  EXPECT_TRUE(isLink);
  EXPECT_FALSE(CQiPath(dangling).IsLink(isLink).IsError());
  EXPECT_TRUE(isLink);
  // A link to a folder named with a trailing delimiter is still the link.
  const std::string folderLink = dir.Sub("folder-link");
  ASSERT_EQ(::symlink(dir.Path().c_str(), folderLink.c_str()), 0);
  EXPECT_FALSE(CQiPath(folderLink + "//").IsLink(isLink).IsError());
  EXPECT_TRUE(isLink);

  CQiError missing = CQiPath(dir.Sub("absent")).IsLink(isLink);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(missing, 2));
  EXPECT_FALSE(isLink);
  CQiError notDir = CQiPath(file + "/below").IsLink(isLink);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(notDir, 20));

  platform::FaultTable::Set("CQiPath::IsLink", 5, false, 1);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(CQiPath(file).IsLink(isLink), 5));
  EXPECT_FALSE(CQiPath(file).IsLink(isLink).IsError());
}
