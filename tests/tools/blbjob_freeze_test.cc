// The job command's snapshot phase as it is interrupted, repeated or misused:
// the file system it froze must come back writable whatever ends the
// command, and no snapshot may stay attached that the job's record and
// `blbjob release` do not know of.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "platform/sim/fs_util.h"
#include "support/blbsim_command.h"
#include "support/loop_device.h"
#include "support/run_command.h"
#include "support/run_job_script.h"
#include "support/scoped_mount.h"
#include "support/test_platform.h"

extern char** environ;

namespace {

using testing_support::CommandOutput;
using testing_support::RunBlbsim;
using testing_support::RunCommand;

const std::string kJob = " -- -a 2:7 -j 1001 -t 1 -d stow1 -jt TOK";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// blbjob, after the prefix ("VAR=value ", a wrapping command) when given.
int RunBlbjob(const std::string& arguments, std::string* output = nullptr, const std::string& prefix = "") {
  return RunCommand(prefix + BLBJOB_PATH + " " + arguments + " 2>&1", output);
}

std::string OnState(const std::string& dir) {
  return "BLB_STATE_DIR=" + dir + " ";
}

// A 64 MiB ext4 on a loop device, mounted, in a fresh state directory with
// subclient 2:7 of this machine.
struct MountedFileSystem {
  testing_support::ScopedStateDir state;
  testing_support::ScopedLoopDevice loop{64 << 20};
  std::unique_ptr<testing_support::ScopedMount> mount;

  MountedFileSystem() {
    if (loop.Ok() && RunCommand("mkfs.ext4 -q " + loop.Device()) == 0)
      mount = std::make_unique<testing_support::ScopedMount>(loop.Device(), "ext4");
    EXPECT_EQ(RunBlbsim(state.Path(), "subclient 2 7 2"), 0);
  }
  ~MountedFileSystem() { RunBlbjob("release" + kJob); }
  bool Ok() const { return mount && mount->Ok(); }
  const std::string& Path() const { return mount->Path(); }
  // The loop devices holding one of this state's snapshot images.
  std::set<std::string> SnapshotLoops() const { return LoopsOfState(CommandOutput("losetup -a")); }
  // A detached loop device leaves the list only when its last opener (udev's
  // probe of a new device, say) has closed it: wait a little for that.
  std::set<std::string> SnapshotLoopsOnceReleased() const {
    return LoopsOfState(
        testing_support::SettledCommandOutput("losetup -a | grep -F '" + state.Path() + "' || true", ""));
  }
  // The devices of the `losetup -a` lines given that name this state.
  std::set<std::string> LoopsOfState(const std::string& listing) const {
    std::set<std::string> loops;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);)
      if (Contains(line, state.Path())) loops.insert(line.substr(0, line.find(':')));
    return loops;
  }
  std::string RecordedSnapshot() const {
    std::string shown;
    EXPECT_EQ(RunBlbsim(state.Path(), "job show 1001", &shown), 0) << shown;
    const size_t at = shown.find("snapshot=");
    return at == std::string::npos ? "" : shown.substr(at + 9, shown.find(' ', at) - at - 9);
  }
  // A file written and synced from a thread of its own: it waits while the
  // file system is frozen.
  std::future<bool> Write(const std::string& name) const {
    return std::async(std::launch::async, [path = Path() + "/" + name] {
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      const bool wrote = fd >= 0 && ::write(fd, "written", 7) == 7 && ::fsync(fd) == 0;
      if (fd >= 0) ::close(fd);
      return wrote;
    });
  }
  // Should the command under test leave the file system frozen, the test
  // thaws it rather than hang.
  bool Written(std::future<bool>& write, int seconds) const {
    if (write.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready) return write.get();
    RunCommand("fsfreeze -u " + Path());
    return false;
  }
};

// Whether a freeze holds the file system, asked by freezing it: a frozen one
// refuses (EBUSY), another is thawed again at once.
bool IsFrozen(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool frozen = ::ioctl(fd, FIFREEZE, 0) != 0 && errno == EBUSY;
  if (!frozen) ::ioctl(fd, FITHAW, 0);
  ::close(fd);
  return frozen;
}

// A freeze the test makes by hand, thawed however the test ends: another
// engineer's writes to a file system left frozen would hang.
struct HandFreeze {
  std::string path;
  explicit HandFreeze(std::string mountPoint) : path(std::move(mountPoint)) {}
  bool Freeze() const { return RunCommand("fsfreeze -f " + path) == 0; }
  ~HandFreeze() { RunCommand("fsfreeze -u " + path + " 2>/dev/null"); }
};

// A second small ext4, mounted.
struct OtherFileSystem {
  testing_support::ScopedLoopDevice loop{32 << 20};
  std::unique_ptr<testing_support::ScopedMount> mount;
  OtherFileSystem() {
    if (loop.Ok() && RunCommand("mkfs.ext4 -q " + loop.Device()) == 0)
      mount = std::make_unique<testing_support::ScopedMount>(loop.Device(), "ext4");
  }
  bool Ok() const { return mount && mount->Ok(); }
  const std::string& Path() const { return mount->Path(); }
};

// Whether the task (a thread's or a process's /proc folder) is in the system
// call given, with the argument given among its arguments, within 10 s.
bool InSystemCall(const std::string& task, long call, const std::string& argument) {
  const std::string expected = std::to_string(call) + " ";
  for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    const std::string now = testing_support::ReadFile(task + "/syscall");
    if (now.compare(0, expected.size(), expected) == 0 && Contains(now, " " + argument + " ")) return true;
  }
  return false;
}

std::string Hex(unsigned long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%#lx", value);
  return text;
}

// A write under way into a file of the file system, which holds up a freeze
// of it until the write ends: a splice into the file from a pipe that has
// nothing in it yet.
class WriteUnderWay {
 public:
  explicit WriteUnderWay(const std::string& file) {
    m_file = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_file < 0 || ::pipe2(m_pipe, O_CLOEXEC) != 0) return;
    m_splice = std::async(std::launch::async, [this] {
      m_thread = static_cast<pid_t>(::syscall(SYS_gettid));
      return ::splice(m_pipe[0], nullptr, m_file, nullptr, 1, 0);
    });
    while (m_thread == 0) std::this_thread::yield();
  }
  ~WriteUnderWay() {
    End();
    for (int fd : {m_pipe[0], m_file})
      if (fd >= 0) ::close(fd);
  }
  bool Started() const {
    return m_thread != 0 && InSystemCall("/proc/self/task/" + std::to_string(m_thread), SYS_splice, Hex(m_pipe[0]));
  }
  void End() {
    if (m_pipe[1] >= 0) (void)!::write(m_pipe[1], "x", 1), ::close(m_pipe[1]), m_pipe[1] = -1;
    if (m_splice.valid()) m_splice.get();
  }

 private:
  int m_file = -1;
  int m_pipe[2] = {-1, -1};
  std::atomic<pid_t> m_thread{0};
  std::future<ssize_t> m_splice;
};

