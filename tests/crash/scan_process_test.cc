// The scan as a process of its own, with a volume's collect file failing for
// want of space, and a re-run killed or failing at each of its file changes.
// No list may name a collect file that holds another volume's lines, and no
// change the snapshot took for a volume may miss its next backup.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <set>
#include <sstream>

#include "platform/harness/index_harness.h"
#include "platform/harness/job_info_harness.h"
#include "scan/scan_test_fixtures.h"
#include "support/fault_injection.h"
#include "support/run_command.h"

namespace {

using testing_support::FaultPoint;
using testing_support::InjectedFault;
using testing_support::RunCommand;

constexpr unsigned kExtents = 16;  // 4 MiB each, 2-byte bitmaps
const std::vector<std::string> kVolumes = {"/mnt/v1", "/mnt/v2", "/mnt/v3"};

std::string RecordOf(const std::string& volume) {
  return "true|" + volume + "|/dev/sdz9|ext4|rw|4194304|" + std::to_string(kExtents * 8192) + "|4096|2|512|512|512|0|1";
}

// The extents a collect file lists for the volume; "mixed" when a line
// belongs to another volume.
std::set<unsigned long> ListedExtents(const std::string& path, const std::string& volume, bool& mixed) {
  std::ifstream file(path);
  std::set<unsigned long> extents;
  std::string lineVolume, entry;
  unsigned long extent = 0;
  while (CollectFileManager::ReadExtentsFromCollectFile(file, lineVolume, entry, extent) == 1) {
    if (lineVolume != volume) mixed = true;
    extents.insert(extent);
  }
  return extents;
}

class ScanProcess : public scan_test::ScanTest {
 protected:
  ScanProcess() {
    std::vector<std::string> records;
    for (const std::string& volume : kVolumes) {
      records.push_back(RecordOf(volume));
      snapshots_[volume] = SparseSnapshot("snap" + volume.substr(6), kExtents * (4ull << 20));
    }
    WriteRecords(records);
  }

  // The bitmap step of a job: the changes the snapshot took for each volume
  // since its previous job replace that job's bitmap files.
  void SnapshotTook(const std::map<std::string, std::set<unsigned long>>& changes) {
    for (const auto& [volume, extents] : changes) {
      std::vector<unsigned char> bitmap(2, 0);
      for (unsigned long extent : extents) bitmap[extent / 8] |= static_cast<unsigned char>(1u << (extent % 8));
      WriteDriverBitmap(RecordOf(volume), bitmap);
    }
  }

  // The scan of job 101, or with the options given (another job, its last
  // completed job).
  std::string ScanCommand(const std::vector<std::string>& order, const std::string& options = "") {
    std::string command = std::string(CRASH_TOOL) + " scan " + jr_ + options;
    for (const std::string& volume : order) command += " " + volume + "=" + snapshots_[volume];
    return command;
  }

  // Every list line's collect file holds the lines of its volume only; the
  // extents listed per volume.
  std::map<std::string, std::set<unsigned long>> Listed() {
    std::map<std::string, std::set<unsigned long>> listed;
    if (!Exists(CollectFileManager::kListOfCollectFile)) return listed;
    std::istringstream list(Read(CollectFileManager::kListOfCollectFile));
    std::string line;
    while (std::getline(list, line)) {
      const std::string volume = line.substr(0, line.find('|'));
      const std::string path = line.substr(volume.size() + 1, line.rfind('|') - volume.size() - 1);
      bool mixed = false;
      const std::set<unsigned long> extents = ListedExtents(path, volume, mixed);
      EXPECT_FALSE(mixed) << "the list names " << path << " for " << volume << ", it holds another volume's lines";
      listed[volume].insert(extents.begin(), extents.end());
    }
    return listed;
  }

  // Each volume's listed extents hold what it must back up: exactly that,
  // or, for the volumes allowed to go full, every extent.
  void ExpectListed(const std::map<std::string, std::set<unsigned long>>& truth,
                    const std::set<std::string>& mayBeFull = {}) {
    std::map<std::string, std::set<unsigned long>> listed = Listed();
    std::set<unsigned long> whole;
    for (unsigned long extent = 0; extent < kExtents; ++extent) whole.insert(extent);
    for (const auto& [volume, extents] : truth) {
      if (mayBeFull.count(volume) != 0 && listed[volume] == whole) continue;
      EXPECT_EQ(listed[volume], extents) << volume;
    }
  }

