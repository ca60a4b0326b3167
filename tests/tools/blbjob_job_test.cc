// Whole jobs of the job command on a mounted ext4 file system of a loop
// device, checked from outside: the test reads the snapshots itself, hashes
// extents with its own MD5, decodes the collect files' extent names itself
// and takes each snapshot's allocation from dumpe2fs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/hashing/extent_name_converter.h"
#include "support/blbsim_command.h"
#include "support/extent_hash.h"
#include "support/fault_injection.h"
#include "support/loop_device.h"
#include "support/run_command.h"
#include "support/run_job_script.h"
#include "support/scoped_mount.h"
#include "support/test_platform.h"

namespace {

using testing_support::CommandOutput;
using testing_support::ReadFile;
using testing_support::RunBlbsim;
using testing_support::RunCommand;
using testing_support::SettledCommandOutput;

constexpr uint64_t kExtentSize = 4 << 20;
constexpr uint64_t kDeviceSize = 256 << 20;
constexpr uint64_t kExtents = kDeviceSize / kExtentSize;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string JobArgs(int job, int level, int previous = 0) {
  return " -- -a 2:7 -j " + std::to_string(job) + " -t " + std::to_string(level) + " -d stow1 -jt TOK" +
         (previous != 0 ? " -lsjid " + std::to_string(previous) : "");
}

int RunBlbjob(const std::string& arguments, std::string* output = nullptr) {
  return RunCommand(std::string(BLBJOB_PATH) + " " + arguments + " 2>&1", output);
}

// `blbjob scan` of the job whose second collect file runs out of space at
// its first write.
int ScanWithSecondCollectFileOutOfSpace(const std::string& jobResults, const std::string& jobArgs,
                                        std::string* output) {
  return RunCommand("ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -o /dev/null -P " + jobResults +
                        "/CollectInc_2.kzf -e trace=write -e inject=write:error=ENOSPC:when=1 " + BLBJOB_PATH +
                        " scan" + jobArgs + " 2>&1",
                    output);
}

// The tree the command was built from, which its messages must not name.
std::string SourceTree() {
  const std::string script = RUN_JOB_SCRIPT;
  return script.substr(0, script.rfind("/scripts/"));
}

// What a person reads: no line over 400 characters, no file of the tree
// the command was built from, no C++ signature (whose parameter lists name
// the library's types).
void ExpectReadableLines(const std::string& output) {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LE(line.size(), 400u) << line;
    EXPECT_FALSE(Contains(line, SourceTree())) << line;
    EXPECT_FALSE(Contains(line, "const std::")) << line;
  }
}

// A value of a summary line: "<line> ... key=value ...".
std::string SummaryValue(const std::string& output, const std::string& line, const std::string& key) {
  std::istringstream lines(output);
  std::string text;
  while (std::getline(lines, text)) {
    if (text.rfind(line + " ", 0) != 0 && text.rfind(line + "=", 0) != 0) continue;
    const size_t at =
        text.find(" " + key + "=") != std::string::npos ? text.find(" " + key + "=") + 1 : text.find(key + "=");
    if (at == std::string::npos) return "";
    const size_t start = at + key.size() + 1;
    return text.substr(start, text.find(' ', start) - start);
  }
  return "";
}
uint64_t SummaryNumber(const std::string& output, const std::string& line, const std::string& key) {
  return std::strtoull(SummaryValue(output, line, key).c_str(), nullptr, 10);
}

using testing_support::Md5Hex;

// Extent i of a device, zero-padded past the device's end.
std::string ReadExtent(const std::string& device, uint64_t extent) {
  return testing_support::ReadExtent(device, extent, kExtentSize);
}

std::vector<std::string> ExtentHashes(const std::string& device) {
  std::vector<std::string> hashes;
  for (uint64_t i = 0; i < kExtents; ++i) hashes.push_back(Md5Hex(ReadExtent(device, i)));
  return hashes;
}

// The extents of the snapshot that hold a block the file system uses.
std::set<uint64_t> ExtentsInUse(const std::string& snapshot, uint64_t deviceSize = kDeviceSize) {
  return testing_support::ExtentsInUse(snapshot, kExtentSize, deviceSize);
}

// An extent name of a collect line: base-32 digits "0-9A-V", most
// significant first.
uint64_t DecodeExtentName(const std::string& name) {
  uint64_t value = 0;
  for (char digit : name) {
    const int v = digit >= '0' && digit <= '9' ? digit - '0' : digit >= 'A' && digit <= 'V' ? digit - 'A' + 10 : -1;
    EXPECT_GE(v, 0) << name;
    value = value * 32 + static_cast<uint64_t>(v < 0 ? 0 : v);
  }
  return value;
}

struct CollectListing {
  std::vector<std::string> files;  // names, without folder
  std::multiset<uint64_t> extents;
};

// The scan's listing, of every volume or of the one named.
CollectListing ReadCollectListing(const std::string& jobResults, const std::string& volume = "") {
  CollectListing listing;
  std::istringstream list(ReadFile(jobResults + "/ListOfCollect.txt"));
  std::string line;
  while (std::getline(list, line)) {
    const size_t first = line.find('|'), last = line.rfind('|');
    EXPECT_NE(first, last) << line;
    if (!volume.empty() && line.substr(0, first) != volume) continue;
    const std::string path = line.substr(first + 1, last - first - 1);
    listing.files.push_back(path.substr(path.rfind('/') + 1));
    std::istringstream collect(ReadFile(path));
    std::string entry;
    while (std::getline(collect, entry)) listing.extents.insert(DecodeExtentName(entry.substr(entry.rfind('/') + 1)));
  }
  return listing;
}

// The job's hash file: extent number to hash, with the test failing on a
// line that is not "<volume>|<name>|<md5>" or not in order.
std::map<uint64_t, std::string> ReadHashFile(const std::string& path, const std::string& volume, size_t* lines) {
  std::map<uint64_t, std::string> hashes;
  std::istringstream file(ReadFile(path));
  std::string line;
  *lines = 0;
  uint64_t previous = 0;
  while (std::getline(file, line)) {
    ++*lines;
    const size_t first = line.find('|'), last = line.rfind('|');
    EXPECT_EQ(line.substr(0, first), volume);
    const uint64_t extent = DecodeExtentName(line.substr(first + 1, last - first - 1));
    EXPECT_TRUE(*lines == 1 || extent > previous) << line;
    previous = extent;
    hashes[extent] = line.substr(last + 1);
  }
  return hashes;
}

// One 256 MiB ext4 file system (4 KiB blocks, no lazy initialisation)
// holding a 40 MiB random file "a", mounted for the whole suite, with a
// state directory of its own. Each job's snapshots are released when the
// suite ends.
struct SharedFileSystem {
  testing_support::ScopedStateDir state;
  testing_support::ScopedLoopDevice loop{kDeviceSize};
  std::unique_ptr<testing_support::ScopedMount> mount;
  std::vector<int> jobs;

