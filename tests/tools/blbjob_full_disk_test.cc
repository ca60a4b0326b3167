// The job command with its state directory on a disk that fills up (a
// 300 MiB tmpfs, filled by the test once the snapshot is taken) or on a file
// system mounted read-only.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>

#include "support/blbsim_command.h"
#include "support/loop_device.h"
#include "support/run_command.h"
#include "support/scoped_mount.h"
#include "support/test_platform.h"

namespace {

using testing_support::FileExists;
using testing_support::RunBlbsim;
using testing_support::RunCommand;
using testing_support::SettledCommandOutput;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string JobArgs(int job) {
  return " -- -a 2:7 -j " + std::to_string(job) + " -t 1 -d stow1 -jt TOK";
}

// A 64 MiB ext4 mounted from a loop device, and a state directory laid out
// on a tmpfs of its own. What the test leaves goes with the tmpfs: the
// snapshots the state holds first.
struct FullStateDirectory {
  testing_support::ScopedLoopDevice loop{64 << 20};
  std::unique_ptr<testing_support::ScopedMount> ext4;
  testing_support::ScopedMount tmpfs{"tmpfs", "tmpfs", "size=300M"};
  std::string state = tmpfs.Path() + "/state";

  FullStateDirectory() {
    if (!loop.Ok() || !tmpfs.Ok() || RunCommand("mkfs.ext4 -q " + loop.Device()) != 0) return;
    ext4 = std::make_unique<testing_support::ScopedMount>(loop.Device(), "ext4");
    EXPECT_EQ(RunBlbsim("", "init " + state), 0);
    EXPECT_EQ(RunBlbsim(state, "subclient 2 7 2"), 0);
  }
  ~FullStateDirectory() {
    if (!tmpfs.Ok()) return;
    ::unlink(Filler().c_str());
    RunBlbsim(state, "init --reset");
  }
  bool Ok() const { return ext4 && ext4->Ok(); }
  std::string Filler() const { return tmpfs.Path() + "/filler"; }
  // Takes what room the tmpfs has left.
  void Fill() const {
    RunCommand("dd if=/dev/zero of=" + Filler() + " bs=1M oflag=append conv=notrunc status=none 2>/dev/null");
    EXPECT_EQ(testing_support::CommandOutput("df --output=avail " + tmpfs.Path() + " | tail -n 1 | tr -d ' '"), "0\n");
  }
  int Blbjob(const std::string& arguments, std::string* output) const {
    return RunCommand("BLB_STATE_DIR=" + state + " " + BLBJOB_PATH + " " + arguments + " 2>&1", output);
  }
  // The loop devices whose backing file is in the state directory.
  std::string SnapshotLoops() const {
    return SettledCommandOutput("losetup -l -n -O BACK-FILE | grep -c -F " + state + "/ || true", "0\n");
  }
};

}  // namespace

