#include "tracking/content_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "support/loop_device.h"
#include "tracking/content_list_test_fixtures.h"

namespace {

using content_list_test::G;
using content_list_test::Machine;
using content_list_test::Pairs;

// The application types each query of the log was made for.
std::vector<uint64_t> TypesAsked(const std::string& call) {
  std::vector<uint64_t> types;
  for (const platform::ApplicationListCall& logged : blbsim::ApplicationListCalls())
    if (logged.call == call) types.push_back(logged.appType);
  return types;
}

}  // namespace

TEST(ContentList, FileSystemMountPointsOfBlockLevelSubclientsOnly) {
  Machine machine;
  const std::string data = machine.Mount("/dev/sdb1", "data");
  const std::string sub = machine.Dir("data/sub");
  machine.FileSystemSubclient(7, platform::SubclientRecord::kBlockLevel, {data, sub});

  // Before a load there is nothing to get.
  std::list<VolumeConfig> records{VolumeConfig(1, 1, 1, "x", "y", 0, 0, 0, 0, "")};
  CContentList().Get(records);
  EXPECT_TRUE(records.empty());

  EXPECT_EQ(machine.Lines(), std::vector<std::string>{"2|5|7|/dev/sdb1|" + G(data) + "|0|0|0|0|\n"});
  EXPECT_EQ(TypesAsked("getBackupSetList"), (std::vector<uint64_t>{19, 21, 29}));
  EXPECT_EQ(TypesAsked("getInstanceList"), (std::vector<uint64_t>{22, 80, 104, 125}));
  EXPECT_TRUE(machine.log.Contains("Adding entry=[2|5|7|/dev/sdb1|" + G(data) + "|0|0|0|0|]"));

  // The SPOS flag alone is enough for a file system; neither flag adds nothing.
  machine.FileSystemSubclient(7, platform::SubclientRecord::kBlockLevelSPOS, {data, sub});
  EXPECT_EQ(machine.Lines().size(), 1u);
  machine.FileSystemSubclient(7, 0, {data, sub});
  machine.log.Clear();
  EXPECT_TRUE(machine.Lines().empty());
  EXPECT_FALSE(machine.log.Contains("BlockLevel SC"));
}