#define SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs) \
  BLB_SKIP_WITHOUT_LOOP_DEVICE((fs).loop);   \
  if (!(fs).Ok()) GTEST_SKIP() << ((fs).mount ? (fs).mount->SkipReason() : "no ext4")

// `blbjob snapshot` of the mounted file system, in a process group of its
// own with SIGINT and SIGTERM at their defaults (as from a terminal), held
// inside its frozen window by a delayed copy.
class HeldSnapshot {
 public:
  // The volumes before the file system (paths and a blank) have their
  // copies delayed as well.
  HeldSnapshot(const MountedFileSystem& fs, int delayMs, const std::string& volumesBefore = "", int copies = 1)
      : m_output(fs.state.Sub("blbjob.out")) {
    EXPECT_EQ(RunBlbsim(fs.state.Path(),
                        "fault set KzbfCreateSnapshot " + std::to_string(delayMs) + " delay " + std::to_string(copies)),
              0);
    Spawn(std::string(BLBJOB_PATH) + " snapshot --volume " + volumesBefore + fs.Path() + kJob);
  }
  // scripts/run-job.sh on the device given (none: an image of its own), its
  // first job held the same way (the script sets the delay after starting
  // its state over).
  static std::unique_ptr<HeldSnapshot> OfRunJobScript(const MountedFileSystem& fs, const std::string& device,
                                                      int delayMs) {
    std::unique_ptr<HeldSnapshot> job(new HeldSnapshot(fs.state.Sub("run-job.out")));
    job->Spawn(std::string("env BLBSIM=") + BLBSIM_PATH + " BLBJOB=" + BLBJOB_PATH +
               " BLB_STATE_DIR=" + fs.state.Sub("run-job") + " RUN_JOB_SNAPSHOT_DELAY_MS=" + std::to_string(delayMs) +
               " " + RUN_JOB_SCRIPT + " " + device);
    return job;
  }
  // `blbjob run` of the file system, held once its snapshot is taken: its
  // backup's first extent read is delayed.
  static std::unique_ptr<HeldSnapshot> OfRun(const MountedFileSystem& fs, int delayMs,
                                             const std::string& options = "") {
    EXPECT_EQ(
        RunBlbsim(fs.state.Path(), "fault set CHashReadHandler::GetNextExtent " + std::to_string(delayMs) + " delay 1"),
        0);
    std::unique_ptr<HeldSnapshot> job(new HeldSnapshot(fs.state.Sub("blbjob.out")));
    job->Spawn(std::string(BLBJOB_PATH) + " run --progress " + options + "--volume " + fs.Path() + kJob);
    return job;
  }
  // blbjob with the arguments, its output into the file.
  static std::unique_ptr<HeldSnapshot> Of(const std::string& arguments, const std::string& output) {
    std::unique_ptr<HeldSnapshot> job(new HeldSnapshot(output));
    job->Spawn(std::string(BLBJOB_PATH) + " " + arguments);
    return job;
  }
  // `blbjob snapshot` (or `run`) of the file system, held inside its copy
  // once the copy's first part is written.
  static std::unique_ptr<HeldSnapshot> OfCopy(const MountedFileSystem& fs, int delayMs,
                                              const std::string& verb = "snapshot") {
    EXPECT_EQ(RunBlbsim(fs.state.Path(), "fault set KzbfCopyDevice " + std::to_string(delayMs) + " delay 1"), 0);
    std::unique_ptr<HeldSnapshot> job(new HeldSnapshot(fs.state.Sub("blbjob.out")));
    job->Spawn(std::string(BLBJOB_PATH) + " " + verb + " --volume " + fs.Path() + kJob);
    return job;
  }
  ~HeldSnapshot() {
    if (m_pid > 0) ::kill(m_pid, SIGKILL), Wait();
  }
  pid_t Pid() const { return m_pid; }
  bool Frozen() const { return Shows(": frozen "); }
  // Whether the output shows the text within 10 s.
  bool Shows(const std::string& text) const {
    for (int i = 0; i < 500 && !Contains(Output(), text); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return Contains(Output(), text);
  }
  // The freeze holder: the command's one child inside the frozen window.
  pid_t Holder() const {
    const std::string id = std::to_string(m_pid);
    return static_cast<pid_t>(
        std::atoi(testing_support::ReadFile("/proc/" + id + "/task/" + id + "/children").c_str()));
  }
  int Wait() {
    int status = 0;
    if (m_pid > 0 && ::waitpid(m_pid, &status, 0) == m_pid) m_pid = -1;
    return status;
  }
  // False, and the whole group killed, when it has not ended by then.
  bool EndsWithin(int seconds, int& status) {
    for (int i = 0; i < seconds * 50; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) return m_pid = -1, true;
    ::kill(-m_pid, SIGKILL);
    status = Wait();
    return false;
  }
  std::string Output() const {
    std::string text;  // none until the shell made the file
    platform::ReadWholeFile(m_output, text);
    return text;
  }

 private:
  explicit HeldSnapshot(std::string output) : m_output(std::move(output)) {}
  void Spawn(const std::string& program) {
    ::unlink(m_output.c_str());  // a previous command's
    const std::string command = "exec " + program + " >" + m_output + " 2>&1";
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    EXPECT_EQ(posix_spawn(&m_pid, "/bin/sh", nullptr, &attributes, const_cast<char**>(argv), environ), 0);
    posix_spawnattr_destroy(&attributes);
  }

  std::string m_output;
  pid_t m_pid = -1;
};

// The freeze holder of the job, once it has started.
pid_t HolderOnceStarted(const HeldSnapshot& job) {
  pid_t holder = 0;
  for (int i = 0; i < 500 && (holder = job.Holder()) <= 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return holder;
}

}  // namespace

TEST(blbjobFreeze, EveryWayTheCommandEndsInsideItsFrozenWindowThawsTheFileSystem) {
  MountedFileSystem fs;
  SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs);
  // SIGINT as Ctrl-C sends it, to the whole process group (the holder gets it
  // too); SIGTERM and SIGKILL to the command alone, so its holder sees only
  // its parent end.
  for (int sig : {SIGINT, SIGTERM, SIGKILL}) {
    SCOPED_TRACE(strsignal(sig));
    HeldSnapshot job(fs, 20000);
    ASSERT_TRUE(job.Frozen()) << job.Output();
    std::future<bool> write = fs.Write("after");
    EXPECT_EQ(write.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout) << "not frozen";
    ASSERT_EQ(::kill(sig == SIGINT ? -job.Pid() : job.Pid(), sig), 0);
    EXPECT_TRUE(fs.Written(write, 5));
    const int status = job.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_EQ(fs.SnapshotLoopsOnceReleased(), std::set<std::string>());
  }

