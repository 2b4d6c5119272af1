"""What holds for every host, checked on one run of the real program from the host's journal and
the drive. The checks say what may happen, never what must: they are not a model of the run.

  crash       the program ended with a status other than 0 (or the harness itself failed)
  hang        the program did not end by itself within machine.RUN_BOUND (busy answers
              included: the program waits on them for about 30 s at most in all)
  deletion    a file went that is not a normal, writable file, not in use, named literally by a
              copy path or by a full name of a matching add-in; a laid file changed; a file appeared
  early       a copy (named by a copy path alone) went before "quit" was called
  foreign     a member outside the member table, a call in another locale, a third host
  left        a host process outlived the run, or ran into its own life bound
"""
import ctypes
import ctypes.util
import os
import re
import select
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'e2e'))
import machine as standin  # noqa: E402
from random_host import ADDIN_FILE, FOLDER, FULL_FOLDER, HIDDEN, HIDDEN_READONLY, KEY, NORMAL, READONLY, SYSTEM

CATEGORIES = ('crash', 'hang', 'deletion', 'early', 'foreign', 'left')

# (verb, member) each object of the host may see; the names compare without regard to case.
APPLICATION = {('get', 'startuppath'), ('get', 'librarypath'), ('get', 'workbooks'), ('get', 'addins'),
               ('call', 'quit')}
BOOKS = {('call', 'add')}
ADDIN = {('get', 'fullname'), ('put', 'installed')}
ADDINS = {('get', '#-4'), ('call', '#-4'), ('call+get', '#-4')}
# An object a member answered in place of its own (Workbooks, addins, an entry of the
# collection) may be used as what the run took it for.
TABLE = {'app': APPLICATION, 'books': BOOKS, 'addin': ADDIN, 'addins': ADDINS, 'book': set(),
         'dummy': BOOKS | ADDIN | ADDINS}
# Methods may also be invoked with the property flag, as automation clients commonly do.
VERBS = {'get': {'get', 'call+get'}, 'call': {'call', 'call+get'}, 'put': {'put'}, 'call+get': {'call+get'}}

IN_MOVED_FROM, IN_DELETE = 0x40, 0x200
try:
    LIBC = ctypes.CDLL(ctypes.util.find_library('c'), use_errno=True)
    LIBC.inotify_init1
except (OSError, AttributeError):
    LIBC = None

EVENT = re.compile(r'(\d+) (\S+) (.*)\Z')
INVOKE = re.compile(r'(\S+) (\S+) lcid=(\w+)(?: args=(.*?))?(?: named=(\S+))? -> (.*)\Z')
NAMES = re.compile(r'names (.*) lcid=(\w+) -> (\S+)\Z')


class Watch:
    """Notes, while the program runs, the journal as it stood when each laid file was first seen gone.

    The host writes a call's journal line before the call returns to the program, so a file found
    gone while the journal holds no "quit" was deleted before "quit" returned. The watch wakes on
    each deletion in the folders of the files (inotify), and every few milliseconds besides."""

    def __init__(self, machine, paths):
        self.machine = machine
        self.paths = {p: machine.unix(p) for p in paths}
        self.gone = {}
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.poll, daemon=True)
        self.events = LIBC.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC) if LIBC else -1
        for folder in {os.path.dirname(u) for u in self.paths.values()} if self.events >= 0 else ():
            LIBC.inotify_add_watch(self.events, os.fsencode(folder), IN_DELETE | IN_MOVED_FROM)

    def poll(self):
        while not self.stop.is_set():
            for path, unix in self.paths.items():
                if path not in self.gone and not os.path.lexists(unix):
                    self.gone[path] = self.machine.journal()
            if self.events < 0:
                self.stop.wait(0.005)
            elif select.select([self.events], [], [], 0.005)[0]:
                os.read(self.events, 65536)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()
        if self.events >= 0:
            os.close(self.events)


def text_of(value):
    """The text of a journal value "str:...", or None for any other value."""
    return value[4:].replace('<NUL>', '\0') if value.startswith('str:') else None


