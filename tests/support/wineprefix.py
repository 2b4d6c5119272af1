#!/usr/bin/python3
"""Private Wine prefixes for the tests, and the route by which 32-bit Windows programs run.

The program, its unit tests and the probe clients are 32-bit Windows programs, which Debian's Wine
runs in a 32-bit Linux process; the stand-in host also comes as a 64-bit program (64-bit Excel).
A kernel that runs 32-bit Linux programs runs them natively. Where it runs none (its IA-32
emulation is off), they go through qemu-i386, registered with binfmt_misc only inside a user and
mount namespace of our own (kernels from 6.7 give each user namespace a binfmt_misc of its own),
so that nothing else on the machine goes through the emulator. `wineprefix.py exec COMMAND...`
runs a command on that route; everything that starts Wine runs under it.

Prefixes are 64-bit with their 32-bit side filled: one template made once per build, a cheap clone
per test. A prefix is over a gigabyte, almost all of it Wine's own DLLs, which a run never writes:
a clone hard-links those and copies everything else (registry, users, ini files). Clones live
beside the template (in TEMPLATE-clones), so that they share its file system whatever /tmp is:
hard links cannot cross file systems, and Wine keeps DOS attributes in extended attributes,
which a tmpfs may not hold.
"""
import contextlib
import errno
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

# Extensions of files that Wine only ever reads; they are shared between clones.
SHARED_SUFFIXES = ('.dll', '.exe', '.drv', '.sys', '.nls', '.vxd', '.acm', '.cpl', '.ocx',
                   '.tlb', '.msstyles', '.ttf', '.fon', '.ds', '.com', '.mui')
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

ARCH = 'win64'
WINE = 'wine'                      # Debian's loader wrapper: 32-bit programs, and 64-bit ones through wine64
WINE32 = '/usr/lib/wine/wine'      # the 32-bit loader itself, a 32-bit Linux program
WINE64 = '/usr/lib/wine/wine64'

# --- the route of 32-bit programs ---

# BROLENDAVIR_QEMU names another emulator (the route's own test names missing and old ones).
QEMU = os.environ.get('BROLENDAVIR_QEMU', '/usr/bin/qemu-i386')
# Debian 12's own qemu 7.2 starts each 32-bit Wine process in about a minute (it lacks
# MAP_FIXED_NOREPLACE, so Wine's address-space reservation crawls) and crashes in threaded COM
# runs; the backported 10 is what these tests run on.
QEMU_MAJOR = 10
BINFMT = '/proc/sys/fs/binfmt_misc'
ENTRY = 'brolendavir-i386'
# 32-bit little-endian ELF executables and shared objects for the i386, as qemu registers them.
# F: the kernel opens qemu now, so it is found from any mount namespace; P: argv[0] is kept.
REGISTRATION = (':%s:M::' % ENTRY
                + r'\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:'
                + r'\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'
                + QEMU + ':FP')
NAMESPACE = ['unshare', '--user', '--map-root-user', '--mount', '--']
ENABLE = ('To run them, boot a kernel with IA-32 emulation (CONFIG_IA32_EMULATION, without '
          'ia32_emulation=off), or give the tests the emulator route: qemu-user %d or later '
          '(scripts/install-deps installs it from bookworm-backports), user namespaces '
          '(sysctl user.max_user_namespaces above 0; kernel.unprivileged_userns_clone=1 for a user '
          'other than root) and a kernel from 6.7 on.' % QEMU_MAJOR)


class NoRoute(Exception):
    """Neither route runs 32-bit programs here; the text says why and what to enable."""


def inside_namespace():
    """True in a namespace where this module has registered the emulator."""
    return os.path.exists(os.path.join(BINFMT, ENTRY))


def _machine_emulates():
    """True when the machine itself hands 32-bit programs to an emulator through binfmt_misc."""
    for entry in pathlib.Path(BINFMT).glob('*'):
        with contextlib.suppress(OSError):
            if re.match(r'enabled\ninterpreter \S*qemu-i386', entry.read_text()):
                return True
    return False


