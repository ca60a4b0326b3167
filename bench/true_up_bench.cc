// The true-up: a whole run over a loop device of pseudo-random data, and
// its two table-bound stages on their own. Run by scripts/true-up-bench.sh
// (as root), which names the device and its image in BLB_BENCH_DEVICE and
// BLB_BENCH_IMAGE.
//
// BM_TrueUpRun: 512 extents of 4 MiB, change bitmap zero, data-only all
// ones, the index holding every extent's hash but one in 64 (changed since),
// poll period scaled to 50 ms. Reported: the whole Run and its reading stage
// (threads started to done, taken from the driver's log lines); the whole
// should stay within 1.15 x the reading stage.
// BM_MergeAndCompare: 2,621,440-entry tables merged from four collect files
// and compared, against reading the same files line by line (at least half
// that speed; std::getline) and through the extent-hashing library's table. BM_IndexPaging: the index thread paging a
// volume's extent view through the simulated index at page size 1000 (at least 50,000 rows a second).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "bench_job_seed.h"
#include "true_up_tables.h"
#include "platform/harness/index_harness.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/hashing/extent_hash_table.h"
#include "platform/hashing/extent_name_converter.h"
#include "platform/hashing/get_guid.h"
#include "platform/log/log_backend.h"
#include "platform/sim/fs_util.h"
#include "scan/index_info_true_up.h"
#include "scan/snap_read_manager.h"
#include "scan/true_up_handler.h"
#include "scan/volume_true_up_handler.h"
#include "platform/settings/settings.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kExtentBytes = 4ull << 20;
constexpr uint64_t kTableEntries = 2621440;
constexpr uint64_t kPagedRows = 100000;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// The time of the first log line holding each text since the last Reset.
class StageClock : public platform::LogBackend {
 public:
  int Level() override { return 3; }
  void Write(int, const char*, int, const std::string& text) override {
    std::lock_guard<std::mutex> lock(m_oMutex);
    if (!m_bStarted && text.find("Starting TrueUp reader thread [1]") != std::string::npos) {
      m_oStart = Clock::now();
      m_bStarted = true;
    }
    if (!m_bDone && text.find("Saving threads restart context information") != std::string::npos) {
      m_oDone = Clock::now();
      m_bDone = true;
    }
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(m_oMutex);
    m_bStarted = m_bDone = false;
  }
  double ReadingSeconds() {
    std::lock_guard<std::mutex> lock(m_oMutex);
    return m_bStarted && m_bDone ? Seconds(m_oStart, m_oDone) : 0;
  }

 private:
  std::mutex m_oMutex;
  Clock::time_point m_oStart, m_oDone;
  bool m_bStarted = false, m_bDone = false;
};

// The state directory, job 101 of subclient 2/7, the device's extent view.
class Setup {
 public:
  static Setup& Get() {
    static Setup setup;
    return setup;
  }
  bool Ready() const { return m_bReady; }
  const std::string& Device() const { return m_sDevice; }
  const std::string& Folder() const { return m_sFolder; }
  uint64_t Extents() const { return m_nExtents; }
  TarvosJobInfo Job(const std::string& jobResults) const {
    TarvosJobInfo job(std::vector<std::string>{"-a", "2:7", "-j", "101", "-t", "2", "-d", "ss1", "-jt", "tok"});
    job.ParseArgs(false);
    job.SetJobResultsDir(jobResults);
    return job;
  }
  std::string Record() const {
    return "true|/mnt/bench|" + m_sDevice + "|ext4|rw|4194304|" + std::to_string(m_nExtents * kExtentBytes / 512) +
           "|4096|" + std::to_string((m_nExtents + 7) / 8) + "|512|512|512|0|1";
  }

 private:
  Setup() : m_sDevice(Env("BLB_BENCH_DEVICE")), m_sImage(Env("BLB_BENCH_IMAGE")) {
    char pattern[] = "/var/tmp/trueupbench.XXXXXX";
    m_sFolder = ::mkdtemp(pattern) ? pattern : "/var/tmp";
    platform::Settings::SetStateDir((m_sFolder + "/state").c_str());
    // The driver's 10-second poll becomes 50 ms.
    ::setenv("BLB_SLEEP_FACTOR", "0.005", 1);
    if (!blbsim::InitStateDir() || !AddBenchSubclientAndJob()) return;
    if (!m_sImage.empty() && !SeedExtentView()) return;
    m_bReady = true;
  }
  ~Setup() { platform::RemoveTree(m_sFolder); }

