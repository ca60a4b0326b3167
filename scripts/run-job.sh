#!/bin/bash
# Runs, as root, a full and an incremental block-level job of one subclient
# end to end (snapshot, scan, backup, release) against the simulated platform
# of a state directory (BLB_STATE_DIR, default /var/tmp/blbsim, started
# over), then checks the jobs' output without the library's code.
#
#   scripts/run-job.sh            a 256 MiB ext4 on a loop device of its own
#   scripts/run-job.sh DEVICE     a mounted ext4 device (ext2, ext3 too; any
#                                 other is refused: the check reads ext's
#                                 allocation): files are written only in a
#                                 scratch folder of it
#
# Room it needs, checked before it starts: twice the device's size in the
# state directory (each job keeps its snapshot, a full-size copy), and the
# image (256 MiB) in its work folder under TMPDIR (default /tmp), or 52 MiB
# free on the given device's file system for the files it writes.
#
# It installs what is missing and builds into build/normal (reused when
# there; CMAKE_BUILD_PARALLEL_LEVEL compilers at once, default one per
# processor), unless BLBSIM and BLBJOB name built programs. Everything it made
# outside the state directory goes afterwards, on a failure or an interrupt
# too; the state directory stays for inspection.
#
# The check: every extent whose bytes differ between the two snapshots and
# that the incremental snapshot's file system uses (dumpe2fs) is listed in
# the incremental's collect files, no listed extent is unused, and every
# hash of both jobs' hash files is the MD5 (md5sum) of the extent's bytes
# read from the job's snapshot, zero-padded for a partial last extent.
#
# Test hook: RUN_JOB_SNAPSHOT_DELAY_MS=<ms> holds the first job's snapshot
# copy that long inside its frozen window (the simulated driver's delay
# fault), so that an interrupt can be sent there.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "$(id -u)" != 0 ]; then
  echo "run-job.sh: run it as root (loop devices, mounts, file-system freezes)" >&2
  exit 1
fi
given="${1:-}"
if [ -z "${BLBSIM:-}" ] || [ -z "${BLBJOB:-}" ]; then
  . "$root/scripts/build-jobs.sh"
  "$root/scripts/install-deps.sh"
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$root" -B "$root/build/normal" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
  cmake --build "$root/build/normal" -j "$jobs" --target blbsim blbjob
  BLBSIM="$root/build/normal/tools/blbsim/blbsim"
  BLBJOB="$root/build/normal/tools/blbjob/blbjob"
fi
export BLB_STATE_DIR="${BLB_STATE_DIR:-/var/tmp/blbsim}"

job_args() { echo "-a 2:7 -j $1 -t $2 -d stow1 -jt TOK${3:+ -lsjid $3}"; }

work="$(mktemp -d "${TMPDIR:-/tmp}/blbjob-run.XXXXXX")"
loop=""
mounted=0
scratch=""
cleanup() {
  set +e
  "$BLBJOB" release -- $(job_args 1001 1) >/dev/null 2>&1
  "$BLBJOB" release -- $(job_args 1002 2) >/dev/null 2>&1
  [ -n "$scratch" ] && rm -rf "$scratch"
  [ "$mounted" = 1 ] && "$root/scripts/unmount.sh" "$work/mnt"
  # The loop device goes: the simulated driver stops tracking it, as a real
  # one would.
  [ -n "$loop" ] && "$BLBSIM" kzbf detach "$loop" >/dev/null 2>&1
  [ -n "$loop" ] && losetup -d "$loop"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A device that is not mounted, or whose file system the check cannot read
# (it reads the allocation with dumpe2fs), is refused before the state
# starts over.
if [ -n "$given" ]; then
  volume="$(findmnt -n -o TARGET --source "$given" | head -n 1 || true)"
  if [ -z "$volume" ]; then
    echo "run-job.sh: $given is not mounted" >&2
    exit 1
  fi
  fstype="$(findmnt -n -o FSTYPE --source "$given" | head -n 1 || true)"
  case "$fstype" in
    ext2 | ext3 | ext4) ;;
    *)
      echo "run-job.sh: $given holds ${fstype:-no file system it knows}, which its check cannot read:" \
           "give a device that holds a mounted ext4 (or ext2, ext3), or none for an ext4 of its own" >&2
      exit 1
      ;;
  esac
fi

