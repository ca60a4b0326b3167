#!/bin/bash
# Checks, as root, that what the library and the simulated services leave
# for a later step survives a power loss: a full `blbjob run`, an incremental
# `run`, a `pseudosnap` (and its rerun), a `snapshot`, a `scan --trueup` (and
# its rerun) and a `release`; then the cluster's fail-over on this node
# (`cluster_tool stop`, a soft and a hard `cluster_tool start`, as the agent
# calls BlockLevelClusterHandler) and the `snapshot` whose fail-over merge
# follows them; each under `strace -f`, with the state directory on an ext4
# of its own loop device.
#
# 1. The trace of each step (scripts/durability_audit.py audit): no file of
#    the state directory is renamed into place without its content synced,
#    left written in place without a sync, or created, renamed or removed in
#    a folder that is not synced afterwards; and no hook, nor any name whose
#    change the driver's records then rely on, is still unsynced when a later
#    change is synced (a file system whose fsync commits only what it syncs
#    would keep the later change alone). Logs, lock files, hook scripts,
#    temporaries, scratch under the state directory's tmp, SQLite's own log
#    and index, the true-up's page scratch and a hook's removal aside (EXEMPT
#    in the helper, each with its reason).
#
# 2. A power-loss image after each step. The state's ext4 lives on a loop
#    device over a sparse file, without direct I/O: what the file system
#    sends to the device lands in the backing file (through the host's page
#    cache, which a read of the file sees), and nothing else does. Right after
#    the step, with nothing synced since it ended and no process using the
#    state, the backing file is copied as it is: the copy holds exactly what
#    the file system had sent to its device, which is what the step synced and
#    whatever write-back happened to send; what was still in the file
#    system's page cache or in its running journal transaction is missing, as
#    after a power cut. (No freeze, no sync, no drop of caches: each would
#    send that to the device first.) So that nothing but a sync sends it, the
#    file system is mounted with commit=300 (no journal commit on a timer
#    during the steps, which take seconds; the kernel's 30-second dirty-page
#    expiry sends no data of a step before its copy either, and data it sends
#    later lands in blocks the committed journal does not give to any file, or
#    overwrites a file in place as a cut mid-write would) and with
#    noauto_da_alloc (no flush of a file's data when a file is renamed over
#    it: the writer's own sync must make such a rename safe).
#    The copy is then attached to a loop device of its own and mounted (the
#    journal is replayed, as at the next boot) at the live state's place, in
#    a mount namespace of its own, so that the state's absolute paths lead
#    into the image: every file the next step read is there with the live
#    content, every folder it listed holds the same names, every name it
#    found missing is still missing, and the state database dumps the same
#    records as the live one. On the pseudo-snap's image a pseudo-snap rerun
#    finds its marker and registers nothing; on the true-up's image a rerun of
#    the scan lists what the live rerun listed.
#
# 3. Cuts in the middle of a step, on a state of its own on ext4 and on btrfs
#    (whose fsync commits only what it syncs): the bitmap step of an
#    incremental snapshot is stopped (SIGSTOP, injected by strace) right after
#    each call that syncs the driver's records or the driver hook's folder, or
#    that makes or opens for writing the subclient cache's hook or bitmap, from
#    before the driver's clear up to the cache's sync, and a power-loss image
#    is taken at each stop. On each image the job's snapshot is run again: its bitmap must hold
#    every extent the uncut step's did, or the volume must go full. On btrfs
#    the true-up's index fetch is cut as well, right after it appends to the
#    index hashes, with a partial write-back of every file being appended (its
#    last line torn): the true-up's rerun on that image must succeed and list
#    what the uncut step listed.
#
# It prints each finding and exits 1 when there is one, 77 when the machine
# cannot run it (not root, or no loop device, strace, unshare, sqlite3 or
# btrfs).
# The programs: BLBSIM, BLBJOB and CLUSTER_TOOL, else built into
# build/normal. Everything
# it made goes afterwards, on a failure or an interrupt too
# (DURABILITY_AUDIT_KEEP=1 keeps the traces and manifests).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
helper="$root/scripts/durability_audit.py"
skip() { echo "durability-audit: skipped: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "run it as root (loop devices, mounts, mount namespaces)"
for tool in strace losetup unshare sqlite3 mkfs.ext4 mkfs.btrfs python3; do
  command -v "$tool" >/dev/null || skip "no $tool"
done
[ -e /dev/loop-control ] || skip "no loop devices"
grep -qw btrfs /proc/filesystems || modprobe btrfs 2>/dev/null || skip "this kernel cannot mount btrfs"
if [ -z "${BLBSIM:-}" ] || [ -z "${BLBJOB:-}" ] || [ -z "${CLUSTER_TOOL:-}" ]; then
  "$root/scripts/install-deps.sh"
  cmake -S "$root" -B "$root/build/normal" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$root/build/normal" -j 4 --target blbsim blbjob cluster_tool
  BLBSIM="$root/build/normal/tools/blbsim/blbsim"
  BLBJOB="$root/build/normal/tools/blbjob/blbjob"
  CLUSTER_TOOL="$root/build/normal/tests/cluster_tool"
fi

work="$(mktemp -d /var/tmp/blb-durability.XXXXXX)"
state_mount="$work/state-fs"
export BLB_STATE_DIR="$state_mount/state"
volume="$work/volume"
state_loop="" volume_loop="" image_loop="" state_mounted=0 volume_mounted=0
held_state="" held_loop="" held_mounted=0
job_args() { echo "-a 2:7 -j $1 -t $2 -d stow1 -jt TOK$1${3:+ -lsjid $3}"; }

# Releases what the cut steps' state holds and unmounts it.
close_held() {
  [ -n "$held_state" ] || return 0
  BLB_STATE_DIR="$held_state" "$BLBJOB" release -- $(job_args 2002 2 2001) >/dev/null 2>&1
  BLB_STATE_DIR="$held_state" "$BLBSIM" kzbf detach "$volume_loop" >/dev/null 2>&1
  [ "$held_mounted" = 1 ] && umount "$(dirname "$held_state")"
  [ -n "$held_loop" ] && losetup -d "$held_loop"
  held_state="" held_loop="" held_mounted=0
}

cleanup() {
  set +e
  for job in 1001 1002 1004 1005; do "$BLBJOB" release -- $(job_args $job 1) >/dev/null 2>&1; done
  [ -n "$image_loop" ] && losetup -d "$image_loop"
  close_held
  [ "$volume_mounted" = 1 ] && "$root/scripts/unmount.sh" "$volume"
  [ -n "$volume_loop" ] && "$BLBSIM" kzbf detach "$volume_loop" >/dev/null 2>&1
  [ "$state_mounted" = 1 ] && umount "$state_mount"
  [ -n "$state_loop" ] && losetup -d "$state_loop"
  [ -n "$volume_loop" ] && losetup -d "$volume_loop"
  if [ -n "${DURABILITY_AUDIT_KEEP:-}" ]; then
    echo "durability-audit: traces, manifests and images kept in $work"
    rm -f "$work"/*.img
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The state: ext4 on a loop device of its own.
truncate -s 512M "$work/state.img"
state_loop="$(losetup -f --show "$work/state.img")"
mkfs.ext4 -q -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 "$state_loop"
state_options=commit=300,noauto_da_alloc
mkdir "$state_mount"
mount -o "$state_options" "$state_loop" "$state_mount"
state_mounted=1
"$BLBSIM" init "$BLB_STATE_DIR" >/dev/null
"$BLBSIM" subclient 2 7 2 >/dev/null

# The volume backed up: ext4 on a loop device of its own.
truncate -s 48M "$work/volume.img"
volume_loop="$(losetup -f --show "$work/volume.img")"
mkfs.ext4 -q -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 "$volume_loop"
mkdir "$volume"
mount "$volume_loop" "$volume"
volume_mounted=1
write() { dd if=/dev/urandom of="$volume/$1" bs=1M "${@:2}" status=none; sync -f "$volume"; }
write a count=8
write gone count=1

findings="$work/findings"
: >"$findings"

# traced NAME PROGRAM ARGS...: runs the program under strace, takes the
# power-loss image and the live state it stands for, and audits the trace.
traced() {
  local name="$1" program="$2"
  shift 2
  echo "=== $name: ${program##*/} $*"
  if ! python3 "$helper" trace "$BLB_STATE_DIR" "$work" "$name" "$program" "$@"; then
    cat "$work/$name.out"
    echo "durability-audit: $name failed" >&2
    exit 1
  fi
  cp --sparse=always "$work/state.img" "$work/$name.img"
  sqlite3 "$BLB_STATE_DIR/agent.db" .dump >"$work/$name.sql"
  python3 "$helper" audit "$BLB_STATE_DIR" "$work" "$name" >>"$findings" || true
}
# step NAME ARGS...: blbjob as step NAME.
step() { traced "$1" "$BLBJOB" "${@:2}"; }

