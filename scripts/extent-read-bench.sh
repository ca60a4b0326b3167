#!/bin/bash
# Runs the extent-reading benchmark (bench/extent_read_bench.cc) as root: a
# 2 GiB pseudo-random image on a loop device, read and hashed through the
# backup reader, next to md5sum of the same bytes. Extra arguments go to the
# benchmark (e.g. --benchmark_filter=Streams).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BLB_BUILD_DIR:-$root/build/normal}"
size_mib="${BLB_BENCH_SIZE_MIB:-2048}"
if [ "$(id -u)" -ne 0 ]; then
  echo "run as root: the benchmark needs a loop device" >&2
  exit 2
fi
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target extent_read_bench

work="$(mktemp -d /var/tmp/extentreadbench.XXXXXX)"
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
# Written out, so that dropping the image's pages before a pass drops them all.
sync "$image"
device="$(losetup -f --show "$image")"
BLB_BENCH_DEVICE="$device" BLB_BENCH_IMAGE="$image" "$build/bench/extent_read_bench" "$@"
