// A full or incremental job with indexing V2 publishes one index item per
// volume, stores its catalogue and cumulative bitmaps in the job-info store
// and asks the index to carry the snapshot job's index forward.
#include <cstdlib>

#include "platform/compress/c7zip.h"
#include "platform/guid/guid_factory.h"
#include "platform/harness/index_harness.h"
#include "platform/harness/job_info_harness.h"
#include "platform/harness/services_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/indexing/index_carry_forward.h"
#include "platform/indexing/index_request_log.h"
#include "platform/jobinfo/job_info_metadata.h"
#include "platform/jobinfo/job_info_store.h"
#include "platform/messages/uxa_messages.h"
#include "platform/settings/settings.h"
#include "platform/sim/fault_table.h"
#include "pseudosnap/pseudosnap_test_fixtures.h"

namespace {

using pseudosnap_test::ConfigLine;
using pseudosnap_test::Handler;
using pseudosnap_test::PseudoSnapTest;

constexpr const char* kGuid = "G-SUBCLIENT";

class VolumeIndexTest : public PseudoSnapTest {
 public:
  void SetUp() override {
    PseudoSnapTest::SetUp();
    platform::SubclientRecord subclient = *blbsim::FindSubclient(2, 7);
    subclient.appType = 29;
    subclient.guid = kGuid;
    ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
    for (platform::ArchiveFileRecord file : blbsim::ArchiveFiles()) {
      file.createTime = file.archFileId == 501 ? 1500 : 1400;
      ASSERT_TRUE(platform::ArchiveManager::Current().Put(file));
    }
    platform::JobRecord snapJob = Job(55, "");
    snapJob.startTime = 1000;
    snapJob.endTime = 1600;
    ASSERT_TRUE(blbsim::AddJob(snapJob));
    ASSERT_TRUE(platform::MakeDirectories(Path("BlockLevelCumulativeBM")));
    testing_support::WriteFile(Path("BlockLevelCumulativeBM/" + Key("/mnt/a") + "_CumulativeV2.bmp"),
                               std::string("\x0F\x00", 2));
  }

  static std::string Key(const std::string& path) { return GetObjectGuid(path, 0, '/'); }

  CQiError Run(uint32_t appType = 29) {
    Handler handler;
    CQiError error = Initialize(handler, appType);
    if (error.IsError()) return error;
    return handler.CreatePseudoSnapArchive(nullptr);
  }

  static uint64_t CreateTime(uint64_t afile) {
    for (const platform::ArchiveFileRecord& file : blbsim::ArchiveFiles())
      if (file.archFileId == afile) return file.createTime;
    return 0;
  }

