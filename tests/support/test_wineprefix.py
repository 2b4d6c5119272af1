"""The route of 32-bit programs: the emulator stays inside the namespaces made for the tests, and
where no route works, what is missing is said."""
import os
import subprocess
import sys
import tempfile
import unittest

import wineprefix

TOOL = os.path.abspath(wineprefix.__file__)


@unittest.skipIf(wineprefix.native(), 'this kernel runs 32-bit programs itself')
class EmulatedRoute(unittest.TestCase):
    def test_the_emulator_is_registered_inside_only(self):
        inside = subprocess.run([sys.executable, TOOL, 'exec', wineprefix.WINE32, '--version'],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True)
        self.assertEqual(0, inside.returncode, inside.stderr)
        self.assertIn('wine-', inside.stdout)
        # The machine and every other program on it still run no 32-bit programs.
        self.assertFalse(wineprefix.inside_namespace())
        self.assertFalse(wineprefix.native())

    def test_no_route_says_what_is_missing(self):
        with tempfile.TemporaryDirectory() as folder:
            old = os.path.join(folder, 'qemu-i386')
            with open(old, 'w') as f:
                f.write('#!/bin/sh\necho "qemu-i386 version 7.2.19 (Debian 1:7.2+dfsg-7)"\n')
            os.chmod(old, 0o755)
            for qemu, why in ((os.path.join(folder, 'absent'), 'is missing'),
                              (old, 'is version 7.2, too old')):
                with self.subTest(qemu=qemu):
                    env = dict(os.environ, BROLENDAVIR_QEMU=qemu)
                    said = subprocess.run([sys.executable, TOOL, 'exec', 'true'], env=env,
                                          stdin=subprocess.DEVNULL, capture_output=True, text=True)
                    self.assertNotEqual(0, said.returncode)
                    self.assertIn(why, said.stderr)
                    self.assertIn('ia32_emulation', said.stderr)
                    self.assertIn('user namespaces', said.stderr)

    def test_a_prefix_off_the_route_is_refused(self):
        with self.assertRaises(wineprefix.NoRoute):
            wineprefix.make_template(os.path.join(tempfile.gettempdir(), 'never-made'))


if __name__ == '__main__':
    unittest.main()
