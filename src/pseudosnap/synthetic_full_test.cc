// The synthetic full from end to end: the source job's catalogue and bitmaps
// fetched into the job's own work folder, published again for the new job,
// and the source job's backup details copied.
#include "platform/compress/c7zip.h"
#include "platform/harness/index_harness.h"
#include "platform/harness/job_info_harness.h"
#include "platform/harness/services_harness.h"
#include "platform/jobinfo/job_info_metadata.h"
#include "platform/jobs/job_details.h"
#include "platform/services/host_name.h"
#include "platform/sim/fault_table.h"
#include "pseudosnap/pseudosnap_test_fixtures.h"

namespace {

using pseudosnap_test::Handler;
using pseudosnap_test::PseudoSnapTest;

class SyntheticFullTest : public PseudoSnapTest {
 public:
  void SetUp() override {
    PseudoSnapTest::SetUp();
    platform::SubclientRecord subclient = *platform::AgentConfig::Current().FindSubclient(2, 7);
    subclient.appType = 29;
    ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
    C7zip compressor("", 2);
    ASSERT_FALSE(
        compressor.AddFilesToArchive(Path("BlockDeviceConfig.kzf.7z"), {Path("BlockDeviceConfig.kzf")}, {}).IsError());
    catalogue_ = testing_support::ReadFile(Path("BlockDeviceConfig.kzf.7z"));
    ASSERT_TRUE(blbsim::PutJobInfoFile(55, "BlockLevelCatalog", "BlockDeviceConfig.kzf.7z", catalogue_));
    ASSERT_TRUE(blbsim::PutJobInfoFile(55, "BlockLevelCumulativeBM", "C1_CumulativeV2.bmp.7z", bitmap_));
    platform::JobInfoJobRecord source;
    source.jobId = 55;
    source.metadataType = 2;
    ASSERT_TRUE(blbsim::SetJobInfoJob(source));
    platform::JobRecord incremental = Job(90, "");
    incremental.snapJobId = 55;
    incremental.copyId = 8;
    incremental.backupCopyDone = true;
    ASSERT_TRUE(blbsim::AddJob(incremental));
    ASSERT_TRUE(platform::SetJobXmlBlob(55, "<details job=\"55\"/>"));
  }

  std::string WorkDir() const { return state_.Path() + "/install/Temp/BlockSnapArchive_101"; }

  std::string catalogue_;
  const std::string bitmap_ = std::string("7z\xBC\xAF\x27\x1C\x00\x04", 8) + "bits";
};

TEST_F(SyntheticFullTest, PublishesTheSourceJobsInformationForTheNewJob) {
  {
    Handler handler;
    CQiError error = Initialize(handler, 29, 55, KZ_BKP_LEVEL_SYNTHFULL);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(testing_support::ReadFile(WorkDir() + "/BlockDeviceConfig.kzf"),
              testing_support::ReadFile(Path("BlockDeviceConfig.kzf")));
    EXPECT_EQ(testing_support::ReadFile(WorkDir() + "/BlockLevelCumulativeBM/C1_CumulativeV2.bmp.7z"), bitmap_);
    EXPECT_TRUE(log_.Contains("Caching metadata storage type [2][RFC] for synthetic full uploads."));

    error = handler.CreatePseudoSnapArchive(nullptr);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    const std::string stored = state_.Sub("stored");
    ASSERT_TRUE(blbsim::GetJobInfoFile(101, "BlockLevelCatalog", "BlockDeviceConfig.kzf.7z", stored));
    EXPECT_EQ(testing_support::ReadFile(stored), catalogue_);
    ASSERT_TRUE(blbsim::GetJobInfoFile(101, "BlockLevelCumulativeBM", "C1_CumulativeV2.bmp.7z", stored));
    EXPECT_EQ(testing_support::ReadFile(stored), bitmap_);
    std::optional<platform::JobInfoJobRecord> published = blbsim::FindJobInfoJob(101);
    ASSERT_TRUE(published);
    EXPECT_EQ(published->additionalFlags, 528u);
    EXPECT_EQ(platform::JobXmlBlob(101).value_or(""), "<details job=\"55\"/>");
  }
  EXPECT_FALSE(testing_support::FileExists(WorkDir()));
}

TEST_F(SyntheticFullTest, NothingIsPublishedWithoutAPseudoArchiveFile) {
  Handler handler;
  ASSERT_FALSE(Initialize(handler, 29, 55, KZ_BKP_LEVEL_SYNTHFULL).IsError());
  CQiError error = handler.PopulateSynthFullIndex();
  EXPECT_TRUE(error.IsError());
  EXPECT_NE(error.AsString().find("No pseudo archive file to upload the catalog with"), std::string::npos);
  EXPECT_FALSE(blbsim::FindJobInfoJob(101));
}

TEST_F(SyntheticFullTest, TheSourceJobsDetailsMustBeThere) {
  ASSERT_TRUE(platform::SetJobXmlBlob(55, ""));
  Handler handler;
  ASSERT_FALSE(Initialize(handler, 29, 55, KZ_BKP_LEVEL_SYNTHFULL).IsError());
  CQiError error = handler.CreatePseudoSnapArchive(nullptr);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 774)) << error.AsString();
  EXPECT_NE(error.AsString().find("Failed to fetch Backup job details, snapJob=55"), std::string::npos);
  EXPECT_FALSE(platform::JobXmlBlob(101));
}

// Without indexing V2 (type 5) the catalogue comes from the index's file
// store under the source job's prefixed name.
TEST_F(SyntheticFullTest, WithoutIndexingV2TheCatalogueComesFromTheIndexStore) {
  {
    Handler handler;
    CQiError error = Initialize(handler, 5, 55, KZ_BKP_LEVEL_SYNTHFULL);
    EXPECT_TRUE(error.IsError());
    EXPECT_NE(error.AsString().find("failed to access Blockdeviceconfig.kzf from index "), std::string::npos)
        << error.AsString();
    EXPECT_NE(error.AsString().find("Failed initialize synthfull config"), std::string::npos);
  }
  std::string client, host;
  int port = 0, flags = 0;
  ASSERT_EQ(DemangleHostName("ss1", client, host, port, flags), 0);
  ASSERT_TRUE(blbsim::AddIndexFile(host, 2, 7, 55, "55_BlockDeviceConfig.kzf", 1000,
                                   testing_support::ReadFile(Path("BlockDeviceConfig.kzf"))));
  {
    Handler handler;
    CQiError error = Initialize(handler, 5, 55, KZ_BKP_LEVEL_SYNTHFULL);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(testing_support::ReadFile(WorkDir() + "/BlockDeviceConfig.kzf"),
              testing_support::ReadFile(Path("BlockDeviceConfig.kzf")));
  }
  // Without the catalogue archive the destructor leaves the folder.
  EXPECT_TRUE(testing_support::FileExists(WorkDir() + "/BlockDeviceConfig.kzf"));
}

}  // namespace
