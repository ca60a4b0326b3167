// Failable calls sit on per-extent paths (millions per volume), so checking
// for an injected fault must cost next to nothing when none is set for the
// call: well under 100 ns.
#include <benchmark/benchmark.h>

#include "bench/bench_state_dir.h"
#include "platform/sim/fault_table.h"

namespace {

void CheckLoop(benchmark::State& state) {
  for (auto _ : state) {
    int code = 0;
    benchmark::DoNotOptimize(platform::InjectedFaultCode("KzBfDriver::getBitmap", code));
  }
}

void BM_FailableCallWithoutFaults(benchmark::State& state) {
  BenchStateDir dir;
  if (!dir.ok()) state.SkipWithError("no state directory");
  CheckLoop(state);
}
BENCHMARK(BM_FailableCallWithoutFaults);

void BM_FailableCallWithAnUnrelatedFault(benchmark::State& state) {
  BenchStateDir dir;
  if (!dir.ok()) state.SkipWithError("no state directory");
  platform::FaultTable::Set("KzFileLock::lock", 5);
  CheckLoop(state);
}
BENCHMARK(BM_FailableCallWithAnUnrelatedFault);

void BM_FailableCallWithoutFaultsOnEightThreads(benchmark::State& state) {
  static BenchStateDir* dir = nullptr;
  if (state.thread_index() == 0) dir = new BenchStateDir();
  CheckLoop(state);
  if (state.thread_index() == 0) delete dir;
}
BENCHMARK(BM_FailableCallWithoutFaultsOnEightThreads)->Threads(8);

}  // namespace
