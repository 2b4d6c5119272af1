#!/usr/bin/python3
"""Which lines and branches of the run (removal/) and the platform layer (platform/) the tests run.

    coverage.py SOURCE WORK TEMPLATE

Builds everything with GCC's coverage counters into WORK (the program, the stand-in host and the
unit tests), runs the unit and end-to-end tests there under Wine, in clones of the Wine prefix
TEMPLATE, and reports line and branch coverage with gcovr (WORK/coverage.txt holds the list of
each file's lines not run). Fails when a test fails or when any line is left unrun.

The Windows programs write their counters to the Unix paths of their object files, which Wine
would read as paths on drive C:; GCOV_PREFIX puts them on Z:, which is / in every prefix.
"""
import glob
import os
import subprocess
import sys

from build_tree import build_tree

# The unit tests and every end-to-end group; the random hosts add time, not lines.
TESTS = r'^(platform_tests|text_tests|text_tests_turkish|automation_tests|e2e_\w+)$'
GCOV = 'i686-w64-mingw32-gcov'


def main(argv):
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    source, work, template = (os.path.abspath(a) for a in argv[1:])
    build_tree(source, work, 'mingw-w64-i686.cmake', 'all',
               ['-DBROLENDAVIR_COVERAGE=ON', '-DWINE_TEMPLATE=' + template])
    for stale in glob.glob(os.path.join(work, '**', '*.gcda'), recursive=True):
        os.remove(stale)

    env = dict(os.environ, GCOV_PREFIX='Z:')
    tests = subprocess.run(['ctest', '--test-dir', work, '-R', TESTS, '-j2', '--output-on-failure'],
                           env=env, stdin=subprocess.DEVNULL)
    if tests.returncode != 0:
        print('the tests failed in the coverage build; no figures')
        return 1

    counted = ['gcovr', '--root', source, '--gcov-executable', GCOV,
               '--filter', os.path.join(source, 'removal') + '/',
               '--filter', os.path.join(source, 'platform') + '/',
               '--exclude-unreachable-branches', '--exclude-throw-branches', work]
    with open(os.path.join(work, 'coverage.txt'), 'w') as out:
        subprocess.run(counted + ['--txt', '-'], stdout=out, check=True)
    lines = subprocess.run(counted + ['--txt', '-', '--fail-under-line', '100'])
    subprocess.run(counted + ['--txt', '-', '--branches'], check=True)
    return lines.returncode


if __name__ == '__main__':
    sys.exit(main(sys.argv))
