#include "tracking/block_level_bitmap_handler.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "platform/driver/kzbf_backend.h"
#include "platform/harness/kzbf_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/sim/fault_table.h"
#include "support/test_platform.h"
#include "tracking/handler_test_fixtures.h"
#include "tracking/runtime_full_marks.h"

namespace {

using testing_support::CapturingLog;
using testing_support::ReadFile;
using testing_support::WriteFile;
using tracking_test::kNone;
using tracking_test::kOnes;
using tracking_test::kZeros;
using tracking_test::SharedDevice;
using tracking_test::Tree;

TEST(BlockLevelBitmapHandler, FirstCallOnAnUntrackedDeviceRegistersAttachesAndGoesFull) {
  SharedDevice shared;
  const std::string destination = shared.state.Sub("D/ID1.bmp");
  platform::MakeDirectories(shared.state.Sub("D"));
  SMVolBlock block = shared.Block(7);
  CBlockLevelBitmapHandler handler;
  ASSERT_FALSE(handler.Initialize(shared.dcf).IsError());
  CQiError result = handler.GetAndClearBitmap(5, 2, block, "ID1", destination);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_TRUE(block.bForceFull);
  platform::KzBfDeviceStatus status;
  ASSERT_FALSE(blbsim::KzbfQuery(shared.device.Path(), status).IsError());
  EXPECT_TRUE(status.attached);
  EXPECT_EQ(status.extentSize, 4194304);
  EXPECT_EQ(ReadFile(destination), kOnes);
  EXPECT_EQ(shared.Cache(7), kZeros);
  EXPECT_EQ(shared.List(), shared.Line(7));
  EXPECT_TRUE(shared.Hooks().empty());

  // Reading without clearing needs a registered subclient.
  SharedDevice::Result unregistered = shared.Get(9);
  EXPECT_TRUE(FXErrorUtil::IsWin32(unregistered.error, 1168));
  EXPECT_EQ(unregistered.error.GetMessage(),
            "Volume config not found in list, vcId=2, clientId=5, appId=9, device=" + shared.device.Path());
  EXPECT_EQ(unregistered.written, kNone);
  EXPECT_EQ(shared.List(), shared.Line(7));
}

TEST(BlockLevelBitmapHandler, ClearedBitsReachEveryOtherSubclientOfTheDevice) {
  SharedDevice shared;
  shared.RegisterSevenAndEight();
  EXPECT_EQ(shared.List(), shared.Line(7) + shared.Line(8));
  shared.device.Write(4 << 20);
  shared.device.Write(36 << 20);

  // Reading without clearing: app 7 sees the bits, which stay in the driver.
  SharedDevice::Result peek = shared.Get(7);
  ASSERT_FALSE(peek.error.IsError()) << peek.error.AsString();
  EXPECT_EQ(peek.written, "\x02\x02");
  EXPECT_EQ(shared.Cache(7), "\x02\x02");
  EXPECT_EQ(shared.Cache(8), kZeros);

  SharedDevice::Result seven = shared.GetAndClear(7);
  ASSERT_FALSE(seven.error.IsError()) << seven.error.AsString();
  EXPECT_EQ(seven.written, "\x02\x02");
  EXPECT_FALSE(seven.forceFull);
  EXPECT_EQ(shared.Cache(7), kZeros);
  EXPECT_EQ(shared.Cache(8), "\x02\x02");

  SharedDevice::Result eight = shared.GetAndClear(8);
  ASSERT_FALSE(eight.error.IsError());
  EXPECT_EQ(eight.written, "\x02\x02");
  EXPECT_FALSE(eight.forceFull);
  EXPECT_EQ(shared.Cache(7), kZeros);
  EXPECT_EQ(shared.Cache(8), kZeros);
  EXPECT_TRUE(shared.Hooks().empty());

  // An existing destination is OR-ed into, not replaced.
  shared.device.Write(0);
  const std::string destination = shared.NextDestination();
  WriteFile(destination, std::string("\x00\x80", 2));
  SMVolBlock block = shared.Block(7);
  CBlockLevelBitmapHandler handler;
  ASSERT_FALSE(handler.Initialize(shared.dcf).IsError());
  ASSERT_FALSE(handler.GetAndClearBitmap(5, 2, block, "ID1", destination).IsError());
  EXPECT_EQ(ReadFile(destination), std::string("\x01\x80", 2));
  // The caller's request for a full backup comes back with all ones.
  SharedDevice::Result full = shared.GetAndClear(8, true);
  EXPECT_TRUE(full.forceFull);
  EXPECT_EQ(full.written, kOnes);
}

TEST(BlockLevelBitmapHandler, LeftOverHooksTurnWhatTheyGuardedIntoFullBitmaps) {
  SharedDevice shared;
  shared.RegisterSevenAndEight();
  shared.device.Write(4 << 20);

  // The driver hook of an unfinished distribution: every cache becomes full.
  WriteFile(shared.dcf + "/ID1.hook", "");
  SharedDevice::Result seven = shared.GetAndClear(7);
  ASSERT_FALSE(seven.error.IsError());
  EXPECT_TRUE(seven.forceFull);
  EXPECT_EQ(seven.written, kOnes);
  EXPECT_EQ(shared.Cache(8), kOnes);
  EXPECT_EQ(shared.Cache(7), kZeros);
  EXPECT_TRUE(shared.Hooks().empty());

  // One subclient's hook: only that cache.
  ASSERT_FALSE(shared.GetAndClear(8).error.IsError());
  shared.device.Write(36 << 20);
  WriteFile(shared.CacheFolder(8) + "/ID1.hook", "");
  seven = shared.GetAndClear(7);
  EXPECT_FALSE(seven.forceFull);
  EXPECT_EQ(seven.written, std::string("\x00\x02", 2));
  EXPECT_EQ(shared.Cache(8), kOnes);
  EXPECT_TRUE(shared.Hooks().empty());

  // A missing cache is rebuilt as all ones: the own one makes the backup full.
  std::filesystem::remove(shared.CacheFolder(7) + "/ID1.bmp");
  seven = shared.GetAndClear(7);
  EXPECT_TRUE(seven.forceFull);
  EXPECT_EQ(seven.written, kOnes);
  EXPECT_EQ(shared.Cache(7), kZeros);
}

// A cluster start's last mark in the runtime folder, named by any id the
// device is known by or by the device itself, counts as a driver hook left
// over: every cache of the device becomes full. It stays until a step of the
// device got that far, and goes then.
TEST(BlockLevelBitmapHandler, AClusterStartsLastMarkTurnsEveryCacheFullOnce) {
  SharedDevice shared;
  const std::string runtime = shared.state.Sub("run");
  ASSERT_TRUE(blbsim::SetRegistryValue("FileSystemAgent", "sBlockLevelRuntimeDir", runtime));
  shared.RegisterSevenAndEight();
  ASSERT_FALSE(shared.GetAndClear(9, true, "ID2").error.IsError());  // another mount path of the device
  std::filesystem::create_directories(runtime);
  for (const std::string& name :
       {std::string("ID1"), std::string("ID2"), tracking::RuntimeFullMarks::NameOfDevice(shared.device.Path())}) {
    const std::string mark = runtime + "/" + name + ".full";
    WriteFile(mark, "");
    shared.device.Write(4 << 20);
    SharedDevice::Result seven = shared.GetAndClear(7);
    ASSERT_FALSE(seven.error.IsError()) << seven.error.AsString();
    EXPECT_TRUE(seven.forceFull) << name;
    EXPECT_EQ(seven.written, kOnes) << name;
    EXPECT_EQ(shared.Cache(8), kOnes) << name;
    EXPECT_EQ(shared.Cache(9, "ID2"), kOnes) << name;
    EXPECT_FALSE(testing_support::FileExists(mark)) << name;
    ASSERT_FALSE(shared.GetAndClear(8).error.IsError());
    ASSERT_FALSE(shared.GetAndClear(9, false, "ID2").error.IsError());
    EXPECT_FALSE(shared.GetAndClear(7).forceFull) << name << ": honoured twice";
  }
  const std::string mark = runtime + "/ID1.full";
  WriteFile(mark, "");
  platform::FaultTable::Set("KzBfDriver::getBitmap", 5, false, 1);
  EXPECT_TRUE(shared.GetAndClear(7).error.IsError());
  EXPECT_TRUE(testing_support::FileExists(mark)) << "a step that failed took the mark";
}

TEST(BlockLevelBitmapHandler, AHalfWayDistributionUnderAnotherIdOfTheDeviceTurnsEveryCacheFullOnce) {
  SharedDevice shared;
  shared.RegisterSevenAndEight();
  // App 9 knows the same device by another id (another mount path of it).
  ASSERT_FALSE(shared.GetAndClear(9, true, "ID2").error.IsError());
  ASSERT_EQ(shared.Cache(9, "ID2"), kZeros);

  // A distribution under ID1 cleared the driver and died: its hook is left.
  WriteFile(shared.dcf + "/ID1.hook", "");
  SharedDevice::Result nine = shared.GetAndClear(9, false, "ID2");
  ASSERT_FALSE(nine.error.IsError()) << nine.error.AsString();
  EXPECT_TRUE(nine.forceFull);
  EXPECT_EQ(nine.written, kOnes);
  EXPECT_EQ(shared.Cache(7), kOnes);
  EXPECT_EQ(shared.Cache(8), kOnes);
  EXPECT_EQ(shared.Cache(9, "ID2"), kZeros);
  // Every entry under ID1 names this device: the call reached them all, so
  // the hook goes with its own. Left, it would make every later call of 9
  // full until one under ID1 came.
  EXPECT_TRUE(shared.Hooks().empty());
  shared.device.Write(8 << 20);  // extent 2
  nine = shared.GetAndClear(9, false, "ID2");
  ASSERT_FALSE(nine.error.IsError()) << nine.error.AsString();
  EXPECT_FALSE(nine.forceFull);
  EXPECT_EQ(nine.written, std::string("\x04\x00", 2));
  SharedDevice::Result seven = shared.GetAndClear(7);
  ASSERT_FALSE(seven.error.IsError()) << seven.error.AsString();
  EXPECT_EQ(seven.written, kOnes);
  ASSERT_FALSE(shared.GetAndClear(8).error.IsError());

  // An entry under ID1 that names the device otherwise (a link to it) may be
  // one no call of this device path reaches: the hook stays for ID1's next
  // call, which goes full too.
  const std::string link = shared.state.Sub("by-id");
  std::filesystem::create_symlink(shared.device.Path(), link);
  WriteFile(shared.dcf + "/BLKVolumeMoniterList.kzf", shared.List() + "2|5|10|" + link + "|ID1|0|0|0|0|\n");
  WriteFile(shared.dcf + "/ID1.hook", "");
  nine = shared.GetAndClear(9, false, "ID2");
  ASSERT_FALSE(nine.error.IsError()) << nine.error.AsString();
  EXPECT_TRUE(nine.forceFull);
  EXPECT_EQ(shared.Hooks(), std::vector<std::string>{shared.dcf + "/ID1.hook"});
  seven = shared.GetAndClear(7);
  ASSERT_FALSE(seven.error.IsError()) << seven.error.AsString();
  EXPECT_TRUE(seven.forceFull);
  EXPECT_EQ(shared.Cache(9, "ID2"), kOnes);
  EXPECT_EQ(shared.Cache(10), kOnes);
  EXPECT_TRUE(shared.Hooks().empty());
}

TEST(BlockLevelBitmapHandler, FailuresAfterTheDriversClearNeverLoseItsBits) {
  SharedDevice shared;
  shared.RegisterSevenAndEight();
  CapturingLog log;

  // A destination that cannot be written: full, the own cache all ones and
  // its hook kept; the call still succeeds.
  shared.device.Write(4 << 20);
  SMVolBlock block = shared.Block(7);
  CBlockLevelBitmapHandler handler;
  ASSERT_FALSE(handler.Initialize(shared.dcf).IsError());
  CQiError result = handler.GetAndClearBitmap(5, 2, block, "ID1", shared.state.Sub("nosuchdir/ID1.bmp"));
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_TRUE(block.bForceFull);
  EXPECT_EQ(shared.Cache(7), kOnes);
  EXPECT_EQ(shared.Cache(8), std::string("\x02\x00", 2));
  EXPECT_EQ(shared.Hooks(), std::vector<std::string>{shared.CacheFolder(7) + "/ID1.hook"});
  SharedDevice::Result next = shared.GetAndClear(7);
  EXPECT_TRUE(next.forceFull);
  EXPECT_EQ(next.written, kOnes);
  EXPECT_TRUE(shared.Hooks().empty());

  // A cache that cannot be merged into becomes all ones without making the
  // backup full.
  shared.device.Write(8 << 20);
  platform::FaultTable::Set("FXFile::KZReadFile", 5, false, 1);
  SharedDevice::Result seven = shared.GetAndClear(7);
  EXPECT_TRUE(log.Contains("Resetting bitmap as failed to merge bitmap in subclient cache"));
  EXPECT_FALSE(seven.forceFull);
  EXPECT_EQ(seven.written, kOnes);
  EXPECT_EQ(shared.Cache(8), std::string("\x06\x00", 2));

  // A cache that cannot even be made all ones lacks the cleared bits: its
  // hook stays, so the next call makes it all ones...
  shared.device.Write(12 << 20);
  platform::FaultTable::Set("FXFile::KZWriteFile", 28, false, 2);  // the merge's write, then the reset's
  log.Clear();
  SharedDevice::Result eight = shared.GetAndClear(8);
  ASSERT_FALSE(eight.error.IsError());
  EXPECT_TRUE(log.Contains("UpdateEntryCache: Failed to reset subclient cache bitmap"));
  EXPECT_FALSE(eight.forceFull);
  EXPECT_EQ(shared.Hooks(), std::vector<std::string>{shared.CacheFolder(7) + "/ID1.hook"});
  ASSERT_FALSE(shared.GetAndClear(8).error.IsError());
  EXPECT_EQ(shared.Cache(7), kOnes);
  EXPECT_TRUE(shared.Hooks().empty());
  // ... and when it is the caller's own, this backup is full.
  platform::FaultTable::Set("FXFile::KZWriteFile", 28, false, 2);
  SharedDevice::Result own = shared.GetAndClear(7);
  ASSERT_FALSE(own.error.IsError());
  EXPECT_TRUE(own.forceFull);
  EXPECT_EQ(shared.Hooks(), std::vector<std::string>{shared.CacheFolder(7) + "/ID1.hook"});

  // The driver read fails after the hook was made (a short driver vector
  // too): the hook stays, and the next call of any subclient is all ones.
  ASSERT_FALSE(shared.GetAndClear(7).error.IsError());
  platform::FaultTable::Set("KzBfDriver::getBitmap", 5, false, 1);
  SharedDevice::Result failed = shared.GetAndClear(7);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(failed.error, 5));
  EXPECT_EQ(failed.written, kNone);
  EXPECT_EQ(shared.Hooks(), std::vector<std::string>{shared.dcf + "/ID1.hook"});
  SharedDevice::Result after = shared.GetAndClear(8);
  EXPECT_TRUE(after.forceFull);
  EXPECT_EQ(after.written, kOnes);
  EXPECT_EQ(shared.Cache(7), kOnes);
  EXPECT_TRUE(shared.Hooks().empty());
}

