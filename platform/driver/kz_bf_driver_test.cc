#include "platform/driver/kz_bf_driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "platform/harness/kzbf_harness.h"
#include "platform/sim/fault_table.h"
#include "support/loop_device.h"
#include "support/run_command.h"
#include "support/test_platform.h"

namespace {

constexpr int kExtent = 4 << 20;

std::string MakeImage(const testing_support::ScopedStateDir& state, const std::string& name, off_t size) {
  const std::string path = state.Sub(name);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::ftruncate(fd, size), 0);
  ::close(fd);
  return path;
}

void WriteAt(const std::string& path, off_t offset, char value, size_t length = 4096) {
  int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  std::string data(length, value);
  ASSERT_EQ(::pwrite(fd, data.data(), data.size(), offset), static_cast<ssize_t>(data.size()));
  ::close(fd);
}

std::vector<char> Bitmap(KzBfDriver& driver, const std::string& device, bool clear) {
  std::vector<char> bitmap(2, 0);
  CQiError result = driver.getBitmap(device, &bitmap, clear);
  EXPECT_FALSE(result.IsError()) << result.AsString();
  return bitmap;
}

TEST(SimulatedKzBf, ReportsWrittenExtentsUntilCleared) {
  testing_support::ScopedStateDir state;
  const std::string image = MakeImage(state, "disk.img", 64 << 20);
  KzBfDriver driver;  // never opened: every call reaches the driver by itself
  ASSERT_FALSE(driver.attachDevice(image, kExtent).IsError());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(driver.attachDevice(image, kExtent), 114));

  WriteAt(image, 12 << 20, 'x');
  WriteAt(image, (40 << 20) + 100, 'y', 10);
  EXPECT_EQ(Bitmap(driver, image, false), (std::vector<char>{0x08, 0x04}));
  // Writing the old bytes back does not undo what the driver has seen.
  WriteAt(image, (40 << 20) + 100, '\0', 10);
  EXPECT_EQ(Bitmap(driver, image, true), (std::vector<char>{0x08, 0x04}));
  EXPECT_EQ(Bitmap(driver, image, true), (std::vector<char>{0, 0}));
  WriteAt(image, 12 << 20, 'x');  // the same bytes again: unseen
  EXPECT_EQ(Bitmap(driver, image, false), (std::vector<char>{0, 0}));

  ASSERT_FALSE(blbsim::KzbfMarkExtents(image, {0, 15}).IsError());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(blbsim::KzbfMarkExtents(image, {16}), 22));
  EXPECT_EQ(Bitmap(driver, image, false), (std::vector<char>{0x01, static_cast<char>(0x80)}));
  ASSERT_FALSE(driver.clearBitmap(image).IsError());
  EXPECT_EQ(Bitmap(driver, image, false), (std::vector<char>{0, 0}));

  bool attached = false;
  int64_t size = 0;
  int extent = 0, count = 0;
  std::list<std::string> snapshots{"kept"};
  ASSERT_FALSE(driver.queryDevice(image, &attached, &size, &extent, &count, &snapshots).IsError());
  EXPECT_TRUE(attached);
  EXPECT_EQ(size, 64 << 20);
  EXPECT_EQ(extent, kExtent);
  EXPECT_EQ(count, 16);
  EXPECT_EQ(snapshots, std::list<std::string>{"kept"});

  ASSERT_FALSE(driver.detachDevice(image).IsError());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(driver.detachDevice(image), 6));
  std::vector<char> bitmap(2);
  EXPECT_TRUE(driver.getBitmap(image, &bitmap, false).IsError());
  ASSERT_FALSE(driver.queryDevice(image, &attached, &size, &extent, &count, &snapshots).IsError());
  EXPECT_FALSE(attached);
}

