// The job-info metadata's reading side over the state database, and the
// cumulative bitmaps the harness stores into a job's container.
#include "platform/jobinfo/job_info_reader.h"

#include <gtest/gtest.h>

#include "platform/compress/c7zip.h"
#include "platform/harness/job_info_harness.h"
#include "platform/sim/fault_table.h"
#include "support/run_command.h"
#include "support/test_platform.h"

namespace {

using testing_support::ReadFile;

CJobInfoMetadataReaderManager Manager(uint64_t snapJobId) {
  return CJobInfoMetadataReaderManager("maclient", 101, snapJobId, 2, 7, 1000, 0);
}

TEST(JobInfoMetadata, AManagerListsAndWritesTheFilesOfItsJobsContainers) {
  testing_support::ScopedStateDir state;
  ASSERT_TRUE(blbsim::PutJobInfoFile(55, "BlockLevelCumulativeBM", "b.bmp.7z", std::string("\0\x01\xFF", 3)));
  ASSERT_TRUE(blbsim::PutJobInfoFile(55, "BlockLevelCumulativeBM", "a.bmp.7z", "first"));
  ASSERT_TRUE(blbsim::PutJobInfoFile(55, "BlockLevelCumulativeBM", "a.bmp.7z", "replaced"));
  ASSERT_TRUE(blbsim::PutJobInfoFile(55, "BlockLevelCatalog", "c", "catalog"));
  ASSERT_TRUE(blbsim::PutJobInfoFile(56, "BlockLevelCumulativeBM", "other-job", "x"));
  EXPECT_FALSE(blbsim::PutJobInfoFile(55, "BlockLevelCumulativeBM", "", "x"));

  CJobInfoMetadataReaderManager manager = Manager(55);
  std::list<std::string> names = {"stale"};
  ASSERT_FALSE(manager.DownloadFiles("BlockLevelCumulativeBM", names, state.Sub("unused"), 0).IsError());
  EXPECT_EQ(names, (std::list<std::string>{"a.bmp.7z", "b.bmp.7z"}));
  EXPECT_FALSE(testing_support::FileExists(state.Sub("unused")));
  // A container the job does not have, or a job the service holds nothing of.
  ASSERT_FALSE(manager.DownloadFiles("OracleImageCopy", names, "", 0).IsError());
  EXPECT_TRUE(names.empty());
  ASSERT_FALSE(Manager(57).DownloadFiles("BlockLevelCumulativeBM", names, "", 0).IsError());
  EXPECT_TRUE(names.empty());

  CJobInfoMetadataReaderPtr reader = manager.GetActiveMetadataReader();
  ASSERT_NE(reader, nullptr);
  ASSERT_FALSE(reader->WriteFileToPath("BlockLevelCumulativeBM", "b.bmp.7z", state.Sub("b")).IsError());
  EXPECT_EQ(ReadFile(state.Sub("b")), std::string("\0\x01\xFF", 3));
  ASSERT_FALSE(reader->WriteFileToPath("BlockLevelCumulativeBM", "a.bmp.7z", state.Sub("b")).IsError());
  EXPECT_EQ(ReadFile(state.Sub("b")), "replaced");
  EXPECT_TRUE(FXErrorUtil::IsWin32(reader->WriteFileToPath("BlockLevelCatalog", "a.bmp.7z", state.Sub("c")), 1168));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(reader->WriteFileToPath("BlockLevelCatalog", "c", state.Sub("none/c")), 2));
  EXPECT_FALSE(testing_support::FileExists(state.Sub("c")));