# The room the run takes, per file system; refused, saying what needs how
# much where, before anything is made.
declare -A need_bytes=() need_what=() need_path=()
needs() { # BYTES PATH WHAT
  local dir="$2" fs
  while [ ! -d "$dir" ]; do dir="$(dirname "$dir")"; done
  fs="$(stat -c %d "$dir")"
  need_bytes[$fs]=$(( ${need_bytes[$fs]:-0} + $1 ))
  need_what[$fs]="${need_what[$fs]:+${need_what[$fs]} and }$3"
  need_path[$fs]="$dir"
}
mib() { echo $(( ($1 + 1048575) / 1048576 )); }
device_size=$(( 256 << 20 ))
if [ -n "$given" ]; then device_size="$(blockdev --getsize64 "$given")"; fi
# Each job keeps its snapshot, a full-size copy of the device, in the state
# directory; starting the state over frees what its snapshots take.
reclaimed="$(du -sb "$BLB_STATE_DIR/drivers" 2>/dev/null | cut -f1 || true)"
needs $(( 2 * device_size - ${reclaimed:-0} )) "$BLB_STATE_DIR" "the two jobs' snapshots ($(mib "$device_size") MiB each)"
if [ -z "$given" ]; then
  needs "$device_size" "$work" "the image of the file system"
else
  needs $(( 52 << 20 )) "$volume" "the files written in $given"
fi
short=0
for fs in "${!need_bytes[@]}"; do
  # Free blocks as root has them: the blocks kept for root count.
  free=$(( $(stat -f -c '%f * %S' "${need_path[$fs]}") ))
  if [ "$free" -lt "${need_bytes[$fs]}" ]; then
    echo "run-job.sh: ${need_what[$fs]}: $(mib "${need_bytes[$fs]}") MiB needed free on the file system of" \
         "${need_path[$fs]}, which has $(( free / 1048576 )) MiB" >&2
    short=1
  fi
done
[ "$short" = 0 ] || exit 1
"$BLBSIM" init --reset "$BLB_STATE_DIR" >/dev/null
"$BLBSIM" subclient 2 7 2
if [ -n "${RUN_JOB_SNAPSHOT_DELAY_MS:-}" ]; then
  "$BLBSIM" fault set KzbfCreateSnapshot "$RUN_JOB_SNAPSHOT_DELAY_MS" delay 1 >/dev/null
fi
if [ -z "$given" ]; then
  truncate -s 256M "$work/disk.img"
  loop="$(losetup -f --show "$work/disk.img")"
  device="$loop"
  # No lazy initialisation: no kernel thread writes behind the jobs.
  mkfs.ext4 -q -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 "$loop"
  mkdir "$work/mnt"
  mount "$loop" "$work/mnt"
  mounted=1
  volume="$work/mnt"
  files="$volume"
else
  device="$given"
  scratch="$(mktemp -d "$volume/blbjob-scratch.XXXXXX")"
  files="$scratch"
fi

write() { dd if=/dev/urandom of="$1" bs=1M "${@:2}" status=none; }
write "$files/a" count=40
write "$files/gone" count=2
sync

# Each job's lines are shown as they come, and kept for the summaries.
echo "=== job 1001, full: $device mounted at $volume"
"$BLBJOB" run --keep-snapshot --volume "$volume" --streams 4 --multiple-readers -- $(job_args 1001 1) |
  tee "$work/full.out"
echo "=== writes: an overwrite in place, an append, a new file, a deleted file"
write "$files/a" count=1 seek=5 conv=notrunc
write "$files/a" count=6 oflag=append conv=notrunc
write "$files/b" count=3
rm "$files/gone"
sync
echo "=== job 1002, incremental"
"$BLBJOB" run --keep-snapshot --volume "$volume" --streams 4 --multiple-readers -- $(job_args 1002 2 1001) |
  tee "$work/incremental.out"

# --- the check, with dd, md5sum and dumpe2fs only ---------------------------
jr="$BLB_STATE_DIR/jobresults/2/7"
snapshot_of() { "$BLBSIM" job show "$1" | sed -n 's/.*snapshot=\([^ ]*\).*/\1/p' | head -n 1; }
snap1="$(snapshot_of 1001)"
snap2="$(snapshot_of 1002)"
extent_size="$(grep -v '^#' "$jr/BlockDeviceConfig.kzf" | head -n 1 | cut -d'|' -f6)"
size="$(blockdev --getsize64 "$snap2")"
extents=$(( (size + extent_size - 1) / extent_size ))