  SharedFileSystem() {
    if (!loop.Ok()) return;
    if (RunCommand("mkfs.ext4 -q -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 " + loop.Device()) != 0) {
      ADD_FAILURE() << "mkfs.ext4 failed";
      return;
    }
    mount = std::make_unique<testing_support::ScopedMount>(loop.Device(), "ext4");
    if (!mount->Ok()) return;
    EXPECT_EQ(Write("a", 0, 40, false), 0);
    EXPECT_EQ(RunBlbsim(state.Path(), "subclient 2 7 2"), 0);
  }
  ~SharedFileSystem() {
    for (int job : jobs) RunBlbjob("release" + JobArgs(job, 1));
  }
  bool Ok() const { return mount && mount->Ok(); }
  std::string SkipReason() const {
    return !loop.Ok() ? loop.SkipReason() : mount ? mount->SkipReason() : "no ext4 file system";
  }
  std::string Path() const { return mount->Path(); }
  std::string JobResults() const { return state.Sub("jobresults/2/7"); }
  // MiB of random bytes into a file at a MiB offset, synced.
  int Write(const std::string& name, int atMiB, int countMiB, bool append) const {
    return RunCommand("dd if=/dev/urandom of=" + Path() + "/" + name + " bs=1M count=" + std::to_string(countMiB) +
                      (append ? " oflag=append conv=notrunc" : " seek=" + std::to_string(atMiB) + " conv=notrunc") +
                      " status=none && sync");
  }
  // The job's snapshot of the volume, or of its first volume.
  std::string Snapshot(int job, const std::string& volume = "") const {
    std::string shown;
    RunBlbsim(state.Path(), "job show " + std::to_string(job), &shown);
    const size_t line = volume.empty() ? 0 : shown.find("volume=" + volume + " ");
    const size_t at = line == std::string::npos ? line : shown.find("snapshot=", line);
    return at == std::string::npos ? "" : shown.substr(at + 9, shown.find_first_of(" \n", at) - at - 9);
  }
  // Runs a whole job that keeps its snapshot.
  int Run(const std::string& options, int job, int level, int previous, std::string& output) {
    jobs.push_back(job);
    return RunBlbjob("run --keep-snapshot --volume " + Path() + " " + options + JobArgs(job, level, previous), &output);
  }
  // Whether a write to the file system completes within 5 s.
  bool Writable() const { return RunCommand("timeout 5 touch " + Path() + "/writable && sync -f " + Path()) == 0; }
};

class JobCommand : public testing::Test {
 protected:
  static void SetUpTestSuite() { fs_ = new SharedFileSystem(); }
  static void TearDownTestSuite() {
    delete fs_;
    fs_ = nullptr;
  }
  void SetUp() override {
    if (!fs_->Ok()) GTEST_SKIP() << fs_->SkipReason();
  }

  // What every backup must give: one line per listed extent, each the MD5
  // of the extent read from the job's snapshot; the summary's counts agree.
  static void ExpectHashesOfListedExtents(int job, const std::string& output, const CollectListing& listing) {
    size_t lines = 0;
    const std::map<uint64_t, std::string> hashes =
        ReadHashFile(fs_->state.Sub("reports/" + std::to_string(job) + "/hashes.txt"), fs_->Path(), &lines);
    EXPECT_EQ(lines, listing.extents.size());
    EXPECT_EQ(std::set<uint64_t>(listing.extents.begin(), listing.extents.end()).size(), listing.extents.size());
    const std::string snapshot = fs_->Snapshot(job);
    for (uint64_t extent : listing.extents) {
      auto hash = hashes.find(extent);
      ASSERT_NE(hash, hashes.end()) << "extent " << extent;
      EXPECT_EQ(hash->second, Md5Hex(ReadExtent(snapshot, extent))) << "extent " << extent;
    }
    EXPECT_EQ(SummaryNumber(output, "scan", "extents_listed"), lines) << output;
    EXPECT_EQ(SummaryNumber(output, "backup", "extents_read"), lines) << output;
    EXPECT_EQ(SummaryNumber(output, "backup", "bytes"), kExtentSize * lines) << output;
  }

  // Runs the command, its stdout into `output` and its stderr into `errors`.
  static int RunBlbjobApart(const std::string& arguments, std::string& output, std::string& errors) {
    const std::string errorFile = fs_->state.Sub("blbjob-stderr");
    const int status = RunCommand(std::string(BLBJOB_PATH) + " " + arguments + " 2>" + errorFile, &output);
    errors = ReadFile(errorFile);
    return status;
  }

  static SharedFileSystem* fs_;
};

SharedFileSystem* JobCommand::fs_ = nullptr;

}  // namespace

