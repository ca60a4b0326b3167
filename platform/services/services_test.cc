#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/config/agent_config.h"
#include "platform/config/application_list.h"
#include "platform/config/kz_client.h"
#include "platform/harness/application_harness.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/services_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/harness/snap_harness.h"
#include "platform/jobs/bkp_job_client.h"
#include "platform/services/archive_manager.h"
#include "platform/services/host_name.h"
#include "platform/services/subclient.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/state_db.h"
#include "support/state_db_read_failure.h"
#include "support/test_platform.h"

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedStateDir;
using testing_support::WriteFile;

TEST(DemangleHostName, InvertsTheMangledNamesAndRefusesUnusableHosts) {
  ScopedStateDir state;
  std::string client, host;
  int port = -1, flags = -1;
  ASSERT_EQ(DemangleHostName(platform::MangleHostName("proxy9", "proxy9.example", 8400, 3), client, host, port, flags),
            0);
  EXPECT_EQ(client, "proxy9");
  EXPECT_EQ(host, "proxy9.example");
  EXPECT_EQ(port, 8400);
  EXPECT_EQ(flags, 3);
  ASSERT_EQ(DemangleHostName("bare.example", client, host, port, flags), 0);
  EXPECT_EQ(client, "bare.example");
  EXPECT_EQ(host, "bare.example");
  EXPECT_EQ(port, 0);
  for (const char* bad : {"", "a*b", "c*h*x*0", "c*../up*0*0", "c*a/b*0*0", "c**0*0"}) {
    EXPECT_EQ(DemangleHostName(bad, client, host, port, flags), -1) << bad;
    EXPECT_TRUE(host.empty()) << bad;
  }
  platform::FaultTable::Set("DemangleHostName", 5);
  EXPECT_EQ(DemangleHostName("bare.example", client, host, port, flags), -1);
}

TEST(Subclient, AnswersProxyUseSourceAndClientFromTheConfiguration) {
  ScopedStateDir state;
  EXPECT_EQ(ApplicationId(2, 5).getSubclient(nullptr), nullptr);
  EXPECT_EQ(ApplicationId(2, 5).getClient(nullptr), nullptr);
  platform::SubclientRecord record;
  record.cellId = 2;
  record.appId = 5;
  record.clientId = 2;
  ASSERT_TRUE(blbsim::AddSubclient(record));
  ApplicationId application(2, 5);
  Subclient* subclient = application.getSubclient(nullptr);
  ASSERT_NE(subclient, nullptr);
  uint64_t proxy = 77;
  bool useSource = true;
  EXPECT_EQ(subclient->getProxyClientId(proxy, nullptr), 0);
  EXPECT_EQ(proxy, 0u);
  ASSERT_TRUE(blbsim::SetProxy(2, 5, 9, true));
  EXPECT_EQ(subclient->getProxyClientId(proxy, nullptr), 0);
  EXPECT_EQ(proxy, 9u);
  EXPECT_EQ(subclient->getUseSource(useSource, nullptr), 0);
  EXPECT_TRUE(useSource);
  EXPECT_FALSE(blbsim::SetProxy(2, 6, 9, true));
  uint64_t clientId = 0;
  KZClient* client = application.getClient(nullptr);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->getClientId(clientId), 0);
  EXPECT_EQ(clientId, 2u);
  // A subclient whose client the configuration does not know has none.
  record.appId = 6;
  record.clientId = 77;
  ASSERT_TRUE(blbsim::AddSubclient(record));
  EXPECT_EQ(ApplicationId(2, 6).getClient(nullptr), nullptr);

  platform::FaultTable::Set("Subclient::getUseSource", 13);
  EXPECT_EQ(subclient->getUseSource(useSource, nullptr), 13);
  platform::FaultTable::Set("ApplicationId::getSubclient", 1);
  EXPECT_EQ(ApplicationId(2, 5).getSubclient(nullptr), nullptr);
  platform::FaultTable::Set("ApplicationId::getClient", 1);
  EXPECT_EQ(ApplicationId(2, 5).getClient(nullptr), nullptr);
}