  std::map<std::string, std::string> snapshots_;
};

const std::map<std::string, std::set<unsigned long>> kFirstChanges = {
    {"/mnt/v1", {0}}, {"/mnt/v2", {1, 2}}, {"/mnt/v3", {15}}};
const std::map<std::string, std::set<unsigned long>> kNextChanges = {
    {"/mnt/v1", {8}}, {"/mnt/v2", {9}}, {"/mnt/v3", {4}}};

}  // namespace

// Listed whole is not yet backed up: the volume stays whole in every scan,
// re-runs and later jobs alike, until "-lsjid" names a job that listed it
// whole as the last one completed.
TEST_F(ScanProcess, AVolumeWhoseCollectFileRunsOutOfSpaceIsBackedUpWholeUntilAJobThatListedItWholeCompleted) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  // The previous jobs' cumulative bitmaps are the index's business.
  ASSERT_TRUE(blbsim::SetIndexingV2(2, 7, false));
  const auto job = [](int id, int last) { return " -j " + std::to_string(id) + " -lsjid " + std::to_string(last); };
  SnapshotTook(kFirstChanges);
  std::string output;
  const std::string noSpace = "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -o /dev/null -P " + jr_ +
                              "/CollectInc_2.kzf -e trace=write -e inject=write:error=ENOSPC:when=1 ";
  ASSERT_EQ(RunCommand(noSpace + ScanCommand(kVolumes, job(101, 100)) + " 2>&1", &output), 0) << output;
  // The two others listed and whole.
  EXPECT_EQ(Read(CollectFileManager::kListOfCollectFile),
            "/mnt/v1|" + jr_ + "/CollectInc_1.kzf|1\n/mnt/v3|" + jr_ + "/CollectInc_3.kzf|3\n");
  EXPECT_EQ(Listed(), (std::map<std::string, std::set<unsigned long>>{{"/mnt/v1", {0}}, {"/mnt/v3", {15}}}));

  // The next job lists the others' new changes, and all of /mnt/v2: the
  // changes of the failed job are in no other bitmap. So does its scan run
  // again, a scan without "-lsjid", and the job after it, which did not
  // complete.
  std::set<unsigned long> whole;
  for (unsigned long extent = 0; extent < kExtents; ++extent) whole.insert(extent);
  const std::map<std::string, std::set<unsigned long>> v2Whole = {
      {"/mnt/v1", {8}}, {"/mnt/v2", whole}, {"/mnt/v3", {4}}};
  for (const std::string& scan : {job(102, 100), job(102, 100), std::string(" -j 102"), job(103, 100)}) {
    SnapshotTook(kNextChanges);
    ASSERT_EQ(RunCommand(ScanCommand(kVolumes, scan) + " 2>&1", &output), 0) << output;
    EXPECT_EQ(Listed(), v2Whole) << scan;
  }

  // Job 103 completed: /mnt/v2 is an incremental again.
  SnapshotTook(kFirstChanges);
  ASSERT_EQ(RunCommand(ScanCommand(kVolumes, job(104, 103)) + " 2>&1", &output), 0) << output;
  EXPECT_EQ(Listed(), kFirstChanges);
  ASSERT_EQ(RunCommand(ScanCommand(kVolumes, job(105, 104)) + " 2>&1", &output), 0) << output;
  EXPECT_EQ(Listed(), kFirstChanges);
}

// A job run on another job's snapshot ("-snapJID") is still named by its
// own id in the mark: "-lsjid" names the jobs that completed.
TEST_F(ScanProcess, AMarkNamesTheJobsThatListedTheVolumeWholeByTheirOwnIdsNotByTheirSnapshotJobs) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  ASSERT_TRUE(blbsim::SetIndexingV2(2, 7, false));
  std::string output;
  const std::string noSpace = "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -o /dev/null -P " + jr_ +
                              "/CollectInc_2.kzf -e trace=write -e inject=write:error=ENOSPC:when=1 ";
  std::set<unsigned long> whole;
  for (unsigned long extent = 0; extent < kExtents; ++extent) whole.insert(extent);
  const std::map<std::string, std::set<unsigned long>> v2Whole = {
      {"/mnt/v1", {8}}, {"/mnt/v2", whole}, {"/mnt/v3", {4}}};
  const auto scan = [&](const std::string& options, const std::map<std::string, std::set<unsigned long>>& took,
                        const std::string& prefix = "") {
    SnapshotTook(took);
    ASSERT_EQ(RunCommand(prefix + ScanCommand(kVolumes, options) + " 2>&1", &output), 0) << output;
  };

  // Job 300, on the snapshot of job 250, lists /mnt/v2 whole and fails. Job
  // 250 completed, but never listed the volume: the job after it must.
  scan(" -j 299 -lsjid 298", kFirstChanges, noSpace);
  ASSERT_EQ(Listed().count("/mnt/v2"), 0u) << output;
  for (const char* options : {" -j 300 -snapJID 250 -lsjid 298", " -j 301 -lsjid 250"}) {
    scan(options, kNextChanges);
    EXPECT_EQ(Listed(), v2Whole) << options;
  }
  // Once job 300 completed, the job after it lists the changes only.
  scan(" -j 302 -lsjid 300", kFirstChanges);
  EXPECT_EQ(Listed(), kFirstChanges);

  scan(" -j 303 -lsjid 302", kFirstChanges, noSpace);
  ASSERT_EQ(Listed().count("/mnt/v2"), 0u) << output;
  scan(" -j 304 -snapJID 250 -lsjid 302", kNextChanges);
  EXPECT_EQ(Listed(), v2Whole);
  scan(" -j 305 -lsjid 304", kFirstChanges);
  EXPECT_EQ(Listed(), kFirstChanges);
}