TEST_F(JobCommand, AFullAndTwoIncrementalsListEveryChangedExtentInUseAndHashWhatTheSnapshotsHold) {
  std::string out;
  // The full job: every extent in use, each once, split over the streams.
  ASSERT_EQ(fs_->Run("--streams 4 --multiple-readers --starvation 1", 3001, 1, 0, out), 0) << out;
  EXPECT_EQ(SummaryValue(out, "job", "level"), "full") << out;
  const std::string fullSnapshot = fs_->Snapshot(3001);
  CollectListing full = ReadCollectListing(fs_->JobResults());
  ASSERT_FALSE(full.extents.empty());
  EXPECT_GE(full.files.size(), 4u);
  for (const std::string& file : full.files) EXPECT_EQ(file.rfind("CollectTot_", 0), 0u) << file;
  const std::set<uint64_t> fullInUse = ExtentsInUse(fullSnapshot);
  EXPECT_EQ(std::set<uint64_t>(full.extents.begin(), full.extents.end()), fullInUse);
  ExpectHashesOfListedExtents(3001, out, full);
  // The job-results directory follows the backup into the job's stream.
  EXPECT_GT(SummaryNumber(out, "jobresults", "items"), 0u) << out;
  std::string jobResultsList;
  ASSERT_EQ(
      RunCommand(std::string(BLBSIM_PATH) + " archive extract 3001 /KzBLBTCTroubleShootFakePath_95AD_4538_A437_5F81" +
                     fs_->JobResults() + "/ListOfCollect.txt",
                 &jobResultsList),
      0);
  EXPECT_EQ(jobResultsList, testing_support::ReadFile(fs_->JobResults() + "/ListOfCollect.txt"));

  // Real writes after the whole device was read (its pages cached): an
  // overwrite in place, an append, a new file.
  ASSERT_EQ(RunCommand("dd if=" + fs_->loop.Device() + " of=/dev/null bs=4M status=none"), 0);
  ASSERT_EQ(fs_->Write("a", 5, 1, false), 0);
  ASSERT_EQ(fs_->Write("a", 0, 6, true), 0);
  ASSERT_EQ(fs_->Write("b", 0, 3, false), 0);
  // At the most detailed log level, the log tells every conversion to a full.
  const std::string log = fs_->state.Sub("logs/blocklevel.log");
  ASSERT_EQ(RunCommand("truncate -s 0 " + log), 0);
  fs_->jobs.push_back(3002);
  ASSERT_EQ(RunCommand("BLB_LOG_LEVEL=7 " + std::string(BLBJOB_PATH) + " run --keep-snapshot --volume " + fs_->Path() +
                           " --streams 4 --multiple-readers" + JobArgs(3002, 2, 3001) + " 2>&1",
                       &out),
            0)
      << out;
  // Indexing V2 is on: the scan took the full job's cumulative bitmaps from
  // what the command recorded after that job's backup.
  EXPECT_TRUE(Contains(CommandOutput("ls " + fs_->JobResults() + "/BlockLevelCumulativeBM_3001"), "_CumulativeV2.bmp"));
  const std::string logged = ReadFile(log);
  EXPECT_FALSE(Contains(logged, "converting to FULL"));
  EXPECT_FALSE(Contains(logged, "backed up in its entirety"));
  EXPECT_EQ(SummaryValue(out, "job", "level"), "incremental") << out;
  const std::string incrSnapshot = fs_->Snapshot(3002);
  CollectListing incr = ReadCollectListing(fs_->JobResults());
  for (const std::string& file : incr.files) EXPECT_EQ(file.rfind("CollectInc_", 0), 0u) << file;
  const std::set<uint64_t> listed(incr.extents.begin(), incr.extents.end());
  const std::set<uint64_t> inUse = ExtentsInUse(incrSnapshot);
  const std::vector<std::string> before = ExtentHashes(fullSnapshot), after = ExtentHashes(incrSnapshot);
  for (uint64_t i = 0; i < kExtents; ++i) {
    if (before[i] != after[i] && inUse.count(i)) {
      EXPECT_TRUE(listed.count(i)) << "changed extent " << i;
    }
    if (listed.count(i)) {
      EXPECT_TRUE(inUse.count(i)) << "listed extent not in use " << i;
    }
  }
  EXPECT_LT(listed.size(), inUse.size());
  ExpectHashesOfListedExtents(3002, out, incr);
  // "b" as the incremental's snapshot holds it, at the blocks filefrag gives.
  const std::string extents = CommandOutput("filefrag -v " + fs_->Path() + "/b");
  std::string b;
  {
    std::istringstream lines(extents);
    std::string line;
    const int fd = ::open(incrSnapshot.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    while (std::getline(lines, line)) {
      unsigned long index = 0, logicalEnd = 0, physical = 0, physicalEnd = 0, length = 0;
      if (std::sscanf(line.c_str(), " %lu: %*u.. %lu: %lu.. %lu: %lu:", &index, &logicalEnd, &physical, &physicalEnd,
                      &length) != 5)
        continue;
      std::string part(length * 4096, '\0');
      ASSERT_EQ(::pread(fd, &part[0], part.size(), static_cast<off_t>(physical) * 4096),
                static_cast<ssize_t>(part.size()));
      b += part;
    }
    ::close(fd);
  }
  EXPECT_TRUE(b == ReadFile(fs_->Path() + "/b")) << extents;

  // A third job without the data-only mask, after a deletion and a new file.
  ASSERT_EQ(RunCommand("rm " + fs_->Path() + "/b && sync"), 0);
  ASSERT_EQ(fs_->Write("c", 0, 2, false), 0);
  ASSERT_EQ(RunBlbsim(fs_->state.Path(), "reg set FileSystemAgent sDisableDataOnlyBlock true"), 0);
  ASSERT_EQ(fs_->Run("", 3003, 2, 3002, out), 0) << out;
  ASSERT_EQ(RunBlbsim(fs_->state.Path(), "reg set FileSystemAgent sDisableDataOnlyBlock false"), 0);
  EXPECT_EQ(SummaryValue(out, "job", "level"), "incremental") << out;
  const CollectListing third = ReadCollectListing(fs_->JobResults());
  const std::set<uint64_t> thirdListed(third.extents.begin(), third.extents.end());
  const std::vector<std::string> last = ExtentHashes(fs_->Snapshot(3003));
  for (uint64_t i = 0; i < kExtents; ++i) {
    if (after[i] != last[i]) {
      EXPECT_TRUE(thirdListed.count(i)) << "changed extent " << i;
    }
  }
  ExpectHashesOfListedExtents(3003, out, third);
}

// The pre-snap task's checks keep a device's tracking only for a subclient the
// content list finds backing the device up: the job command configures its
// block-level subclient so, and incrementals run with the checks stay
// incremental. A state of its own: the checks remove the snapshots kept
// before them.
TEST(JobCommandChecks, IncrementalsRunWithTheChecksStayIncrementalAndListTheChangedExtentsOnly) {
  SharedFileSystem fs;
  if (!fs.Ok()) GTEST_SKIP() << fs.SkipReason();
  std::string out;
  // Block-level, as the agent's subclient of block-level jobs is.
  ASSERT_EQ(RunBlbsim(fs.state.Path(), "subclient 2 7 2 0 0 1", &out), 0) << out;
  ASSERT_EQ(fs.Run("--checks", 3051, 1, 0, out), 0) << out;
  EXPECT_EQ(SummaryValue(out, "job", "level"), "full") << out;
  std::vector<std::string> before = ExtentHashes(fs.Snapshot(3051));
  int previous = 3051;
  for (int job : {3052, 3053}) {
    SCOPED_TRACE(job);
    ASSERT_EQ(fs.Write("a", 10 * (job - 3050), 1, false), 0);
    ASSERT_EQ(fs.Run("--checks", job, 2, previous, out), 0) << out;
    EXPECT_EQ(SummaryValue(out, "job", "level"), "incremental") << out;
    EXPECT_TRUE(Contains(out, " forced_full=0\n")) << out;
    const std::string snapshot = fs.Snapshot(job);
    const CollectListing listing = ReadCollectListing(fs.JobResults());
    for (const std::string& file : listing.files) EXPECT_EQ(file.rfind("CollectInc_", 0), 0u) << file;
    const std::set<uint64_t> listed(listing.extents.begin(), listing.extents.end());
    const std::set<uint64_t> inUse = ExtentsInUse(snapshot);
    const std::vector<std::string> after = ExtentHashes(snapshot);
    for (uint64_t i = 0; i < kExtents; ++i) {
      if (before[i] != after[i] && inUse.count(i)) {
        EXPECT_TRUE(listed.count(i)) << "changed extent " << i;
      }
      if (listed.count(i)) {
        EXPECT_TRUE(inUse.count(i)) << "listed extent not in use " << i;
      }
    }
    EXPECT_LT(listed.size(), inUse.size());
    before = after;
    previous = job;
  }
}

TEST_F(JobCommand, ScanAndBackupReRunOnOneSnapshotGiveOneHashFileWhateverTheStreamsModesAndReadAhead) {
  std::string out;
  fs_->jobs.push_back(3101);
  ASSERT_EQ(RunBlbjob("snapshot --volume " + fs_->Path() + JobArgs(3101, 1), &out), 0) << out;
  // Before its scan, the lists in the directory are not the job's.
  EXPECT_EQ(RunBlbjob("backup" + JobArgs(3101, 1), &out), 1) << out;
  EXPECT_TRUE(Contains(out, "are not job [3101]'s: run its scan first")) << out;
  const std::string hashFile = fs_->state.Sub("reports/3101/hashes.txt");
  std::string first;
  for (const std::string scan : {"--streams 1", "--streams 4 --multiple-readers"}) {
    for (const std::string backup :
         {"--streams 1", "--streams 4", "--mode 0", "--mode 1", "--mode 2", "--readahead 8 --streams 4"}) {
      ASSERT_EQ(RunBlbjob("scan " + scan + JobArgs(3101, 1), &out), 0) << out;
      ASSERT_EQ(RunBlbjob("backup " + backup + JobArgs(3101, 1), &out), 0) << out;
      const std::string hashes = ReadFile(hashFile);
      if (first.empty()) first = hashes;
      EXPECT_TRUE(hashes == first) << "scan " << scan << ", backup " << backup;
    }
  }
  EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), ReadCollectListing(fs_->JobResults()).extents.size());
}

