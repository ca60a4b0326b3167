#include "tracking/cbf_driver_interface.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/driver/kzbf_backend.h"
#include "platform/harness/kzbf_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/sim/fault_table.h"
#include "support/scratch_device.h"
#include "support/test_platform.h"

namespace {

using testing_support::CapturingLog;
using testing_support::FakeTools;
using testing_support::ScopedStateDir;
using testing_support::ScratchDevice;

std::list<std::string> Snaps(const std::string& device, std::list<std::string> start = {}) {
  CBFDriverInterface driver(device);
  CQiError result = driver.queryLVMSnaps(&start);
  EXPECT_FALSE(result.IsError()) << result.AsString();
  return start;
}

TEST(CBFDriverInterfaceLvm, FindsTheSystemsSnapshotsOfAVolume) {
  ScopedStateDir state;
  FakeTools tools(state);
  tools.Lvs("  kznv_1718:vg0:home\\n  snap1:vg0:home\\n  kznv_9:vg1:home\\n  home:vg0:\\n  kznv_1:my-vg:home\\n");
  const std::list<std::string> expected{"/dev/mapper/vg0-kznv_1718"};
  EXPECT_EQ(Snaps("/dev/mapper/vg0-home"), expected);
  EXPECT_EQ(Snaps("/dev/vg0/home"), expected);
  // Device-mapper doubles "-" inside names: found and named back the same way.
  EXPECT_EQ(Snaps("/dev/mapper/my--vg-home"), std::list<std::string>{"/dev/mapper/my--vg-kznv_1"});
  EXPECT_EQ(Snaps("/dev/my-vg/home"), std::list<std::string>{"/dev/mapper/my--vg-kznv_1"});
  // The list is appended to, not replaced.
  EXPECT_EQ(Snaps("/dev/vg0/home", {"earlier"}), (std::list<std::string>{"earlier", "/dev/mapper/vg0-kznv_1718"}));

  CapturingLog log;
  EXPECT_EQ(Snaps("/dev/sda1", {"kept"}), std::list<std::string>{"kept"});
  EXPECT_TRUE(log.Contains("skipping non-LVM device[/dev/sda1]"));
  EXPECT_TRUE(Snaps("/dev/mapper/nodash").empty());

  // The listing's status is the last command's of its pipe: a failing lvs
  // lists nothing.
  tools.Add("lvs", "echo 'no volume groups' >&2; exit 5\n");
  EXPECT_TRUE(Snaps("/dev/vg0/home").empty());
  platform::FaultTable::Set("KzProcess::system", 5, false, 1);
  std::list<std::string> snapshots;
  CQiError failed = CBFDriverInterface("/dev/vg0/home").queryLVMSnaps(&snapshots);
  EXPECT_EQ(FXErrorUtil::GetCode(failed), -1);
  EXPECT_NE(failed.GetMessage().find("execution failed"), std::string::npos);
  EXPECT_TRUE(snapshots.empty());
}

TEST(CBFDriverInterfaceLvm, RemovesEachSnapshotWithItsNameAsOneArgument) {
  ScopedStateDir state;
  FakeTools tools(state);
  const std::string calls = state.Sub("lvremove.calls");
  // Fails for the second volume; records every argument it was given.
  tools.Add("lvremove", "for a in \"$@\"; do echo \"[$a]\" >> '" + calls + "'; done\n[ \"$2\" != /dev/mapper/vg0-bad ]\n");
  const std::string pwned = state.Sub("pwned");
  std::list<std::string> snapshots{"/dev/mapper/vg0-kznv_1", "/dev/mapper/vg0-bad",
                                   "/dev/mapper/vg0-x; touch " + pwned + " 'q'"};
  CapturingLog log;
  CBFDriverInterface("/dev/vg0/home").destroyLVMSnaps(&snapshots);
  EXPECT_FALSE(testing_support::FileExists(pwned));
  EXPECT_EQ(testing_support::ReadFile(calls), "[-f]\n[/dev/mapper/vg0-kznv_1]\n[-f]\n[/dev/mapper/vg0-bad]\n[-f]\n"
                                              "[/dev/mapper/vg0-x; touch " + pwned + " 'q']\n");
  EXPECT_TRUE(log.Contains("UnSnapping = /dev/mapper/vg0-kznv_1"));
  EXPECT_TRUE(log.Contains("Failed to destroy snap [/dev/mapper/vg0-bad] for device [/dev/vg0/home]"));
}

TEST(CBFDriverInterfaceDriver, TracksAWrittenDeviceThroughTheSimulatedDriver) {
  ScopedStateDir state;
  ScratchDevice device(state);
  CBFDriverInterface driver(device.Path());
  ASSERT_FALSE(driver.Initialize().IsError());

  // Stopping a device that is not tracked detaches nothing (a detach would fail).
  EXPECT_FALSE(driver.StopBlockFilter().IsError());

  bool already = true;
  ASSERT_FALSE(driver.StartBlockFilter(already).IsError());
  EXPECT_FALSE(already);
  ASSERT_FALSE(driver.StartBlockFilter(already).IsError());
  EXPECT_TRUE(already);
  bool attached = false;
  int extent = 0;
  ASSERT_FALSE(driver.QueryBlockFilter(&attached, nullptr, &extent, nullptr, nullptr).IsError());
  EXPECT_TRUE(attached);
  EXPECT_EQ(extent, 4 << 20);

  device.Write(12 << 20, 4096);
  auto_ptr_array<unsigned char> bitmap;
  ASSERT_FALSE(driver.GetBitmap(bitmap, 2).IsError());
  EXPECT_EQ(bitmap[0], 0x08);
  ASSERT_FALSE(driver.GetAndClearBitmap(bitmap, 2).IsError());
  EXPECT_EQ(bitmap[0], 0x08);
  EXPECT_EQ(bitmap[1], 0x00);
  ASSERT_FALSE(driver.GetAndClearBitmap(bitmap, 2).IsError());
  EXPECT_EQ(bitmap[0], 0x00);
  EXPECT_EQ(bitmap[1], 0x00);

  // The driver's snapshots go before the device is detached; one that cannot
  // be removed does not change the detach's result.
  std::string first, second;
  ASSERT_FALSE(blbsim::KzbfCreateSnapshot(device.Path(), false, first).IsError());
  ASSERT_FALSE(blbsim::KzbfCreateSnapshot(device.Path(), false, second).IsError());
  platform::FaultTable::Set("KzBfDriver::destroySnap", 16, false, 1);
  CapturingLog log;
  EXPECT_FALSE(driver.StopBlockFilter().IsError());
  EXPECT_TRUE(log.Contains("Failed to destroy snap [" + first + "] for device [" + device.Path() + "]"));
  EXPECT_FALSE(log.Contains("Failed to destroy snap [" + second + "]"));
  ASSERT_FALSE(driver.QueryBlockFilter(&attached, nullptr, nullptr, nullptr, nullptr).IsError());
  EXPECT_FALSE(attached);

  // A configured extent size in MiB.
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "nExtentSizeForBlockFilterDriver", "8"));
  ASSERT_FALSE(driver.StartBlockFilter(already).IsError());
  ASSERT_FALSE(driver.QueryBlockFilter(&attached, nullptr, &extent, nullptr, nullptr).IsError());
  EXPECT_EQ(extent, 8 << 20);
  platform::FaultTable::Set("KzBfDriver::detachDevice", 5, false, 1);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(driver.StopBlockFilter(), 5));
  platform::FaultTable::Set("KzBfDriver::attachDevice", 5, false, 1);
  CQiError failed = driver.StartBlockFilter(already);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(failed, 5));
  EXPECT_NE(failed.AsString().find("Failed to attach to device[" + device.Path() + "]"), std::string::npos);
}

