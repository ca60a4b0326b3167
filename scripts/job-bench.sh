#!/bin/bash
# Measures, as root, the backup phase of a whole full job against plain
# tools over the same snapshot in the same run: a 2 GiB ext4 holding 1.5 GiB
# of random files on a loop device, one snapshot, its scan and backup with 1
# and with 4 streams, then md5sum and dd iflag=direct of the snapshot. It
# prints each rate and the ratios of the backup's MB/s to them.
#
# Every measured read is cold. The snapshot is a loop device over an image
# file that the copy leaves wholly in the page cache, so a warm read is a
# memory read. Before each measurement the snapshot's buffers are flushed
# and the image's pages dropped (dd iflag=nocache: posix_fadvise DONTNEED),
# and fincore shows what stayed cached.
#
# It installs what is missing and builds into build/normal (reused when
# there), unless BLBSIM and BLBJOB name built programs. Its image (2 GiB),
# the snapshot's copy (2 GiB) and the simulated platform's state go in a
# folder of its own under TMPDIR (default /var/tmp), removed with the rest.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "$(id -u)" != 0 ]; then
  echo "job-bench.sh: run it as root (loop devices, mounts, file-system freezes)" >&2
  exit 1
fi
if [ -z "${BLBSIM:-}" ] || [ -z "${BLBJOB:-}" ]; then
  "$root/scripts/install-deps.sh"
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$root" -B "$root/build/normal" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
  cmake --build "$root/build/normal" -j "$(nproc)" --target blbsim blbjob
  BLBSIM="$root/build/normal/tools/blbsim/blbsim"
  BLBJOB="$root/build/normal/tools/blbjob/blbjob"
fi

# Under TMPDIR when set; else /var/tmp, which is on disk where /tmp may be
# memory (tmpfs), whose image no cold read could be made of.
work="$(mktemp -d "${TMPDIR:-/var/tmp}/blbjob-bench.XXXXXX")"
export BLB_STATE_DIR="$work/state"
job_args="-a 2:7 -j 1 -t 1 -d stow1 -jt TOK"
loop=""
mounted=0
cleanup() {
  set +e
  "$BLBJOB" release -- $job_args >/dev/null 2>&1
  [ "$mounted" = 1 ] && "$root/scripts/unmount.sh" "$work/mnt"
  [ -n "$loop" ] && "$BLBSIM" kzbf detach "$loop" >/dev/null 2>&1
  [ -n "$loop" ] && losetup -d "$loop"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"$BLBSIM" init "$BLB_STATE_DIR" >/dev/null
"$BLBSIM" subclient 2 7 2
truncate -s 2G "$work/disk.img"
loop="$(losetup -f --show "$work/disk.img")"
mkfs.ext4 -q -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 "$loop"
mkdir "$work/mnt"
mount "$loop" "$work/mnt"
mounted=1
echo "=== writing 1.5 GiB of random files"
for i in 1 2 3 4 5 6; do
  # Pseudo-random bytes at memory speed (AES-CTR of zeros).
  head -c 256M /dev/zero |
    openssl enc -aes-128-ctr -nosalt -pass "pass:job-bench-$i" -pbkdf2 2>/dev/null >"$work/mnt/file$i"
done
sync

echo "=== snapshot"
"$BLBJOB" snapshot --volume "$work/mnt" -- $job_args >/dev/null
snap="$("$BLBSIM" job show 1 | sed -n 's/.*snapshot=\([^ ]*\).*/\1/p' | head -n 1)"
size="$(blockdev --getsize64 "$snap")"
image="$(losetup -n -O BACK-FILE "$snap")"

# Nothing of the snapshot in memory: the image written out, its pages and
# the loop device's buffers dropped. Prints the bytes still cached.
cold() {
  sync "$image"
  blockdev --flushbufs "$snap"
  dd if="$image" iflag=nocache count=0 status=none
  fincore -b -n -o RES "$image" | tr -d ' '
}
cached_before=()

now() { date +%s.%N; }
rate() { awk -v b="$1" -v s="$2" -v e="$3" 'BEGIN { printf "%.1f", b / 1048576 / (e - s) }'; }
# The backup phase's MB/s with the given streams into `measured`, after a
# scan for them (which reads the snapshot's file-system metadata).
backup_rate() {
  "$BLBJOB" scan --streams "$1" --multiple-readers -- $job_args >/dev/null
  cached_before+=("$(cold)")
  measured="$("$BLBJOB" backup --streams "$1" -- $job_args | sed -n 's/^backup .*mb_per_s=\([0-9.]*\).*/\1/p')"
}
echo "=== backup with 1 stream, with 4, md5sum and dd of the snapshot ($size bytes), each read cold"
backup_rate 1
backup1="$measured"
backup_rate 4
backup4="$measured"
cached_before+=("$(cold)")
start="$(now)"
md5sum <"$snap" >/dev/null
md5="$(rate "$size" "$start" "$(now)")"
cached_before+=("$(cold)")
start="$(now)"
dd if="$snap" of=/dev/null bs=4M iflag=direct status=none
dd_rate="$(rate "$size" "$start" "$(now)")"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "reads: cold (image pages dropped and loop buffers flushed before each; image bytes cached at each start:" \
  "${cached_before[*]})"
echo "MB/s: backup_1_stream=$backup1 backup_4_streams=$backup4 md5sum=$md5 dd_direct=$dd_rate"
echo "ratio backup_1_stream/md5sum=$(ratio "$backup1" "$md5")"
echo "ratio backup_1_stream/dd_direct=$(ratio "$backup1" "$dd_rate")"
echo "ratio backup_4_streams/md5sum=$(ratio "$backup4" "$md5")"
echo "ratio backup_4_streams/dd_direct=$(ratio "$backup4" "$dd_rate")"