  // The holder signalled alone thaws at once; the command, still copying,
  // keeps no snapshot of a file system that was written to meanwhile.
  HeldSnapshot job(fs, 1500);
  ASSERT_TRUE(job.Frozen()) << job.Output();
  ASSERT_GT(job.Holder(), 0);
  ASSERT_EQ(::kill(job.Holder(), SIGTERM), 0);
  std::future<bool> write = fs.Write("during");
  EXPECT_TRUE(fs.Written(write, 5));
  const int status = job.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_TRUE(Contains(job.Output(), "ended by signal 15 and thawed [" + fs.Path() + "] before the copy ended"))
      << job.Output();
  EXPECT_EQ(fs.RecordedSnapshot(), "");
  EXPECT_EQ(fs.SnapshotLoopsOnceReleased(), std::set<std::string>());
}

// What kills a job command's whole process group (`timeout`, a service
// manager, a job scheduler) leaves its freeze holder to thaw at once; a kill
// of the holder and the command by pid leaves the file system frozen until
// the next verb on the state, which thaws it, says so, and touches neither a
// freeze whose holder is alive nor a file system mounted at the path since.
TEST(blbjobFreeze, AFreezeOutlivesNoKillOfTheCommandsGroupAndTheNextVerbUndoesOneItsHolderLeft) {
  MountedFileSystem fs;
  SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs);
  const std::string thawed = "blbjob release: thawed " + fs.Path() +
                             ": job 1001 froze it and its freeze holder "
                             "was killed\n";
  const std::string records = "ls -A " + fs.state.Sub("freezes");
  std::string out;
  for (const std::string verb : {"run", "snapshot"}) {
    SCOPED_TRACE(verb);
    auto job = HeldSnapshot::OfCopy(fs, 20000, verb);
    ASSERT_TRUE(job->Frozen()) << job->Output();
    std::future<bool> write = fs.Write("after-" + verb);
    ASSERT_EQ(::kill(-job->Pid(), SIGKILL), 0);
    EXPECT_TRUE(fs.Written(write, 5));
    job->Wait();
    ASSERT_EQ(RunBlbsim(fs.state.Path(), "fault clear-all"), 0);
    EXPECT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
    EXPECT_FALSE(Contains(out, "thawed")) << out;
    EXPECT_EQ(CommandOutput(records), "");
  }

  auto job = HeldSnapshot::OfCopy(fs, 20000);
  ASSERT_TRUE(job->Frozen()) << job->Output();
  const pid_t holder = job->Holder();
  ASSERT_GT(holder, 0);
  std::future<bool> write = fs.Write("after");
  // A verb of another subclient meanwhile leaves the running job's freeze.
  EXPECT_EQ(RunBlbjob("release -- -a 2:8 -j 2001 -t 1 -d stow1 -jt TOK", &out), 0) << out;
  EXPECT_FALSE(Contains(out, "thawed")) << out;
  EXPECT_EQ(write.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout) << "thawed under its job";
  ASSERT_EQ(::kill(holder, SIGKILL), 0);
  ASSERT_EQ(::kill(job->Pid(), SIGKILL), 0);
  job->Wait();
  EXPECT_EQ(write.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout) << "thawed by nobody";
  ASSERT_EQ(RunBlbsim(fs.state.Path(), "fault clear-all"), 0);
  ASSERT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
  EXPECT_TRUE(Contains(out, thawed)) << out;
  EXPECT_TRUE(fs.Written(write, 5));
  EXPECT_EQ(CommandOutput(records), "");
  EXPECT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
  EXPECT_EQ(out, "job 1001 holds no snapshot: nothing to release\n");

  // Thawed by hand, mounted again and frozen by hand since: that freeze is
  // somebody else's, of the same device at the same path.
  job = HeldSnapshot::OfCopy(fs, 20000);
  ASSERT_TRUE(job->Frozen()) << job->Output();
  ASSERT_EQ(::kill(job->Holder(), SIGKILL), 0);
  ASSERT_EQ(::kill(job->Pid(), SIGKILL), 0);
  job->Wait();
  ASSERT_EQ(RunBlbsim(fs.state.Path(), "fault clear-all"), 0);
  ASSERT_EQ(RunCommand("fsfreeze -u " + fs.Path() + " && umount " + fs.Path()), 0);
  ASSERT_EQ(RunCommand("mount " + fs.loop.Device() + " " + fs.Path() + " && fsfreeze -f " + fs.Path()), 0);
  EXPECT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
  EXPECT_TRUE(Contains(out, "blbjob release: left " + fs.Path() +
                                " alone: job 1001 froze what was mounted there "
                                "and its freeze holder was killed, but what is mounted there now is another mount"))
      << out;
  EXPECT_EQ(RunCommand("fsfreeze -u " + fs.Path()), 0) << "not frozen any more";
  EXPECT_EQ(CommandOutput(records), "");
}

