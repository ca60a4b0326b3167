// The system-state view's files read back from the source job's view into
// the work folder: every file of the key, none, and a name from the index
// that would leave the folder.
#include "platform/harness/index_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/text/ascii85.h"
#include "pseudosnap/pseudosnap_test_fixtures.h"

namespace {

using pseudosnap_test::Handler;
using pseudosnap_test::PseudoSnapTest;

const std::string kKeyPath = "\\[System State]\\Special Components\\Keystep Files";

class SystemStateViewTest : public PseudoSnapTest {
 public:
  void SetUp() override {
    PseudoSnapTest::SetUp();
    platform::SubclientRecord subclient = *blbsim::FindSubclient(2, 7);
    subclient.appType = 29;
    subclient.backupSetId = 3;
    ASSERT_TRUE(platform::AgentConfig::Current().PutSubclient(subclient));
    SetOsId(200);
    ASSERT_FALSE(Initialize(handler_, 29).IsError());
    ASSERT_TRUE(blbsim::PublishIndexItem(55, 1000, "\\[System State]", true));
    ASSERT_TRUE(blbsim::PublishIndexItem(55, 1000, "\\[System State]\\Special Components", true));
    ASSERT_TRUE(blbsim::PublishIndexItem(55, 1000, kKeyPath, true));
  }

  CQiError Download() {
    CJobInfoMetadataReaderManagerPtr manager =
        std::make_shared<CJobInfoMetadataReaderManager>("ss1", 101, 55, 2, 7, 0, 0);
    return handler_.DownloadSysViewIndexFiles(manager);
  }

  Handler handler_;
};

TEST_F(SystemStateViewTest, DownloadsEveryFileOfTheKey) {
  ASSERT_FALSE(Download().IsError());
  EXPECT_FALSE(testing_support::FileExists(Path("KeystepInfo.kzf.7z")));

  std::string text;
  CAscii85::Encode("keystep", 7, text);
  ASSERT_TRUE(blbsim::PublishIndexItem(55, 1000, kKeyPath + "\\KeystepInfo.kzf.7z", false, text));
  Handler fresh;
  ASSERT_FALSE(Initialize(fresh, 29).IsError());
  CJobInfoMetadataReaderManagerPtr manager =
      std::make_shared<CJobInfoMetadataReaderManager>("ss1", 101, 55, 2, 7, 0, 0);
  ASSERT_FALSE(fresh.DownloadSysViewIndexFiles(manager).IsError());
  EXPECT_EQ(testing_support::ReadFile(Path("KeystepInfo.kzf.7z")), "keystep");
}

TEST_F(SystemStateViewTest, ANameThatIsNotPlainWritesNothing) {
  databrowse::BrowseData item;
  item.setstring(item.kName.number, item.kName.tag, "../x");
  databrowse::BrowseResult result;
  result.addlistobject(result.kItems.number, result.kItems.tag, item);
  databrowse::BrowseResponse response;
  response.setint64(response.kType.number, response.kType.tag, 0);
  response.setObjectAccessor(response.kResult.number, response.kResult.tag, result);
  databrowse::BrowseResponseList reply;
  reply.addlistobject(reply.kResponses.number, reply.kResponses.tag, response);
  std::string why;
  ASSERT_TRUE(blbsim::QueueIndexReply(reply.toString(), 0, "Keystep Files", &why)) << why;
  CQiError error = Download();
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 774)) << error.AsString();
  EXPECT_NE(error.AsString().find("../x"), std::string::npos);
  EXPECT_FALSE(testing_support::FileExists(Path("../x")));
  EXPECT_FALSE(testing_support::FileExists(Path("x")));
}

TEST_F(SystemStateViewTest, AMissingKeystepFileIsNotUploaded) {
  CQiError error = handler_.UploadSysViewIndexFiles();
  EXPECT_TRUE(error.IsError());
  EXPECT_NE(error.AsString().find("Failed to add Keystep Info file to metadata store"), std::string::npos)
      << error.AsString();
}

}  // namespace