TEST(SimulatedKzBf, ListsAndDestroysSnapshotsThatHoldTheDevicesContent) {
  testing_support::ScopedStateDir state;
  const std::string image = MakeImage(state, "disk.img", 8 << 20);
  WriteAt(image, 4096, 's');
  KzBfDriver driver;
  ASSERT_FALSE(driver.attachDevice(image, 1 << 20).IsError());
  std::string first, second;
  ASSERT_FALSE(blbsim::KzbfCreateSnapshot(image, false, first).IsError());
  ASSERT_FALSE(blbsim::KzbfCreateSnapshot(image, false, second).IsError());
  EXPECT_EQ(testing_support::ReadFile(first), testing_support::ReadFile(image));

  bool attached = false;
  std::list<std::string> snapshots;
  ASSERT_FALSE(driver.queryDevice(image, &attached, nullptr, nullptr, nullptr, &snapshots).IsError());
  EXPECT_EQ(snapshots, (std::list<std::string>{first, second}));
  ASSERT_FALSE(driver.destroySnap(first).IsError());
  EXPECT_FALSE(testing_support::FileExists(first));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(driver.destroySnap(first), 2));
  // Detaching removes what is left.
  ASSERT_FALSE(driver.detachDevice(image).IsError());
  EXPECT_FALSE(testing_support::FileExists(second));

  // On a loop device, when the machine has one free.
  ASSERT_FALSE(driver.attachDevice(image, 1 << 20).IsError());
  std::string loop;
  if (blbsim::KzbfCreateSnapshot(image, true, loop).IsError()) GTEST_SKIP() << "no free loop device";
  EXPECT_EQ(loop.rfind("/dev/loop", 0), 0u) << loop;
  std::string copy(8 << 20, '\0');
  int fd = ::open(loop.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::pread(fd, &copy[0], copy.size(), 0), static_cast<ssize_t>(copy.size()));
  ::close(fd);
  EXPECT_EQ(copy, testing_support::ReadFile(image));
  ASSERT_FALSE(driver.destroySnap(loop).IsError());
  // Detached: the device no longer holds a file of this state directory. The
  // kernel lets it go once its last opener closes it, and another test may
  // take the free number at once, so look for our file, a while.
  const std::string backedByUs =
      "losetup -n -O BACK-FILE " + loop + " 2>/dev/null | grep -F '" + state.Path() + "' || true";
  EXPECT_EQ(testing_support::SettledCommandOutput(backedByUs, ""), "") << loop;
  ASSERT_FALSE(driver.detachDevice(image).IsError());
}

