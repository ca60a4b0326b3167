# Sourced by the scripts that build: sets `jobs`, how many compilers (and,
# for the tests, test programs) run at once: CMAKE_BUILD_PARALLEL_LEVEL, the
# variable `cmake --build` reads, else one per processor. On a shared
# machine, set it to leave the others their share.
jobs="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
if ! [[ "$jobs" =~ ^[1-9][0-9]*$ ]]; then
  echo "$(basename "$0"): CMAKE_BUILD_PARALLEL_LEVEL=$jobs is not a whole number of jobs from 1" >&2
  exit 1
fi