// The README's way out by hand, `blbjob thaw`, takes the killed job's record
// back with its freeze: a freeze made by hand since is nobody's to thaw,
// whatever subclient's verb runs next. A running job's freeze it refuses.
TEST(blbjobFreeze, AFreezeThawedTheReadmesWayLeavesNoRecordThatThawsALaterHandFreeze) {
  MountedFileSystem fs;
  SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs);
  HandFreeze hand(fs.Path());
  const std::string records = "ls -A " + fs.state.Sub("freezes");
  std::string out;
  auto job = HeldSnapshot::OfCopy(fs, 20000);
  ASSERT_TRUE(job->Frozen()) << job->Output();
  EXPECT_EQ(RunBlbjob("thaw " + fs.Path(), &out), 1) << out;
  EXPECT_EQ(out, "blbjob thaw: refused: job 1001 (process " + std::to_string(job->Pid()) + ") holds " + fs.Path() +
                     " frozen for its snapshot; it thaws once the copy is made, or at once when the job is ended\n");
  EXPECT_TRUE(IsFrozen(fs.Path()));
  ASSERT_EQ(::kill(job->Holder(), SIGKILL), 0);
  ASSERT_EQ(::kill(job->Pid(), SIGKILL), 0);
  job->Wait();
  ASSERT_EQ(RunBlbsim(fs.state.Path(), "fault clear-all"), 0);
  EXPECT_TRUE(IsFrozen(fs.Path()));
  EXPECT_EQ(RunBlbjob("thaw " + fs.Path(), &out), 0) << out;
  EXPECT_EQ(out, "thawed " + fs.Path() + " (job 1001 froze it; its record is removed)\n");
  EXPECT_EQ(CommandOutput(records), "");

  ASSERT_TRUE(hand.Freeze());
  for (const std::string& arguments : {std::string(" -- -a 2:8 -j 2001 -t 1 -d stow1 -jt TOK"), kJob}) {
    SCOPED_TRACE(arguments);
    EXPECT_EQ(RunBlbjob("release" + arguments, &out), 0) << out;
    EXPECT_FALSE(Contains(out, "thawed")) << out;
    EXPECT_TRUE(IsFrozen(fs.Path()));
  }
  EXPECT_EQ(RunBlbjob("thaw " + fs.Path(), &out), 0) << out;
  EXPECT_EQ(out, "thawed " + fs.Path() + "\n");
  EXPECT_EQ(RunBlbjob("thaw " + fs.Path(), &out), 0) << out;
  EXPECT_EQ(out, fs.Path() + " was not frozen\n");
}

// A killed job's record of a freeze that was thawed by hand the old way
// (fsfreeze -u, which leaves the record) and that a running job of another
// subclient took again: the running job's freeze is not the killed one's.
TEST(blbjobFreeze, AKilledJobsRecordLeavesAFileSystemThatARunningJobFrozeSince) {
  MountedFileSystem fs;
  SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs);
  HandFreeze guard(fs.Path());
  const std::string other = " -- -a 2:8 -j 2001 -t 1 -d stow1 -jt TOK";
  HeldSnapshot killed(fs, 20000);
  ASSERT_TRUE(killed.Frozen()) << killed.Output();
  const pid_t holder = killed.Holder();
  ASSERT_GT(holder, 0);
  ASSERT_EQ(RunCommand("fsfreeze -u " + fs.Path()), 0);
  ASSERT_EQ(RunBlbsim(fs.state.Path(), "fault set KzbfCreateSnapshot 20000 delay 1"), 0);
  auto running = HeldSnapshot::Of("snapshot --volume " + fs.Path() + other, fs.state.Sub("running.out"));
  ASSERT_TRUE(running->Frozen()) << running->Output();
  ASSERT_EQ(::kill(holder, SIGKILL), 0);
  ASSERT_EQ(::kill(killed.Pid(), SIGKILL), 0);
  killed.Wait();
  std::string out;
  EXPECT_EQ(RunBlbjob("release -- -a 2:9 -j 3001 -t 1 -d stow1 -jt TOK", &out), 0) << out;
  EXPECT_TRUE(Contains(out, "blbjob release: left " + fs.Path() +
                                " alone: job 1001 froze it before its freeze holder was killed, but it was thawed "
                                "since: job 2001, running, froze it again\n"))
      << out;
  EXPECT_TRUE(IsFrozen(fs.Path()));
  EXPECT_EQ(CommandOutput("ls -A " + fs.state.Sub("freezes") + " | wc -l"), "1\n");
  // Its own end thaws it, and takes its record.
  std::future<bool> write = fs.Write("after");
  ASSERT_EQ(::kill(-running->Pid(), SIGKILL), 0);
  EXPECT_TRUE(fs.Written(write, 5));
  running->Wait();
  ASSERT_EQ(RunBlbsim(fs.state.Path(), "fault clear-all"), 0);
  EXPECT_EQ(testing_support::SettledCommandOutput("ls -A " + fs.state.Sub("freezes"), ""), "");
  EXPECT_EQ(RunBlbjob("release" + other, &out), 0) << out;
}

// A holder killed while it freezes: the kernel completes the freeze it asked
// for, which its command (or, killed as well, the next verb) thaws; a file
// system of the job that it had not come to, frozen by somebody else, stays
// frozen.
TEST(blbjobFreeze, AHolderKilledWhileFreezingHasWhatItFrozeThawedAndNothingElse) {
  MountedFileSystem fs;
  SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs);
  OtherFileSystem other;
  if (!other.Ok()) GTEST_SKIP() << "no second ext4";
  HandFreeze ours(fs.Path()), theirs(other.Path());
  // The job names the other file system as a volume of its device too,
  // after its own: its holder freezes its own first.
  ASSERT_EQ(RunBlbsim(fs.state.Path(), "mnt add " + fs.loop.Device() + " " + other.Path() + " ext4"), 0);
  ASSERT_TRUE(theirs.Freeze());
  for (const bool commandKilled : {false, true}) {
    SCOPED_TRACE(commandKilled ? "its command killed too" : "the holder killed");
    WriteUnderWay write(fs.Path() + "/under-way");
    ASSERT_TRUE(write.Started());
    auto job = HeldSnapshot::Of("snapshot --volume " + fs.Path() + " " + other.Path() + kJob, fs.state.Sub("out"));
    const pid_t holder = HolderOnceStarted(*job);
    ASSERT_GT(holder, 0) << job->Output();
    ASSERT_TRUE(InSystemCall("/proc/" + std::to_string(holder), SYS_ioctl, Hex(FIFREEZE))) << job->Output();
    ASSERT_EQ(::kill(holder, SIGKILL), 0);
    if (commandKilled) {
      ASSERT_EQ(::kill(job->Pid(), SIGKILL), 0);
    }
    write.End();
    const int status = job->Wait();
    std::string out;
    if (commandKilled) {
      EXPECT_TRUE(WIFSIGNALED(status)) << status;
      EXPECT_TRUE(IsFrozen(fs.Path()));
      EXPECT_EQ(RunBlbjob("release -- -a 2:8 -j 2001 -t 1 -d stow1 -jt TOK", &out), 0) << out;
      EXPECT_TRUE(Contains(
          out, "blbjob release: thawed " + fs.Path() + ": job 1001 froze it and its freeze holder was killed\n"))
          << out;
      EXPECT_FALSE(Contains(out, other.Path())) << out;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
      EXPECT_TRUE(Contains(job->Output(), "The freeze holder of [" + fs.Path() + "] ended before freezing it"))
          << job->Output();
    }
    EXPECT_FALSE(IsFrozen(fs.Path()));
    EXPECT_TRUE(IsFrozen(other.Path()));
    EXPECT_EQ(CommandOutput("ls -A " + fs.state.Sub("freezes")), "");
  }
}

