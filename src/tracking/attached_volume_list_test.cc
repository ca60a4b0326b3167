#include "tracking/attached_volume_list.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>

#include "platform/sim/fault_table.h"
#include "support/test_platform.h"

namespace {

using testing_support::ReadFile;
using testing_support::ScopedStateDir;
using testing_support::WriteFile;

std::string ListFile(const ScopedStateDir& state) {
  return state.Sub("jobresults/.BlockLevel/.AttachedVolumes");
}

TEST(VolumeClusterConfig, ReadsAndWritesItsLine) {
  VolumeClusterConfig parsed("/mnt/data|4194304|320|0\n");
  ASSERT_TRUE(parsed.IsValid());
  EXPECT_EQ(parsed.GetMountPoint(), "/mnt/data");
  EXPECT_EQ(parsed.GetExtentSize(), 4194304);
  EXPECT_EQ(parsed.GetBitMapSize(), 320);
  EXPECT_FALSE(parsed.IsDirty());
  EXPECT_FALSE(VolumeClusterConfig("/mnt/data|4194304|320\n").IsValid());
  EXPECT_FALSE(VolumeClusterConfig("/mnt/a|b|1|2|3").IsValid());

  VolumeClusterConfig dirty("/mnt/x|abc|99999999999|1");
  ASSERT_TRUE(dirty.IsValid());
  EXPECT_EQ(dirty.GetExtentSize(), 0);  // not a number, or not an int
  EXPECT_EQ(dirty.GetBitMapSize(), 0);
  EXPECT_TRUE(dirty.IsDirty());
  dirty.UnSetDirty();
  EXPECT_EQ(dirty.Serialize(), "/mnt/x|0|0|0\n");

  VolumeClusterConfig made("/mnt/a", 4194304, 320);
  made.SetDirty();
  EXPECT_EQ(made.Serialize(), "/mnt/a|4194304|320|1\n");
  EXPECT_EQ(made, VolumeClusterConfig("/mnt/a|4194304|320|0"));  // the flags do not count
  EXPECT_NE(made, VolumeClusterConfig("/mnt/a", 1048576, 320));
  EXPECT_FALSE(VolumeClusterConfig().IsValid());
}

TEST(CAttachedVolumeList, KeepsOneLinePerVolumeInTheOrderOfTheLastAddition) {
  ScopedStateDir state;
  {
    CAttachedVolumeList list(true);
    EXPECT_EQ(list.GetConfigDirName(), state.Sub("jobresults/.BlockLevel"));
    EXPECT_EQ(list.GetConfigFileName(), ListFile(state));
    ASSERT_FALSE(list.AddVolumeToAttachedList(VolumeClusterConfig("/mnt/a", 4194304, 320)).IsError());
  }
  EXPECT_EQ(ReadFile(ListFile(state)), "/mnt/a|4194304|320|0\n");

  CAttachedVolumeList unlocked(false);
  ASSERT_FALSE(unlocked.AddVolumeToAttachedList(VolumeClusterConfig("/mnt/b", 4194304, 64)).IsError());
  ASSERT_FALSE(unlocked.AddVolumeToAttachedList(VolumeClusterConfig("/mnt/a", 1048576, 1280)).IsError());
  EXPECT_EQ(ReadFile(ListFile(state)), "/mnt/b|4194304|64|0\n/mnt/a|1048576|1280|0\n");

  // A sized-changed volume is not yet listed, so it is added again.
  EXPECT_FALSE(unlocked.IsVolumeAlreadyAddedInList(VolumeClusterConfig("/mnt/a", 4194304, 320)));
  EXPECT_TRUE(unlocked.IsVolumeAlreadyAddedInList(VolumeClusterConfig("/mnt/a", 1048576, 1280)));
  VolumeClusterConfig lookup("/mnt/b/", 0, 0);  // names the same path
  ASSERT_FALSE(unlocked.GetVolumeConfig(lookup).IsError());
  EXPECT_EQ(lookup.GetBitMapSize(), 64);
  VolumeClusterConfig missing("/mnt/c", 0, 0);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(unlocked.GetVolumeConfig(missing), 2));

  // Broken and empty lines are dropped when read.
  WriteFile(ListFile(state), "/mnt/b|4194304|64|1\n\n/mnt/short|4194304|64\n/mnt/a|1048576|1280|0\n");
  std::list<VolumeClusterConfig> volumes;
  ASSERT_FALSE(unlocked.GetVolumeList(volumes).IsError());
  ASSERT_EQ(volumes.size(), 2u);
  EXPECT_TRUE(volumes.front().IsDirty());
  EXPECT_EQ(volumes.back().GetMountPoint(), "/mnt/a");