# MD5 of extent $2 of device $1, zero-padded to the extent size.
extent_md5() {
  local start=$(( $2 * extent_size ))
  local length=$(( size - start < extent_size ? size - start : extent_size ))
  { dd if="$1" bs="$extent_size" skip="$2" count=1 iflag=direct,fullblock status=none
    head -c $(( extent_size - length )) /dev/zero; } | md5sum | cut -d' ' -f1
}
# An extent name: base-32 digits "0-9A-V", most significant first.
alphabet=0123456789ABCDEFGHIJKLMNOPQRSTUV
decode() {
  local name="$1" value=0 i digit
  for (( i = 0; i < ${#name}; i++ )); do
    digit="${alphabet%%"${name:i:1}"*}"
    value=$(( value * 32 + ${#digit} ))
  done
  echo "$value"
}
failed=0
# Sets hashes to the number of lines of the job's hash file.
check_hashes() {
  local job="$1" snap="$2" name hash
  hashes=0
  while IFS='|' read -r _ name hash; do
    if [ "$(extent_md5 "$snap" "$(decode "$name")")" != "$hash" ]; then
      echo "verify: job $job extent $name: hash $hash is not the snapshot's" >&2
      failed=1
    fi
    hashes=$((hashes + 1))
  done < "$BLB_STATE_DIR/reports/$job/hashes.txt"
}
check_hashes 1001 "$snap1"
full_hashes=$hashes
check_hashes 1002 "$snap2"
incr_hashes=$hashes

# Extents of the incremental snapshot holding a block in use: all blocks
# less the free ones dumpe2fs lists.
declare -A in_use=()
while read -r extent; do in_use[$extent]=1; done < <(
  dumpe2fs "$snap2" 2>/dev/null | awk -v extent="$extent_size" '
    /^Block count:/ { blocks = $3 }
    /^Block size:/ { per = extent / $3 }
    /^  Free blocks: / {
      sub(/^  Free blocks: */, "")
      n = split($0, ranges, /, */)
      for (r = 1; r <= n; r++) {
        if (ranges[r] == "") continue
        m = split(ranges[r], ends, "-"); first = ends[1]; last = (m > 1 ? ends[2] : ends[1])
        for (b = first; b <= last; ) {
          e = int(b / per); stop = (e + 1) * per - 1; if (stop > last) stop = last
          free[e] += stop - b + 1; b = stop + 1
        }
      }
    }
    END {
      for (e = 0; e * per < blocks; e++) {
        inside = blocks - e * per; if (inside > per) inside = per
        if (free[e] < inside) print e
      }
    }')
declare -A listed=()
while IFS='|' read -r _ collect _; do
  while read -r entry; do [ -n "$entry" ] && listed[$(decode "${entry##*/}")]=1; done < "$collect"
done < "$jr/ListOfCollect.txt"

changed_in_use=0
for (( i = 0; i < extents; i++ )); do
  if [ -n "${listed[$i]:-}" ] && [ -z "${in_use[$i]:-}" ]; then
    echo "verify: extent $i is listed but not in use" >&2
    failed=1
  fi
  [ -z "${in_use[$i]:-}" ] && continue
  if [ "$(extent_md5 "$snap1" "$i")" != "$(extent_md5 "$snap2" "$i")" ]; then
    changed_in_use=$((changed_in_use + 1))
    if [ -z "${listed[$i]:-}" ]; then
      echo "verify: extent $i changed and is in use but is not listed" >&2
      failed=1
    fi
  fi
done
echo "=== summaries"
grep -E '^(job|snapshot|scan|backup) [a-z_]+=|^job=' "$work/full.out"
grep -E '^(job|snapshot|scan|backup) [a-z_]+=|^job=' "$work/incremental.out"
echo "verify: extents=$extents in_use=${#in_use[@]} changed_in_use=$changed_in_use listed=${#listed[@]}" \
     "full_hashes=$full_hashes incremental_hashes=$incr_hashes"
if [ "$failed" != 0 ]; then
  echo "verify: FAILED" >&2
  exit 1
fi
echo "verify: ok; the state directory stays for inspection: $BLB_STATE_DIR"
