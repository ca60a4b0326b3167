// The path utilities the content list relies on: same-device comparison,
// physical paths, and the volume that holds a path.
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/harness/mount_harness.h"
#include "platform/path/compare_path.h"
#include "platform/path/unix_symbolic_link.h"
#include "platform/text/fx_string.h"
#include "support/test_platform.h"

TEST(PathUtilities, ComparePathByDeviceWhereBothExistElseByText) {
  testing_support::ScopedStateDir dir;
  const std::string null = dir.Sub("null-link");
  ASSERT_EQ(::symlink("/dev/null", null.c_str()), 0);
  EXPECT_EQ(ComparePath::Check("/dev/null", null), 0);
  EXPECT_NE(ComparePath::Check("/dev/null", "/dev/zero"), 0);
  testing_support::WriteFile(dir.Sub("file"), "x");
  ASSERT_EQ(::link(dir.Sub("file").c_str(), dir.Sub("hard").c_str()), 0);
  EXPECT_EQ(ComparePath::Check(dir.Sub("file"), dir.Sub("hard")), 0);
  // A device node and a file holding the same number are not the same.
  EXPECT_NE(ComparePath::Check("/dev/null", dir.Sub("file")), 0);

  EXPECT_EQ(ComparePath::Check("tank/fs1", "tank/fs1"), 0);
  EXPECT_NE(ComparePath::Check("tank/fs1", "tank/fs2"), 0);
  EXPECT_NE(ComparePath::Check("tank/fs1", "/dev/null"), 0);
}

TEST(PathUtilities, PhysicalPathFollowsEveryLink) {
  testing_support::ScopedStateDir dir;
  testing_support::WriteFile(dir.Sub("real/data/file"), "x");
  ASSERT_EQ(::symlink("real", dir.Sub("first").c_str()), 0);
  ASSERT_EQ(::symlink("first/data", dir.Sub("second").c_str()), 0);
  std::string physical;
  std::vector<std::string> links{"stale"};
  ASSERT_TRUE(UnixSymbolicLink::getPhysicalPath(dir.Sub("second/./file"), physical, links, 0, 0));
  char real[4096];
  ASSERT_NE(::realpath(dir.Sub("real/data/file").c_str(), real), nullptr);
  EXPECT_EQ(physical, real);
  EXPECT_TRUE(links.empty());
  EXPECT_FALSE(UnixSymbolicLink::getPhysicalPath(dir.Sub("absent"), physical, links, 0, 0));
}

TEST(PathUtilities, VolumeOfAPathIsTheLongestMountPointHoldingIt) {
  testing_support::ScopedStateDir dir;
  ASSERT_TRUE(blbsim::SetRealMounts(false));
  FXString volume("stale");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(FXPath::KZGetVolumeNameForVolumeMountPoint("/a/b", volume), 2));
  EXPECT_EQ(volume, "");

  ASSERT_TRUE(blbsim::AddMount("/dev/sda1", "/"));
  ASSERT_TRUE(blbsim::AddMount("/dev/sdb1", "/a/b/"));
  ASSERT_TRUE(blbsim::AddMount("/dev/sdc1", "/a"));
  const std::pair<const char*, const char*> cases[] = {
      {"/a/b/c", "/a/b/"}, {"/a/b", "/a/b/"}, {"/a/bc", "/a/"}, {"/a", "/a/"}, {"/ab", "/"}, {"/", "/"}};
  for (const auto& [path, expected] : cases) {
    EXPECT_FALSE(FXPath::KZGetVolumeNameForVolumeMountPoint(path, volume).IsError()) << path;
    EXPECT_EQ(volume, expected) << path;
  }
}
