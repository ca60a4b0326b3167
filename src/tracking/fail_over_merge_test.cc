#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/sim/fault_table.h"
#include "support/test_platform.h"
#include "tracking/attached_volume_list.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedStateDir;
using testing_support::WriteFile;

constexpr unsigned long kSize = 2;

struct MergeCase {
  explicit MergeCase(const ScopedStateDir& state)
      : folder(state.Sub("jobresults/.BlockLevel")),
        list(folder + "/.AttachedVolumes"),
        leftBehind(folder + "/VOLKEY.bmp"),
        jobBitmap(state.Sub("job/VOLKEY.bmp")),
        bitmap(static_cast<unsigned char*>(std::calloc(kSize, 1))) {}
  ~MergeCase() { std::free(bitmap); }

  CQiError Merge(const std::string& mount = "/mnt/a") {
    return VolumeBitMapHelper::MergeFailOverBitmap(mount, &bitmap, jobBitmap, kSize, forceFull);
  }
  bool AllSet() const { return bitmap[0] == 0xFF && bitmap[1] == 0xFF; }

  std::string folder, list, leftBehind, jobBitmap;
  unsigned char* bitmap;
  bool forceFull = false;
};

TEST(MergeFailOverBitmap, TrustsCompletesOrReplacesTheDriversBitmap) {
  ScopedStateDir state;
  MergeCase merge(state);
  merge.bitmap[0] = 0x01;
  // No list: nothing changes, not even a left-behind bitmap.
  WriteFile(merge.leftBehind, std::string("\x02\x00", 2));
  ASSERT_FALSE(merge.Merge().IsError());
  EXPECT_EQ(merge.bitmap[0], 0x01);
  EXPECT_FALSE(merge.forceFull);
  EXPECT_TRUE(FileExists(merge.leftBehind));

  // A clean entry and a left-behind bitmap: their OR; the file is consumed.
  WriteFile(merge.list, "/mnt/a|4194304|2|0\n/mnt/b|4194304|2|1\n");
  ASSERT_FALSE(merge.Merge().IsError());
  EXPECT_EQ(merge.bitmap[0], 0x03);
  EXPECT_EQ(merge.bitmap[1], 0x00);
  EXPECT_FALSE(merge.forceFull);
  EXPECT_FALSE(FileExists(merge.leftBehind));
  EXPECT_EQ(ReadFile(merge.list), "/mnt/a|4194304|2|0\n/mnt/b|4194304|2|1\n");

  // Nothing left behind: the driver's bitmap stands.
  ASSERT_FALSE(merge.Merge().IsError());
  EXPECT_EQ(merge.bitmap[0], 0x03);

  // A dirty entry: full, and the mark is consumed by this backup only.
  WriteFile(merge.leftBehind, std::string("\x04\x00", 2));
  ASSERT_FALSE(merge.Merge("/mnt/b").IsError());
  EXPECT_TRUE(merge.AllSet());
  EXPECT_TRUE(merge.forceFull);
  EXPECT_EQ(ReadFile(merge.list), "/mnt/a|4194304|2|0\n/mnt/b|4194304|2|0\n");
  // Already full: the left-behind bitmap stays for a later backup.
  EXPECT_TRUE(FileExists(merge.leftBehind));
  std::memset(merge.bitmap, 0, kSize);
  ASSERT_FALSE(merge.Merge().IsError());
  EXPECT_EQ(merge.bitmap[0], 0x00);
  EXPECT_TRUE(FileExists(merge.leftBehind));
}

TEST(MergeFailOverBitmap, WithoutADriverBitmapTheLeftBehindOneIsHandedBack) {
  ScopedStateDir state;
  MergeCase merge(state);
  WriteFile(merge.list, "/mnt/a|4194304|2|0\n");
  WriteFile(merge.leftBehind, std::string("\x10\x20", 2));
  std::free(merge.bitmap);
  merge.bitmap = nullptr;
  ASSERT_FALSE(merge.Merge().IsError());
  ASSERT_NE(merge.bitmap, nullptr);
  EXPECT_EQ(merge.bitmap[0], 0x10);
  EXPECT_EQ(merge.bitmap[1], 0x20);
  EXPECT_FALSE(FileExists(merge.leftBehind));

  // A dirty volume without a driver bitmap: the flag alone says full.
  std::free(merge.bitmap);
  merge.bitmap = nullptr;
  WriteFile(merge.list, "/mnt/a|4194304|2|1\n");
  ASSERT_FALSE(merge.Merge().IsError());
  EXPECT_EQ(merge.bitmap, nullptr);
  EXPECT_TRUE(merge.forceFull);
}

TEST(MergeFailOverBitmap, WhatCannotBeReadMakesTheVolumeFull) {
  ScopedStateDir state;
  {
    MergeCase merge(state);
    WriteFile(merge.list, "/mnt/a|4194304|2|0\n");
    WriteFile(merge.leftBehind, "x");  // shorter than the bitmap
    ASSERT_FALSE(merge.Merge().IsError());
    EXPECT_TRUE(merge.AllSet());
    EXPECT_TRUE(merge.forceFull);
    EXPECT_FALSE(FileExists(merge.leftBehind));
  }
  {
    // An exception while the list is opened (here from its lock).
    MergeCase merge(state);
    testing_support::CapturingLog log;
    platform::FaultTable::Set("KzFileLock::lock", 5, true, 1);
    ASSERT_FALSE(merge.Merge().IsError());
    EXPECT_TRUE(merge.AllSet());
    EXPECT_TRUE(merge.forceFull);
    EXPECT_TRUE(log.Contains(" -BlockLevel- Exception [Injected fault in KzFileLock::lock]"));
  }
  {
    MergeCase merge(state);
    testing_support::CapturingLog log;
    platform::FaultTable::Set("KZPI_VornClient::getJobResultsDirectory", 2, false, 1);
    ASSERT_FALSE(merge.Merge().IsError());
    EXPECT_TRUE(merge.AllSet());
    EXPECT_TRUE(merge.forceFull);
    EXPECT_TRUE(log.Contains("Failed to retrieve job results directory for VM localclient"));
  }
  {
    // A list that exists but cannot be read.
    MergeCase merge(state);
    WriteFile(merge.leftBehind, std::string("\x02\x00", 2));
    ::unlink(merge.list.c_str());
    ASSERT_EQ(::mkdir(merge.list.c_str(), 0755), 0);
    testing_support::CapturingLog log;
    ASSERT_FALSE(merge.Merge().IsError());
    EXPECT_TRUE(merge.AllSet());
    EXPECT_TRUE(merge.forceFull);
    EXPECT_TRUE(FileExists(merge.leftBehind));
  }
}

}  // namespace
