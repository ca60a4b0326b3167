// The simulated KZBF driver reads and digests a whole device at every
// getBitmap; a 64 MiB device at 4 MiB extents must rescan in well under a
// second so that tests and harness runs over real writes stay quick.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/driver/extent_digest.h"

namespace {

void BM_DigestExtents64MiB(benchmark::State& state) {
  char pattern[] = "/tmp/kzbfbench.XXXXXX";
  const int fd = ::mkstemp(pattern);
  std::string data(1 << 20, 'd');
  for (int i = 0; i < 64; ++i) {
    data[0] = static_cast<char>(i);
    if (::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) state.SkipWithError("write");
  }
  ::close(fd);
  std::vector<platform::ExtentDigest> digests;
  uint64_t size = 0;
  for (auto _ : state) {
    if (platform::DigestExtents(pattern, 4 << 20, digests, size) != 0) state.SkipWithError("digest");
    benchmark::DoNotOptimize(digests.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (64 << 20));
  ::unlink(pattern);
}
BENCHMARK(BM_DigestExtents64MiB)->Unit(benchmark::kMillisecond);

}  // namespace
