// libblocklevel.so carries its own hidden copy of the platform, with its own
// record of the state directory in use. A process that switches state
// directories through its copy (Settings::SetStateDir) must still reach the
// library's with a fault set in the directory it switched to, and leave the
// fault behind when it switches back.
#include <gtest/gtest.h>

#include "blocklevel/blocklevel.h"
#include "platform/sim/fault_table.h"
#include "platform/sim/fs_util.h"
#include "support/test_platform.h"

namespace {

using testing_support::ScopedStateDir;

// Subclient 5 of this machine's client, its device configuration listing no
// device: the library detaches it after asking for the active clients, which
// a fault makes none, so that the subclient's configuration is not found.
void SeedEmptySubclient(const ScopedStateDir& state) {
  ASSERT_TRUE(platform::MakeDirectories(state.Sub("jobresults/2/5")));
  ASSERT_TRUE(
      platform::WriteFileAtomically(state.Sub("jobresults/2/5/BlockDeviceConfig.kzf"), "#METADATA_NOT_ENABLED#\n"));
}

}  // namespace

TEST(SharedLibraryFaults, AFaultSetInTheStateDirectorySwitchedToReachesTheLibrary) {
  ScopedStateDir first;
  SeedEmptySubclient(first);
  // The library's failable calls now watch the first directory's faults.
  CQiError error = DetachBlockLevelVolumesForSC("5");
  ASSERT_FALSE(error.IsError()) << error.AsString();
  for (const char* round : {"once", "again"}) {
    SCOPED_TRACE(round);
    ScopedStateDir second;
    SeedEmptySubclient(second);
    platform::FaultTable::Set("KZPlatformInfo::getActiveClientList", 5);
    error = DetachBlockLevelVolumesForSC("5");
    EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 2)) << error.AsString();
    EXPECT_NE(error.AsString().find("Job Results directory could not be found for SC=[5]"), std::string::npos)
        << error.AsString();
  }
  // Back in the first directory, which has no fault.
  error = DetachBlockLevelVolumesForSC("5");
  EXPECT_FALSE(error.IsError()) << error.AsString();
}
