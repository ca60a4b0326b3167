#include "tracking/subclient_cache.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/harness/sim_harness.h"
#include "support/test_platform.h"
#include "tracking/driver_cache.h"
#include "tracking/driver_cache_folder.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::WriteFile;

// Client 5 with its own job-results directory, and the record of the checks.
struct CacheFixture {
  testing_support::ScopedStateDir state;
  std::string jobResults = state.Sub("jr5");
  VolumeConfig record{2, 5, 7, "/dev/sdb1", "ID1", 0, 0, 0, 0, ""};
  std::string folder = jobResults + "/.BlockLevel/5_7";
  std::string bitmap = folder + "/ID1.bmp";

  CacheFixture() {
    platform::ClientRecord client;
    client.id = 5;
    client.name = "client5";
    client.jobResultsDir = jobResults;
    EXPECT_TRUE(blbsim::AddClient(client));
  }
};

}  // namespace

TEST(SubclientCache, ResetHooksAndMerges) {
  CacheFixture f;
  CSubclientCache cache;
  ASSERT_FALSE(cache.Initialize(4, f.record).IsError());
  EXPECT_FALSE(cache.DoesBitmapExists());
  ASSERT_FALSE(cache.ResetBitmap(-1).IsError());
  EXPECT_EQ(ReadFile(f.bitmap), std::string(4, '\xFF'));
  EXPECT_TRUE(cache.DoesBitmapExists());
  std::string name;
  cache.GetBitmapFileName(name);
  EXPECT_EQ(name, f.bitmap);

  bool existed = true;
  ASSERT_FALSE(cache.CreateHook(existed).IsError());
  EXPECT_FALSE(existed);
  EXPECT_EQ(ReadFile(f.folder + "/ID1.hook"), "");
  ASSERT_FALSE(cache.CreateHook(existed).IsError());
  EXPECT_TRUE(existed);
  ASSERT_FALSE(cache.DeleteHook().IsError());
  EXPECT_FALSE(FileExists(f.folder + "/ID1.hook"));

  // Buffers of different sizes are not merged.
  unsigned char first[4] = {1, 2, 3, 4};
  const unsigned char second[5] = {0xF0, 0xF0, 0xF0, 0xF0, 0xF0};
  CQiError err = cache.MergeBitmap(first, 4, second, 5);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774));
  EXPECT_EQ(err.GetMessage(), " Src and dest bitmap sizes are not matching, SrcSize=4, DstSize=5, can't merge.");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(first), 4), std::string("\x01\x02\x03\x04", 4));

  // A reset removes a longer old file first: exactly bitmap-size zero bytes.
  WriteFile(f.bitmap, std::string(9, '\x77'));
  ASSERT_FALSE(cache.ResetBitmap(0).IsError());
  EXPECT_EQ(ReadFile(f.bitmap), std::string(4, '\0'));

  // A driver bitmap is OR-ed into the cache file; the driver's stays as it was.
  auto_ptr_array<unsigned char> driver(new unsigned char[4]{0x01, 0x00, 0x00, 0x80});
  ASSERT_FALSE(cache.MergeBitmap(driver).IsError());
  driver[1] = 0x10;
  ASSERT_FALSE(cache.MergeBitmap(driver).IsError());
  EXPECT_EQ(ReadFile(f.bitmap), std::string("\x01\x10\x00\x80", 4));
  EXPECT_EQ(driver[0], 0x01);
  auto_ptr_array<unsigned char> read;
  ASSERT_FALSE(cache.ReadBitmap(read).IsError());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(read.get()), 4), std::string("\x01\x10\x00\x80", 4));

  // Into a missing cache file: fails and creates nothing.
  ASSERT_EQ(::unlink(f.bitmap.c_str()), 0);
  err = cache.MergeBitmap(driver);
  EXPECT_TRUE(err.IsError());
  EXPECT_NE(err.AsString().find("Failed to read bitmap from file, file=" + f.bitmap), std::string::npos);
  EXPECT_FALSE(FileExists(f.bitmap));
}

