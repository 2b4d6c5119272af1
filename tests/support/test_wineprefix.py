"""The route of 32-bit programs, checked on the route this machine takes: where the kernel runs them,
they run directly and nothing is registered; where it runs none, the emulator is registered inside
the namespaces made for the tests only. Where no route works, what is missing is said."""
import errno
import os
import re
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

import wineprefix

TOOL = os.path.abspath(wineprefix.__file__)
NAMESPACES = ('/proc/self/ns/user', '/proc/self/ns/mnt')


def run(argv, **env):
    return subprocess.run(argv, env=dict(os.environ, **env), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)


def start_error(program):
    """The errno with which this process fails to start program, or None when it starts."""
    try:
        subprocess.run([program, '--version'], **wineprefix.QUIET)
    except OSError as error:
        return error.errno
    return None


class Route(unittest.TestCase):
    def test_32_bit_programs_run_on_the_route_and_nothing_is_registered_outside(self):
        said = run([sys.executable, TOOL, 'route'])
        self.assertEqual(0, said.returncode, said.stderr)
        route = 'native' if wineprefix.native() else 'emulated'
        print('\nchecking the %s route' % route, file=sys.stderr)
        getattr(self, route + '_route')(said.stdout)

    def native_route(self, said):
        # The kernel runs them: the command starts in this process's own namespaces, with no
        # emulator at hand, so that nothing could be registered for it: Wine then runs only
        # because the kernel runs it.
        self.assertIn('native', said)
        self.assertIsNone(start_error(wineprefix.WINE32), 'the kernel itself runs no 32-bit program')
        no_emulator = dict(BROLENDAVIR_QEMU=os.path.join(tempfile.gettempdir(), 'no-such-qemu-i386'))
        inside = run([sys.executable, TOOL, 'exec', 'readlink', *NAMESPACES], **no_emulator)
        self.assertEqual(0, inside.returncode, inside.stderr)
        self.assertEqual([os.readlink(n) for n in NAMESPACES], inside.stdout.split(),
                         'exec started the command in namespaces of its own')
        wine = run([sys.executable, TOOL, 'exec', wineprefix.WINE32, '--version'], **no_emulator)
        self.assertEqual(0, wine.returncode, wine.stderr)
        self.assertIn('wine-', wine.stdout)
        wineprefix.require_route()  # raises NoRoute off the route

    def emulated_route(self, said):
        # The kernel runs none: the command runs in a user namespace of its own, where the emulator
        # is registered, and the machine outside still runs no 32-bit program afterwards.
        self.assertIn('emulated by qemu-i386', said)
        self.assertFalse(wineprefix.inside_namespace(), 'run this outside the tests\' namespaces')
        self.assertEqual(errno.ENOEXEC, start_error(wineprefix.WINE32),
                         'the machine ran a 32-bit program before the test')
        inside = run([sys.executable, TOOL, 'exec', 'sh', '-c',
                      'readlink %s && exec %s --version' % (NAMESPACES[0], wineprefix.WINE32)])
        self.assertEqual(0, inside.returncode, inside.stderr)
        namespace, _, version = inside.stdout.partition('\n')
        self.assertNotEqual(os.readlink(NAMESPACES[0]), namespace,
                            'the command ran in this process\'s own user namespace')
        self.assertIn('wine-', version)
        self.assertEqual(errno.ENOEXEC, start_error(wineprefix.WINE32),
                         'the machine runs 32-bit programs after the emulated run')


class WhereTheKernelRunsNone(unittest.TestCase):
    """As on a kernel that runs no 32-bit programs, outside the tests' namespaces: on either route,
    the module is told so."""

    def setUp(self):
        self.enterContext(mock.patch.multiple(wineprefix, native=lambda: False, inside_namespace=lambda: False))
        # Were the command started after all, it would take this test's place and end it well.
        self.enterContext(mock.patch.object(wineprefix.os, 'execvp',
                                            side_effect=AssertionError('the command was started')))

    def test_no_route_says_what_is_missing(self):
        with tempfile.TemporaryDirectory() as folder:
            absent, old = os.path.join(folder, 'absent'), os.path.join(folder, 'qemu-i386')
            with open(old, 'w') as f:
                f.write('#!/bin/sh\necho "qemu-i386 version 7.2.19 (Debian 1:7.2+dfsg-7)"\n')
            os.chmod(old, 0o755)
            wine = r'\AWine is not installed \(no %s\): scripts/install-deps installs it' % re.escape(absent)
            for missing, wanted in ((dict(QEMU=absent), 'is missing.*ia32_emulation.*user namespaces'),
                                    (dict(QEMU=old), 'is version 7.2, too old.*ia32_emulation.*user namespaces'),
                                    (dict(WINE32=absent), wine), (dict(WINE=absent), wine)):
                with self.subTest(**missing), mock.patch.multiple(wineprefix, **missing):
                    with self.assertRaises(SystemExit) as ended:
                        wineprefix.exec_on_route(['true'])
                    self.assertRegex(str(ended.exception.code), wanted)

    def test_a_prefix_off_the_route_is_refused(self):
        with tempfile.TemporaryDirectory() as folder:
            prefix = os.path.join(folder, 'never-made')
            with self.assertRaises(wineprefix.NoRoute):
                wineprefix.make_template(prefix)
            self.assertFalse(os.path.exists(prefix))


if __name__ == '__main__':
    unittest.main()