  // Nothing to hold: the file is never rewritten empty.
  {
    CAttachedVolumeList list(true);
    ASSERT_FALSE(list.SaveList(std::list<VolumeClusterConfig>()).IsError());
  }
  EXPECT_EQ(ReadFile(ListFile(state)), "/mnt/b|4194304|64|1\n\n/mnt/short|4194304|64\n/mnt/a|1048576|1280|0\n");
}

TEST(CAttachedVolumeList, MissingFilesAndFailedWritesAreReported) {
  ScopedStateDir state;
  // A failed write at destruction is only logged, even when it throws.
  {
    testing_support::CapturingLog log;
    {
      CAttachedVolumeList held(true);
      held.AddVolumeToAttachedList(VolumeClusterConfig("/mnt/c", 1, 1));
      platform::FaultTable::Set("KzFileLock::lock", 5, true);
    }
    platform::FaultTable::Clear("KzFileLock::lock");
    EXPECT_TRUE(log.Contains("Injected fault in KzFileLock::lock"));
  }
  EXPECT_FALSE(testing_support::FileExists(ListFile(state)));
  CAttachedVolumeList unlocked(false);
  std::list<VolumeClusterConfig> volumes;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(unlocked.GetVolumeList(volumes), 2));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(unlocked.AddVolumeToAttachedList(VolumeClusterConfig("/mnt/a", 1, 1)), 2));

  // A list that cannot replace the old one leaves it, and no temporary file.
  WriteFile(ListFile(state), "/mnt/a|4194304|320|1\n");
  ASSERT_EQ(::rename(ListFile(state).c_str(), (ListFile(state) + ".keep").c_str()), 0);
  ASSERT_EQ(::mkdir(ListFile(state).c_str(), 0755), 0);
  WriteFile(ListFile(state) + "/occupied", "x");
  CAttachedVolumeList list(false);
  ASSERT_FALSE(list.SaveList({VolumeClusterConfig("/mnt/b", 1, 1)}).IsError());
  CQiError failed = list.SaveList();
  EXPECT_TRUE(failed.IsError());
  EXPECT_NE(FXErrorUtil::GetCode(failed), 0);
  EXPECT_FALSE(testing_support::FileExists(ListFile(state) + ".tmp"));
  platform::FaultTable::Set("KZPI_VornClient::getJobResultsDirectory", 2);
  try {
    CAttachedVolumeList noFolder(true);
    ADD_FAILURE() << "no exception";
  } catch (const KzException& exception) {
    EXPECT_EQ(std::string(exception.getMessage()),
              "Failed to retrieve job results directory for VM localclient from registry");
    EXPECT_EQ(exception.getFunction(), "CAttachedVolumeList::CAttachedVolumeList(bool)");
    EXPECT_EQ(exception.getCode(), -1);
  }
}

TEST(CAttachedVolumeList, NeverWritesWithoutItsLock) {
  ScopedStateDir state;
  {
    CAttachedVolumeList seed(true);
    seed.AddVolumeToAttachedList(VolumeClusterConfig("/mnt/a", 4194304, 320));
  }
  const std::string before = ReadFile(ListFile(state));
  platform::FaultTable::Set("KzFileLock::lock", 11, false, 1);
  try {
    CAttachedVolumeList list(true);
    ADD_FAILURE() << "held without the lock";
  } catch (const KzException& exception) {
    EXPECT_EQ(std::string(exception.getMessage()), "Failed to lock [" + ListFile(state) + ".lock], errno=11");
  }
  EXPECT_EQ(ReadFile(ListFile(state)), before);
  // An unlocked object's read-modify-write fails too, rather than go on unguarded.
  platform::FaultTable::Set("KzFileLock::lock", 11, false, 1);
  CAttachedVolumeList unlocked(false);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(unlocked.AddVolumeToAttachedList(VolumeClusterConfig("/mnt/b", 1, 1)), 11));
  EXPECT_EQ(ReadFile(ListFile(state)), before);

  // A second locked object in the thread that holds one would be granted the
  // re-entrant lock, and its update overwritten by the outer object's.
  {
    CAttachedVolumeList outer(true);
    outer.AddVolumeToAttachedList(VolumeClusterConfig("/mnt/c", 1, 1));
    EXPECT_THROW(CAttachedVolumeList inner(true), KzException);
  }
  EXPECT_EQ(ReadFile(ListFile(state)), before + "/mnt/c|1|1|0\n");
  CAttachedVolumeList again(true);  // held by nobody now
  EXPECT_TRUE(again.IsVolumeAlreadyAddedInList(VolumeClusterConfig("/mnt/c", 1, 1)));
}

