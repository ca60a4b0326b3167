// The collect files of a 100 TiB volume at 4 MiB extents (26,214,400
// extents, all of them listed), in one file and split over 4 streams with
// starvation factor 3. They are written once per volume per scan and must go
// at 20 million lines a second or more, durable on disk.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <list>
#include <string>

#include "platform/harness/sim_harness.h"
#include "platform/sim/fs_util.h"
#include "records/block_device_config.h"
#include "scan/collect_file_manager.h"
#include "platform/settings/settings.h"

namespace {

constexpr uint64_t kExtents = (100ull << 40) / (4ull << 20);

// A job of its own under a fresh state directory, its volume assembled once.
class BigVolumeScan {
 public:
  BigVolumeScan() {
    char pattern[] = "/tmp/collectbench.XXXXXX";
    m_sState = ::mkdtemp(pattern);
    platform::Settings::SetStateDir(m_sState.c_str());
    blbsim::InitStateDir();
    const std::string jr = m_sState + "/jr";
    platform::MakeDirectories(jr);
    BlockDeviceConfigReaderWriter config;
    config.InitWrite(jr + "/BlockDeviceConfig.kzf", false, false);
    config.WriteNextBackupDevice(BackupDeviceInfo(true, "/mnt/big", "/dev/sdz9", "ext4", "rw", 4ull << 20,
                                                  (100ull << 40) / 512, 4096, kExtents / 8));
    config.Close();
    // Zeros: no file system to narrow the volume down with.
    const std::string snapshot = m_sState + "/snap";
    platform::WriteFileAtomically(snapshot, std::string(1 << 20, '\0'));
    m_lVolumes.push_back({"/mnt/big", snapshot});

    TarvosJobInfo job({"-a", "2:7", "-j", "101", "-t", "1", "-d", "ss1"});
    job.ParseArgs(false);
    job.SetJobResultsDir(jr);
    m_pManager.reset(new CollectFileManager(job, 9, 0));
    m_bReady = !m_pManager->InitCumBmpHelper().IsError() && !m_pManager->FetchBitmapForVolumes(m_lVolumes).IsError();
  }
  ~BigVolumeScan() { platform::RemoveTree(m_sState); }

  bool Ready() const { return m_bReady; }
  bool Write(int streams, bool multipleReaders, int starvation) {
    unsigned int total = 0;
    return !m_pManager->GenerateCollectFilesForPaths(m_lVolumes, streams, multipleReaders, starvation, total)
                .IsError() &&
           total == kExtents;
  }

 private:
  std::string m_sState;
  std::list<ScanObjects_t> m_lVolumes;
  std::unique_ptr<CollectFileManager> m_pManager;
  bool m_bReady = false;
};

void BM_CollectFiles100TiB(benchmark::State& state) {
  BigVolumeScan scan;
  if (!scan.Ready()) state.SkipWithError("the volume could not be assembled");
  const int streams = static_cast<int>(state.range(0));
  for (auto _ : state)
    if (!scan.Write(streams, streams > 1, 3)) state.SkipWithError("collect files failed");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kExtents));
}
BENCHMARK(BM_CollectFiles100TiB)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
