// Attached files travel through index items as base-85 chunks of 64 KiB:
// encoding and decoding must never be the slow part of an upload or a
// restore (one allocation per chunk, none per byte or group).
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "bench/bench_state_dir.h"
#include "platform/text/ascii85.h"

namespace {

std::string RandomChunk() {
  std::mt19937 random(85);
  std::string bytes(0x10000, '\0');
  for (char& b : bytes) b = static_cast<char>(random());
  return bytes;
}

void BM_Ascii85EncodeChunk(benchmark::State& state) {
  const std::string bytes = RandomChunk();
  std::string text;
  for (auto _ : state) {
    CAscii85::Encode(bytes.data(), bytes.size(), text);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Ascii85EncodeChunk);

void BM_Ascii85DecodeChunk(benchmark::State& state) {
  BenchStateDir dir;
  if (!dir.ok()) state.SkipWithError("no state directory");
  const std::string bytes = RandomChunk();
  std::string text;
  CAscii85::Encode(bytes.data(), bytes.size(), text);
  std::string decoded;
  for (auto _ : state) {
    benchmark::DoNotOptimize(CAscii85::Decode(text, decoded).IsError());
    benchmark::DoNotOptimize(decoded.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Ascii85DecodeChunk);

}  // namespace
