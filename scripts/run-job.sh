#!/bin/bash
# Installs what is missing, builds the library and its tools, and runs, as
# root, the snapshot phase of two block-level jobs of one subclient: a full
# and an incremental one of an ext4 file system on a loop device, against the
# simulated platform of a state directory (BLB_STATE_DIR, default
# /var/tmp/blbsim, started over). It then releases the jobs' snapshots,
# unmounts the file system and detaches the loop device; everything it made
# outside the state directory goes, on a failure too.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "$(id -u)" != 0 ]; then
  echo "run-job.sh: run it as root (loop devices, mounts, file-system freezes)" >&2
  exit 1
fi
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/normal" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build/normal" -j "$(nproc)"
export BLB_STATE_DIR="${BLB_STATE_DIR:-/var/tmp/blbsim}"
blbsim="$root/build/normal/tools/blbsim/blbsim"
blbjob="$root/build/normal/tools/blbjob/blbjob"

job_args() { echo "-a 2:7 -j $1 -t $2 -d stow1 -jt TOK"; }

work="$(mktemp -d /tmp/blbjob-run.XXXXXX)"
loop=""
mounted=0
cleanup() {
  set +e
  "$blbjob" release -- $(job_args 1001 1) >/dev/null 2>&1
  "$blbjob" release -- $(job_args 1002 2) >/dev/null 2>&1
  [ "$mounted" = 1 ] && umount "$work/mnt"
  # The loop device goes: the simulated driver stops tracking it, as a real
  # one would.
  [ -n "$loop" ] && "$blbsim" kzbf detach "$loop" >/dev/null 2>&1
  [ -n "$loop" ] && losetup -d "$loop"
  rm -rf "$work"
}
trap cleanup EXIT

"$blbsim" init --reset "$BLB_STATE_DIR" >/dev/null
"$blbsim" subclient 2 7 2
truncate -s 64M "$work/disk.img"
loop="$(losetup -f --show "$work/disk.img")"
mkfs.ext4 -q "$loop"
mkdir "$work/mnt"
mount "$loop" "$work/mnt"
mounted=1

echo "=== job 1001, full: $loop mounted at $work/mnt"
"$blbjob" snapshot --volume "$work/mnt" -- $(job_args 1001 1)
dd if=/dev/urandom of="$work/mnt/f" bs=1M count=1 conv=fsync status=none
echo "=== job 1002, incremental, after 1 MiB written"
"$blbjob" snapshot --volume "$work/mnt" -- $(job_args 1002 2)
"$blbsim" job show 1002
echo "=== releasing the snapshots"
"$blbjob" release -- $(job_args 1001 1)
"$blbjob" release -- $(job_args 1002 2)
echo "=== done; the state directory stays for inspection: $BLB_STATE_DIR"
