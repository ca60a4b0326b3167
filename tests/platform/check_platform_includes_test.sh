#!/bin/bash
# The platform include check on a scratch tree: every spelling that reaches a
# library header fails it, platform and system headers pass.
set -euo pipefail
check="$1"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/src/records" "$scratch/include/blocklevel" "$scratch/platform/log/detail"
echo '#pragma once' >"$scratch/src/records/volume_config.h"
echo '#pragma once' >"$scratch/include/blocklevel/exports.h"
echo '#pragma once' >"$scratch/platform/log/detail/level.h"

# check <expected status> <include line> [file under platform/]
failures=0
check_spelling() {
  local expected="$1" line="$2" file="${3:-platform/log/writer.h}" status=0
  printf '#pragma once\n#include <string>\n%s\n' "$line" >"$scratch/$file"
  "$check" "$scratch" "$scratch" "$scratch/src" "$scratch/include" >"$scratch/out" || status=$?
  if [[ "$status" != "$expected" ]]; then
    echo "FAILED: '$line' in $file: status $status, expected $expected"
    cat "$scratch/out"
    failures=$((failures + 1))
  fi
  rm -f "$scratch/$file"
}

check_spelling 1 '#include "../../src/records/volume_config.h"'
check_spelling 1 '#include "../src/records/volume_config.h"' platform/top.h
check_spelling 1 '#include "../../../src/records/volume_config.h"' platform/log/detail/deep.cc
check_spelling 1 '#include "src/records/volume_config.h"'
check_spelling 1 '#include "records/volume_config.h"'
check_spelling 1 '#include <records/volume_config.h>'
check_spelling 1 '  #  include "blocklevel/exports.h"'
check_spelling 1 '#include "../../include/blocklevel/exports.h"'
check_spelling 1 '#include "../log/../../src/records/volume_config.h"'
check_spelling 0 '#include "platform/log/detail/level.h"'
check_spelling 0 '#include "detail/level.h"'
check_spelling 0 '#include "../log/detail/level.h"'
check_spelling 0 '#include <vector>'
exit $((failures > 0))
