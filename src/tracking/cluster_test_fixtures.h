#pragma once
// A cluster node for the fail-over tests: this machine's client 2 (job
// results <state>/jobresults), the cluster's virtual client 5, the driver
// cache folder <state>/dcf, and volumes whose mount points are folders of the
// state directory, mounted (in the injected mount table) from 64 MiB sparse
// image files that the simulated KZBF driver tracks at 4 MiB extents:
// 16 extents, 2-byte bitmaps. A start's last marks go to <state>/run, not
// to the machine's runtime folder.
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/config/agent_config.h"
#include "platform/guid/guid_factory.h"
#include "platform/harness/kzbf_harness.h"
#include "platform/harness/mount_harness.h"
#include "platform/harness/sim_harness.h"
#include "support/test_platform.h"

namespace cluster_test {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedStateDir;
using testing_support::WriteFile;

constexpr int kExtent = 4 << 20;
inline const std::string kNone = "<none>";

struct ClusterNode {
  ScopedStateDir state;
  std::string listDir = state.Sub("jobresults/.BlockLevel");
  std::string list = listDir + "/.AttachedVolumes";
  std::string marker = listDir + "/.BlkLvlSoftFailover";
  std::string dcf = state.Sub("dcf");
  std::string monitored = dcf + "/BLKVolumeMoniterList.kzf";
  std::string runtime = state.Sub("run");

  ClusterNode() {
    platform::ClientRecord client;
    client.id = 5;
    client.name = "cluster5";
    client.isVirtual = true;
    EXPECT_TRUE(blbsim::AddClient(client));
    EXPECT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "sKZBFSNAPPART", dcf));
    EXPECT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "sBlockLevelRuntimeDir", runtime));
  }

  // A 64 MiB image file (a block device to the simulated driver).
  std::string Image(const std::string& name) const {
    const std::string path = state.Sub(name + ".img");
    WriteFile(path, "");
    std::filesystem::resize_file(path, 64 << 20);
    return path;
  }
  // A folder mounted from the device in the injected mount table.
  std::string Mount(const std::string& name, const std::string& device) const {
    const std::string folder = state.Sub(name);
    std::filesystem::create_directories(folder);
    EXPECT_TRUE(blbsim::AddMount(device, folder));
    return folder;
  }

  static std::string Key(const std::string& mount) { return CGuidFactory::get_guid_nosalt(mount); }
  std::string LeftBehind(const std::string& mount) const { return listDir + "/" + Key(mount) + ".bmp"; }
  static std::string Entry(const std::string& mount, int dirty = 0) {
    return mount + "|" + std::to_string(kExtent) + "|2|" + std::to_string(dirty) + "\n";
  }
  static std::string Record(const std::string& device, const std::string& key, int client = 5, int app = 7) {
    return "2|" + std::to_string(client) + "|" + std::to_string(app) + "|" + device + "|" + key + "|0|0|0|0|\n";
  }
  static std::string Contents(const std::string& path) { return FileExists(path) ? ReadFile(path) : kNone; }

  // What the driver reports for the device: "attached=1 extent=4194304" or "attached=0".
  static std::string Tracking(const std::string& device) {
    platform::KzBfDeviceStatus status;
    if (blbsim::KzbfQuery(device, status).IsError()) return "query failed";
    if (!status.attached) return "attached=0";
    return "attached=1 extent=" + std::to_string(status.extentSize);
  }
  static std::string Changed(const std::string& device) {
    std::vector<uint64_t> extents;
    if (blbsim::KzbfChangedExtents(device, false, extents).IsError()) return "query failed";
    std::string text;
    for (uint64_t extent : extents) text += (text.empty() ? "" : " ") + std::to_string(extent);
    return text;
  }
};

}  // namespace cluster_test