  // The items one volume publishes, as the index lists them.
  static std::vector<std::string> VolumeItems(const std::string& volume, uint64_t afile, const std::string& device,
                                              bool typed, uint64_t bitmapSize = 2) {
    const std::string key = Key(volume);
    std::string version;
    GetVersionGuid(volume, kGuid, 55, 0, 0, 0, 0, '/', version);
    Uxa::BlockBackupDevice message;
    message.setint64(1, 1, 1);
    message.setstring(3, 3, volume);
    message.setstring(4, 7, device);
    message.setstring(5, 11, "ext4");
    message.setstring(6, 15, "rw");
    message.setuint64(8, 23, 4194304);
    message.setuint64(9, 24, 131072);
    message.setuint64(12, 27, 4096);
    message.setuint64(13, 28, bitmapSize);
    message.setuint64(19, 40, 67108864);
    IdxMetadata::BlockLevelVolData volData;
    volData.setstring(1, 1, volume);
    volData.setstring(2, 2, message.toString());
    if (typed) volData.setint64(5, 5, 1);
    IdxMetadata::IdxMetaData metadata;
    metadata.setObjectAccessor(35, 35, volData);
    return {"afile cell=2 group=4 afile=" + std::to_string(afile) +
                " flag=0 time=" + std::to_string(CreateTime(afile)) + " flags=0x214",
            "meta tag=0x60512130 len=0 value=" + key,
            "meta tag=0x2057F131 len=32 value=" + key,
            "meta tag=0x26BC1A27 len=32 value=" + Key("/mnt"),
            "meta tag=0x85ED33A1 len=32 value=" + version,
            "idxmeta " + metadata.toString(),
            "header name=" + volume +
                " namelen=6 links=0 mode=0x4000 attrs=0x100000000000 size=67108864 delim=47 opts=0x3 os=0",
            "restart 0xffffffffffffffff"};
  }
};

TEST_F(VolumeIndexTest, PublishesEachVolumeStoresTheCatalogueAndCarriesTheIndexForward) {
  CQiError error = Run();
  ASSERT_FALSE(error.IsError()) << error.AsString();

  std::vector<std::string> expected = VolumeItems("/mnt/a", 503, "/dev/sdb1", false);
  for (const std::string& item : VolumeItems("/mnt/b", 504, "/dev/sdc1", true)) expected.push_back(item);
  expected.push_back("done");
  EXPECT_EQ(blbsim::IndexItems(101), expected);
  // The parent item names the mount point's parent folder.
  EXPECT_TRUE(log_.Contains("sending metadata[INDEXINGDATA_PARENT_OBJECT_GUID] = [" + Key("/mnt") +
                            "], Pernt=/mnt, for volume: /mnt/a"));

  // The catalogue and the cumulative bitmap, each extracting to its source.
  std::string catalogue, bitmapArchive;
  ASSERT_EQ(0, platform::JobInfoMetadata::Current().ReadFile(101, "BlockLevelCatalog", "BlockDeviceConfig.kzf.7z",
                                                             catalogue));
  const std::string bitmapName = Key("/mnt/a") + "_CumulativeV2.bmp.7z";
  ASSERT_EQ(0, platform::JobInfoMetadata::Current().ReadFile(101, "BlockLevelCumulativeBM", bitmapName, bitmapArchive));
  EXPECT_EQ(bitmapArchive, testing_support::ReadFile(Path("BlockLevelCumulativeBM/" + bitmapName)));
  testing_support::WriteFile(Path("x/c.7z"), catalogue);
  C7zip zip("", C7zip::kFormat7z);
  ASSERT_FALSE(zip.ExtractFilesFromArchive(Path("x/c.7z"), Path("x")).IsError());
  EXPECT_EQ(testing_support::ReadFile(Path("x/BlockDeviceConfig.kzf")),
            testing_support::ReadFile(Path("BlockDeviceConfig.kzf")));
  std::optional<platform::JobInfoJobRecord> job = blbsim::FindJobInfoJob(101);
  ASSERT_TRUE(job.has_value());
  EXPECT_EQ(job->metadataType, 2u);
  EXPECT_EQ(job->storeFlags, 64u);
  EXPECT_EQ(job->additionalFlags, 532u);
  EXPECT_EQ(job->afileId, 503u);
  EXPECT_EQ(job->delimiter, "/");

  Handler reader;
  ASSERT_FALSE(Initialize(reader, 29).IsError());
  std::map<std::string, std::string> bitmaps;
  ASSERT_FALSE(reader.GetCumulativeBmpMap(bitmaps).IsError());
  EXPECT_EQ(bitmaps, (std::map<std::string, std::string>{{Key("/mnt/a"), bitmapArchive}}));

  // The carry-forward: the file, the request the index took, its rows.
  const std::string t503 = std::to_string(CreateTime(503)), t504 = std::to_string(CreateTime(504));
  EXPECT_EQ(testing_support::ReadFile(Path("101_IdxCarryFwd")),
            "503|4|532|" + t503 + "|" + Key("/mnt/a") + "\n504|4|532|" + t504 + "|" + Key("/mnt/b") + "\n");
  const std::vector<platform::IndexCarryForwardRecord> rows = blbsim::IndexCarryForwards(101);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].component, Key("/mnt/a"));
  EXPECT_EQ(rows[1].component, Key("/mnt/b"));
  EXPECT_EQ(rows[2].component, "");
  EXPECT_EQ(rows[2].view, "");
  EXPECT_EQ(rows[2].afileId, 503);
  for (const platform::IndexCarryForwardRecord& row : rows) {
    EXPECT_EQ(row.sourceJobId, 55u);
    EXPECT_EQ(row.path, "/");
    EXPECT_EQ(row.fromTime, 1000u);
    EXPECT_EQ(row.toTime, 1600u);
    EXPECT_EQ(row.timeout, 1800u);
  }
  EXPECT_TRUE(log_.Contains("Finished doing carry forward of the Block device config file and the file catalouge"));

  // The request as the index took it.
  const std::vector<platform::IndexRequestRecord> requests = blbsim::IndexRequests();
  ASSERT_FALSE(requests.empty());
  databrowse::BrowseRequest request;
  ASSERT_EQ(request.unserialize(requests.back().request), 0);
  EXPECT_EQ(request.getint64(1, 1), 11);
  std::vector<CNMessageBase> paths = request.getlistobject(4, 4);
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0].getstring(1, 1), "*");
  CNMessageBase entity, range, options, advanced, config, extended, block;
  ASSERT_TRUE(request.getObjectAccessor(3, 3, entity));
  EXPECT_EQ(entity.getuint64(17, 47), 0u);
  EXPECT_EQ(entity.getuint64(5, 11), 7u);
  EXPECT_EQ(entity.getuint64(14, 38), 29u);
  ASSERT_TRUE(request.getObjectAccessor(6, 6, range));
  EXPECT_EQ(range.getuint64(1, 1), 1600u);
  EXPECT_EQ(range.getuint64(2, 2), 1000u);
  ASSERT_TRUE(request.getObjectAccessor(7, 7, options));
  for (int field : {11, 1, 44}) EXPECT_EQ(options.getint64(field, field), 1) << field;
  ASSERT_TRUE(request.getObjectAccessor(11, 11, advanced));
  EXPECT_EQ(advanced.getint64(4, 7), 1);
  EXPECT_EQ(advanced.getint64(5, 8), 1);
  EXPECT_EQ(advanced.getint64(9, 12), 1800);
  ASSERT_TRUE(advanced.getObjectAccessor(3, 6, config) && config.getObjectAccessor(5, 5, extended) &&
              extended.getObjectAccessor(2, 2, block));
  EXPECT_EQ(block.getlistobject(1, 1).size(), 3u);
  EXPECT_EQ(block.getuint64(2, 2), 55u);
  EXPECT_EQ(block.getuint64(3, 3), 2u);
  EXPECT_EQ(block.getint64(4, 4), 2);
  EXPECT_EQ(block.getuint64(5, 5), 65792u);
}

