// The synthetic full from end to end: the source job's catalogue and bitmaps
// fetched into the job's own work folder, published again for the new job,
// and the source job's backup details copied.
#include <ctime>
#include <random>

#include "blocklevel/index_info_reader.h"
#include "blocklevel/index_info_store.h"
#include "blocklevel/pseudo_snap_archive_handler.h"
#include "platform/bag/bag.h"
#include "platform/compress/c7zip.h"
#include "platform/config/application_list.h"
#include "platform/harness/index_harness.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/job_info_harness.h"
#include "platform/harness/services_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/indexing/index_agent_entries.h"
#include "platform/jobinfo/job_info_metadata.h"
#include "platform/jobs/bkp_job_client.h"
#include "platform/jobs/job_details.h"
#include "platform/messages/uxa_messages.h"
#include "platform/services/host_name.h"
#include "platform/sim/fault_table.h"
#include "pseudosnap/synthetic_full_test_fixtures.h"

namespace {

using pseudosnap_test::Handler;
using pseudosnap_test::SyntheticFullTest;

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

// A system-state job to a Windows destination: the source job's keystep file,
// uploaded into its view by the index-info store, reaches the work folder and
// is uploaded again into the new job's view, whatever its bytes.
TEST_F(SyntheticFullTest, CarriesTheSystemStateKeystepFileIntoTheNewJobsView) {
  SetOsId(200);
  platform::SubclientRecord subclient = *blbsim::FindSubclient(2, 7);
  subclient.backupSetId = 3;
  ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
  ASSERT_TRUE(platform::SetJobAttributes(55, 0x100000));
  for (platform::ArchiveFileRecord file : blbsim::ArchiveFiles()) {
    file.groupId = 4;
    file.createTime = 1000;
    file.storageHostName = "ma1";
    ASSERT_TRUE(platform::ArchiveManager::Current().Put(file));
  }
  std::mt19937 random(11);
  std::string keystep(200001, '\0');
  for (char& byte : keystep) byte = static_cast<char>(random());
  // Its first two chunks of 64 KiB encode to texts beginning "<~>".
  for (const size_t chunk : {size_t{0}, size_t{0x10000}}) keystep.replace(chunk, 4, std::string("\x5B\xFF\x00\x00", 4));
  const std::string local = state_.Sub("KeystepInfo.kzf.7z");
  testing_support::WriteFile(local, keystep);
  {
    CIndexInfoStore store(55, 2, 7);
    store.SetDelimiter('\\');
    store.SetViewName("[System State]");
    ASSERT_FALSE(store.AddFileContentForKey("Special Components\\Keystep Files", local).IsError());
    CQiError error = store.BackupData("ss1", "tok", 0);
    ASSERT_FALSE(error.IsError()) << error.AsString();
  }

  const long long newJobStart = static_cast<long long>(std::time(nullptr));
  {
    Handler handler;
    CQiError error = Initialize(handler, 29, 55, KZ_BKP_LEVEL_SYNTHFULL);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(testing_support::ReadFile(WorkDir() + "/KeystepInfo.kzf.7z"), keystep);
    error = handler.CreatePseudoSnapArchive(nullptr);
    ASSERT_FALSE(error.IsError()) << error.AsString();
  }

  // Only the new job's archive files are in this range.
  CIndexInfoReader reader;
  ASSERT_FALSE(reader.Initialize("ss1", 0, 3, 2, 2, 29, newJobStart, 0).IsError());
  reader.SetDelimiter('\\');
  reader.SetViewName("[System State]");
  const std::string restored = state_.Sub("restored");
  CQiError error = reader.WriteFileContentForKey("Special Components\\Keystep Files", "KeystepInfo.kzf.7z", restored);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(testing_support::ReadFile(restored), keystep);
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

// An Oracle subclient's synthetic full through the facade: its volume types
// and image-copy values come from the source job, its backup details do not.
class OracleSynthFullJobTest : public SyntheticFullTest {
 public:
  CQiError Run() {
    CPseudoSnapArchiveHandler facade;
    CQiError error =
        facade.Initialize(2, 7, 22, KZ_BKP_LEVEL_SYNTHFULL, 101, 55, 0, 0, 2, sc_, "ss1", "tok", &ctrl_, true, false);
    if (!error.IsError()) error = facade.CreatePseudoSnapArchive(nullptr);
    if (!error.IsError()) workFolderVolumeTypes_ = testing_support::ReadFile(WorkDir() + "/OraVolumeType.kzf");
    return error;
  }

  std::string workFolderVolumeTypes_;
};

TEST_F(OracleSynthFullJobTest, AnImageCopyJobCarriesItsVolumeTypesAndImageCopyValues) {
  PrepareOracleSubclient(true, true);
  CQiError error = Run();
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(workFolderVolumeTypes_, volumeTypes_);
  EXPECT_NE(blbsim::JobServiceAttributes(101).value_or(0) & 0x1000u, 0u);
  for (uint64_t job : {55, 101})
    for (const platform::JobClientCall& call : blbsim::JobClientCalls(job))
      EXPECT_EQ(call.call.find("XmlBlob"), std::string::npos) << call.call;
  std::string uploaded;
  ASSERT_EQ(platform::JobInfoMetadata::Current().ReadBag(101, "OracleImageCopy", 2, uploaded), 0);
  CBag values;
  ASSERT_FALSE(values.LoadSerializedData(uploaded).IsError());
  std::string tag, content;
  values.Read("RmanImageCopyTag", tag);
  values.Read("OraDatabaseContent", content);
  EXPECT_EQ(tag + "|" + content, "TAG1|CDB1");
  EXPECT_EQ(blbsim::FindJobInfoJob(101)->additionalFlags, 0x210u);
  EXPECT_TRUE(log_.Contains("RmanImageCopyTag not found in RFC. Try to get from Index next"));
}

TEST_F(OracleSynthFullJobTest, WithoutTheArchivedVolumeTypesTheJobFails) {
  PrepareOracleSubclient(true, false);
  CQiError error = Run();
  EXPECT_TRUE(error.IsError());
  EXPECT_NE(error.AsString().find("OraVolumeType.kzf open error 2"), std::string::npos) << error.AsString();
  EXPECT_TRUE(log_.Contains("Could not find file 'OraVolumeType.kzf.7z' in metadata."));
}

TEST_F(OracleSynthFullJobTest, WithoutImageCopyNoImageCopyValuesAreUploaded) {
  PrepareOracleSubclient(false, true);
  CQiError error = Run();
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(workFolderVolumeTypes_, volumeTypes_);
  EXPECT_TRUE(log_.Contains("Not Oracle Image Copy sub-client, nothing in JOBINFO tree for Oracle"));
  std::string uploaded;
  EXPECT_NE(platform::JobInfoMetadata::Current().ReadBag(101, "OracleImageCopy", 2, uploaded), 0);
}

}  // namespace
