#include "tracking/volume_list.h"

#include <glob.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/harness/sim_harness.h"
#include "platform/sim/fs_util.h"
#include "support/test_platform.h"
#include "tracking/driver_cache_folder.h"
#include "tracking/subclient_cache.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WriteFile;

// Files left beside the list under a temporary name of it.
size_t TemporariesBeside(const std::string& path) {
  glob_t found{};
  const int result = ::glob((path + ".tmp*").c_str(), 0, nullptr, &found);
  const size_t count = result == 0 ? found.gl_pathc : 0;
  ::globfree(&found);
  return count;
}

}  // namespace

TEST(VolumeList, AddSaveLoadAndLookups) {
  testing_support::ScopedStateDir state;
  std::string folder;
  KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(folder);
  CVolumeList list;
  ASSERT_FALSE(list.Initialize(folder).IsError());
  const std::string file = folder + "/BLKVolumeMoniterList.kzf";
  EXPECT_EQ(list.GetFilePath(), file);

  const VolumeConfig rec(2, 5, 7, "/dev/sdb1", "ID1", 0, 0, 0, 0, "");
  ASSERT_FALSE(list.Add(rec, true).IsError());
  EXPECT_EQ(ReadFile(file), "2|5|7|/dev/sdb1|ID1|0|0|0|0|\n");

  VolumeConfig found;
  CQiError err = list.Get(2, 5, 8, "/dev/sdb1", "ID1", found);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 1168));
  EXPECT_EQ(err.GetMessage(), "Volume config not found in list, vcId=2, clientId=5, appId=8, device=/dev/sdb1");
  err = list.Get(2, 6, 7, "ID1", found);
  EXPECT_EQ(err.GetMessage(), "Volume config not found in list, vcId=2, clientId=6, appId=7, device=ID1");
  ASSERT_FALSE(list.Get(2, 5, 7, "/dev/sdb1", "ID1", found).IsError());
  EXPECT_EQ(found, rec);

  // A second subclient of the same device, a device known by id only, blank
  // and broken lines: a new list reads the valid lines back in order.
  WriteFile(file, ReadFile(file) + "2|5|8|/dev/sdb1|ID1|0|0|0|0|\n\nbroken|line\n2|5|9|/dev/other|ID1|0|0|0|0|\n");
  CVolumeList loaded;
  ASSERT_FALSE(loaded.Initialize(folder).IsError());
  ASSERT_FALSE(loaded.Load().IsError());
  ASSERT_EQ(loaded.GetList().size(), 3u);
  std::list<VolumeConfig> matches;
  ASSERT_FALSE(loaded.Get("/dev/sdb1", "nope", matches).IsError());
  EXPECT_EQ(matches.size(), 2u);
  ASSERT_FALSE(loaded.Get("/dev/none", "ID1", matches).IsError());
  EXPECT_EQ(matches.size(), 3u);
  ASSERT_FALSE(loaded.Get(2, 5, 9, "ID1", found).IsError());
  EXPECT_EQ(found.Device(), "/dev/other");
  EXPECT_TRUE(loaded.IsExists(rec));

  // Add without save duplicates; Delete drops the first equal entry only.
  ASSERT_FALSE(loaded.Add(rec, false).IsError());
  ASSERT_FALSE(loaded.Delete(rec).IsError());
  EXPECT_TRUE(loaded.IsExists(rec));
  EXPECT_EQ(loaded.GetList().front().AppId(), 8);
  ASSERT_FALSE(loaded.Delete(VolumeConfig(1, 1, 1, "x", "y", 0, 0, 0, 0, "")).IsError());
  EXPECT_EQ(loaded.GetList().size(), 3u);

  // Without a file, Load keeps the list in memory; an empty file empties it.
  ASSERT_EQ(::unlink(file.c_str()), 0);
  ASSERT_FALSE(loaded.Load().IsError());
  EXPECT_EQ(loaded.GetList().size(), 3u);
  WriteFile(file, "");
  ASSERT_FALSE(loaded.Load().IsError());
  EXPECT_TRUE(loaded.GetList().empty());
}

