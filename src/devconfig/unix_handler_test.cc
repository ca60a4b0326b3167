// The handlers the agent gets for a job, and the bitmap step's refusals.
#include <gtest/gtest.h>

#include <memory>

#include "blocklevel/blocklevel.h"
#include "devconfig/devconfig_test_fixtures.h"
#include "devconfig/kz_device_config_handler_unix.h"
#include "platform/harness/cxbf_harness.h"
#include "platform/sim/fault_table.h"
#include "support/loop_device.h"
#include "support/test_platform.h"

using devconfig_test::AddUnixJob;
using devconfig_test::SlotOf;
using devconfig_test::UnixJobArgs;
using testing_support::ScopedStateDir;

namespace {

bool IsSpos(const KzDeviceConfigHandler* handler) {
  return dynamic_cast<const KzDeviceConfigHandler_SPOS*>(handler) != nullptr;
}

bool IsUnix(const KzDeviceConfigHandler* handler) {
  return dynamic_cast<const KzDeviceConfigHandler_UNIX*>(handler) != nullptr;
}

}  // namespace

TEST(UnixHandlerFactory, GivesTheSposHandlerOnlyForAnExactLastSposArgument) {
  ScopedStateDir state;
  AddUnixJob(2);
  std::unique_ptr<KzDeviceConfigHandler> spos(GetBlockDeviceConfigHandler(UnixJobArgs(2, {"-SPOS"})));
  ASSERT_NE(spos, nullptr);
  EXPECT_TRUE(IsSpos(spos.get()));
  EXPECT_EQ(spos->GetJobInfo().GetJobResultsDir(), state.Sub("jobresults/2/7"));
  for (const char* last : {"-spos", " -SPOS"}) {
    std::unique_ptr<KzDeviceConfigHandler> unix(GetBlockDeviceConfigHandler(UnixJobArgs(2, {last})));
    EXPECT_TRUE(IsUnix(unix.get()) && !IsSpos(unix.get())) << last;
  }
  // "-SPOS" anywhere but last does not count.
  std::unique_ptr<KzDeviceConfigHandler> early(GetBlockDeviceConfigHandler(UnixJobArgs(2, {"-SPOS", "-x"})));
  EXPECT_TRUE(IsUnix(early.get()) && !IsSpos(early.get()));

  // A level the parser refuses, a subclient the configuration does not know.
  EXPECT_EQ(GetBlockDeviceConfigHandler(UnixJobArgs(3, {"-SPOS"})), nullptr);
  std::vector<std::string> otherSubclient = UnixJobArgs(2, {"-SPOS"});
  otherSubclient[1] = "2:8";
  EXPECT_EQ(GetBlockDeviceConfigHandler(otherSubclient), nullptr);

  // The scan's handler, made from a parsed job, is the Unix one.
  TarvosJobInfo job(UnixJobArgs(2, {"-SPOS"}));
  ASSERT_EQ(job.ParseArgs(false), 0);
  std::unique_ptr<KzDeviceConfigHandler> scan(KzDeviceConfigHandler::GetDeviceConfigHandler(job));
  EXPECT_TRUE(IsUnix(scan.get()) && !IsSpos(scan.get()));

  // The agent reaches the Unix handler's own operation in the slot after the
  // base's last one.
  EXPECT_EQ(SlotOf(&KzDeviceConfigHandler_UNIX::PreparePrePostSnapTask), 31);
}

TEST(UnixBitmapStep, RefusesLevelsPhasesAndEmptyNamesBeforeAskingAnyStrategy) {
  ScopedStateDir state;
  AddUnixJob(2);
  // Any strategy asked would reach the driver and throw.
  for (const char* call : {"KzBfDriver::open", "KzBfDriver::attachDevice", "KzBfDriver::detachDevice",
                           "KzBfDriver::queryDevice", "KzBfDriver::clearBitmap", "KzBfDriver::getBitmap",
                           "KzBfDriver::destroySnap"})
    platform::FaultTable::Set(call, 5, true);
  std::unique_ptr<KzDeviceConfigHandler> handler(GetBlockDeviceConfigHandler(UnixJobArgs(2)));
  ASSERT_NE(handler, nullptr);
  SMVolBlock volume;
  volume.sDevice = "/dev/loop99";
  volume.sVolume = "/mnt/blb";

  CQiError error = handler->HandleBitMap(volume, static_cast<KZBkpLevel>(4), SNAP_STATE_PRE);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 22));
  EXPECT_EQ(error.GetMessage(), "Invalid BackupType, only FULL and INCR supported.");
  error = handler->HandleBitMap(volume, KZ_BKP_LEVEL_INCREMENTAL, static_cast<eSnapState>(2));
  EXPECT_EQ(error.GetMessage(), "Invalid Snap state passed.");
  SMVolBlock nameless = volume;
  nameless.sVolume.clear();
  error = handler->HandleBitMap(nameless, KZ_BKP_LEVEL_FULL, SNAP_STATE_PRE);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 22));
  EXPECT_EQ(error.GetMessage(), "Empty device or volume name passed");

  // The SPOS step swallows the failure and sends the volume to full.
  std::unique_ptr<KzDeviceConfigHandler> spos(GetBlockDeviceConfigHandler(UnixJobArgs(2, {"-SPOS"})));
  ASSERT_FALSE(spos->HandleBitMap(volume, static_cast<KZBkpLevel>(4), SNAP_STATE_POST).IsError());
  EXPECT_TRUE(volume.bForceFull);

  // A recorded extent size the strategies cannot take as an int is refused,
  // not cut into another one.
  platform::FaultTable::ClearAll();
  const BackupDeviceInfo huge(true, "/mnt/blb", "/dev/loop99", "ext4", "rw", 1ULL << 32, 1ULL << 40, 0, 64);
  ASSERT_FALSE(handler->WriteDeviceConfig("/mnt/blb", huge, true).IsError());
  error = handler->HandleBitMap(volume, KZ_BKP_LEVEL_FULL, SNAP_STATE_PRE);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(error, 22));
  EXPECT_EQ(error.GetMessage(), "Extent size 4294967296 of device=[/dev/loop99] is out of range");
}

TEST(UnixDeviceSupport, OnlyBlockDevicesWithAStrategyAndTheRealDeviceUnderACxbfOne) {
  ScopedStateDir state;
  testing_support::ScopedLoopDevice loop(8 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  KzDeviceConfigHandler_UNIX handler(devconfig_test::Job(state.Sub("jobresults")));
  EXPECT_TRUE(handler.IsSupportedDevice(loop.Device()));
  EXPECT_FALSE(handler.IsSupportedDevice(loop.Image()));
  EXPECT_FALSE(handler.IsSupportedDevice(state.Path()));
  EXPECT_FALSE(handler.IsSupportedDevice(state.Sub("missing")));

  std::string real;
  ASSERT_FALSE(GetUnderLyingDeviceIfCXBF(loop.Device(), real).IsError());
  EXPECT_EQ(real, loop.Device());
  ASSERT_TRUE(blbsim::SetCxbfLoaded(true));
  ASSERT_FALSE(blbsim::CxbfAddDevice("/dev/cxbf/cxbf0", loop.Device(), 4 << 20).IsError());
  CQiError error = GetUnderLyingDeviceIfCXBF("/dev/cxbf/cxbf0", real);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(real, loop.Device());
}