// A snapshot is what the device holds when it is taken, whatever the
// device's page cache still holds; devices the driver does not track (a
// driverless volume) get snapshots too, which the driver does not list but
// destroys alike.
TEST(SimulatedKzBf, SnapshotsCopyTheDeviceAsItIsAndCoverUntrackedDevices) {
  testing_support::ScopedStateDir state;
  testing_support::ScopedLoopDevice loop(8 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  // Read through the device, held open as a mounted file system holds it
  // (its page cache keeps the zeros read), then written beside it through
  // the backing file.
  const int held = ::open(loop.Device().c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  std::string before(8 << 20, 'x');
  EXPECT_EQ(::pread(held, &before[0], before.size(), 0), static_cast<ssize_t>(before.size()));
  WriteAt(loop.Image(), 1 << 20, 'n');

  std::string first, second;
  ASSERT_FALSE(blbsim::KzbfCreateSnapshot(loop.Device(), false, first).IsError());
  ASSERT_FALSE(blbsim::KzbfCreateSnapshot(loop.Device(), false, second).IsError());
  EXPECT_EQ(testing_support::ReadFile(first), testing_support::ReadFile(loop.Image()));
  ::close(held);

  KzBfDriver driver;
  bool attached = true;
  std::list<std::string> snapshots;
  ASSERT_FALSE(driver.queryDevice(loop.Device(), &attached, nullptr, nullptr, nullptr, &snapshots).IsError());
  EXPECT_FALSE(attached);
  EXPECT_TRUE(snapshots.empty());
  ASSERT_FALSE(driver.destroySnap(second).IsError());
  EXPECT_FALSE(testing_support::FileExists(second));
  EXPECT_TRUE(testing_support::FileExists(first));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(driver.destroySnap(second), 2));
  ASSERT_FALSE(driver.destroySnap(first).IsError());
  EXPECT_FALSE(testing_support::FileExists(first));
}

// A snapshot is told from a later one on the same (reused) loop device by
// its image: no name is handed out twice, the names of destroyed snapshots
// included, whatever became of the counter; a snapshot that cannot be
// named is refused rather than named again, and a file that stood at the
// name, or came there after the name was chosen, is left as it was.
TEST(SimulatedKzBf, ASnapshotImageIsNeverNamedTwice) {
  const struct {
    const char* why;
    std::function<void(const std::string& counter)> damage;
    const char* refusal;  // what the failure names; none when a new name is given
    std::function<void(const std::string& image)> racing = {};
  } cases[] = {
      {"counter removed", [](const std::string& counter) { ::unlink(counter.c_str()); }, nullptr},
      {"counter holding no number", [](const std::string& counter) { testing_support::WriteFile(counter, "x\n"); },
       "snapshot image counter"},
      {"counter unreadable",
       [](const std::string& counter) {
         ::unlink(counter.c_str());
         ::mkdir(counter.c_str(), 0755);
       },
       "snapshot image counter"},
      // A new counter would replace the link: only its read stops a restart.
      {"counter unreadable but writable",
       [](const std::string& counter) {
         ::unlink(counter.c_str());
         ASSERT_EQ(::symlink(".", counter.c_str()), 0);
       },
       "snapshot image counter"},
      {"a file put at the chosen name before the copy", [](const std::string&) {}, "Cannot copy device",
       [](const std::string& image) { testing_support::WriteFile(image, "theirs"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    testing_support::ScopedStateDir state;
    const std::string image = MakeImage(state, "disk.img", 1 << 20);
    WriteAt(image, 0, 'k');
    std::string destroyed, kept, next;
    ASSERT_FALSE(blbsim::KzbfCreateSnapshot(image, false, destroyed).IsError());
    ASSERT_FALSE(blbsim::KzbfCreateSnapshot(image, false, kept).IsError());
    KzBfDriver driver;
    ASSERT_FALSE(driver.destroySnap(destroyed).IsError());
    struct stat before;
    ASSERT_EQ(::stat(kept.c_str(), &before), 0);
    const std::string keptContent = testing_support::ReadFile(kept);
    WriteAt(image, 0, 'n');

    c.damage(state.Sub("drivers/kzbf/snaps/.next"));
    std::string raced;
    const CQiError made = blbsim::KzbfCreateSnapshot(image, false, next, [&](const std::string& chosen) {
      if (!c.racing) return;
      c.racing(chosen);
      raced = chosen;
    });
    if (!c.refusal) {
      ASSERT_FALSE(made.IsError()) << made.AsString();
      EXPECT_NE(next, destroyed);
      EXPECT_NE(next, kept);
      EXPECT_EQ(testing_support::ReadFile(next), testing_support::ReadFile(image));
    } else {
      EXPECT_TRUE(made.IsError());
      EXPECT_NE(made.AsString().find(c.refusal), std::string::npos) << made.AsString();
      EXPECT_FALSE(testing_support::FileExists(destroyed));
    }
    if (c.racing) {
      // Neither overwritten nor left to a record that a destroy would follow.
      EXPECT_TRUE(testing_support::ReadFile(raced) == "theirs");
      std::string named;
      EXPECT_TRUE(FXErrorUtil::IsErrNo(blbsim::KzbfSnapshotImage(raced, named), 2)) << named;
    }
    struct stat after;
    ASSERT_EQ(::stat(kept.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(testing_support::ReadFile(kept), keptContent);
  }
}

TEST(SimulatedKzBf, UnloadedDriverAndInjectedFaultsFailEveryCall) {
  testing_support::ScopedStateDir state;
  const std::string image = MakeImage(state, "disk.img", 1 << 20);
  KzBfDriver driver;
  ASSERT_FALSE(driver.open().IsError());
  ASSERT_TRUE(blbsim::SetKzbfLoaded(false));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(driver.open(), 19));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(driver.attachDevice(image, 65536), 19));
  // The stand-in load script brings it back.
  std::string script = state.Sub("install/Base/unix_drv.sh");
  ASSERT_EQ(std::system((script + " -a kzbf").c_str()), 0);
  EXPECT_FALSE(driver.open().IsError());
  ASSERT_TRUE(blbsim::InstallKzbfLoadScript(false));
  ASSERT_TRUE(blbsim::SetKzbfLoaded(false));
  EXPECT_NE(std::system((script + " -a kzbf 2>/dev/null").c_str()), 0);
  EXPECT_FALSE(blbsim::IsKzbfLoaded());
  ASSERT_TRUE(blbsim::SetKzbfLoaded(true));

  EXPECT_TRUE(FXErrorUtil::IsErrNo(driver.attachDevice(state.Sub("missing.img"), 65536), 2));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(driver.attachDevice(image, 0), 22));
  platform::FaultTable::Set("KzBfDriver::attachDevice", 5);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(driver.attachDevice(image, 65536), 5));
  platform::FaultTable::Set("KzBfDriver::getBitmap", -1, true);
  std::vector<char> bitmap(2);
  EXPECT_THROW(driver.getBitmap(image, &bitmap, true), KzException);

  // Interface calls that the client does not provide are not supported.
  std::string out;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(driver.createSnap("a", "b", 0, "c", "d", &out), 95));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(driver.setDataBlockBitmap(image, nullptr, 0), 95));
}

