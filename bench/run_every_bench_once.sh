#!/bin/bash
# Runs every benchmark of the build once, briefly, so that one that can no
# longer run (a set-up the code has outgrown) is seen: fails on a benchmark
# that reports "ERROR OCCURRED" or exits with an error. The extent-reading
# benchmark gets a small pseudo-random image on a loop device of its own.
#
# Usage: run_every_bench_once.sh <folder of the benchmark programs>
set -euo pipefail
folder="$1"
work="$(mktemp -d /var/tmp/benchonce.XXXXXX)"
device=""
cleanup() {
  if [[ -n "$device" ]]; then losetup -d "$device"; fi
  rm -rf "$work"
}
trap cleanup EXIT

head -c $((16 << 20)) /dev/urandom >"$work/image.img"
device="$(losetup -f --show "$work/image.img")"
export BLB_BENCH_DEVICE="$device" BLB_BENCH_IMAGE="$work/image.img" BLB_STATE_DIR="$work/state" BLB_BENCH_BRIEF=1

status=0
count=0
for program in "$folder"/*_bench; do
  [[ -x "$program" ]] || continue
  count=$((count + 1))
  name="$(basename "$program")"
  if ! "$program" --benchmark_min_time=0.001 >"$work/$name.out" 2>&1; then
    echo "$name exited with an error:"
    cat "$work/$name.out"
    status=1
  elif grep -q "ERROR OCCURRED" "$work/$name.out"; then
    echo "$name:"
    grep "ERROR OCCURRED" "$work/$name.out"
    status=1
  fi
done
echo "$count benchmark programs run"
[[ "$count" -gt 0 ]] || status=1
exit $status