TEST(ContentList, ContentsThatAreLinksDeviceNodesOrMissing) {
  Machine machine;
  testing_support::ScopedLoopDevice loop(1 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  const std::string link = machine.T + "/l";
  ASSERT_EQ(::symlink("../x", link.c_str()), 0);
  // A link is a device whatever it points to: here a folder.
  const std::string folderLink = machine.T + "/f";
  ASSERT_EQ(::symlink(machine.Dir("folder").c_str(), folderLink.c_str()), 0);
  const std::string missing = machine.T + "/missing";
  machine.FileSystemSubclient(7, platform::SubclientRecord::kBlockLevel, {missing, link, loop.Device(), folderLink});

  const std::string parent = machine.state.Path();
  EXPECT_EQ(machine.Devices(), (Pairs{{parent + "/x", G(link)},
                                     {loop.Device(), G(loop.Device())},
                                     {machine.T + "/folder", G(folderLink)}}));
  EXPECT_TRUE(machine.log.Contains("Failed to fetch device(s) corresponding to content=" + missing +
                                   ", error="));
}

TEST(ContentList, MountedDeviceLinksAreResolvedOneLevel) {
  Machine machine;
  // by-id/disk -> ../real-link -> sdz: the mount's device resolves to real-link.
  const std::string byId = machine.Dir("dev/by-id");
  ASSERT_EQ(::symlink("sdz", (machine.T + "/dev/real-link").c_str()), 0);
  ASSERT_EQ(::symlink("../real-link", (byId + "/disk").c_str()), 0);
  const std::string data = machine.Mount(byId + "/disk", "data");
  machine.FileSystemSubclient(7, platform::SubclientRecord::kBlockLevel, {data, data});

  // Two contents on one device give two records, never merged.
  EXPECT_EQ(machine.Devices(), (Pairs{{machine.T + "/dev/real-link", G(data)}, {machine.T + "/dev/real-link", G(data)}}));
}

TEST(ContentList, ZfsDatasetsGiveTheirPoolsMemberDevicesAskingOncePerPool) {
  Machine machine;
  const std::string fs1 = machine.Mount("tank/fs1", "fs1", "zfs");
  const std::string fs2 = machine.Mount("tank/fs2", "fs2", "zfs");
  LVM::VG tank;
  tank.name = "tank";
  tank.lv_map["fs1"] = {"fs1", "", "tank/fs1", {"sdb", "sdc"}};
  tank.lv_map["fs2"] = {"fs2", "", "tank/fs2", {"sdb", "sdc"}};
  tank.pv_map["sdb"].device = "/dev/sdb";
  tank.pv_map["sdc"].device = "/dev/sdc";
  ASSERT_TRUE(blbsim::AddVolumeGroup(tank));
  machine.FileSystemSubclient(7, platform::SubclientRecord::kBlockLevel, {fs1, fs2});

  EXPECT_EQ(machine.Devices(), (Pairs{{"/dev/sdb", G("/dev/sdb")},
                                     {"/dev/sdc", G("/dev/sdc")},
                                     {"/dev/sdb", G("/dev/sdb")},
                                     {"/dev/sdc", G("/dev/sdc")}}));
  EXPECT_EQ(blbsim::VolumeManagerQueries("tank/fs1"), 1u);
  EXPECT_EQ(blbsim::VolumeManagerQueries("tank/fs2"), 0u);
  EXPECT_TRUE(machine.log.Contains("Re-using list of devices of zpool[tank] mount[" + fs2 + "]"));
}

TEST(ContentList, ZfsRootDatasetsUnknownGroupsAndVolumeManagerFailures) {
  Machine machine;
  // A pool's root dataset has no pool name: asked every time, never cached.
  const std::string root1 = machine.Mount("tank", "root1", "zfs");
  const std::string root2 = machine.Mount("tank", "root2", "zfs");
  // A dataset no logical volume carries; a member the group does not list.
  const std::string stray = machine.Mount("tank/stray", "stray", "zfs");
  LVM::VG tank;
  tank.name = "tank";
  tank.lv_map["root"] = {"root", "", "tank", {"sdb", "gone"}};
  tank.pv_map["sdb"].device = "/dev/sdb";
  ASSERT_TRUE(blbsim::AddVolumeGroup(tank));
  machine.FileSystemSubclient(7, platform::SubclientRecord::kBlockLevel, {root1, root2, stray});

  EXPECT_EQ(machine.Devices(), (Pairs{{"/dev/sdb", G("/dev/sdb")}, {"/dev/sdb", G("/dev/sdb")}}));
  EXPECT_EQ(blbsim::VolumeManagerQueries("tank"), 2u);
  EXPECT_TRUE(machine.log.Contains("Failed to get pool name from mount[" + root1 + "] device[tank]"));
  EXPECT_FALSE(machine.log.Contains("Adding zpool to device list info"));

  // A failing volume manager leaves the content unresolved; the load goes on.
  for (bool raise : {false, true}) {
    blbsim::SetFault("LVM::getByLVDevice", 5, raise);
    machine.log.Clear();
    CQiError result;
    EXPECT_TRUE(machine.Devices(&result).empty());
    EXPECT_FALSE(result.IsError());
    EXPECT_TRUE(machine.log.Contains(raise ? "failed to get device list, error="
                                           : "Failed to allocate memory for LVM object"));
  }
}

TEST(ContentList, TheFirstFailureEndsTheLoadKeepingEarlierRecords) {
  Machine machine;
  const std::string data = machine.Mount("/dev/sdb1", "data");
  machine.FileSystemSubclient(7, platform::SubclientRecord::kBlockLevel, {data}, 19);
  // A subclient of type 21 that the load's cell does not know.
  ASSERT_TRUE(blbsim::AddBackupSet({121, Machine::kClient, 21, 0, "defaultBackupSet"}));
  platform::SubclientRecord stray;
  stray.cellId = 3;
  stray.appId = 8;
  stray.name = "sc8";
  stray.backupSetId = 121;
  ASSERT_TRUE(blbsim::AddSubclient(stray));
  machine.FileSystemSubclient(9, platform::SubclientRecord::kBlockLevel, {data}, 29);

  CQiError result;
  EXPECT_EQ(machine.Devices(&result), (Pairs{{"/dev/sdb1", G(data)}}));
  EXPECT_TRUE(FXErrorUtil::IsWin32(result, 1627));
  EXPECT_EQ(result.GetMessage(), "getApplicationId() call failure for subclient: name[sc8] id[8]");
  EXPECT_NE(result.AsString().find("Failed to enumerate device list, FS clientId=5 AppType=21"), std::string::npos);
  EXPECT_NE(result.AsString().find("Unix/ContentList"), std::string::npos);
  EXPECT_EQ(TypesAsked("getBackupSetList"), (std::vector<uint64_t>{19, 21}));
  stray.backupSetId = 0;
  ASSERT_TRUE(blbsim::AddSubclient(stray));

  struct Case {
    const char* call;
    const char* message;
  };
  for (const Case& failing : {Case{"KzMntTab::getAll", "failed to get mount list"},
                              Case{"ClientApplicationList::getBackupSetList",
                                   "getBackupSetList() call failure for clientid:5"},
                              Case{"ClientApplicationList::getApplicationTypes",
                                   "Failed to get appType list for clientId=[5]"},
                              Case{"ClientApplicationList::getSubclientList",
                                   "getSubclientList() call failure for backupset:  name[defaultBackupSet] id[119]"},
                              Case{"ApplicationId::getSubclient", "Failed in getSubclient() for subclient: name[sc7] id[7]"},
                              Case{"FSSubclientConf::load", "Failed to load subclient configuration"},
                              Case{"FSSubclientConf::dirnames", "Failed to load content for subclient sc7"}}) {
    blbsim::SetFault(failing.call, 1);
    EXPECT_TRUE(machine.Devices(&result).empty()) << failing.call;
    EXPECT_TRUE(FXErrorUtil::IsWin32(result, 1627)) << failing.call;
    EXPECT_EQ(result.GetMessage(), failing.message);
    blbsim::ClearFault(failing.call);
  }

  ASSERT_TRUE(blbsim::SetClientFlags(Machine::kClient, false, false));
  EXPECT_TRUE(machine.Devices(&result).empty());
  EXPECT_EQ(FXErrorUtil::GetCode(result), -1);
  EXPECT_EQ(result.GetMessage(), "Active client list is empty, probably client hostname is unresolvable");
}

TEST(ContentList, BackupSetsOfTheCallersInstanceOnly) {
  Machine machine;
  const std::string data = machine.Mount("/dev/sdb1", "data");
  // Backup sets of every instance (0), of instance 3 and of instance 4.
  for (uint64_t instance : {0, 3, 4}) {
    platform::BackupSetRecord backupSet{200 + instance, Machine::kClient, 29, instance, "bs" + std::to_string(instance)};
    ASSERT_TRUE(blbsim::AddBackupSet(backupSet));
    platform::SubclientRecord subclient;
    subclient.cellId = Machine::kCell;
    subclient.appId = 10 + instance;
    subclient.clientId = Machine::kClient;
    subclient.appType = 29;
    subclient.backupSetId = backupSet.id;
    subclient.instanceId = instance;
    subclient.blockLevelFlags = platform::SubclientRecord::kBlockLevel;
    ASSERT_TRUE(blbsim::AddSubclient(subclient));
    ASSERT_TRUE(blbsim::SetSubclientContents(Machine::kCell, subclient.appId, {data}));
  }
  auto apps = [](const std::list<VolumeConfig>& records) {
    std::vector<long long> ids;
    for (const VolumeConfig& record : records) ids.push_back(record.AppId());
    return ids;
  };
  EXPECT_EQ(apps(machine.Load(nullptr, 13)), (std::vector<long long>{10, 13}));
  // An application the configuration no longer knows has no instance: it is
  // read as instance 0, not followed into a crash.
  EXPECT_EQ(apps(machine.Load(nullptr, 999)), (std::vector<long long>{10}));
  EXPECT_TRUE(machine.log.Contains("Failed to get instance of AppId=999, using instance id 0"));

  // A client whose id cannot be looked up is walked as client 0.
  blbsim::SetFault("KZClient::getClientId", 1);
  EXPECT_TRUE(machine.Load(nullptr, 13).empty());
  EXPECT_EQ(blbsim::ApplicationListCalls().back().call, "getApplicationTypes");
  EXPECT_EQ(blbsim::ApplicationListCalls().back().clientId, 0u);
}
