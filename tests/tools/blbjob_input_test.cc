// What the job command refuses before it takes anything, and what it tells
// the person running it: job arguments that are no numbers or that the
// services cannot carry, volume paths its records cannot hold, unknown
// options, a release with nothing held, progress into a file, and the
// short error line of a failure that quotes another.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <climits>
#include <memory>
#include <string>

#include "platform/process/shell_quote.h"
#include "support/blbsim_command.h"
#include "support/loop_device.h"
#include "support/run_command.h"
#include "support/scoped_mount.h"
#include "support/test_platform.h"

namespace {

using testing_support::CommandOutput;
using testing_support::RunBlbsim;
using testing_support::RunCommand;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int RunBlbjob(const std::string& arguments, std::string* output = nullptr) {
  return RunCommand(std::string(BLBJOB_PATH) + " " + arguments + " 2>&1", output);
}

std::string JobArgs(const std::string& job, const std::string& app = "7", const std::string& more = "") {
  return " -- -a 2:" + app + " -j " + job + " -t 1 -d stow1 -jt TOK" + more;
}

std::string Field(const std::string& line, const std::string& key) {
  const size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return "";
  const size_t start = at + key.size() + 2;
  return line.substr(start, line.find_first_of(" \n", start) - start);
}

// A 64 MiB ext4 on a loop device, mounted, in a fresh state with subclient
// 2:7. The jobs named are released at the end.
struct MountedExt4 {
  testing_support::ScopedStateDir state;
  testing_support::ScopedLoopDevice loop{64 << 20};
  std::unique_ptr<testing_support::ScopedMount> mount;
  std::vector<std::string> jobs;

  MountedExt4() {
    if (!loop.Ok() || RunCommand("mkfs.ext4 -q " + loop.Device()) != 0) return;
    mount = std::make_unique<testing_support::ScopedMount>(loop.Device(), "ext4");
    EXPECT_EQ(RunBlbsim(state.Path(), "subclient 2 7 2"), 0);
  }
  ~MountedExt4() {
    for (const std::string& job : jobs) RunBlbjob("release" + job);
  }
  bool Ok() const { return mount && mount->Ok(); }
  const std::string& Path() const { return mount->Path(); }
  bool JobKnown(const std::string& job) const { return RunBlbsim(state.Path(), "job show " + job) == 0; }
  std::string SnapshotLoops() const {
    return CommandOutput("losetup -l -n -O BACK-FILE | grep -c -F " + state.Path() + "/ || true");
  }
};

#define SKIP_WITHOUT_MOUNTED_EXT4(ext4)      \
  BLB_SKIP_WITHOUT_LOOP_DEVICE((ext4).loop); \
  if (!(ext4).Ok()) GTEST_SKIP() << ((ext4).mount ? (ext4).mount->SkipReason() : "no ext4")

}  // namespace

