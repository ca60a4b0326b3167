#pragma once
// What the tests of the shared-device bitmap handler share: one 64 MiB
// device that client 5 (job results J5) backs up with several applications
// of cell 2, device id "ID1", 2-byte bitmaps.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/harness/sim_harness.h"
#include "platform/sim/fs_util.h"
#include "platform/snapshot/sm_vol_block.h"
#include "support/scratch_device.h"
#include "support/test_platform.h"
#include "tracking/block_level_bitmap_handler.h"

namespace tracking_test {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedStateDir;
using testing_support::ScratchDevice;

// Every file under a folder with its contents.
inline std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
    files[entry.path().string()] = entry.is_regular_file() ? ReadFile(entry.path().string()) : "<dir>";
  return files;
}

inline const std::string kNone = "<none>";
inline const std::string kZeros(2, '\0');
inline const std::string kOnes("\xFF\xFF", 2);

struct SharedDevice {
  ScopedStateDir state;
  ScratchDevice device{state};
  std::string dcf = state.Sub("dcf");
  std::string j5 = state.Sub("j5");
  int calls = 0;

  SharedDevice() {
    platform::ClientRecord client;
    client.id = 5;
    client.name = "client5";
    client.jobResultsDir = j5;
    EXPECT_TRUE(blbsim::AddClient(client));
    EXPECT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "sKZBFSNAPPART", dcf));
  }

  SMVolBlock Block(uint64_t app, bool forceFull = false) const {
    SMVolBlock block;
    block.sDevice = device.Path();
    block.sVolume = "/mnt/shared";
    block.nAppId = app;
    block.nVornCellId = 2;
    block.bForceFull = forceFull;
    return block;
  }

  // A new destination file each call.
  std::string NextDestination() {
    const std::string folder = state.Sub("D" + std::to_string(++calls));
    platform::MakeDirectories(folder);
    return folder + "/ID1.bmp";
  }

  struct Result {
    CQiError error;
    bool forceFull = false;
    std::string written;  // the destination's bytes, kNone when there is none
  };

  // deviceId: the id the subclient knows the device by (another mount path
  // of it gives another).
  Result GetAndClear(uint64_t app, bool forceFull = false, const std::string& deviceId = "ID1") {
    return Run(app, forceFull, true, deviceId);
  }
  Result Get(uint64_t app) { return Run(app, false, false); }

  Result Run(uint64_t app, bool forceFull, bool clear, const std::string& deviceId = "ID1") {
    const std::string destination = NextDestination();
    SMVolBlock block = Block(app, forceFull);
    CBlockLevelBitmapHandler handler;
    Result result;
    result.error = handler.Initialize(dcf);
    if (!result.error.IsError())
      result.error = clear ? handler.GetAndClearBitmap(5, 2, block, deviceId, destination)
                           : handler.GetBitmap(5, 2, block, deviceId, destination);
    result.forceFull = block.bForceFull;
    result.written = Contents(destination);
    return result;
  }

  static std::string Contents(const std::string& path) { return FileExists(path) ? ReadFile(path) : kNone; }
  std::string CacheFolder(uint64_t app) const { return j5 + "/.BlockLevel/5_" + std::to_string(app); }
  std::string Cache(uint64_t app, const std::string& deviceId = "ID1") const {
    return Contents(CacheFolder(app) + "/" + deviceId + ".bmp");
  }
  std::string List() const { return Contents(dcf + "/BLKVolumeMoniterList.kzf"); }
  std::string Line(uint64_t app) const {
    return "2|5|" + std::to_string(app) + "|" + device.Path() + "|ID1|0|0|0|0|\n";
  }

  // Every ".hook" file under the driver cache folder and the caches.
  std::vector<std::string> Hooks() const {
    std::vector<std::string> hooks;
    for (const std::string& root : {dcf, j5}) {
      if (!FileExists(root)) continue;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (entry.path().extension() == ".hook") hooks.push_back(entry.path().string());
    }
    return hooks;
  }

  // Apps 7 and 8 registered, the driver attached and their caches clean.
  void RegisterSevenAndEight() {
    ASSERT_FALSE(GetAndClear(7, true).error.IsError());
    ASSERT_FALSE(GetAndClear(8, true).error.IsError());
    ASSERT_EQ(Cache(7), kZeros);
    ASSERT_EQ(Cache(8), kZeros);
  }
};

}  // namespace tracking_test
