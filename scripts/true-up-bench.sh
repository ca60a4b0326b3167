#!/bin/bash
# Runs the true-up benchmark (bench/true_up_bench.cc) as root: a 2 GiB
# pseudo-random image on a loop device (512 extents of 4 MiB), its extent
# view in the simulated index, and the true-up's run and table stages.
# Extra arguments go to the benchmark (e.g. --benchmark_filter=Paging).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BLB_BUILD_DIR:-$root/build/normal}"
size_mib="${BLB_BENCH_SIZE_MIB:-2048}"
if [ "$(id -u)" -ne 0 ]; then
  echo "run as root: the benchmark needs a loop device" >&2
  exit 2
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 4 --target true_up_bench

work="$(mktemp -d /var/tmp/trueupbenchimage.XXXXXX)"
device=""
cleanup() {
  [ -n "$device" ] && losetup -d "$device"
  rm -rf "$work"
}
trap cleanup EXIT
image="$work/image.img"
# Pseudo-random bytes at memory speed (AES-CTR of zeros).
head -c "$((size_mib * 1048576))" /dev/zero |
  openssl enc -aes-128-ctr -nosalt -pass pass:blocklevel -pbkdf2 2>/dev/null >"$image"
sync "$image"
device="$(losetup -f --show "$image")"
BLB_BENCH_DEVICE="$device" BLB_BENCH_IMAGE="$image" "$build/bench/true_up_bench" "$@"
