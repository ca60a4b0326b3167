// The driver cache folder when the registry cannot say where it is: no
// caller looks for, or leaves, the list, the hooks or the records in another
// folder.
#include "tracking/driver_cache_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "blocklevel/blocklevel.h"
#include "platform/registry/registry_backend.h"
#include "platform/sim/fault_table.h"
#include "records/block_device_config.h"
#include "support/unreadable_setting.h"
#include "tracking/block_level_bitmap_handler.h"
#include "tracking/cluster_test_fixtures.h"
#include "tracking/handler_test_fixtures.h"
#include "tracking/volume_bitmap_helper_driverless.h"
#include "tracking/volume_bitmap_helper_kzbf.h"

namespace {

using cluster_test::kExtent;
using testing_support::FileExists;
using testing_support::WriteFile;
using tracking_test::Tree;

// How the folder comes to be unknown: the setting's read fails, or it is not
// set and the product directory's read fails (the registry's, or KZPI_Base's).
struct Unknown {
  const char* name;
  bool cacheSettingSet;
  const char* unreadable;  // SECTION/KEY, or nullptr
  const char* fault;       // or nullptr
};

// Volume "a" on image A, listed for fail-over and registered for client 5's
// subclient 7 by its volume key in the folder the registry names; the driver
// holds extent 3, written since.
struct Node : cluster_test::ClusterNode {
  std::string folder;
  std::string image = Image("A");
  std::string a = Mount("a", image);
  std::string bitmap = state.Sub("job/" + Key(a) + ".bmp");
  std::string cwd = state.Sub("cwd");

  explicit Node(const Unknown& unknown) {
    folder = unknown.cacheSettingSet ? dcf : state.Sub("install/KZBF/cache");
    if (!unknown.cacheSettingSet) {
      EXPECT_TRUE(blbsim::RemoveRegistryValue("FileSystemAgent", "sKZBFSNAPPART"));
    }
    platform::SubclientRecord subclient;
    subclient.cellId = 2;
    subclient.appId = 7;
    subclient.clientId = 5;
    EXPECT_TRUE(blbsim::AddSubclient(subclient));
    WriteFile(list, Entry(a));
    WriteFile(folder + "/BLKVolumeMoniterList.kzf", Record(image, Key(a)));
    std::filesystem::create_directories(state.Sub("job"));
    std::filesystem::create_directories(cwd);
    EXPECT_FALSE(blbsim::KzbfAttach(image, kExtent).IsError());
    EXPECT_FALSE(blbsim::KzbfMarkExtents(image, {3}).IsError());
  }