// Whatever stands at the mark's path and is no mark keeps the volume whole,
// but only until a job that listed it whole has completed: the scan puts a
// mark in its place.
TEST_F(ScanProcess, AMarkTheReaderRefusesIsReplacedByTheScanThatListsTheVolumeWhole) {
  ASSERT_TRUE(blbsim::SetIndexingV2(2, 7, false));
  std::string component;
  VolumeBitMapHelper::GetCumulativeBmpVolumeName("/mnt/v2", "/dev/sdz9", "ext4", component);
  const std::string mark = jr_ + "/" + component + ".FullAfterCollectFailure";
  const std::map<std::string, std::string> refused = {
      {"an empty file", "touch " + mark},
      {"a folder", "mkdir " + mark},
      {"a folder holding a file", "mkdir " + mark + " && touch " + mark + "/x"},
      {"a line over 4 KiB", "head -c 4097 /dev/zero | tr '\\0' 'v' > " + mark},
      {"34 lines", "printf '/mnt/v2\\n' > " + mark + " && seq 1 33 >> " + mark},
  };
  std::set<unsigned long> whole;
  for (unsigned long extent = 0; extent < kExtents; ++extent) whole.insert(extent);
  int job = 400;
  for (const auto& [kind, make] : refused) {
    ASSERT_EQ(RunCommand("rm -rf " + mark + " && " + make), 0) << kind;
    SnapshotTook(kNextChanges);
    std::string output;
    ASSERT_EQ(RunCommand(ScanCommand(kVolumes, " -j " + std::to_string(++job) + " -lsjid 300") + " 2>&1", &output), 0)
        << output;
    EXPECT_EQ(Listed(),
              (std::map<std::string, std::set<unsigned long>>{{"/mnt/v1", {8}}, {"/mnt/v2", whole}, {"/mnt/v3", {4}}}))
        << kind;
    SnapshotTook(kFirstChanges);
    const std::string completed = std::to_string(job);
    ASSERT_EQ(
        RunCommand(ScanCommand(kVolumes, " -j " + std::to_string(++job) + " -lsjid " + completed) + " 2>&1", &output),
        0)
        << output;
    EXPECT_EQ(Listed(), kFirstChanges) << kind;
    EXPECT_FALSE(testing_support::FileExists(mark)) << kind;
  }
}

// A mark of 512 MiB on one line is refused after its first 8 KiB: the scan
// stays small.
TEST_F(ScanProcess, AHugeMarkIsNotReadIntoMemory) {
  ASSERT_TRUE(blbsim::SetIndexingV2(2, 7, false));
  std::string component;
  VolumeBitMapHelper::GetCumulativeBmpVolumeName("/mnt/v2", "/dev/sdz9", "ext4", component);
  const std::string mark = jr_ + "/" + component + ".FullAfterCollectFailure";
  ASSERT_EQ(RunCommand("printf '/mnt/v2' > " + mark + " && truncate -s 512M " + mark), 0);
  SnapshotTook(kFirstChanges);
  long peakKiB = 0;
  ASSERT_EQ(testing_support::RunCommandMeasuringPeakMemory(ScanCommand(kVolumes, " -j 501 -lsjid 500"), peakKiB), 0);
  EXPECT_LT(peakKiB, 64 * 1024);
  std::set<unsigned long> whole;
  for (unsigned long extent = 0; extent < kExtents; ++extent) whole.insert(extent);
  EXPECT_EQ(Listed()["/mnt/v2"], whole);
  // A mark of the scan's own stands in its place.
  struct stat written {};
  ASSERT_EQ(::stat(mark.c_str(), &written), 0);
  ASSERT_LT(written.st_size, 4096);
  EXPECT_EQ(testing_support::ReadFile(mark), "/mnt/v2\n501\n");
}