// The driver records its clear on disk at once: the hooks must be there
// before, or a power loss leaves no trace of the bits it cleared.
TEST(BlockLevelBitmapHandler, HooksThatCannotBeSyncedFailTheStepBeforeTheDriverIsTouched) {
  SharedDevice shared;
  shared.RegisterSevenAndEight();
  shared.device.Write(4 << 20);
  platform::FaultTable::Set("FXFile::KZFlushFile", 5, false, 1);
  SharedDevice::Result failed = shared.GetAndClear(7);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(failed.error, 5)) << failed.error.AsString();
  EXPECT_NE(failed.error.AsString().find("Failed to sync the driver hooks"), std::string::npos);
  EXPECT_EQ(failed.written, kNone);
  EXPECT_TRUE(shared.Hooks().empty());
  EXPECT_EQ(shared.Cache(8), kZeros);
  // The driver kept the change: the next call takes it, incrementally.
  SharedDevice::Result next = shared.GetAndClear(7);
  ASSERT_FALSE(next.error.IsError()) << next.error.AsString();
  EXPECT_FALSE(next.forceFull);
  EXPECT_EQ(next.written, std::string("\x02\x00", 2));
  EXPECT_EQ(shared.Cache(8), std::string("\x02\x00", 2));
}

TEST(BlockLevelBitmapHandler, WithoutTheMachineWideLockNothingIsTouched) {
  SharedDevice shared;
  shared.RegisterSevenAndEight();
  shared.device.Write(4 << 20);
  const std::map<std::string, std::string> before = Tree(shared.state.Path() + "/dcf");
  const std::map<std::string, std::string> cachesBefore = Tree(shared.j5);

  for (const char* call : {"KzNamedSemaphore::KzNamedSemaphore", "KzNamedSemaphore::wait"}) {
    platform::FaultTable::Set(call, 12, false, 1);
    SharedDevice::Result result = shared.GetAndClear(8);
    ASSERT_TRUE(result.error.IsError()) << call;
    EXPECT_NE(result.error.AsString().find("Failed to setup the lock object"), std::string::npos) << call;
    EXPECT_EQ(result.written, kNone);
  }
  platform::FaultTable::Set("KzNamedSemaphore::KzNamedSemaphore", 12, false, 1);
  SharedDevice::Result unmade = shared.GetAndClear(8);
  EXPECT_TRUE(FXErrorUtil::IsWin32(unmade.error, 774));
  EXPECT_EQ(unmade.error.GetMessage(), "failed to allocate lock object");
  for (const auto& [call, run] : std::map<std::string, std::function<CQiError(CBlockLevelBitmapHandler&)>>{
           {"add", [&](CBlockLevelBitmapHandler& h) { return h.AddVolume(5, shared.Block(9), "ID1"); }},
           {"sc2sc", [&](CBlockLevelBitmapHandler& h) { return h.MergeBitmapFromSC2SC(shared.Block(9), 5, "ID1", 7); }},
       }) {
    platform::FaultTable::Set("KzNamedSemaphore::wait", 4, false, 1);
    CBlockLevelBitmapHandler handler;
    ASSERT_FALSE(handler.Initialize(shared.dcf).IsError());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(run(handler), 4)) << call;
  }
  EXPECT_EQ(Tree(shared.state.Path() + "/dcf"), before);
  EXPECT_EQ(Tree(shared.j5), cachesBefore);
  std::vector<uint64_t> pending;
  ASSERT_FALSE(blbsim::KzbfChangedExtents(shared.device.Path(), false, pending).IsError());
  EXPECT_EQ(pending, std::vector<uint64_t>{1});
}

