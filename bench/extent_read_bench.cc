// The backup's hot path: every extent of a volume read from its snapshot and
// MD5-hashed through CVolumeReaderForBackup. Run by scripts/extent-read-bench.sh
// (as root) on a loop device over a pseudo-random image, named by
// BLB_BENCH_DEVICE and BLB_BENCH_IMAGE.
//
// Every measured read is cold: before each pass, and before md5sum and dd
// of the device, the loop device's buffers are flushed and the image's pages
// dropped, so the bytes come from the disk under the image, never from
// memory. Each benchmark reports its rate against md5sum of the device and
// against dd iflag=direct of it, both cold and measured in the same run.
// One stream: mode 2 and read-ahead should pass md5sum, since reads overlap
// hashing, and stay below dd iflag=direct, the disk's rate for one reader.
// N streams (N readers on N collect files sharing one device reader) against
// N x one stream show what parallel reads of one disk gain; with several
// requests in flight they may pass dd, which has one at a time.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/hashing/extent_name_converter.h"
#include "platform/harness/sim_harness.h"
#include "platform/sim/fs_util.h"
#include "scan/kz_device_reader_unix.h"
#include "scan/volume_reader_for_backup.h"
#include "platform/settings/settings.h"

namespace {

constexpr double kMB = 1e6;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The device under test, its collect files, and the rates of md5sum and of
// dd iflag=direct of it.
class Volume {
 public:
  static Volume& Get() {
    static Volume volume;
    return volume;
  }

  bool Ready() const { return m_bReady; }
  const std::string& Device() const { return m_sDevice; }
  uint64_t Size() const { return m_nSize; }
  double Md5sumMBps() const { return m_dMd5sumMBps; }
  double DdDirectMBps() const { return m_dDdDirectMBps; }

  BackupDeviceInfo Record(uint64_t extentSize) const {
    const uint64_t extents = (m_nSize + extentSize - 1) / extentSize;
    return BackupDeviceInfo(true, "/mnt/bench", m_sDevice, "ext4", "rw", extentSize, m_nSize / 512, 4096,
                            (extents + 7) / 8);
  }
  // The collect file of part `part` of `parts` of the device's extents.
  std::string Collect(uint64_t extentSize, int part, int parts) {
    const std::string path = m_sFolder + "/collect_" + std::to_string(extentSize) + "_" + std::to_string(part) +
                             "_of_" + std::to_string(parts) + ".kzf";
    if (::access(path.c_str(), F_OK) != 0) {
      const uint64_t extents = (m_nSize + extentSize - 1) / extentSize;
      std::string text;
      char name[16];
      for (uint64_t n = extents * part / parts; n < extents * (part + 1) / parts; ++n) {
        ExtentNameConverter::Extent_dec_to_base32_v2(n, name, 8);
        text += "/mnt/bench/" + std::string(name) + "\n";
      }
      platform::WriteFileAtomically(path, text);
    }
    return path;
  }
  boost::shared_ptr<KzDeviceReader> SharedReader(uint64_t extentSize) {
    TarvosJobInfo job;
    boost::shared_ptr<KzDeviceReader> reader(new KzDeviceReaderUnix(job));
    BackupDeviceInfo record = Record(extentSize);
    if (reader->InitDevice(m_sDevice, record).IsError()) reader.reset();
    return reader;
  }

  // What a pass must not find warm: the loop device's buffers and the
  // image's pages (the loop device reads through them).
  void DropCaches() const {
    const int device = ::open(m_sDevice.c_str(), O_RDONLY);
    if (device >= 0) {
      ::ioctl(device, BLKFLSBUF, 0);
      ::close(device);
    }
    const int image = ::open(m_sImage.c_str(), O_RDONLY);
    if (image >= 0) {
      ::posix_fadvise(image, 0, 0, POSIX_FADV_DONTNEED);
      ::close(image);
    }
  }
  // MB/s of a command that reads the whole device, from cold caches.
  double ColdCommandMBps(const std::string& command) const {
    DropCaches();
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) return 0;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return static_cast<double>(m_nSize) / kMB / seconds;
  }

