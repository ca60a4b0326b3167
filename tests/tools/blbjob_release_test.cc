// A job's snapshot as later jobs, kills and restarts leave it: its job finds
// it by its own image, whatever loop device numbers others' snapshots had,
// and its release destroys it, what a killed command took of it included,
// and nothing another job holds, saying "released" only of what it
// destroyed. A job forced full by a renumbered device says so on its job
// line, whatever fails after its snapshot task.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/blbsim_command.h"
#include "support/fault_injection.h"
#include "support/run_command.h"
#include "support/test_platform.h"

namespace {

using testing_support::CommandOutput;
using testing_support::RunBlbsim;
using testing_support::RunCommand;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string Job(int job, int level, int last = 0) {
  return " -- -a 2:7 -j " + std::to_string(job) + " -t " + std::to_string(level) + " -d stow1 -jt TOK" +
         (last != 0 ? " -lsjid " + std::to_string(last) : "");
}

// blbjob after the prefix ("VAR=value ", a wrapping command), its stderr
// with its stdout. A verb right after a kill may find the killed command's
// freeze holder still ending, holding the subclient's lock: asked again.
int RunBlbjob(const std::string& arguments, std::string* output = nullptr, const std::string& prefix = "") {
  std::string text;
  int status = 0;
  for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
    status = RunCommand(prefix + BLBJOB_PATH + " " + arguments + " 2>&1", &text);
    if (!Contains(text, ") of subclient 2:7 is running;")) break;
  }
  if (output != nullptr) *output = text;
  return status;
}

// The file a loop device reads; empty when it reads none.
std::string BackingFile(const std::string& loop) {
  std::string file = CommandOutput("losetup -n -O BACK-FILE " + loop + " 2>/dev/null || true");
  while (!file.empty() && (file.back() == '\n' || file.back() == ' ')) file.pop_back();
  return file;
}

// The prefix that has the driver's `losetup -f --show` attach at that loop
// device's number when it is free, as the kernel does when it is the lowest
// free one: a later snapshot gets the number of one whose loop device went.
std::string OnLoopNumber(const testing_support::ScopedStateDir& state, const std::string& loop) {
  const std::string folder = state.Sub("bin");
  const std::string script = folder + "/losetup";
  RunCommand("mkdir -p " + folder);
  testing_support::WriteFile(script,
                             "#!/bin/sh\n"
                             "real=$(PATH=/usr/sbin:/sbin:/usr/bin:/bin command -v losetup)\n"
                             "if [ \"$1\" = -f ] && [ \"$2\" = --show ]; then\n"
                             "  for i in $(seq 250); do\n"
                             "    \"$real\" " +
                                 loop + " \"$3\" 2>/dev/null && { echo " + loop +
                                 "; exit 0; }\n"
                                 "    sleep 0.02\n"
                                 "  done\n"
                                 "fi\n"
                                 "exec \"$real\" \"$@\"\n");
  RunCommand("chmod +x " + script);
  return "PATH=" + folder + ":$PATH ";
}

// A 32 MiB ext4 of an image in the state directory, on a loop device,
// mounted at the state directory's "volume", with subclient 2:7. It can be
// attached again at another number, as a restart may.
struct Volume {
  testing_support::ScopedStateDir state;
  std::string image = state.Sub("volume.img");
  std::string mountPoint = state.Sub("volume");
  std::string device;
  std::vector<std::string> former;  // the numbers it had