TEST_F(VolumeIndexTest, ADamagedDeviceRecordIsNotPublished) {
  // A bitmap size that cannot belong to the record's 16 extents.
  std::string damaged = pseudosnap_test::ConfigLine("/mnt/a", "/dev/sdb1");
  damaged.replace(damaged.find("|4096|2|"), 8, "|4096|99999999999|");
  WriteConfig({pseudosnap_test::ConfigLine("/mnt/b", "/dev/sdc1"), damaged});
  CQiError error = Run();
  ASSERT_TRUE(error.IsError());
  EXPECT_NE(error.AsString().find("Device record of volume [/mnt/a] is damaged"), std::string::npos)
      << error.AsString();
  for (const std::string& item : blbsim::IndexItems(101))
    EXPECT_EQ(item.find("99999999999"), std::string::npos) << item;
}

// A driver that sizes its bitmap in pages: the record is no damaged one,
// and the index keeps its bitmap size.
TEST_F(VolumeIndexTest, ARecordWithABitmapPaddedToAPageIsPublished) {
  std::string padded = pseudosnap_test::ConfigLine("/mnt/a", "/dev/sdb1");
  padded.replace(padded.find("|4096|2|"), 8, "|4096|4096|");
  WriteConfig({pseudosnap_test::ConfigLine("/mnt/b", "/dev/sdc1"), padded});
  CQiError error = Run();
  ASSERT_FALSE(error.IsError()) << error.AsString();
  std::vector<std::string> expected = VolumeItems("/mnt/a", 503, "/dev/sdb1", false, 4096);
  for (const std::string& item : VolumeItems("/mnt/b", 504, "/dev/sdc1", true)) expected.push_back(item);
  expected.push_back("done");
  EXPECT_EQ(blbsim::IndexItems(101), expected);
}

TEST_F(VolumeIndexTest, TheCarryForwardAddsTheJobInfoViewAndTakesItsTimeOutFromTheRegistry) {
  ASSERT_TRUE(platform::JobInfoMetadata::Current().PutFile(55, "BlockLevelCatalog", "c.7z", "x"));
  const struct {
    unsigned configured;
    uint64_t used;
  } cases[] = {{299, 1800}, {300, 300}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.configured);
    testing_support::WriteFile(
        platform::Settings::RegistryFile(),
        "[FileSystemAgent]\nnBlkLvlPseudoSnapCarryFwdTimeOutInSecs=" + std::to_string(c.configured) + "\n");
    CQiError error = Run();
    ASSERT_FALSE(error.IsError()) << error.AsString();
    const std::vector<platform::IndexCarryForwardRecord> rows = blbsim::IndexCarryForwards(101);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.back().view, "JOBINFO");
    EXPECT_EQ(rows.back().timeout, c.used);
  }
  EXPECT_TRUE(
      log_.Contains("Block level catalog metadata found in index DB for snap job [55], adding JOBINFO view to "
                    "pull fwd query."));
  EXPECT_TRUE(log_.Contains("Regkey set to have carry fwd browse timeout[300]"));
}

TEST_F(VolumeIndexTest, ADatabaseJobKeepsItsMetadataInTheIndex) {
  CJobInfoMetadataStoreFactory factory("ss1", "tok", 55, 2, 7);
  CJobInfoMetadataStorePtr store = factory.GetInstance(1);
  ASSERT_TRUE(store != nullptr);
  EXPECT_EQ(store->GetStorageType(), 1u);
  ASSERT_FALSE(store->Upload("ss1", "tok", 503).IsError());
  EXPECT_FALSE(store->IsMetadataUploadedToRFC());
  EXPECT_TRUE(useIndexToStoreJobInfo(125));
  EXPECT_FALSE(useIndexToStoreJobInfo(29));
}

}  // namespace