TEST(BlockLevelBitmapHandler, RegistersSubclientsAndHandsACacheToAnother) {
  SharedDevice shared;
  shared.RegisterSevenAndEight();
  shared.device.Write(4 << 20);
  ASSERT_FALSE(shared.GetAndClear(8).error.IsError());
  ASSERT_EQ(shared.Cache(7), std::string("\x02\x00", 2));

  CBlockLevelBitmapHandler handler;
  ASSERT_FALSE(handler.Initialize(shared.dcf).IsError());
  // A newly registered subclient loses a cache left from an earlier
  // registration; an existing one is left alone.
  WriteFile(shared.CacheFolder(9) + "/ID1.bmp", kOnes);
  ASSERT_FALSE(handler.AddVolume(5, shared.Block(9), "ID1").IsError());
  EXPECT_EQ(shared.Cache(9), kNone);
  ASSERT_FALSE(handler.AddVolume(5, shared.Block(9), "ID1").IsError());
  VolumeConfig record(2, 5, 10, shared.device.Path(), "ID1", 0, 0, 0, 0, "");
  bool isNew = false;
  ASSERT_FALSE(handler.AddVolume(record, isNew).IsError());
  EXPECT_TRUE(isNew);
  ASSERT_FALSE(handler.AddVolume(record, isNew).IsError());
  EXPECT_FALSE(isNew);
  EXPECT_EQ(shared.List(), shared.Line(7) + shared.Line(8) + shared.Line(9) + shared.Line(10));

  // From app 7 to app 9: copied into a missing target cache, OR-ed into an
  // existing one; the source is left as it was, its hook gone.
  ASSERT_FALSE(handler.MergeBitmapFromSC2SC(shared.Block(9), 5, "ID1", 7).IsError());
  EXPECT_EQ(shared.Cache(9), std::string("\x02\x00", 2));
  WriteFile(shared.CacheFolder(9) + "/ID1.bmp", std::string("\x00\x10", 2));
  CapturingLog log(1);
  ASSERT_FALSE(handler.MergeBitmapFromSC2SC(shared.Block(9), 5, "ID1", 7).IsError());
  EXPECT_TRUE(log.Contains("No job-results bitmap file"));
  EXPECT_EQ(shared.Cache(9), std::string("\x02\x10", 2));
  EXPECT_EQ(shared.Cache(7), std::string("\x02\x00", 2));
  EXPECT_TRUE(shared.Hooks().empty());

  // A source whose backup runs (its hook is there) is refused; the hook stays.
  WriteFile(shared.CacheFolder(7) + "/ID1.hook", "");
  CQiError running = handler.MergeBitmapFromSC2SC(shared.Block(9), 5, "ID1", 7);
  EXPECT_TRUE(FXErrorUtil::IsWin32(running, 774));
  EXPECT_EQ(shared.Hooks(), std::vector<std::string>{shared.CacheFolder(7) + "/ID1.hook"});
  std::filesystem::remove(shared.CacheFolder(7) + "/ID1.hook");

  // A source without a cache file gives the target an empty cache, which
  // the next distribution reads as all changed.
  std::filesystem::remove(shared.CacheFolder(10) + "/ID1.bmp");
  ASSERT_FALSE(handler.MergeBitmapFromSC2SC(shared.Block(11), 5, "ID1", 10).IsError());
  EXPECT_EQ(shared.Cache(11), "");
  ASSERT_FALSE(shared.GetAndClear(8).error.IsError());
  EXPECT_EQ(shared.Cache(11), kOnes);
  // No subclient of the source application: only the target is registered.
  ASSERT_FALSE(handler.MergeBitmapFromSC2SC(shared.Block(12), 5, "ID1", 99).IsError());
  EXPECT_EQ(shared.Cache(12), kNone);
  EXPECT_NE(shared.List().find(shared.Line(12)), std::string::npos);
}

}  // namespace