  Volume() {
    if (RunCommand("truncate -s 32M " + image + " && mkfs.ext4 -q -F " + image + " && mkdir -p " + mountPoint) != 0)
      return;
    device = CommandOutput("losetup -f --show " + image + " 2>/dev/null || true");
    if (!device.empty()) device.pop_back();
    if (!device.empty() && RunCommand("mount " + device + " " + mountPoint) != 0) device.clear();
    EXPECT_EQ(RunBlbsim(state.Path(), "subclient 2 7 2"), 0);
    if (!device.empty()) Write("a", 6);
  }
  ~Volume() {
    RunCommand("umount " + mountPoint + " 2>/dev/null");
    if (!device.empty()) RunCommand("losetup -d " + device);
    // Whatever a job kept.
    RunCommand("for l in $(losetup -a | grep -F '" + state.Path() + "/drivers' | cut -d: -f1); do losetup -d $l; done");
  }
  bool Ok() const { return !device.empty(); }
  void Write(const std::string& name, int mib) const {
    EXPECT_EQ(RunCommand("dd if=/dev/urandom of=" + mountPoint + "/" + name + " bs=1M count=" + std::to_string(mib) +
                         " status=none && sync"),
              0);
  }
  // The job's recorded snapshot of the volume.
  std::string Snapshot(int job) const {
    const std::string shown = CommandOutput(std::string(BLBSIM_PATH) + " job show " + std::to_string(job));
    const size_t at = shown.find("snapshot=");
    return at == std::string::npos ? "" : shown.substr(at + 9, shown.find(' ', at) - at - 9);
  }
  // The loop devices that read a file of the state directory, once those
  // let go have left the list.
  std::string SnapshotLoops() const { return testing_support::SettledCommandOutput(Attached(), ""); }
  std::string Attached() const { return "losetup -a | grep -F '" + state.Path() + "/drivers' || true"; }
  std::string Images() const { return CommandOutput("ls " + state.Sub("drivers/kzbf/snaps") + " | grep img || true"); }
  // The snapshots the driver's records name.
  std::string DriverSnapshots() const {
    return CommandOutput("cat " + state.Sub("drivers/kzbf/devices") + "/*.dev | grep -a '^snapshot=' || true");
  }
  // The volume detached and attached again at a number that is none of its
  // own so far nor one of those given, and mounted again (a number the
  // driver tracked it at would be no new device to it); false when it
  // cannot be.
  bool Renumber(const std::vector<std::string>& avoid) {
    if (RunCommand("umount " + mountPoint + " && losetup -d " + device) != 0) return false;
    former.push_back(device);
    std::vector<std::string> held;
    std::vector<std::string> numbers = avoid;
    numbers.insert(numbers.end(), former.begin(), former.end());
    for (size_t i = 0; i < numbers.size(); ++i) {
      const std::string pad = state.Sub("pad" + std::to_string(i) + ".img");
      if (RunCommand("truncate -s 1M " + pad + " && losetup " + numbers[i] + " " + pad + " 2>/dev/null") == 0)
        held.push_back(numbers[i]);
    }
    device = CommandOutput("losetup -f --show " + image + " 2>/dev/null || true");
    if (!device.empty()) device.pop_back();
    for (const std::string& pad : held) RunCommand("losetup -d " + pad);
    return !device.empty() && std::find(former.begin(), former.end(), device) == former.end() &&
           RunCommand("mount " + device + " " + mountPoint) == 0;
  }
};

#define SKIP_WITHOUT_VOLUME(volume) \
  if (!(volume).Ok()) GTEST_SKIP() << "no loop device or ext4 here"

// The job line of a run's output.
std::string JobLine(const std::string& output, int job) {
  const size_t at = output.find("job=" + std::to_string(job) + " ");
  return at == std::string::npos ? "" : output.substr(at, output.find('\n', at) - at);
}

}  // namespace

