#include "platform/bag/bag.h"
#include "platform/harness/job_info_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/jobinfo/job_info_metadata.h"
#include "platform/jobinfo/job_info_reader.h"
#include "platform/text/fx_string.h"
#include "pseudosnap/pseudosnap_test_fixtures.h"

namespace {

class OracleHandler : public COraclePseudoSnapArchiveHandlerPrivate {
 public:
  using CPseudoSnapArchiveHandlerPrivate::m_eBackupLevel;
  using CPseudoSnapArchiveHandlerPrivate::m_mPseudoArchFileMap;
};

class OracleSyntheticFullTest : public pseudosnap_test::PseudoSnapTest {
 public:
  void SetUp() override {
    PseudoSnapTest::SetUp();
    SetImageCopy(true);
    ASSERT_FALSE(Initialize(handler_, 22).IsError());
    handler_.m_eBackupLevel = KZ_BKP_LEVEL_SYNTHFULL;
    handler_.m_mPseudoArchFileMap = {{"/u01", 503}};
  }

  static void SetImageCopy(bool on) {
    platform::SubclientRecord subclient = *blbsim::FindSubclient(2, 7);
    subclient.appType = 22;
    subclient.oracle.snapImageCopy = on;
    ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
  }

  static void PutValues(uint64_t jobId, const std::string& container, uint32_t storageType,
                        const std::map<std::string, std::string>& values) {
    CBag bag;
    for (const auto& [key, value] : values) ASSERT_FALSE(bag.Write(key, value).IsError());
    std::string text;
    bag.GetSerializedData(text);
    ASSERT_TRUE(platform::JobInfoMetadata::Current().PutBag(jobId, container, storageType, text));
  }

  // The new job's reference-copy image-copy values, "tag|content"; empty
  // when none were uploaded.
  static std::string Uploaded() {
    std::string text;
    if (platform::JobInfoMetadata::Current().ReadBag(101, "OracleImageCopy", 2, text) != 0) return "";
    CBag bag;
    EXPECT_FALSE(bag.LoadSerializedData(text).IsError());
    std::string tag, content;
    bag.Read("RmanImageCopyTag", tag);
    bag.Read("OraDatabaseContent", content);
    return tag + "|" + content;
  }

  OracleHandler handler_;
};

TEST_F(OracleSyntheticFullTest, ImageCopyValuesComeFromTheReferenceCopyOrElseTheIndex) {
  struct Case {
    const char* name;
    std::function<void()> seed;
    std::string uploaded;
  };
  const Case cases[] = {
      {"reference copy",
       [] {
         PutValues(55, "OracleImageCopy", 2, {{"RmanImageCopyTag", "T0"}, {"OraDatabaseContent", "C0"}});
       },
       "T0|C0"},
      {"index only",
       [] {
         PutValues(55, "OraImageCopyInfo/OracleImageCopy", 1,
                   {{"RmanImageCopyTag", "TAG1"}, {"OraDatabaseContent", "CDB1"}});
       },
       "TAG1|CDB1"},
      {"content missing",
       [] {
         PutValues(55, "OraImageCopyInfo/OracleImageCopy", 1, {{"RmanImageCopyTag", "TAG2"}});
       },
       "TAG2|"},
      {"tag nowhere", [] {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::ScopedStateDir state;
    SetUp();
    c.seed();
    CQiError error = handler_.UploadAgentIndexToSynthFull();
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(Uploaded(), c.uploaded);
    if (!c.uploaded.empty()) {
      EXPECT_EQ(blbsim::FindJobInfoJob(101)->additionalFlags, 0x210u);
    }
  }
  EXPECT_TRUE(log_.Contains("RmanImageCopyTag not found in RFC. Try to get from Index next"));
}

TEST_F(OracleSyntheticFullTest, NoImageCopyNothingWritten) {
  SetImageCopy(false);
  PutValues(55, "OracleImageCopy", 2, {{"RmanImageCopyTag", "T0"}});
  CQiError error = handler_.UploadAgentIndexToSynthFull();
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(Uploaded(), "");
  EXPECT_TRUE(log_.Contains("Not Oracle Image Copy sub-client, nothing in JOBINFO tree for Oracle"));
}

TEST_F(OracleSyntheticFullTest, VolumeTypeFileComesFromTheCatalogue) {
  const std::string volumeTypes = Path("OraVolumeType.kzf");
  testing_support::WriteFile(volumeTypes, "types\n");
  const std::string packed = Path("packed.7z");
  C7zip zip("", C7zip::kFormat7z);
  ASSERT_FALSE(zip.AddFilesToArchive(packed, {volumeTypes}, {}).IsError());
  std::string contents = testing_support::ReadFile(packed);
  std::remove(volumeTypes.c_str());

  auto manager = std::make_shared<CJobInfoMetadataReaderManager>("ss1", 101, 55, 2, 7, 0, 0);
  CQiError error = handler_.DownloadAgentIndexFiles(manager, zip);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_TRUE(log_.Contains("Could not find file 'OraVolumeType.kzf.7z' in metadata."));
  EXPECT_FALSE(FXPath::DoesPathExist(volumeTypes));

  ASSERT_TRUE(platform::JobInfoMetadata::Current().PutFile(55, "BlockLevelCatalog", "OraVolumeType.kzf.7z", contents));
  error = handler_.DownloadAgentIndexFiles(manager, zip);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(testing_support::ReadFile(volumeTypes), "types\n");
}

}  // namespace