# on_image_file IMAGE MOUNT OPTIONS COMMAND [snapshots]: runs the shell
# command with the image (changed by it) mounted at MOUNT, in a mount
# namespace of its own. The snapshots' loop devices outlive the cut here (a
# real one takes them too) and read the live state's images; with
# "snapshots", each live image is bound over its copy in the image, so that
# the image a job recorded is the file its snapshot's loop device reads (a
# job checks that, by device and inode, before it reads it).
on_image_file() {
  image_loop="$(losetup -f --show "$1")"
  local status=0 live="" binds="" snaps="state/drivers/kzbf/snaps"
  if [ "${5:-}" = snapshots ]; then
    mkdir -p "$work/live"
    live="mount --bind '$2' '$work/live' && "
    binds="for image in '$work/live/$snaps/'*.img; do
                 mount --bind \"\$image\" '$2/$snaps/'\"\${image##*/}\" || exit 1
               done && "
  fi
  unshare --mount --propagation private bash -c "${live}mount -o $3 '$image_loop' '$2' && $binds$4" || status=$?
  losetup -d "$image_loop"
  image_loop=""
  return "$status"
}

# on_image NAME COMMAND [snapshots]: runs the shell command with the state of
# NAME's power-loss image mounted at the state's place.
on_image() {
  cp --sparse=always "$work/$1.img" "$work/replay.img"
  on_image_file "$work/replay.img" "$state_mount" "$state_options" "$2" "${3:-}"
}