// A kept snapshot's loop device detached (by hand, or by a restart), a later
// job's snapshot attached at its number: the later job reads and releases
// its own snapshot, the driver destroys it by that name (as the snapshot
// task's clean-up asks), and the earlier job's release leaves that loop
// device alone, as it leaves one that holds another volume after a restart.
TEST(blbjobRelease, ASnapshotOnTheNumberOfOneWhoseLoopDeviceWentIsItsOwnJobsToReadAndRelease) {
  Volume fs;
  SKIP_WITHOUT_VOLUME(fs);
  std::string out;
  // The earlier job's kept snapshot and image, the later one's on its
  // number.
  struct Taken {
    std::string loop, first, second;
  };
  // Another process may take the free number first: tried again then.
  const auto onItsNumber = [&](int earlier, int later) {
    Taken taken;
    for (int attempt = 0; attempt < 5; ++attempt) {
      EXPECT_EQ(RunBlbjob("run --keep-snapshot --volume " + fs.mountPoint + Job(earlier, 1), &out), 0) << out;
      taken.loop = fs.Snapshot(earlier);
      taken.first = BackingFile(taken.loop);
      EXPECT_FALSE(taken.first.empty()) << taken.loop;
      EXPECT_EQ(RunCommand("losetup -d " + taken.loop), 0);
      fs.Write("b", 2);
      EXPECT_EQ(RunBlbjob("run --keep-snapshot --volume " + fs.mountPoint + Job(later, 2, earlier), &out,
                          OnLoopNumber(fs.state, taken.loop)),
                0)
          << out;
      taken.second = BackingFile(taken.loop);
      if (fs.Snapshot(later) == taken.loop && taken.second != taken.first) return taken;
      RunBlbjob("release" + Job(later, 1), &out);
      RunBlbjob("release" + Job(earlier, 1), &out);
    }
    ADD_FAILURE() << "no later snapshot got " << taken.loop;
    return taken;
  };
  const auto leftAlone = [](const std::string& loop, const std::string& why) {
    return "snapshot " + loop + ": image removed, loop device left alone: " + loop + " " + why + "\n";
  };

  // The earlier job's release removes its image and nothing of the later
  // job's snapshot, which reads as before.
  Taken taken = onItsNumber(1001, 1002);
  EXPECT_EQ(RunBlbjob("release" + Job(1001, 1), &out), 0) << out;
  EXPECT_EQ(out, leftAlone(taken.loop, "reads another file now, not its image " + taken.first));
  EXPECT_EQ(BackingFile(taken.loop), taken.second);
  EXPECT_FALSE(testing_support::FileExists(taken.first));
  EXPECT_EQ(RunBlbjob("scan" + Job(1002, 2, 1001), &out), 0) << out;
  EXPECT_EQ(RunBlbjob("release" + Job(1002, 2, 1001), &out), 0) << out;
  EXPECT_EQ(out, "snapshot " + taken.loop + ": released\n");
  EXPECT_EQ(fs.SnapshotLoops(), "");
  EXPECT_EQ(fs.Images(), "");

  // The driver told to destroy the snapshot of that name destroys the later
  // one, the only one on it.
  taken = onItsNumber(1003, 1004);
  EXPECT_EQ(RunBlbsim(fs.state.Path(), "kzbf destroy-snap " + taken.loop), 0);
  EXPECT_EQ(fs.SnapshotLoops(), "");
  EXPECT_TRUE(testing_support::FileExists(taken.first));
  EXPECT_EQ(RunBlbjob("release" + Job(1004, 1), &out), 0) << out;
  EXPECT_EQ(out, "snapshot " + taken.loop + ": already gone\n");
  EXPECT_EQ(RunBlbjob("release" + Job(1003, 1), &out), 0) << out;
  // Unless another process took the free number since.
  if (out != leftAlone(taken.loop, "reads another file now, not its image " + taken.first)) {
    EXPECT_EQ(out, leftAlone(taken.loop, "no longer reads its image (detached, or the machine restarted)"));
  }
  EXPECT_EQ(fs.Images(), "");

  // A later job's clean-up of stale snapshots destroys both, and records
  // both gone.
  taken = onItsNumber(1005, 1006);
  ASSERT_EQ(RunBlbjob("run --checks --volume " + fs.mountPoint + Job(1007, 1), &out), 0) << out;
  for (int job : {1005, 1006}) {
    EXPECT_EQ(RunBlbjob("scan" + Job(job, 1), &out), 1) << out;
    EXPECT_TRUE(Contains(out, "is gone: the clean-up of stale snapshots of a later snapshot phase destroyed it;"))
        << out;
    EXPECT_EQ(RunBlbjob("release" + Job(job, 1), &out), 0) << out;
    EXPECT_EQ(out, "snapshot " + taken.loop + ": already gone\n");
  }
  EXPECT_EQ(fs.SnapshotLoops(), "");
  EXPECT_EQ(fs.Images(), "");

  // After a restart the kept snapshot's number holds another volume.
  ASSERT_EQ(RunBlbjob("run --keep-snapshot --volume " + fs.mountPoint + Job(1008, 1), &out), 0) << out;
  const std::string kept = fs.Snapshot(1008), image = BackingFile(kept);
  const std::string other = fs.state.Sub("other.img");
  ASSERT_EQ(RunCommand("truncate -s 32M " + other + " && losetup -d " + kept), 0);
  bool attached = false;
  for (int i = 0; i < 100 && !attached; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
    attached = RunCommand("losetup " + kept + " " + other + " 2>/dev/null") == 0;
  if (!attached) GTEST_SKIP() << "another process took " << kept;
  EXPECT_EQ(RunBlbjob("release" + Job(1008, 1), &out), 0) << out;
  EXPECT_EQ(out, leftAlone(kept, "reads another file now, not its image " + image));
  EXPECT_EQ(BackingFile(kept), other);
  EXPECT_EQ(fs.Images(), "");
  RunCommand("losetup -d " + kept);
}

// The snapshot verb killed at each of its syncs, its freeze holder left to
// thaw: the release that follows leaves no snapshot of the job attached and
// no image of it, whichever of the driver's record and the job's the kill
// came between.
TEST(blbjobRelease, ASnapshotKilledAtAnyOfItsSyncsIsDestroyedByTheRelease) {
  Volume fs;
  SKIP_WITHOUT_VOLUME(fs);
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  const std::string snapshot = "snapshot --volume " + fs.mountPoint + Job(1001, 1);
  const std::string traced = "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -qq -o /dev/null -e trace=fsync ";
  std::string out;
  // The syncs of a whole snapshot phase.
  const std::string trace = fs.state.Sub("fsyncs.txt");
  ASSERT_EQ(RunBlbjob(snapshot, &out,
                      "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -qq -o " + trace + " -e trace=fsync "),
            0)
      << out;
  const int syncs = std::stoi(CommandOutput("grep -c '^fsync' " + trace));
  ASSERT_GT(syncs, 10);
  ASSERT_EQ(RunBlbjob("release" + Job(1001, 1), &out), 0) << out;
  int attachedAtKill = 0;
  for (int sync = 1; sync <= syncs; ++sync) {
    SCOPED_TRACE("killed at sync " + std::to_string(sync));
    RunBlbjob(snapshot, &out, traced + "-e inject=fsync:signal=KILL:when=" + std::to_string(sync) + " ");
    if (!CommandOutput(fs.Attached()).empty()) ++attachedAtKill;
    ASSERT_EQ(RunBlbjob("release" + Job(1001, 1), &out), 0) << out;
    EXPECT_EQ(fs.SnapshotLoops(), "") << out;
    EXPECT_EQ(fs.Images(), "") << out;
    EXPECT_EQ(fs.DriverSnapshots(), "") << out;
  }
  // The kills came after the snapshot was attached too.
  EXPECT_GT(attachedAtKill, 0);
}

// A copy killed before it made its image leaves the image's name recorded;
// with the driver's image counter gone, no later snapshot gets that name,
// and a later snapshot that gets the name of one whose record went is left
// to its own job by the killed job's release.
TEST(blbjobRelease, AReleaseDestroysOnlyTheSnapshotsItsOwnJobTook) {
  Volume fs;
  SKIP_WITHOUT_VOLUME(fs);
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  const std::string snaps = fs.state.Sub("drivers/kzbf/snaps");
  // `snapshot` of the job, killed as it makes the image of that name.
  const auto killedAtImage = [&](int job, const std::string& image) {
    std::string out;
    RunBlbjob("snapshot --volume " + fs.mountPoint + Job(job, 1), &out,
              "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -qq -o /dev/null -P " + snaps + "/" + image +
                  " -e trace=openat -e inject=openat:signal=KILL ");
    EXPECT_EQ(fs.Snapshot(job), snaps + "/" + image) << out;
    EXPECT_FALSE(testing_support::FileExists(snaps + "/" + image));
  };
  std::string out;
  killedAtImage(1001, "snap0.img");
  ASSERT_EQ(RunCommand("rm " + snaps + "/.next"), 0);
  ASSERT_EQ(RunBlbjob("run --keep-snapshot --volume " + fs.mountPoint + Job(1002, 1), &out), 0) << out;
  const std::string kept = fs.Snapshot(1002);
  EXPECT_EQ(BackingFile(kept), snaps + "/snap1.img");
  EXPECT_EQ(RunBlbjob("release" + Job(1001, 1), &out), 0) << out;
  EXPECT_EQ(out, "snapshot " + snaps + "/snap0.img: never made (its copy had not begun)\n");
  EXPECT_EQ(BackingFile(kept), snaps + "/snap1.img");

  // The driver's record of the killed copy removed by hand, and the counter
  // again: the next snapshot takes the name the killed job recorded.
  killedAtImage(1003, "snap2.img");
  ASSERT_EQ(RunBlbsim(fs.state.Path(), "kzbf destroy-snap " + snaps + "/snap2.img"), 0);
  ASSERT_EQ(RunCommand("rm " + snaps + "/.next"), 0);
  ASSERT_EQ(RunBlbjob("run --keep-snapshot --volume " + fs.mountPoint + Job(1004, 1), &out), 0) << out;
  const std::string later = fs.Snapshot(1004);
  ASSERT_EQ(BackingFile(later), snaps + "/snap2.img");
  EXPECT_EQ(RunBlbjob("release" + Job(1003, 1), &out), 0) << out;
  EXPECT_EQ(out, "snapshot " + snaps + "/snap2.img: left alone: its image " + snaps +
                     "/snap2.img is job 1004's snapshot now\n");
  EXPECT_EQ(BackingFile(later), snaps + "/snap2.img");
  EXPECT_EQ(RunBlbjob("scan" + Job(1004, 1), &out), 0) << out;

  for (int job : {1002, 1004}) {
    EXPECT_EQ(RunBlbjob("release" + Job(job, 1), &out), 0) << out;
    EXPECT_EQ(out, "snapshot " + (job == 1002 ? kept : later) + ": released\n");
  }
  EXPECT_EQ(fs.SnapshotLoops(), "");
  EXPECT_EQ(fs.Images(), "");
}

// The volume's device and the kept snapshot's loop device gone, the volume
// attached at another number and mounted again, as after a restart: the
// next job is forced full and its job line says so, with why; so it does
// when the snapshot phase fails after the task forced it full.
TEST(blbjobRelease, AJobForcedFullByARenumberedDeviceSaysLevelFullAndWhyWhateverFailsAfter) {
  Volume fs;
  SKIP_WITHOUT_VOLUME(fs);
  std::string out;
  ASSERT_EQ(RunBlbjob("run --keep-snapshot --volume " + fs.mountPoint + Job(2001, 1), &out), 0) << out;
  for (int job : {2002, 2003}) {
    SCOPED_TRACE(job);
    const std::string kept = fs.Snapshot(job - 1);
    ASSERT_EQ(RunCommand("losetup -d " + kept), 0);
    ASSERT_TRUE(fs.Renumber({kept}));
    fs.Write("w" + std::to_string(job), 1);
    // The first on the kept snapshot's number; the second's copy fails.
    if (job == 2003) {
      ASSERT_EQ(RunBlbsim(fs.state.Path(), "fault set KzbfCreateSnapshot 5 error 1"), 0);
    }
    const int status = RunBlbjob("run --keep-snapshot --volume " + fs.mountPoint + Job(job, 2, job - 1), &out,
                                 OnLoopNumber(fs.state, kept));
    EXPECT_EQ(status, job == 2002 ? 0 : 1) << out;
    EXPECT_TRUE(Contains(out, "; runs full: ")) << out;
    EXPECT_TRUE(Contains(out, "snapshot seconds=")) << out;
    EXPECT_TRUE(Contains(out, " forced_full=1\n")) << out;
    const std::string line = JobLine(out, job);
    EXPECT_EQ(line.rfind("job=" + std::to_string(job) + " level=full ", 0), 0u) << out;
    EXPECT_TRUE(Contains(line, " why=\"")) << out;
    EXPECT_TRUE(Contains(line, "forced as FULL backup\"")) << out;
    EXPECT_EQ(RunBlbjob("release" + Job(job - 1, 1), &out), 0) << out;
  }
  EXPECT_EQ(RunBlbjob("release" + Job(2003, 1), &out), 0) << out;
  EXPECT_EQ(fs.SnapshotLoops(), "");
}