namespace {

_KZS_FILE_COPY_INFO CopyInfo(const std::string& folder, const std::string& name, const std::string& destDir) {
  _KZS_FILE_COPY_INFO info;
  std::strncpy(info.strFilePath, folder.c_str(), sizeof info.strFilePath - 1);
  info.nRequestType = 300;
  std::strncpy(info.request.cFileName, name.c_str(), sizeof info.request.cFileName - 1);
  std::strncpy(info.request.destDir, destDir.c_str(), sizeof info.request.destDir - 1);
  info.request.bCreateDestDir = 1;
  info.request.bOverwrite = 1;
  return info;
}

}  // namespace

TEST(KzCopyFile, CopiesIntoTheHostFolderAndRecordsEachTransfer) {
  ScopedStateDir state;
  WriteFile(state.Sub("src/a.kzf"), "alpha");
  WriteFile(state.Sub("src/b.bmp"), "beta");
  std::vector<_KZS_FILE_COPY_INFO> files = {CopyInfo(state.Sub("src"), "a.kzf", "/P/2/5"),
                                            CopyInfo(state.Sub("src"), "b.bmp", "/P/2/5/")};
  KzCopyFile notConnected;
  CQiError error = notConnected.CopyFiles(files, false, nullptr, "", "");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 107));

  KzCopyFile copier;
  ASSERT_FALSE(copier.GetConnection(platform::MangleHostName("proxy9", "proxy9.example"), nullptr, false).IsError());
  ASSERT_FALSE(copier.CopyFiles(files, false, nullptr, "", "").IsError());
  const std::string root = blbsim::HostFolder("proxy9.example");
  EXPECT_EQ(ReadFile(root + "/P/2/5/a.kzf"), "alpha");
  EXPECT_EQ(ReadFile(root + "/P/2/5/b.bmp"), "beta");
  std::vector<platform::TransferRecord> transfers = blbsim::Transfers();
  ASSERT_EQ(transfers.size(), 2u);
  EXPECT_EQ(transfers[0].host, "proxy9.example");
  EXPECT_EQ(transfers[0].destination, "/P/2/5/a.kzf");
  EXPECT_EQ(transfers[1].bytes, 4);

  // A destination climbing out of the host, an unterminated text, a missing
  // source: each refused, and nothing more recorded.
  std::vector<_KZS_FILE_COPY_INFO> escape = {CopyInfo(state.Sub("src"), "a.kzf", "/P/../../x")};
  EXPECT_TRUE(FXErrorUtil::IsErrNo(copier.CopyFiles(escape, false, nullptr, "", ""), 22));
  std::vector<_KZS_FILE_COPY_INFO> full = {CopyInfo(state.Sub("src"), "a.kzf", "/P")};
  std::memset(full[0].request.destDir, 'x', sizeof full[0].request.destDir);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(copier.CopyFiles(full, false, nullptr, "", ""), 22));
  std::vector<_KZS_FILE_COPY_INFO> missing = {CopyInfo(state.Sub("src"), "none.kzf", "/P")};
  EXPECT_TRUE(copier.CopyFiles(missing, false, nullptr, "", "").IsError());
  EXPECT_EQ(blbsim::Transfers().size(), 2u);

  platform::FaultTable::Set("KzCopyFile::GetConnection", 111);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(copier.GetConnection("proxy9.example", nullptr, false), 111));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(copier.CopyFiles(files, false, nullptr, "", ""), 107));
}

