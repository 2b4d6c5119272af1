#!/usr/bin/python3
"""Makes a release from a copy of the working tree and checks what its dist/ holds.

    check_release.py SOURCE WORK

The copy holds the files git knows in SOURCE (tracked, and new ones not ignored) as they are in
the working tree, committed afresh in a repository of its own. It, its build and its dist/ go
under WORK, which is emptied first and removed when every check passes.
"""
import os
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

SOURCE, WORK = (sys.argv[1:3] + [None] * 2)[:2]
SCRIPTS = ('detect-removal.ps1', 'report-removal.ps1')
RELEASED = {'brolendavir.exe', 'administrators-guide.txt', *SCRIPTS}
INCLUDE = b". (Join-Path $PSScriptRoot 'removal-rule.ps1')\n"  # what the build gives way to the rule


def copy_working_tree(source, dest):
    listed = subprocess.run(['git', '-C', source, 'ls-files', '-z', '--cached', '--others',
                             '--exclude-standard'], check=True, capture_output=True).stdout
    for name in sorted({os.fsdecode(n) for n in listed.split(b'\0') if n}):
        if not os.path.lexists(os.path.join(source, name)):
            continue  # deleted in the working tree, not yet in the index
        os.makedirs(os.path.join(dest, os.path.dirname(name)), exist_ok=True)
        shutil.copy2(os.path.join(source, name), os.path.join(dest, name), follow_symlinks=False)
    git = ['git', '-C', dest, '-c', 'user.name=release test', '-c', 'user.email=release@test',
           '-c', 'commit.gpgsign=false']
    for command in (['init', '-q'], ['add', '-A'], ['commit', '-q', '--no-verify', '-m', 'tree']):
        subprocess.run(git + command, check=True, capture_output=True)


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        copy = os.path.join(WORK, 'tree')
        copy_working_tree(SOURCE, copy)
        cls.dist = os.path.join(WORK, 'dist')
        # Unsigned, whatever the caller's environment holds (release_signing covers signing).
        env = {k: v for k, v in os.environ.items() if not k.startswith('SIGN_')}
        env.update(BUILD_DIR=os.path.join(WORK, 'build'), DIST_DIR=cls.dist)
        done = subprocess.run([os.path.join(copy, 'scripts', 'release')], cwd=copy, env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=840)
        if done.returncode != 0:
            raise AssertionError(f'scripts/release failed (exit {done.returncode}):\n'
                                 f'{done.stdout}{done.stderr}')
        cls.files = {path.name: path.read_bytes() for path in Path(cls.dist).iterdir()}
        cls.sources = {name: Path(SOURCE, 'deploy', name).read_bytes() for name in SCRIPTS}
        cls.rule = Path(SOURCE, 'deploy', 'removal-rule.ps1').read_bytes()

    def test_dist_holds_the_released_files_and_their_checksums(self):
        self.assertEqual(set(self.files), RELEASED | {'SHA256SUMS'})
        listed = {line.split('  ', 1)[1] for line in self.files['SHA256SUMS'].decode('ascii').splitlines()}
        self.assertEqual(listed, RELEASED, 'SHA256SUMS lists other files than dist/ holds')
        # What the README tells administrators to run: every listed file has its checksum.
        check = subprocess.run(['sha256sum', '--check', '--strict', 'SHA256SUMS'], cwd=self.dist,
                               capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    def test_guide_has_windows_line_ends(self):
        data = self.files['administrators-guide.txt']
        self.assertTrue(data.endswith(b'\r\n'), 'the guide does not end with CR LF')
        self.assertEqual((data.count(b'\n'), data.count(b'\r')), (data.count(b'\r\n'),) * 2,
                         'the guide: (LF, CR) not each one of a CR LF')

    def test_scripts_are_their_ascii_sources_with_the_rule_inlined_and_windows_line_ends(self):
        # 5.1 reads a script without a BOM in the ANSI code page; the sources keep LF alone (no CR).
        for name, source in self.sources.items():
            with self.subTest(name):
                self.assertEqual(source.count(INCLUDE), 1, 'the rule is not dot-sourced where it should be')
                source = source.replace(INCLUDE, self.rule)
                outside = sorted({b for b in source if b >= 0x80 or (b < 0x20 and b != 0x0A)})
                self.assertEqual(outside, [], f'{name} holds bytes outside printable ASCII and LF')
                self.assertEqual(self.files[name], source.replace(b'\n', b'\r\n'))

    def test_guide_says_where_the_script_is_and_what_is_unsigned(self):
        paragraphs = self.files['administrators-guide.txt'].decode('utf-8').replace('\r', '')
        confirming = [p for p in paragraphs.split('\n\n') if p.startswith('Confirming it worked.')]
        self.assertEqual(len(confirming), 1, 'the guide has no paragraph "Confirming it worked."')
        self.assertIn('detect-removal.ps1', confirming[0])
        for name in ('brolendavir.exe', *SCRIPTS):  # made without a certificate, it says so
            self.assertIn(f'\n{name} in this release is NOT signed.\n', paragraphs)


if __name__ == '__main__':
    if WORK is None:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    result = unittest.main(argv=sys.argv[:1], exit=False, verbosity=2).result
    if result.wasSuccessful():
        shutil.rmtree(WORK, ignore_errors=True)
    sys.exit(0 if result.wasSuccessful() else 1)
