// Merges of a 100 TiB volume's changed-extent bitmap at 4 MiB extents
// (26,214,400 extents, 3.2 MiB of bitmap). They run once per volume per scan
// and per snapshot, so they must go at memory speed: the scan's corrections
// (synthetic-full missing extents, the cumulative comparison, the all-set
// test) within twice the plain OR's time.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "bench_job_seed.h"
#include "platform/fsparser/fs_parser.h"
#include "platform/harness/index_harness.h"
#include "platform/harness/job_harness.h"
#include "platform/harness/sim_harness.h"
#include "platform/sim/fs_util.h"
#include "platform/sim/state_db.h"
#include "scan/cumulative_bitmap_helper.h"
#include "scan/cumulative_bitmap_words.h"
#include "tracking/volume_bitmap_helper.h"
#include "platform/settings/settings.h"

namespace {

constexpr unsigned long kBitmapBytes = (100ull << 40) / (4ull << 20) / 8;

std::vector<unsigned char> Random(unsigned seed) {
  std::mt19937 random(seed);
  std::vector<unsigned char> bytes(kBitmapBytes);
  for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
  return bytes;
}

// Random bitmaps (range 0) or all ones (range 1).
std::vector<unsigned char> Bitmap(const benchmark::State& state, unsigned seed) {
  return state.range(0) == 0 ? Random(seed) : std::vector<unsigned char>(kBitmapBytes, 0xFF);
}

void Bytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBitmapBytes));
}

void BM_MergeBitMaps(benchmark::State& state) {
  std::vector<unsigned char> destination = Bitmap(state, 1), source = Bitmap(state, 2);
  for (auto _ : state) {
    VolumeBitMapHelper::MergeBitMaps(destination.data(), source.data(), kBitmapBytes);
    benchmark::ClobberMemory();
  }
  Bytes(state);
}
BENCHMARK(BM_MergeBitMaps)->Arg(0)->Arg(1);

void BM_MergeDataBitMaps(benchmark::State& state) {
  std::vector<unsigned char> bitmap = Random(1), data = Random(2);
  for (auto _ : state) {
    VolumeBitMapHelper::MergeDataBitMaps(bitmap.data(), data.data(), kBitmapBytes);
    benchmark::ClobberMemory();
  }
  Bytes(state);
}
BENCHMARK(BM_MergeDataBitMaps);

void BM_SetBitMapForFULL(benchmark::State& state) {
  std::vector<unsigned char> bitmap = Random(1);
  for (auto _ : state) {
    VolumeBitMapHelper::SetBitMapForFULL(bitmap.data(), kBitmapBytes);
    benchmark::ClobberMemory();
  }
  Bytes(state);
}
BENCHMARK(BM_SetBitMapForFULL);

// A state directory of its own for the helper's simulated platform: a
// subclient with indexing V2 whose index holds a bitmap of component "C", and
// its running job 101, which the helper joins to tell the job manager it took
// the component.
class HelperPlatform {
 public:
  explicit HelperPlatform(const std::vector<unsigned char>& indexBitmap) {
    char folder[] = "/tmp/blbbench.XXXXXX";
    if (::mkdtemp(folder) == nullptr) return;
    path_ = folder;
    platform::Settings::SetStateDir(folder);
    ::setenv("BLB_LOG_LEVEL", "1", 1);
    blbsim::InitStateDir();
    SeedMissedExtentsOfComponentC(std::string(indexBitmap.begin(), indexBitmap.end()));
  }
  ~HelperPlatform() {
    platform::StateDb::CloseCurrent();
    if (!path_.empty()) platform::RemoveTree(path_);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

void BM_MergeMissingExtsFromSFV(benchmark::State& state) {
  const std::vector<unsigned char> change = Bitmap(state, 1), data = Bitmap(state, 2);
  HelperPlatform platform(Bitmap(state, 3));
  TarvosJobInfo job({"-a", "2:7", "-j", "101", "-t", "2", "-d", "ss1", "-jt", "tok", "-lvwme", "C"});
  job.ParseArgs(false);
  CCumulativeBitmapHelper helper(job, platform.Path(), 9, 0);
  std::map<std::string, std::string> none;
  CQiError err = helper.Initialize(none);
  if (err.IsError()) state.SkipWithError(err.AsString().c_str());
  TrueUpVolInfo::VolumeBitmapsPtr bitmaps(new TrueUpVolInfo::VolumeBitmaps);
  bitmaps->Reset(TrueUpVolInfo::VolumeBitmaps::kChange, TrueUpVolInfo::VolumeBitmaps::Allocate(kBitmapBytes));
  bitmaps->Reset(TrueUpVolInfo::VolumeBitmaps::kDataOnly, TrueUpVolInfo::VolumeBitmaps::Allocate(kBitmapBytes));
  std::memcpy((*bitmaps)[TrueUpVolInfo::VolumeBitmaps::kDataOnly], data.data(), kBitmapBytes);
  for (auto _ : state) {
    // Each round corrects the same change bitmap afresh.
    state.PauseTiming();
    std::memcpy((*bitmaps)[TrueUpVolInfo::VolumeBitmaps::kChange], change.data(), kBitmapBytes);
    state.ResumeTiming();
    helper.MergeMissingExtsFromSFV("/mnt/v1", "C", kBitmapBytes, bitmaps);
    benchmark::ClobberMemory();
  }
  Bytes(state);
}
BENCHMARK(BM_MergeMissingExtsFromSFV)->Arg(0)->Arg(1);

// The cumulative comparison as the helper runs it at log level 1, with the
// previous job's bitmap in memory.
void BM_CumulativeCorrection(benchmark::State& state) {
  const std::vector<unsigned char> change = Bitmap(state, 1), data = Bitmap(state, 2), previous = Bitmap(state, 3);
  std::vector<unsigned char> corrected(kBitmapBytes);
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(corrected.data(), change.data(), kBitmapBytes);
    state.ResumeTiming();
    benchmark::DoNotOptimize(
        cumulative_words::AddUsedExtentsNotInQuietly(corrected.data(), data.data(), previous.data(), kBitmapBytes));
    benchmark::ClobberMemory();
  }
  Bytes(state);
}
BENCHMARK(BM_CumulativeCorrection)->Arg(0)->Arg(1);

void BM_AreAllBitsSet(benchmark::State& state) {
  std::vector<unsigned char> bitmap = Bitmap(state, 1);
  // A random bitmap is told at its first word; one clear bit at the end
  // makes the all-ones case read everything.
  if (state.range(0) == 1) bitmap.back() = 0x7F;
  for (auto _ : state) benchmark::DoNotOptimize(CCumulativeBitmapHelper::AreAllBitsSet(kBitmapBytes, bitmap.data()));
  Bytes(state);
}
BENCHMARK(BM_AreAllBitsSet)->Arg(0)->Arg(1);

// The bit-at-a-time OR, for comparison only.
void BM_PerBitOrReference(benchmark::State& state) {
  std::vector<unsigned char> destination = Random(1), source = Random(2);
  for (auto _ : state) {
    for (long long bit = 0; bit < static_cast<long long>(kBitmapBytes) * 8; ++bit)
      if (FsParser::test_bmp_bit(bit, source.data()) && !FsParser::test_bmp_bit(bit, destination.data()))
        FsParser::set_bmp_bit(bit, destination.data());
    benchmark::ClobberMemory();
  }
  Bytes(state);
}
BENCHMARK(BM_PerBitOrReference);

}  // namespace