# check_image NAME NEXT: NAME's image holds what step NEXT looked up and the
# records of the live database.
check_image() {
  local name="$1" next="$2"
  python3 "$helper" reads "$BLB_STATE_DIR" "$work" "$next" >"$work/$next.lookups"
  on_image "$name" "python3 '$helper' manifest '$BLB_STATE_DIR' >'$work/$name.image.json' &&
                    sqlite3 '$BLB_STATE_DIR/agent.db' .dump >'$work/$name.image.sql'"
  python3 "$helper" compare "$work/$name.after.json" "$work/$name.image.json" "$work/$next.lookups" |
    sed "s/^/$name: power-loss image: /" >>"$findings" || true
  # The index's request log is a diagnostic no service acknowledged: its
  # rows reach the disk with the next synced commit, if any.
  local log="^INSERT INTO index_requests \|^INSERT INTO sqlite_sequence VALUES('index_requests'"
  grep -v "$log" "$work/$name.sql" >"$work/$name.records.sql" || true
  grep -v "$log" "$work/$name.image.sql" >"$work/$name.image.records.sql" || true
  if ! cmp -s "$work/$name.records.sql" "$work/$name.image.records.sql"; then
    echo "$name: power-loss image: the state database differs from the live one:" >>"$findings"
    diff "$work/$name.records.sql" "$work/$name.image.records.sql" | head -n 20 >>"$findings" || true
  fi
}

