#include "devconfig/remote_index_handler.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "blocklevel/blocklevel.h"
#include "devconfig/devconfig_test_fixtures.h"
#include "platform/harness/services_harness.h"
#include "platform/services/archive_manager.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

using devconfig_test::Job;
using devconfig_test::kHeader;
using testing_support::CapturingLog;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedStateDir;

namespace {

std::string ConfigOf(const std::string& volume, uint64_t totalBlocks) {
  BackupDeviceInfo device(true, volume, "/dev/x", "ext4", "rw", 4194304, totalBlocks, 4096, 32);
  return std::string(kHeader) + "#METADATA_ENABLED#\n" + device.Serialize() + "\n";
}

// A file that job 12 of subclient 2/5 stored in the index of "ma1".
void Store(const std::string& name, const std::string& contents, uint64_t stored = 100) {
  ASSERT_TRUE(blbsim::AddIndexFile("ma1", 2, 5, 12, name, stored, contents));
}

HandleRemoteIndexArgs Args(const std::string& directory, uint64_t referenceTime) {
  HandleRemoteIndexArgs args;
  args.jobResultsDir = directory;
  args.referenceTime = referenceTime;
  args.jobId = 12;
  args.appId = 5;
  args.cellId = 2;
  args.stowhost = "ma1";
  args.archFileType = 4;
  return args;
}

// An archive manager that lists one metadata archive file and then either
// answers without a time or throws.
class OddArchiveManager : public platform::ArchiveManagerBackend {
 public:
  platform::StateDbResult Put(const platform::ArchiveFileRecord&) override { return {}; }
  platform::StateDbResult All(std::vector<platform::ArchiveFileRecord>& records) override {
    records.clear();
    return {};
  }
  platform::StateDbResult ListForSnapshotJob(const GetArchFileInfoForSnapJob_ArgsCC_t&,
                                             GetArchFileInfoForSnapJob_Ret_t& ret) override {
    if (throwStd) throw std::runtime_error("archive manager gone");
    if (throwOther) throw 42;
    ArchFileInfo_t afile;
    afile.archFileId = 32;
    afile.archFileType = 4;
    ret.archFiles = {afile};
    ret.storageHostName = "ma1";
    return {};
  }
  platform::StateDbResult Requests(std::vector<platform::ArchiveRequestRecord>& requests) override {
    requests.clear();
    return {};
  }
  int LastOfCycle(const GetLastAfileOfCycleArgs_t&, GetLastAfileOfCycleRet_t&) override { return 0; }
  bool throwStd = false;
  bool throwOther = false;
};

}  // namespace

TEST(HandleRemoteIndex, KeepsTheHighestJobsConfigurationAndAnswersFromIt) {
  ScopedStateDir state;
  const std::string dir = state.Sub("jobresults");
  Store("7_BlockDeviceConfig.kzf", ConfigOf("/a", 1000));
  Store("12_BlockDeviceConfig.kzf", ConfigOf("/a", 2000));
  Store("12_abc.bmp", "bitmap");
  std::unique_ptr<CBlkLvlRemoteIndexHandler> handler(HandleRemoteIndex(Args(dir, 500)));
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(ReadFile(dir + "/BlockDeviceConfig.kzf"), ConfigOf("/a", 2000));
  EXPECT_FALSE(FileExists(dir + "/12_BlockDeviceConfig.kzf"));
  EXPECT_TRUE(FileExists(dir + "/7_BlockDeviceConfig.kzf"));
  EXPECT_TRUE(FileExists(dir + "/12_abc.bmp"));
  BackupDeviceInfo device;
  ASSERT_FALSE(handler->GetBackupDeviceInfoForDevice("/a", device).IsError());
  EXPECT_EQ(device.GetTotalBlocks(), 2000u);
  EXPECT_EQ(handler->GetBackupDeviceInfoForDevice("/b", device).GetMessage(), "Device config not found for '/b'");
  bool end = false;
  ASSERT_FALSE(handler->GetNextBackupDevice(device, end).IsError());
  EXPECT_FALSE(end);
  ASSERT_FALSE(handler->GetNextBackupDevice(device, end).IsError());
  EXPECT_TRUE(end);
}

TEST(HandleRemoteIndex, FailsWithoutAConfigurationOrWhenItCannotBeMovedIntoPlace) {
  ScopedStateDir state;
  CapturingLog log;
  const std::string dir = state.Sub("jobresults");
  Store("12_abc.bmp", "bitmap");
  Store("notanumber_BlockDeviceConfig.kzf", ConfigOf("/a", 1000));
  EXPECT_EQ(HandleRemoteIndex(Args(dir, 500)), nullptr);
  EXPECT_TRUE(log.Contains("No device config file found."));

  // A stale file of the plain name must not be read as this job's.
  testing_support::WriteFile(dir + "/BlockDeviceConfig.kzf", ConfigOf("/stale", 1));
  Store("12_BlockDeviceConfig.kzf", ConfigOf("/a", 2000));
  platform::FaultTable::Set("rename_utf", 13);
  log.Clear();
  EXPECT_EQ(HandleRemoteIndex(Args(dir, 500)), nullptr);
  EXPECT_TRUE(log.Contains("Failed to rename ["));
  platform::FaultTable::ClearAll();
  std::unique_ptr<CBlkLvlRemoteIndexHandler> handler(HandleRemoteIndex(Args(dir, 500)));
  ASSERT_NE(handler, nullptr);
  BackupDeviceInfo device;
  EXPECT_TRUE(handler->GetBackupDeviceInfoForDevice("/stale", device).IsError());
}

