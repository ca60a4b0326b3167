#include "tracking/kzbf_cluster_handler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "blocklevel/blocklevel.h"
#include "platform/driver/kzbf_backend.h"
#include "platform/sim/fault_table.h"
#include "tracking/cluster_test_fixtures.h"

namespace {

using cluster_test::ClusterNode;
using cluster_test::kNone;
using testing_support::CapturingLog;
using testing_support::WriteFile;

const std::string k0500("\x05\x00", 2);

bool Failed(const CQiError& error, int code, const std::string& text) {
  return FXErrorUtil::IsErrNo(error, code) && error.AsString().find(text) != std::string::npos;
}

// Two volumes, "a" on image A (extents 0 and 2 written) and "b" on image B
// (extent 5), tracked by the driver and listed; "a" listed twice, and a
// volume whose mount point is gone. Client 5's subclients 7 (on "a") and 8
// (on "b") are registered, and so are this machine's own client 2 on "a" and
// client 5 on a device that is not listed.
struct TwoVolumes : ClusterNode {
  std::string imageA = Image("A"), imageB = Image("B");
  std::string a = Mount("a", imageA), b = Mount("b", imageB);
  std::string virtualA = Record(imageA, Key(a), 5, 7), virtualB = Record(imageB, Key(b), 5, 8);
  std::string physicalA = Record(imageA, Key(a), 2, 9), unlisted = Record("/dev/other", "OTHER", 5, 7);
  std::string listed = Entry(a) + Entry(b) + Entry(a) + Entry(state.Sub("gone"));

  TwoVolumes() {
    EXPECT_FALSE(blbsim::KzbfAttach(imageA, cluster_test::kExtent).IsError());
    EXPECT_FALSE(blbsim::KzbfAttach(imageB, cluster_test::kExtent).IsError());
    EXPECT_FALSE(blbsim::KzbfMarkExtents(imageA, {0, 2}).IsError());
    EXPECT_FALSE(blbsim::KzbfMarkExtents(imageB, {5}).IsError());
    WriteFile(list, listed);
    WriteFile(monitored, virtualA + physicalA + virtualB + unlisted);
  }
};

// Forwards to the simulated driver, but hands back one byte less of the
// bitmap than asked for.
class ShortBitmapDriver : public platform::KzBfBackend {
 public:
  CQiError Open() override { return real_.Open(); }
  CQiError Attach(const std::string& d, int e) override { return real_.Attach(d, e); }
  CQiError Detach(const std::string& d) override { return real_.Detach(d); }
  CQiError Query(const std::string& d, platform::KzBfDeviceStatus& s) override { return real_.Query(d, s); }
  CQiError Clear(const std::string& d) override { return real_.Clear(d); }
  CQiError GetBitmap(const std::string& d, std::vector<char>& bitmap, bool clear) override {
    CQiError result = real_.GetBitmap(d, bitmap, clear);
    bitmap.resize(bitmap.size() - 1);
    return result;
  }
  CQiError DestroySnap(const std::string& s) override { return real_.DestroySnap(s); }

