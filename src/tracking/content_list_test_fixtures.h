#pragma once
// What the content-list tests share: client "c1" (id 5, the only active
// client) with application types 19, 20, 21, 22, 29, 80, 81, 104, 125, 126
// in that order; a folder T whose subfolders stand for mount points of
// injected mounts, the real mount table switched off; cell 2.
#include <sys/stat.h>

#include <list>
#include <string>
#include <utility>
#include <vector>

#include "platform/guid/guid_factory.h"
#include "platform/harness/application_harness.h"
#include "platform/harness/mount_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/sim/fs_util.h"
#include "support/test_platform.h"
#include "tracking/content_list.h"

namespace content_list_test {

using Pairs = std::vector<std::pair<std::string, std::string>>;

inline std::string G(const std::string& text) { return CGuidFactory::get_guid_nosalt(text); }

struct Machine {
  static constexpr uint64_t kCell = 2;
  static constexpr uint64_t kClient = 5;

  testing_support::ScopedStateDir state;
  testing_support::CapturingLog log;
  std::string T = state.Sub("t");

  Machine() {
    platform::ClientRecord c1;
    c1.id = kClient;
    c1.name = "c1";
    c1.active = true;
    EXPECT_TRUE(blbsim::AddClient(c1));
    EXPECT_TRUE(blbsim::SetClientFlags(2, false, false));
    std::vector<platform::ApplicationTypeRecord> types;
    for (uint64_t type : {19, 20, 21, 22, 29, 80, 81, 104, 125, 126})
      types.push_back({type, "type" + std::to_string(type)});
    EXPECT_TRUE(blbsim::SetApplicationTypes(kClient, types));
    EXPECT_TRUE(blbsim::SetRealMounts(false));
    EXPECT_TRUE(platform::MakeDirectories(T));
  }

  // T/<relative>, made as a folder.
  std::string Dir(const std::string& relative) const {
    const std::string path = T + "/" + relative;
    EXPECT_TRUE(platform::MakeDirectories(path)) << path;
    return path;
  }

  std::string Mount(const std::string& device, const std::string& relative, const std::string& type = "ext4") const {
    const std::string path = Dir(relative);
    EXPECT_TRUE(blbsim::AddMount(device, path, type));
    return path;
  }

  // A file-system subclient of c1 in a backup set of its own type (id 100 +
  // type, every instance's) with its contents.
  void FileSystemSubclient(uint64_t app, uint64_t flags, const std::vector<std::string>& contents,
                           uint64_t type = 29) const {
    platform::BackupSetRecord backupSet;
    backupSet.id = 100 + type;
    backupSet.clientId = kClient;
    backupSet.appType = type;
    backupSet.name = "defaultBackupSet";
    EXPECT_TRUE(blbsim::AddBackupSet(backupSet));
    platform::SubclientRecord subclient;
    subclient.cellId = kCell;
    subclient.appId = app;
    subclient.clientId = kClient;
    subclient.name = "sc" + std::to_string(app);
    subclient.appType = type;
    subclient.backupSetId = backupSet.id;
    subclient.blockLevelFlags = flags;
    EXPECT_TRUE(blbsim::AddSubclient(subclient));
    EXPECT_TRUE(blbsim::SetSubclientContents(kCell, app, contents));
  }

  // Loads for the given application; the records as their lines.
  std::vector<std::string> Lines(CQiError* result = nullptr, long long appId = 7) const {
    std::vector<std::string> lines;
    for (const VolumeConfig& record : Load(result, appId)) lines.push_back(record.Serialize());
    return lines;
  }

  // The records as (Device, DeviceId).
  Pairs Devices(CQiError* result = nullptr, long long appId = 7) const {
    Pairs pairs;
    for (const VolumeConfig& record : Load(result, appId)) pairs.emplace_back(record.Device(), record.DeviceId());
    return pairs;
  }

  std::list<VolumeConfig> Load(CQiError* result, long long appId) const {
    CContentList contents;
    CQiError loaded = contents.Load(appId, kCell);
    if (result != nullptr)
      *result = loaded;
    else
      EXPECT_FALSE(loaded.IsError()) << loaded.AsString();
    std::list<VolumeConfig> records;
    contents.Get(records);
    return records;
  }
};

}  // namespace content_list_test
