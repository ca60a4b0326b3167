#!/usr/bin/env python3
"""Durability checks of a traced program: scripts/durability-audit.sh explains them.

Each step NAME of a program keeps its files in a work folder WORK: NAME.before.json and
NAME.after.json (manifests of the state directory STATE before and after it), NAME.trace
(strace's) and NAME.out (its output).

  durability_audit.py trace STATE WORK NAME COMMAND...  runs COMMAND under strace as step NAME
  durability_audit.py audit STATE WORK NAME             the step's findings (exit 1 when any)
  durability_audit.py reads STATE WORK NAME             what the step looked up of the earlier state
  durability_audit.py manifest STATE                    what STATE holds (JSON on stdout)
  durability_audit.py compare LIVE IMAGE LOOKUPS        those lookups on a power-loss image vs live
  durability_audit.py hold STATE WORK NAME IMAGE UNTIL CALLS PATHS COMMAND...
                                                        runs COMMAND as step NAME, cut at each stop
  durability_audit.py tear LIVE STATE                   a partial write-back of what was being appended
  durability_audit.py covers WANTED HELD                whether bitmap HELD has every bit of WANTED

Paths in findings are relative to STATE.
"""
import hashlib
import json
import os
import re
import subprocess
import sys

# Every call that changes, syncs or looks up a file.
TRACED_CALLS = ','.join([
    'open', 'openat', 'creat', 'write', 'pwrite64', 'writev', 'pwritev', 'pwritev2', 'ftruncate', 'truncate',
    'fallocate', 'copy_file_range', 'sendfile', 'fsync', 'fdatasync', 'sync', 'syncfs', 'rename', 'renameat',
    'renameat2', 'unlink', 'unlinkat', 'rmdir', 'mkdir', 'mkdirat', 'link', 'linkat', 'symlink', 'symlinkat',
    'stat', 'lstat', 'newfstatat', 'statx', 'access', 'faccessat', 'faccessat2', 'getdents64', 'readlink',
    'readlinkat'])

# What a later step never reads, or what its owner keeps consistent itself:
# (pattern on the path relative to the state directory, why).
EXEMPT = [
    (re.compile(r'(^|/)logs/|\.log$'), 'a log'),
    (re.compile(r'(^|/)(\.lock|[^/]*\.lock)$|^locks(/|$)'), 'a lock file'),
    (re.compile(r'(^|/)hooks?/|\.sh$'), 'a hook script'),
    (re.compile(r'^tmp(/|$)'), "scratch under the state directory's tmp"),
    (re.compile(r'\.tmp\.\d+\.\d+$'), 'a temporary, renamed over its file once synced'),
    # SQLite rebuilds its shared-memory index from the write-ahead log.
    (re.compile(r'^agent\.db-shm$'), "SQLite's shared-memory index"),
    # The fault table's change counter, shared memory of the test harness's
    # processes: a counter lost only makes them look at the faults again.
    (re.compile(r'^faults\.generation$'), "the fault table's change counter"),
    # The true-up's page file and snapshot hash file: every run writes them
    # anew before it reads them.
    (re.compile(r'/VolIdxHash\.kzf-Page$'), "the index fetch's page scratch"),
    (re.compile(r'/VolSnapHash\.kzf$'), "the true-up's merged snapshot hashes, written anew by each run"),
]


# Files whose owner orders their changes itself, against none of ours: SQLite
# (the simulated services' database) checksums its log's frames and commits
# its own records; the power-loss images compare the records whole.
OWN_ORDER = re.compile(r'^agent\.db')
# The drivers' records: a change there (a bitmap cleared, a device detached) is what the
# library's marks guard.
DRIVER_STATE = re.compile(r'^drivers(/|$)')


# Removals that may come back without harm: (pattern, why).
EXEMPT_REMOVAL = [
    # SQLite removes its write-ahead log once a checkpoint synced the database
    # with all of it: a log that returns holds only what the database holds,
    # and the next log SQLite makes (syncing the folder) replaces it.
    (re.compile(r'^agent\.db-wal$'), "SQLite's checkpointed log"),
    # A released snapshot's image: the driver's record no longer names it and
    # its counter never hands the name out again, so nothing reads it.
    (re.compile(r'^drivers/kzbf/snaps/snap\d+\.img$'), "a released snapshot's image"),
    # A hook marks an update under way: one that comes back only makes the
    # next update treat what it guards as all changed. Its creation counts.
    (re.compile(r'\.hook$'), 'a hook whose update ended'),
    # A fail-over merge's pending bitmap, removed once its backup's snapshot
    # task finished: one that comes back only has the next merge OR its bits
    # in again (or go full once more).
    (re.compile(r'\.bmp\.pending$'), "a fail-over merge's pending bitmap, handed on"),
]