step full run --volume "$volume" --streams 2 -- $(job_args 1001 1)
write a count=1 seek=3 conv=notrunc
write b count=2
rm "$volume/gone"
sync -f "$volume"
step incremental run --volume "$volume" --streams 2 -- $(job_args 1002 2 1001)
check_image full incremental
step pseudosnap pseudosnap --snap-job 1002 -- $(job_args 1003 1)
check_image incremental pseudosnap
step pseudosnap-rerun pseudosnap --snap-job 1002 -- $(job_args 1003 1)
check_image pseudosnap pseudosnap-rerun

# On the pseudo-snap's image a rerun finds the marker and registers nothing.
marker="$(sed -n 's/^pseudosnap .* marker=\([^ ]*\) .*/\1/p' "$work/pseudosnap.out")"
on_image pseudosnap "'$BLBSIM' afile list >'$work/afiles.before' &&
                     '$BLBJOB' pseudosnap --snap-job 1002 -- $(job_args 1003 1) >'$work/image-rerun.out' 2>&1 &&
                     '$BLBSIM' afile list >'$work/afiles.after'" ||
  echo "pseudosnap: power-loss image: the pseudo-snap rerun failed: $(cat "$work/image-rerun.out")" >>"$findings"
if ! grep -q "^pseudosnap job=1003 .* afiles= marker=$marker " "$work/image-rerun.out" ||
   ! cmp -s "$work/afiles.before" "$work/afiles.after"; then
  echo "pseudosnap: power-loss image: the rerun did not find its marker [$marker] or registered" \
       "archive files: $(cat "$work/image-rerun.out")" >>"$findings"
fi

# A change the driver lost, for the true-up to find.
write a count=1 seek=6 conv=notrunc
"$BLBSIM" kzbf bitmap "$volume_loop" clear >/dev/null
step snapshot snapshot --volume "$volume" -- $(job_args 1004 2 1002)
check_image pseudosnap-rerun snapshot
step trueup scan --trueup --streams 2 -- $(job_args 1004 2 1002)
check_image snapshot trueup
step trueup-rerun scan --trueup --streams 2 -- $(job_args 1004 2 1002)
check_image trueup trueup-rerun

# On the true-up's image a rerun of the scan lists what the live rerun did.
listing() {
  local folder="$BLB_STATE_DIR/jobresults/2/7"
  echo "cat '$folder/ListOfCollect.txt' | cut -d'|' -f2 | sort | while read -r f; do cat \"\$f\"; done | sort"
}
bash -c "$(listing)" >"$work/trueup.live.listing"
on_image trueup "'$BLBJOB' scan --trueup --streams 2 -- $(job_args 1004 2 1002) >'$work/image-trueup.out' 2>&1 &&
                 $(listing) >'$work/trueup.image.listing'" snapshots ||
  echo "trueup: power-loss image: the scan rerun failed: $(cat "$work/image-trueup.out")" >>"$findings"
if ! cmp -s "$work/trueup.live.listing" "$work/trueup.image.listing"; then
  echo "trueup: power-loss image: the scan rerun lists other extents than the live rerun" >>"$findings"
fi

step release release -- $(job_args 1004 2 1002)

# --- The cluster's fail-over on this node --------------------------------------