 private:
  Volume() : m_sDevice(Env("BLB_BENCH_DEVICE")), m_sImage(Env("BLB_BENCH_IMAGE")) {
    char pattern[] = "/tmp/extentreadbench.XXXXXX";
    m_sFolder = ::mkdtemp(pattern) ? pattern : "/tmp";
    platform::Settings::SetStateDir(m_sFolder.c_str());
    if (m_sDevice.empty() || m_sImage.empty() || !blbsim::InitStateDir()) return;
    const int fd = ::open(m_sDevice.c_str(), O_RDONLY);
    unsigned long long bytes = 0;
    if (fd < 0 || ::ioctl(fd, BLKGETSIZE64, &bytes) != 0) return;
    ::close(fd);
    m_nSize = bytes;
    m_dMd5sumMBps = ColdCommandMBps("md5sum " + m_sDevice + " > /dev/null");
    m_dDdDirectMBps = ColdCommandMBps("dd if=" + m_sDevice + " of=/dev/null bs=4M iflag=direct status=none");
    m_bReady = m_dMd5sumMBps > 0 && m_dDdDirectMBps > 0;
  }
  ~Volume() { platform::RemoveTree(m_sFolder); }

  std::string m_sDevice;
  std::string m_sImage;
  std::string m_sFolder;
  uint64_t m_nSize = 0;
  double m_dMd5sumMBps = 0;
  double m_dDdDirectMBps = 0;
  bool m_bReady = false;
};

// Told in the run's context, above the results.
const bool kColdReadsTold =
    (benchmark::AddCustomContext("reads",
                                 "cold: the loop device's buffers flushed and the image's pages dropped "
                                 "before every pass, md5sum and dd iflag=direct"),
     true);

// Reads a whole collect file; the number of extents, or -1 on a failure.
long long ReadAll(Volume& volume, const boost::shared_ptr<KzDeviceReader>& shared, uint64_t extentSize,
                  const std::string& collect, DeviceHashComputeMode mode, bool readAhead) {
  CVolumeReaderForBackup reader;
  CVolumeReaderForBackup::DeviceInfo info;
  info.sSnapDevice = volume.Device();
  info.oDeviceInfo = volume.Record(extentSize);
  info.pDeviceReader = shared;
  info.eHashMode = mode;
  info.sCollectFile = collect;
  info.nReadAheadCount = 8;
  if ((readAhead ? reader.Initialize3(info, 0) : reader.Initialize(info)).IsError()) return -1;
  long long count = 0;
  for (;;) {
    ExtentHashItem* item = nullptr;
    if (reader.GetNextExtent(item).IsError()) return -1;
    if (item == nullptr) return count;
    delete item;
    ++count;
  }
}