TEST_F(ScanProcess, AReRunKilledOrFailingAnywhereNeverListsAnotherVolumesFile) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  // The re-run takes the volumes in another order: each collect file name
  // now belongs to another volume.
  const std::vector<std::string> reordered = {"/mnt/v3", "/mnt/v1", "/mnt/v2"};
  testing_support::ForEveryFaultPoint(
      testing_support::FileChangingCalls(), {InjectedFault::kKill, InjectedFault::kNoSpace, InjectedFault::kIo}, 40,
      [&] {
        std::vector<std::string> files;
        scan_test::ListTree(jr_, "", files);
        for (const std::string& file : files)
          if (file.find("Collect") != std::string::npos || file.find(".kzf") == std::string::npos)
            std::remove((jr_ + file).c_str());
        std::remove((jr_ + "/SrcSnapFile.kzf").c_str());
        SnapshotTook(kFirstChanges);
        std::string output;
        ASSERT_EQ(RunCommand(ScanCommand(kVolumes) + " 2>&1", &output), 0) << output;
      },
      ScanCommand(reordered),
      [&](const FaultPoint&, int status, const std::string& output) {
        std::set<std::string> failed;
        for (const std::string& volume : kVolumes)
          if (output.find("Failed to generate collect file for volume [" + volume + "]") != std::string::npos)
            failed.insert(volume);
        Listed();  // whatever the lists on disk say is true
        // The job runs the scan again (after a failure) or the next job
        // runs: its changes since its last good scan are listed, all of a
        // volume whose collect file failed.
        std::set<std::string> mayBeFull(kVolumes.begin(), kVolumes.end());
        if (status == 0) {
          SnapshotTook(kNextChanges);
          std::string next;
          ASSERT_EQ(RunCommand(ScanCommand(kVolumes) + " 2>&1", &next), 0) << next;
          ExpectListed(kNextChanges, mayBeFull);
        } else {
          std::string again;
          ASSERT_EQ(RunCommand(ScanCommand(kVolumes) + " 2>&1", &again), 0) << again;
          ExpectListed(kFirstChanges, mayBeFull);
        }
      });
}

// The cumulative bitmaps that the backup stores and a pseudo-snap carries
// forward: a scan killed anywhere leaves each one whole, and the scan syncs
// them with their folder, the previous job's it downloads too.
TEST_F(ScanProcess, ItsCumulativeBitmapsAreReplacedWholeAndSyncedWithTheirFolder) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  SnapshotTook(kFirstChanges);
  std::string output;
  ASSERT_EQ(RunCommand(ScanCommand(kVolumes) + " 2>&1", &output), 0) << output;
  std::map<std::string, std::string> written;
  for (const std::string& volume : kVolumes) {
    written[volume] = testing_support::ReadFile(CumulativeBitmapOf(volume));
    ASSERT_EQ(written[volume].size(), 2u) << volume;
  }
  testing_support::ForEveryFaultPoint(
      testing_support::FileChangingCalls(), {InjectedFault::kKill}, 40, [&] { SnapshotTook(kNextChanges); },
      ScanCommand(kVolumes),
      [&](const FaultPoint&, int, const std::string&) {
        for (const std::string& volume : kVolumes)
          EXPECT_EQ(testing_support::ReadFile(CumulativeBitmapOf(volume)), written[volume]) << volume;
      });

  // The scan after job 55, whose container holds the bitmaps of this scan.
  PreviousJobOnMa1();
  std::string why;
  ASSERT_TRUE(blbsim::StoreCumulativeBitmaps(55, jr_, &why)) << why;
  const std::string folder = jr_ + "/BlockLevelCumulativeBM";
  const std::vector<std::string> calls =
      testing_support::TraceCalls(ScanCommand(kVolumes, " -lsjid 55"), "rename,unlink,fsync");
  EXPECT_TRUE(testing_support::FolderSyncedAfterLast(calls, "\", \"" + folder + "/", folder));
  EXPECT_TRUE(testing_support::FolderSyncedAfterLast(calls, folder + "_55/", folder + "_55"));
}
