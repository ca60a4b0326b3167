#pragma once
// The set-up the pseudo-snap tests share: client 2 (OS 49), subclient 2:7
// (type 5, copy 3, group 4) whose job-results directory SC holds the job's
// device configuration, jobs 101 (token "tok") and 55, the snapshot job 55's
// archive files 501, 502 and its volume-snap record.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/config/agent_config.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/seed.h"
#include "platform/harness/sim_harness.h"
#include "platform/harness/snap_harness.h"
#include "platform/indexing/index_agent_entries.h"
#include "platform/messages/uxa_messages.h"
#include "platform/services/archive_manager.h"
#include "platform/sim/fs_util.h"
#include "pseudosnap/pseudo_snap_handler_private.h"
#include "records/block_device_config.h"
#include "support/test_platform.h"

namespace pseudosnap_test {

// The handler's state, open to the tests.
class Handler : public CPseudoSnapArchiveHandlerPrivate {
 public:
  using CPseudoSnapArchiveHandlerPrivate::m_bIndexingV2;
  using CPseudoSnapArchiveHandlerPrivate::m_bWindowsDestination;
  using CPseudoSnapArchiveHandlerPrivate::m_cDelimiter;
  using CPseudoSnapArchiveHandlerPrivate::m_eBackupLevel;
  using CPseudoSnapArchiveHandlerPrivate::m_GuidToAfileMapVector;
  using CPseudoSnapArchiveHandlerPrivate::m_mMountMap;
  using CPseudoSnapArchiveHandlerPrivate::m_mSnapToPseudoArchFileMap;
  using CPseudoSnapArchiveHandlerPrivate::m_mVolumeTypes;
  using CPseudoSnapArchiveHandlerPrivate::m_nDestOsId;
  using CPseudoSnapArchiveHandlerPrivate::m_nIndexConnFlags;
  using CPseudoSnapArchiveHandlerPrivate::m_nJobId;
  using CPseudoSnapArchiveHandlerPrivate::m_oClonedVolSnapInfo;
  using CPseudoSnapArchiveHandlerPrivate::m_oSnapVolSnapInfo;
  using CPseudoSnapArchiveHandlerPrivate::m_sSubClientDir;
};

constexpr const char* kSnapRecord55 =
    "job=55 snapjob=55 cell=2 engine=1 copy=0 synthfull=0\n"
    "volume id=1 path=/mnt/a options=rw flags=0x0 afile=501\n"
    "volume id=2 path=/mnt/b options=zfs:tank flags=0x1 afile=502\n"
    "snap id=11 source=/dev/snapA\n"
    "snap id=12 source=/dev/snapB\n"
    "map volume=1 snap=11 metadata=0\n"
    "map volume=2 snap=12 metadata=5\n"
    "metadata id=5 type=2 dbopmode=0\n";

// The configuration line of a mounted volume of 64 MiB.
inline std::string ConfigLine(const std::string& volume, const std::string& device) {
  return "true|" + volume + "|" + device + "|ext4|rw|4194304|131072|4096|2|512|512|512|0|1";
}

// An entry the database agent wrote into snapshot job 55's index.
inline void PutAgentEntry(const std::string& path, int64_t afile, const std::string& view = "",
                          const std::string& guid = "", bool mountPoint = false) {
  platform::AgentIndexEntry entry;
  entry.cellId = 2;
  entry.appId = 7;
  entry.jobId = 55;
  entry.path = path;
  entry.view = view;
  entry.archFileId = afile;
  entry.componentGuid = guid;
  entry.archGroupId = 3;
  entry.mountPoint = mountPoint;
  ASSERT_TRUE(platform::PutAgentIndexEntry(entry));
}

// "OraVolumeType.kzf" as the snapshot writes it: one serialised
// (volume, type) message a line.
inline std::string VolumeTypeLines(const std::vector<std::pair<std::string, std::string>>& volumes) {
  using VolumeType = Uxa::OraVolumeDataType;
  std::string lines;
  for (const auto& [volume, type] : volumes) {
    VolumeType message;
    message.setstring(VolumeType::kVolume.number, VolumeType::kVolume.tag, volume, VolumeType::kTagId,
                      VolumeType::kVolume.check);
    message.setstring(VolumeType::kType.number, VolumeType::kType.tag, type, VolumeType::kTagId,
                      VolumeType::kType.check);
    std::string line;
    message.serialize(line, false);
    lines += line + "\n";
  }
  return lines;
}

class PseudoSnapTest : public ::testing::Test {
 public:
  void SetUp() override {
    platform::AgentConfigBackend& config = platform::AgentConfig::Current();
    platform::ClientRecord client = *blbsim::FindClient(2);
    client.osId = 49;
    ASSERT_TRUE(config.PutClient(client));
    platform::SubclientRecord subclient;
    subclient.cellId = 2;
    subclient.appId = 7;
    subclient.clientId = 2;
    subclient.appType = 5;
    subclient.copyId = 3;
    subclient.groupId = 4;
    subclient.blockLevelFlags = platform::SubclientRecord::kBlockLevel;
    ASSERT_TRUE(config.PutSubclient(subclient));
    sc_ = blbsim::SubclientJobResultsDir(2, 7).value_or("");
    ASSERT_TRUE(platform::MakeDirectories(sc_));
    ASSERT_TRUE(blbsim::AddJob(Job(101, "tok")));
    ASSERT_TRUE(blbsim::AddJob(Job(55, "")));
    for (uint64_t id : {501, 502}) {
      platform::ArchiveFileRecord file;
      file.archFileId = id;
      file.jobId = 55;
      file.appId = 7;
      file.cellId = 2;
      file.archFileType = 6;
      ASSERT_TRUE(platform::ArchiveManager::Current().Put(file));
    }
    std::string why;
    ASSERT_TRUE(blbsim::AddSnapRecord(kSnapRecord55, why)) << why;
    WriteConfig({ConfigLine("/mnt/b", "/dev/sdc1"), ConfigLine("/mnt/a", "/dev/sdb1")});
  }

