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