def file_key(text):
    """The file a Windows path text names, as a comparable key, or None when it names none.

    Win32 resolves a path before the file system sees it: both slashes separate, runs of them
    fold, trailing dots and spaces are dropped, and letter case does not count. This is that, a
    little more generous, so that a generous key can only let a deletion pass. The run's working
    folder is C:\\. Wildcard characters, a NUL, and a "." or ".." part make a text that names no file."""
    if text is not None and text.startswith('\\\\?\\'):
        # Taken as it stands, but for letter case.
        if text[4:7].upper() != 'C:\\' or any(c in text[4:] for c in '\0*?<>"|/'):
            return None
        return tuple(part.upper() for part in text[7:].split('\\'))
    if text is None or text == '' or any(c in text for c in '\0*?<>"|'):
        return None
    path = text.replace('/', '\\')
    if path.startswith('\\\\'):
        return None
    if re.match(r'[A-Za-z]:', path):
        if path[0].upper() != 'C':
            return None
        path = path[2:]
    parts = []
    for part in path.split('\\'):
        # A "." or ".." part would fold the folder before it away, key and all: such a text
        # must name no file at all.
        if part.strip(' ') and not part.strip('. '):
            return None
        part = part.rstrip('. ')
        if part == '':
            continue
        parts.append(part.upper())
    return tuple(parts) or None


def matches(text):
    """Whether a full name holds the key, under any reasonable lower-casing."""
    return text is not None and (KEY in text.lower() or KEY in ''.join(c.lower()[:1] for c in text))


class Journal:
    """The journal read for what the checks need."""

    def __init__(self, lines):
        self.lines = lines
        self.events = [EVENT.match(line) for line in lines]
        self.copies = []         # copy path texts built from the first instance's folder texts
        self.full_names = {}     # (instance, add-in) -> every full-name value answered, in order
        self.held = {}           # instance -> paths it held open
        self.ends = {}           # instance -> its end reason
        for event in self.events:
            if event is None:
                continue
            instance, obj, rest = event.groups()
            call = None if rest.startswith('names ') else INVOKE.match(rest)
            if call and obj == 'app' and instance == '1' and call.group(2).lower() in ('startuppath', 'librarypath'):
                folder = text_of(call.group(6))
                if folder is not None:
                    self.copies.append(folder + '\\' + ADDIN_FILE)
            # A busy answer is no answer: the program asks again, or gives the read up as failed.
            served = call and not call.group(6).startswith('busy:')
            if served and obj.startswith('addin') and obj != 'addins' and call.group(2).lower() == 'fullname':
                self.full_names.setdefault((instance, obj), []).append(call.group(6))
            if obj == 'host' and rest.startswith('hold ') and not rest.endswith(' failed'):
                self.held.setdefault(instance, []).append(rest[5:])
            if obj == 'host' and rest.startswith('end '):
                self.ends[instance] = rest.split(' ')[1]

    def addin_texts(self):
        """Every text answered for the full name of an add-in whose first answer matches."""
        texts = []
        for answers in self.full_names.values():
            if matches(text_of(answers[0])):
                texts += [t for t in map(text_of, answers) if t is not None]
        return texts

    def in_use(self):
        """Paths held open by a host that outlived the program."""
        return [path for instance, paths in self.held.items() if self.ends.get(instance) in ('client-gone', 'timeout')
                for path in paths]


def quit_called(lines):
    return any(re.match(r'\d+ app call\S* quit ', line) for line in lines)


def check_members(journal):
    """Every call is in the member table and passes locale 0409; no third host."""
    found = []
    for line, event in zip(journal.lines, journal.events):
        if event is None:
            found.append('unreadable journal line: ' + line)
            continue
        instance, obj, rest = event.groups()
        if instance not in ('1', '2'):
            found.append('a host instance beyond the second: ' + line)
        if obj in ('host', 'factory') or rest in ('released', 'uninstalled') or rest.startswith('next '):
            continue
        kind = 'addin' if re.fullmatch(r'addin\d+', obj) else obj
        for lcid in re.findall(r'lcid=(\w+)', rest):
            if lcid != '0409':
                found.append('locale %s: %s' % (lcid, line))
        names, call = NAMES.match(rest), INVOKE.match(rest)
        if names:
            wanted = {member for _, member in TABLE.get(kind, ())}
            if ',' in names.group(1) or names.group(1).lower() not in wanted:
                found.append('looked up outside the table: ' + line)
        elif call:
            verb, member = call.group(1), call.group(2).lower()
            if not any(verb in VERBS[v] and m == member for v, m in TABLE.get(kind, ())):
                found.append('invoked outside the table: ' + line)
            elif member == 'installed' and (call.group(4) != 'bool:0' or call.group(5) != '-3'):
                found.append('"installed" written with something other than False: ' + line)
            elif member != 'installed' and call.group(4) is not None:
                found.append('arguments passed: ' + line)
        else:
            # enum skip/reset/clone, typeinfo, "installed" set to True: nothing the run does.
            found.append('outside the table: ' + line)
    return found


