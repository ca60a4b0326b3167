// How each stage grows with the number of extents: 1, 4 and 16 TiB volumes
// at 4 MiB extents (262,144 to 4,194,304 extents), and the stages that grow
// with files or devices instead at 1x, 4x and 16x of theirs. The time per
// item must stay flat from one size to the next.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_job_seed.h"
#include "bench_state_dir.h"
#include "blocklevel/jr_for_job_backup_handler.h"
#include "indexinfo/index_info_path.h"
#include "platform/archive/kz_archive.h"
#include "platform/driver/kzbf_backend.h"
#include "platform/harness/index_harness.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/hashing/extent_iterator.h"
#include "platform/indexing/index_extent_view.h"
#include "platform/jobs/job_ctrl_client.h"
#include "platform/sim/fs_util.h"
#include "records/block_device_config.h"
#include "scan/collect_file_manager.h"
#include "scan/cumulative_bitmap_helper.h"
#include "scan/volume_true_up_handler.h"
#include "tracking/block_level_bitmap_handler.h"
#include "tracking/volume_bitmap_helper.h"
#include "true_up_tables.h"

namespace {

constexpr uint64_t kExtentBytes = 4ull << 20;
constexpr uint64_t kOneTiBExtents = (1ull << 40) / kExtentBytes;

// 1x, 4x and 16x the base; run briefly (BLB_BENCH_BRIEF set, as the tests'
// run of every benchmark sets it) only a sixteenth of the base.
std::vector<int64_t> Scaled(int64_t base) {
  if (std::getenv("BLB_BENCH_BRIEF") != nullptr) return {std::max<int64_t>(1, base / 16)};
  return {base, 4 * base, 16 * base};
}

void Sizes(benchmark::internal::Benchmark* bench) {
  for (int64_t size : Scaled(static_cast<int64_t>(kOneTiBExtents))) bench->Arg(size);
}

std::vector<unsigned char> RandomBytes(uint64_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<unsigned char> bytes(size);
  for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
  return bytes;
}

// A job-results folder with one volume of the given extents in its device
// configuration, a snapshot of zeros (no file system to narrow it down) and,
// for an incremental, a half-set change bitmap file from the snapshot step.
class VolumeScan {
 public:
  VolumeScan(uint64_t extents, bool incremental) : m_nExtents(extents) {
    m_sJobResults = m_oState.Path() + "/jr";
    platform::MakeDirectories(m_sJobResults);
    const uint64_t bitmapBytes = (extents + 7) / 8;
    BlockDeviceConfigReaderWriter config;
    config.InitWrite(m_sJobResults + "/BlockDeviceConfig.kzf", false, false);
    config.WriteNextBackupDevice(BackupDeviceInfo(true, "/mnt/big", "/dev/sdz9", "ext4", "rw", kExtentBytes,
                                                  extents * (kExtentBytes / 512), 4096, bitmapBytes));
    config.Close();
    if (incremental) {
      std::string bitmapFile;
      VolumeBitMapHelper::GenerateBitmapFileName("/mnt/big", m_sJobResults, bitmapFile, "/dev/sdz9", "ext4");
      const std::vector<unsigned char> bits = RandomBytes(bitmapBytes, 5);
      VolumeBitMapHelper::WriteBitMapToFile(bitmapFile, bits.data(), bitmapBytes);
    }
    const std::string snapshot = m_oState.Path() + "/snap";
    platform::WriteFileAtomically(snapshot, std::string(1 << 20, '\0'));
    m_lVolumes.push_back({"/mnt/big", snapshot});
    m_oJob.reset(new TarvosJobInfo({"-a", "2:7", "-j", "101", "-t", incremental ? "2" : "1", "-d", "ss1"}));
    m_oJob->ParseArgs(false);
    m_oJob->SetJobResultsDir(m_sJobResults);
  }

  bool Ready() const { return m_oState.ok(); }
  const std::string& JobResults() const { return m_sJobResults; }