def native():
    """True when the kernel runs 32-bit programs itself (and no emulator of the machine's does)."""
    if _machine_emulates():
        return False
    try:
        return subprocess.run([WINE32, '--version'], **QUIET).returncode == 0
    except OSError:
        return False


def qemu_version():
    try:
        out = subprocess.run([QEMU, '--version'], stdin=subprocess.DEVNULL, capture_output=True, text=True).stdout
    except OSError:
        return None
    found = re.search(r'version (\d+)\.(\d+)\.(\d+)', out)
    return tuple(int(n) for n in found.groups()) if found else None


def route():
    """('native' or 'emulated', a line that says so). Raises NoRoute when neither works."""
    if native():
        return 'native', '32-bit programs: native (this kernel runs them)'
    # A loader that is not there says nothing of the kernel.
    missing = [loader for loader in (WINE32, WINE) if shutil.which(loader) is None]
    if missing:
        raise NoRoute('Wine is not installed (no %s): scripts/install-deps installs it.' % ' and no '.join(missing))
    version = qemu_version()
    emulated = ('emulated', '32-bit programs: emulated by qemu-i386 %s (this kernel runs none), '
                'registered only in a private user namespace' % '.'.join(map(str, version or ())))
    if inside_namespace():
        return emulated
    if version is None:
        raise NoRoute('This kernel runs no 32-bit programs, and %s is missing. %s' % (QEMU, ENABLE))
    if version[0] < QEMU_MAJOR:
        raise NoRoute('This kernel runs no 32-bit programs, and %s is version %d.%d, too old for '
                      'Wine. %s' % (QEMU, version[0], version[1], ENABLE))
    try:
        trial = subprocess.run(NAMESPACE + [sys.executable, os.path.abspath(__file__), 'enter', WINE32, '--version'],
                               stdin=subprocess.DEVNULL, capture_output=True, text=True)
        failed, said = trial.returncode != 0, trial.stderr.strip().splitlines()
    except OSError as error:
        failed, said = True, ['%s: %s' % (NAMESPACE[0], error.strerror)]
    if failed:
        why = (said or ['exit status %d' % trial.returncode])[-1]
        raise NoRoute('This kernel runs no 32-bit programs, and the emulator route failed: %s. %s'
                      % (why, ENABLE))
    return emulated


def enter(argv):
    """In a fresh user and mount namespace: mounts its own binfmt_misc, registers the emulator
    there and becomes argv."""
    mounted = subprocess.run(['mount', '-t', 'binfmt_misc', 'binfmt_misc', BINFMT],
                             stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if mounted.returncode != 0:
        sys.exit('cannot mount a binfmt_misc of our own (%s)' % mounted.stderr.strip())
    try:
        pathlib.Path(BINFMT, 'register').write_text(REGISTRATION)
    except OSError as error:
        sys.exit('cannot register the emulator with binfmt_misc (%s)' % error.strerror)
    os.execvp(argv[0], argv)


def exec_on_route(argv):
    """Becomes argv, run where 32-bit programs run; says why and ends when nowhere."""
    if inside_namespace() or native():
        os.execvp(argv[0], argv)
    try:
        route()  # only the emulated one is left, or none
    except NoRoute as error:
        sys.exit(str(error))
    os.execvp(NAMESPACE[0], NAMESPACE + [sys.executable, os.path.abspath(__file__), 'enter', *argv])


def require_route():
    """Wine's 32-bit side works only on the route: a caller off it is told how to get on it."""
    if not inside_namespace() and not native():
        raise NoRoute('32-bit programs run here only through the emulator: start this with '
                      '"%s exec COMMAND..."' % os.path.abspath(__file__))


# --- prefixes ---

def wine_env(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEARCH=ARCH, WINEDEBUG=env.get('WINEDEBUG', '-all'),
               WINEDLLOVERRIDES='mscoree,mshtml=')
    env.pop('DISPLAY', None)
    return env


def complete(prefix):
    """A 64-bit prefix whose 32-bit side was filled too (off the route, wineboot leaves it empty
    and still succeeds)."""
    try:
        with open(os.path.join(prefix, 'system.reg')) as f:
            head = f.read(4096)
    except OSError:
        return False
    return ('#arch=%s\n' % ARCH in head
            and os.path.exists(os.path.join(prefix, 'drive_c', 'windows', 'syswow64', 'kernel32.dll')))


def make_template(prefix, log=os.devnull):
    """Makes a fresh prefix with wineboot, and waits until its wineserver has written it out.
    Wine's output goes to the file log."""
    if complete(prefix):
        return
    require_route()
    shutil.rmtree(prefix, ignore_errors=True)
    env = wine_env(prefix)
    # Wine's background services must not inherit our pipes, or the caller waits on them.
    with open(log, 'ab') as out:
        for command in ([WINE64, 'wineboot', '-i'], ['wineserver', '-w']):
            subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, check=True)
    if not complete(prefix):
        raise NoRoute('wineboot left the 32-bit side of %s empty: 32-bit programs did not run' % prefix)


