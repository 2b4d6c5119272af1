"""A machine for the end-to-end tests: a private Wine prefix with the stand-in host registered as
"Excel.Application", a scenario and files laid out on its drive C:, one run of the program, and
what came of it (exit status, the host's journal, the files, the processes left).

The host reads C:\\standin\\scenario.txt; its format is described at the top of
standin/Scenario.cpp. Settings are lines "INSTANCE KEY VALUE", for instance
    1 StartupPath str:C:\\excel\\xlstart
    2 addin str:C:\\addins\\QuantorelixExcelLink.xla
    2 addin.put fail:80020009
    2 next 3 fail:80004005
    1 busy StartupPath 3 8001010A

The host writes C:\\standin\\journal.txt (UTF-8): one line per event, "INSTANCE OBJECT EVENT ...",
as described at the top of standin/Journal.cpp, for instance
    2 app names addins lcid=0409 -> 4
    2 app get addins lcid=0409 -> obj:addins
    2 addin1 put installed lcid=0409 args=bool:0 named=-3 -> ok
    1 app get StartupPath lcid=0409 -> busy:8001010A
    2 host end quit
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
import wineprefix  # noqa: E402

RUN_BOUND = 60      # seconds the program may take; more is a hang
SETTLE_BOUND = 30   # seconds the host processes may take to end once the program has
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

HIDDEN, SYSTEM = b'0x2', b'0x4'   # Wine reads DOS attributes from the xattr user.DOSATTRIB


class Outcome:
    def __init__(self, status, journal, left_running):
        self.status = status
        self.journal = journal            # every line, as written
        self.left_running = left_running  # (pid, image) of our processes still alive afterwards

    def of(self, instance):
        """The lines of one instance, without the instance number."""
        prefix = '%d ' % instance
        return [line[len(prefix):] for line in self.journal if line.startswith(prefix)]

    def calls(self, instance):
        """The member calls of one instance, without the GetIDsOfNames lines and the locale."""
        return [strip_lcid(line) for line in self.of(instance) if ' names ' not in line
                and not line.startswith(('host ', 'factory '))]

    def instances(self):
        return sorted({int(line.split(' ', 1)[0]) for line in self.journal})


def built(build_dir):
    """The program and the 64-bit stand-in host (64-bit Office) as a build tree holds them."""
    return (os.path.join(build_dir, 'app', 'brolendavir.exe'),
            os.path.join(build_dir, 'standin-x64', 'standin', 'standin.exe'))


def stalled_in_activation(outcome):
    """True when the program hung inside Wine's activation of a host: the host's factory made the
    application object, and after that no call reached any host at all. Wine 8 now and then loses
    the reply that hands the new object to the client; the program cannot see past that call."""
    if outcome.status != 'hang':
        return False
    created = [n for n, line in enumerate(outcome.journal) if ' factory create -> obj:' in line]
    return bool(created) and all(line.split(' ')[1] == 'host' for line in outcome.journal[created[-1] + 1:])


def run_laid_out(machine, lay_out, run=None):
    """Resets the machine, lays it out and runs the program; once more when Wine stalled in an
    activation (said on standard error), so that Wine's flake does not pass for the program's."""
    run = run or machine.run
    for attempt in (1, 2):
        machine.reset()
        lay_out(machine)
        outcome = run()
        if attempt == 2 or not stalled_in_activation(outcome):
            return outcome
        print('note: Wine stalled while activating a host; running the case again', file=sys.stderr)


def strip_lcid(line):
    return line.replace(' lcid=0409', '')


class Machine:
    """One prefix, used for one or more runs; reset() clears what a run laid out or left."""

    def __init__(self, template, host, program, register=True):
        self.prefix = wineprefix.Prefix(template)
        self.env = self.prefix.env
        # Both programs run from the prefix's own drive, under their own names.
        os.makedirs(self.prefix.drive_c('e2e'))
        self.host = self.prefix.drive_c('e2e', 'standin.exe')
        self.program = self.prefix.drive_c('e2e', 'brolendavir.exe')
        shutil.copyfile(host, self.host)
        shutil.copyfile(program, self.program)
        # Image names (as /proc shows them, cut to 15 characters) of the processes we start.
        self.clients = {'brolendavir.exe', 'standin.exe'}
        self.laid = {}  # Windows path -> bytes it was laid with ('folder' for a folder)
        self.tops = set()  # what laying out made at the top of drive C:
        # One server for all runs in this prefix: later Wine starts are much quicker.
        subprocess.run(['wineserver', '-p'], env=self.env, check=True, **QUIET)
        os.makedirs(self.unix(r'C:\standin'), exist_ok=True)
        if register:
            self.wine(self.host, '/regserver')

    def close(self):
        self.prefix.__exit__(None, None, None)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def unix(self, windows_path):
        """C:\\a\\b -> <prefix>/drive_c/a/b, D:\\a\\b -> <prefix>/../drive_d/a/b (names keep their case)."""
        drive = windows_path[:3].upper()
        assert drive in ('C:\\', 'D:\\'), windows_path
        parts = [p for p in windows_path[3:].split('\\') if p]
        return os.path.join(self.drive_root(drive[0]), *parts)

    def drive_root(self, letter):
        """The folder behind a drive letter. D: is laid on first use, as winecfg lays a drive: a Unix
        link in the prefix's dosdevices, here to a folder outside drive C: (Wine names a file by
        the drive whose folder is nearest to it)."""
        if letter == 'C':
            return self.prefix.drive_c()
        root = os.path.join(self.prefix.root, 'drive_d')
        link = os.path.join(self.prefix.path, 'dosdevices', 'd:')
        if not os.path.lexists(link) or os.readlink(link) != root:
            os.makedirs(root, exist_ok=True)
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(root, link)
        return root

    def wine(self, *argv, timeout=RUN_BOUND):
        # Wine's background processes inherit our standard handles: never hand them a pipe.
        return subprocess.run([wineprefix.WINE, *argv], env=self.env, cwd=self.prefix.drive_c(),
                              timeout=timeout, **QUIET).returncode

    # --- laying out a machine ---

    def reset(self):
        """Removes the scenario, the journal and everything laid out since the last reset."""
        standin = self.unix(r'C:\standin')
        for name in os.listdir(standin):
            os.remove(os.path.join(standin, name))
        for path in self.tops:
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            elif os.path.lexists(path):
                os.remove(path)
        self.laid = {}
        self.tops = set()

    def _claim(self, windows_path):
        unix = self.unix(windows_path)
        root = self.drive_root(windows_path[0].upper())
        top = os.path.relpath(unix, root).split(os.sep)[0]
        assert root != self.prefix.drive_c() or \
            top not in ('windows', 'users', 'ProgramData', 'Program Files', 'standin', 'e2e'), top
        self.tops.add(os.path.join(root, top))
        return unix

    def file(self, windows_path, readonly=False, attribute=None, content=None):
        unix = self._claim(windows_path)
        os.makedirs(os.path.dirname(unix), exist_ok=True)
        data = content if content is not None else ('file %s\r\n' % windows_path).encode() * 3
        with open(unix, 'wb') as f:
            f.write(data)
        if attribute:
            os.setxattr(unix, 'user.DOSATTRIB', attribute)
        if readonly:
            os.chmod(unix, 0o444)
        self.laid[windows_path] = data

    def folder(self, windows_path):
        os.makedirs(self._claim(windows_path), exist_ok=True)
        self.laid[windows_path] = 'folder'

    def link(self, windows_path, target):
        """A symbolic link to target (a folder, or a file laid before), as Wine shows one: a Unix
        symbolic link. What is read through it must stay what target was laid as."""
        unix = self._claim(windows_path)
        os.makedirs(os.path.dirname(unix), exist_ok=True)
        os.symlink(os.path.relpath(self.unix(target), os.path.dirname(unix)), unix)
        self.laid[windows_path] = 'folder' if os.path.isdir(self.unix(target)) else self.laid[target]

    def scenario(self, text):
        with open(self.unix(r'C:\standin\scenario.txt'), 'w', encoding='utf-8') as f:
            f.write(text)

    # --- running and looking ---

    def run(self, program=None, output=os.devnull):
        """Runs the program (or another client of the host), its output sent to a file."""
        if program is not None:
            copy = self.prefix.drive_c('e2e', os.path.basename(program))
            shutil.copyfile(program, copy)
            self.clients.add(os.path.basename(copy).lower()[:15])
            program = copy
        try:
            with open(output, 'wb') as sink:
                status = subprocess.run([wineprefix.WINE, program or self.program], env=self.env,
                                        cwd=self.prefix.drive_c(), timeout=RUN_BOUND,
                                        stdin=subprocess.DEVNULL, stdout=sink,
                                        stderr=subprocess.DEVNULL).returncode
        except subprocess.TimeoutExpired:
            status = 'hang'
        left = self.wait_for_our_processes()
        return Outcome(status, self.journal(), left)

    def journal(self):
        path = self.unix(r'C:\standin\journal.txt')
        if not os.path.exists(path):
            return []
        with open(path, encoding='utf-8') as f:
            return f.read().splitlines()

    def our_processes(self):
        """The program's and the host's processes in this prefix (Wine's own services aside)."""
        marker = ('WINEPREFIX=' + self.prefix.path).encode()
        found = []
        for pid in os.listdir('/proc'):
            if not pid.isdigit():
                continue
            try:
                with open('/proc/%s/environ' % pid, 'rb') as f:
                    env = f.read().split(b'\0')
                with open('/proc/%s/comm' % pid) as f:
                    comm = f.read().strip()
            except OSError:
                continue
            if marker in env and comm.lower() in self.clients:
                found.append((int(pid), comm))
        return found

    def wait_for_our_processes(self):
        deadline = time.monotonic() + SETTLE_BOUND
        while time.monotonic() < deadline:
            left = self.our_processes()
            if not left:
                return []
            time.sleep(0.1)
        left = self.our_processes()
        # Do not let them run on into the next run or test.
        subprocess.run(['wineserver', '-k'], env=self.env, **QUIET)
        subprocess.run(['wineserver', '-p'], env=self.env, **QUIET)
        return left

    def files(self):
        """What is now at each laid path: its bytes, 'folder', or None when it is gone."""
        now = {}
        for path in self.laid:
            unix = self.unix(path)
            if os.path.isdir(unix):
                now[path] = 'folder'
            elif os.path.exists(unix):
                with open(unix, 'rb') as f:
                    now[path] = f.read()
            else:
                now[path] = None
        return now

    def strays(self):
        """Files that appeared under what was laid out, which no run may create."""
        known = {os.path.normcase(self.unix(p)) for p in self.laid}
        found = []
        for path in self.tops:
            for root, dirs, names in os.walk(path):
                for name in dirs + names:
                    full = os.path.join(root, name)
                    if full not in known and not any(k.startswith(full + os.sep) for k in known):
                        found.append(full)
            if os.path.isfile(path) and path not in known:
                found.append(path)
        return found