TEST(ArMgrClientAPI, ListsAJobsArchiveFilesAndFindsTheLastOfACycle) {
  ScopedStateDir state;
  ASSERT_TRUE(blbsim::AddArchiveFile(11, 12, 5, 2, 4, 1, 1000, "ma1"));
  ASSERT_TRUE(blbsim::AddArchiveFile(10, 12, 5, 2, 1, 1, 900, "ma1"));
  ASSERT_TRUE(blbsim::AddArchiveFile(13, 14, 5, 2, 4, 1, 1500, "ma1"));
  ASSERT_TRUE(blbsim::AddArchiveFile(14, 15, 5, 2, 4, 2, 1600, "ma1"));

  ArMgrClientAPI api;
  GetArchFileInfoForSnapJob_ArgsCC_t args;
  args.jobId = 12;
  args.appOrClientId = 5;
  args.cellId = 2;
  args.snapJobId = 12;
  GetArchFileInfoForSnapJob_Ret_t list;
  ASSERT_EQ(api.getArchFileListForSnapshotJob(&args, &list), 0);
  EXPECT_EQ(list.storageHostName, "ma1");
  ASSERT_EQ(list.archFiles.size(), 2u);
  EXPECT_EQ(list.archFiles[0].archFileId, 10u);
  EXPECT_EQ(list.archFiles[1].archFileType, 4);
  // Some callers pass a client id in the second field: the job and the cell
  // alone select, so they get the same files.
  GetArchFileInfoForSnapJob_ArgsCC_t byClient = args;
  byClient.jobId = 30;
  byClient.appOrClientId = 2;
  GetArchFileInfoForSnapJob_Ret_t same;
  ASSERT_EQ(api.getArchFileListForSnapshotJob(&byClient, &same), 0);
  ASSERT_EQ(same.archFiles.size(), 2u);
  EXPECT_EQ(same.archFiles[0].archFileId, 10u);
  args.snapJobId = 99;
  ASSERT_EQ(api.getArchFileListForSnapshotJob(&args, &list), 0);
  EXPECT_TRUE(list.archFiles.empty());
  args.snapJobId = 12;
  args.cellId = 3;  // another cell's job of that number
  ASSERT_EQ(api.getArchFileListForSnapshotJob(&args, &list), 0);
  EXPECT_TRUE(list.archFiles.empty());
  // Every request is logged as it was asked.
  const std::vector<platform::ArchiveRequestRecord> requests = blbsim::ArchiveRequests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[1].jobId, 30u);
  EXPECT_EQ(requests[1].appOrClientId, 2u);
  EXPECT_EQ(requests[1].cellId, 2u);
  EXPECT_EQ(requests[1].snapJobId, 12u);
  EXPECT_EQ(requests[3].cellId, 3u);

  GetLastAfileOfCycleArgs_t last;
  last.archFileId = 11;
  last.cycleNumber = 1;
  last.archFileType = 4;
  GetLastAfileOfCycleRet_t ret;
  ASSERT_EQ(api.getLastAfileOfCycle(&last, &ret), 0);
  EXPECT_EQ(ret.archFileId, 13u);
  EXPECT_EQ(ret.createTime, 1500u);
  last.archFileId = 404;
  EXPECT_EQ(api.getLastAfileOfCycle(&last, &ret), 1168);
  EXPECT_EQ(api.getLastAfileOfCycle(nullptr, &ret), 87);
  platform::FaultTable::Set("ArMgrClientAPI::getArchFileListForSnapshotJob", 1627);
  EXPECT_EQ(api.getArchFileListForSnapshotJob(&args, &list), 1627);
}

// Ids an older state recorded past what the snapshot records hold (one of
// them stored negative) are passed over; once the ids up to the largest
// are taken, none is left.
TEST(ArMgrClientAPI, NewArchiveFileIdsStayWithinWhatTheSnapshotRecordsHold) {
  ScopedStateDir state;
  platform::ArchiveManagerBackend& archives = platform::ArchiveManager::Current();
  uint64_t id = 0;
  ASSERT_TRUE(archives.NextId(id));
  EXPECT_EQ(id, 1u);
  for (uint64_t stored : {uint64_t{5}, uint64_t{68719476752}, (uint64_t{1} << 63) + 16})
    ASSERT_TRUE(blbsim::AddArchiveFile(stored, 12, 5, 2, 1, 1, 1000, "ma1"));
  ASSERT_TRUE(archives.NextId(id));
  EXPECT_EQ(id, 6u);
  platform::ArchiveFileRecord next;
  next.jobId = 13;
  ASSERT_TRUE(archives.PutUnderNextId(next));
  EXPECT_EQ(next.archFileId, 6u);
  ASSERT_TRUE(blbsim::AddArchiveFile(platform::kLargestArchiveFileId, 13, 5, 2, 1, 1, 1000, "ma1"));
  EXPECT_EQ(archives.NextId(id).Code(), ERANGE);
  EXPECT_FALSE(archives.PutUnderNextId(next));
  EXPECT_EQ(blbsim::ArchiveFiles().size(), 5u);
}