// The mark for a state directory with no room for a new file: each line
// of a volume reads dirty, the file keeps its size, every other byte and
// line stays as it was.
TEST(CAttachedVolumeList, SetsDirtyFlagsInPlace) {
  ScopedStateDir state;
  {
    CAttachedVolumeList seed(true);
    seed.AddVolumeToAttachedList(VolumeClusterConfig("/mnt/b", 1, 1));
  }
  const std::string listed =
      "/mnt/a|4194304|320|0\n/mnt/b|1|1|0\n/mnt/a|1|1|00\n/mnt/c|1|1|1\n/mnt/d|1|1|\n/mnt/e|1|1|x0";
  WriteFile(ListFile(state), listed);
  CAttachedVolumeList list(false);
  std::set<std::string> marked;
  ASSERT_FALSE(list.SetDirtyInPlace({"/mnt/a", "/mnt/c", "/mnt/d", "/mnt/e", "/mnt/none"}, marked).IsError());
  // "/mnt/d" has no flag to overwrite, "/mnt/none" no line.
  EXPECT_EQ(marked, (std::set<std::string>{"/mnt/a", "/mnt/c", "/mnt/e"}));
  EXPECT_EQ(ReadFile(ListFile(state)),
            "/mnt/a|4194304|320|1\n/mnt/b|1|1|0\n/mnt/a|1|1|01\n/mnt/c|1|1|1\n/mnt/d|1|1|\n/mnt/e|1|1|01");
  std::list<VolumeClusterConfig> volumes;
  ASSERT_FALSE(list.GetVolumeList(volumes).IsError());
  for (const VolumeClusterConfig& volume : volumes)
    EXPECT_EQ(volume.IsDirty(), marked.count(volume.GetMountPoint()) != 0) << volume.Serialize();

  // Not without the lock, and not a list that is not there.
  platform::FaultTable::Set("KzFileLock::lock", 11, false, 1);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(list.SetDirtyInPlace({"/mnt/b"}, marked), 11));
  ASSERT_EQ(::unlink(ListFile(state).c_str()), 0);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(list.SetDirtyInPlace({"/mnt/b"}, marked), 2));
  EXPECT_EQ(marked.count("/mnt/b"), 0u);
}

// Whether the pipe has something to read within the time; bounds each wait.
bool Readable(int fd, int milliseconds) {
  pollfd wait{fd, POLLIN, 0};
  return ::poll(&wait, 1, milliseconds) == 1;
}

TEST(CAttachedVolumeList, AnotherProcessWaitsForTheHolderAndADeadHolderBlocksNobody) {
  ScopedStateDir state;
  {
    CAttachedVolumeList seed(true);
    seed.AddVolumeToAttachedList(VolumeClusterConfig("/mnt/a", 4194304, 320));
  }
  int done[2];
  ASSERT_EQ(::pipe(done), 0);
  pid_t reader;
  {
    CAttachedVolumeList holder(true);
    holder.AddVolumeToAttachedList(VolumeClusterConfig("/mnt/b", 4194304, 64));
    reader = ::fork();
    if (reader == 0) {
      CAttachedVolumeList list(false);
      std::list<VolumeClusterConfig> volumes;
      const bool ok = !list.GetVolumeList(volumes).IsError();
      const char count = static_cast<char>('0' + volumes.size());
      (void)!::write(done[1], ok ? &count : "E", 1);
      ::_exit(0);
    }
    EXPECT_FALSE(Readable(done[0], 300)) << "the reader did not wait for the holder";
  }
  // Released: the reader goes on and sees what the holder wrote.
  ASSERT_TRUE(Readable(done[0], 20000));
  char seen = 0;
  ASSERT_EQ(::read(done[0], &seen, 1), 1);
  EXPECT_EQ(seen, '2');
  ::waitpid(reader, nullptr, 0);

  pid_t holder = ::fork();
  if (holder == 0) {
    CAttachedVolumeList list(true);
    (void)!::write(done[1], "H", 1);
    for (;;) ::pause();
  }
  ASSERT_TRUE(Readable(done[0], 20000));
  ASSERT_EQ(::read(done[0], &seen, 1), 1);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  KzFileLock probe;
  EXPECT_EQ(probe.lock(ListFile(state) + ".lock", KzFileLock::kWrite, 20), 0);
  probe.unlock();
  ::close(done[0]);
  ::close(done[1]);
}

}  // namespace