TEST_F(JobCommand, AFailedPhaseIsNamedWithTheLibrarysErrorAndLeavesNoSnapshotOrFrozenFileSystem) {
  std::string out;
  fs_->jobs.push_back(3201);
  ASSERT_EQ(RunBlbjob("run --volume " + fs_->Path() + JobArgs(3201, 1), &out), 0) << out;
  // The loop devices of the simulated driver's snapshots before each job.
  const std::string snapshots = "losetup -a | grep -F " + fs_->state.Sub("drivers/kzbf/snaps") + " | sort";
  // A released snapshot's loop device leaves the list once its last opener
  // has closed it: the list is compared once the released ones are gone.
  const std::string attached = CommandOutput(snapshots + " | grep -v -F '(deleted)' || true");
  const auto settledList = [&snapshots](const std::string& expected) {
    return SettledCommandOutput(snapshots + " || true", expected);
  };
  struct Fault {
    const char* call;
    const char* named;  // the failed phase, as the command names it
    const char* error;
  };
  // An incremental that asks for the archive files of its last job in the
  // scan (changed extents only, so before the job that goes full).
  int job = 3202;
  std::string errors;
  for (const Fault& fault :
       {Fault{"ArMgrClientAPI::getArchFileListForSnapshotJob",
              "blbjob run: scan failed: ", "Failed to retreive arch file list for SnapJob=[3201]"},
        Fault{"KzBfDriver::getBitmap", "blbjob run: pre-snap failed: ", "Injected fault in KzBfDriver::getBitmap"},
        Fault{"CHashReadHandler::GetNextExtent",
              "blbjob run: backup failed: ", "Injected fault in CHashReadHandler::GetNextExtent"}}) {
    ASSERT_EQ(fs_->Write("a", 2, 1, false), 0);
    ASSERT_EQ(RunBlbsim(fs_->state.Path(), std::string("fault set ") + fault.call + " 5 error"), 0);
    EXPECT_EQ(RunBlbjobApart("run --volume " + fs_->Path() + JobArgs(job, 2, 3201), out, errors), 1) << out;
    ASSERT_EQ(RunBlbsim(fs_->state.Path(), "fault clear-all"), 0);
    // The failure is one line, on stderr only.
    EXPECT_EQ(errors.rfind(fault.named, 0), 0u) << errors;
    EXPECT_TRUE(Contains(errors, fault.error)) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    EXPECT_FALSE(Contains(out, "failed")) << out;
    ExpectReadableLines(errors);
    EXPECT_TRUE(fs_->Writable());
    EXPECT_EQ(settledList(attached), attached) << fault.call;
    ++job;
  }
  // The bitmap the failed snapshot phase could not read is not trusted: the
  // job after it was scanned as a full backup, whatever its arguments said.
  EXPECT_EQ(SummaryValue(out, "job", "level"), "full") << out;
  EXPECT_GT(SummaryNumber(out, "scan", "collect_files"), 0u) << out;
  for (const std::string& file : ReadCollectListing(fs_->JobResults()).files)
    EXPECT_EQ(file.rfind("CollectTot_", 0), 0u) << file;

  // The error line is the first message and its cause; the whole chain,
  // its files named within the project, goes to the log and with --verbose
  // to stderr as well.
  ASSERT_EQ(RunBlbsim(fs_->state.Path(), "fault set KzBfDriver::getBitmap 28 error"), 0);
  EXPECT_EQ(RunBlbjob("run --volume " + fs_->Path() + JobArgs(3205, 2, 3201), &out), 1) << out;
  EXPECT_TRUE(Contains(out,
                       "blbjob run: pre-snap failed: Injected fault in KzBfDriver::getBitmap: No space left on "
                       "device (code=-28)\n"))
      << out;
  EXPECT_FALSE(Contains(out, " | ")) << out;
  EXPECT_EQ(RunBlbjob("run --verbose --volume " + fs_->Path() + JobArgs(3206, 2, 3201), &out), 1) << out;
  ASSERT_EQ(RunBlbsim(fs_->state.Path(), "fault clear-all"), 0);
  for (const std::string& chain : {out, ReadFile(fs_->state.Sub("logs/blocklevel.log"))}) {
    EXPECT_TRUE(Contains(chain, "blbjob run: pre-snap failed: code=-28 | platform/driver/")) << chain;
    EXPECT_TRUE(Contains(chain, " | src/devconfig/kz_device_config_handler.cc:")) << chain;
    EXPECT_FALSE(Contains(chain, SourceTree())) << chain;
  }
  // A first message that quotes another failure's chain keeps the chain's
  // messages, not its frames; the code the line ends with is not repeated.
  fs_->jobs.push_back(3207);
  ASSERT_EQ(RunBlbjob("snapshot --volume " + fs_->Path() + JobArgs(3207, 1), &out), 0) << out;
  ASSERT_EQ(RunBlbsim(fs_->state.Path(), "fault set FXFile::KZCreateFile 28 error"), 0);
  EXPECT_EQ(RunBlbjob("scan" + JobArgs(3207, 1), &out), 1) << out;
  ASSERT_EQ(RunBlbsim(fs_->state.Path(), "fault clear-all"), 0);
  EXPECT_TRUE(Contains(out, "blbjob scan: scan failed: Failed to open file [" + fs_->JobResults() +
                                "/SrcSnapFile.kzf] to write, error=Injected fault in FXFile::KZCreateFile: No space "
                                "left on device (code=-28)\n"))
      << out;
  ExpectReadableLines(out);
}

// An incremental continues from a job that completed: one whose backup
// failed or that never ran is refused before anything is taken, saying what
// to do. A differential, which the snapshot task refuses, is not told as an
// incremental.
TEST_F(JobCommand, AnIncrementalFromAJobThatDidNotCompleteOrADifferentialIsRefusedInOneLine) {
  std::string out, errors;
  fs_->jobs.insert(fs_->jobs.end(), {3251, 3252, 3254});
  ASSERT_EQ(RunBlbjob("run --volume " + fs_->Path() + JobArgs(3251, 1), &out), 0) << out;
  ASSERT_EQ(RunBlbsim(fs_->state.Path(), "fault set CHashReadHandler::GetNextExtent 5 error"), 0);
  EXPECT_EQ(RunBlbjob("run --volume " + fs_->Path() + JobArgs(3252, 2, 3251), &out), 1) << out;
  ASSERT_EQ(RunBlbsim(fs_->state.Path(), "fault clear-all"), 0);
  const std::string snapshots = "losetup -a | grep -c -F " + fs_->state.Sub("drivers/kzbf/snaps") + " || true";
  const auto refusal = [](int last) {
    return "job " + std::to_string(last) + " (-lsjid) has no completed backup to continue from: run job 3253 as a " +
           "full (-t 1), or give -lsjid the last job that exited 0\n";
  };
  for (int last : {3252, 3299}) {
    EXPECT_EQ(RunBlbjobApart("run --volume " + fs_->Path() + JobArgs(3253, 2, last), out, errors), 1) << out;
    EXPECT_EQ(errors, "blbjob run: " + refusal(last));
    // Refused, it ran no phase to tell of: no job line, no snapshot line.
    EXPECT_EQ(out, "") << last;
    EXPECT_EQ(SettledCommandOutput(snapshots, "0\n"), "0\n") << last;
    EXPECT_NE(RunBlbsim(fs_->state.Path(), "job show 3253"), 0) << last;
  }
  // Its scan alone, after a snapshot without it, refuses it too; a full
  // ignores it.
  ASSERT_EQ(RunBlbjob("snapshot --volume " + fs_->Path() + JobArgs(3253, 2), &out), 0) << out;
  EXPECT_EQ(RunBlbjobApart("scan" + JobArgs(3253, 2, 3252), out, errors), 1) << out;
  EXPECT_EQ(errors, "blbjob scan: " + refusal(3252));
  EXPECT_EQ(RunBlbjob("release" + JobArgs(3253, 2), &out), 0) << out;
  EXPECT_EQ(RunBlbjob("snapshot --volume " + fs_->Path() + JobArgs(3254, 1, 3299), &out), 0) << out;
  EXPECT_EQ(RunBlbjob("release" + JobArgs(3254, 1), &out), 0) << out;

  EXPECT_EQ(RunBlbjobApart("run --volume " + fs_->Path() + JobArgs(3255, 4, 3251), out, errors), 1) << out;
  EXPECT_EQ(errors,
            "blbjob run: pre-snap failed: Invalid BackupType, only FULL and INCR supported.: Invalid argument "
            "(code=-22)\n");
  EXPECT_TRUE(Contains(out, "\njob=3255 level=differential report=")) << out;
}

