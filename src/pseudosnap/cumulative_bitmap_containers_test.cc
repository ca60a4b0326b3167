// The cumulative bitmap archives handed to the agent and fetched from a
// source job, the parent-path rule and the volume metadata text.
#include <unistd.h>

#include "platform/jobinfo/job_info_metadata.h"
#include "platform/messages/uxa_messages.h"
#include "platform/sim/fault_table.h"
#include "pseudosnap/pseudosnap_test_fixtures.h"

namespace {

using pseudosnap_test::Handler;
using pseudosnap_test::PseudoSnapTest;

class BitmapContainersTest : public PseudoSnapTest {
 public:
  void SetUp() override {
    PseudoSnapTest::SetUp();
    ASSERT_FALSE(Initialize(handler_).IsError());
  }

  std::string Folder(const std::string& name = "") const { return Path("BlockLevelCumulativeBM/" + name); }

  CQiError Download(uint64_t job) {
    CJobInfoMetadataReaderManagerPtr manager =
        std::make_shared<CJobInfoMetadataReaderManager>("ss1", 101, job, 2, 7, 0, 0);
    return handler_.DownloadCumulativeBitmapFiles(manager);
  }

  Handler handler_;
};

TEST_F(BitmapContainersTest, TheMapHoldsEachComponentsStoredArchive) {
  const std::string bytes("7z\xBC\xAF\x27\x1C\x00\x04", 8);
  testing_support::WriteFile(Folder("C1_CumulativeV2.bmp.7z"), bytes);
  testing_support::WriteFile(Folder("C_2_CumulativeV2.bmp.7z"), "other");
  testing_support::WriteFile(Folder("C3_CumulativeV2.bmp"), "not an archive");
  std::map<std::string, std::string> bitmaps;
  ASSERT_FALSE(handler_.GetCumulativeBmpMap(bitmaps).IsError());
  EXPECT_EQ(bitmaps, (std::map<std::string, std::string>{{"C1", bytes}}));
  EXPECT_TRUE(log_.Contains("Extracted cumulative bmp, component=[C1_CumulativeV2.bmp.7z], size=8."));

  testing_support::WriteFile(Folder("C1_CumulativeV2.bmp.7z"), "");
  bitmaps.clear();
  ASSERT_FALSE(handler_.GetCumulativeBmpMap(bitmaps).IsError());
  EXPECT_EQ(bitmaps, (std::map<std::string, std::string>{{"C1", ""}}));
}

// A file that ends before the size it reported (one that shrank while it
// was read) fails instead of being read for ever: a sysfs file reports a
// page and holds a few bytes.
TEST_F(BitmapContainersTest, AFileEndingBeforeItsSizeFails) {
  const char* shortFile = "/sys/devices/system/cpu/online";
  if (access(shortFile, R_OK) != 0) GTEST_SKIP() << shortFile << " is not readable here";
  ASSERT_TRUE(platform::MakeDirectories(Folder()));
  ASSERT_EQ(symlink(shortFile, Folder("S_CumulativeV2.bmp.7z").c_str()), 0);
  std::map<std::string, std::string> bitmaps;
  CQiError error = handler_.GetCumulativeBmpMap(bitmaps);
  EXPECT_NE(error.AsString().find("Failed to read from file[" + Folder("S_CumulativeV2.bmp.7z") + "], Bytes2Read="),
            std::string::npos)
      << error.AsString();
  EXPECT_TRUE(bitmaps.empty());
}

TEST_F(BitmapContainersTest, DownloadsPlainNamesOnly) {
  ASSERT_TRUE(platform::JobInfoMetadata::Current().PutFile(77, "BlockLevelCumulativeBM", "X_CumulativeV2.bmp.7z",
                                                           std::string("\x01\x00\x02", 3)));
  // The temporary of an upload cut short is no bitmap, as the upload knows.
  ASSERT_TRUE(platform::JobInfoMetadata::Current().PutFile(77, "BlockLevelCumulativeBM",
                                                           "X_CumulativeV2.bmp.7z.tmp.41.1", "torn"));
  ASSERT_FALSE(Download(77).IsError());
  EXPECT_EQ(testing_support::ReadFile(Folder("X_CumulativeV2.bmp.7z")), std::string("\x01\x00\x02", 3));
  EXPECT_FALSE(testing_support::FileExists(Folder("X_CumulativeV2.bmp.7z.tmp.41.1")));

  ASSERT_TRUE(platform::RemoveTree(Folder()));
  ASSERT_FALSE(Download(78).IsError());  // no container: an empty folder
  EXPECT_EQ(access(Folder().c_str(), F_OK), 0);

  platform::FaultTable::Set("CJobInfoMetadataReaderManager::DownloadFiles", 1168, platform::FaultMode::kError, 1);
  ASSERT_FALSE(Download(77).IsError());
  EXPECT_TRUE(log_.Contains("Could not find container 'BlockLevelCumulativeBM' in metadata."));

  ASSERT_TRUE(platform::RemoveTree(Folder()));
  ASSERT_TRUE(platform::JobInfoMetadata::Current().PutFile(79, "BlockLevelCumulativeBM", "../x.bmp", "x"));
  CQiError error = Download(79);
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 774)) << error.AsString();
  EXPECT_NE(error.AsString().find("../x.bmp"), std::string::npos);
  EXPECT_NE(access(Folder().c_str(), F_OK), 0);
  EXPECT_NE(access(Path("x.bmp").c_str(), F_OK), 0);
}