// A verb run right after `timeout -s KILL` (a kill of the command's process
// group, which its freeze holder is not in): the killed command may still be
// ending, holding the subclient's lock and, through its holder, the freeze.
// The verb waits for both instead of refusing, and returns with nothing of
// the job frozen.
TEST(blbjobFreeze, AVerbRightAfterAKillWaitsForTheKilledJobToEndAndLeavesNothingFrozen) {
  MountedFileSystem fs;
  SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs);
  HandFreeze guard(fs.Path());
  const std::string records = "ls -A " + fs.state.Sub("freezes");
  std::string out;
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    auto job = HeldSnapshot::OfCopy(fs, 20000, "run");
    ASSERT_TRUE(job->Frozen()) << job->Output();
    ASSERT_EQ(::kill(-job->Pid(), SIGKILL), 0);
    EXPECT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
    EXPECT_FALSE(Contains(out, "refused")) << out;
    EXPECT_FALSE(IsFrozen(fs.Path()));
    EXPECT_EQ(CommandOutput(records), "");
    job->Wait();
    ASSERT_EQ(RunBlbsim(fs.state.Path(), "fault clear-all"), 0);
  }

  // A holder that ends only when the test lets it: its command killed while
  // it freezes, which waits for a write under way.
  {
    WriteUnderWay write(fs.Path() + "/under-way");
    ASSERT_TRUE(write.Started());
    auto job = HeldSnapshot::Of("snapshot --volume " + fs.Path() + kJob, fs.state.Sub("out"));
    const pid_t holder = HolderOnceStarted(*job);
    ASSERT_GT(holder, 0) << job->Output();
    ASSERT_TRUE(InSystemCall("/proc/" + std::to_string(holder), SYS_ioctl, Hex(FIFREEZE))) << job->Output();
    ASSERT_EQ(::kill(-job->Pid(), SIGKILL), 0);
    job->Wait();
    auto release = std::async(std::launch::async, [] {
      std::string said;
      return std::make_pair(RunBlbjob("release" + kJob, &said), said);
    });
    EXPECT_EQ(release.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout) << "did not wait";
    write.End();
    const auto [status, said] = release.get();
    EXPECT_EQ(status, 0) << said;
    EXPECT_FALSE(IsFrozen(fs.Path()));
    EXPECT_EQ(CommandOutput(records), "");
  }

  // A command that ends only when the test lets it: killed while it writes
  // its output into another file system, frozen meanwhile.
  OtherFileSystem output;
  if (!output.Ok()) GTEST_SKIP() << "no second ext4";
  HandFreeze outputFrozen(output.Path());
  WriteUnderWay write(fs.Path() + "/under-way");
  ASSERT_TRUE(write.Started());
  auto job = HeldSnapshot::Of("snapshot --volume " + fs.Path() + kJob, output.Path() + "/out");
  const pid_t holder = HolderOnceStarted(*job);
  ASSERT_GT(holder, 0) << job->Output();
  ASSERT_TRUE(InSystemCall("/proc/" + std::to_string(holder), SYS_ioctl, Hex(FIFREEZE))) << job->Output();
  ASSERT_TRUE(outputFrozen.Freeze());
  write.End();
  ASSERT_TRUE(InSystemCall("/proc/" + std::to_string(job->Pid()), SYS_write, "0x1"));
  ASSERT_EQ(::kill(-job->Pid(), SIGKILL), 0);
  auto release = std::async(std::launch::async, [] {
    std::string said;
    return std::make_pair(RunBlbjob("release" + kJob, &said), said);
  });
  EXPECT_EQ(release.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout) << "did not wait";
  EXPECT_TRUE(IsFrozen(fs.Path()));
  ASSERT_EQ(RunCommand("fsfreeze -u " + output.Path()), 0);
  const auto [status, said] = release.get();
  EXPECT_EQ(status, 0) << said;
  EXPECT_FALSE(Contains(said, "refused")) << said;
  EXPECT_FALSE(IsFrozen(fs.Path()));
  EXPECT_EQ(CommandOutput(records), "");
  job->Wait();
}

// Killed while copying its second device, the command leaves the snapshot
// of the first recorded with the job, for release to destroy.
TEST(blbjobFreeze, ASnapshotKeptBeforeTheCommandWasKilledIsLeftForRelease) {
  MountedFileSystem fs;
  SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs);
  testing_support::ScopedLoopDevice raw(4 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(raw);
  HeldSnapshot job(fs, 3000, raw.Device() + " ", 2);
  ASSERT_TRUE(job.Frozen()) << job.Output();
  ASSERT_EQ(::kill(job.Pid(), SIGKILL), 0);
  job.Wait();
  const std::set<std::string> taken = fs.SnapshotLoops();
  ASSERT_EQ(taken.size(), 1u);
  std::string out;
  EXPECT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
  EXPECT_EQ(out, "snapshot " + *taken.begin() + ": released\n");
  EXPECT_EQ(fs.SnapshotLoopsOnceReleased(), std::set<std::string>());
}