  // The scan's bitmap step and collect files; the extents listed, or -1.
  long long Scan(int streams) {
    CollectFileManager manager(*m_oJob, 9, 0);
    if (manager.InitCumBmpHelper().IsError() || manager.FetchBitmapForVolumes(m_lVolumes).IsError()) return -1;
    unsigned int total = 0;
    if (manager.GenerateCollectFilesForPaths(m_lVolumes, streams, streams > 1, 3, total).IsError()) return -1;
    return total;
  }

  // The backup's side: the list read back and every collect file's lines.
  long long ReadBack() {
    CollectFileManager manager(*m_oJob, 9, 0);
    std::list<std::string> volumes;
    if (manager.ReadCollectFilesFromDisk(volumes).IsError()) return -1;
    long long lines = 0;
    std::string name;
    int id = 0;
    while (manager.GetNextCollectForVolume("/mnt/big", name, id) == 1) {
      CExtCollectIterator collect;
      if (collect.Initialize(name, 0, 0).IsError()) return -1;
      for (;;) {
        unsigned long long extent = 0;
        bool found = false;
        if (collect.GetNextExtent(extent, found).IsError()) return -1;
        if (!found) break;
        ++lines;
      }
    }
    return lines;
  }

 private:
  BenchStateDir m_oState;
  uint64_t m_nExtents;
  std::string m_sJobResults;
  std::list<ScanObjects_t> m_lVolumes;
  std::unique_ptr<TarvosJobInfo> m_oJob;
};

void Items(benchmark::State& state, int64_t perIteration) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * perIteration);
}

// Full: every extent listed, in one file or split over 4 streams x 3.
void BM_ScanFull(benchmark::State& state) {
  VolumeScan scan(static_cast<uint64_t>(state.range(0)), false);
  const int streams = static_cast<int>(state.range(1));
  for (auto _ : state)
    if (scan.Scan(streams) != state.range(0)) state.SkipWithError("the scan failed");
  Items(state, state.range(0));
}
BENCHMARK(BM_ScanFull)->ArgsProduct({Scaled(kOneTiBExtents), {1, 4}})->Unit(benchmark::kMillisecond)->UseRealTime();

// Incremental: the snapshot step's bitmap file read and half its extents listed.
void BM_ScanIncremental(benchmark::State& state) {
  VolumeScan scan(static_cast<uint64_t>(state.range(0)), true);
  for (auto _ : state)
    if (scan.Scan(1) <= 0) state.SkipWithError("the scan failed");
  Items(state, state.range(0));
}
BENCHMARK(BM_ScanIncremental)->Apply(Sizes)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CollectReadBack(benchmark::State& state) {
  VolumeScan scan(static_cast<uint64_t>(state.range(0)), false);
  if (scan.Scan(4) != state.range(0)) state.SkipWithError("the scan failed");
  for (auto _ : state)
    if (scan.ReadBack() != state.range(0)) state.SkipWithError("the read-back failed");
  Items(state, state.range(0));
}
BENCHMARK(BM_CollectReadBack)->Apply(Sizes)->Unit(benchmark::kMillisecond)->UseRealTime();

// The snapshot step's fold of a driver bitmap into the job's bitmap file.
void BM_DriverBitmapIntoJobFile(benchmark::State& state) {
  BenchStateDir dir;
  const unsigned long bytes = static_cast<unsigned long>((state.range(0) + 7) / 8);
  std::vector<unsigned char> driver = RandomBytes(bytes, 1);
  const std::vector<unsigned char> disk = RandomBytes(bytes, 2);
  const std::string file = dir.Path() + "/v.bmp";
  for (auto _ : state) {
    state.PauseTiming();
    VolumeBitMapHelper::WriteBitMapToFile(file, disk.data(), bytes);
    state.ResumeTiming();
    if (VolumeBitMapHelper::MergeAndWriteToDiskBitMap("/dev/sdz9", file, driver.data(), bytes, 0).IsError())
      state.SkipWithError("the fold failed");
  }
  ::unlink(file.c_str());
  Items(state, state.range(0));
}
BENCHMARK(BM_DriverBitmapIntoJobFile)->Apply(Sizes)->Unit(benchmark::kMillisecond)->UseRealTime();

