// The machine-wide semaphore, the CXBF driver and the mount table as an
// engineer drives them from the shell, and what the library then sees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/cxbf/kz_volume.h"
#include "platform/mnttab/kz_mnt_tab.h"
#include "platform/process/kz_process.h"
#include "platform/process/shell_quote.h"
#include "support/blbsim_command.h"
#include "support/test_platform.h"
#include "tracking/handler_test_fixtures.h"
#include "tracking/volume_bitmap_helper_cxbf.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::RunBlbsim;
using Clock = std::chrono::steady_clock;

// Polls until the condition holds or the seconds ran out; whether it held.
template <class Condition>
bool WaitFor(Condition condition, int seconds) {
  const Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

TEST(blbsimSem, AnotherProcessInsideTheLockHoldsUpTheHandlerUntilItDies) {
  tracking_test::SharedDevice shared;
  const std::string held = shared.state.Sub("held.out");
  KzProcess holder;
  char error[256] = {};
  const std::string command = std::string(BLBSIM_PATH) + " --state " + platform::ShellQuote(shared.state.Path()) +
                              " sem hold BlockLvlContentCheck > " + platform::ShellQuote(held) + " 2>&1";
  ASSERT_TRUE(holder.StartProcess(nullptr, command.c_str(), error, sizeof error, 0)) << error;
  ASSERT_TRUE(WaitFor([&] { return FileExists(held) && ReadFile(held) == "held\n"; }, 10));

  std::atomic<bool> done{false};
  tracking_test::SharedDevice::Result result;
  std::thread call([&] {
    result = shared.GetAndClear(7);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_FALSE(done);
  EXPECT_EQ(shared.List(), tracking_test::kNone);

  ASSERT_EQ(holder.kill(SIGKILL), 0);
  EXPECT_TRUE(WaitFor([&] { return done.load(); }, 5));
  call.join();
  ASSERT_FALSE(result.error.IsError()) << result.error.AsString();
  EXPECT_EQ(shared.List(), shared.Line(7));

  // A name that cannot be a semaphore, or a bad time.
  std::string out;
  EXPECT_EQ(RunBlbsim(shared.state.Path(), "sem hold a/b 1", &out), 1);
  EXPECT_EQ(RunBlbsim(shared.state.Path(), "sem hold x -1"), 2);
  ASSERT_EQ(RunBlbsim(shared.state.Path(), "sem hold BlockLvlContentCheck 0", &out), 0);
  EXPECT_EQ(out, "held\n");
}

TEST(blbsimCxbf, RegistersPseudoDevicesAndShowsTheRequestsTheyGot) {
  testing_support::ScopedStateDir state;
  const std::string dir = state.Path();
  const std::string image = state.Sub("disk.img");
  const int fd = ::open(image.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(::ftruncate(fd, 8 << 20), 0);
  ::close(fd);
  std::string out;
  ASSERT_EQ(RunBlbsim(dir, "cxbf add /dev/cxbf/c0 " + image + " 1048576", &out), 0) << out;
  EXPECT_FALSE(KZVolume::isCXBFDevice("/dev/cxbf/c0"));  // not loaded yet
  ASSERT_EQ(RunBlbsim(dir, "cxbf load"), 0);
  EXPECT_TRUE(KZVolume::isCXBFDevice("/dev/cxbf/c0"));
  EXPECT_EQ(RunBlbsim(dir, "cxbf add /dev/cxbf/c0 " + image, &out), 1);
  EXPECT_EQ(RunBlbsim(dir, "cxbf snap /dev/cxbf/c0 3 x"), 2);
  ASSERT_EQ(RunBlbsim(dir, "cxbf snap /dev/cxbf/c0 3 4"), 0);
  ASSERT_EQ(RunBlbsim(dir, "cxbf mark /dev/cxbf/c0 2 7"), 0);
  EXPECT_EQ(RunBlbsim(dir, "cxbf mark /dev/cxbf/c0 8"), 1);
  ASSERT_EQ(RunBlbsim(dir, "cxbf fsblock 512"), 0);
  ASSERT_EQ(RunBlbsim(dir, "cxbf list", &out), 0);
  EXPECT_EQ(out, "0 c0 /dev/cxbf/c0 " + image + " extent=1048576 snap=3 snap=4\n");

  KZVolumeUnix volume(KZVolumeUnix::kControlDevice);
  ASSERT_TRUE(volume.selectVolume("c0"));
  unsigned char bitmap[1] = {};
  ASSERT_TRUE(volume.getBitmap(0, bitmap, 1, false));
  EXPECT_EQ(bitmap[0], 0x84);
  EXPECT_EQ(volume.GetFsBlockSize(), 512u);
  ASSERT_FALSE(VolumeBitMapHelper_CXBF::GetVolumeHandler()->DeleteSnapAndDetachDevice("/dev/cxbf/c0", false).IsError());
  ASSERT_EQ(RunBlbsim(dir, "cxbf log", &out), 0);
  EXPECT_EQ(out, "CXBF_GET_DEVICE_LIST\nCXBF_GET_INFO 0\nCXBF_STOP_SNAP 3\nCXBF_DELETE_SNAP 3\nCXBF_STOP_SNAP 4\n"
                 "CXBF_DELETE_SNAP 4\n");
  ASSERT_EQ(RunBlbsim(dir, "cxbf unload"), 0);
  EXPECT_FALSE(KZVolume::isCXBFDevice("/dev/cxbf/c0"));
  EXPECT_EQ(RunBlbsim(dir, "cxbf bogus"), 2);
}

TEST(blbsimMnt, InjectedMountsFollowTheRealOnesOrStandAlone) {
  testing_support::ScopedStateDir state;
  const std::string dir = state.Path();
  ASSERT_EQ(RunBlbsim(dir, "mnt add /dev/mapper/vg0-kznv_3 /mnt/s3"), 0);
  ASSERT_EQ(RunBlbsim(dir, "mnt add pool/a /pool/a zfs"), 0);
  std::string out;
  ASSERT_EQ(RunBlbsim(dir, "mnt list", &out), 0);
  EXPECT_NE(out.find(" /proc proc "), std::string::npos);
  EXPECT_NE(out.find("/dev/mapper/vg0-kznv_3 /mnt/s3 ext4 rw\npool/a /pool/a zfs rw\n"), std::string::npos);
  ASSERT_EQ(RunBlbsim(dir, "mnt real off"), 0);
  std::list<KzMntTab::Entry> entries;
  ASSERT_FALSE(KzMntTab::getAll(entries).IsError());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries.front().m_sMountPoint, "/mnt/s3");
  ASSERT_EQ(RunBlbsim(dir, "mnt clear"), 0);
  ASSERT_EQ(RunBlbsim(dir, "mnt list", &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(RunBlbsim(dir, "mnt real maybe"), 2);
}

}  // namespace
