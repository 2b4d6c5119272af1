#!/usr/bin/python3
"""Private Wine prefixes for the tests: one template made once per build, a cheap clone per test.

A 32-bit prefix is about 600 MB, almost all of it Wine's own DLLs, which a run never writes:
a clone hard-links those and copies everything else (registry, users, ini files). Clones live
beside the template (in TEMPLATE-clones), so that they share its file system whatever /tmp is:
hard links cannot cross file systems, and Wine keeps DOS attributes in extended attributes,
which a tmpfs may not hold.
"""
import errno
import os
import shutil
import subprocess
import sys
import tempfile

# Extensions of files that Wine only ever reads; they are shared between clones.
SHARED_SUFFIXES = ('.dll', '.exe', '.drv', '.sys', '.nls', '.vxd', '.acm', '.cpl', '.ocx',
                   '.tlb', '.msstyles', '.ttf', '.fon', '.ds', '.com', '.mui')
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def _runs_32bit():
    """Debian's Wine runs 32-bit Windows programs in a 32-bit Linux process; a kernel whose 32-bit
    emulation is off refuses to start one (exec format error). Handing them to an emulator (qemu-i386
    through binfmt_misc) makes every Wine process take minutes to start: that counts as no."""
    binfmt = '/proc/sys/fs/binfmt_misc'
    for name in os.listdir(binfmt) if os.path.isdir(binfmt) else []:
        try:
            with open(os.path.join(binfmt, name)) as f:
                entry = f.read()
        except OSError:
            continue
        if entry.startswith('enabled') and 'qemu-i386' in entry:
            return False
    try:
        return subprocess.run(['/usr/lib/wine/wine', '--version'], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False


# The prefixes are 32-bit where the kernel runs 32-bit programs. Elsewhere they are 64-bit, run by
# Wine's 64-bit loader, and the tests run a 64-bit build of the same sources (programs-x64/ in the
# build tree, made by tests/CMakeLists.txt on the same test).
if _runs_32bit():
    ARCH, WINE, PROGRAMS = 'win32', 'wine', '.'
else:
    ARCH, WINE, PROGRAMS = 'win64', '/usr/lib/wine/wine64', 'programs-x64'


def programs_dir(build_dir):
    """Where the programs that run under Wine are built: the build tree, or its 64-bit mirror."""
    return os.path.normpath(os.path.join(build_dir, PROGRAMS))


def wine_env(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEARCH=ARCH, WINEDEBUG=env.get('WINEDEBUG', '-all'),
               WINEDLLOVERRIDES='mscoree,mshtml=')
    env.pop('DISPLAY', None)
    return env


def make_template(prefix, log=os.devnull):
    """Makes a fresh prefix with wineboot, and waits until its wineserver has written it out.
    Wine's output goes to the file log."""
    try:
        with open(os.path.join(prefix, 'system.reg')) as f:
            if '#arch=%s\n' % ARCH in f.read(4096):
                return
    except OSError:
        pass
    shutil.rmtree(prefix, ignore_errors=True)
    env = wine_env(prefix)
    # Wine's background services must not inherit our pipes, or the caller waits on them.
    with open(log, 'ab') as out:
        for command in ([WINE, 'wineboot', '-i'], ['wineserver', '-w']):
            subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.STDOUT, check=True)


# Why a hard link can fail where a copy still works: another file system, too many links to one
# file, or a file system without hard links.
LINK_REFUSED = (errno.EXDEV, errno.EMLINK, errno.EPERM, errno.ENOTSUP)


def share(src, dst):
    try:
        os.link(src, dst)
    except OSError as error:
        if error.errno not in LINK_REFUSED:
            raise
        shutil.copy2(src, dst)


def clone(template, dest):
    """Copies template to dest, hard-linking the read-only bulk where the file system allows."""
    for root, dirs, files in os.walk(template):
        rel = os.path.relpath(root, template)
        target_root = os.path.normpath(os.path.join(dest, rel))
        os.makedirs(target_root, exist_ok=True)
        for d in dirs:
            src = os.path.join(root, d)
            if os.path.islink(src):
                os.symlink(os.readlink(src), os.path.join(target_root, d))
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(root, d))]
        for f in files:
            src = os.path.join(root, f)
            dst = os.path.join(target_root, f)
            if os.path.islink(src):
                os.symlink(os.readlink(src), dst)
            elif f.lower().endswith(SHARED_SUFFIXES):
                share(src, dst)
            else:
                shutil.copy2(src, dst)


def kill_server(prefix):
    subprocess.run(['wineserver', '-k'], env=wine_env(prefix), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def clones_folder(template):
    return os.path.abspath(template) + '-clones'


class Prefix:
    """A clone of the template in a folder of its own beside it, removed (with its wineserver)
    on exit."""

    def __init__(self, template):
        os.makedirs(clones_folder(template), exist_ok=True)
        self.root = tempfile.mkdtemp(prefix='prefix-', dir=clones_folder(template))
        self.path = os.path.join(self.root, 'prefix')
        clone(template, self.path)
        self.env = wine_env(self.path)

    def drive_c(self, *parts):
        return os.path.join(self.path, 'drive_c', *parts)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        kill_server(self.path)
        shutil.rmtree(self.root, ignore_errors=True)


def main(argv):
    """wineprefix.py template DIR | wineprefix.py run TEMPLATE PROGRAM [ARGS...] | wineprefix.py arch"""
    if len(argv) == 2 and argv[1] == 'arch':
        print(ARCH)
        return 0
    if len(argv) == 3 and argv[1] == 'template':
        try:
            make_template(argv[2])
        except subprocess.CalledProcessError as error:
            print('making the Wine prefix failed: %s exited with %s'
                  % (error.cmd[0], error.returncode), file=sys.stderr)
            return 1
        return 0
    if len(argv) >= 4 and argv[1] == 'run':
        with Prefix(argv[2]) as prefix:
            return subprocess.run([WINE, *argv[3:]], env=prefix.env,
                                  stdin=subprocess.DEVNULL).returncode
    print(main.__doc__, file=sys.stderr)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv))