def exempt_reason(relative, change=None):
    for pattern, reason in EXEMPT:
        if pattern.search(relative):
            return reason
    if change in ('removed', 'renamed away'):
        for pattern, reason in EXEMPT_REMOVAL:
            if pattern.search(relative):
                return reason
    return None


def manifest(state):
    """Every file of the state directory with its SHA-256, every folder with its entries."""
    files, folders = {}, {}
    for folder, dirs, names in os.walk(state):
        relative_folder = os.path.relpath(folder, state)
        folders['' if relative_folder == '.' else relative_folder] = sorted(dirs + names)
        for name in names:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, state)
            if os.path.islink(path) or not os.path.isfile(path):
                files[relative] = 'special'
                continue
            digest = hashlib.sha256()
            try:
                with open(path, 'rb') as stream:
                    for block in iter(lambda: stream.read(1 << 20), b''):
                        digest.update(block)
                files[relative] = digest.hexdigest()
            except OSError as error:
                files[relative] = 'unreadable: %s' % error.strerror
    return {'files': files, 'folders': folders}


# --- the trace ---------------------------------------------------------------

# "PID call" (strace -f -o FILE) or "[pid PID] call" (strace -f to a terminal).
LINE = re.compile(r'^(?:\[pid\s+(\d+)\]\s+|(\d+)\s+)?(.*)$')
CALL = re.compile(r'^(\w+)\((.*)\)\s+=\s+(-?\d+|\?)(?:<(.*?)>)?(.*)$')
FD_PATH = re.compile(r'^-?\w+<(.*)>$')


def split_arguments(text):
    """The top-level arguments of a call, strings and brackets kept whole."""
    arguments, depth, quoted, escaped, current = [], 0, False, False, []
    for char in text:
        if quoted:
            current.append(char)
            if escaped:
                escaped = False
            elif char == '\\':
                escaped = True
            elif char == '"':
                quoted = False
            continue
        if char == '"':
            quoted = True
        elif char in '[{(<':
            depth += 1
        elif char in ']})>':
            depth -= 1
        elif char == ',' and depth == 0:
            arguments.append(''.join(current).strip())
            current = []
            continue
        current.append(char)
    if current:
        arguments.append(''.join(current).strip())
    return arguments


def unquote(argument):
    if argument.endswith('...'):
        argument = argument[:-3]
    if len(argument) >= 2 and argument[0] == '"' and argument[-1] == '"':
        return argument[1:-1].encode('latin-1', 'backslashreplace').decode('unicode_escape')
    return None


def descriptor_path(argument):
    match = FD_PATH.match(argument)
    if not match:
        return None
    path = match.group(1)
    return path[:-len(' (deleted)')] if path.endswith(' (deleted)') else path


class Call:
    """A call that succeeded, or failed with ENOENT (result -1): a name found absent."""

    def __init__(self, pid, name, arguments, result, result_path):
        self.pid, self.name, self.arguments, self.result, self.result_path = pid, name, arguments, result, result_path


def read_calls(trace):
    """Completed, successful calls in the order they completed."""
    pending = {}
    with open(trace, errors='replace') as stream:
        for raw in stream:
            match = LINE.match(raw.rstrip('\n'))
            pid, text = match.group(1) or match.group(2) or '0', match.group(3)
            if text.endswith('<unfinished ...>'):
                pending[pid] = text[:-len('<unfinished ...>')].rstrip()
                continue
            resumed = re.match(r'^<\.\.\. (\w+) resumed>\s?(.*)$', text)
            if resumed:
                text = pending.pop(pid, resumed.group(1) + '(') + resumed.group(2)
            call = CALL.match(text)
            if not call or call.group(3) == '?':
                continue
            result = int(call.group(3))
            if result < 0 and 'ENOENT' not in call.group(5):
                continue
            yield Call(pid, call.group(1), split_arguments(call.group(2)), result, call.group(4))