TEST(blbjobInput, JobArgumentsThatAreNoNumbersOrPastWhatTheServicesCarryAreRefusedAndABigJobIdBreaksNoLaterJob) {
  MountedExt4 ext4;
  SKIP_WITHOUT_MOUNTED_EXT4(ext4);
  std::string out;
  for (const auto& [job, named] : std::vector<std::pair<std::string, std::string>>{
           {JobArgs("1001", "7", " -lsjid abc"), "job argument -lsjid abc: not a whole number"},
           {JobArgs("1001", "7", " -lsjid"), "job argument -lsjid needs the id of the last job that completed"},
           {JobArgs("12x"), "job argument -j 12x: not a whole number"},
           {JobArgs("1001", "7x"), "job argument -a 2:7x: not a whole number in CELL:APP"},
           {JobArgs("1001", "4294967303"),
            "job argument -a 2:4294967303: 4294967303 is above 4294967295, the largest id the subclient's "
            "job-results directory is found by"},
           {JobArgs("9223372036854775808"),
            "job argument -j 9223372036854775808: 9223372036854775808 is above 9223372036854775807, the largest "
            "job id a later job's -lsjid can name"},
           // Numbers the library's parser does not take: named, not told as
           // arguments that name no job.
           {" -- -a 2:7 -j 1001 -t 3 -d stow1 -jt TOK",
            "job argument -t 3: no backup level the library takes (1 full, 2 incremental, 4 differential)"},
           {" -- -a 2:0 -j 1001 -t 1 -d stow1 -jt TOK",
            "job argument -a 2:0: the cell and the subclient are ids from 1"},
           {" -- -a 2:7 -j 0 -t 1 -d stow1 -jt TOK", "job argument -j 0: a job id is a number from 1"},
           {" -- -a 2:7 -j 1001 -t 1 -jt TOK -d", "job argument -d needs a value"}}) {
    EXPECT_EQ(RunBlbjob("run --volume " + ext4.Path() + job, &out), 2) << job;
    EXPECT_TRUE(Contains(out, "blbjob run: " + named + "\nusage: blbjob run ")) << out;
    EXPECT_EQ(ext4.SnapshotLoops(), "0\n") << job;
  }
  // Each verb names itself in its usage error, the job arguments' too.
  for (const std::string& verb :
       {"snapshot --volume " + ext4.Path(), std::string("scan"), std::string("backup"), std::string("release"),
        std::string("jobresults"), std::string("pseudosnap --snap-job 1001")}) {
    const std::string name = verb.substr(0, verb.find(' '));
    EXPECT_EQ(RunBlbjob(verb + JobArgs("12x"), &out), 2) << verb;
    EXPECT_EQ(out.rfind("blbjob " + name + ": job argument -j 12x: not a whole number\nusage: blbjob " + name + " ", 0),
              0u)
        << out;
    EXPECT_EQ(RunBlbjob(verb + " -- -a 2:7 -j 1001", &out), 2) << verb;
    EXPECT_EQ(
        out.rfind("blbjob " + name + ": the job arguments name no job (-a CELL:APP -j JOB -t LEVEL -d HOST)\n", 0), 0u)
        << out;
  }
  EXPECT_FALSE(ext4.JobKnown("1001"));

  // A job id above 2^32 runs whole; the pseudo-snap conversions, whose
  // snapshot records are asked for by 32-bit job ids, refuse it.
  const std::string big = "4294967297";
  ASSERT_EQ(RunBlbjob("run --volume " + ext4.Path() + JobArgs(big), &out), 0) << out;
  EXPECT_EQ(RunBlbjob("pseudosnap --snap-job " + big + JobArgs("7100"), &out), 2) << out;
  EXPECT_TRUE(Contains(out, "blbjob pseudosnap: --snap-job " + big +
                                ": not a number from 1 to 4294967295 (the "
                                "snapshot service is asked for a job's record by a 32-bit job id)\n"))
      << out;
  EXPECT_EQ(RunBlbjob("pseudosnap --snap-job 1001" + JobArgs("4294967298"), &out), 2) << out;
  EXPECT_TRUE(Contains(out, "blbjob pseudosnap: job argument -j 4294967298: above 4294967295")) << out;
  EXPECT_FALSE(ext4.JobKnown("4294967298"));

  // The jobs after it are converted, their archive files recorded.
  ext4.jobs.push_back(JobArgs("7001"));
  ASSERT_EQ(RunBlbjob("snapshot --volume " + ext4.Path() + JobArgs("7001"), &out), 0) << out;
  ASSERT_EQ(RunBlbjob("pseudosnap --snap-job 7001" + JobArgs("7100"), &out), 0) << out;
  const std::string afiles = Field(" " + out, "afiles");
  ASSERT_FALSE(afiles.empty()) << out;
  EXPECT_LE(std::stoull(afiles), static_cast<unsigned long long>(INT32_MAX)) << out;
  std::string clone;
  ASSERT_EQ(RunBlbsim(ext4.state.Path(), "snap show 7100", &clone), 0) << clone;
  EXPECT_TRUE(Contains(clone, " afile=" + afiles + "\n")) << clone;
}

