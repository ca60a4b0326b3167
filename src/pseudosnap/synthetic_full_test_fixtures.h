#pragma once
// The synthetic full job 101 made from job 55, on top of the pseudo-snap
// set-up: job 55's catalogue and cumulative bitmap in its job-info
// containers, its storage type, the incremental 90 made from it whose backup
// copy is done, and its backup details; the subclient a file system (29) or
// an Oracle one.
#include <cstdio>
#include <string>

#include "platform/bag/bag.h"
#include "platform/compress/c7zip.h"
#include "platform/config/application_list.h"
#include "platform/harness/job_info_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/jobinfo/job_info_metadata.h"
#include "platform/jobs/job_details.h"
#include "pseudosnap/pseudosnap_test_fixtures.h"

namespace pseudosnap_test {

class SyntheticFullTest : public PseudoSnapTest {
 public:
  void SetUp() override {
    PseudoSnapTest::SetUp();
    platform::SubclientRecord subclient = *blbsim::FindSubclient(2, 7);
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

  // An Oracle (22) subclient: instance ORCL, the agent's entries of job 55,
  // its image-copy values in the index and, when archived, its volume-type
  // file in the catalogue.
  void PrepareOracleSubclient(bool imageCopy, bool volumeTypesArchived) {
    platform::SubclientRecord subclient = *blbsim::FindSubclient(2, 7);
    subclient.appType = 22;
    subclient.oracle.snapImageCopy = imageCopy;
    subclient.instanceId = 5;
    ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
    ASSERT_TRUE(platform::ApplicationList::Current().PutInstance({5, 2, 22, "ORCL", ""}));
    PutAgentEntry("/ORCL/system01.dbf", 501);
    PutAgentEntry("/ORCL/redo01.log", 502);
    volumeTypes_ = VolumeTypeLines({{"/mnt/a", "DATA"}, {"/mnt/b", "LOGS"}});
    if (volumeTypesArchived) {
      testing_support::WriteFile(Path("OraVolumeType.kzf"), volumeTypes_);
      C7zip compressor("", 2);
      ASSERT_FALSE(
          compressor.AddFilesToArchive(Path("OraVolumeType.kzf.7z"), {Path("OraVolumeType.kzf")}, {}).IsError());
      ASSERT_TRUE(blbsim::PutJobInfoFile(55, "BlockLevelCatalog", "OraVolumeType.kzf.7z",
                                         testing_support::ReadFile(Path("OraVolumeType.kzf.7z"))));
    }
    std::remove(Path("OraVolumeType.kzf").c_str());
    CBag values;
    ASSERT_FALSE(values.Write("RmanImageCopyTag", "TAG1").IsError());
    ASSERT_FALSE(values.Write("OraDatabaseContent", "CDB1").IsError());
    std::string bag;
    values.GetSerializedData(bag);
    ASSERT_TRUE(platform::JobInfoMetadata::Current().PutBag(55, "OraImageCopyInfo/OracleImageCopy", 1, bag));
  }

  std::string WorkDir() const { return state_.Path() + "/install/Temp/BlockSnapArchive_101"; }

  std::string catalogue_;
  std::string volumeTypes_;
  const std::string bitmap_ = std::string("7z\xBC\xAF\x27\x1C\x00\x04", 8) + "bits";
};

}  // namespace pseudosnap_test
