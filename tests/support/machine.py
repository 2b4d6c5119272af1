"""A machine for the tests of the whole program: a private Wine prefix with the stand-in host
registered as "Excel.Application", a scenario and files laid out on its drive C:, one run of the
program, and what came of it.

The host reads C:\\standin\\scenario.txt (its format is at the top of standin/Scenario.cpp) and
writes C:\\standin\\journal.txt, which run_model.Journal reads.
"""
import contextlib
import ctypes
import ctypes.util
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import time
import unittest
from collections import namedtuple

import run_model
import wineprefix
from wineprefix import QUIET

# Seconds the program may take, more is a hang: its 30 s at most of waiting on a busy host, about
# 5 s of run under the emulator on a loaded machine, 10 s to spare; twice the 30 s would hang.
RUN_BOUND = 45
SETTLE_BOUND = 30   # seconds the host processes may take to end once the program has

# Wine reads DOS attributes from the extended attribute user.DOSATTRIB.
DOS_ATTRIBUTES = {run_model.HIDDEN: b'0x2', run_model.HIDDEN_READ_ONLY: b'0x2', run_model.SYSTEM: b'0x4'}

# Wine's own folders on drive C:, which Wine writes as it likes; nothing is laid under them.
WINE_FOLDERS = ('windows', 'users', 'ProgramData', 'Program Files', 'Program Files (x86)')

IN_CLOSE_WRITE, IN_OPEN, IN_MOVED_FROM, IN_DELETE = 0x8, 0x20, 0x40, 0x200
INOTIFY_EVENT = struct.Struct('iIII')  # watch, mask, cookie, length of the name that follows
LIBC = ctypes.CDLL(ctypes.util.find_library('c'), use_errno=True)


# What came of a run: its exit status (or 'hang'), the host's journal (a run_model.Journal), the
# (pid, image) of our processes still alive afterwards, laid path -> the journal's lines before it
# went (none when the run was not watched), the seconds from the program's start until it ended
# and those the host processes outlived it by.
Outcome = namedtuple('Outcome', 'status journal left_running gone_at seconds hosts_after')


class Watch(contextlib.AbstractContextManager):
    """Notes, while the program runs, the journal as it stood when each laid file went.

    Both come from one inotify queue, which keeps the file system's order of events however late
    it is read (once the run is over; a run queues a few thousand, of the 16384 a queue holds): a
    deletion (or move) in a laid file's folder, and each journal line, which a host writes before
    the call returns by opening the journal, writing and closing it. Opens are watched only so
    that two closes in a row never merge into one event. Where the lines seen written are not the
    journal's (a queue that overflowed lost some), no order is noted at all."""

    def __init__(self, machine, paths):
        self.machine = machine
        self.queue = LIBC.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        self.journal = LIBC.inotify_add_watch(self.queue, os.fsencode(machine.unix(r'C:\standin')), IN_OPEN | IN_CLOSE_WRITE)
        self.paths = {}  # (watch, file name) -> laid path
        for path in paths:
            folder, name = os.path.split(os.fsencode(machine.unix(path)))
            self.paths[LIBC.inotify_add_watch(self.queue, folder, IN_DELETE | IN_MOVED_FROM), name] = path
        self.gone = {}   # laid path -> the journal's lines before it went

    def __exit__(self, *exc):
        try:
            events = os.read(self.queue, 16384 * (INOTIFY_EVENT.size + 256))  # all that a queue holds
        except BlockingIOError:
            events = b''
        os.close(self.queue)
        written, counts, at = 0, {}, 0
        while at < len(events):
            watch, mask, _, size = INOTIFY_EVENT.unpack_from(events, at)
            name = events[at + INOTIFY_EVENT.size:at + INOTIFY_EVENT.size + size].rstrip(b'\0')
            at += INOTIFY_EVENT.size + size
            if watch == self.journal and name == b'journal.txt' and mask & IN_CLOSE_WRITE:
                written += 1
            elif (watch, name) in self.paths:
                counts.setdefault(self.paths[watch, name], written)
        lines = self.machine.journal_lines()
        self.gone = {path: lines[:count] for path, count in counts.items()} if written == len(lines) else {}


def built(build_dir):
    """The program and the 64-bit stand-in host (64-bit Office) as a build tree holds them."""
    return (os.path.join(build_dir, 'app', run_model.PROGRAM_IMAGE),
            os.path.join(build_dir, 'standin-x64', 'standin', 'standin.exe'))