TEST(DownloadRemoteIndexFiles, TakesTheReferenceTimeFromTheCyclesLastArchiveFile) {
  ScopedStateDir state;
  const std::string dir = state.Sub("jobresults");
  TarvosJobInfo job = Job(dir);
  KzDeviceConfigHandler handler(job);

  CQiError none = handler.DownloadRemoteIndexFiles(4, {}, 0);
  EXPECT_EQ(FXErrorUtil::GetCode(none), -1);
  EXPECT_EQ(none.GetMessage(), "No afile results returned for JOBID[=12]");

  ASSERT_TRUE(blbsim::AddArchiveFile(31, 12, 5, 2, 1, 1, 900, "ma1"));
  CQiError noMetadata = handler.DownloadRemoteIndexFiles(4, {}, 0);
  EXPECT_EQ(noMetadata.GetMessage(), "Failed to find metadata archive file create time for JID [12]");

  // The metadata archive file of job 12 belongs to a cycle whose last
  // archive file (of job 13) was made at 1500: files stored by then count.
  ASSERT_TRUE(blbsim::AddArchiveFile(32, 12, 5, 2, 4, 1, 1000, "ma1"));
  ASSERT_TRUE(blbsim::AddArchiveFile(33, 13, 5, 2, 4, 1, 1500, "ma1"));
  Store("12_x.bmp", "x", 1400);
  Store("12_y.7z", "y", 1500);
  Store("12_late.bmp", "late", 1600);
  Store("12_notes.txt", "notes", 100);
  ASSERT_FALSE(handler.DownloadRemoteIndexFiles(4, {}, 0).IsError());
  EXPECT_TRUE(FileExists(dir + "/12_x.bmp"));
  EXPECT_TRUE(FileExists(dir + "/12_y.7z"));
  EXPECT_FALSE(FileExists(dir + "/12_late.bmp"));
  EXPECT_FALSE(FileExists(dir + "/12_notes.txt"));
  // Given patterns replace the defaults; a given time skips the archive manager.
  platform::FaultTable::Set("ArMgrClientAPI::getArchFileListForSnapshotJob", 1627);
  ASSERT_FALSE(handler.DownloadRemoteIndexFiles(4, {"*.txt"}, 2000).IsError());
  EXPECT_TRUE(FileExists(dir + "/12_notes.txt"));
  EXPECT_FALSE(FileExists(dir + "/12_late.bmp"));
  CQiError listFailed = handler.DownloadRemoteIndexFiles(4, {}, 0);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(listFailed, 1627));
  EXPECT_EQ(listFailed.GetMessage(), "Failed to get afile list for JOBID[=12]");
  platform::FaultTable::ClearAll();

  platform::FaultTable::Set("ArMgrClientAPI::getLastAfileOfCycle", 1168);
  EXPECT_EQ(handler.DownloadRemoteIndexFiles(4, {}, 0).GetMessage(), "Failed to get last afile for afile [32]");
  platform::FaultTable::Set("GetIndexFiles", -2);
  CQiError receive = handler.DownloadRemoteIndexFiles(4, {}, 2000);
  EXPECT_EQ(FXErrorUtil::GetCode(receive), -2);
  EXPECT_EQ(receive.GetMessage(), "Unable to receive collect files from QM.");
  platform::FaultTable::ClearAll();
  job.SetStowhost("not*a*valid*name*at all");
  KzDeviceConfigHandler badHost(job);
  EXPECT_EQ(badHost.DownloadRemoteIndexFiles(4, {}, 2000).GetMessage(), "Invalid argument for GetIndexFiles.");
}

TEST(HandleRemoteIndex, AnswersNullWhenAServiceSaysNothingOrThrows) {
  ScopedStateDir state;
  CapturingLog log;
  const std::string dir = state.Sub("jobresults");
  OddArchiveManager archiveManager;
  platform::ArchiveManager::Scope installed(archiveManager);
  // A reply that carries no create time leaves the reference time unknown.
  EXPECT_EQ(HandleRemoteIndex(Args(dir, 0)), nullptr);
  EXPECT_TRUE(log.Contains("Failed to find metadata archive file create time for JID [12]"));
  archiveManager.throwStd = true;
  EXPECT_EQ(HandleRemoteIndex(Args(dir, 0)), nullptr);
  archiveManager.throwStd = false;
  archiveManager.throwOther = true;
  EXPECT_EQ(HandleRemoteIndex(Args(dir, 0)), nullptr);
}