// Ctrl-C on a run in its backup: it ends by the signal, naming the snapshot
// it still holds and the release command that frees it.
TEST(blbjobFreeze, AnInterruptedRunNamesTheSnapshotItHoldsAndTheReleaseThatFreesIt) {
  MountedFileSystem fs;
  SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs);
  auto run = HeldSnapshot::OfRun(fs, 20000);
  ASSERT_TRUE(run->Shows("blbjob: backup ...")) << run->Output();
  const std::string snapshot = fs.RecordedSnapshot();
  ASSERT_FALSE(snapshot.empty());
  ASSERT_EQ(::kill(-run->Pid(), SIGINT), 0);
  int status = 0;
  ASSERT_TRUE(run->EndsWithin(5, status)) << run->Output();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_TRUE(Contains(run->Output(), "blbjob run: interrupted by signal 2; job 1001 still holds snapshot " + snapshot +
                                          "; free it with: blbjob release" + kJob + "\n"))
      << run->Output();
  EXPECT_EQ(fs.SnapshotLoops(), std::set<std::string>{snapshot});
  std::string out;
  ASSERT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
  EXPECT_EQ(out, "snapshot " + snapshot + ": released\n");
  EXPECT_EQ(fs.SnapshotLoopsOnceReleased(), std::set<std::string>());
}

// While a run reads its snapshot, a release would destroy it under the run
// and another job of the subclient would take the run's bitmaps and lists:
// both are refused, naming the running job, which ends with every hash right.
TEST(blbjobFreeze, WhileARunIsInItsBackupItsReleaseAndAnyOtherJobOfItsSubclientAreRefused) {
  MountedFileSystem fs;
  SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs);
  ASSERT_EQ(RunCommand("dd if=/dev/urandom of=" + fs.Path() + "/a bs=1M count=20 status=none && sync"), 0);
  auto run = HeldSnapshot::OfRun(fs, 4000, "--keep-snapshot ");
  ASSERT_TRUE(run->Shows("blbjob: backup ...")) << run->Output();
  const std::string running = "refused: job 1001 (blbjob run, process " + std::to_string(run->Pid()) +
                              ") of subclient 2:7 is running; one job of a subclient runs at a time\n";
  const std::string other = " -- -a 2:7 -j 1002 -t 1 -d stow1 -jt TOK";
  std::string out;
  for (const std::string& verb :
       {"release" + kJob, "run --volume " + fs.Path() + kJob, "run --volume " + fs.Path() + other,
        "snapshot --volume " + fs.Path() + other, "scan" + kJob, "backup" + kJob}) {
    EXPECT_EQ(RunBlbjob(verb, &out), 1) << verb << "\n" << out;
    EXPECT_EQ(out, "blbjob " + verb.substr(0, verb.find(' ')) + ": " + running) << verb;
  }
  int status = 0;
  ASSERT_TRUE(run->EndsWithin(30, status)) << run->Output();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << run->Output();
  // Each line of the job's hashes is the MD5 of an extent (4 MiB) of the
  // snapshot it kept.
  const std::string snapshot = fs.RecordedSnapshot();
  ASSERT_FALSE(snapshot.empty()) << run->Output();
  const std::string extents = CommandOutput("for i in $(seq 0 15); do dd if=" + snapshot +
                                            " bs=4M skip=$i count=1 status=none | md5sum | cut -c1-32; done");
  std::istringstream lines(testing_support::ReadFile(fs.state.Sub("reports/1001/hashes.txt")));
  size_t hashes = 0;
  for (std::string line; std::getline(lines, line); ++hashes)
    EXPECT_TRUE(Contains(extents, line.substr(line.rfind('|') + 1) + "\n")) << line;
  EXPECT_GE(hashes, 5u);
  EXPECT_TRUE(Contains(run->Output(), "extents_read=" + std::to_string(hashes) + " ")) << run->Output();
}

// Nothing standing at the lock file's path keeps the subclient's jobs out
// for good, and the lock's file removed under a running job lets no second
// job of the subclient run beside it.
TEST(blbjobFreeze, TheSubclientsLockRefusesNoJobOverWhatStandsAtItsPathAndHoldsWhenItsFileIsRemoved) {
  MountedFileSystem fs;
  SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs);
  const std::string lock = fs.state.Sub("locks/blbjob-subclient-2-7.lock");
  const std::string outside = fs.state.Sub("outside");
  const std::string nothing = "job 1001 holds no snapshot: nothing to release\n";
  std::string out;
  for (const auto& [what, make] : {std::pair<std::string, std::string>{"empty folder", "mkdir " + lock},
                                   {"folder", "mkdir " + lock + " && touch " + lock + "/kept"},
                                   {"link", "echo outside >" + outside + " && ln -s " + outside + " " + lock},
                                   {"pipe", "mkfifo " + lock}}) {
    SCOPED_TRACE(what);
    ASSERT_EQ(RunCommand("mkdir -p " + fs.state.Sub("locks") + " && rm -rf " + lock + " && " + make), 0);
    EXPECT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
    struct stat info;
    EXPECT_TRUE(::lstat(lock.c_str(), &info) == 0 && S_ISREG(info.st_mode));
    if (what == "folder") {
      const std::string kept = CommandOutput("ls -d " + lock + ".tmp.*");
      EXPECT_EQ(out, "blbjob release: the folder that stood at " + lock + " is kept as " + kept + nothing);
      EXPECT_TRUE(testing_support::FileExists(kept.substr(0, kept.size() - 1) + "/kept"));
    } else {
      EXPECT_EQ(out, nothing);
    }
    EXPECT_EQ(CommandOutput("ls " + fs.state.Sub("locks") + " | grep -c tmp || true"),
              what == "folder" ? "1\n" : "0\n");
    RunCommand("rm -rf " + lock + ".tmp.*");
  }
  EXPECT_EQ(testing_support::ReadFile(outside), "outside\n");

  auto run = HeldSnapshot::OfRun(fs, 4000, "--keep-snapshot ");
  ASSERT_TRUE(run->Shows("blbjob: backup ...")) << run->Output();
  ASSERT_EQ(::unlink(lock.c_str()), 0);
  const std::string other = " -- -a 2:7 -j 1002 -t 1 -d stow1 -jt TOK";
  const std::string refused =
      "refused: another job of subclient 2:7 is running; one job of a subclient runs at a time\n";
  EXPECT_EQ(RunBlbjob("run --volume " + fs.Path() + other, &out), 1) << out;
  EXPECT_EQ(out, "blbjob run: " + refused);
  // The second job took the file's place; the third is refused all the same.
  EXPECT_EQ(RunBlbjob("release" + kJob, &out), 1) << out;
  EXPECT_EQ(out, "blbjob release: " + refused);
  int status = 0;
  ASSERT_TRUE(run->EndsWithin(30, status)) << run->Output();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << run->Output();
  const std::string snapshot = fs.RecordedSnapshot();
  EXPECT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
  EXPECT_EQ(out, "snapshot " + snapshot + ": released\n");
}

