// The simulated KZBF driver as an engineer drives it from the shell.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "platform/driver/kz_bf_driver.h"
#include "support/blbsim_command.h"
#include "support/run_command.h"
#include "support/test_platform.h"

namespace {

using testing_support::RunBlbsim;

TEST(blbsimKzbf, AttachesMarksShowsAndSnapshotsADevice) {
  testing_support::ScopedStateDir state;
  const std::string dir = state.Path();
  const std::string image = state.Sub("disk.img");
  int fd = ::open(image.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(::ftruncate(fd, 4 << 20), 0);
  std::string out;
  ASSERT_EQ(RunBlbsim(dir, "kzbf attach " + image + " 1048576", &out), 0) << out;
  EXPECT_EQ(RunBlbsim(dir, "kzbf attach " + image, &out), 1);
  EXPECT_NE(out.find("already attached"), std::string::npos);

  ASSERT_EQ(::pwrite(fd, "z", 1, 3 << 20), 1);
  ::close(fd);
  // Numbers that do not read whole are refused, not taken as 0 or cut.
  EXPECT_EQ(RunBlbsim(dir, "kzbf mark " + image + " 2 x"), 2);
  EXPECT_EQ(RunBlbsim(dir, "kzbf attach " + image + "2 5000000000"), 2);
  ASSERT_EQ(RunBlbsim(dir, "kzbf mark " + image + " 1"), 0);
  ASSERT_EQ(RunBlbsim(dir, "kzbf bitmap " + image, &out), 0);
  EXPECT_EQ(out, "1 3\n");
  ASSERT_EQ(RunBlbsim(dir, "kzbf bitmap " + image + " clear", &out), 0);
  EXPECT_EQ(out, "1 3\n");
  ASSERT_EQ(RunBlbsim(dir, "kzbf bitmap " + image, &out), 0);
  EXPECT_EQ(out, "\n");

  std::string snapshot;
  ASSERT_EQ(RunBlbsim(dir, "kzbf snap " + image, &snapshot), 0);
  snapshot.pop_back();
  ASSERT_EQ(RunBlbsim(dir, "kzbf query " + image, &out), 0);
  EXPECT_EQ(out, "attached=1 size=4194304 extent=1048576 extents=4\nsnapshot " + snapshot + "\n");

  // What the shell did is what the library's client sees.
  KzBfDriver driver;
  std::list<std::string> snapshots;
  bool attached = false;
  ASSERT_FALSE(driver.queryDevice(image, &attached, nullptr, nullptr, nullptr, &snapshots).IsError());
  EXPECT_EQ(snapshots, std::list<std::string>{snapshot});
  ASSERT_EQ(RunBlbsim(dir, "kzbf unload"), 0);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(driver.open(), 19));
  ASSERT_EQ(RunBlbsim(dir, "kzbf status", &out), 0);
  EXPECT_EQ(out, "unloaded\n");

  // The stand-in load script loads it again, and records each of its runs.
  const std::string script = state.Sub("install/Base/unix_drv.sh");
  EXPECT_NE(testing_support::RunCommand(script + " -x 2>/dev/null", &out), 0);
  ASSERT_EQ(testing_support::RunCommand(script + " -a kzbf", &out), 0);
  EXPECT_FALSE(driver.open().IsError());
  ASSERT_EQ(RunBlbsim(dir, "kzbf script-calls", &out), 0);
  EXPECT_NE(out.find(" " + script + " -x\n"), std::string::npos) << out;
  EXPECT_NE(out.find(" " + script + " -a kzbf\n"), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
  EXPECT_EQ(RunBlbsim(dir, "kzbf bogus", &out), 2);
}

}  // namespace
