#!/bin/bash
# Fails when a built file names the source or build folder of the machine
# that built it (strings of every section): the shared object and the tools
# go to other machines, and their error chains, log lines and debug
# information name files relative to the project.
# Usage: check_no_build_paths.sh SOURCE_DIR BUILD_DIR FILE...
set -euo pipefail
source_dir="$1"
build_dir="$2"
shift 2
status=0
for file in "$@"; do
  found=$(strings -a "$file" | grep -F -e "$source_dir" -e "$build_dir" | sort -u | head -n 5 || true)
  if [ -n "$found" ]; then
    echo "$file names the build machine's tree:"
    echo "$found"
    status=1
  fi
done
exit $status