// The snapshot phase of the first attempt took the changes from the driver;
// the re-run under the same id must still list them.
TEST_F(JobCommand, AJobRunAgainAfterItsBackupFailedListsEveryExtentChangedSinceTheLastGoodJob) {
  std::string out;
  ASSERT_EQ(fs_->Run("", 3401, 1, 0, out), 0) << out;
  const std::vector<std::string> before = ExtentHashes(fs_->Snapshot(3401));
  ASSERT_EQ(fs_->Write("e", 0, 6, false), 0);
  ASSERT_EQ(RunBlbsim(fs_->state.Path(), "fault set CHashReadHandler::GetNextExtent 5 error"), 0);
  EXPECT_EQ(RunBlbjob("run --volume " + fs_->Path() + JobArgs(3402, 2, 3401), &out), 1) << out;
  ASSERT_EQ(RunBlbsim(fs_->state.Path(), "fault clear-all"), 0);
  EXPECT_TRUE(Contains(out, "blbjob run: backup failed: ")) << out;
  ASSERT_EQ(fs_->Write("f", 0, 1, false), 0);

  ASSERT_EQ(fs_->Run("", 3402, 2, 3401, out), 0) << out;
  EXPECT_EQ(SummaryValue(out, "job", "level"), "incremental") << out;
  const std::string snapshot = fs_->Snapshot(3402);
  const std::set<uint64_t> inUse = ExtentsInUse(snapshot);
  const std::vector<std::string> after = ExtentHashes(snapshot);
  const CollectListing listing = ReadCollectListing(fs_->JobResults());
  const std::set<uint64_t> listed(listing.extents.begin(), listing.extents.end());
  size_t changed = 0;
  for (uint64_t i = 0; i < kExtents; ++i) {
    if (before[i] == after[i] || !inUse.count(i)) continue;
    ++changed;
    EXPECT_TRUE(listed.count(i)) << "changed extent " << i;
  }
  EXPECT_GE(changed, 2u);
  ExpectHashesOfListedExtents(3402, out, listing);
}

// A change the driver lost: the true-up finds it by its hash, the plain
// scan of the same snapshot does not.
TEST_F(JobCommand, AnIncrementalWithTrueUpListsTheChangesTheDriverLost) {
  std::string out;
  ASSERT_EQ(fs_->Run("", 3301, 1, 0, out), 0) << out;
  const std::string fullSnapshot = fs_->Snapshot(3301);
  // The full backup's hashes are the volume's extent view.
  std::string view;
  ASSERT_EQ(RunBlbsim(fs_->state.Path(), "index extents show 2 7 " + fs_->Path(), &view), 0);
  const std::vector<std::string> fullHashes = ExtentHashes(fullSnapshot);
  for (uint64_t extent : ExtentsInUse(fullSnapshot))
    EXPECT_TRUE(Contains(view, std::to_string(extent) + " " + fullHashes[extent] + "\n")) << extent;

  ASSERT_EQ(fs_->Write("a", 9, 1, false), 0);
  ASSERT_EQ(RunBlbsim(fs_->state.Path(), "kzbf bitmap " + fs_->loop.Device() + " clear"), 0);
  ASSERT_EQ(fs_->Run("--trueup", 3302, 2, 3301, out), 0) << out;
  EXPECT_EQ(SummaryValue(out, "job", "level"), "incremental") << out;
  const std::string incrSnapshot = fs_->Snapshot(3302);
  const std::set<uint64_t> inUse = ExtentsInUse(incrSnapshot);
  const std::vector<std::string> after = ExtentHashes(incrSnapshot);
  std::set<uint64_t> changed;
  for (uint64_t i = 0; i < kExtents; ++i)
    if (fullHashes[i] != after[i] && inUse.count(i)) changed.insert(i);
  ASSERT_FALSE(changed.empty());
  const CollectListing withTrueUp = ReadCollectListing(fs_->JobResults());
  for (uint64_t extent : changed) EXPECT_TRUE(withTrueUp.extents.count(extent)) << "changed extent " << extent;
  ExpectHashesOfListedExtents(3302, out, withTrueUp);

  ASSERT_EQ(RunBlbjob("scan" + JobArgs(3302, 2, 3301), &out), 0) << out;
  const CollectListing plain = ReadCollectListing(fs_->JobResults());
  size_t missed = 0;
  for (uint64_t extent : changed) missed += plain.extents.count(extent) == 0 ? 1 : 0;
  EXPECT_GT(missed, 0u);
}

TEST_F(JobCommand, TheRunJobScriptVerifiesItsJobsAndLeavesNoDeviceOrMountBehind) {
  const std::string script = std::string("BLBSIM=") + BLBSIM_PATH + " BLBJOB=" + BLBJOB_PATH +
                             " BLB_STATE_DIR=" + fs_->state.Sub("run-job") + " " + RUN_JOB_SCRIPT + " 2>&1";
  std::string out;
  ASSERT_EQ(RunCommand(script, &out), 0) << out;
  const std::string summaries = out.substr(out.find("=== summaries"));
  EXPECT_EQ(std::count(summaries.begin(), summaries.end(), '\n'), 11) << summaries;
  EXPECT_TRUE(Contains(summaries, "job=1001 level=full ")) << summaries;
  EXPECT_TRUE(Contains(summaries, "job=1002 level=incremental ")) << summaries;
  EXPECT_TRUE(Contains(summaries, "verify: extents=64 ")) << summaries;
  EXPECT_EQ(SettledCommandOutput("losetup -a | grep -c -e " + fs_->state.Sub("run-job") + " || true", "0\n"), "0\n");
  EXPECT_EQ(testing_support::RunJobScriptLeftovers(out), "");
  EXPECT_TRUE(fs_->Writable());
}

TEST_F(JobCommand, AVolumeWhoseCollectFilesFailedIsNamedAndTheScanFails) {
  testing_support::ScopedLoopDevice second(64 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(second);
  ASSERT_EQ(RunCommand("mkfs.ext4 -q " + second.Device()), 0);
  std::string out;
  fs_->jobs.push_back(3501);
  ASSERT_EQ(RunBlbjob("snapshot --volume " + fs_->Path() + " " + second.Device() + JobArgs(3501, 1), &out), 0) << out;
  ASSERT_EQ(RunBlbjob("scan" + JobArgs(3501, 1), &out), 0) << out;
  EXPECT_EQ(SummaryNumber(out, "scan", "collect_files"), 2u) << out;
  // A re-run of the job keeps its files: the second volume's collect file
  // cannot be written where a folder now stands.
  const std::string second_collect = fs_->JobResults() + "/CollectTot_2.kzf";
  ASSERT_EQ(RunCommand("rm " + second_collect + " && mkdir " + second_collect), 0);
  EXPECT_EQ(RunBlbjob("scan" + JobArgs(3501, 1), &out), 1) << out;
  EXPECT_TRUE(Contains(out, "blbjob scan: scan failed: ")) << out;
  EXPECT_TRUE(Contains(out, "no collect files for volume(s) [" + second.Device() + "]")) << out;
  EXPECT_EQ(RunBlbjob("release" + JobArgs(3501, 1), &out), 0) << out;
  EXPECT_EQ(RunCommand("rmdir " + second_collect), 0);
}

// The only volume's collect file runs out of space: the scan fails naming
// the full disk, as its log does, not a missing file.
TEST_F(JobCommand, AScanWhoseEveryCollectFileRanOutOfSpaceNamesTheFullDisk) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  std::string out;
  fs_->jobs.push_back(3801);
  ASSERT_EQ(RunBlbjob("snapshot --volume " + fs_->Path() + JobArgs(3801, 1), &out), 0) << out;
  const std::string noSpace = "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -o /dev/null -P " +
                              fs_->JobResults() + "/CollectTot_1.kzf -e trace=write -e inject=write:error=ENOSPC ";
  EXPECT_EQ(RunCommand(noSpace + BLBJOB_PATH + " scan" + JobArgs(3801, 1) + " 2>&1", &out), 1) << out;
  // The code is the one the agent tells this case by; the cause is the
  // volume's.
  EXPECT_TRUE(Contains(out, "blbjob scan: scan failed: Collect file generation failed for all volumes, the first [" +
                                fs_->Path() + "] with error=[code=-28: "))
      << out;
  EXPECT_TRUE(Contains(out, "]: No space left on device (code=-2)\n")) << out;
  EXPECT_EQ(RunBlbjob("release" + JobArgs(3801, 1), &out), 0) << out;
}