// Seconds a call takes.
template <class Function>
double Timed(Function function) {
  const auto start = std::chrono::steady_clock::now();
  function();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// MB/s over the timed passes, and its ratios to md5sum and dd iflag=direct.
double Report(benchmark::State& state, double seconds) {
  const Volume& volume = Volume::Get();
  const double bytes = static_cast<double>(volume.Size()) * static_cast<double>(state.iterations());
  const double rate = seconds > 0 ? bytes / kMB / seconds : 0;
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["MBps"] = rate;
  state.counters["vs_md5sum"] = rate / volume.Md5sumMBps();
  state.counters["vs_dd_direct"] = rate / volume.DdDirectMBps();
  return rate;
}

// The two commands' cold rates, as measured once before the benchmarks.
void BM_ColdCommands(benchmark::State& state) {
  Volume& volume = Volume::Get();
  if (!volume.Ready()) {
    state.SkipWithError("set BLB_BENCH_DEVICE and BLB_BENCH_IMAGE (scripts/extent-read-bench.sh)");
    return;
  }
  const double md5sum = volume.Md5sumMBps(), dd = volume.DdDirectMBps();
  const double mbps = state.range(0) == 0 ? md5sum : dd;
  for (auto _ : state) state.SetIterationTime(static_cast<double>(volume.Size()) / kMB / mbps);
  state.SetLabel(state.range(0) == 0 ? "md5sum" : "dd iflag=direct bs=4M");
  state.counters["MBps"] = mbps;
  state.counters["vs_md5sum"] = mbps / md5sum;
  state.counters["vs_dd_direct"] = mbps / dd;
}
BENCHMARK(BM_ColdCommands)
    ->ArgName("dd")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Args: extent size in MiB, mode, read-ahead (Initialize3).
void BM_BackupReaderOneStream(benchmark::State& state) {
  Volume& volume = Volume::Get();
  if (!volume.Ready()) {
    state.SkipWithError("no device");
    return;
  }
  const uint64_t extentSize = static_cast<uint64_t>(state.range(0)) << 20;
  const auto mode = static_cast<DeviceHashComputeMode>(state.range(1));
  const bool readAhead = state.range(2) != 0;
  const std::string collect = volume.Collect(extentSize, 0, 1);
  const auto shared = volume.SharedReader(extentSize);
  double seconds = 0;
  for (auto _ : state) {
    volume.DropCaches();
    long long count = 0;
    const double pass = Timed([&] { count = ReadAll(volume, shared, extentSize, collect, mode, readAhead); });
    if (count < 0) state.SkipWithError("read failed");
    state.SetIterationTime(pass);
    seconds += pass;
  }
  Report(state, seconds);
}
BENCHMARK(BM_BackupReaderOneStream)
    ->ArgNames({"MiB", "mode", "readahead"})
    ->ArgsProduct({{4, 1}, {0, 1, 2}, {0}})
    ->Args({4, 0, 1})
    ->Args({1, 0, 1})
    ->Args({4, 2, 1})
    ->Args({1, 2, 1})
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// N readers on N collect files sharing one device reader, mode 2;
// vs_one_stream is the ratio to N times one stream (the first run).
void BM_BackupReaderStreams(benchmark::State& state) {
  static double oneStreamMBps = 0;
  Volume& volume = Volume::Get();
  if (!volume.Ready()) {
    state.SkipWithError("no device");
    return;
  }
  const int streams = static_cast<int>(state.range(0));
  const uint64_t extentSize = 4ull << 20;
  std::vector<std::string> collects;
  for (int s = 0; s < streams; ++s) collects.push_back(volume.Collect(extentSize, s, streams));
  const auto shared = volume.SharedReader(extentSize);
  double seconds = 0;
  for (auto _ : state) {
    volume.DropCaches();
    std::vector<long long> counts(static_cast<size_t>(streams));
    const double pass = Timed([&] {
      std::vector<std::thread> threads;
      for (int s = 0; s < streams; ++s)
        threads.emplace_back([&, s] {
          counts[static_cast<size_t>(s)] =
              ReadAll(volume, shared, extentSize, collects[static_cast<size_t>(s)], HC_READ_AND_HASH_THREADS, false);
        });
      for (std::thread& thread : threads) thread.join();
    });
    for (long long count : counts)
      if (count < 0) state.SkipWithError("read failed");
    state.SetIterationTime(pass);
    seconds += pass;
  }
  const double rate = Report(state, seconds);
  if (streams == 1) oneStreamMBps = rate;
  state.counters["vs_one_stream"] = oneStreamMBps > 0 ? rate / (streams * oneStreamMBps) : 0;
}

void Streams(benchmark::internal::Benchmark* benchmark) {
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  for (int n = 1; n <= cores; n *= 2) benchmark->Arg(n);
}
BENCHMARK(BM_BackupReaderStreams)->Apply(Streams)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
