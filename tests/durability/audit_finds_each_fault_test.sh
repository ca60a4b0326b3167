#!/bin/bash
# The durability audit (scripts/durability_audit.py) on a program that makes
# each mistake once and does each thing right once: it names every mistake,
# and nothing else. The power-loss comparison finds a lost file, a changed
# one, a name that came back and a folder that lost a name; the partial
# write-back of a cut tears the last line of a file being appended; the
# bitmap check finds a bit the rerun lost.
set -euo pipefail
helper="$(cd "$(dirname "$0")/../../scripts" && pwd)/durability_audit.py"
if ! command -v strace >/dev/null || ! strace -f -qq -o /dev/null true 2>/dev/null; then
  echo "skipped: strace cannot trace here"
  exit 77
fi
work="$(mktemp -d /var/tmp/blb-audit-test.XXXXXX)"
trap 'rm -rf "$work"' EXIT
state="$work/state"
mkdir -p "$state/kept" "$state/other" "$state/logs" "$state/tmp"
echo old >"$state/kept/rewritten"
echo old >"$state/kept/gone"
echo old >"$state/kept/gone-synced"
echo old >"$state/other/gone"
sync -f "$state"

cat >"$work/steps.py" <<'PY'
import os, sys
state = sys.argv[1]
def path(name): return os.path.join(state, name)
def write(name, text, sync):
    fd = os.open(path(name), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.write(fd, text.encode())
    if sync: os.fsync(fd)
    os.close(fd)
def sync_folder(name):
    fd = os.open(path(name), os.O_RDONLY | os.O_DIRECTORY)
    os.fsync(fd)
    os.close(fd)
# Mistakes: a new folder whose folder is never synced; a removal whose
# folder is never synced; a hook whose folder is synced only after a later
# change was (a cut between the two keeps that change without the hook); a
# rewrite in place without a sync; a rename of unsynced content.
os.mkdir(path('made'))
write('made/file', 'new', True)
sync_folder('made')
write('kept/x.hook', '', False)
write('other/record.tmp.1.3', 'new', True)
os.rename(path('other/record.tmp.1.3'), path('other/record'))
sync_folder('other')
os.unlink(path('kept/x.hook'))
os.unlink(path('other/gone'))
write('kept/rewritten', 'new', False)
write('kept/unsynced.tmp.1.1', 'new', False)
os.rename(path('kept/unsynced.tmp.1.1'), path('kept/renamed-unsynced'))
# Right: a synced temporary renamed into place, removals, then the folder
# synced (a hook's removal may come back); logs and scratch are nobody's
# later read.
write('kept/right.tmp.1.2', 'new', True)
os.rename(path('kept/right.tmp.1.2'), path('kept/right'))
os.unlink(path('kept/gone'))
os.unlink(path('kept/gone-synced'))
sync_folder('kept')
write('logs/job.log', 'line', False)
write('tmp/scratch', 'x', False)
PY
python3 "$helper" trace "$state" "$work" steps python3 "$work/steps.py" "$state"
status=0
python3 "$helper" audit "$state" "$work" steps >"$work/found" || status=$?
cat >"$work/expected" <<'TXT'
steps: kept/unsynced.tmp.1.1 renamed over kept/renamed-unsynced without its content synced
steps: kept/rewritten written in place and not synced
steps: made created in folder ., which is not synced afterwards
steps: other/gone removed in folder other, which is not synced afterwards
steps: kept/x.hook created in folder kept, not synced before a later change to other was: a cut between the two keeps the later one alone
TXT
failed=0
if [ "$status" != 1 ] || ! diff -u "$work/expected" "$work/found"; then
  echo "the audit's findings are not the program's mistakes (exit $status)"
  failed=1
fi

# The power-loss comparison, on manifests of a live state and an image.
cat >"$work/live.json" <<'JSON'
{"files": {"a": "1", "b": "2", "d/c": "3"}, "folders": {"": ["a", "b", "d"], "d": ["c"]}}
JSON
cat >"$work/image.json" <<'JSON'
{"files": {"a": "1", "b": "9", "d/e": "4", "gone": "5"}, "folders": {"": ["a", "b", "d", "gone"], "d": ["e"]}}
JSON
printf 'read a\nread b\nread d/c\nlist d\nabsent gone\nexists a\n' >"$work/lookups"
python3 "$helper" compare "$work/live.json" "$work/image.json" "$work/lookups" >"$work/differences" || true
cat >"$work/expected" <<'TXT'
file b differs from the live one
d/c is missing
folder d holds ['e'] instead of ['c']
gone is back, and the next step found it missing
TXT
if ! diff -u "$work/expected" "$work/differences"; then
  echo "the power-loss comparison missed a difference"
  failed=1
fi

# A cut's partial write-back: a file the image holds a part of, or lacks in
# a folder it holds, gets the live lines up to the middle of the last; one
# it holds whole, one in a folder it lacks, and a log stay as they are.
mkdir -p "$work/live/logs" "$work/image/logs"
printf 'l1\nl2\nl3\n' >"$work/live/appended"
printf 'l1\n' >"$work/image/appended"
printf 'same\n' | tee "$work/live/whole" >"$work/image/whole"
printf 'n1\nn2\n' >"$work/live/absent"
mkdir "$work/live/gone"
printf 'x\n' >"$work/live/gone/file"
printf 'a\nb\n' >"$work/live/logs/job.log"
printf 'a\n' >"$work/image/logs/job.log"
python3 "$helper" tear "$work/live" "$work/image" >"$work/torn"
if [ "$(sort "$work/torn" | tr '\n' ' ')" != "torn absent at 4 of 6 bytes torn appended at 7 of 9 bytes " ] ||
   [ "$(cat "$work/image/appended")" != "$(printf 'l1\nl2\nl')" ] || [ "$(cat "$work/image/absent")" != "$(printf 'n1\nn')" ] ||
   [ -e "$work/image/gone" ] || [ "$(cat "$work/image/logs/job.log")" != a ]; then
  echo "the partial write-back tore the wrong files: $(cat "$work/torn")"
  failed=1
fi

# A rerun's bitmap must hold every bit the live step's did.
printf '\x05\x80' >"$work/live.bmp"
printf '\x07\x80' >"$work/more.bmp"
printf '\x07\x00' >"$work/less.bmp"
if ! python3 "$helper" covers "$work/live.bmp" "$work/more.bmp" ||
   python3 "$helper" covers "$work/live.bmp" "$work/less.bmp"; then
  echo "the bitmap check missed a lost bit or refused a whole bitmap"
  failed=1
fi
exit "$failed"
