#!/bin/bash
# The durability audit (scripts/durability_audit.py) on a program that makes
# each mistake once and does each thing right once: it names every mistake,
# and nothing else. The power-loss comparison finds a lost file, a changed
# one, a name that came back and a folder that lost a name.
set -euo pipefail
helper="$(cd "$(dirname "$0")/../../scripts" && pwd)/durability_audit.py"
if ! command -v strace >/dev/null || ! strace -f -qq -o /dev/null true 2>/dev/null; then
  echo "skipped: strace cannot trace here"
  exit 77
fi
work="$(mktemp -d /var/tmp/blb-audit-test.XXXXXX)"
trap 'rm -rf "$work"' EXIT
state="$work/state"
mkdir -p "$state/kept" "$state/logs" "$state/tmp"
echo old >"$state/kept/rewritten"
echo old >"$state/kept/gone"
echo old >"$state/kept/gone-synced"
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
# Mistakes: a rewrite in place without a sync; a rename of unsynced content;
# a new folder and a removal whose folders are never synced.
write('kept/rewritten', 'new', False)
write('kept/unsynced.tmp.1.1', 'new', False)
os.rename(path('kept/unsynced.tmp.1.1'), path('kept/renamed-unsynced'))
os.mkdir(path('made'))
write('made/file', 'new', True)
sync_folder('made')
os.unlink(path('kept/gone'))
# Right: a synced temporary renamed into place, a removal, then the folder
# synced; logs and scratch are nobody's later read.
write('kept/right.tmp.1.2', 'new', True)
os.rename(path('kept/right.tmp.1.2'), path('kept/right'))
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
TXT
failed=0
if [ "$status" != 1 ] || ! diff -u "$work/expected" "$work/found"; then
  echo "the audit's findings are not the program's mistakes (exit $status)"
  failed=1
fi
# kept/gone was removed before the folder sync, which covers it: no finding.

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
exit "$failed"