# The agent's stop, while the volume is mounted; the start that finds the
# stop's marker (soft: the bitmap the stop left stays for the next backup's
# merge); and a start after it that finds none (hard: that bitmap is stale
# and goes, the volume is marked dirty). Each image holds what the next step
# looked up: the soft start's, the marker gone.
list_dir="$BLB_STATE_DIR/jobresults/.BlockLevel"
# What the list's folder holds: the marker, the left-behind bitmaps and the
# dirty flags of the list.
cluster_state() {
  local marker=absent bitmaps
  [ -e "$list_dir/.BlkLvlSoftFailover" ] && marker=present
  bitmaps="$(find "$list_dir" -maxdepth 1 -name '*.bmp' | wc -l)"
  echo "marker $marker, $bitmaps left-behind bitmap(s), list $(cut -d'|' -f4 "$list_dir/.AttachedVolumes" | tr '\n' ' ')"
}
# cluster_step NAME start|stop STATE: cluster_tool as step NAME, which must
# leave the list's folder in STATE.
cluster_step() {
  traced "$1" "$CLUSTER_TOOL" "$2"
  local found
  found="$(cluster_state)"
  [ "$found" = "$3" ] || echo "$1: left $found, not $3" >>"$findings"
}
cluster_step cluster-stop stop "marker present, 1 left-behind bitmap(s), list 0 "
check_image release cluster-stop
cluster_step soft-start start "marker absent, 1 left-behind bitmap(s), list 0 "
check_image cluster-stop soft-start
cluster_step hard-start start "marker absent, 0 left-behind bitmap(s), list 1 "
check_image soft-start hard-start
# The next backup (on the last completed job, 1002) takes the merge's dirty mark: it goes full.
step fail-over-merge snapshot --volume "$volume" -- $(job_args 1005 2 1002)
check_image hard-start fail-over-merge
grep -q '^  volume .*, force-full$' "$work/fail-over-merge.out" ||
  echo "fail-over-merge: the backup after a hard start is not full: $(cat "$work/fail-over-merge.out")" >>"$findings"

# --- Cuts in the middle of a step ---------------------------------------------

# The snapshot summary's bitmap file, and whether the volume or job goes full.
bitmap_of() { sed -n 's/^  volume .*, bitmap \([^,]*\), .*$/\1/p' "$1"; }
goes_full() { grep -q -e '^  volume .*, force-full$' -e '^  job [0-9]*: level 1,' "$1"; }