// A tracked device whose driver hands back the same random bitmap each time.
class RandomDriver : public platform::KzBfBackend {
 public:
  explicit RandomDriver(uint64_t bytes) : m_vBits(bytes) {
    const std::vector<unsigned char> random = RandomBytes(bytes, 3);
    m_vBits.assign(random.begin(), random.end());
  }
  CQiError Open() override { return CQiError(); }
  CQiError Attach(const std::string&, int) override { return FXErrorUtil::ErrorErrNo(FXCODELOC, 114, "attached"); }
  CQiError Detach(const std::string&) override { return CQiError(); }
  CQiError Query(const std::string&, platform::KzBfDeviceStatus&) override { return CQiError(); }
  CQiError Clear(const std::string&) override { return CQiError(); }
  CQiError GetBitmap(const std::string&, std::vector<char>& bitmap, bool) override {
    bitmap = m_vBits;
    return CQiError();
  }
  CQiError DestroySnap(const std::string&) override { return CQiError(); }

 private:
  std::vector<char> m_vBits;
};

// The snapshot step of a device two subclients share: the driver's bitmap
// read and cleared, merged into both subclients' caches and the job's file.
void BM_SnapshotBitmapStep(benchmark::State& state) {
  BenchStateDir dir;
  const uint64_t bytes = static_cast<uint64_t>((state.range(0) + 7) / 8);
  RandomDriver driver(bytes);
  platform::KzBf::Scope use(driver);
  const std::string cacheFolder = dir.Path() + "/dcf", jobResults = dir.Path() + "/j5";
  platform::MakeDirectories(cacheFolder);
  platform::MakeDirectories(jobResults);
  platform::ClientRecord client;
  client.id = 5;
  client.name = "client5";
  client.jobResultsDir = jobResults;
  blbsim::AddClient(client);
  auto step = [&](uint64_t app) {
    SMVolBlock block;
    block.sDevice = "/dev/sdz9";
    block.sVolume = "/mnt/big";
    block.nAppId = app;
    block.nVornCellId = 2;
    CBlockLevelBitmapHandler handler;
    const std::string destination = jobResults + "/ID1.bmp";
    ::unlink(destination.c_str());
    return !handler.Initialize(cacheFolder).IsError() &&
           !handler.GetAndClearBitmap(5, bytes, block, "ID1", destination).IsError();
  };
  if (!step(7) || !step(8)) state.SkipWithError("the subclients could not be registered");
  for (auto _ : state)
    if (!step(7)) state.SkipWithError("the step failed");
  Items(state, state.range(0));
}
BENCHMARK(BM_SnapshotBitmapStep)->Apply(Sizes)->Unit(benchmark::kMillisecond)->UseRealTime();

// The scan's fetch of a synthetic full's missed-extent bitmap from the index.
void BM_MissedExtentBitmapFetch(benchmark::State& state) {
  BenchStateDir dir;
  const std::vector<unsigned char> bits = RandomBytes(static_cast<uint64_t>((state.range(0) + 7) / 8), 4);
  if (!SeedMissedExtentsOfComponentC(std::string(bits.begin(), bits.end())))
    state.SkipWithError("the index could not be seeded");
  TarvosJobInfo args({"-a", "2:7", "-j", "101", "-t", "2", "-d", "ss1", "-jt", "tok", "-lvwme", "C"});
  args.ParseArgs(false);
  for (auto _ : state) {
    CCumulativeBitmapHelper helper(args, dir.Path(), 9, 0);
    std::map<std::string, std::string> none;
    if (helper.Initialize(none).IsError()) state.SkipWithError("the fetch failed");
  }
  Items(state, state.range(0));
}
BENCHMARK(BM_MissedExtentBitmapFetch)->Apply(Sizes)->Unit(benchmark::kMillisecond)->UseRealTime();

