#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "blocklevel/blocklevel.h"
#include "platform/guid/guid_factory.h"
#include "records/block_device_config.h"
#include "support/ext_image.h"
#include "support/test_platform.h"

namespace {

using testing_support::CapturingLog;
using testing_support::ScopedStateDir;
using testing_support::WriteFile;

const std::string kView = "/{20d03aa2-7726-42d8-8381-fdda7a8a1c47}/EXTENTVIEW";
const std::string kLongMount = "/" + std::string(59, 'm');  // 60 characters, not under the view

void WriteConfig(const std::string& path, const std::vector<BackupDeviceInfo>& devices) {
  BlockDeviceConfigReaderWriter writer;
  ASSERT_FALSE(writer.InitWrite(path, false, false).IsError());
  for (const BackupDeviceInfo& device : devices) ASSERT_FALSE(writer.WriteNextBackupDevice(device).IsError());
  ASSERT_FALSE(writer.Close().IsError());
}

BackupDeviceInfo Device(const std::string& volume, uint64_t totalBlocks = 131072) {
  return BackupDeviceInfo(true, volume, "/dev/sdr", "ext4", "", 4 << 20, totalBlocks, 4096, 2);
}

// The restore of /data from a 64 MiB ext4 snapshot holding a file; bitmaps
// of two jobs in R, and one of another volume.
struct Restore {
  ScopedStateDir state;
  std::string r = state.Sub("R");
  std::string config = state.Sub("BlockDeviceConfig.kzf");
  std::string snapshot = state.Sub("snap.img");
  std::vector<unsigned char> allocated;
  bool none = true;
  unsigned long long disk = 0, extent = 0;
  unsigned char* bitmap = nullptr;

  Restore() {
    EXPECT_TRUE(testing_support::MakeExt4Image(snapshot, 64, {{"big", 20u << 20}}));
    testing_support::ExtAllocation allocation;
    EXPECT_TRUE(testing_support::ReadAllocation(snapshot, allocation));
    allocated = testing_support::ExpectedExtentBitmap(allocation, 4 << 20, 64ull << 20);
    WriteConfig(config, {Device("/"), Device("/data"), Device(kLongMount)});
    const std::string key = CGuidFactory::get_guid_nosalt("/data");
    WriteFile(r + "/1_" + key + ".bmp", std::string("\x0F\x00", 2));
    WriteFile(r + "/2_" + key + ".bmp", std::string("\x30\x80", 2));
    WriteFile(r + "/1_" + CGuidFactory::get_guid_nosalt("/other") + ".bmp", std::string("\xFF\xFF", 2));
  }
  ~Restore() { FreeBitMaps(&bitmap, nullptr); }

  bool Merge(const std::string& directory, const std::string& mount) {
    return RestoreBitMapMerger(directory, config, mount, snapshot, false, &none, &disk, &extent, &bitmap);
  }
};

TEST(RestoreBitMapMerger, ORsTheMountsBitmapsAndKeepsTheExtentsInUse) {
  Restore restore;
  ASSERT_NE(restore.allocated, (std::vector<unsigned char>{0xFF, 0xFF}));  // some are free
  ASSERT_TRUE(restore.Merge(restore.r + "/", kView + "/data"));
  EXPECT_FALSE(restore.none);
  EXPECT_EQ(restore.disk, 67108864u);
  EXPECT_EQ(restore.extent, 4194304u);
  ASSERT_NE(restore.bitmap, nullptr);
  EXPECT_EQ(restore.bitmap[0], 0x3F & restore.allocated[0]);
  EXPECT_EQ(restore.bitmap[1], 0x80 & restore.allocated[1]);

  // Without the trailing "/" no file name can match: nothing found, nothing handed out.
  unsigned char* handedOut = restore.bitmap;
  ASSERT_TRUE(restore.Merge(restore.r, kView + "/data"));
  EXPECT_TRUE(restore.none);
  EXPECT_EQ(restore.bitmap, handedOut);
}

TEST(RestoreBitMapMerger, OnlyAPathUnderTheExtentViewLosesItsPrefix) {
  Restore restore;
  // A long mount of its own is looked up whole (no bitmaps of it: still true).
  restore.none = false;
  EXPECT_TRUE(restore.Merge(restore.r + "/", kLongMount));
  EXPECT_TRUE(restore.none);
  restore.none = false;
  EXPECT_TRUE(restore.Merge(restore.r + "/", kView + "/KzFakeStringForVolumeRootBlockLevel"));  // the root
  EXPECT_TRUE(restore.none);
  EXPECT_FALSE(restore.Merge(restore.r + "/", kView));  // no volume of that name

  // A bitmap shorter than the device's fails the restore.
  WriteFile(restore.r + "/3_" + CGuidFactory::get_guid_nosalt("/data") + ".bmp", "\x01");
  EXPECT_FALSE(restore.Merge(restore.r + "/", "/data"));
  EXPECT_EQ(restore.bitmap, nullptr);
}

TEST(ReadBlockDeviceConfig, EachVolumeKeepsItsFirstDiskSize) {
  ScopedStateDir state;
  const std::string config = state.Sub("BlockDeviceConfig.kzf");
  WriteConfig(config, {Device("/data", 2097152), Device("/data", 4194304), Device("/b", 8)});
  std::map<std::string, unsigned long long> sizes;
  ASSERT_TRUE(ReadBlockDeviceConfig(config, sizes));
  EXPECT_EQ(sizes, (std::map<std::string, unsigned long long>{{"/data", 1073741824}, {"/b", 4096}}));
  EXPECT_FALSE(ReadBlockDeviceConfig(state.Sub("none"), sizes));
}

// A log whose first line holding the trigger throws, as anything the
// exports call may.
class ThrowingOnceLog : public CapturingLog {
 public:
  explicit ThrowingOnceLog(std::string trigger) : trigger_(std::move(trigger)) {}
  void Write(int level, const char* function, int line, const std::string& text) override {
    CapturingLog::Write(level, function, line, text);
    if (thrown_ || text.find(trigger_) == std::string::npos) return;
    thrown_ = true;
    throw std::runtime_error("log device gone");
  }

 private:
  std::string trigger_;
  bool thrown_ = false;
};

TEST(RestoreExports, AnExceptionEndsEitherExportWithItsOwnLine) {
  Restore restore;
  const std::string missing = restore.state.Sub("none");
  std::map<std::string, unsigned long long> sizes;
  const std::map<std::string, std::function<bool()>> exports = {
      {"RestoreBitMapMerger",
       [&] {
         return RestoreBitMapMerger(restore.r + "/", missing, "/data", restore.snapshot, false, &restore.none,
                                    &restore.disk, &restore.extent, &restore.bitmap);
       }},
      {"ReadBlockDeviceConfig", [&] { return ReadBlockDeviceConfig(missing, sizes); }},
  };
  for (const auto& [name, call] : exports) {
    SCOPED_TRACE(name);
    ThrowingOnceLog log("InitRead failed");
    EXPECT_FALSE(call());
    const std::vector<std::string> lines = log.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[-1] " + name + ": eRRoR -- Unhandled exception caught") << testing::PrintToString(lines);
  }
  EXPECT_EQ(restore.bitmap, nullptr);
}

TEST(FreeBitMaps, FreesAndForgetsWhatIsThere) {
  unsigned char* first = static_cast<unsigned char*>(std::malloc(4));
  unsigned char* none = nullptr;
  FreeBitMaps(&first, nullptr);
  EXPECT_EQ(first, nullptr);
  FreeBitMaps(&none, &first);
  EXPECT_EQ(none, nullptr);
}

}  // namespace