# held FS: the cut steps on a state of file system FS.
held() {
  local fs="$1" name="held-$1" options=commit=300
  local mount="$work/$name"
  truncate -s 512M "$work/$name.img"
  held_loop="$(losetup -f --show "$work/$name.img")"
  if [ "$fs" = btrfs ]; then
    mkfs.btrfs -q -f "$held_loop" >/dev/null
  else
    mkfs.ext4 -q -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 "$held_loop"
    options="$state_options"
  fi
  mkdir "$mount"
  mount -o "$options" "$held_loop" "$mount"
  held_mounted=1
  held_state="$mount/state"
  local BLB_STATE_DIR="$held_state"
  export BLB_STATE_DIR
  "$BLBSIM" init "$BLB_STATE_DIR" >/dev/null
  "$BLBSIM" subclient 2 7 2 >/dev/null
  # The bitmap step's incremental continues from a job that completed (its
  # -lsjid), and the true-up needs a backup before it.
  if ! "$BLBJOB" run --volume "$volume" --streams 2 -- $(job_args 2001 1) >"$work/$name.first.out" 2>&1; then
    echo "$name: the first job failed: $(cat "$work/$name.first.out")" >>"$findings"
    close_held
    return
  fi
  write a count=1 seek=2 conv=notrunc
  local cache hooks
  cache="$(ls "$BLB_STATE_DIR"/jobresults/.BlockLevel/2_7/*.bmp)"
  hooks="$BLB_STATE_DIR/install/KZBF/cache"
  local snapshot=(snapshot --volume "$volume" -- $(job_args 2002 2 2001))
  echo "=== $name: blbjob ${snapshot[*]}, cut at each stop up to the cache's sync"
  if ! python3 "$helper" hold "$BLB_STATE_DIR" "$work" "$name" "$work/$name.img" '^fsync\(.*\.bmp>\)' openat,fsync \
       "$BLB_STATE_DIR/drivers/kzbf/devices:$hooks:${cache%.bmp}.hook:$cache" "$BLBJOB" "${snapshot[@]}"; then
    echo "$name: the snapshot failed: $(cat "$work/$name.out")" >>"$findings"
    close_held
    return
  fi
  cp "$(bitmap_of "$work/$name.out")" "$work/$name.live.bmp"
  local cut=0 call
  while read -r call; do
    cut=$((cut + 1))
    local base="$work/$name.cut$cut"
    on_image_file "$base.img" "$mount" "$options" \
      "'$BLBJOB' ${snapshot[*]} >'$base.out' 2>&1; status=\$?;
       file=\$(sed -n 's/^  volume .*, bitmap \\([^,]*\\), .*\$/\\1/p' '$base.out');
       [ -f \"\$file\" ] && cp \"\$file\" '$base.bmp';
       '$BLBJOB' release -- $(job_args 2002 2 2001) >/dev/null 2>&1; exit \$status" ||
      echo "$name: cut $cut, after $call: the snapshot rerun failed: $(tail -n 3 "$base.out")" >>"$findings"
    if ! goes_full "$base.out" && { [ ! -f "$base.bmp" ] || ! python3 "$helper" covers "$work/$name.live.bmp" "$base.bmp"; }; then
      echo "$name: cut $cut, after $call: the snapshot rerun neither goes full nor lists every changed" \
           "extent: $(grep '^  volume' "$base.out")" >>"$findings"
    fi
    rm -f "$base.img"
  done <"$work/$name.cuts"
  [ "$cut" -ge 4 ] || echo "$name: only $cut cuts in the bitmap step" >>"$findings"

  if [ "$fs" = btrfs ]; then
    local trueup=(scan --trueup --streams 2 -- $(job_args 2002 2 2001)) index
    index="$BLB_STATE_DIR/jobresults/2/7/TrueUp/$(basename "${cache%.bmp}")/VolIdxHash.kzf"
    echo "=== $name-trueup: blbjob ${trueup[*]}, cut after its first append to the index hashes"
    if ! python3 "$helper" hold "$BLB_STATE_DIR" "$work" "$name-trueup" "$work/$name.img" . write,writev "$index" \
         "$BLBJOB" "${trueup[@]}"; then
      echo "$name-trueup: the true-up failed: $(cat "$work/$name-trueup.out")" >>"$findings"
    elif [ ! -s "$work/$name-trueup.cuts" ]; then
      echo "$name-trueup: the true-up never appended to $index" >>"$findings"
    else
      bash -c "$(listing)" >"$work/$name-trueup.live.listing"
      on_image_file "$work/$name-trueup.cut1.img" "$mount" "$options" \
        "python3 '$helper' tear '$work/$name-trueup.cut1.live' '$BLB_STATE_DIR' >'$work/$name-trueup.torn' &&
         '$BLBJOB' ${trueup[*]} >'$work/$name-trueup.image.out' 2>&1 && $(listing) >'$work/$name-trueup.image.listing'" snapshots ||
        echo "$name-trueup: cut after a partial write-back ($(tr '\n' ' ' <"$work/$name-trueup.torn")): the true-up" \
             "rerun failed: $(tail -n 2 "$work/$name-trueup.image.out")" >>"$findings"
      if [ -f "$work/$name-trueup.image.listing" ] &&
         ! cmp -s "$work/$name-trueup.live.listing" "$work/$name-trueup.image.listing"; then
        echo "$name-trueup: cut after a partial write-back: the true-up rerun lists other extents than the" \
             "uncut one" >>"$findings"
      fi
      rm -f "$work/$name-trueup.cut1.img"
    fi
  fi
  close_held
}

held ext4
held btrfs

if [ -s "$findings" ]; then
  echo "=== findings"
  cat "$findings"
  exit 1
fi
echo "=== no findings"
