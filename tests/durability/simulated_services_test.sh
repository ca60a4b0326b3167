#!/bin/bash
# The simulated services keep what they acknowledged across a power loss:
# the harness and the job command run against a fresh state directory under
# strace, and every file, record and folder they leave for a later step is
# synced (scripts/durability_audit.py audit). No root needed: the simulated
# driver tracks and copies an image file, and the job-results backup writes
# the archive stream.
#
# Usage: simulated_services_test.sh BLBSIM BLBJOB
set -euo pipefail
blbsim="$1"
blbjob="$2"
helper="$(cd "$(dirname "$0")/../../scripts" && pwd)/durability_audit.py"
if ! command -v strace >/dev/null || ! strace -f -qq -o /dev/null true 2>/dev/null; then
  echo "skipped: strace cannot trace here"
  exit 77
fi
work="$(mktemp -d /var/tmp/blb-services.XXXXXX)"
trap 'rm -rf "$work"' EXIT
export BLB_STATE_DIR="$work/state"
mkdir "$BLB_STATE_DIR"
truncate -s 8M "$work/disk.img"

findings="$work/findings"
: >"$findings"
n=0
# Each command is a step of its own: what it acknowledged is on disk when it
# returns.
for command in "$blbsim init $BLB_STATE_DIR" \
               "$blbsim subclient 2 7 2" \
               "$blbsim kzbf load" \
               "$blbsim kzbf attach $work/disk.img 1048576" \
               "$blbsim kzbf snap $work/disk.img" \
               "$blbjob jobresults -- -a 2:7 -j 1001 -t 1 -d stow1 -jt TOK"; do
  n=$((n + 1))
  if ! python3 "$helper" trace "$BLB_STATE_DIR" "$work" "step$n" $command; then
    echo "failed: $command"
    cat "$work/step$n.out"
    exit 1
  fi
  python3 "$helper" audit "$BLB_STATE_DIR" "$work" "step$n" | sed "s|^step$n|$command|" >>"$findings" || true
done
# The steps did what they stand for.
for made in agent.db registry.ini drivers/kzbf/snaps/.next drivers/kzbf/snaps/snap0.img archive/job-1001.stream; do
  [ -s "$BLB_STATE_DIR/$made" ] || echo "no $made" >>"$findings"
done
ls "$BLB_STATE_DIR"/drivers/kzbf/devices/*.dev >/dev/null || echo "no driver record" >>"$findings"
# The driver's detach removes its record, and the removal lasts.
command="$blbsim kzbf detach $work/disk.img"
python3 "$helper" trace "$BLB_STATE_DIR" "$work" detach $command >/dev/null || echo "failed: $command" >>"$findings"
python3 "$helper" audit "$BLB_STATE_DIR" "$work" detach | sed "s|^detach|$command|" >>"$findings" || true
! ls "$BLB_STATE_DIR"/drivers/kzbf/devices/*.dev >/dev/null 2>&1 || echo "a driver record outlived its detach" >>"$findings"
if [ -s "$findings" ]; then
  cat "$findings"
  exit 1
fi
echo "every step synced what it left"