TEST(VolumeList, UpdatePrunesAndCleansUpCaches) {
  testing_support::ScopedStateDir state;
  platform::ClientRecord client;
  client.id = 5;
  client.name = "client5";
  client.jobResultsDir = state.Sub("jr5");
  ASSERT_TRUE(blbsim::AddClient(client));
  std::string folder;
  KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(folder);
  CVolumeList list;
  ASSERT_FALSE(list.Initialize(folder).IsError());

  // An entry recorded under a link to a device survives when the device
  // itself is current.
  const std::string device = state.Sub("disk");
  const std::string link = state.Sub("disk-link");
  WriteFile(device, "");
  ASSERT_EQ(::symlink(device.c_str(), link.c_str()), 0);
  const VolumeConfig linked(2, 5, 6, link, "ID0", 0, 0, 0, 0, "");
  const VolumeConfig rec(2, 5, 7, "/dev/sdb1", "ID1", 0, 0, 0, 0, "");
  ASSERT_FALSE(list.Add(linked, false).IsError());
  ASSERT_FALSE(list.Add(rec, true).IsError());
  CSubclientCache cache;
  ASSERT_FALSE(cache.Initialize(4, rec).IsError());
  ASSERT_FALSE(cache.ResetBitmap(-1).IsError());
  const std::string cacheFile = state.Sub("jr5/.BlockLevel/5_7/ID1.bmp");
  ASSERT_TRUE(FileExists(cacheFile));

  ASSERT_FALSE(list.Update({VolumeConfig(2, 5, 6, device, "ID0", 0, 0, 0, 0, "")}).IsError());
  ASSERT_EQ(list.GetList().size(), 1u);
  EXPECT_EQ(list.GetList().front().Device(), link);
  EXPECT_FALSE(FileExists(cacheFile));

  // An empty current list drops the rest, with their subclient caches.
  CSubclientCache linkedCache;
  ASSERT_FALSE(linkedCache.Initialize(4, linked).IsError());
  ASSERT_FALSE(linkedCache.ResetBitmap(0).IsError());
  const std::string linkedCacheFile = state.Sub("jr5/.BlockLevel/5_6/ID0.bmp");
  ASSERT_TRUE(FileExists(linkedCacheFile));
  ASSERT_FALSE(list.Update({}).IsError());
  EXPECT_TRUE(list.GetList().empty());
  EXPECT_FALSE(FileExists(linkedCacheFile));
  // Update does not save; the caller does.
  EXPECT_EQ(ReadFile(list.GetFilePath()), "2|5|6|" + link + "|ID0|0|0|0|0|\n2|5|7|/dev/sdb1|ID1|0|0|0|0|\n");
  ASSERT_FALSE(list.Save().IsError());
  EXPECT_EQ(ReadFile(list.GetFilePath()), "");
}

TEST(VolumeList, FailedSaveLeavesThePreviousList) {
  testing_support::ScopedStateDir state;
  std::string folder;
  KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(folder);
  CVolumeList list;
  ASSERT_FALSE(list.Initialize(folder).IsError());
  const VolumeConfig rec(2, 5, 7, "/dev/sdb1", "ID1", 0, 0, 0, 0, "");
  ASSERT_FALSE(list.Add(rec, true).IsError());
  const std::string before = ReadFile(list.GetFilePath());

  for (const char* call : {"FXFile::KZWriteFile", "FXFile::KZFlushFile", "rename_utf", "FXFile::KZCreateFile"}) {
    SCOPED_TRACE(call);
    platform::FaultTable::Set(call, 28, false, 1);
    CQiError err = list.Add(VolumeConfig(2, 5, 8, "/dev/sdc1", "ID2", 0, 0, 0, 0, ""), true);
    platform::FaultTable::ClearAll();
    EXPECT_TRUE(err.IsError());
    EXPECT_EQ(ReadFile(list.GetFilePath()), before);
    EXPECT_EQ(TemporariesBeside(list.GetFilePath()), 0u);
  }
  ASSERT_FALSE(list.Save().IsError());
  CVolumeList reread;
  ASSERT_FALSE(reread.Initialize(folder).IsError());
  ASSERT_FALSE(reread.Load().IsError());
  EXPECT_EQ(reread.GetList().size(), 5u);
}

TEST(VolumeList, TwoProcessesSavingAtOnceLeaveOneWholeList) {
  testing_support::ScopedStateDir state;
  std::string folder;
  KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(folder);
  // Two lists of different lengths: a mix of both shows as neither.
  std::string expected[2];
  pid_t savers[2];
  for (int which = 0; which < 2; ++which) {
    CVolumeList list;
    ASSERT_FALSE(list.Initialize(folder).IsError());
    for (int i = 0; i < (which == 0 ? 300 : 500); ++i)
      list.GetList().push_back(VolumeConfig(2, 5, 7 + which, "/dev/sd" + std::to_string(i), "ID", 0, 0, 0, 0, ""));
    for (const VolumeConfig& record : list.GetList()) expected[which] += record.Serialize();
    savers[which] = ::fork();
    if (savers[which] == 0) {
      bool ok = true;
      for (int round = 0; round < 100; ++round) ok = !list.Save().IsError() && ok;
      ::_exit(ok ? 0 : 1);
    }
  }
  // Every look at the list while they save finds one of the two whole.
  const std::string path = folder + "/" + CVolumeList::kFileName;
  int mixed = 0;
  for (int look = 0; look < 2000; ++look) {
    std::string seen;
    if (!platform::ReadWholeFile(path, seen)) continue;  // not saved yet
    if (seen != expected[0] && seen != expected[1]) ++mixed;
  }
  EXPECT_EQ(mixed, 0);
  for (int which = 0; which < 2; ++which) {
    int status = 0;
    ASSERT_EQ(::waitpid(savers[which], &status, 0), savers[which]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::string saved = ReadFile(path);
  EXPECT_TRUE(saved == expected[0] || saved == expected[1]) << saved.size() << " bytes";
  EXPECT_EQ(TemporariesBeside(path), 0u);
}