TEST_F(BitmapContainersTest, UploadCompressesOnceAndNeedsTheFolder) {
  CJobInfoMetadataStoreFactory factory("ss1", "tok", 55, 2, 7);
  CJobInfoMetadataStorePtr store = factory.GetInstance(2);
  ASSERT_TRUE(store != nullptr);
  CQiError error = handler_.UploadCumulativeBackupBitmaps(store);
  EXPECT_NE(error.AsString().find("Failed to open cumulative bitmap directory"), std::string::npos);

  testing_support::WriteFile(Folder("K_CumulativeV2.bmp"), "\x0F");
  testing_support::WriteFile(Folder("K_CumulativeV2.bmp.7z"), "stale");
  ASSERT_FALSE(handler_.UploadCumulativeBackupBitmaps(store).IsError());
  EXPECT_NE(testing_support::ReadFile(Folder("K_CumulativeV2.bmp.7z")), "stale");
  store->SetJobId(101);
  ASSERT_FALSE(store->Upload("ss1", "tok", 503).IsError());
  std::string stored;
  ASSERT_EQ(
      0, platform::JobInfoMetadata::Current().ReadFile(101, "BlockLevelCumulativeBM", "K_CumulativeV2.bmp.7z", stored));
  EXPECT_EQ(stored, testing_support::ReadFile(Folder("K_CumulativeV2.bmp.7z")));
}

TEST_F(BitmapContainersTest, ParentPaths) {
  handler_.m_cDelimiter = '/';
  const struct {
    const char* path;
    const char* parent;
  } cases[] = {{"/a/b/", "/a"}, {"/a/b", "/a"}, {"/a", "/"}, {"a", "/"}, {"/", "/"}, {"/mnt/a", "/mnt"}};
  for (const auto& c : cases) EXPECT_EQ(handler_.GetParent(c.path), c.parent) << c.path;
}

TEST_F(BitmapContainersTest, VolumeDataOfAConfiguredVolumeOnly) {
  std::string text = "stale";
  ASSERT_FALSE(handler_.GetVolData("/mnt/zz", text).IsError());
  EXPECT_EQ(text, "");
  ASSERT_FALSE(handler_.GetVolData("/mnt/a", text).IsError());
  Uxa::BlockBackupDevice message;
  ASSERT_EQ(message.unserialize(text), 0) << text;
  EXPECT_EQ(message.getstring(4, 7), "/dev/sdb1");
  EXPECT_EQ(message.getuint64(19, 40), 67108864u);

  CQiError error = handler_.PopulateFullIncrBackupIndex();
  EXPECT_EQ(FXErrorUtil::GetCode(error), -1);
  EXPECT_NE(error.AsString().find("No pseudo archive file to upload the catalog with"), std::string::npos);
}

}  // namespace