  // Every extent's hash as the index holds it; every 64th changed since.
  bool SeedExtentView() {
    std::ifstream image(m_sImage, std::ios::binary);
    std::vector<unsigned char> extent(kExtentBytes);
    std::string text, hash;
    for (uint64_t n = 0; image.read(reinterpret_cast<char*>(extent.data()), kExtentBytes); ++n) {
      GetGUID(extent.data(), static_cast<int>(kExtentBytes), hash);
      if (n % 64 == 0) hash = std::string(32, '0');
      text += std::to_string(n) + " " + hash + "\n";
      m_nExtents = n + 1;
    }
    std::string why;
    return m_nExtents > 0 && blbsim::SetIndexExtentView({2, 7, "/mnt/bench"}, text, &why);
  }

  std::string m_sDevice;
  std::string m_sImage;
  std::string m_sFolder;
  uint64_t m_nExtents = 0;
  bool m_bReady = false;
};

// Args: readers, reader mode.
void BM_TrueUpRun(benchmark::State& state) {
  Setup& setup = Setup::Get();
  if (!setup.Ready() || setup.Device().empty()) {
    state.SkipWithError("set BLB_BENCH_DEVICE and BLB_BENCH_IMAGE (scripts/true-up-bench.sh)");
    return;
  }
  const std::string jobResults = setup.Folder() + "/jr";
  StageClock stages;
  platform::Log::Scope useStages(stages);
  double whole = 0, reading = 0;
  for (auto _ : state) {
    state.PauseTiming();
    platform::RemoveTree(jobResults);
    platform::MakeDirectories(jobResults);
    CVolumeTrueUpHandler::s_iNextCollectFileNumber = 1;
    const uint64_t bytes = (setup.Extents() + 7) / 8;
    TrueUpVolInfo::VolumeBitmapsPtr bitmaps(new TrueUpVolInfo::VolumeBitmaps);
    bitmaps->Reset(TrueUpVolInfo::VolumeBitmaps::kChange, TrueUpVolInfo::VolumeBitmaps::Allocate(bytes));
    unsigned char* data = TrueUpVolInfo::VolumeBitmaps::Allocate(bytes);
    std::fill(data, data + bytes, 0xFF);
    bitmaps->Reset(TrueUpVolInfo::VolumeBitmaps::kDataOnly, data);
    std::vector<TrueUpVolInfo> volumes = {TrueUpVolInfo(setup.Device(), BackupDeviceInfo(setup.Record()), bitmaps)};
    TarvosJobInfo job = setup.Job(jobResults);
    blbsim::SetRegistryValue("FileSystemAgent", "nBlockLevelTrueUpReaderMode", std::to_string(state.range(1)));
    CTrueUpHandler trueUp(volumes, job, 2, static_cast<unsigned>(state.range(0)), nullptr);
    stages.Reset();
    state.ResumeTiming();

    const auto start = Clock::now();
    CQiError err = trueUp.Initialize();
    if (!err.IsError()) err = trueUp.Run();
    const double pass = Seconds(start, Clock::now());
    if (err.IsError()) state.SkipWithError(err.AsString().c_str());
    unsigned mismatches = 0;
    for (uint64_t i = 0; volumes[0].GetTrueUpBmp() != nullptr && i < bytes; ++i)
      mismatches += static_cast<unsigned>(__builtin_popcount(volumes[0].GetTrueUpBmp()[i]));
    state.counters["mismatches"] = mismatches;
    whole += pass;
    reading += stages.ReadingSeconds();
  }
  const double passes = static_cast<double>(state.iterations());
  state.counters["whole_s"] = whole / passes;
  state.counters["reading_s"] = reading / passes;
  state.counters["whole_vs_reading"] = reading > 0 ? whole / reading : 0;
  state.counters["MBps"] = static_cast<double>(setup.Extents() * kExtentBytes) / 1e6 / (whole / passes);
}
BENCHMARK(BM_TrueUpRun)
    ->Args({2, 0})
    ->Args({2, 2})
    ->Args({4, 0})
    ->Args({4, 2})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

// Four collect files of a 2,621,440-extent volume, as the readers leave
// them, and the index table of the same extents.
class Tables {
 public:
  static Tables& Get() {
    static Tables tables;
    return tables;
  }
  CVolumeTrueUpHandler& Handler() { return *m_pHandler; }
  const std::vector<std::string>& Collects() const { return m_vCollects; }
  std::string VolumeFile(const char* name) const { return m_pHandler->GetVolTrueUpFolder() + "/" + name; }