  static platform::JobRecord Job(uint64_t id, const std::string& token) {
    platform::JobRecord job;
    job.jobId = id;
    job.cellId = 2;
    job.appId = 7;
    job.level = 2;
    job.token = token;
    return job;
  }

  void WriteConfig(const std::vector<std::string>& lines) {
    BlockDeviceConfigReaderWriter writer;
    ASSERT_FALSE(writer.InitWrite(sc_ + "/BlockDeviceConfig.kzf", false, false).IsError());
    for (const std::string& line : lines) ASSERT_FALSE(writer.WriteNextBackupDevice(BackupDeviceInfo(line)).IsError());
    ASSERT_FALSE(writer.Close().IsError());
  }

  void SetOsId(int osId) {
    platform::ClientRecord client = *blbsim::FindClient(2);
    client.osId = osId;
    ASSERT_TRUE(platform::AgentConfig::Current().PutClient(client));
  }

  // The usual Initialize of the tests: job 101 converting snapshot job 55.
  CQiError Initialize(CPseudoSnapArchiveHandlerPrivate& handler, uint32_t appType = 5, uint64_t snapJobId = 55,
                      KZBkpLevel level = KZ_BKP_LEVEL_INCREMENTAL) {
    return handler.Initialize(2, 7, appType, level, 101, snapJobId, 0, 0, 2, sc_, "ss1", "tok", &ctrl_, true, false);
  }

  std::string Path(const std::string& name) const { return sc_ + "/" + name; }

  testing_support::ScopedStateDir state_;
  testing_support::CapturingLog log_;
  KZJobCtrlClient ctrl_{"localclient"};
  std::string sc_;
};

}  // namespace pseudosnap_test