// A read of the highest id that the disk fails ends the registration:
// SQLite rolls its transaction back, and nothing runs after it on its own.
// Job 1001's archive file 1 stays its own; a taken id is refused, never
// replaced.
TEST(ArMgrClientAPI, ARegistrationWhoseReadFailedFailsAndReplacesNoArchiveFile) {
  ScopedStateDir state;
  ASSERT_TRUE(blbsim::AddArchiveFile(1, 1001, 5, 2, 1, 1, 1000, "ma1"));
  platform::ArchiveManagerBackend& archives = platform::ArchiveManager::Current();
  platform::ArchiveFileRecord file;
  file.jobId = 1003;
  {
    testing_support::ScopedStateDbReadFailure disk;
    disk.FailFirstReadOf("MAX(afile_id)");
    EXPECT_FALSE(archives.PutUnderNextId(file));
    EXPECT_TRUE(disk.Struck());
  }
  const auto jobsOf = [] {
    std::vector<uint64_t> jobs;
    for (const platform::ArchiveFileRecord& stored : blbsim::ArchiveFiles()) jobs.push_back(stored.jobId);
    return jobs;
  };
  EXPECT_EQ(jobsOf(), std::vector<uint64_t>{1001});

  platform::ArchiveFileRecord taken = file;
  taken.archFileId = 1;
  EXPECT_EQ(archives.Add(taken).Code(), EEXIST);
  ASSERT_TRUE(archives.PutUnderNextId(file));
  EXPECT_EQ(file.archFileId, 2u);
  EXPECT_EQ(jobsOf(), (std::vector<uint64_t>{1001, 1003}));
}

// A read of the highest id that fails with no rollback (interrupted) ends
// the registration too: SQLite would go on with the transaction, and id 1
// is free, so a failed read taken for an empty store would register the
// file below file 5, under an id that reads as older.
TEST(ArMgrClientAPI, ARegistrationWhoseReadFailedWithoutARollbackTakesNoIdBelowTheHighest) {
  ScopedStateDir state;
  ASSERT_TRUE(blbsim::AddArchiveFile(5, 1001, 5, 2, 1, 1, 1000, "ma1"));
  platform::ArchiveManagerBackend& archives = platform::ArchiveManager::Current();
  platform::ArchiveFileRecord file;
  file.jobId = 1003;
  {
    testing_support::ScopedStateDbReadFailure disk;
    disk.InterruptReadOf("MAX(afile_id)");
    EXPECT_FALSE(archives.PutUnderNextId(file));
    EXPECT_TRUE(disk.Struck());
  }
  ASSERT_EQ(blbsim::ArchiveFiles().size(), 1u);
  ASSERT_TRUE(archives.PutUnderNextId(file));
  EXPECT_EQ(file.archFileId, 6u);
}

// What a service or the job command adds as new (a job, a subclient, a
// backup set it numbers) is refused under a key another record holds: a
// read that missed the record never leads to it being replaced.
TEST(StateDbRecords, ANewRecordUnderATakenKeyIsRefusedAndTheRecordKept) {
  ScopedStateDir state;
  platform::JobRecord job;
  job.jobId = 1001;
  job.level = 1;
  job.conversions = 1;
  ASSERT_TRUE(platform::JobService::Current().PutJob(job));
  platform::SubclientRecord subclient;
  subclient.cellId = 2;
  subclient.appId = 70;
  subclient.proxyClientId = 9;
  ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
  ASSERT_TRUE(platform::ApplicationList::Current().PutBackupSet({1, 2, 29, 0, "kept"}));

  job.level = 2;
  job.conversions = 0;
  EXPECT_EQ(platform::JobService::Current().AddJob(job).Code(), EEXIST);
  EXPECT_EQ(blbsim::FindJob(1001)->conversions, 1u);
  subclient.proxyClientId = 0;
  EXPECT_EQ(platform::AgentConfig::Current().AddSubclient(subclient).Code(), EEXIST);
  EXPECT_EQ(blbsim::FindSubclient(2, 70)->proxyClientId, 9u);
  EXPECT_EQ(platform::ApplicationList::Current().AddBackupSet({1, 3, 29, 0, "new"}).Code(), EEXIST);
  EXPECT_EQ(blbsim::BackupSets().at(0).name, "kept");
}