// Nothing standing where the freezes' records go keeps every snapshot out:
// set aside, kept when it holds something.
TEST(blbjobFreeze, WhatStandsAtTheFreezesFolderIsSetAsideAndRefusesNoSnapshot) {
  MountedFileSystem fs;
  SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs);
  const std::string freezes = fs.state.Sub("freezes");
  std::string out;
  for (const auto& [what, make] : {std::pair<std::string, std::string>{"file", "echo kept >" + freezes},
                                   {"empty file", "touch " + freezes},
                                   {"link", "ln -s " + fs.state.Sub("nowhere") + " " + freezes},
                                   {"pipe", "mkfifo " + freezes}}) {
    SCOPED_TRACE(what);
    ASSERT_EQ(RunCommand("rm -rf " + freezes + " && " + make), 0);
    EXPECT_EQ(RunBlbjob("snapshot --volume " + fs.Path() + kJob, &out), 0) << out;
    struct stat info;
    EXPECT_TRUE(::lstat(freezes.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
    std::string kept = CommandOutput("ls -d " + freezes + ".tmp.* 2>/dev/null || true");
    if (what == "file") {
      EXPECT_TRUE(Contains(out, "blbjob snapshot: the file that stood at " + freezes + " is kept as " + kept)) << out;
      EXPECT_EQ(testing_support::ReadFile(kept.substr(0, kept.size() - 1)), "kept\n");
    } else {
      EXPECT_EQ(kept, "");
    }
    RunCommand("rm -rf " + freezes + ".tmp.*");
    EXPECT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
  }
}

// Killed while its copy runs, the command leaves a part of an image behind:
// recorded with the job from the copy's start, it is destroyed by release,
// or by the next snapshot phase's clean-up of stale snapshots.
TEST(blbjobFreeze, ThePartOfAnImageACopyKilledHalfWayLeavesIsDestroyedByReleaseOrTheNextCleanUp) {
  MountedFileSystem fs;
  SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs);
  const std::string images = "ls " + fs.state.Sub("drivers/kzbf/snaps") + "/*.img 2>/dev/null || true";
  const std::string other = " -- -a 2:7 -j 1002 -t 1 -d stow1 -jt TOK";
  std::string out;
  for (const bool byRelease : {true, false}) {
    SCOPED_TRACE(byRelease ? "release" : "clean-up");
    auto copy = HeldSnapshot::OfCopy(fs, 20000);
    ASSERT_TRUE(copy->Frozen()) << copy->Output();
    std::string image;
    for (int i = 0; i < 500 && image.empty(); ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
      image = CommandOutput("find " + fs.state.Sub("drivers/kzbf/snaps") + " -name '*.img' -size +0");
    ASSERT_FALSE(image.empty());
    image.pop_back();
    ASSERT_EQ(::kill(copy->Pid(), SIGKILL), 0);
    copy->Wait();
    // Killed before it took the delay, the copy leaves it for the next one.
    ASSERT_EQ(RunBlbsim(fs.state.Path(), "fault clear-all"), 0);
    std::future<bool> write = fs.Write("after");
    EXPECT_TRUE(fs.Written(write, 5));
    if (byRelease) {
      EXPECT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
      EXPECT_EQ(out, "snapshot " + image + ": released\n");
    } else {
      ASSERT_EQ(RunBlbjob("snapshot --checks --volume " + fs.Path() + other, &out), 0) << out;
      EXPECT_FALSE(Contains(CommandOutput(images), image)) << out;
      EXPECT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
      EXPECT_EQ(out, "snapshot " + image + ": already gone\n");
      EXPECT_EQ(RunBlbjob("release" + other, &out), 0) << out;
    }
    EXPECT_EQ(CommandOutput(images), "");
    EXPECT_EQ(fs.SnapshotLoopsOnceReleased(), std::set<std::string>());
  }
}

// Ctrl-C on the run script while its first job holds the freeze: the
// script's cleanup runs after the command died, and must find nothing still
// frozen or attached.
TEST(blbjobFreeze, TheRunJobScriptInterruptedInsideItsFrozenWindowLeavesNothingFrozenOrAttached) {
  MountedFileSystem fs;
  SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs);
  // Given the test's file system, it must come back writable; on an image of
  // its own, the script's cleanup must get it unmounted and detached.
  for (const std::string& device : {fs.loop.Device(), std::string()}) {
    SCOPED_TRACE(device.empty() ? "own image" : device);
    auto script = HeldSnapshot::OfRunJobScript(fs, device, 20000);
    ASSERT_TRUE(script->Frozen()) << script->Output();
    std::future<bool> write = fs.Write("after");
    if (!device.empty()) {
      EXPECT_EQ(write.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout) << "not frozen";
    }
    ASSERT_EQ(::kill(-script->Pid(), SIGINT), 0);
    EXPECT_TRUE(fs.Written(write, 5));
    int status = 0;
    EXPECT_TRUE(script->EndsWithin(5, status)) << script->Output();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status << script->Output();
    EXPECT_EQ(fs.SnapshotLoopsOnceReleased(), std::set<std::string>()) << CommandOutput("losetup -a");
    EXPECT_EQ(CommandOutput("ls -A " + fs.Path() + " | grep -c blbjob-scratch || true"), "0\n");
    if (device.empty()) {
      EXPECT_EQ(testing_support::RunJobScriptLeftovers(script->Output()), "");
    }
  }
}

