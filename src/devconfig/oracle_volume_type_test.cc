#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "devconfig/devconfig_test_fixtures.h"
#include "devconfig/kz_device_config_handler_unix.h"
#include "platform/harness/sim_harness.h"
#include "platform/messages/uxa_messages.h"
#include "support/run_command.h"
#include "support/test_platform.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::ScopedStateDir;
using testing_support::WriteFile;

// Oracle subclient 7 of cell 2 on this machine's client: its directory is
// <job results>/2/7.
struct OracleSubclient {
  ScopedStateDir state;
  std::string directory = state.Sub("jobresults/2/7");
  std::string file = directory + "/OraVolumeType.kzf";

  OracleSubclient() {
    platform::SubclientRecord subclient;
    subclient.cellId = 2;
    subclient.appId = 7;
    subclient.clientId = 2;
    EXPECT_TRUE(blbsim::AddSubclient(subclient));
    std::filesystem::create_directories(directory);
  }

  // Through the Unix handler of a job, its Oracle append flag set to logs.
  CQiError Write(const std::string& volume, bool logs = false, bool postSnap = true, int appType = 22,
                 int cellId = 2, int appId = 7) const {
    KzDeviceConfigHandler_UNIX handler(devconfig_test::Job(state.Sub("job")));
    handler.setAppendDeviceConfigForOracle(logs);
    return handler.WriteVolumeTypeForOracleBlockLvl(postSnap, appType, appId, cellId, volume);
  }

  // Each line as (volume, type), or "unreadable".
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream text(ReadFile(file));
    std::string line;
    while (std::getline(text, line)) {
      Uxa::OraVolumeDataType message;
      if (message.unserialize(line) != 0) return {"unreadable"};
      lines.push_back(message.getstring(1, 1, 0x160EFD9C, 0xAAE71A) + " " +
                      message.getstring(2, 5, 0x160EFD9C, 0xA30E04));
    }
    return lines;
  }
};

TEST(OracleVolumeType, EveryVolumeKeepsItsLatestTypeInVolumeOrder) {
  OracleSubclient oracle;
  ASSERT_FALSE(oracle.Write("/ora/data").IsError());
  EXPECT_EQ(oracle.Lines(), (std::vector<std::string>{"/ora/data DATA"}));
  ASSERT_FALSE(oracle.Write("/ora/data", true, true, 80).IsError());
  ASSERT_FALSE(oracle.Write("/ora/arch", true, true, 80).IsError());
  EXPECT_EQ(oracle.Lines(), (std::vector<std::string>{"/ora/arch LOGS", "/ora/data LOGS"}));

  // Not after an Oracle snapshot: nothing read or written, even with ids that are not valid.
  const std::string before = ReadFile(oracle.file);
  EXPECT_FALSE(oracle.Write("/x", false, false, 22, 0, 0).IsError());
  EXPECT_FALSE(oracle.Write("/x", false, true, 29, 0, 0).IsError());
  CQiError refused = oracle.Write("/x", false, true, 22, 0, 7);
  EXPECT_TRUE(FXErrorUtil::IsWin32(refused, 87));
  EXPECT_EQ(refused.GetMessage(), "VornCellId:0 AppId:7 are not valid");
  EXPECT_TRUE(FXErrorUtil::IsWin32(oracle.Write("/x", false, true, 22, 2, 0), 87));
  EXPECT_TRUE(FXErrorUtil::IsWin32(oracle.Write("/x", false, true, 22, 2, 9), 1627));  // no such subclient
  EXPECT_EQ(ReadFile(oracle.file), before);

  // A volume longer than any fixed line reads back at the next call.
  const std::string longVolume = "/" + std::string(1099, 'v');
  ASSERT_FALSE(oracle.Write(longVolume).IsError());
  ASSERT_FALSE(oracle.Write("/ora/redo").IsError());
  EXPECT_EQ(oracle.Lines(),
            (std::vector<std::string>{"/ora/arch LOGS", "/ora/data LOGS", "/ora/redo DATA", longVolume + " DATA"}));
}

TEST(OracleVolumeType, AFailedUpdateLeavesTheFileAsItWas) {
  OracleSubclient oracle;
  ASSERT_FALSE(oracle.Write("/ora/data").IsError());
  const std::string before = ReadFile(oracle.file);
  // A subclient directory on a file system with no room left.
  if (testing_support::RunCommand("mount -t tmpfs -o size=64k tmpfs " + oracle.directory) != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  struct Unmount {
    std::string folder;
    ~Unmount() { testing_support::RunCommand("umount " + folder); }
  } unmount{oracle.directory};
  WriteFile(oracle.file, before);
  testing_support::RunCommand("dd if=/dev/zero of=" + oracle.directory + "/filler bs=4k 2>/dev/null");
  CQiError full = oracle.Write("/ora/arch");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(full, 28)) << full.AsString();
  EXPECT_EQ(ReadFile(oracle.file), before);
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(oracle.directory)) ++entries;
  EXPECT_EQ(entries, 2u);  // no temporary left

  std::filesystem::remove(oracle.file);
  std::filesystem::create_directories(oracle.file);  // opens, cannot be read
  EXPECT_TRUE(FXErrorUtil::IsErrNo(oracle.Write("/ora/arch"), 21));
}

}  // namespace