TEST(blbjobFullDisk, ReleaseFreesTheSnapshotAndAJobNamesTheFullDisk) {
  FullStateDirectory disk;
  BLB_SKIP_WITHOUT_LOOP_DEVICE(disk.loop);
  BLB_SKIP_WITHOUT_MOUNT(disk.tmpfs);
  ASSERT_TRUE(disk.Ok());
  // Block-level, as the agent's subclient of block-level jobs is.
  ASSERT_EQ(RunBlbsim(disk.state, "subclient 2 7 2 0 0 1"), 0);
  std::string out;
  ASSERT_EQ(disk.Blbjob("snapshot --volume " + disk.ext4->Path() + JobArgs(1001), &out), 0) << out;
  const std::string image = testing_support::CommandOutput("ls " + disk.state + "/drivers/kzbf/snaps/*.img");
  ASSERT_FALSE(image.empty());
  ASSERT_EQ(disk.SnapshotLoops(), "1\n");

  // The driver's record of the released snapshot needs room, which only
  // the snapshot's image gives back.
  disk.Fill();
  EXPECT_EQ(disk.Blbjob("release" + JobArgs(1001), &out), 0) << out;
  EXPECT_TRUE(Contains(out, ": released\n")) << out;
  EXPECT_EQ(disk.SnapshotLoops(), "0\n");
  EXPECT_EQ(testing_support::CommandOutput("ls " + disk.state + "/drivers/kzbf/snaps"), "");

  // Full again: a new job cannot be added, the known one cannot keep its
  // driver record, nor its subclient a volume it lacks (a device holding
  // no mounted file system, by its path); each says why, as the system said
  // it.
  testing_support::ScopedLoopDevice unmounted(1 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(unmounted);
  disk.Fill();
  const struct {
    int job;
    std::string volume;
    std::string named;
  } cases[] = {
      {1002, disk.ext4->Path(),
       "blbjob run: cannot add the job or its subclient to the job service: Cannot add job 1002: database or disk "
       "is full [" +
           disk.state + "/agent.db]: No space left on device (code=-28)\n"},
      {1001, disk.ext4->Path(),
       "blbjob run: pre-snap failed: Cannot store the driver record of device [" + disk.loop.Device() +
           "]: No space left on device (code=-28)\n"},
      {1001, unmounted.Device(),
       "blbjob run: cannot configure the job's subclient: Cannot configure subclient 2:7 with the job's volumes: "
       "database or disk is full [" +
           disk.state + "/agent.db]: No space left on device (code=-28)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.job) + " " + c.volume);
    EXPECT_EQ(disk.Blbjob("run --volume " + c.volume + JobArgs(c.job), &out), 1) << out;
    EXPECT_TRUE(Contains(out, c.named)) << out;
    EXPECT_EQ(disk.SnapshotLoops(), "0\n");
  }
}

// An incremental's scan on a full state disk. The archive manager cannot log
// the request for the last job's archive files and says why and where. The
// fault table's shared word, made anew on that disk (its file removed), has
// no block to map: the command looks at the table by time instead, and is
// not killed by SIGBUS at its first touch of the word.
TEST(blbjobFullDisk, AnIncrementalsScanNamesTheDatabaseAndTheCauseAndIsNotKilled) {
  FullStateDirectory disk;
  BLB_SKIP_WITHOUT_LOOP_DEVICE(disk.loop);
  BLB_SKIP_WITHOUT_MOUNT(disk.tmpfs);
  ASSERT_TRUE(disk.Ok());
  const std::string incremental = " -- -a 2:7 -j 1002 -t 2 -d stow1 -jt TOK -lsjid 1001";
  std::string out;
  ASSERT_EQ(disk.Blbjob("run --volume " + disk.ext4->Path() + JobArgs(1001), &out), 0) << out;
  ASSERT_EQ(RunCommand("dd if=/dev/urandom of=" + disk.ext4->Path() + "/f bs=1M count=2 status=none && sync"), 0);
  ASSERT_EQ(disk.Blbjob("snapshot --volume " + disk.ext4->Path() + incremental, &out), 0) << out;
  disk.Fill();
  ASSERT_EQ(::unlink((disk.state + "/faults.generation").c_str()), 0);
  const std::string listing =
      "blbjob scan: scan failed: Cannot list the archive files of snapshot job 1001: database or disk is full [" +
      disk.state + "/agent.db]: No space left on device (code=-28)\n";
  // Where the database's log still has room for the request, the scan fails
  // at its next write, of the last job's bitmaps; the log fills up.
  bool listed = false;
  for (int attempt = 0; attempt < 5 && !listed; ++attempt) {
    EXPECT_EQ(disk.Blbjob("scan" + incremental, &out), 1) << out;
    listed = Contains(out, listing);
    if (!listed) {
      EXPECT_TRUE(Contains(out, "]: No space left on device (code=-28)\n")) << out;
    }
  }
  EXPECT_TRUE(listed) << out;
  ::unlink(disk.Filler().c_str());
  EXPECT_EQ(disk.Blbjob("release" + incremental, &out), 0) << out;
}

// A state directory on a file system mounted read-only: with the database's
// log files beside it (a process that used it ended without closing it), a
// change is refused; without them (the last user closed it), SQLite cannot
// open the database at all. Either way the command names the read-only
// file system, as the system gives it.
TEST(blbjobReadOnlyState, TheCommandNamesTheReadOnlyFileSystem) {
  testing_support::ScopedStateDir scratch;
  const std::string state = scratch.Sub("state");
  ASSERT_EQ(RunBlbsim("", "init " + state), 0);
  ASSERT_TRUE(FileExists(state + "/agent.db-wal"));
  const std::string release = std::string(BLBJOB_PATH) + " release" + JobArgs(1001) + " 2>&1";
  std::string out;
  {
    testing_support::ScopedMount readOnly(state, "none", "bind,ro");
    BLB_SKIP_WITHOUT_MOUNT(readOnly);
    EXPECT_EQ(RunCommand("BLB_STATE_DIR=" + readOnly.Path() + " " + release, &out), 1) << out;
    // The subclient's lock comes first, and is refused for the same cause.
    EXPECT_TRUE(Contains(out, "blbjob release: cannot lock subclient 2:7 [" + readOnly.Path() +
                                  "/locks/blbjob-subclient-2-7.lock]: Read-only file system\n"))
        << out;
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((state + "/agent.db").c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "PRAGMA schema_version;", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  ASSERT_FALSE(FileExists(state + "/agent.db-wal"));
  testing_support::ScopedMount readOnly(state, "none", "bind,ro");
  BLB_SKIP_WITHOUT_MOUNT(readOnly);
  EXPECT_EQ(RunCommand("BLB_STATE_DIR=" + readOnly.Path() + " " + release, &out), 1) << out;
  EXPECT_EQ(out, "blbjob release: cannot migrate the state database " + readOnly.Path() +
                     "/agent.db: unable to open database file: Read-only file system\n");
}