class Resolver:
    """Absolute paths of a call's arguments; a pid's folder comes from its AT_FDCWD<...>."""

    def __init__(self):
        self.cwd = {}

    def note(self, call):
        for argument in call.arguments:
            if argument.startswith('AT_FDCWD<'):
                self.cwd[call.pid] = argument[len('AT_FDCWD<'):-1]

    def path(self, call, folder_argument, name_argument):
        name = unquote(call.arguments[name_argument])
        if not name:
            return None
        if name.startswith('/'):
            return os.path.normpath(name)
        folder = None
        if folder_argument is not None:
            argument = call.arguments[folder_argument]
            folder = argument[len('AT_FDCWD<'):-1] if argument.startswith('AT_FDCWD<') else descriptor_path(argument)
        if folder is None:
            folder = self.cwd.get(call.pid)
        if folder is None:
            return None
        return os.path.normpath(os.path.join(folder, name))


OPEN_NAME = {'open': (None, 0, 1), 'openat': (0, 1, 2), 'creat': (None, 0, None)}
PROBE_NAME = {'stat': (None, 0), 'lstat': (None, 0), 'access': (None, 0), 'newfstatat': (0, 1), 'statx': (0, 1),
              'faccessat': (0, 1), 'faccessat2': (0, 1), 'readlink': (None, 0), 'readlinkat': (0, 1)}
WRITES = {'write', 'pwrite64', 'writev', 'pwritev', 'pwritev2', 'ftruncate', 'fallocate', 'copy_file_range',
          'sendfile', 'splice'}
SYNCS = {'fsync', 'fdatasync'}


class Event:
    """What a call did to a path. Changes: create, truncate, write, rename (path the new name,
    other the old), unlink, mkdir, rmdir, link; sync (a file's or folder's fsync) and syncall;
    lookups: read (opened for reading), list (a folder's entries read), exists (looked up),
    absent (looked up and not there)."""

    def __init__(self, kind, path, other=None):
        self.kind, self.path, self.other = kind, path, other


def events(trace):
    resolver = Resolver()
    for call in read_calls(trace):
        resolver.note(call)
        name = call.name
        if call.result < 0:
            if name in OPEN_NAME or name in PROBE_NAME:
                folder_argument, name_argument = (OPEN_NAME.get(name) or PROBE_NAME[name])[:2]
                path = resolver.path(call, folder_argument, name_argument)
                if path is not None:
                    yield Event('absent', path)
            continue
        if name in OPEN_NAME:
            folder_argument, name_argument, flags_argument = OPEN_NAME[name]
            path = call.result_path or resolver.path(call, folder_argument, name_argument)
            if path is None:
                continue
            flags = call.arguments[flags_argument] if flags_argument is not None else 'O_CREAT|O_WRONLY|O_TRUNC'
            writing = 'O_WRONLY' in flags or 'O_RDWR' in flags
            if 'O_CREAT' in flags:
                yield Event('create', path)
            if 'O_TRUNC' in flags and writing:
                yield Event('truncate', path)
            elif 'O_WRONLY' not in flags and 'O_DIRECTORY' not in flags:
                yield Event('read', path)
            else:
                yield Event('exists', path)
        elif name in PROBE_NAME:
            path = resolver.path(call, *PROBE_NAME[name])
            if path is not None:
                yield Event('exists', path)
        elif name in ('getdents', 'getdents64'):
            path = descriptor_path(call.arguments[0])
            if path is not None:
                yield Event('list', path)
        elif name in WRITES:
            # A copy writes into its second descriptor.
            target = call.arguments[1] if name in ('copy_file_range', 'sendfile', 'splice') else call.arguments[0]
            if name == 'sendfile':
                target = call.arguments[0]
            path = descriptor_path(target)
            if path is not None and not path.startswith(('pipe:', 'socket:', 'anon_inode:')):
                yield Event('write', path)
        elif name in SYNCS:
            path = descriptor_path(call.arguments[0])
            if path is not None:
                yield Event('sync', path)
        elif name in ('sync', 'syncfs'):
            yield Event('syncall', None)
        elif name == 'truncate':
            path = resolver.path(call, None, 0)
            if path is not None:
                yield Event('write', path)
        elif name in ('rename', 'renameat', 'renameat2'):
            if name == 'rename':
                old, new = resolver.path(call, None, 0), resolver.path(call, None, 1)
            else:
                old, new = resolver.path(call, 0, 1), resolver.path(call, 2, 3)
            if old is not None and new is not None:
                yield Event('rename', new, other=old)
        elif name in ('unlink', 'unlinkat', 'rmdir'):
            path = resolver.path(call, None, 0) if name != 'unlinkat' else resolver.path(call, 0, 1)
            removes_folder = name == 'rmdir' or (name == 'unlinkat' and 'AT_REMOVEDIR' in call.arguments[2])
            if path is not None:
                yield Event('rmdir' if removes_folder else 'unlink', path)
        elif name in ('mkdir', 'mkdirat'):
            path = resolver.path(call, None, 0) if name == 'mkdir' else resolver.path(call, 0, 1)
            if path is not None:
                yield Event('mkdir', path)
        elif name in ('link', 'linkat', 'symlink', 'symlinkat'):
            if name == 'link':
                path = resolver.path(call, None, 1)
            elif name == 'linkat':
                path = resolver.path(call, 2, 3)
            elif name == 'symlink':
                path = resolver.path(call, None, 1)
            else:
                path = resolver.path(call, 1, 2)
            if path is not None:
                yield Event('link', path)


