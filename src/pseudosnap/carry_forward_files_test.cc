#include <fcntl.h>
#include <unistd.h>

#include "pseudosnap/pseudosnap_test_fixtures.h"
#include "support/scoped_mount.h"

namespace {

using pseudosnap_test::Handler;
using pseudosnap_test::PseudoSnapTest;

databrowse::ViewIdComponentIdToAfileMap Entry(const std::string& component, int64_t afile, uint64_t group,
                                              uint64_t flags, uint64_t value) {
  databrowse::PathToAfileMap path;
  path.setstring(1, 1, "/");
  path.setint64(2, 5, afile);
  path.setuint64(3, 6, group);
  path.setuint64(4, 7, flags);
  path.setuint64(5, 8, value);
  databrowse::ViewIdComponentIdToAfileMap entry;
  entry.setstring(2, 5, component);
  entry.addlistobject(3, 9, path);
  return entry;
}

class CarryForwardFilesTest : public PseudoSnapTest {
 protected:
  void SetUp() override {
    PseudoSnapTest::SetUp();
    ASSERT_FALSE(Initialize(handler_).IsError());
  }

  Handler handler_;
};

TEST_F(CarryForwardFilesTest, CarryForwardListRoundTrip) {
  handler_.m_GuidToAfileMapVector = {Entry("C1", 7, 3, 532, 1700000000), Entry("C2", -2, 0, 4, 5)};
  const std::string expected = "7|3|532|1700000000|C1\n-2|0|4|5|C2\n";
  ASSERT_FALSE(handler_.SaveCarryFwdMapToDisk().IsError());
  EXPECT_EQ(testing_support::ReadFile(Path("101_IdxCarryFwd")), expected);
  // A file of an earlier attempt is replaced.
  testing_support::WriteFile(Path("101_IdxCarryFwd"), "9|9|9|9|OLD\n");
  ASSERT_FALSE(handler_.SaveCarryFwdMapToDisk().IsError());
  EXPECT_EQ(testing_support::ReadFile(Path("101_IdxCarryFwd")), expected);
  EXPECT_FALSE(testing_support::FileExists(Path("101_IdxCarryFwd.tmp")));

  // Blank lines and lines of too few fields load nothing.
  testing_support::WriteFile(Path("101_IdxCarryFwd"), "7|3|532|1700000000|C1\n\n1|2|3\n");
  ASSERT_FALSE(handler_.LoadCarryFwdMapFromDisk().IsError());
  ASSERT_EQ(handler_.m_GuidToAfileMapVector.size(), 1u);
  const databrowse::ViewIdComponentIdToAfileMap& entry = handler_.m_GuidToAfileMapVector[0];
  EXPECT_EQ(entry.getstring(2, 5), "C1");
  EXPECT_FALSE(entry.isSet(1, 1));
  const std::vector<CNMessageBase> paths = entry.getlistobject(3, 9);
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0].getstring(1, 1), "/");
  EXPECT_EQ(paths[0].getint64(2, 5), 7);
  EXPECT_EQ(paths[0].getuint64(3, 6), 3u);
  EXPECT_EQ(paths[0].getuint64(4, 7), 532u);
  EXPECT_EQ(paths[0].getuint64(5, 8), 1700000000u);
  EXPECT_TRUE(log_.Contains("fewer than 5 fields"));
}

TEST_F(CarryForwardFilesTest, ArchiveFileMapRoundTrip) {
  handler_.m_mSnapToPseudoArchFileMap = {{502, 12}, {501, 11}};
  ASSERT_FALSE(handler_.SaveSnapAFilePseudoAFileMapToCache().IsError());
  EXPECT_EQ(testing_support::ReadFile(Path("101_SnapAFilePseudoAFileMap.kzf")), "501|11\n502|12\n");
  // The first run's map stays.
  handler_.m_mSnapToPseudoArchFileMap = {{501, 21}};
  ASSERT_FALSE(handler_.SaveSnapAFilePseudoAFileMapToCache().IsError());
  EXPECT_EQ(testing_support::ReadFile(Path("101_SnapAFilePseudoAFileMap.kzf")), "501|11\n502|12\n");

  ::unlink(Path("101_SnapAFilePseudoAFileMap.kzf").c_str());
  handler_.m_mSnapToPseudoArchFileMap.clear();
  CQiError error = handler_.SaveSnapAFilePseudoAFileMapToCache();
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1627));
  EXPECT_NE(error.AsString().find("Snap job archive file to pseudo snap archive file map empty"), std::string::npos);

  error = handler_.LoadSnapAFilePseudoAFileMapFromCache();
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 2)) << error.AsString();
  EXPECT_NE(error.AsString().find("Cannot open file [" + Path("101_SnapAFilePseudoAFileMap.kzf") +
                                  "] for reading snap/pseudo archfile mapping:2"),
            std::string::npos);

  testing_support::WriteFile(Path("101_SnapAFilePseudoAFileMap.kzf"), "5|50\n5|51\n\n6|60\n");
  ASSERT_FALSE(handler_.LoadSnapAFilePseudoAFileMapFromCache().IsError());
  EXPECT_EQ(handler_.m_mSnapToPseudoArchFileMap, (std::map<int, int>{{5, 50}, {6, 60}}));
  // A map already filled is not read again.
  testing_support::WriteFile(Path("101_SnapAFilePseudoAFileMap.kzf"), "8\n9|90\n");
  ASSERT_FALSE(handler_.LoadSnapAFilePseudoAFileMapFromCache().IsError());
  EXPECT_EQ(handler_.m_mSnapToPseudoArchFileMap.count(9), 0u);
  // A line of one field is skipped with a log line.
  handler_.m_mSnapToPseudoArchFileMap.clear();
  ASSERT_FALSE(handler_.LoadSnapAFilePseudoAFileMapFromCache().IsError());
  EXPECT_EQ(handler_.m_mSnapToPseudoArchFileMap, (std::map<int, int>{{9, 90}}));
  EXPECT_TRUE(log_.Contains("fewer than 2 fields"));
}

// A full file system fails both saves with its errno and leaves neither the
// file nor its temporary.
TEST_F(CarryForwardFilesTest, FullFileSystemFailsBothSaves) {
  testing_support::ScopedMount tmpfs("tmpfs", "tmpfs", "size=64k");
  BLB_SKIP_WITHOUT_MOUNT(tmpfs);
  {
    const std::string filler = tmpfs.Path() + "/filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
  }
  handler_.m_sSubClientDir = tmpfs.Path();
  handler_.m_GuidToAfileMapVector = {Entry("C1", 7, 3, 532, 1700000000)};
  handler_.m_mSnapToPseudoArchFileMap = {{501, 503}};
  for (CQiError error : {handler_.SaveCarryFwdMapToDisk(), handler_.SaveSnapAFilePseudoAFileMapToCache()})
    EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 28)) << error.AsString();
  for (const char* name : {"101_IdxCarryFwd", "101_SnapAFilePseudoAFileMap.kzf"}) {
    EXPECT_FALSE(testing_support::FileExists(tmpfs.Path() + "/" + name)) << name;
    EXPECT_FALSE(testing_support::FileExists(tmpfs.Path() + "/" + name + ".tmp")) << name;
  }
}

}  // namespace