def check_files(machine, host, journal, gone_at, seen=None):
    """Deletions, changes and new files on the drive; and the copies' order against "quit".
    seen, a list, gets each copy whose going the watch saw."""
    deletions, early = [], []
    copies = {file_key(t) for t in journal.copies} - {None}
    addins = {file_key(t) for t in journal.addin_texts()} - {None}
    in_use = {file_key(t) for t in journal.in_use()} - {None}
    now = machine.files()
    for path, laid in machine.laid.items():
        if now[path] == laid:
            continue
        if now[path] is not None:
            deletions.append('changed: ' + path)
            continue
        key = file_key(path)
        state = host.paths.get(path, NORMAL if path.endswith('\\inside.txt') else None)
        why = None
        if laid == 'folder' or state in (FOLDER, FULL_FOLDER):
            why = 'a folder'
        elif state in (READONLY, HIDDEN, SYSTEM, HIDDEN_READONLY):
            why = state
        elif key in in_use:
            why = 'in use'
        elif key not in copies | addins:
            why = 'named by no copy path and no matching full name'
        if why:
            deletions.append('deleted %s (%s)' % (path, why))
        elif key in copies - addins and path in gone_at:
            if seen is not None:
                seen.append(path)
            if not quit_called(gone_at[path]):
                early.append('copy deleted before "quit": %s (journal then ended %r)'
                             % (path, (gone_at[path] or ['(empty)'])[-1]))
    deletions += ['appeared: ' + p for p in machine.strays()]
    return deletions, early


class Verdict:
    def __init__(self, seed):
        self.seed = seed
        self.found = {c: [] for c in CATEGORIES}
        self.deleted = 0       # laid files the run deleted (to show the checks are not idle)
        self.quit = False
        self.copies_seen = []  # copies the watch saw go while the program ran
        self.outcome = None

    def failed(self):
        return [c for c in CATEGORIES if self.found[c]]

    def summary(self):
        return '; '.join('%s: %s' % (c, self.found[c][0]) for c in self.failed())


def run_host(machine, host):
    """Lays out the host on a machine, runs the program once, and checks every property."""
    verdict = Verdict(host.seed)
    watches = []

    def watched_run():
        watched = [p for p, laid in machine.laid.items() if laid != 'folder']
        with Watch(machine, watched) as watch:
            watches.append(watch)
            return machine.run()
    outcome = standin.run_laid_out(machine, host.lay_out, watched_run)
    watch = watches[-1]
    verdict.outcome = outcome
    if outcome.status == 'hang':
        verdict.found['hang'].append('still running after %d s' % standin.RUN_BOUND)
    elif outcome.status != 0:
        verdict.found['crash'].append('exit status %s' % outcome.status)
    if outcome.left_running:
        verdict.found['left'].append('still running: %s' % outcome.left_running)
    journal = Journal(outcome.journal)
    for instance, reason in sorted(journal.ends.items()):
        if reason == 'timeout':
            verdict.found['left'].append('host %s ran into its life bound' % instance)
    verdict.found['foreign'] += check_members(journal)
    deletions, early = check_files(machine, host, journal, watch.gone, verdict.copies_seen)
    verdict.found['deletion'] += deletions
    verdict.found['early'] += early
    verdict.deleted = sum(1 for laid in machine.files().values() if laid is None)
    verdict.quit = quit_called(outcome.journal)
    return verdict