def relative_to(state, path):
    if path is None:
        return None
    relative = os.path.relpath(path, state)
    return None if relative == '..' or relative.startswith('../') else ('' if relative == '.' else relative)


def parent(relative):
    return os.path.dirname(relative)


def audit(state, trace, before, after, step):
    """Findings: a file renamed with unsynced content, a file left written in place without a
    sync, a name created, renamed or removed in a folder that was not synced afterwards, and a
    change still unsynced when a later one was synced (a cut between the two syncs keeps the
    later change without the earlier: a file system whose fsync commits only what it syncs)."""
    state = os.path.realpath(state)
    known_folders = set(before['folders']) | set(after['folders'])
    existing = set(before['files']) | set(before['folders'])
    fresh = set()    # files created and not yet written
    dirty = {}       # path -> sequence number of the write that left its content unsynced
    first_dirty = {}  # path -> sequence number of its first write since its last sync
    pending = {}     # folder -> [(change, path, sequence number)] since the folder's last sync
    findings = []
    overtaken = {}  # path -> its first such finding, unless a finding below names the path already
    sequence = 0

    def name_lasts(path):
        while path:
            if any(name == path for _, name, _ in pending.get(parent(path), [])):
                return False
            path = parent(path)
        return True

    def note_change(folder, change, path):
        pending.setdefault(folder, []).append((change, path, sequence))

    def note_overtaken(synced, latest):
        """The names changed before the latest change this sync makes durable that stay unsynced.
        (What a cut leaves of a file's content is the power-loss images' part.)"""
        for folder, changes in pending.items():
            if folder == synced:
                continue
            for change, path, number in changes:
                if number < latest and exempt_reason(path, change) is None and not OWN_ORDER.search(path):
                    overtaken.setdefault(path, ('%s: %s %s in folder %s, not synced before a later change '
                                                'to %s was: a cut between the two keeps the later one alone' %
                                                (step, path, change, folder or '.', synced or '.'), synced))

    for event in events(trace):
        sequence += 1
        if event.kind == 'syncall':
            dirty.clear()
            first_dirty.clear()
            pending.clear()
            continue
        path = relative_to(state, event.path)
        if path is None:
            continue
        if event.kind == 'create':
            if path not in existing:
                existing.add(path)
                fresh.add(path)
                note_change(parent(path), 'created', path)
        elif event.kind == 'truncate':
            # Emptying a file made by this very call changes nothing.
            if path not in fresh and path not in known_folders:
                dirty[path] = sequence
                first_dirty.setdefault(path, sequence)
        elif event.kind == 'write':
            fresh.discard(path)
            if path not in known_folders:
                dirty[path] = sequence
                first_dirty.setdefault(path, sequence)
        elif event.kind == 'sync':
            is_folder = path in known_folders or path == ''
            made_durable = [number for change, name, number in pending.get(path, []) if is_folder and
                            exempt_reason(name, change) is None]
            if path in dirty and exempt_reason(path) is None:
                made_durable.append(dirty[path])
            # What a sync makes durable counts once the path's name lasts too: unseen, it changes
            # nothing.
            if made_durable and name_lasts(path) and not OWN_ORDER.search(path):
                note_overtaken(path, max(made_durable))
            if is_folder:
                pending.pop(path, None)
            dirty.pop(path, None)
            first_dirty.pop(path, None)
        elif event.kind == 'rename':
            old = relative_to(state, event.other)
            if old is None:
                continue
            if old in dirty and exempt_reason(path) is None:
                findings.append('%s: %s renamed over %s without its content synced' % (step, old, path))
            dirty.pop(old, None)
            first_dirty.pop(old, None)
            existing.discard(old)
            existing.add(path)
            note_change(parent(old), 'renamed away', old)
            note_change(parent(path), 'renamed into place', path)
        elif event.kind in ('unlink', 'rmdir'):
            dirty.pop(path, None)
            first_dirty.pop(path, None)
            existing.discard(path)
            note_change(parent(path), 'removed', path)
        elif event.kind in ('mkdir', 'link'):
            existing.add(path)
            if event.kind == 'mkdir':
                known_folders.add(path)
            note_change(parent(path), 'created', path)

    after_names = set(after['files']) | set(after['folders'])
    for path in sorted(dirty):
        if path in after['files'] and exempt_reason(path) is None:
            findings.append('%s: %s written in place and not synced' % (step, path))
    named_pending = set()
    for folder in sorted(pending):
        reported = set()
        for change, path, _ in pending[folder]:
            if exempt_reason(path, change) is not None or path in reported:
                continue
            # A name that came and went within the step: nothing of it is left
            # for a later step to find, whether or not its removal lasts.
            if change in ('created', 'renamed into place') and path not in after_names:
                continue
            if change in ('removed', 'renamed away') and path not in before['files'] and \
                    path not in before['folders']:
                continue
            reported.add(path)
            named_pending.add(path)
            findings.append('%s: %s %s in folder %s, which is not synced afterwards' %
                            (step, path, change, folder or '.'))
    # A change never synced is named above already. Of the others, a cut between the two syncs
    # matters where the later change relies on the earlier: a mark that lives only while the step
    # runs (a hook) is there for such a cut alone, and the driver's records change what its marks
    # guard.
    named = {path for path in dirty if path in after['files'] and exempt_reason(path) is None} | named_pending
    findings.extend(finding for path, (finding, synced) in sorted(overtaken.items())
                    if path not in named and (path not in after_names or DRIVER_STATE.search(synced)))
    return findings