TEST(blbjobFreeze, ABindMountIsFrozenOnceAndASecondSnapshotWaitsForRelease) {
  MountedFileSystem fs;
  SKIP_WITHOUT_MOUNTED_FILE_SYSTEM(fs);
  testing_support::ScopedMount bind(fs.Path(), "none", "bind");
  BLB_SKIP_WITHOUT_MOUNT(bind);
  std::string out;
  ASSERT_EQ(RunBlbjob("snapshot --volume " + fs.Path() + " " + bind.Path() + kJob, &out), 0) << out;
  EXPECT_EQ(out.find(": frozen "), out.rfind(": frozen ")) << out;
  const std::string snapshot = fs.RecordedSnapshot();
  EXPECT_EQ(fs.SnapshotLoops(), std::set<std::string>{snapshot});
  ASSERT_EQ(RunBlbsim(fs.state.Path(), "job show 1001", &out), 0);
  EXPECT_TRUE(
      Contains(out, "volume=" + bind.Path() + " device=" + fs.loop.Device() + " fstype=ext4 snapshot=" + snapshot));
  EXPECT_TRUE(Contains(CommandOutput("dumpe2fs -h " + snapshot + " 2>/dev/null"), "clean"));

  // Taken again, the first snapshot would leave the job's record and never
  // be released.
  EXPECT_EQ(RunBlbjob("snapshot --volume " + fs.Path() + kJob, &out), 1);
  EXPECT_TRUE(Contains(out, "job 1001 still holds snapshot " + snapshot + "; run \"blbjob release\"")) << out;
  EXPECT_EQ(fs.RecordedSnapshot(), snapshot);
  EXPECT_EQ(fs.SnapshotLoops(), std::set<std::string>{snapshot});
  // A whole job run of it is refused alike, and releases nothing.
  EXPECT_EQ(RunBlbjob("run --volume " + fs.Path() + kJob, &out), 1);
  EXPECT_TRUE(Contains(out, "job 1001 still holds snapshot " + snapshot + "; run \"blbjob release\"")) << out;
  EXPECT_FALSE(Contains(out, "released")) << out;
  EXPECT_EQ(fs.SnapshotLoops(), std::set<std::string>{snapshot});
  ASSERT_EQ(RunBlbjob("release" + kJob, &out), 0) << out;
  EXPECT_EQ(out, "snapshot " + snapshot + ": released\n");
  EXPECT_EQ(fs.SnapshotLoopsOnceReleased(), std::set<std::string>());

  // A state directory on the file system would take the copy while it is
  // frozen: refused rather than wait for ever.
  const std::string inside = fs.Path() + "/state";
  ASSERT_EQ(RunBlbsim("", "init " + inside, &out), 0) << out;
  ASSERT_EQ(RunBlbsim(inside, "subclient 2 7 2"), 0);
  EXPECT_EQ(RunBlbjob("snapshot --volume " + bind.Path() + kJob, &out, OnState(inside)), 1);
  EXPECT_TRUE(Contains(out, "Cannot freeze [" + bind.Path() + "]: the state directory [" + inside + "] is on it"))
      << out;
}

TEST(blbjobUse, WrongOptionsUnreadableDevicesAndBareStateDirectoriesAreNamed) {
  testing_support::ScopedStateDir state;
  testing_support::ScopedLoopDevice loop(1 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  ASSERT_EQ(RunBlbsim(state.Path(), "subclient 2 7 2"), 0);
  const std::string volume = "--volume " + loop.Device();
  std::string out;
  for (const auto& [options, named] : {std::pair<std::string, std::string>{"", "no --volume given"},
                                       {"--volume", "--volume needs a path"},
                                       {volume + " --fast", "unknown option --fast"},
                                       {volume + " --app-type abc", "--app-type: not a number: abc"},
                                       {volume + " --app-type", "--app-type needs a number"}}) {
    EXPECT_EQ(RunBlbjob("snapshot " + options + kJob, &out), 2) << options;
    EXPECT_TRUE(Contains(out, "blbjob snapshot: " + named + "\nusage: blbjob snapshot")) << out;
    // run passes these options to its snapshot phase, but tells their
    // errors as its own, with its own usage.
    EXPECT_EQ(RunBlbjob("run " + options + kJob, &out), 2) << options;
    EXPECT_TRUE(Contains(out, "blbjob run: " + named + "\nusage: blbjob run ")) << out;
    EXPECT_FALSE(Contains(out, "blbjob snapshot")) << out;
  }
  EXPECT_EQ(RunBlbjob("release --keep" + kJob, &out), 2);
  EXPECT_TRUE(Contains(out, "blbjob release: unknown option --keep")) << out;

  // Without the rights to open the device: the reason and the path, before
  // the job is added anywhere.
  if (RunCommand("command -v setpriv >/dev/null") == 0 && RunCommand("chown -R 65534 " + state.Path()) == 0) {
    EXPECT_EQ(RunBlbjob("snapshot " + volume + kJob, &out, "setpriv --reuid=65534 --regid=65534 --clear-groups "), 1);
    EXPECT_EQ(out,
              "blbjob snapshot: cannot open device " + loop.Device() + " of volume " + loop.Device() + ": Permission denied\n");
    EXPECT_NE(RunBlbsim(state.Path(), "job show 1001"), 0);
  }

  // The run script given a device that is not mounted says so before it
  // starts the state over.
  const std::string kept = state.Sub("jobresults/kept");
  testing_support::WriteFile(kept, "");
  EXPECT_EQ(RunCommand(std::string("BLBSIM=") + BLBSIM_PATH + " BLBJOB=" + BLBJOB_PATH + " " + OnState(state.Path()) +
                           RUN_JOB_SCRIPT + " " + loop.Device() + " 2>&1",
                       &out),
            1);
  EXPECT_EQ(out, "run-job.sh: " + loop.Device() + " is not mounted\n");
  EXPECT_TRUE(testing_support::FileExists(kept));

  // A state directory init did not lay out is refused, and left as it was.
  const std::string bare = state.Sub("bare"), missing = state.Sub("missing");
  ASSERT_EQ(::mkdir(bare.c_str(), 0755), 0);
  EXPECT_EQ(RunBlbjob("snapshot " + volume + kJob, &out, OnState(bare)), 1);
  EXPECT_TRUE(Contains(out, "run \"blbsim init " + bare + "\" first")) << out;
  EXPECT_EQ(CommandOutput("ls -A " + bare), "");
  EXPECT_EQ(RunBlbjob("release" + kJob, &out, OnState(missing)), 1);
  EXPECT_EQ(RunBlbsim(missing, "job show 1001", &out), 1);
  EXPECT_EQ(out, "blbsim: no state directory " + missing + "; \"blbsim init " + missing + "\" lays one out\n");
  EXPECT_FALSE(testing_support::FileExists(missing));
}
