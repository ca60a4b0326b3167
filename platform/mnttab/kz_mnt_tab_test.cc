#include "platform/mnttab/kz_mnt_tab.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/harness/mount_harness.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

namespace {

TEST(KzMntTab, ReadsTheRealTableWithEscapesThenTheInjectedEntries) {
  KzMntTab::Entry entry;
  ASSERT_TRUE(platform::ParseMountLine("/dev/sdb1 /mnt/my\\040disk\\011x ext4 rw,relatime 1 2", entry));
  EXPECT_EQ(entry.m_sDevice, "/dev/sdb1");
  EXPECT_EQ(entry.m_sMountPoint, "/mnt/my disk\tx");
  EXPECT_EQ(entry.m_sFsType, "ext4");
  EXPECT_EQ(entry.m_sOptions, "rw,relatime");
  EXPECT_EQ(entry.m_nDumpPass, (1ULL << 32) | 2);
  // A backslash that starts no escape stands as it is.
  ASSERT_TRUE(platform::ParseMountLine("a\\b /x\\04 t o", entry));
  EXPECT_EQ(entry.m_sDevice, "a\\b");
  EXPECT_EQ(entry.m_sMountPoint, "/x\\04");
  EXPECT_FALSE(platform::ParseMountLine("/dev/sdb1 /mnt ext4", entry));

  testing_support::ScopedStateDir state;
  ASSERT_TRUE(blbsim::AddMount("/dev/mapper/vg0-kznv_3", "/mnt/s3"));
  ASSERT_TRUE(blbsim::AddMount("pool/data", "/pool/data", "zfs"));
  std::list<KzMntTab::Entry> entries;
  ASSERT_FALSE(KzMntTab::getAll(entries).IsError());
  auto proc = std::find_if(entries.begin(), entries.end(),
                           [](const KzMntTab::Entry& e) { return e.m_sMountPoint == "/proc"; });
  EXPECT_NE(proc, entries.end());
  ASSERT_GE(entries.size(), 3u);
  EXPECT_EQ(std::prev(entries.end(), 2)->m_sDevice, "/dev/mapper/vg0-kznv_3");
  EXPECT_EQ(entries.back().m_sFsType, "zfs");

  ASSERT_TRUE(blbsim::SetRealMounts(false));
  ASSERT_TRUE(blbsim::AddMount("/dev/loop9", "/mnt/s3"));
  ASSERT_FALSE(KzMntTab::getAll(entries).IsError());
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries.front().m_sMountPoint, "/mnt/s3");
  // The later of two mounts on one path is the one the path shows; a
  // path is found only as a whole mount point.
  ASSERT_NE(KzMntTab::find(entries, "/mnt/s3"), nullptr);
  EXPECT_EQ(KzMntTab::find(entries, "/mnt/s3")->m_sDevice, "/dev/loop9");
  EXPECT_EQ(KzMntTab::find(entries, "/mnt/s"), nullptr);
  EXPECT_EQ(KzMntTab::find(entries, "/mnt/s3/"), nullptr);
  ASSERT_TRUE(blbsim::ClearMounts());
  ASSERT_FALSE(KzMntTab::getAll(entries).IsError());
  EXPECT_TRUE(entries.empty());

  platform::FaultTable::Set("KzMntTab::getAll", 13, false, 1);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(KzMntTab::getAll(entries), 13));
}

}  // namespace