  SMVolBlock Volume() const {
    SMVolBlock volume;
    volume.sDevice = image;
    volume.sVolume = a;
    volume.nAppId = 7;
    volume.nVornCellId = 2;
    return volume;
  }
  CQiError Step(bool full, bool preSnap) {
    SMVolBlock volume = Volume();
    VolumeBitMapHelper_KZBF& kzbf = *VolumeBitMapHelper_KZBF::GetVolumeHandler();
    return full ? kzbf.FullBitMapFormalities(volume, bitmap, 2, kExtent, preSnap)
                : kzbf.IncrBitMapFormalities(volume, bitmap, 2, kExtent, preSnap);
  }
  // The files of the folder, the list's folder and the working directory
  // (where an empty folder's files would go), but the list's lock.
  std::string Files() const {
    std::string text;
    for (const std::string& root : {folder, listDir, cwd})
      for (const auto& [path, contents] : Tree(root))
        if (path != list + ".lock") text += path + "=" + contents + "\n";
    return text;
  }
};

// Fails, and leaves the driver, the folder, the fail-over files and every
// other folder as they were.
TEST(DriverCacheFolder, NotKnownFailsWhatNeedsItAndTouchesNothing) {
  const struct {
    const char* name;
    std::function<void(Node&)> prepare;
    std::function<CQiError(Node&)> act;
  } cases[] = {
      {"incremental pre-snap", nullptr, [](Node& n) { return n.Step(false, true); }},
      {"incremental post-snap", nullptr, [](Node& n) { return n.Step(false, false); }},
      {"full pre-snap", nullptr, [](Node& n) { return n.Step(true, true); }},
      {"full post-snap", nullptr, [](Node& n) { return n.Step(true, false); }},
      {"driverless step", nullptr,
       [](Node& n) {
         SMVolBlock volume = n.Volume();
         return VolumeBitMapHelper_BLOCKLEVEL_DRIVERLESS::GetVolumeHandler()->FullBitMapFormalities(volume, n.bitmap, 2,
                                                                                                    kExtent, true);
       }},
      {"cluster stop", nullptr, [](Node&) { return BlockLevelClusterHandler(0); }},
      {"soft cluster start",
       [](Node& n) {
         WriteFile(n.marker, n.Record(n.image, n.Key(n.a)));
         WriteFile(n.LeftBehind(n.a), std::string(2, '\0'));
       },
       [](Node&) { return BlockLevelClusterHandler(1); }},
      {"detach of the removed subclient",
       [](Node& n) {
         BlockDeviceConfigReaderWriter_UNIX writer;
         CQiError result = writer.InitWrite(n.state.Sub("job/BlockDeviceConfig.kzf"), false, false);
         if (!result.IsError())
           result = writer.WriteNextBackupDevice(
               BackupDeviceInfo(true, n.a, n.image, "ext4", "rw", kExtent, 131072, 4096, 2));
         if (!result.IsError()) result = writer.Close();
         ASSERT_FALSE(result.IsError()) << result.AsString();
       },
       [](Node& n) { return DetachBlockLevelVolumes(n.state.Sub("job/BlockDeviceConfig.kzf"), 7); }},
  };
  // Each caller with the setting unreadable; the first also with the
  // product directory unknown.
  const Unknown unknowns[] = {
      {"setting unreadable", true, "FileSystemAgent/sKZBFSNAPPART", nullptr},
      {"product directory unreadable", false, "Base/dTARVOSHOME", nullptr},
      {"product directory failed", false, nullptr, "KZPI_Base::getTarvosDirectory"},
  };
  for (const auto& test : cases)
    for (const Unknown& unknown : unknowns) {
      if (&test != cases && &unknown != unknowns) continue;
      SCOPED_TRACE(std::string(unknown.name) + ": " + test.name);
      Node node(unknown);
      if (test.prepare) test.prepare(node);
      const std::string before = node.Files();
      CQiError result;
      {
        testing_support::ScopedCwd inScratch(node.cwd);
        std::optional<testing_support::UnreadableSetting> unreadable;
        std::optional<platform::Registry::Scope> use;
        if (unknown.unreadable) use.emplace(unreadable.emplace(unknown.unreadable));
        if (unknown.fault) platform::FaultTable::Set(unknown.fault, 5);
        result = test.act(node);
        if (unknown.fault) platform::FaultTable::Clear(unknown.fault);
      }
      EXPECT_TRUE(result.IsError());
      EXPECT_EQ(node.Tracking(node.image), "attached=1 extent=4194304");
      EXPECT_EQ(node.Changed(node.image), "3");
      EXPECT_EQ(node.Files(), before);
      EXPECT_FALSE(FileExists(node.bitmap));
      // The folder the setting's absence names is another one here.
      if (unknown.cacheSettingSet) {
        EXPECT_FALSE(FileExists(node.state.Sub("install/KZBF")));
      }
    }
}

// A destroyed snapshot's copy-on-write files are not looked for elsewhere.
TEST(DriverCacheFolder, NotKnownLeavesTheSnapshotFilesOfEveryFolder) {
  Node node({"", true, nullptr, nullptr});
  std::string snapshot;
  ASSERT_FALSE(blbsim::KzbfCreateSnapshot(node.image, false, snapshot).IsError());
  const std::string name = snapshot.substr(snapshot.rfind('/') + 1) + ".cow.dat";
  for (const std::string& folder : {node.dcf, node.state.Sub("install/KZBF/cache")}) WriteFile(folder + "/" + name, "");
  {
    testing_support::UnreadableSetting unreadable("FileSystemAgent/sKZBFSNAPPART");
    platform::Registry::Scope use(unreadable);
    ASSERT_FALSE(VolumeBitMapHelper_KZBF::GetVolumeHandler()->DeleteSnapAndDetachDevice(node.image, false).IsError());
  }
  EXPECT_FALSE(FileExists(snapshot));
  EXPECT_TRUE(FileExists(node.dcf + "/" + name));
  EXPECT_TRUE(FileExists(node.state.Sub("install/KZBF/cache/") + name));
}

}  // namespace
