#include "platform/lvm/lvm.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "platform/harness/application_harness.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

TEST(Lvm, GroupsOfLogicalVolumesKeepTheirMembersInOrder) {
  testing_support::ScopedStateDir dir;
  LVM::VG tank;
  tank.name = "tank";
  tank.lv_map["fs1"] = {"fs1", "", "tank/fs1", {"sdc", "sdb", "sdd"}};
  tank.pv_map["sdb"].device = "/dev/sdb";
  tank.pv_map["sdc"].device = "/dev/sdc";
  ASSERT_TRUE(blbsim::AddVolumeGroup(tank));

  std::unique_ptr<LVM> lvm(LVM::getByLVDevice("tank/fs1"));
  ASSERT_TRUE(lvm);
  LVM::VG found = lvm->getVG("tank/fs1");
  EXPECT_EQ(found.name, "tank");
  EXPECT_EQ(found.lv_map["fs1"].pv_names, (std::list<std::string>{"sdc", "sdb", "sdd"}));
  EXPECT_EQ(found.pv_map["sdc"].device, "/dev/sdc");
  EXPECT_EQ(found.pv_map["sdc"].m_nState, 1);
  EXPECT_TRUE(lvm->getVG("tank/none").name.empty());

  // A group seeded again is replaced whole.
  tank.lv_map.erase("fs1");
  tank.lv_map["fs2"] = {"fs2", "", "tank/fs2", {"sdb"}};
  ASSERT_TRUE(blbsim::AddVolumeGroup(tank));
  EXPECT_TRUE(lvm->getVG("tank/fs1").name.empty());
  EXPECT_EQ(lvm->getVG("tank/fs2").lv_map.size(), 1u);

  lvm.reset(LVM::getByLVDevice("tank/fs1"));
  EXPECT_EQ(blbsim::VolumeManagerQueries("tank/fs1"), 2u);
  platform::FaultTable::Set("LVM::getVG", 5, true);
  EXPECT_THROW(lvm->getVG("tank/fs2"), std::runtime_error);
  platform::FaultTable::Set("LVM::getByLVDevice", 5);
  EXPECT_EQ(LVM::getByLVDevice("tank/fs2"), nullptr);
}
