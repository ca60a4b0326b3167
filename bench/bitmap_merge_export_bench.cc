// The agent's bitmap merge of one 100 TiB volume at 4 MiB extents
// (3,276,800 bytes of bitmap) with eight listed bitmap files, against what it
// cannot do without: reading the nine files, OR-ing them with the bitmap
// helpers, writing one file and renaming it into place. The merge should stay
// within 1.3 times that.
//
// The merge also removes the eight files it consumed. Files the agent has
// just copied in are still in the page cache and go at once; files long on
// a disk mounted with "discard" make each removal wait for the device, which
// the baseline has no counterpart for, so the files are laid as just copied.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <list>
#include <random>
#include <string>

#include "blocklevel/blocklevel.h"
#include "platform/fs/fx_file.h"
#include "platform/guid/guid_factory.h"
#include "platform/harness/sim_harness.h"
#include "platform/sim/fs_util.h"
#include "records/block_device_config.h"
#include "tracking/volume_bitmap_helper.h"
#include "platform/settings/settings.h"

namespace {

constexpr unsigned long kBitmapBytes = (100ull << 40) / (4ull << 20) / 8;
constexpr int kListed = 8;

// A job-results directory listing the volume, its bitmap and eight more.
class MergeCase {
 public:
  MergeCase() {
    char pattern[] = "/tmp/mergebench.XXXXXX";
    m_sState = ::mkdtemp(pattern);
    platform::Settings::SetStateDir(m_sState.c_str());
    blbsim::InitStateDir();
    m_sDirectory = m_sState + "/jr";
    platform::MakeDirectories(m_sDirectory);
    BlockDeviceConfigReaderWriter config;
    config.InitWrite(m_sDirectory + "/BlockDeviceConfig.kzf", false, false);
    config.WriteNextBackupDevice(BackupDeviceInfo(true, "/mnt/big", "/dev/sdz9", "ext4", "rw", 4ull << 20,
                                                  (100ull << 40) / 512, 4096, kBitmapBytes));
    config.Close();
    const std::string key = CGuidFactory::get_guid_nosalt("/mnt/big") + ".bmp";
    m_sTarget = m_sDirectory + "/" + key;
    for (int i = 0; i < kListed; ++i) m_lListed.push_back(m_sDirectory + "/" + std::to_string(i) + "_" + key);
    std::mt19937 random(7);
    m_sBytes.resize(kBitmapBytes);
    for (char& byte : m_sBytes) byte = static_cast<char>(random() & 0x11);  // sparse changes
  }
  ~MergeCase() { platform::RemoveTree(m_sState); }

  // The nine files as each run finds them: just copied in by the agent, in
  // the page cache.
  void Lay() const {
    for (const std::string& file : m_lListed) Put(file);
    Put(m_sTarget);
  }
  bool Merge() const { return !MergeBitmapForBlockLevelSnap(7, 2, m_sDirectory, m_lListed).IsError(); }
  bool Baseline() const {
    unsigned char* merged = nullptr;
    bool ok = !VolumeBitMapHelper::ReadBitMapFromFile(m_sTarget, &merged, kBitmapBytes).IsError();
    for (const std::string& file : m_lListed) {
      unsigned char* other = nullptr;
      ok = ok && !VolumeBitMapHelper::ReadBitMapFromFile(file, &other, kBitmapBytes).IsError() &&
           !VolumeBitMapHelper::MergeBitMaps(merged, other, kBitmapBytes).IsError();
      std::free(other);
    }
    const std::string temporary = m_sTarget + "_tmp";
    ok = ok && !VolumeBitMapHelper::WriteBitMapToFile(temporary, merged, kBitmapBytes).IsError() &&
         rename_utf(temporary.c_str(), m_sTarget.c_str()) == 0;
    std::free(merged);
    return ok;
  }

 private:
  void Put(const std::string& path) const {
    std::FILE* file = std::fopen(path.c_str(), "we");
    if (file == nullptr) return;
    std::fwrite(m_sBytes.data(), 1, m_sBytes.size(), file);
    std::fclose(file);
  }

  std::string m_sState, m_sDirectory, m_sTarget, m_sBytes;
  std::list<std::string> m_lListed;
};

template <bool kMerge>
void Run(benchmark::State& state) {
  MergeCase merge;
  for (auto _ : state) {
    state.PauseTiming();
    merge.Lay();
    state.ResumeTiming();
    if (!(kMerge ? merge.Merge() : merge.Baseline())) state.SkipWithError("the merge failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kListed + 1) * kBitmapBytes);
}

void BM_MergeBitmapForBlockLevelSnap(benchmark::State& state) { Run<true>(state); }
void BM_ReadOrWriteRenameBaseline(benchmark::State& state) { Run<false>(state); }
BENCHMARK(BM_ReadOrWriteRenameBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MergeBitmapForBlockLevelSnap)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