 private:
  Tables() {
    Setup::Get();
    const std::string folder = Setup::Get().Folder() + "/tables";
    platform::MakeDirectories(folder);
    const uint64_t bytes = kTableEntries / 8;
    m_pBitmaps.reset(new TrueUpVolInfo::VolumeBitmaps);
    m_pBitmaps->Reset(TrueUpVolInfo::VolumeBitmaps::kChange, TrueUpVolInfo::VolumeBitmaps::Allocate(bytes));
    const std::string record = "true|/mnt/big|/dev/big|ext4|rw|4194304|" + std::to_string(kTableEntries * 8192) +
                               "|4096|" + std::to_string(bytes) + "|512|512|512|0|1";
    TrueUpVolInfo volume("/dev/big", BackupDeviceInfo(record), m_pBitmaps);
    m_pHandler.reset(new CVolumeTrueUpHandler(volume, folder, 4));
    m_pHandler->Initialize();
    m_pHandler->GenerateNegateBmp();
    m_pHandler->SplitNegateBmp();
    m_vCollects = WriteTrueUpTables(*m_pHandler);
  }

  TrueUpVolInfo::VolumeBitmapsPtr m_pBitmaps;
  std::unique_ptr<CVolumeTrueUpHandler> m_pHandler;
  std::vector<std::string> m_vCollects;
};

// Seconds to read the files line by line.
double ReadLines(const std::vector<std::string>& paths) {
  const auto start = Clock::now();
  std::string line;
  size_t count = 0;
  for (const std::string& path : paths) {
    std::ifstream file(path);
    while (std::getline(file, line)) count += line.size();
  }
  benchmark::DoNotOptimize(count);
  return Seconds(start, Clock::now());
}

// Seconds to read the files' entries through the extent-hashing library's
// table, the way the merge and the comparison read them.
double ReadEntries(const std::vector<std::string>& paths) {
  const auto start = Clock::now();
  ExtentHashItem item;
  size_t count = 0;
  for (const std::string& path : paths) {
    CExtentHashTable_File table(path);
    if (table.Initialize(std::ios_base::in).IsError()) return 0;
    while (!table.GetNextExtentEntry(item).IsError() && item.IsValid()) ++count;
  }
  benchmark::DoNotOptimize(count);
  return Seconds(start, Clock::now());
}

// Arg 0: the merge of the collect files; 1: the comparison of the two tables.
void BM_MergeAndCompare(benchmark::State& state) {
  Tables& tables = Tables::Get();
  const bool compare = state.range(0) == 1;
  double seconds = 0, lines = 0, entries = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    CQiError err = compare ? tables.Handler().CompareHash() : tables.Handler().MergeNegateHashCFs();
    seconds += Seconds(start, Clock::now());
    if (err.IsError()) state.SkipWithError(err.AsString().c_str());
    state.PauseTiming();
    const std::vector<std::string> read =
        compare ? std::vector<std::string>{tables.VolumeFile("VolIdxHash.kzf"), tables.VolumeFile("VolSnapHash.kzf")}
                : tables.Collects();
    lines += ReadLines(read);
    entries += ReadEntries(read);
    state.ResumeTiming();
  }
  state.counters["entries_per_s"] = static_cast<double>(kTableEntries * state.iterations()) / seconds;
  state.counters["vs_line_reading"] = seconds > 0 ? lines / seconds : 0;
  state.counters["vs_table_reading"] = seconds > 0 ? entries / seconds : 0;
}
BENCHMARK(BM_MergeAndCompare)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_IndexPaging(benchmark::State& state) {
  Setup& setup = Setup::Get();
  if (!setup.Ready()) {
    state.SkipWithError("no state directory");
    return;
  }
  static const bool seeded = [] {
    std::string text;
    for (uint64_t n = 0; n < kPagedRows; ++n) text += std::to_string(n) + " " + std::string(32, 'a') + "\n";
    std::string why;
    return blbsim::SetIndexExtentView({2, 7, "/mnt/paged"}, text, &why);
  }();
  if (!seeded) state.SkipWithError("cannot seed the extent view");
  const std::string folder = setup.Folder() + "/paging";
  TarvosJobInfo job = setup.Job(folder);
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    platform::RemoveTree(folder);
    platform::MakeDirectories(folder + "/v");
    boost::shared_ptr<CSnapReadManager> manager(
        new CSnapReadManager(1, {}, {IdxVolInfo("/mnt/paged", folder + "/v")}, nullptr));
    CIndexInfoTrueUp index(manager, job, folder, 2, 1000);
    state.ResumeTiming();
    const auto start = Clock::now();
    CQiError err = index.FetchVolumeExtentHashes();
    seconds += Seconds(start, Clock::now());
    if (err.IsError()) state.SkipWithError(err.AsString().c_str());
  }
  state.counters["rows_per_s"] = static_cast<double>(kPagedRows * state.iterations()) / seconds;
}
BENCHMARK(BM_IndexPaging)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