// A refusal names the verb that refused, as a usage error does: a volume
// that is none, given to the snapshot phase or to a whole job, and a
// snapshot job that took no snapshot.
TEST(blbjobInput, AVolumeThatIsNoneAndASnapshotJobWithoutSnapshotsAreRefusedByTheirVerbsName) {
  testing_support::ScopedStateDir state;
  ASSERT_EQ(RunBlbsim(state.Path(), "subclient 2 7 2"), 0);
  const std::string none = state.Sub("no-such-volume");
  std::string out;
  for (const std::string verb : {"snapshot", "run"}) {
    EXPECT_EQ(RunBlbjob(verb + " --volume " + none + JobArgs("1001"), &out), 2) << verb;
    EXPECT_EQ(out, "blbjob " + verb + ": " + none + " is neither a mount point nor a block device\n");
  }
  EXPECT_EQ(RunBlbjob("pseudosnap --snap-job 99999" + JobArgs("7100"), &out), 1);
  EXPECT_EQ(out, "blbjob pseudosnap: job 99999 recorded no snapshot\n");
  EXPECT_NE(RunBlbsim(state.Path(), "job show 1001"), 0);
}

TEST(blbjobInput, AMountPathHoldingABarOrALineEndIsRefusedBeforeAnythingIsTaken) {
  MountedExt4 ext4;
  SKIP_WITHOUT_MOUNTED_EXT4(ext4);
  ASSERT_EQ(::umount2(ext4.Path().c_str(), 0), 0);
  for (const auto& [name, told] : std::vector<std::pair<std::string, std::string>>{
           {"a|b", "a|b\" holds '|'"}, {"a\nb", "a\\nb\" holds a line feed (\\n)"}}) {
    const std::string path = ext4.state.Sub(name);
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    ASSERT_EQ(::mount(ext4.loop.Device().c_str(), path.c_str(), "ext4", 0, nullptr), 0);
    std::string out;
    const int status = RunBlbjob("run --volume " + platform::ShellQuote(path) + JobArgs("1001"), &out);
    ::umount2(path.c_str(), 0);
    EXPECT_EQ(status, 2) << out;
    EXPECT_TRUE(Contains(out, "blbjob run: the mount path \"" + ext4.state.Path() + "/" + told +
                                  ", which the job's records cannot carry\n"))
        << out;
    EXPECT_FALSE(ext4.JobKnown("1001")) << out;
    EXPECT_EQ(ext4.SnapshotLoops(), "0\n") << out;
  }
  ASSERT_EQ(::mount(ext4.loop.Device().c_str(), ext4.Path().c_str(), "ext4", 0, nullptr), 0);
}

TEST(blbjobInput, UnknownOptionsANothingToReleaseAndProgressIntoAFileAreTold) {
  MountedExt4 ext4;
  SKIP_WITHOUT_MOUNTED_EXT4(ext4);
  std::string out;
  for (const std::string verb : {"jobresults", "pseudosnap --snap-job 1001"}) {
    EXPECT_EQ(RunBlbjob(verb + " --bogus" + JobArgs("1002"), &out), 2) << verb;
    const std::string name = verb.substr(0, verb.find(' '));
    EXPECT_EQ(out.rfind("blbjob " + name + ": unknown option --bogus\nusage: blbjob " + name + " ", 0), 0u) << out;
  }
  EXPECT_EQ(RunBlbjob("release" + JobArgs("1001"), &out), 0) << out;
  EXPECT_EQ(out, "job 1001 holds no snapshot: nothing to release\n");

  // Into a file, each progress update is a line.
  const std::string progress = ext4.state.Sub("progress.txt");
  ASSERT_EQ(RunCommand(std::string(BLBJOB_PATH) + " run --progress --volume " + ext4.Path() + JobArgs("1001") +
                       " >/dev/null 2>" + progress),
            0)
      << testing_support::ReadFile(progress);
  const std::string lines = testing_support::ReadFile(progress);
  EXPECT_FALSE(Contains(lines, "\r")) << lines;
  EXPECT_TRUE(Contains(lines, "blbjob: backup ...\nbackup: ")) << lines;
  EXPECT_TRUE(Contains(lines, " MB/s\nblbjob: jobresults ...\n")) << lines;
}