// A resized device turns the job into a full backup, but the other volume
// is read only where it changed: its extent view in the index keeps the
// earlier extents and takes the new ones.
TEST_F(JobCommand, AJobTurnedFullByAnotherVolumeKeepsTheIndexViewOfAVolumeReadIncrementally) {
  testing_support::ScopedLoopDevice raw(8 << 20);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(raw);
  const std::string volumes = "--volume " + fs_->Path() + " --volume " + raw.Device();
  std::string out;
  fs_->jobs.insert(fs_->jobs.end(), {3601, 3602});
  ASSERT_EQ(RunBlbjob("run --keep-snapshot " + volumes + JobArgs(3601, 1), &out), 0) << out;
  ASSERT_EQ(RunCommand("truncate -s 12M " + raw.Image() + " && losetup -c " + raw.Device()), 0);
  ASSERT_EQ(fs_->Write("a", 17, 1, false), 0);
  ASSERT_EQ(RunBlbjob("run --keep-snapshot " + volumes + JobArgs(3602, 2, 3601), &out), 0) << out;
  EXPECT_EQ(SummaryValue(out, "job", "level"), "full") << out;

  const std::string snapshot = fs_->Snapshot(3602);
  const std::vector<std::string> hashes = ExtentHashes(snapshot);
  std::string view;
  ASSERT_EQ(RunBlbsim(fs_->state.Path(), "index extents show 2 7 " + fs_->Path(), &view), 0);
  const std::set<uint64_t> inUse = ExtentsInUse(snapshot);
  // Only the file system's changed extents were read.
  const std::string read = ReadFile(fs_->state.Sub("reports/3602/hashes.txt"));
  size_t readExtents = 0;
  for (size_t at = read.find(fs_->Path() + "|"); at != std::string::npos; at = read.find(fs_->Path() + "|", at + 1))
    ++readExtents;
  EXPECT_GT(readExtents, 0u);
  EXPECT_LT(readExtents, inUse.size());
  for (uint64_t extent : inUse)
    EXPECT_TRUE(Contains(view, std::to_string(extent) + " " + hashes[extent] + "\n")) << extent << "\n" << view;
  for (int job : {3601, 3602}) EXPECT_EQ(RunBlbjob("release" + JobArgs(job, 1), &out), 0) << out;
}

// The second volume's collect file runs out of space: its changes, taken
// from the driver, are in no list. Every scan lists it whole - the next
// job's, that job's scan run again, a job after that one failed - until a
// job that listed it whole has completed.
TEST_F(JobCommand, AVolumeWhoseCollectFileRanOutOfSpaceIsListedWholeUntilAJobThatListedItWholeCompleted) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  constexpr uint64_t kSecondSize = 64 << 20;
  testing_support::ScopedLoopDevice second(kSecondSize);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(second);
  ASSERT_EQ(RunCommand("mkfs.ext4 -q -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 " + second.Device()), 0);
  testing_support::ScopedMount mounted(second.Device(), "ext4");
  BLB_SKIP_WITHOUT_MOUNT(mounted);
  const std::string b = mounted.Path();
  const auto write = [&b](const std::string& name, int atMiB, int countMiB = 1) {
    return RunCommand("dd if=/dev/urandom of=" + b + "/" + name + " bs=1M count=" + std::to_string(countMiB) +
                      " seek=" + std::to_string(atMiB) + " conv=notrunc status=none && sync");
  };
  ASSERT_EQ(write("f", 0, 32), 0);
  const std::string volumes = " --volume " + fs_->Path() + " --volume " + b;
  fs_->jobs.insert(fs_->jobs.end(), {3700, 3703, 3704});
  std::string out;
  ASSERT_EQ(RunBlbjob("run --keep-snapshot" + volumes + JobArgs(3700, 1), &out), 0) << out;

  ASSERT_EQ(write("f", 4), 0);
  ASSERT_EQ(RunBlbjob("snapshot" + volumes + JobArgs(3701, 2, 3700), &out), 0) << out;
  EXPECT_EQ(ScanWithSecondCollectFileOutOfSpace(fs_->JobResults(), JobArgs(3701, 2, 3700), &out), 1) << out;
  EXPECT_TRUE(Contains(out, "no collect files for volume(s) [" + b + "]")) << out;
  EXPECT_EQ(RunBlbjob("release" + JobArgs(3701, 2, 3700), &out), 0) << out;

  const auto listedWhole = [&](int job, const std::string& what) {
    const CollectListing listing = ReadCollectListing(fs_->JobResults(), b);
    EXPECT_EQ(std::set<uint64_t>(listing.extents.begin(), listing.extents.end()),
              ExtentsInUse(fs_->Snapshot(job, b), kSecondSize))
        << what;
  };
  // The job that failed is run again under a new id; its scan again after that.
  ASSERT_EQ(write("f", 9), 0);
  ASSERT_EQ(RunBlbjob("snapshot" + volumes + JobArgs(3702, 2, 3700), &out), 0) << out;
  for (const char* attempt : {"job 3702", "job 3702 run again"}) {
    ASSERT_EQ(RunBlbjob("scan" + JobArgs(3702, 2, 3700), &out), 0) << out;
    listedWhole(3702, attempt);
  }
  EXPECT_EQ(RunBlbjob("release" + JobArgs(3702, 2, 3700), &out), 0) << out;
  // A new job after the last one that completed.
  ASSERT_EQ(RunBlbjob("run --keep-snapshot" + volumes + JobArgs(3703, 2, 3700), &out), 0) << out;
  listedWhole(3703, "job 3703");

  // Job 3703 completed: the next lists the volume's changes only.
  ASSERT_EQ(write("f", 20), 0);
  ASSERT_EQ(RunBlbjob("run --keep-snapshot" + volumes + JobArgs(3704, 2, 3703), &out), 0) << out;
  const CollectListing listing = ReadCollectListing(fs_->JobResults(), b);
  const std::set<uint64_t> listed(listing.extents.begin(), listing.extents.end());
  const std::string before = fs_->Snapshot(3703, b), after = fs_->Snapshot(3704, b);
  const std::set<uint64_t> inUse = ExtentsInUse(after, kSecondSize);
  size_t changed = 0;
  for (uint64_t i = 0; i < kSecondSize / kExtentSize; ++i) {
    if (listed.count(i)) {
      EXPECT_TRUE(inUse.count(i)) << "listed extent not in use " << i;
    }
    if (!inUse.count(i) || Md5Hex(ReadExtent(before, i)) == Md5Hex(ReadExtent(after, i))) continue;
    ++changed;
    EXPECT_TRUE(listed.count(i)) << "changed extent " << i;
  }
  EXPECT_GT(changed, 0u);
  EXPECT_LT(listed.size(), inUse.size());
  for (int job : {3700, 3703, 3704}) EXPECT_EQ(RunBlbjob("release" + JobArgs(job, 1), &out), 0) << out;
  EXPECT_EQ(RunBlbsim(fs_->state.Path(), "kzbf detach " + second.Device()), 0);
}

