// Merges of a 100 TiB volume's changed-extent bitmap at 4 MiB extents
// (26,214,400 extents, 3.2 MiB of bitmap). They run once per volume per scan
// and per snapshot, so they must go at memory speed.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "platform/fsparser/fs_parser.h"
#include "tracking/volume_bitmap_helper.h"

namespace {

constexpr unsigned long kBitmapBytes = (100ull << 40) / (4ull << 20) / 8;

std::vector<unsigned char> Random(unsigned seed) {
  std::mt19937 random(seed);
  std::vector<unsigned char> bytes(kBitmapBytes);
  for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
  return bytes;
}

void Bytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBitmapBytes));
}

void BM_MergeBitMaps(benchmark::State& state) {
  std::vector<unsigned char> destination = Random(1), source = Random(2);
  for (auto _ : state) {
    VolumeBitMapHelper::MergeBitMaps(destination.data(), source.data(), kBitmapBytes);
    benchmark::ClobberMemory();
  }
  Bytes(state);
}
BENCHMARK(BM_MergeBitMaps);

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
