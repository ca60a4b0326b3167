// Files replaced by a reset or an update, with the process killed at each of
// its system calls that change files, or with that call failing: the file
// afterwards is the old one or the new one, whole, and a success means the
// new one.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/harness/sim_harness.h"
#include "records/block_device_config.h"
#include "support/fault_injection.h"
#include "support/run_command.h"
#include "support/test_platform.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

using testing_support::FaultPoint;
using testing_support::InjectedFault;
using testing_support::ReadFile;
using testing_support::RunCommand;
using testing_support::WriteFile;

const std::vector<InjectedFault> kEveryFault = {InjectedFault::kKill, InjectedFault::kNoSpace, InjectedFault::kIo};

std::string Tool(const std::string& arguments) {
  return std::string(CRASH_TOOL) + " " + arguments;
}

std::string Contents(const std::string& path) {
  return testing_support::FileExists(path) ? ReadFile(path) : "<none>";
}

// The file is what was there or what the operation writes; a success
// leaves what it writes.
void ExpectOldOrNew(const std::string& path, const std::string& before, const std::string& after, int status,
                    const std::string& output) {
  const std::string now = Contents(path);
  EXPECT_TRUE(now == before || now == after) << path << " is neither the old nor the new file\n" << output;
  if (status == 0) {
    EXPECT_EQ(now, after) << "success reported without the new file\n" << output;
  }
}

}  // namespace

TEST(ResetProcess, AnOracleVolumeTypeUpdateKeepsEveryOtherVolumesLine) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  testing_support::ScopedStateDir state;
  platform::SubclientRecord subclient;
  subclient.cellId = 2;
  subclient.appId = 7;
  subclient.clientId = 2;
  ASSERT_TRUE(blbsim::AddSubclient(subclient));
  const std::string file = state.Sub("jobresults/2/7/OraVolumeType.kzf");
  std::filesystem::create_directories(state.Sub("jobresults/2/7"));
  std::string output;
  for (int i = 0; i < 40; ++i) ASSERT_EQ(RunCommand(Tool("oracle-type 2 7 /v" + std::to_string(i)), &output), 0);
  const std::string before = ReadFile(file);
  ASSERT_EQ(RunCommand(Tool("oracle-type 2 7 /v40"), &output), 0) << output;
  const std::string after = ReadFile(file);

  const auto check = [&](const FaultPoint&, int status, const std::string& run) {
    ExpectOldOrNew(file, before, after, status, run);
  };
  testing_support::ForEveryFaultPoint(
      testing_support::FileChangingCalls(), kEveryFault, 50, [&] { WriteFile(file, before); },
      Tool("oracle-type 2 7 /v40"), check);
  // A file that cannot be opened is no missing file: the update fails and
  // the 40 lines stay.
  testing_support::ForEveryFaultPoint(
      {"openat"}, {InjectedFault::kIo}, 80, [&] { WriteFile(file, before); }, Tool("oracle-type 2 7 /v40"), check);
}

TEST(ResetProcess, ASubclientCacheResetLeavesThePreviousCacheOrAllOnes) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  testing_support::ScopedStateDir state;
  platform::ClientRecord client;
  client.id = 5;
  client.name = "client5";
  client.jobResultsDir = state.Sub("jr5");
  ASSERT_TRUE(blbsim::AddClient(client));
  const std::string cache = state.Sub("jr5/.BlockLevel/5_7/ID1.bmp");
  std::filesystem::create_directories(state.Sub("jr5/.BlockLevel/5_7"));
  const std::string before = std::string(4096, '\x21'), after = std::string(4096, '\xFF');

  testing_support::ForEveryFaultPoint(
      testing_support::FileChangingCalls(), kEveryFault, 20, [&] { WriteFile(cache, before); },
      Tool("reset-cache 5 7 /dev/sdb1 ID1 4096"),
      [&](const FaultPoint&, int status, const std::string& run) {
        ExpectOldOrNew(cache, before, after, status, run);
      });
}

TEST(ResetProcess, ResetBitmapsForFullLeavesEachBitmapWholeAndReportsAnyThatIsNot) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  testing_support::ScopedStateDir state;
  const std::string directory = state.Sub("D");
  std::filesystem::create_directories(directory);
  std::vector<BackupDeviceInfo> devices;
  for (const char* volume : {"/mnt/v", "/mnt/w", "/mnt/x"})
    devices.emplace_back(true, volume, std::string("/dev/sd") + volume[5], "ext4", "", 4 << 20, 524288 * 64, 4096, 512);
  BlockDeviceConfigReaderWriter_UNIX writer;
  ASSERT_FALSE(writer.InitWrite(directory + "/BlockDeviceConfig.kzf", false, false).IsError());
  for (const BackupDeviceInfo& device : devices) ASSERT_FALSE(writer.WriteNextBackupDevice(device).IsError());
  ASSERT_FALSE(writer.Close().IsError());
  std::vector<std::string> files;
  for (const BackupDeviceInfo& device : devices) {
    files.emplace_back();
    VolumeBitMapHelper::GenerateBitmapFileName(device.GetSourceVolName(), directory, files.back(),
                                               device.GetSourceDeviceName(), device.GetFSType());
  }
  const std::string before = std::string(512, '\x04'), after = std::string(512, '\xFF');

  testing_support::ForEveryFaultPoint(
      testing_support::FileChangingCalls(), kEveryFault, 20,
      [&] {
        for (const std::string& file : files) WriteFile(file, before);
      },
      Tool("reset-full " + directory),
      [&](const FaultPoint&, int status, const std::string& run) {
        for (const std::string& file : files) ExpectOldOrNew(file, before, after, status, run);
      });
}