  // The service's answers can be made to fail; a missing container is one
  // way (1168) the real service may answer.
  platform::FaultTable::Set("CJobInfoMetadataReaderManager::DownloadFiles", 1168, false, 1);
  EXPECT_TRUE(FXErrorUtil::IsWin32(manager.DownloadFiles("BlockLevelCumulativeBM", names, "", 0), 1168));
  platform::FaultTable::Set("CJobInfoMetadataReaderManager::GetActiveMetadataReader", 14, false, 1);
  EXPECT_EQ(manager.GetActiveMetadataReader(), nullptr);
  platform::FaultTable::Set("CJobInfoMetadataReader::WriteFileToPath", 5, false, 1);
  EXPECT_TRUE(FXErrorUtil::IsWin32(reader->WriteFileToPath("BlockLevelCatalog", "c", state.Sub("c")), 5));
}

TEST(JobInfoMetadata, StartTimeAndStorageTypeComeFromTheJobsRecord) {
  testing_support::ScopedStateDir state;
  EXPECT_EQ(Manager(55).GetJobStartTime(), 0u);
  EXPECT_EQ(Manager(55).GetActiveMetadataReader()->GetMetadataType(), 2u);
  ASSERT_TRUE(blbsim::SetJobInfoJob({55, 1700000000, 1}));
  EXPECT_EQ(Manager(55).GetJobStartTime(), 1700000000u);
  EXPECT_EQ(Manager(55).GetActiveMetadataReader()->GetMetadataType(), 1u);
  EXPECT_EQ(Manager(56).GetJobStartTime(), 0u);
}

TEST(JobInfoMetadata, AScansCumulativeBitmapsAreStoredAsArchivesOfTheirOwnName) {
  testing_support::ScopedStateDir state;
  const std::string jr = state.Sub("jr");
  testing_support::WriteFile(jr + "/BlockLevelCumulativeBM/COMP2_CumulativeV2.bmp", std::string(32, '\x0F'));
  testing_support::WriteFile(jr + "/BlockLevelCumulativeBM/COMP1_CumulativeV2.bmp", std::string(32, '\xFF'));
  testing_support::WriteFile(jr + "/BlockLevelCumulativeBM/COMP3_Cumulative.bmp", "old version");
  testing_support::WriteFile(jr + "/BlockLevelCumulativeBM/_CumulativeV2.bmp", "no component");
  std::string why;
  auto stored = blbsim::StoreCumulativeBitmaps(77, jr, &why);
  ASSERT_TRUE(stored) << why;
  EXPECT_EQ(*stored, (std::vector<std::string>{"COMP1_CumulativeV2.bmp.7z", "COMP2_CumulativeV2.bmp.7z"}));
  std::vector<std::string> listed;
  for (const platform::JobInfoFileRecord& file : blbsim::JobInfoFiles())
    listed.push_back(std::to_string(file.jobId) + " " + file.container + "/" + file.name);
  EXPECT_EQ(listed, (std::vector<std::string>{"77 BlockLevelCumulativeBM/COMP1_CumulativeV2.bmp.7z",
                                              "77 BlockLevelCumulativeBM/COMP2_CumulativeV2.bmp.7z"}));
  ASSERT_TRUE(blbsim::GetJobInfoFile(77, "BlockLevelCumulativeBM", "COMP2_CumulativeV2.bmp.7z", state.Sub("c2.7z")));
  ASSERT_FALSE(C7zip("", C7zip::kFormat7z).ExtractFilesFromArchive(state.Sub("c2.7z"), state.Sub("x")).IsError());
  EXPECT_EQ(ReadFile(state.Sub("x/COMP2_CumulativeV2.bmp")), std::string(32, '\x0F'));
  // Nothing was left beside the scan's bitmaps, nor in the state directory.
  EXPECT_FALSE(testing_support::FileExists(jr + "/BlockLevelCumulativeBM/COMP1_CumulativeV2.bmp.7z"));
  EXPECT_EQ(testing_support::CommandOutput("find " + state.Sub("tmp") + " -mindepth 1"), "");

  EXPECT_FALSE(blbsim::StoreCumulativeBitmaps(78, state.Sub("absent"), &why));
  EXPECT_NE(why.find(state.Sub("absent")), std::string::npos) << why;
}

}  // namespace