def stalled_in_activation(outcome):
    """True when the program hung inside Wine's activation of a host: the host's factory made the
    application object, and after that no call reached any host at all. Wine 8 now and then loses
    the reply that hands the new object to the client; the program cannot see past that call."""
    if outcome.status != 'hang':
        return False
    events = outcome.journal.events
    created = [n for n, e in enumerate(events) if e.kind == 'factory' and e.verb == 'create' and e.result == 'obj:app']
    return bool(created) and all(e.kind == 'host' for e in events[created[-1] + 1:])


def run_laid_out(machine, lay_out):
    """Resets the machine, lays it out and runs the program; once more when Wine stalled in an
    activation (said on standard error), so that Wine's flake does not pass for the program's."""
    for attempt in (1, 2):
        machine.reset()
        lay_out(machine)
        outcome = machine.run()
        if attempt == 2 or not stalled_in_activation(outcome):
            return outcome
        print('note: Wine stalled while activating a host; running the case again', file=sys.stderr)


class Machine(contextlib.AbstractContextManager):
    """One prefix, used for one or more runs; reset() clears what a run laid out or left."""

    def __init__(self, template, host, program):
        self.prefix = wineprefix.Prefix(template)
        self.env = self.prefix.env
        # Both programs run from the prefix's own drive, under their own names.
        os.makedirs(self.prefix.drive_c('e2e'))
        self.host = self.prefix.drive_c('e2e', 'standin.exe')
        self.program = self.prefix.drive_c('e2e', run_model.PROGRAM_IMAGE)
        shutil.copyfile(host, self.host)
        shutil.copyfile(program, self.program)
        self.images = {self.host, self.program}  # what we placed in C:\e2e
        # Image names (as /proc shows them, cut to 15 characters) of the processes we start.
        self.clients = {run_model.PROGRAM_IMAGE, 'standin.exe'}
        self.laid = {}    # Windows path -> bytes it was laid with ('folder' for a folder)
        self.states = {}  # Windows path -> what it holds (run_model.NORMAL, READ_ONLY, ...)
        self.tops = set()  # what laying out made at the top of drive C:
        # One server for all runs in this prefix: later Wine starts are much quicker.
        subprocess.run(['wineserver', '-p'], env=self.env, check=True, **QUIET)
        os.makedirs(self.unix(r'C:\standin'), exist_ok=True)
        # Wine's background processes inherit our standard handles: never hand them a pipe.
        subprocess.run([wineprefix.WINE, self.host, '/regserver'], env=self.env, cwd=self.prefix.drive_c(),
                       timeout=RUN_BOUND, **QUIET)

    def __exit__(self, *exc):
        self.prefix.__exit__(None, None, None)

    close = __exit__

    def unix(self, windows_path):
        """C:\\a\\b -> <prefix>/drive_c/a/b (names keep their case)."""
        assert windows_path[:3].upper() == 'C:\\', windows_path
        return os.path.join(self.prefix.drive_c(), *[p for p in windows_path[3:].split('\\') if p])

    # --- laying out a machine ---

    def reset(self):
        """Removes the scenario, the journal and everything laid out since the last reset."""
        for entry in pathlib.Path(self.unix(r'C:\standin')).iterdir():
            entry.unlink()
        for path in self.tops:
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            elif os.path.lexists(path):
                os.remove(path)
        self.laid, self.states, self.tops = {}, {}, set()

    def _claim(self, windows_path):
        unix = self.unix(windows_path)
        top = os.path.relpath(unix, self.prefix.drive_c()).split(os.sep)[0]
        assert top not in WINE_FOLDERS + ('standin', 'e2e'), top
        self.tops.add(os.path.join(self.prefix.drive_c(), top))
        return unix

    def file(self, windows_path, state=run_model.NORMAL):
        """A file that holds a few lines naming it, in one of run_model's states."""
        unix = self._claim(windows_path)
        os.makedirs(os.path.dirname(unix), exist_ok=True)
        data = ('file %s\r\n' % windows_path).encode() * 3
        pathlib.Path(unix).write_bytes(data)
        if state in DOS_ATTRIBUTES:
            os.setxattr(unix, 'user.DOSATTRIB', DOS_ATTRIBUTES[state])
        if state in (run_model.READ_ONLY, run_model.HIDDEN_READ_ONLY):
            os.chmod(unix, 0o444)
        self.laid[windows_path], self.states[windows_path] = data, state

    def folder(self, windows_path):
        os.makedirs(self._claim(windows_path), exist_ok=True)
        self.laid[windows_path], self.states[windows_path] = 'folder', run_model.FOLDER

    def scenario(self, text):
        pathlib.Path(self.unix(r'C:\standin\scenario.txt')).write_text(text, encoding='utf-8')

    # --- running and looking ---

    def run(self, program=None, output=os.devnull, watch=True):
        """Runs the program (or another client of the host), its output sent to a file; with watch,
        notes when each laid file goes."""
        if program is not None:
            copy = self.prefix.drive_c('e2e', os.path.basename(program))
            if not os.path.exists(copy):  # once a prefix: the bench runs its probe again and again
                shutil.copyfile(program, copy)
            self.images.add(copy)
            self.clients.add(os.path.basename(copy).lower()[:15])
            program = copy
        watched = [p for p, laid in self.laid.items() if laid != 'folder'] if watch else []
        with open(output, 'wb') as sink, Watch(self, watched) as seen:
            start = time.monotonic()
            try:
                status = subprocess.run([wineprefix.WINE, program or self.program], env=self.env,
                                        cwd=self.prefix.drive_c(), timeout=RUN_BOUND,
                                        **dict(QUIET, stdout=sink)).returncode
            except subprocess.TimeoutExpired:
                status = 'hang'
            ended = time.monotonic()
            left = self.wait_for_our_processes()
            hosts_after = time.monotonic() - ended
        return Outcome(status, run_model.Journal(self.journal_lines()), left, seen.gone, ended - start, hosts_after)

    def journal_lines(self):
        """The journal's whole lines; read while a host writes, a line not yet ended is left out."""
        try:
            data = pathlib.Path(self.unix(r'C:\standin\journal.txt')).read_bytes()
        except FileNotFoundError:
            return []
        return data[:data.rfind(b'\n') + 1].decode('utf-8', 'replace').split('\n')[:-1]

    def our_processes(self):
        """The program's and the host's processes in this prefix (Wine's own services aside)."""
        marker = ('WINEPREFIX=' + self.prefix.path).encode()
        found = []
        for proc in pathlib.Path('/proc').glob('[0-9]*'):
            with contextlib.suppress(OSError):  # a process that ended meanwhile
                comm = (proc / 'comm').read_text().strip()
                if comm.lower() in self.clients and marker in (proc / 'environ').read_bytes().split(b'\0'):
                    found.append((int(proc.name), comm))
        return found

    def wait_for_our_processes(self):
        deadline = time.monotonic() + SETTLE_BOUND
        while (left := self.our_processes()) and time.monotonic() < deadline:
            time.sleep(0.01)
        if not left:
            return []
        # Do not let them run on into the next run or test.
        subprocess.run(['wineserver', '-k'], env=self.env, **QUIET)
        subprocess.run(['wineserver', '-p'], env=self.env, **QUIET)
        # One that wineserver no longer reaches (seen: qemu-i386 deadlocked in a program) by its pid.
        for pid, _ in self.our_processes():
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, 9)
        return left

    def files(self):
        """What is now at each laid path: its bytes, 'folder', or None when it is gone."""
        now = {path: pathlib.Path(self.unix(path)) for path in self.laid}
        return {path: 'folder' if p.is_dir() else p.read_bytes() if p.exists() else None for path, p in now.items()}

    def strays(self):
        """What is on drive C: besides Wine's own folders, the stand-in's scenario, journal and count
        of instances, the images we run and what was laid (with the folders on the way to it): what
        a run created."""
        drive = self.prefix.drive_c()
        known = {self.unix(p) for p in self.laid} | self.images | {
            self.unix('C:\\standin\\' + name) for name in ('scenario.txt', 'journal.txt', 'instances.txt')}
        found = []
        for root, dirs, names in os.walk(drive):
            if root == drive:
                dirs[:] = [d for d in dirs if d not in WINE_FOLDERS]
            for name in dirs + names:
                full = os.path.join(root, name)
                if full not in known and not any(k.startswith(full + os.sep) for k in known):
                    found.append(full)
        return found


class OnMachine(unittest.TestCase):
    """Tests that share one machine, made from what ctest hands them: E2E_TEMPLATE (the prefix to
    clone), E2E_HOST (the stand-in host), E2E_PROGRAM and E2E_PROBE (its probe client)."""

    @classmethod
    def setUpClass(cls):
        cls.machine = Machine(os.environ['E2E_TEMPLATE'], os.environ['E2E_HOST'], os.environ['E2E_PROGRAM'])

    @classmethod
    def tearDownClass(cls):
        cls.machine.close()
