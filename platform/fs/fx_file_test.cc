#include "platform/fs/fx_file.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/fs/qi_directory.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

using testing_support::ReadFile;
using testing_support::ScopedStateDir;
using testing_support::WriteFile;

TEST(FXFile, DispositionsReadWriteAndSize) {
  ScopedStateDir state;
  const std::string path = state.Sub("f.bin");
  auto_handle handle;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(FXFile::KZCreateFile(path.c_str(), fxfile::kGenericRead, fxfile::kShareRead,
                                                        nullptr, fxfile::kOpenExisting, fxfile::kAttributeNormal, handle),
                                   2));
  ASSERT_FALSE(FXFile::KZCreateFile(path.c_str(), fxfile::kGenericWrite, fxfile::kShareRead, nullptr,
                                    fxfile::kCreateAlways, fxfile::kAttributeNormal, handle).IsError());
  uint64_t done = 0;
  ASSERT_FALSE(FXFile::KZWriteFile(handle.get(), "abcdef", 6, done).IsError());
  EXPECT_EQ(done, 6u);
  handle.reset();

  // Open-always keeps the content; create-always truncates it.
  ASSERT_FALSE(FXFile::KZCreateFile(path.c_str(), fxfile::kGenericRead | fxfile::kGenericWrite, 0, nullptr,
                                    fxfile::kOpenAlways, 128, handle).IsError());
  uint64_t size = 0;
  ASSERT_FALSE(FXFile::KZGetFileSize(handle.get(), size).IsError());
  EXPECT_EQ(size, 6u);
  char buffer[16] = {};
  ASSERT_FALSE(FXFile::KZReadFile(handle.get(), buffer, sizeof buffer, done).IsError());
  EXPECT_EQ(done, 6u);  // the end of the file stops the read without error
  EXPECT_EQ(std::string(buffer, 6), "abcdef");
  ASSERT_FALSE(FXFile::KZCreateFile(path.c_str(), fxfile::kGenericWrite, 0, nullptr, fxfile::kCreateAlways, 128,
                                    handle).IsError());
  ASSERT_FALSE(FXFile::KZGetFileSize(path.c_str(), size).IsError());
  EXPECT_EQ(size, 0u);

  platform::FaultTable::Set("FXFile::KZWriteFile", 28);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(FXFile::KZWriteFile(handle.get(), "x", 1, done), 28));
}

TEST(FXFile, CopyRemoveAndFileNameWrappers) {
  ScopedStateDir state;
  const std::string from = state.Sub("a.txt");
  const std::string to = state.Sub("sub/b.txt");
  WriteFile(from, std::string(3 << 20, 'z'));  // crosses the copy buffer size
  ASSERT_FALSE(FXFile::CreateFoldersIteratively(state.Sub("sub").c_str()).IsError());
  ASSERT_FALSE(FXFile::KZCopyFile(from.c_str(), to.c_str(), false).IsError());
  EXPECT_EQ(ReadFile(to), ReadFile(from));
  EXPECT_FALSE(FXFile::DoesFileExist((to + ".tmp").c_str()));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(FXFile::KZCopyFile(from.c_str(), to.c_str(), true), EEXIST));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(FXFile::KZCopyFile(state.Sub("none").c_str(), to.c_str(), false), 2));

  EXPECT_EQ(rename_utf(to.c_str(), (to + "2").c_str()), 0);
  EXPECT_FALSE(FXFile::RemoveFile((to + "2").c_str()).IsError());
  EXPECT_TRUE(FXFile::RemoveFile((to + "2").c_str()).IsError());
  platform::FaultTable::Set("unlink_utf", 13);
  EXPECT_EQ(unlink_utf(from.c_str()), -1);
  EXPECT_EQ(errno, 13);
  EXPECT_TRUE(FXFile::DoesFileExist(from.c_str()));
}

TEST(CQiDirectory, ListsWalksAndCreates) {
  ScopedStateDir state;
  const std::string dir = state.Sub("list");
  ASSERT_TRUE(FXErrorUtil::IsErrNo(CQiDirectory::Create((dir + "/a/b").c_str(), false), 2));
  ASSERT_FALSE(CQiDirectory::Create((dir + "/a/b").c_str(), true).IsError());
  ASSERT_FALSE(CQiDirectory::Create((dir + "/a/b").c_str(), true).IsError());  // existing is fine
  WriteFile(dir + "/5_x.bmp", "");
  WriteFile(dir + "/12_y.bmp", "");
  WriteFile(dir + "/notes.txt", "");

  // Listings come in name order, whatever order the file system keeps, and
  // a listing opened again starts over.
  CQiDirectory listing;
  for (int round = 0; round < 2; ++round) {
    ASSERT_FALSE(listing.Open(dir.c_str(), "*.bmp", true).IsError());
    std::vector<std::string> names;
    SQiDirEntry entry;
    bool end = false;
    while (!listing.GetEntry(entry, end).IsError() && !end) names.push_back(entry.m_sName.c_str());
    EXPECT_EQ(names, (std::vector<std::string>{"12_y.bmp", "5_x.bmp"}));
    EXPECT_FALSE(listing.GetEntry(entry, end).IsError());
    EXPECT_TRUE(end);
  }
  EXPECT_TRUE(listing.Open(state.Sub("missing").c_str(), "*", true).IsError());

  struct Seen {
    std::vector<std::string> entries;
  } seen;
  auto callback = [](void* context, const char*, const char* name, bool isFolder) -> CQiError {
    static_cast<Seen*>(context)->entries.push_back(std::string(name) + (isFolder ? "/" : ""));
    if (std::string(name) == "5_x.bmp") return FXErrorUtil::ErrorErrNo(FXCODELOC, 995, "stop");
    return CQiError();
  };
  CQiError walked = CQiDirectory::Walk(dir.c_str(), &seen, 0, false, callback);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(walked, 995));
  EXPECT_EQ(seen.entries, (std::vector<std::string>{"12_y.bmp", "5_x.bmp"}));  // sorted, stopped at the failure

  uint64_t total = 0;
  uint64_t free = 0;
  ASSERT_FALSE(CQiDirectory::GetSpaceUsage(dir.c_str(), total, free).IsError());
  EXPECT_GT(total, 0u);
  EXPECT_TRUE(FXPath::DoesPathExist(dir));
  EXPECT_TRUE(FXPath::IsSamePathAs(dir + "/", dir));
  FXString parent, name;
  ASSERT_FALSE(FXPath::SplitParentPath("/jr/x.bmp", parent, name).IsError());
  EXPECT_EQ(parent, "/jr");
  EXPECT_EQ(name, "x.bmp");
  EXPECT_TRUE(FXPath::SplitParentPath("x.bmp", parent, name).IsError());
}