def reads(state, trace, before):
    """What a step looked up of what the earlier steps left, before it changed it itself:
    lines "read PATH" (a file's content), "list PATH" (a folder's entries), "exists PATH",
    "absent PATH" (a name it found missing)."""
    state = os.path.realpath(state)
    changed = set()
    found = []
    seen = set()
    for event in events(trace):
        path = relative_to(state, event.path)
        if path is None:
            continue
        if event.kind in ('read', 'list', 'exists', 'absent'):
            if path in changed or (event.kind, path) in seen or exempt_reason(path) is not None:
                continue
            if path.startswith('agent.db'):
                continue
            present = path in before['files'] or path in before['folders']
            if event.kind == 'absent' and present:
                continue
            if event.kind != 'absent' and not present:
                continue
            seen.add((event.kind, path))
            found.append('%s %s' % (event.kind, path or '.'))
        elif event.kind in ('create', 'truncate', 'write', 'mkdir', 'rmdir', 'unlink', 'link'):
            if event.kind != 'create' or path not in before['files']:
                changed.add(path)
        elif event.kind == 'rename':
            changed.add(path)
            old = relative_to(state, event.other)
            if old is not None:
                changed.add(old)
    return found


def compare(live, image, lookups):
    """What the image holds differently of what the next step looked up."""
    differences = []

    def kept(folder, names):
        return [name for name in names if exempt_reason(os.path.join(folder, name)) is None]

    for line in lookups:
        kind, path = line.split(' ', 1)
        path = '' if path == '.' else path
        in_image = path in image['files'] or path in image['folders']
        if kind == 'absent':
            if in_image:
                differences.append('%s is back, and the next step found it missing' % path)
        elif not in_image:
            differences.append('%s is missing' % (path or '.'))
        elif kind == 'read' and path in live['files'] and image['files'].get(path) != live['files'][path]:
            differences.append('file %s differs from the live one' % path)
        elif kind == 'list' and path in live['folders']:
            wanted, held = kept(path, live['folders'][path]), kept(path, image['folders'].get(path, []))
            if wanted != held:
                differences.append('folder %s holds %s instead of %s' % (path or '.', held, wanted))
    return differences