# Why a hard link can fail where a copy still works: another file system, too many links to one
# file, or a file system without hard links.
LINK_REFUSED = (errno.EXDEV, errno.EMLINK, errno.EPERM, errno.ENOTSUP)


def share(src, dst):
    """Hard-links the files Wine only reads, where the file system allows; copies the rest."""
    if src.lower().endswith(SHARED_SUFFIXES):
        try:
            return os.link(src, dst)
        except OSError as error:
            if error.errno not in LINK_REFUSED:
                raise
    shutil.copy2(src, dst)


class Prefix(contextlib.AbstractContextManager):
    """A clone of the template in a folder of its own beside it, removed (with its wineserver)
    on exit."""

    def __init__(self, template):
        require_route()
        clones = os.path.abspath(template) + '-clones'
        os.makedirs(clones, exist_ok=True)
        self.root = tempfile.mkdtemp(prefix='prefix-', dir=clones)
        self.path = os.path.join(self.root, 'prefix')
        shutil.copytree(template, self.path, symlinks=True, copy_function=share)
        self.env = wine_env(self.path)

    def drive_c(self, *parts):
        return os.path.join(self.path, 'drive_c', *parts)

    def __exit__(self, *exc):
        subprocess.run(['wineserver', '-k'], env=self.env, **QUIET)
        shutil.rmtree(self.root, ignore_errors=True)


def main(argv):
    """wineprefix.py route | exec COMMAND... | template DIR | run TEMPLATE PROGRAM [ARGS...]

    route      says in one line how 32-bit programs run here, or why they cannot (exit 1)
    exec       runs COMMAND where 32-bit programs run (template and run need that)
    template   makes the template prefix DIR, unless it is there already
    run        runs PROGRAM under Wine in a clone of TEMPLATE, removed afterwards"""
    command = argv[1] if len(argv) > 1 else ''
    try:
        if command == 'route' and len(argv) == 2:
            print(route()[1])
            return 0
        if command in ('exec', 'enter') and len(argv) > 2:
            return (exec_on_route if command == 'exec' else enter)(argv[2:])
        if command == 'template' and len(argv) == 3:
            make_template(argv[2])
            return 0
        if command == 'run' and len(argv) >= 4:
            with Prefix(argv[2]) as prefix:
                return subprocess.run([WINE, *argv[3:]], env=prefix.env,
                                      stdin=subprocess.DEVNULL).returncode
    except NoRoute as error:
        print(error, file=sys.stderr)
        return 1
    except subprocess.CalledProcessError as error:
        print('making the Wine prefix failed: %s exited with %s'
              % (error.cmd[0], error.returncode), file=sys.stderr)
        return 1
    print(main.__doc__, file=sys.stderr)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv))
