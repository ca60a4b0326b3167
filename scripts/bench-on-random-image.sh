#!/bin/bash
# Runs a benchmark that reads a device, as root: makes a pseudo-random image
# of BLB_BENCH_SIZE_MIB MiB (default 2048) in a fresh /var/tmp/<name>.XXXXXX
# folder, attaches it to a loop device and runs the benchmark with the two
# named in BLB_BENCH_DEVICE and BLB_BENCH_IMAGE; both go when it ends.
# Usage: bench-on-random-image.sh <folder name> <benchmark> [its arguments]
set -euo pipefail
name="$1"
benchmark="$2"
shift 2
size_mib="${BLB_BENCH_SIZE_MIB:-2048}"

work="$(mktemp -d "/var/tmp/$name.XXXXXX")"
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
BLB_BENCH_DEVICE="$device" BLB_BENCH_IMAGE="$image" "$benchmark" "$@"
