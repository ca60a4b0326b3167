// 7-Zip archives through libarchive, cross-checked with the 7z command, and
// extraction that never writes outside its folder.
#include "platform/compress/c7zip.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <vector>

#include "platform/process/shell_quote.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"
#include "support/run_command.h"
#include "support/seven_zip.h"
#include "support/test_platform.h"

namespace {

using testing_support::ArchiveMember;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WriteFile;

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& b : bytes) b = static_cast<char>(random());
  return bytes;
}

// Every entry below a folder, by path relative to it (sorted).
std::string Tree(const std::string& folder) {
  return testing_support::CommandOutput("cd " + platform::ShellQuote(folder) + " && find . -mindepth 1 | sort");
}

class C7zipTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& relative) { return state_.Sub(relative); }
  testing_support::ScopedStateDir state_;
  C7zip zip_{"", C7zip::kFormat7z};
};

TEST_F(C7zipTest, ArchivesReadBackByThe7zCommandAndTheOtherWay) {
  ASSERT_FALSE(zip_.Initialize().IsError());
  const std::string big = RandomBytes(1 << 20, 1), small = "cumulative\n";
  WriteFile(Path("in/COMP1_CumulativeV2.bmp"), big);
  WriteFile(Path("in/deep/other"), small);
  WriteFile(Path("in/empty"), "");
  CQiError err = zip_.AddFilesToArchive(Path("out/a.7z"),
                                        {Path("in/COMP1_CumulativeV2.bmp"), Path("in/deep/other"), Path("in/empty")},
                                        {{Path("in/deep/other"), "renamed"}});
  ASSERT_FALSE(err.IsError()) << err.AsString();
  // Bare names (or the mapped one) and nothing else beside the archive.
  EXPECT_EQ(Tree(Path("out")), "./a.7z\n");
  EXPECT_EQ(testing_support::CommandOutput("7z l -slt " + Path("out/a.7z") + " | sed -n 's/^Path = //p' | sort"),
            Path("out/a.7z") + "\nCOMP1_CumulativeV2.bmp\nempty\nrenamed\n");
  ASSERT_EQ(testing_support::RunCommand("7z x -bd -y -o" + Path("x") + " " + Path("out/a.7z") + " >/dev/null"), 0);
  EXPECT_EQ(ReadFile(Path("x/COMP1_CumulativeV2.bmp")), big);
  EXPECT_EQ(ReadFile(Path("x/renamed")), small);
  EXPECT_EQ(ReadFile(Path("x/empty")), "");

  // The other way, into a folder that holds an older file of the same name
  // and a subfolder the archive also names.
  WriteFile(Path("made/sub/inner"), small);
  WriteFile(Path("made/COMP1_CumulativeV2.bmp"), big);
  ASSERT_EQ(testing_support::SevenZipAdd(Path("made"), Path("made.7z"), {"COMP1_CumulativeV2.bmp", "sub"}), 0);
  WriteFile(Path("folder/COMP1_CumulativeV2.bmp"), "old");
  WriteFile(Path("folder/sub/kept"), "kept");
  err = zip_.ExtractFilesFromArchive(Path("made.7z"), Path("folder"));
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(Tree(Path("folder")), "./COMP1_CumulativeV2.bmp\n./sub\n./sub/inner\n./sub/kept\n");
  EXPECT_EQ(ReadFile(Path("folder/COMP1_CumulativeV2.bmp")), big);
  EXPECT_EQ(ReadFile(Path("folder/sub/inner")), small);
  // Ours read back by ourselves, into a folder not there yet.
  ASSERT_FALSE(zip_.ExtractFilesFromArchive(Path("out/a.7z"), Path("new/folder")).IsError());
  EXPECT_EQ(ReadFile(Path("new/folder/renamed")), small);
}

TEST_F(C7zipTest, MembersThatWouldLandOutsideTheFolderAreRefused) {
  ASSERT_TRUE(platform::MakeDirectories(Path("jr/target")));
  ASSERT_TRUE(platform::MakeDirectories(Path("outside")));
  ASSERT_EQ(::symlink(Path("outside").c_str(), Path("jr/target/through").c_str()), 0);
  const std::vector<std::vector<ArchiveMember>> hostile = {
      {{"../../evil", "x", ""}},         {{"fine", "x", ""}, {"sub/../../../evil", "x", ""}},
      {{Path("outside/evil"), "x", ""}}, {{"link", "", Path("outside")}},
      {{"through/evil", "x", ""}},
  };
  for (size_t i = 0; i < hostile.size(); ++i) {
    const std::string archive = Path("hostile" + std::to_string(i) + ".7z");
    testing_support::WriteRawSevenZip(archive, hostile[i]);
    CQiError err = zip_.ExtractFilesFromArchive(archive, Path("jr/target"));
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774)) << i << ": " << err.AsString();
    EXPECT_EQ(Tree(Path("outside")), "") << i;
    EXPECT_FALSE(FileExists(Path("evil")) || FileExists(Path("jr/evil"))) << i;
  }
  // The member before the hostile one is in; nothing else was made.
  EXPECT_EQ(Tree(Path("jr")), "./target\n./target/fine\n./target/through\n");
}

TEST_F(C7zipTest, FailuresAreReportedAndLeaveNoArchiveBehind) {
  WriteFile(Path("in/a"), "a");
  WriteFile(Path("in/sub/a"), "other a");
  WriteFile(Path("out/a.7z"), "previous archive");
  struct Case {
    std::list<std::string> files;
    std::map<std::string, std::string> names;
    long long code;
  };
  const std::vector<Case> refused = {
      {{Path("in/a"), Path("in/sub/a")}, {}, 774},      // two members named "a"
      {{Path("in/a")}, {{Path("in/a"), "../a"}}, 774},  // a name leading outside
      {{Path("in/sub")}, {}, 774},                      // a folder
      {{Path("in/a"), Path("in/absent")}, {}, 2},       // a file that is not there
  };
  for (const Case& c : refused) {
    CQiError err = zip_.AddFilesToArchive(Path("out/a.7z"), c.files, c.names);
    EXPECT_EQ(FXErrorUtil::GetCode(err), c.code) << err.AsString();
    EXPECT_EQ(ReadFile(Path("out/a.7z")), "previous archive");
    EXPECT_EQ(Tree(Path("out")), "./a.7z\n");
  }
  C7zip other("", 3);
  EXPECT_TRUE(FXErrorUtil::IsWin32(other.Initialize(), 50));
  EXPECT_TRUE(FXErrorUtil::IsWin32(other.AddFilesToArchive(Path("out/b.7z"), {Path("in/a")}, {}), 50));

  EXPECT_TRUE(FXErrorUtil::IsErrNo(zip_.ExtractFilesFromArchive(Path("absent.7z"), Path("x")), 2));
  EXPECT_TRUE(FXErrorUtil::IsWin32(zip_.ExtractFilesFromArchive(Path("out/a.7z"), Path("x")), 774));
  EXPECT_EQ(Tree(Path("x")), "");
  platform::FaultTable::Set("C7zip::ExtractFilesFromArchive", 5);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(zip_.ExtractFilesFromArchive(Path("out/a.7z"), Path("x")), 5));
}

}  // namespace
