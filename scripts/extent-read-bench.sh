#!/bin/bash
# Runs the extent-reading benchmark (bench/extent_read_bench.cc) as root: a
# 2 GiB pseudo-random image on a loop device, read and hashed through the
# backup reader, next to md5sum of the same bytes. Extra arguments go to the
# benchmark (e.g. --benchmark_filter=Streams).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BLB_BUILD_DIR:-$root/build/normal}"
if [ "$(id -u)" -ne 0 ]; then
  echo "run as root: the benchmark needs a loop device" >&2
  exit 2
fi
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target extent_read_bench

"$root/scripts/bench-on-random-image.sh" extentreadbench "$build/bench/extent_read_bench" "$@"
