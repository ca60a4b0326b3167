#!/bin/bash
# Runs the true-up benchmark (bench/true_up_bench.cc) as root: a 2 GiB
# pseudo-random image on a loop device (512 extents of 4 MiB), its extent
# view in the simulated index, and the true-up's run and table stages.
# Extra arguments go to the benchmark (e.g. --benchmark_filter=Paging).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BLB_BUILD_DIR:-$root/build/normal}"
if [ "$(id -u)" -ne 0 ]; then
  echo "run as root: the benchmark needs a loop device" >&2
  exit 2
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 4 --target true_up_bench

"$root/scripts/bench-on-random-image.sh" trueupbenchimage "$build/bench/true_up_bench" "$@"