// A driver that answers getBitmap with a vector of its own size.
class ShortDriver : public platform::KzBfBackend {
 public:
  CQiError Open() override { return CQiError(); }
  CQiError Attach(const std::string&, int) override { return CQiError(); }
  CQiError Detach(const std::string&) override { return CQiError(); }
  CQiError Query(const std::string&, platform::KzBfDeviceStatus&) override { return CQiError(); }
  CQiError Clear(const std::string&) override { return CQiError(); }
  CQiError GetBitmap(const std::string&, std::vector<char>& bitmap, bool) override {
    bitmap.assign(returned, static_cast<char>(0xFF));
    return CQiError();
  }
  CQiError DestroySnap(const std::string&) override { return CQiError(); }
  size_t returned = 1;
};

TEST(CBFDriverInterfaceDriver, AFailedReadLeavesAZeroedBufferOfTheRequestedSize) {
  ScopedStateDir state;
  ShortDriver shortDriver;
  platform::KzBf::Scope use(shortDriver);
  CBFDriverInterface driver("/dev/sdz");
  auto_ptr_array<unsigned char> bitmap(new unsigned char[1]);
  CQiError failed = driver.GetAndClearBitmap(bitmap, 4);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(failed, 22));
  EXPECT_NE(failed.AsString().find("GetAndClearBM failed for device[/dev/sdz]"), std::string::npos);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(bitmap[i], 0) << i;

  shortDriver.returned = 6;  // more than asked for: the first bytes are the bitmap
  ASSERT_FALSE(driver.GetBitmap(bitmap, 4).IsError());
  EXPECT_EQ(bitmap[3], 0xFF);

  platform::FaultTable::Set("KzBfDriver::getBitmap", 19);
  failed = driver.GetBitmap(bitmap, 4);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(failed, 19));
  EXPECT_NE(failed.AsString().find("GetBM failed for device[/dev/sdz]"), std::string::npos);
  EXPECT_EQ(bitmap[3], 0);
  // The client's exceptions reach the caller.
  platform::FaultTable::Set("KzBfDriver::getBitmap", -1, true);
  EXPECT_THROW(driver.GetAndClearBitmap(bitmap, 4), KzException);
}

}  // namespace
