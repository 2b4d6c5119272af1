#!/usr/bin/python3
"""Which lines and branches of the run (removal/) and the platform layer (platform/) the tests run.

    coverage.py SOURCE WORK TEMPLATE

Builds everything with GCC's coverage counters into WORK (the program, the stand-in host and the
unit tests; where the kernel runs no 32-bit programs, their 64-bit builds too), runs the unit and
end-to-end tests there under Wine, in clones of the Wine prefix TEMPLATE, and reports line and
branch coverage with gcovr, each file with the lines and branches it left unrun (kept in
WORK/coverage.txt). Fails when a test fails or any line is left unrun.

The Windows programs write their counters to the Unix paths of their object files, which Wine
would read as paths on drive C:; GCOV_PREFIX puts them on Z:, which is / in every prefix.
"""
import glob
import json
import os
import subprocess
import sys

from build_tree import build_tree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
import wineprefix  # noqa: E402

# The unit tests and every end-to-end group; the random hosts add time, not lines.
TESTS = '^(platform_tests|text_tests|text_tests_turkish|automation_tests|e2e_.*)$'


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

    # Counted where the programs that ran were built: on a kernel that runs no 32-bit programs, the
    # 64-bit mirror of the tree and the unit tests (see tests/CMakeLists.txt).
    if wineprefix.ARCH == 'win64':
        gcov = 'x86_64-w64-mingw32-gcov'
        trees = [wineprefix.programs_dir(work), os.path.join(work, 'tests', 'unit-build')]
    else:
        gcov = 'i686-w64-mingw32-gcov'
        trees = [work]
    # gcov runs once, into a trace file; the reports are read from it.
    trace = os.path.join(work, 'coverage.json')
    subprocess.run(['gcovr', '--root', source, '--gcov-executable', gcov,
                    '--filter', os.path.join(source, 'removal') + '/',
                    '--filter', os.path.join(source, 'platform') + '/',
                    '--exclude-unreachable-branches', '--exclude-throw-branches',
                    '--json', trace, *trees], check=True)
    # A file that no test ran has no counts at all, and gcovr would leave it out of the figures.
    with open(trace) as f:
        counted = {os.path.normpath(entry['file']) for entry in json.load(f)['files']}
    sources = sorted(os.path.relpath(name, source) for folder in ('removal', 'platform')
                     for name in glob.glob(os.path.join(source, folder, '*.cpp')))
    unrun = [name for name in sources if name not in counted]
    if unrun:
        print('no line of these files ran: ' + ', '.join(unrun))
    report = ['gcovr', '--root', source, '--add-tracefile', trace]
    with open(os.path.join(work, 'coverage.txt'), 'w') as out:
        for kind in ([], ['--branches']):
            table = subprocess.run(report + ['--txt', '-'] + kind, check=True,
                                   stdout=subprocess.PIPE, text=True).stdout
            print(table)
            out.write(table + '\n')
    lines = subprocess.run(report + ['--print-summary', '--txt', os.devnull,
                                     '--fail-under-line', '100'])
    return 1 if unrun else lines.returncode


if __name__ == '__main__':
    sys.exit(main(sys.argv))