def load(path):
    with open(path) as stream:
        return json.load(stream)


def trace(state, work, name, command):
    """Runs the command under strace as step NAME; its exit status."""
    base = os.path.join(work, name)
    with open(base + '.before.json', 'w') as stream:
        json.dump(manifest(state), stream, sort_keys=True)
    # The leak checker of a sanitizer build cannot run under ptrace.
    environment = dict(os.environ)
    environment['ASAN_OPTIONS'] = environment.get('ASAN_OPTIONS', '') + ':detect_leaks=0'
    with open(base + '.out', 'w') as output:
        return subprocess.call(['strace', '-f', '-qq', '-y', '-s', '0', '--seccomp-bpf', '-e', 'trace=' + TRACED_CALLS,
                                '-o', base + '.trace'] + command, stdout=output, stderr=subprocess.STDOUT,
                               env=environment)


# --- cuts in the middle of a step ----------------------------------------------

STOP_LINE = re.compile(r'^(\d+)\s+--- SIGSTOP \{')


def stopped_call(lines, pid):
    """The call of the pid that the stop followed."""
    for line in reversed(lines):
        match = LINE.match(line)
        if (match.group(1) or match.group(2)) == pid and CALL.match(match.group(3)):
            return match.group(3)
    return '?'


def all_stopped(pid):
    """Whether every thread of the pid's process is stopped."""
    try:
        with open('/proc/%s/status' % pid) as stream:
            group = next(line.split()[1] for line in stream if line.startswith('Tgid:'))
        for task in os.listdir('/proc/%s/task' % group):
            with open('/proc/%s/task/%s/status' % (group, task)) as stream:
                state = next(line for line in stream if line.startswith('State:'))
            if state.split()[1] not in ('t', 'T'):
                return False
        return True
    except (OSError, StopIteration):
        return False


def hold(state, work, name, image, until, calls, paths, command):
    """Runs the command under strace, stopped (SIGSTOP) right after each call of CALLS on one of
    PATHS; at each stop up to the first whose call matches UNTIL, but an open for reading, a cut:
    the state's backing
    IMAGE copied as NAME.cutN.img (what a power loss at that moment leaves) and the state's
    files as they live then in NAME.cutN.live/ (what a partial write-back may have sent). The
    calls stopped at, one a line, in NAME.cuts; its exit status."""
    import signal
    import time
    base = os.path.join(work, name)
    trace_file = base + '.held-trace'
    arguments = ['strace', '-f', '-qq', '-y', '-s', '0', '-o', trace_file, '-e', 'trace=' + calls,
                 '-e', 'inject=%s:signal=SIGSTOP:when=1+' % calls]
    for path in paths:
        arguments += ['-P', path]
    environment = dict(os.environ)
    environment['ASAN_OPTIONS'] = environment.get('ASAN_OPTIONS', '') + ':detect_leaks=0'
    cuts = []
    cutting = True
    with open(base + '.out', 'w') as output:
        process = subprocess.Popen(arguments + command, stdout=output, stderr=subprocess.STDOUT, env=environment)
        seen = 0
        while True:
            lines = []
            if os.path.exists(trace_file):
                with open(trace_file, errors='replace') as stream:
                    lines = [line.rstrip('\n') for line in stream]
            stops = [(index, STOP_LINE.match(line).group(1)) for index, line in enumerate(lines)
                     if STOP_LINE.match(line)]
            if len(stops) > seen:
                index, pid = stops[seen]
                seen += 1
                while not all_stopped(pid) and process.poll() is None:
                    time.sleep(0.01)
                call = stopped_call(lines[:index], pid)
                # An open for reading changes nothing a cut would not find after the call before.
                if cutting and (not re.match(r'^open(at)?\(', call) or re.search(r'O_WRONLY|O_RDWR|O_CREAT', call)):
                    cut = '%s.cut%d' % (base, len(cuts) + 1)
                    subprocess.check_call(['cp', '--sparse=always', image, cut + '.img'])
                    copy_live(state, cut + '.live')
                    cuts.append(call)
                    cutting = not re.search(until, call)
                os.kill(int(pid), signal.SIGCONT)
                continue
            if process.poll() is not None:
                break
            time.sleep(0.02)
    with open(base + '.cuts', 'w') as stream:
        for call in cuts:
            stream.write(call + '\n')
    return process.returncode