TEST(SimulatedKzBf, AShortLastExtentCountsAndTheCallersBitmapSizeIsKept) {
  testing_support::ScopedStateDir state;
  const off_t size = (10 << 20) + 3;  // extents of 4, 4 and 2 MiB + 3 bytes
  const std::string image = MakeImage(state, "odd.img", size);
  KzBfDriver driver;
  ASSERT_FALSE(driver.attachDevice(image, kExtent).IsError());
  int count = 0;
  ASSERT_FALSE(driver.queryDevice(image, nullptr, nullptr, nullptr, &count, nullptr).IsError());
  EXPECT_EQ(count, 3);

  WriteAt(image, size - 1, 'e', 1);
  WriteAt(image, (8 << 20) - 1, 'e', 1);
  // Asked for more than the device's bitmap: the vector keeps its size.
  std::vector<char> bitmap(4, 0x55);
  ASSERT_FALSE(driver.getBitmap(image, &bitmap, true).IsError());
  EXPECT_EQ(bitmap, (std::vector<char>{0x06, 0, 0, 0}));
  WriteAt(image, 8 << 20, 'e', 1);
  EXPECT_EQ(Bitmap(driver, image, true), (std::vector<char>{0x04, 0}));
}

TEST(SimulatedKzBf, ProcessesChangingOneDeviceAtOnceLoseNothing) {
  testing_support::ScopedStateDir state;
  const std::string image = MakeImage(state, "disk.img", 64 << 20);
  KzBfDriver driver;
  ASSERT_FALSE(driver.attachDevice(image, 1 << 20).IsError());
  constexpr int kProcesses = 8;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t child = ::fork();
    if (child == 0) {
      int failed = 0;
      for (uint64_t extent = static_cast<uint64_t>(p); extent < 64; extent += kProcesses)
        failed |= blbsim::KzbfMarkExtents(image, {extent}).IsError() ? 1 : 0;
      ::_exit(failed);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::vector<char> bitmap(8, 0);
  ASSERT_FALSE(driver.getBitmap(image, &bitmap, false).IsError());
  EXPECT_EQ(bitmap, std::vector<char>(8, static_cast<char>(0xFF)));
}

// Every count of a device record is checked against the rest before use.
TEST(SimulatedKzBf, ADamagedDeviceRecordIsRefused) {
  testing_support::ScopedStateDir state;
  const std::string image = MakeImage(state, "disk.img", 8 << 20);
  KzBfDriver driver;
  ASSERT_FALSE(driver.attachDevice(image, 1 << 20).IsError());
  const std::string folder = state.Sub("drivers/kzbf/devices");
  std::string record;
  DIR* dir = ::opendir(folder.c_str());
  ASSERT_NE(dir, nullptr);
  while (dirent* entry = ::readdir(dir))
    if (entry->d_name[0] != '.') record = folder + "/" + entry->d_name;
  ::closedir(dir);
  const std::string good = testing_support::ReadFile(record);
  ASSERT_NE(good.find("extents=8\n"), std::string::npos);

  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::vector<std::string> damaged{
      replaced("extents=8\n", "extents=99999999999999\n"),
      replaced("extents=8\n", "extents=7\n"),
      replaced("extentSize=1048576\n", "extentSize=1\n"),
      replaced("deviceSize=8388608\n", "deviceSize=999999999999\n"),
      good.substr(0, good.size() - 1),
  };
  std::vector<char> bitmap(1);
  for (const std::string& text : damaged) {
    testing_support::WriteFile(record, text);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(driver.getBitmap(image, &bitmap, false), EBADMSG)) << text.substr(0, 80);
  }
  testing_support::WriteFile(record, good);
  EXPECT_FALSE(driver.getBitmap(image, &bitmap, false).IsError());
}

}  // namespace