 private:
  platform::KzBfBackend& real_ = platform::KzBfBackend::Default();
};

TEST(BlockLevelClusterHandler, RefusesOtherArgumentsAndEndsWhenTheMountTableCannotBeRead) {
  ClusterNode node;
  EXPECT_TRUE(Failed(BlockLevelClusterHandler(2), 22, "Invalid Start-Stop parameter"));
  platform::FaultTable::Set("KzMntTab::getAll", 13);
  for (int startStop : {0, 1, 2}) EXPECT_TRUE(FXErrorUtil::IsErrNo(BlockLevelClusterHandler(startStop), 13));
}

TEST(KzBfClusterHandler, DeviceOfAMountPoint) {
  ClusterNode node;
  KzBfClusterHandler handler;
  ASSERT_FALSE(handler.LoadMounts().IsError());
  std::string device;
  ASSERT_FALSE(handler.GetDevice("/dev/null", device).IsError());  // a device is its own
  EXPECT_EQ(device, "/dev/null");
  EXPECT_TRUE(FXErrorUtil::IsWin32(handler.GetDevice(node.state.Sub("none"), device), 1627));
  EXPECT_TRUE(Failed(handler.GetDevice(node.state.Path(), device), 2, "Could not find mount point"));
}

TEST(KzBfClusterHandler, StopLeavesTheBitmapsAndVirtualRecordsAndASoftStartTracksAfresh) {
  TwoVolumes node;
  WriteFile(node.LeftBehind(node.b), std::string("\x00\x01", 2));  // an earlier stop's
  ASSERT_FALSE(BlockLevelClusterHandler(0).IsError());
  EXPECT_EQ(node.Contents(node.LeftBehind(node.a)), k0500);
  EXPECT_EQ(node.Contents(node.LeftBehind(node.b)), std::string("\x20\x01", 2));
  EXPECT_EQ(node.Contents(node.marker), node.virtualA + node.virtualB);
  EXPECT_EQ(node.Tracking(node.imageA), "attached=0");
  EXPECT_EQ(node.Tracking(node.imageB), "attached=0");
  EXPECT_EQ(node.Contents(node.list), node.listed);

  // The other node: the volumes come up from other devices; client 5's
  // subclient 8 is registered there already, with the device it had.
  ASSERT_TRUE(blbsim::ClearMounts());
  const std::string imageA2 = node.Image("A2"), imageB2 = node.Image("B2");
  node.Mount("a", imageA2);
  node.Mount("b", imageB2);
  WriteFile(node.monitored, node.physicalA + node.virtualB);
  ASSERT_FALSE(BlockLevelClusterHandler(1).IsError());
  EXPECT_EQ(node.Contents(node.marker), kNone);
  EXPECT_EQ(node.Tracking(imageA2), "attached=1 extent=4194304");
  EXPECT_EQ(node.Tracking(imageB2), "attached=1 extent=4194304");
  EXPECT_EQ(node.Changed(imageA2), "");
  // The gone volume has no bitmap to trust: dirty, and the list rewritten
  // holds each mount point once.
  EXPECT_EQ(node.Contents(node.list),
            node.Entry(node.a) + node.Entry(node.b) + node.Entry(node.state.Sub("gone"), 1));
  EXPECT_EQ(node.Contents(node.LeftBehind(node.a)), k0500);  // for the next backup's merge
  EXPECT_EQ(node.Contents(node.monitored),
            node.physicalA + node.virtualB + node.Record(imageA2, node.Key(node.a), 5, 7));

  // Stopped twice without a start: the second stop's lines follow the first's.
  WriteFile(node.marker, "earlier\n");
  ASSERT_FALSE(BlockLevelClusterHandler(0).IsError());
  EXPECT_EQ(node.Contents(node.marker),
            "earlier\n" + node.virtualB + node.Record(imageA2, node.Key(node.a), 5, 7));
}

TEST(KzBfClusterHandler, AStartWithoutTheMarkerOrTheBitmapMarksVolumesDirty) {
  TwoVolumes node;
  WriteFile(node.LeftBehind(node.a), k0500);
  ASSERT_FALSE(BlockLevelClusterHandler(1).IsError());  // hard: no marker
  EXPECT_EQ(node.Contents(node.list), node.Entry(node.a, 1) + node.Entry(node.b, 1) +
                                          node.Entry(node.state.Sub("gone"), 1));
  EXPECT_EQ(node.Contents(node.LeftBehind(node.a)), kNone);  // stale
  EXPECT_EQ(node.Tracking(node.imageA), "attached=1 extent=4194304");  // already attached: cleared all the same
  EXPECT_EQ(node.Changed(node.imageA), "");

  // Soft: a volume with its bitmap stays as it was, one without is dirty.
  WriteFile(node.list, node.listed);
  WriteFile(node.marker, "");
  WriteFile(node.LeftBehind(node.b), k0500);
  ASSERT_FALSE(BlockLevelClusterHandler(1).IsError());
  EXPECT_EQ(node.Contents(node.list), node.Entry(node.a, 1) + node.Entry(node.b) +
                                          node.Entry(node.state.Sub("gone"), 1));
  EXPECT_EQ(node.Contents(node.LeftBehind(node.b)), k0500);
  EXPECT_EQ(node.Contents(node.marker), kNone);

  // No list: nothing to start, and a marker stays for the start that has one.
  std::filesystem::remove(node.list);
  WriteFile(node.marker, node.virtualA);
  ASSERT_FALSE(BlockLevelClusterHandler(1).IsError());
  EXPECT_EQ(node.Contents(node.marker), node.virtualA);
}

TEST(KzBfClusterHandler, AVolumeThatCannotBeSavedStaysAttachedAndIsNotCarried) {
  TwoVolumes node;
  WriteFile(node.LeftBehind(node.a), k0500);
  WriteFile(node.LeftBehind(node.state.Sub("gone")), k0500);        // an earlier stop's, its mount point gone since
  platform::FaultTable::Set("KzBfDriver::getBitmap", 5, false, 1);  // volume a
  ShortBitmapDriver shortDriver;
  {
    platform::KzBf::Scope use(shortDriver);  // volume b after a's fault
    ASSERT_FALSE(BlockLevelClusterHandler(0).IsError());
  }
  EXPECT_EQ(node.Contents(node.LeftBehind(node.a)), kNone);  // incomplete without this part
  EXPECT_EQ(node.Contents(node.LeftBehind(node.b)), kNone);
  EXPECT_EQ(node.Contents(node.LeftBehind(node.state.Sub("gone"))), kNone);
  EXPECT_EQ(node.Tracking(node.imageA), "attached=1 extent=4194304");
  EXPECT_EQ(node.Tracking(node.imageB), "attached=1 extent=4194304");
  EXPECT_EQ(node.Contents(node.marker), "");

  // A failed detach is only a risk for the unmount: the volume is carried.
  platform::FaultTable::Set("KzBfDriver::detachDevice", 16);
  ASSERT_FALSE(BlockLevelClusterHandler(0).IsError());
  EXPECT_EQ(node.Contents(node.marker), node.virtualA + node.virtualB);
  EXPECT_EQ(node.Tracking(node.imageA), "attached=1 extent=4194304");
}

// The stop cannot read a's driver bitmap, so what an earlier stop left for
// a is stale; when it cannot go either, no marker may have the next start
// trust it: that start is hard and marks every volume dirty.
TEST(KzBfClusterHandler, AStaleBitmapThatCannotGoLeavesNoMarker) {
  TwoVolumes node;
  std::filesystem::create_directories(node.LeftBehind(node.a) + "/x");
  platform::FaultTable::Set("KzBfDriver::getBitmap", 5, false, 1);  // volume a
  EXPECT_TRUE(Failed(BlockLevelClusterHandler(0), 21, "Failed to unlink stale bitmap " + node.LeftBehind(node.a)));
  EXPECT_EQ(node.Contents(node.marker), kNone);
  EXPECT_EQ(node.Contents(node.LeftBehind(node.b)), std::string("\x20\x00", 2));  // b stopped all the same
  EXPECT_EQ(node.Tracking(node.imageB), "attached=0");

  // An earlier stop's marker would make that start soft all the same: it goes.
  WriteFile(node.marker, node.virtualB);
  platform::FaultTable::Set("KzBfDriver::getBitmap", 5, false, 1);
  EXPECT_TRUE(Failed(BlockLevelClusterHandler(0), 21, "Failed to unlink stale bitmap " + node.LeftBehind(node.a)));
  EXPECT_EQ(node.Contents(node.marker), kNone);
}

TEST(KzBfClusterHandler, StopFailuresAfterTheVolumesLeaveTheSavedBitmaps) {
  TwoVolumes node;
  // The driver absent: nothing to leave behind.
  ASSERT_TRUE(blbsim::SetKzbfLoaded(false));
  ASSERT_FALSE(BlockLevelClusterHandler(0).IsError());
  EXPECT_EQ(node.Contents(node.marker), kNone);
  EXPECT_EQ(node.Contents(node.LeftBehind(node.a)), kNone);
  ASSERT_TRUE(blbsim::SetKzbfLoaded(true));

  std::filesystem::create_directories(node.marker);  // cannot be opened for appending
  EXPECT_TRUE(Failed(BlockLevelClusterHandler(0), 21, "failed to create file " + node.marker));
  EXPECT_EQ(node.Contents(node.LeftBehind(node.a)), k0500);
  EXPECT_EQ(node.Tracking(node.imageA), "attached=0");
  std::filesystem::remove(node.marker);

  platform::FaultTable::Set("ClientProperties::isVirtualClient", 5, false, 1);
  EXPECT_TRUE(Failed(BlockLevelClusterHandler(0), 5, "Failed to check virtual client or not, clientId=5"));
  EXPECT_EQ(node.Contents(node.marker), "");  // made, and carrying nothing
}

TEST(KzBfClusterHandler, StartLoadsTheDriverOnlyForListedVolumes) {
  TwoVolumes node;
  ASSERT_TRUE(blbsim::SetKzbfLoaded(false));
  ASSERT_FALSE(BlockLevelClusterHandler(1).IsError());
  EXPECT_EQ(blbsim::KzbfLoadScriptCalls().size(), 1u);
  EXPECT_EQ(node.Tracking(node.imageA), "attached=1 extent=4194304");

  ASSERT_TRUE(blbsim::SetKzbfLoaded(false));
  ASSERT_TRUE(blbsim::InstallKzbfLoadScript(false));
  CQiError failed = BlockLevelClusterHandler(1);  // the errno the command left
  EXPECT_NE(failed.AsString().find("Failed to load KZBF driver: kzbf: module not found"), std::string::npos);
  platform::FaultTable::Set("KZPI_Base::getHomeDirectory", 5, false, 1);
  EXPECT_TRUE(Failed(BlockLevelClusterHandler(1), 2, "Failed to get base directory from registry"));

  // A list without volumes: no load; the marker is taken, its records find no device.
  CapturingLog log;
  WriteFile(node.list, "");
  WriteFile(node.marker, node.virtualA);
  WriteFile(node.monitored, node.physicalA);
  ASSERT_FALSE(BlockLevelClusterHandler(1).IsError());
  EXPECT_EQ(blbsim::KzbfLoadScriptCalls().size(), 2u);  // the two loads above only
  EXPECT_EQ(node.Contents(node.marker), kNone);
  EXPECT_TRUE(log.Contains("Failed to find associated device for deviceId=" + node.Key(node.a)));
}

TEST(KzBfClusterHandler, StartFailuresLeaveTheListAsFarAsItGot) {
  TwoVolumes node;
  // The dirty marks are saved before anything else changes: a stale bitmap
  // that cannot go then ends the start at that volume, and "a", whose driver
  // bitmap was already cleared, is marked for a full backup.
  const std::string allDirty =
      node.Entry(node.a, 1) + node.Entry(node.b, 1) + node.Entry(node.state.Sub("gone"), 1);
  std::filesystem::create_directories(node.LeftBehind(node.b) + "/x");
  EXPECT_TRUE(Failed(BlockLevelClusterHandler(1), 21, "Failed to unlink " + node.LeftBehind(node.b)));
  EXPECT_EQ(node.Contents(node.list), allDirty);
  EXPECT_EQ(node.Changed(node.imageA), "");  // a was started before it
  EXPECT_EQ(node.Changed(node.imageB), "5");
  std::filesystem::remove_all(node.LeftBehind(node.b));

  // The driver client throws: its message, the marks saved before.
  WriteFile(node.list, node.listed);
  WriteFile(node.marker, node.virtualA);
  platform::FaultTable::Set("KzBfDriver::clearBitmap", 5, true);
  EXPECT_TRUE(Failed(BlockLevelClusterHandler(1), -1, "Injected fault in KzBfDriver::clearBitmap"));
  EXPECT_EQ(node.Contents(node.list), allDirty);
  EXPECT_EQ(node.Contents(node.marker), kNone);  // so the next start is hard
  platform::FaultTable::ClearAll();

  // The records cannot be registered: the volumes are started, marked, and the marker gone.
  WriteFile(node.marker, node.virtualA);
  std::filesystem::remove(node.monitored);
  std::filesystem::create_directories(node.monitored);
  EXPECT_TRUE(BlockLevelClusterHandler(1).IsError());
  EXPECT_EQ(node.Contents(node.marker), kNone);
  EXPECT_EQ(node.Contents(node.list), node.Entry(node.a, 1) + node.Entry(node.b, 1) +
                                          node.Entry(node.state.Sub("gone"), 1));
}

}  // namespace