def copy_live(state, target):
    """The state's regular files as they are now, but snapshot images and SQLite's own files."""
    import shutil
    for folder, _, names in os.walk(state):
        for name in names:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, state)
            if relative.startswith('agent.db') or relative.startswith('drivers/kzbf/snaps/') or \
                    not os.path.isfile(path) or os.path.islink(path) or os.path.getsize(path) > (16 << 20):
                continue
            os.makedirs(os.path.join(target, os.path.dirname(relative)), exist_ok=True)
            shutil.copyfile(path, os.path.join(target, relative))


def tear(live, state):
    """A partial write-back of each file being appended at the cut: where the image holds a
    file that the live one extends, or lacks it in a folder it holds (a commit on a timer may
    have kept the name), it gets the live content up to the middle of its last line, without
    the line feed. Prints each file torn."""
    for folder, _, names in os.walk(live):
        for name in names:
            relative = os.path.relpath(os.path.join(folder, name), live)
            on_image = os.path.join(state, relative)
            if exempt_reason(relative) is not None or not os.path.isdir(os.path.dirname(on_image)) or \
                    (os.path.exists(on_image) and not os.path.isfile(on_image)):
                continue
            with open(os.path.join(folder, name), 'rb') as stream:
                grown = stream.read()
            held = b''
            if os.path.exists(on_image):
                with open(on_image, 'rb') as stream:
                    held = stream.read()
            if len(grown) <= len(held) or not grown.startswith(held) or b'\n' not in grown[len(held):]:
                continue
            last_line = grown.rfind(b'\n', 0, len(grown) - 1) + 1
            start = max(last_line, len(held))
            length = start + max(1, (len(grown) - start) // 2)
            if grown[length - 1:length] == b'\n':
                length -= 1
            if length <= len(held):
                continue
            with open(on_image, 'ab') as stream:
                stream.write(grown[len(held):length])
            print('torn %s at %d of %d bytes' % (relative, length, len(grown)))


def covers(wanted, held):
    """Whether every bit set in the file WANTED is set in the file HELD."""
    with open(wanted, 'rb') as stream:
        first = stream.read()
    with open(held, 'rb') as stream:
        second = stream.read()
    if len(second) < len(first):
        return False
    return all(a & ~b == 0 for a, b in zip(first, second))


def main(arguments):
    if len(arguments) >= 5 and arguments[0] == 'trace':
        return trace(arguments[1], arguments[2], arguments[3], arguments[4:])
    if len(arguments) == 4 and arguments[0] == 'audit':
        state, base = arguments[1], os.path.join(arguments[2], arguments[3])
        after = manifest(state)
        with open(base + '.after.json', 'w') as stream:
            json.dump(after, stream, sort_keys=True)
        findings = audit(state, base + '.trace', load(base + '.before.json'), after, arguments[3])
        for finding in findings:
            print(finding)
        return 1 if findings else 0
    if len(arguments) == 4 and arguments[0] == 'reads':
        base = os.path.join(arguments[2], arguments[3])
        for line in reads(arguments[1], base + '.trace', load(base + '.before.json')):
            print(line)
        return 0
    if len(arguments) >= 9 and arguments[0] == 'hold':
        return hold(arguments[1], arguments[2], arguments[3], arguments[4], arguments[5], arguments[6],
                    arguments[7].split(':'), arguments[8:])
    if len(arguments) == 3 and arguments[0] == 'tear':
        tear(arguments[1], arguments[2])
        return 0
    if len(arguments) == 3 and arguments[0] == 'covers':
        return 0 if covers(arguments[1], arguments[2]) else 1
    if len(arguments) == 2 and arguments[0] == 'manifest':
        json.dump(manifest(arguments[1]), sys.stdout, sort_keys=True)
        return 0
    if len(arguments) == 4 and arguments[0] == 'compare':
        with open(arguments[3]) as stream:
            lookups = [line.rstrip('\n') for line in stream if line.strip()]
        differences = compare(load(arguments[1]), load(arguments[2]), lookups)
        for difference in differences:
            print(difference)
        return 1 if differences else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
