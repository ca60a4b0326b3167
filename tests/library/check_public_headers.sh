#!/bin/bash
# Each public header compiles on its own, warnings as errors, with every
# compiler given that is installed: the agent includes them with its own
# build's flags.
#   check_public_headers.sh SOURCE_ROOT COMPILER...
set -euo pipefail
root="$1"
shift
status=0
checked=0
for compiler in "$@"; do
  command -v "$compiler" >/dev/null 2>&1 || continue
  for header in "$root"/include/blocklevel/*.h; do
    name="${header#"$root"/include/}"
    if ! echo "#include \"$name\"" |
      "$compiler" -std=c++17 -Wall -Wextra -Wpedantic -Werror -I "$root/include" -I "$root" -x c++ -fsyntax-only -; then
      echo "$name does not compile on its own with $compiler"
      status=1
    fi
    checked=$((checked + 1))
  done
done
[ "$checked" -gt 0 ] || { echo "no compiler found: $*"; exit 1; }
exit $status