// A job run on another job's snapshot ("-snapJID") that lists the volume
// whole is recorded in the mark by its own id: "-lsjid" names the snapshot
// job without ending the mark, and names that job to end it.
TEST_F(JobCommand, AVolumeListedWholeByAJobOnAnotherJobsSnapshotStaysWholeUntilThatJobCompleted) {
  const std::string unavailable = testing_support::StraceUnavailable();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  constexpr uint64_t kSecondSize = 64 << 20;
  testing_support::ScopedLoopDevice second(kSecondSize);
  BLB_SKIP_WITHOUT_LOOP_DEVICE(second);
  ASSERT_EQ(RunCommand("mkfs.ext4 -q -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 " + second.Device()), 0);
  testing_support::ScopedMount mounted(second.Device(), "ext4");
  BLB_SKIP_WITHOUT_MOUNT(mounted);
  const std::string b = mounted.Path();
  int atMiB = 0;
  const auto write = [&b, &atMiB]() {
    atMiB += 5;
    return RunCommand("dd if=/dev/urandom of=" + b + "/f bs=1M count=1 seek=" + std::to_string(atMiB) +
                      " conv=notrunc status=none && sync");
  };
  ASSERT_EQ(RunCommand("dd if=/dev/urandom of=" + b + "/f bs=1M count=32 status=none && sync"), 0);
  const std::string volumes = " --volume " + fs_->Path() + " --volume " + b;
  const std::string onSnapshotOf3750 = " -snapJID 3750";
  fs_->jobs.insert(fs_->jobs.end(), {3750, 3803, 3805, 3806});
  std::string out;
  ASSERT_EQ(RunBlbjob("run --keep-snapshot" + volumes + JobArgs(3750, 1), &out), 0) << out;

  const auto collectFileRunsOutOfSpace = [&](int job, int last) {
    ASSERT_EQ(write(), 0);
    ASSERT_EQ(RunBlbjob("snapshot" + volumes + JobArgs(job, 2, last), &out), 0) << out;
    EXPECT_EQ(ScanWithSecondCollectFileOutOfSpace(fs_->JobResults(), JobArgs(job, 2, last), &out), 1) << out;
    EXPECT_TRUE(Contains(out, "no collect files for volume(s) [" + b + "]")) << out;
    EXPECT_EQ(RunBlbjob("release" + JobArgs(job, 2, last), &out), 0) << out;
  };
  const auto listedWhole = [&](int job) {
    const CollectListing listing = ReadCollectListing(fs_->JobResults(), b);
    EXPECT_EQ(std::set<uint64_t>(listing.extents.begin(), listing.extents.end()),
              ExtentsInUse(fs_->Snapshot(job, b), kSecondSize))
        << "job " << job;
  };
  const auto listedChangesOnly = [&](int job, int last) {
    const CollectListing listing = ReadCollectListing(fs_->JobResults(), b);
    const std::set<uint64_t> listed(listing.extents.begin(), listing.extents.end());
    const std::string before = fs_->Snapshot(last, b), after = fs_->Snapshot(job, b);
    const std::set<uint64_t> inUse = ExtentsInUse(after, kSecondSize);
    for (uint64_t i = 0; i < kSecondSize / kExtentSize; ++i) {
      if (!inUse.count(i) || Md5Hex(ReadExtent(before, i)) == Md5Hex(ReadExtent(after, i))) continue;
      EXPECT_TRUE(listed.count(i)) << "changed extent " << i << " of job " << job;
    }
    EXPECT_LT(listed.size(), inUse.size()) << "job " << job;
  };

  // Job 3802, on the snapshot of job 3750, lists the volume whole and never
  // completes; 3750 completed but never listed it.
  collectFileRunsOutOfSpace(3801, 3750);
  ASSERT_EQ(write(), 0);
  ASSERT_EQ(RunBlbjob("snapshot" + volumes + JobArgs(3802, 2, 3750) + onSnapshotOf3750, &out), 0) << out;
  ASSERT_EQ(RunBlbjob("scan" + JobArgs(3802, 2, 3750) + onSnapshotOf3750, &out), 0) << out;
  listedWhole(3802);
  EXPECT_EQ(RunBlbjob("release" + JobArgs(3802, 2, 3750) + onSnapshotOf3750, &out), 0) << out;
  ASSERT_EQ(write(), 0);
  ASSERT_EQ(RunBlbjob("run --keep-snapshot" + volumes + JobArgs(3803, 2, 3750), &out), 0) << out;
  listedWhole(3803);

  // Job 3805, on the snapshot of job 3750, lists it whole and completes.
  collectFileRunsOutOfSpace(3804, 3803);
  ASSERT_EQ(write(), 0);
  ASSERT_EQ(RunBlbjob("run --keep-snapshot" + volumes + JobArgs(3805, 2, 3803) + onSnapshotOf3750, &out), 0) << out;
  listedWhole(3805);
  ASSERT_EQ(write(), 0);
  ASSERT_EQ(RunBlbjob("run --keep-snapshot" + volumes + JobArgs(3806, 2, 3805), &out), 0) << out;
  listedChangesOnly(3806, 3805);

  for (int job : {3750, 3803, 3805, 3806}) EXPECT_EQ(RunBlbjob("release" + JobArgs(job, 1), &out), 0) << out;
  EXPECT_EQ(RunBlbsim(fs_->state.Path(), "kzbf detach " + second.Device()), 0);
}