// Two subclients back up the device: the pre-snap's refusal quotes the
// failure that found them, whose own message the short line keeps.
TEST(blbjobInput, TheErrorLineKeepsTheQuotedFailuresMessageAndClosesItsBracket) {
  MountedExt4 ext4;
  SKIP_WITHOUT_MOUNTED_EXT4(ext4);
  const std::string subclient = R"("client_id": 2, "app_type": 29, "backup_set_id": 129, "block_level_flags": 1, )"
                                R"("contents": [")" +
                                ext4.Path() + R"("]})";
  testing_support::WriteFile(ext4.state.Sub("seed.json"),
                             R"({"agent_config": {"subclients": [{"cell_id": 2, "app_id": 7, )" + subclient +
                                 R"(, {"cell_id": 2, "app_id": 12, )" + subclient +
                                 R"(]}, "application_list": {"application_types": [{"client_id": 2, "type": 29}], )"
                                 R"("backup_sets": [{"id": 129, "client_id": 2, "app_type": 29}]}})");
  std::string out;
  ASSERT_EQ(RunBlbsim(ext4.state.Path(), "seed " + ext4.state.Sub("seed.json"), &out), 0) << out;
  ext4.jobs.push_back(JobArgs("1001", "12"));
  ASSERT_EQ(RunBlbjob("run --keep-snapshot --volume " + ext4.Path() + JobArgs("1001", "12"), &out), 0) << out;
  EXPECT_EQ(RunBlbjob("snapshot --checks --volume " + ext4.Path() + JobArgs("1002"), &out), 1) << out;
  const std::string device = ext4.loop.Device();
  EXPECT_TRUE(Contains(out, "blbjob snapshot: pre-snap failed: KZBF/LVM device[" + device +
                                "] Native backup with more than one Subclient configured is not supported, "
                                "AppId=[7], Error=[Device[" +
                                device +
                                "] is configured for multiple BlockLevel Subclients, Id's=[12, ]]: Device or "
                                "resource busy (code=-16)\n"))
      << out;
}

// A subclient the job command adds is configured with the volumes its jobs
// back up: the checks of another subclient's job find the device its kept
// snapshot holds. A database subclient's contents are the database's, which
// the command does not know: it adds none.
TEST(blbjobInput, TheChecksRefuseADeviceThatAnotherSubclientTheCommandAddedBacksUp) {
  MountedExt4 ext4;
  SKIP_WITHOUT_MOUNTED_EXT4(ext4);
  std::string out;
  ext4.jobs.push_back(JobArgs("1001", "12"));
  ASSERT_EQ(RunBlbjob("run --keep-snapshot --volume " + ext4.Path() + JobArgs("1001", "12"), &out), 0) << out;
  ext4.jobs.push_back(JobArgs("1002"));  // should it not be refused
  EXPECT_EQ(RunBlbjob("snapshot --checks --volume " + ext4.Path() + JobArgs("1002"), &out), 1) << out;
  EXPECT_TRUE(Contains(out, "blbjob snapshot: pre-snap failed: KZBF/LVM device[" + ext4.loop.Device() +
                                "] Native backup with more than one Subclient configured is not supported"))
      << out;
  EXPECT_TRUE(Contains(out, "is configured for multiple BlockLevel Subclients, Id's=[12, ]")) << out;

  ext4.jobs.push_back(JobArgs("1003", "51"));
  RunBlbjob("snapshot --app-type 22 --volume " + ext4.Path() + JobArgs("1003", "51"), &out);
  ASSERT_EQ(RunBlbsim(ext4.state.Path(), "dump agent_config", &out), 0) << out;
  const size_t database = out.find("\"app_id\": 51,");
  ASSERT_NE(database, std::string::npos) << out;
  EXPECT_TRUE(Contains(out.substr(database, out.find('}', database) - database), "\"contents\": [],")) << out;
}

