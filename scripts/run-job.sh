#!/bin/bash
# Installs what is missing, builds the library and its tools, and runs them on
# a state directory of the simulated platform (default /var/tmp/blbsim).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/normal" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build/normal" -j "$(nproc)"
export BLB_STATE_DIR="${BLB_STATE_DIR:-/var/tmp/blbsim}"
"$root/build/normal/tools/blbsim/blbsim" init "$BLB_STATE_DIR"
"$root/build/normal/tools/blbsim/blbsim" help