TEST(SubclientCache, ShortFilesSavesAndSizes) {
  CacheFixture f;
  CSubclientCache cache;
  ASSERT_FALSE(cache.Initialize(4, f.record).IsError());

  // A cache file shorter than the bitmap: the missing tail counts as changed.
  WriteFile(f.bitmap, std::string("\x01\x02", 2));
  testing_support::CapturingLog log;
  auto_ptr_array<unsigned char> read;
  ASSERT_FALSE(cache.ReadBitmap(read).IsError());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(read.get()), 4), std::string("\x01\x02\xFF\xFF", 4));
  EXPECT_TRUE(log.Contains("Something wrong, read=2, actual=4"));

  // A failed write of the cache is an error, not a logged success.
  platform::FaultTable::Set("FXFile::KZWriteFile", 28, false, 1);
  EXPECT_TRUE(cache.ResetBitmap(0).IsError());
  platform::FaultTable::ClearAll();

  // Save to a missing destination copies the cache file as it is.
  WriteFile(f.bitmap, std::string("\x01\x00\x00\x08\x55", 5));
  const std::string destination = f.state.Sub("job/vol.bmp");
  WriteFile(f.state.Sub("job/keep"), "");
  ASSERT_FALSE(cache.SaveBitmapToFile(destination).IsError());
  EXPECT_EQ(ReadFile(destination), std::string("\x01\x00\x00\x08\x55", 5));
  // To an existing one: OR over the bitmap size, a longer tail kept.
  WriteFile(destination, std::string("\x10\x00\x20\x00\x99\x99", 6));
  ASSERT_FALSE(cache.SaveBitmapToFile(destination).IsError());
  EXPECT_EQ(ReadFile(destination), std::string("\x11\x00\x20\x08\x99\x99", 6));

  // Size: the one given, else the cache file's length.
  uint64_t size = 0;
  ASSERT_FALSE(cache.GetBitmapSize(size).IsError());
  EXPECT_EQ(size, 4u);
  CSubclientCache unsized;
  ASSERT_FALSE(unsized.Initialize(0, f.record).IsError());
  size = 0;
  ASSERT_FALSE(unsized.GetBitmapSize(size).IsError());
  EXPECT_EQ(size, 5u);

  // Cleanup removes the bitmap only; a second one finds nothing and succeeds.
  bool existed = false;
  ASSERT_FALSE(cache.CreateHook(existed).IsError());
  ASSERT_FALSE(CSubclientCache::Cleanup(f.record).IsError());
  EXPECT_FALSE(FileExists(f.bitmap));
  EXPECT_TRUE(FileExists(f.folder + "/ID1.hook"));
  EXPECT_FALSE(CSubclientCache::Cleanup(f.record).IsError());
  EXPECT_TRUE(log.Contains("Failed to remove bitmap file, ConfigDir=" + f.bitmap));
}

TEST(SubclientCache, JobResultsLookupAndUnsafeIds) {
  CacheFixture f;
  // An unknown client falls back to the physical machine's client, which a
  // freshly laid out state directory names.
  VolumeConfig stranger(2, 99, 7, "/dev/sdc", "ID2", 0, 0, 0, 0, "");
  CSubclientCache cache;
  ASSERT_FALSE(cache.Initialize(4, stranger).IsError());
  ASSERT_FALSE(cache.ResetBitmap(0).IsError());
  EXPECT_TRUE(FileExists(f.state.Sub("jobresults/.BlockLevel/99_7/ID2.bmp")));

  ASSERT_TRUE(blbsim::RemoveRegistryValue("Base", "sPhysicalMachine"));
  CSubclientCache lost;
  CQiError err = lost.Initialize(4, stranger);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774));
  EXPECT_EQ(err.GetMessage(), "Failed to retrieve job results directory, ClientId=99, ErrorCode=-1");
  // Such a cache acts nowhere, least of all in the working directory.
  EXPECT_TRUE(lost.ResetBitmap(-1).IsError());
  bool existed = false;
  EXPECT_TRUE(lost.CreateHook(existed).IsError());
  EXPECT_FALSE(FileExists("ID2.bmp"));
  EXPECT_TRUE(FXErrorUtil::IsWin32(CSubclientCache::Cleanup(stranger), 774));

  // A device id that would leave the folder is refused.
  VolumeConfig escaping(2, 5, 7, "/dev/sdb1", "../../escape", 0, 0, 0, 0, "");
  CSubclientCache bad;
  ASSERT_FALSE(bad.Initialize(4, escaping).IsError());
  EXPECT_TRUE(FXErrorUtil::IsWin32(bad.ResetBitmap(-1), 774));
  EXPECT_FALSE(FileExists(f.jobResults + "/escape.bmp"));
}

TEST(DriverCache, HooksAndTheCacheFolder) {
  testing_support::ScopedStateDir state;
  std::string folder;
  KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(folder);
  EXPECT_EQ(folder, state.Sub("install") + "/KZBF/cache");
  // An empty value counts as not set.
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "sKZBFSNAPPART", ""));
  KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(folder);
  EXPECT_EQ(folder, state.Sub("install") + "/KZBF/cache");
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "sKZBFSNAPPART", state.Sub("snappart")));
  KzDeviceConfigHandler_UNIX::GetDriverCacheFolder(folder);
  EXPECT_EQ(folder, state.Sub("snappart"));

  WriteFile(folder + "/x", "");
  CDriverCache driver(folder);
  bool existed = true;
  ASSERT_FALSE(driver.CreateHook("ID1", existed).IsError());
  EXPECT_FALSE(existed);
  WriteFile(folder + "/ID1.hook", "kept");
  ASSERT_FALSE(driver.CreateHook("ID1", existed).IsError());
  EXPECT_TRUE(existed);
  EXPECT_EQ(ReadFile(folder + "/ID1.hook"), "kept");
  ASSERT_FALSE(driver.DeleteHook("ID1").IsError());
  EXPECT_FALSE(FileExists(folder + "/ID1.hook"));
  EXPECT_TRUE(driver.DeleteHook("ID1").IsError());
}