// A power loss while the true-up's index thread appends a page leaves the
// index hash file's last line torn, or NUL bytes where the write-back
// reached a later block of the file but not an earlier one, and no restart
// file naming that page (the file is synced before the restart file is
// written): the job's scan run again lists what the clean run listed.
TEST_F(JobCommand, AScanWithTrueUpRunAgainOverATornIndexHashFileListsWhatTheCleanRunListed) {
  std::string out;
  ASSERT_EQ(fs_->Run("", 3901, 1, 0, out), 0) << out;
  ASSERT_EQ(fs_->Write("a", 13, 1, false), 0);
  ASSERT_EQ(RunBlbsim(fs_->state.Path(), "kzbf bitmap " + fs_->loop.Device() + " clear"), 0);
  fs_->jobs.push_back(3902);
  ASSERT_EQ(RunBlbjob("snapshot --volume " + fs_->Path() + JobArgs(3902, 2, 3901), &out), 0) << out;
  ASSERT_EQ(RunBlbjob("scan --trueup" + JobArgs(3902, 2, 3901), &out), 0) << out;
  const CollectListing clean = ReadCollectListing(fs_->JobResults());
  ASSERT_FALSE(clean.extents.empty());

  const std::string hashes = CommandOutput("find " + fs_->JobResults() + "/TrueUp -name VolIdxHash.kzf | tr -d '\\n'");
  ASSERT_FALSE(hashes.empty());
  const std::string restart = fs_->JobResults() + "/TrueUp/IdxRestartInfo.kzf";
  const std::string volume = ReadFile(restart).substr(0, ReadFile(restart).find('|'));
  ASSERT_FALSE(volume.empty());
  // Each shape from the file as the run before left it, with the restart
  // file removed or naming the first extent only.
  const auto tornMidway = [](std::string file) {
    size_t cut = file.size() / 2;
    if (file[cut - 1] == '\n') ++cut;
    return file.substr(0, cut);
  };
  const auto lineBeforeTheLastAsNul = [](std::string file) {
    const size_t last = file.rfind('\n', file.size() - 2), before = file.rfind('\n', last - 1);
    std::fill(file.begin() + static_cast<long>(before + 1), file.begin() + static_cast<long>(last), '\0');
    return file;
  };
  const auto nulIntoTheLastLine = [](std::string file) {
    const size_t first = file.find('\n') + 1;
    std::fill(file.begin() + static_cast<long>(first), file.end() - 10, '\0');
    return file;
  };
  const struct {
    const char* shape;
    std::function<std::string(std::string)> damage;
    bool firstExtentNamed;
  } cases[] = {
      {"a torn last line", tornMidway, false},
      {"a NUL line before the last whole line", lineBeforeTheLastAsNul, false},
      {"a NUL line before the last whole line, the first extent named", lineBeforeTheLastAsNul, true},
      {"NUL bytes into the last line, the first extent named", nulIntoTheLastLine, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shape);
    const std::string written = ReadFile(hashes);
    ASSERT_GT(std::count(written.begin(), written.end(), '\n'), 2) << written;
    testing_support::WriteFile(hashes, c.damage(written));
    ASSERT_EQ(std::remove(restart.c_str()), 0);
    if (c.firstExtentNamed)
      testing_support::WriteFile(
          restart,
          volume + "|" + std::to_string(ExtentNameConverter::Extent_base32_to_dec(written.substr(0, 8))) + "\n");

    ASSERT_EQ(RunBlbjob("scan --trueup" + JobArgs(3902, 2, 3901), &out), 0) << out;
    const CollectListing again = ReadCollectListing(fs_->JobResults());
    EXPECT_EQ(again.extents, clean.extents);
  }
  EXPECT_EQ(RunBlbjob("release" + JobArgs(3902, 2, 3901), &out), 0) << out;
}

namespace {

// Another image of the device's size, random, attached at a loop device's
// number (detached first when asked, once the image is made) as soon as the
// kernel has let the device go; detached when the scope ends.
class ImageAtLoopNumber {
 public:
  ImageAtLoopNumber(const std::string& folder, const std::string& loop, bool detachFirst)
      : image_(folder + "/other.img"), loop_(loop) {
    if (RunCommand("head -c " + std::to_string(kDeviceSize) + " /dev/urandom >" + image_) != 0) return;
    if (detachFirst && RunCommand("losetup -d " + loop_) != 0) return;
    for (int i = 0; i < 500 && !attached_; ++i) {
      attached_ = RunCommand("losetup " + loop_ + " " + image_ + " 2>/dev/null") == 0;
      if (!attached_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~ImageAtLoopNumber() {
    if (attached_) RunCommand("losetup -d " + loop_);
    ::unlink(image_.c_str());
  }
  // False as well when another process took the free number first.
  bool Attached() const { return attached_; }
  // Whether the loop device reads this image still.
  bool Reading() const {
    return Contains(CommandOutput("losetup -n -O BACK-FILE " + loop_ + " 2>/dev/null || true"), image_);
  }
  std::vector<std::string> Hashes() const { return ExtentHashes(loop_); }

 private:
  std::string image_;
  std::string loop_;
  bool attached_ = false;
};

}  // namespace

// A kept snapshot's loop device is detached by hand, or its snapshot is
// destroyed by a later job's clean-up of stale snapshots, and another image
// is attached at its number: the job's scan and backup fail saying the
// snapshot is gone, and write nothing of that image.
TEST_F(JobCommand, AScanOrBackupOfASnapshotThatIsGoneFailsAndReadsNothingOfWhatHoldsItsLoopDeviceNow) {
  std::string out;
  // Another image attached at the snapshot's number; the job's verbs that
  // read its snapshot fail, naming what became of it, and write nothing.
  // Should another process take the free number first, what it attached
  // there stands for the other image.
  const auto expectGone = [&out](int job, int previous, const std::string& loop, bool detachFirst,
                                 const std::string& gone) {
    SCOPED_TRACE(job);
    ImageAtLoopNumber other(fs_->state.Path(), loop, detachFirst);
    const std::string hashFile = fs_->state.Sub("reports/" + std::to_string(job) + "/hashes.txt");
    const std::string list = fs_->JobResults() + "/ListOfCollect.txt";
    const std::string view = "index extents show 2 7 " + fs_->Path();
    std::string viewBefore, viewAfter;
    ASSERT_EQ(RunBlbsim(fs_->state.Path(), view, &viewBefore), 0);
    const std::string hashesBefore = ReadFile(hashFile), listBefore = ReadFile(list);
    for (const std::string verb : {"scan", "backup", "scan --trueup"}) {
      EXPECT_EQ(RunBlbjob(verb + JobArgs(job, 2, previous), &out), 1) << verb << "\n" << out;
      EXPECT_TRUE(Contains(out, "blbjob " + verb.substr(0, verb.find(' ')) + ": the snapshot " + loop + " of volume " +
                                    fs_->Path() + " is gone: " + (other.Attached() ? gone : "")))
          << out;
      EXPECT_TRUE(Contains(out, "; take the snapshot again: blbjob release, then blbjob snapshot or run")) << out;
    }
    // Nothing written: the job's hashes, the lists, the index's view.
    ASSERT_EQ(RunBlbsim(fs_->state.Path(), view, &viewAfter), 0);
    EXPECT_TRUE(viewAfter == viewBefore);
    EXPECT_TRUE(ReadFile(hashFile) == hashesBefore);
    EXPECT_TRUE(ReadFile(list) == listBefore);
    if (other.Attached()) {
      for (const std::string& hash : other.Hashes()) {
        EXPECT_FALSE(Contains(viewAfter, hash)) << hash;
        EXPECT_FALSE(Contains(ReadFile(hashFile), hash)) << hash;
      }
    }
    // The release destroys what the job holds, and leaves the image that
    // took its number alone.
    EXPECT_EQ(RunBlbjob("release" + JobArgs(job, 2), &out), 0) << out;
    EXPECT_TRUE(!other.Attached() || other.Reading()) << out;
  };

  ASSERT_EQ(fs_->Run("", 3801, 1, 0, out), 0) << out;
  ASSERT_EQ(fs_->Write("a", 3, 1, false), 0);
  ASSERT_EQ(fs_->Run("", 3802, 2, 3801, out), 0) << out;
  // A later job whose snapshot phase cleans stale snapshots up destroys the
  // kept ones of 3801 and 3802 (not released: their records say so).
  ASSERT_EQ(fs_->Write("a", 7, 1, false), 0);
  const std::string full = fs_->Snapshot(3801), cleanedUp = fs_->Snapshot(3802);
  ASSERT_EQ(RunBlbjob("run --checks --volume " + fs_->Path() + JobArgs(3803, 2, 3802), &out), 0) << out;
  expectGone(3802, 3801, cleanedUp, false, "the clean-up of stale snapshots of a later snapshot phase destroyed it");
  EXPECT_EQ(RunBlbjob("release" + JobArgs(3801, 1), &out), 0) << out;
  EXPECT_EQ(out, "snapshot " + full + ": already gone\n");

  // A kept snapshot's loop device detached by hand.
  ASSERT_EQ(fs_->Write("a", 11, 1, false), 0);
  ASSERT_EQ(fs_->Run("", 3804, 2, 3803, out), 0) << out;
  const std::string detached = fs_->Snapshot(3804);
  expectGone(3804, 3803, detached, true, detached + " reads another file now, not its image ");
}
