// The job-info store: staging, committing and the catalogue it packs; the
// archive manager's records and the object keys the pseudo-snap job reads.
#include "platform/jobinfo/job_info_store.h"

#include <gtest/gtest.h>

#include "platform/config/agent_config.h"
#include "platform/guid/guid_factory.h"
#include "platform/harness/job_info_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/jobinfo/job_info_metadata.h"
#include "platform/jobinfo/job_info_reader.h"
#include "platform/services/archive_manager.h"
#include "platform/sim/fs_util.h"
#include "support/state_db_read_failure.h"
#include "support/test_platform.h"

namespace {

TEST(JobInfoStore, StagesCopiesAndCommitsThemWithTheSettings) {
  testing_support::ScopedStateDir state;
  platform::SubclientRecord subclient;
  subclient.cellId = 2;
  subclient.appId = 7;
  subclient.clientId = 2;
  ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
  const std::string sc = blbsim::SubclientJobResultsDir(2, 7).value_or("");
  ASSERT_TRUE(platform::MakeDirectories(sc));
  testing_support::WriteFile(sc + "/BlockDeviceConfig.kzf", "config");

  CJobInfoMetadataStoreFactory factory("ss1", "tok", 55, 2, 7);
  EXPECT_EQ(factory.GetInstance(3), nullptr);
  CJobInfoMetadataStorePtr store = factory.GetInstance(2);
  ASSERT_NE(store, nullptr);
  CQiError error = store->AddFileToContainer("C", sc + "/missing");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 2)) << error.AsString();
  testing_support::WriteFile(sc + "/a.bin", "first");
  ASSERT_FALSE(store->AddFileToContainer("C", sc + "/a.bin").IsError());
  testing_support::WriteFile(sc + "/a.bin", "second");  // the staged copy stays
  testing_support::WriteFile(sc + "/b/a.bin", "other");
  ASSERT_FALSE(store->AddFileToContainer("C", sc + "/b/a.bin").IsError());
  store->SetFlags(32);
  ASSERT_FALSE(store->Upload("ss1", "tok", 7).IsError());  // no job set: the factory's
  EXPECT_TRUE(store->IsMetadataUploadedToRFC());

  std::string contents;
  ASSERT_EQ(platform::JobInfoMetadata::Current().ReadFile(55, "C", "a.bin", contents), 0);
  EXPECT_EQ(contents, "other");
  ASSERT_EQ(
      platform::JobInfoMetadata::Current().ReadFile(55, "BlockLevelCatalog", "BlockDeviceConfig.kzf.7z", contents), 0);
  EXPECT_EQ(contents.substr(0, 2), "7z");
  EXPECT_EQ(blbsim::FindJobInfoJob(55)->storeFlags, 32u);

  CJobInfoMetadataReaderFactory readers("ss1", 101, 55, 2, 7, 0, 0);
  CJobInfoMetadataReaderPtr reader = readers.GetInstance(1);
  ASSERT_NE(reader, nullptr);
  std::list<std::string> names;
  ASSERT_FALSE(reader->GetContainerFileList("BlockLevelCatalog", names).IsError());
  EXPECT_EQ(names, std::list<std::string>{"BlockDeviceConfig.kzf.7z"});
}

// The job's record is read and put back with the upload's settings: a read
// of it that failed, with any fault SQLite may meet, fails the upload and
// leaves the record as it was, never rebuilt without its start time, which a
// later pseudo-snap job looks up.
TEST(JobInfoStore, AnUploadWhoseReadOfTheJobFailedKeepsTheJobsRecord) {
  testing_support::ScopedStateDir state;
  platform::JobInfoJobRecord stored;
  stored.jobId = 55;
  stored.startTime = 1700000000;
  stored.storeFlags = 4;
  const auto record = [] {
    const std::optional<platform::JobInfoJobRecord> job = blbsim::FindJobInfoJob(55);
    return job ? std::make_tuple(job->startTime, job->storeFlags, job->afileId, job->uploaded)
               : std::make_tuple(uint64_t{0}, 0u, uint64_t{0}, false);
  };
  const std::string catalogue = state.Sub("staged/") + CJobInfoMetadataStore::kCatalogArchive;
  testing_support::WriteFile(catalogue, "7z");
  for (testing_support::StateDbReadFault fault :
       {testing_support::StateDbReadFault::kIoError, testing_support::StateDbReadFault::kOutOfMemory,
        testing_support::StateDbReadFault::kCorruptPage, testing_support::StateDbReadFault::kDenied}) {
    SCOPED_TRACE(testing_support::Describe(fault));
    ASSERT_TRUE(blbsim::SetJobInfoJob(stored));
    CJobInfoMetadataStorePtr store = CJobInfoMetadataStoreFactory("ss1", "tok", 55, 2, 7).GetInstance(2);
    ASSERT_NE(store, nullptr);
    ASSERT_FALSE(store->AddFileToContainer(CJobInfoMetadataStore::kCatalogContainer, catalogue).IsError());
    store->SetFlags(32);
    CQiError error;
    {
      testing_support::ScopedStateDbReadFailure disk;
      disk.FailReadOf("FROM job_info_jobs WHERE job_id", 1, fault);
      error = store->Upload("ss1", "tok", 7);
      EXPECT_TRUE(disk.Struck());
    }
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1627)) << error.AsString();
    EXPECT_EQ(record(), std::make_tuple(uint64_t{1700000000}, 4u, uint64_t{0}, false));
    ASSERT_FALSE(store->Upload("ss1", "tok", 7).IsError());
    EXPECT_EQ(record(), std::make_tuple(uint64_t{1700000000}, 32u, uint64_t{7}, true));
  }
}

TEST(ArchiveManagerRecords, AfileInfoCopyPrecedenceAndWindowsKeys) {
  testing_support::ScopedStateDir state;
  platform::ArchiveFileRecord file;
  file.archFileId = 503;
  file.jobId = 101;
  file.cellId = 2;
  file.groupId = 4;
  file.copyId = 3;
  file.createTime = 1500;
  file.flags = 0x10;
  ASSERT_TRUE(platform::ArchiveManager::Current().Put(file));
  ArMgrClientAPI archiveManager;
  GetAfileInfoArgsCC_t args;
  args.archFileId = 503;
  args.cellId = 2;
  GetAfileInfoRetCC_t info;
  ASSERT_EQ(archiveManager.getAfileInfo(&args, &info), 0);
  EXPECT_EQ(info.archGroupId, 4u);
  EXPECT_EQ(info.createTime, 1500u);
  EXPECT_EQ(info.flags, 0x10u);
  args.archFileId = 504;
  EXPECT_EQ(archiveManager.getAfileInfo(&args, &info), 1168);
  uint32_t precedence = 0;
  EXPECT_EQ(archiveManager.convertCopyIdToCopyPrecedence(4, 3, precedence), 0);
  EXPECT_EQ(precedence, 3u);
  EXPECT_EQ(archiveManager.convertCopyIdToCopyPrecedence(4, 9, precedence), 1168);

  // A Windows destination's paths do not tell case apart.
  EXPECT_NE(GetObjectGuid("/Mnt/A", 1, '/'), GetObjectGuid("/Mnt/A", 0, '/'));
  EXPECT_EQ(GetObjectGuid("/Mnt/A", 1, '/'), GetObjectGuid("/mnt/a", 1, '/'));
}

}  // namespace
