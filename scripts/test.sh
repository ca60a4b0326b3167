#!/bin/bash
# Installs what is missing, builds from scratch with warnings as errors, and runs
# every test twice: in a normal build and under AddressSanitizer and
# UndefinedBehaviorSanitizer. CMAKE_BUILD_PARALLEL_LEVEL (default: one per
# processor) is how many compilers, and then tests, run at once.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/build-jobs.sh"
"$root/scripts/install-deps.sh"

run_configuration() {
  local name="$1"; shift
  local dir="$root/build/$name"
  rm -rf "$dir"
  echo "=== $name: configure and build"
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== $name: tests"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600)
}

run_configuration normal
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_configuration sanitize -DBLB_SANITIZE=ON -DBLB_BENCHMARKS=OFF