// Snapshot jobs 40 and 50 of application 7, 41 the pseudo-snap job of 40
// (its record a clone of 40's), 60 the one asking: only 50 was never
// turned into a backup.
TEST(ArMgrClientAPI, UnMaterializedSnapsAreSnapshotJobsThatNoCloneNames) {
  ScopedStateDir state;
  for (uint64_t job : {40, 41, 50, 60}) {
    platform::JobRecord record;
    record.jobId = job;
    record.cellId = 2;
    record.appId = 7;
    ASSERT_TRUE(blbsim::AddJob(record));
  }
  std::string why;
  for (const char* text : {"job=40 snapjob=40 cell=2 engine=1 copy=0 synthfull=0\n",
                           "job=41 snapjob=40 cell=2 engine=1 copy=0 synthfull=0\n",
                           "job=50 snapjob=50 cell=2 engine=1 copy=0 synthfull=0\n"})
    ASSERT_TRUE(blbsim::AddSnapRecord(text, why)) << why;
  ArMgrClientAPI api;
  GetUnMaterializedSnapsArgs_t args;
  args.appId = 7;
  args.currentSnapJobId = 60;
  args.cellId = 2;
  GetUnMaterializedSnapsRet_t ret;
  ASSERT_EQ(api.getUnMaterializedSnaps(&args, &ret), 0);
  ASSERT_EQ(ret.snaps.size(), 1u);
  EXPECT_EQ(ret.snaps[0].snapJobId, 50u);
  EXPECT_EQ(ret.snaps[0].cellId, 2u);
}

TEST(GetIndexFiles, CopiesMatchingFilesStoredByTheReferenceTime) {
  ScopedStateDir state;
  auto add = [](const std::string& name, uint64_t stored, uint64_t job = 12) {
    ASSERT_TRUE(blbsim::AddIndexFile("ma1", 2, 5, job, name, stored, "contents of " + name));
  };
  add("12_BlockDeviceConfig.kzf", 100);
  add("abc.bmp", 100);
  add("late.bmp", 300);
  add("notes.txt", 100);
  add("other.bmp", 100, 13);
  EXPECT_FALSE(blbsim::AddIndexFile("ma1", 0, 0, 0, "../escape", 0, "x"));

  const std::string dest = state.Sub("jobresults");
  std::list<std::string> patterns = {"*.bmp", "*BlockDeviceConfig.kzf"};
  ASSERT_EQ(GetIndexFiles("ma1", 2, 5, 200, 12, 0, 1, dest, &patterns, nullptr), 0);
  EXPECT_EQ(ReadFile(dest + "/12_BlockDeviceConfig.kzf"), "contents of 12_BlockDeviceConfig.kzf");
  EXPECT_TRUE(FileExists(dest + "/abc.bmp"));
  EXPECT_FALSE(FileExists(dest + "/late.bmp"));
  EXPECT_FALSE(FileExists(dest + "/notes.txt"));
  EXPECT_FALSE(FileExists(dest + "/other.bmp"));

  std::list<std::string> none;
  EXPECT_EQ(GetIndexFiles("ma1", 2, 5, 200, 12, 0, 1, dest, &none, nullptr), -1);
  EXPECT_EQ(GetIndexFiles("", 2, 5, 200, 12, 0, 1, dest, &patterns, nullptr), -1);
  EXPECT_EQ(GetIndexFiles("ma1", 2, 5, 0, 12, 0, 1, dest, &patterns, nullptr), -1);
  EXPECT_EQ(GetIndexFiles("ma1", 2, 5, 200, 12, 0, 1, state.Sub("no/such/dir"), &patterns, nullptr), -2);
  platform::FaultTable::Set("GetIndexFiles", -2);
  EXPECT_EQ(GetIndexFiles("ma1", 2, 5, 200, 12, 0, 1, dest, &patterns, nullptr), -2);
  platform::FaultTable::ClearAll();

  // A row edited into the table by hand must not lead out of the folders.
  platform::IndexFileRecord bad;
  bad.host = "ma1";
  bad.cellId = 2;
  bad.appId = 5;
  bad.jobId = 12;
  bad.name = "../escape.bmp";
  WriteFile(platform::IndexStore::Current().PathOf(bad), "escaped");
  platform::SqlStatement insert(platform::StateDb::Current(),
                                "INSERT INTO index_files (host, cell_id, app_id, job_id, name, stored_time) "
                                "VALUES ('ma1', 2, 5, 12, '../escape.bmp', 100);");
  ASSERT_TRUE(insert.Run());
  EXPECT_EQ(GetIndexFiles("ma1", 2, 5, 200, 12, 0, 1, dest, &patterns, nullptr), -2);
  EXPECT_FALSE(FileExists(dest + "/../escape.bmp"));
}