// The run script checks the room it needs before it starts: its image in
// its work folder under TMPDIR, the two snapshots of the device in the
// state directory.
TEST(blbjobInput, TheRunJobScriptSaysWhereItLacksTheRoomItNeedsBeforeItStarts) {
  testing_support::ScopedStateDir state;
  testing_support::ScopedMount small("tmpfs", "tmpfs", "size=32m");
  BLB_SKIP_WITHOUT_MOUNT(small);
  testing_support::ScopedLoopDevice loop(128 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  ASSERT_EQ(RunCommand("mkfs.ext4 -q " + loop.Device()), 0);
  testing_support::ScopedMount device(loop.Device(), "ext4");
  BLB_SKIP_WITHOUT_MOUNT(device);
  const std::string script = std::string("BLBSIM=") + BLBSIM_PATH + " BLBJOB=" + BLBJOB_PATH + " " + RUN_JOB_SCRIPT;
  const std::string kept = state.Sub("jobresults/kept");
  testing_support::WriteFile(kept, "");
  std::string out;
  EXPECT_EQ(RunCommand("TMPDIR=" + small.Path() + " BLB_STATE_DIR=" + state.Path() + " " + script + " 2>&1", &out), 1);
  EXPECT_TRUE(Contains(out, "run-job.sh: the image of the file system: 256 MiB needed free on the file system of " +
                                small.Path() + "/blbjob-run."))
      << out;
  EXPECT_TRUE(Contains(out, ", which has 32 MiB\n")) << out;
  EXPECT_EQ(CommandOutput("ls -A " + small.Path()), "");
  EXPECT_TRUE(testing_support::FileExists(kept));

  EXPECT_EQ(RunCommand("BLB_STATE_DIR=" + small.Path() + "/state " + script + " " + loop.Device() + " 2>&1", &out), 1);
  EXPECT_EQ(out, "run-job.sh: the two jobs' snapshots (128 MiB each): 256 MiB needed free on the file system of " +
                     small.Path() + ", which has 32 MiB\n");
  EXPECT_EQ(CommandOutput("ls -A " + device.Path()), "lost+found\n");
}

// The run script checks its jobs with dumpe2fs: a mounted DEVICE of another
// file system is refused before it starts the state over or writes a file,
// naming what it takes.
TEST(blbjobInput, TheRunJobScriptRefusesADeviceItCannotCheckBeforeItRunsAnything) {
  if (RunCommand("command -v mkfs.btrfs >/dev/null && { grep -qw btrfs /proc/filesystems || modprobe btrfs; }") != 0)
    GTEST_SKIP() << "no btrfs here";
  testing_support::ScopedStateDir state;
  testing_support::ScopedLoopDevice loop(128 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(loop);
  ASSERT_EQ(RunCommand("mkfs.btrfs -q -f " + loop.Device() + " >/dev/null"), 0);
  testing_support::ScopedMount btrfs(loop.Device(), "btrfs");
  BLB_SKIP_WITHOUT_MOUNT(btrfs);
  const std::string kept = state.Sub("jobresults/kept");
  testing_support::WriteFile(kept, "");
  std::string out;
  EXPECT_EQ(RunCommand(std::string("BLBSIM=") + BLBSIM_PATH + " BLBJOB=" + BLBJOB_PATH + " BLB_STATE_DIR=" +
                           state.Path() + " " + RUN_JOB_SCRIPT + " " + loop.Device() + " 2>&1",
                       &out),
            1);
  EXPECT_EQ(out, "run-job.sh: " + loop.Device() +
                     " holds btrfs, which its check cannot read: give a device that holds a mounted ext4 (or ext2, "
                     "ext3), or none for an ext4 of its own\n");
  EXPECT_TRUE(testing_support::FileExists(kept));
  EXPECT_EQ(CommandOutput("ls -A " + btrfs.Path()), "");
}