// The true-up's table-bound stages of one volume split over 4 readers: the
// negated change bitmap made and split (arg 1 = 0), and the readers' files
// merged and compared with the index's table of every extent (arg 1 = 1).
void BM_TrueUpStages(benchmark::State& state) {
  BenchStateDir dir;
  const uint64_t extents = static_cast<uint64_t>(state.range(0)), bytes = (extents + 7) / 8;
  TrueUpVolInfo::VolumeBitmapsPtr bitmaps(new TrueUpVolInfo::VolumeBitmaps);
  bitmaps->Reset(TrueUpVolInfo::VolumeBitmaps::kChange, TrueUpVolInfo::VolumeBitmaps::Allocate(bytes));
  const std::string record = "true|/mnt/big|/dev/big|ext4|rw|4194304|" + std::to_string(extents * 8192) + "|4096|" +
                             std::to_string(bytes) + "|512|512|512|0|1";
  TrueUpVolInfo volume("/dev/big", BackupDeviceInfo(record), bitmaps);
  CVolumeTrueUpHandler handler(volume, dir.Path(), 4);
  bool ok =
      !handler.Initialize().IsError() && !handler.GenerateNegateBmp().IsError() && !handler.SplitNegateBmp().IsError();
  const bool tables = state.range(1) == 1;
  if (ok && tables) WriteTrueUpTables(handler);
  if (!ok) state.SkipWithError("the volume could not be set up");
  for (auto _ : state) {
    ok = tables ? !handler.MergeNegateHashCFs().IsError() && !handler.CompareHash().IsError()
                : !handler.GenerateNegateBmp().IsError() && !handler.SplitNegateBmp().IsError();
    if (!ok) state.SkipWithError("the true-up stage failed");
  }
  Items(state, state.range(0));
}
BENCHMARK(BM_TrueUpStages)->ArgsProduct({Scaled(kOneTiBExtents), {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();

// The index's extent view of a volume recorded after a full backup, one
// row per extent read, as the job command's backup leaves it.
void BM_ExtentViewRecord(benchmark::State& state) {
  BenchStateDir dir;
  platform::IndexExtentViewRows rows;
  for (int64_t n = 0; n < state.range(0); ++n) rows.emplace_back(static_cast<uint64_t>(n), std::string(32, 'a'));
  for (auto _ : state)
    if (!platform::PutIndexExtentView({2, 7, "/mnt/big"}, rows)) state.SkipWithError("the view was not recorded");
  Items(state, state.range(0));
}
BENCHMARK(BM_ExtentViewRecord)->Apply(Sizes)->Unit(benchmark::kMillisecond)->UseRealTime();

// The scan's data-only bitmap of fresh ext4 images, one per size (sparse
// files made with mkfs.ext4), named in BLB_BENCH_EXT4_IMAGES separated by
// ",": measured only when named.
void BM_DataOnlyBitmap(benchmark::State& state, const std::string& image) {
  struct stat info {};
  if (::stat(image.c_str(), &info) != 0) state.SkipWithError("the image cannot be read");
  const uint64_t extents = (static_cast<uint64_t>(info.st_size) + kExtentBytes - 1) / kExtentBytes;
  for (auto _ : state) {
    unsigned char* bitmap = nullptr;
    CQiError err = VolumeBitMapHelper::GetDataBlockBitMap(image, &bitmap, static_cast<unsigned long>((extents + 7) / 8),
                                                          static_cast<int>(kExtentBytes));
    if (err.IsError() || bitmap == nullptr) state.SkipWithError("no data-only bitmap");
    std::free(bitmap);
  }
  Items(state, static_cast<int64_t>(extents));
}

const bool g_dataOnlyRegistered = [] {
  const char* images = std::getenv("BLB_BENCH_EXT4_IMAGES");
  std::string rest = images != nullptr ? images : "";
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string image = rest.substr(0, comma);
    rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
    if (image.empty()) continue;
    benchmark::RegisterBenchmark(("BM_DataOnlyBitmap/" + image).c_str(), BM_DataOnlyBitmap, image)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  return true;
}();

// The device configuration of 64, 256 and 1024 devices written and read back.
void BM_DeviceConfigFiles(benchmark::State& state) {
  BenchStateDir dir;
  const std::string path = dir.Path() + "/BlockDeviceConfig.kzf";
  const int devices = static_cast<int>(state.range(0));
  for (auto _ : state) {
    BlockDeviceConfigReaderWriter_UNIX writer;
    bool ok = !writer.InitWrite(path, false, false).IsError();
    for (int i = 0; ok && i < devices; ++i) {
      const std::string n = std::to_string(i);
      ok = !writer
                .WriteNextBackupDevice(BackupDeviceInfo(true, "/mnt/v" + n, "/dev/sd" + n, "ext4", "rw", kExtentBytes,
                                                        1ull << 31, 4096, 1 << 15))
                .IsError() &&
           !writer
                .WriteNextExtBackupDevice(BackupDeviceInfo(true, "/dev/sd" + n, "/dev/pv" + n, "", "", kExtentBytes,
                                                           1ull << 31, 4096, 1 << 15))
                .IsError();
    }
    ok = ok && !writer.Close().IsError();
    BlockDeviceConfigReaderWriter_UNIX reader;
    ok = ok && !reader.InitRead(path).IsError();
    int read = 0;
    for (; ok; ++read) {
      BackupDeviceInfo device;
      ok = !reader.ReadNextBackupConfig(device).IsError();
      if (!device.IsValid()) break;
    }
    if (!ok || read != 2 * devices) state.SkipWithError("the configuration did not round-trip");
  }
  Items(state, devices);
}
BENCHMARK(BM_DeviceConfigFiles)->ArgsProduct({Scaled(64)})->Unit(benchmark::kMillisecond)->UseRealTime();

// The job-results backup of a folder of 1000, 4000 and 16000 small files,
// 100 to a subfolder.
void BM_JobResultsBackup(benchmark::State& state) {
  BenchStateDir dir;
  const std::string root = dir.Path() + "/jr";
  ::mkdir(root.c_str(), 0755);
  const int files = static_cast<int>(state.range(0));
  for (int i = 0; i < files; ++i) {
    const std::string folder = root + "/d" + std::to_string(i / 100);
    if (i % 100 == 0) ::mkdir(folder.c_str(), 0755);
    platform::WriteFileAtomically(folder + "/f" + std::to_string(i) + ".log", "a log line\n");
  }
  platform::JobRecord job;
  job.jobId = 101;
  job.cellId = 2;
  job.appId = 7;
  job.token = "tok";
  blbsim::AddJob(job);
  uint64_t jobId = 101;
  for (auto _ : state) {
    KZArchive archive("client9");
    archive.setJobId(jobId++);
    KZJobCtrlClient control(101, "client9");
    CBLBJRForJobBackupHandler handler(root, "G1", &archive, &control, 81, true);
    if (handler.Run().IsError()) state.SkipWithError("the backup failed");
  }
  Items(state, files);
}
BENCHMARK(BM_JobResultsBackup)->ArgsProduct({Scaled(1000)})->Unit(benchmark::kMillisecond)->UseRealTime();

// The index-info tree of 10,000, 40,000 and 160,000 key paths, 3 levels deep.
void BM_IndexInfoTree(benchmark::State& state) {
  const int paths = static_cast<int>(state.range(0));
  std::vector<std::string> keys;
  for (int i = 0; i < paths; ++i)
    keys.push_back("/v" + std::to_string(i % 16) + "/g" + std::to_string(i % 1000) + "/k" + std::to_string(i));
  for (auto _ : state) {
    CIndexInfoPathPtr root = std::make_shared<CIndexInfoPath>();
    for (const std::string& key : keys) benchmark::DoNotOptimize(indexinfo::ResolveKeyPath(root, key, '/'));
  }
  Items(state, paths);
}
BENCHMARK(BM_IndexInfoTree)->ArgsProduct({Scaled(10000)})->Unit(benchmark::kMillisecond);

}  // namespace
