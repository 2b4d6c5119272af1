#!/usr/bin/python3
"""Which lines and branches of the run (removal/) and the platform layer (platform/) the tests run.

    coverage.py SOURCE WORK TEMPLATE

Builds everything with GCC's coverage counters into WORK (the 32-bit program and unit tests, with
the stand-in host), runs the unit and end-to-end tests there under Wine, in clones of the Wine
prefix TEMPLATE, each on its route as in the main build (see tests/support/wineprefix.py), and
reports line and branch coverage with gcovr, each file with the lines and branches it left unrun
(kept in WORK/coverage.txt). Fails when a test fails, when a line is left unrun that is not listed
below (UNRUNNABLE) as out of these tests' reach, with the reason, or when an entry there excuses
no line left unrun.

The Windows programs write their counters to the Unix paths of their object files, which Wine
would read as paths on drive C:; GCOV_PREFIX puts them on Z:, which is / in every prefix.
"""
import glob
import json
import os
import subprocess
import sys
from pathlib import Path

from build_tree import build_tree

# The unit tests and every end-to-end group; the random hosts and the plain run against the
# 32-bit host add time, not lines.
TESTS = '^(platform_tests|text_tests|text_tests_turkish|automation_tests|run_tests|e2e_.*)$'
SKIPPED = '_Host32$'

# The lines that no test here can run, each with the reason. An entry names the lines it excuses
# in full (stripped), consecutive in the file, and, where the same lines occur elsewhere, fragments
# of the lines just above them that place them: (file or folder, fragments before, lines, reason);
# the failed allocations, and Files.cpp's entries of one fragment and one line, are written shorter.
# Any other line left unrun fails the check, and so does an entry that excuses no line.
LAST_ERROR = 'return HRESULT_FROM_WIN32(::GetLastError());'
UNRUNNABLE = [
    (place, (allocation, '.Get() == nullptr'), ('return E_OUTOFMEMORY;',), 'an allocation fails only when memory runs out')
    for place, allocations in [('platform/Text.cpp', ['Bstr made(', 'Bstr joined(', 'Bstr mapped(']),
                               ('platform/Files.cpp', ['Bstr buffer(', 'buffer = Bstr(', 'Bstr text(', 'Bstr name('])]
    for allocation in allocations
] + [
    ('platform/Files.cpp', (before,), (excused,), reason) for before, excused, reason in [
        ('if (size == 0)', LAST_ERROR, 'a literal path that is not empty has a full form'),
        ('written == 0 || written >= size', 'return kRefused;', 'one text gives one full path twice'),
        ('rootLength == 0 || rootLength >= fullLength', 'return kRefused;',
         'a disk file here has a full path with a drive root and a name after it'),
        ('ERROR_MORE_DATA', LAST_ERROR, 'reading the name of an open file does not fail'),
        ('FileNameInfo, info, size', LAST_ERROR, 'reading the name of an open file does not fail'),
        ('!root.IsValid()', LAST_ERROR, 'the root of a path whose file is open opens too'),
        ('!::GetFileInformationByHandle(root.Get()', LAST_ERROR, 'reading an open file does not fail'),
        ('dwVolumeSerialNumber', 'return kRefused;',
         "Wine gives a prefix's drives one volume serial: a link to another drive meets the name check"),
        ('GetOpenedName(root.Get(), rootName)', 'return hr;', 'reading the name of an open file does not fail'),
        ('FileAttributeTagInfo', LAST_ERROR, 'reading the attributes of an open file does not fail'),
        ('IsReparseTagNameSurrogate', 'return kRefused;',
         'Wine 8 reports no link as a reparse point: it follows it, and the name check stops it'),
    ]
] + [
    ('platform/Automation.cpp', ('if (until > start_ + kBusyCallBound)',),
     ('until = start_ + kBusyCallBound;',),
     "a call's 40 pauses of 250 ms end at its 10 s bound, never past it"),
    ('platform/Files.cpp', ('return 3;',),
     ("if (length < 2 || full[0] != L'\\\\' || full[1] != L'\\\\')", 'return 0;'),
     'a disk file here has a full path on a drive: a share needs a network, and a device name'
     ' (\\\\.\\CON) is refused by its file type first'),
    ('platform/Files.cpp', ("if (length < 2 || full[0] != L'\\\\' || full[1] != L'\\\\')", 'return 0;'),
     ('UINT separators = 0;', 'for (UINT i = 2; i < length; ++i)', '{',
      "if (full[i] == L'\\\\' && ++separators == 2)", 'return i + 1;', '}', 'return 0;'),
     'a share, or a device: as above'),
    ('platform/Files.cpp', ('GetFullPath(path, full, fullLength)', 'if (FAILED(hr))'), ('return hr;',),
     'GetFullPath fails only in the ways listed above'),
    ('platform/BusyClock.cpp', (), ('void BusySleep(DWORD milliseconds) { ::Sleep(milliseconds); }',),
     'the program has no quit in its queue to sleep past; the unit tests pause by a simulated clock'),
    ('platform/Process.cpp', (), ('::ExitProcess(0);',),
     'the counters are written just before it, without its own'),
]


def excuses(lines, at, before, excused):
    """Whether the lines excused, placed by the fragments before, take in lines[at] (stripped)."""
    for offset, text in enumerate(excused):
        start = at - offset
        if (text == lines[at] and start >= len(before)
                and lines[start:start + len(excused)] == list(excused)
                and all(fragment in lines[start - len(before) + i] for i, fragment in enumerate(before))):
            return True
    return False


def judge(source, unrun):
    """For {file name: [numbers of its unrun lines]}: the lines an entry of UNRUNNABLE excuses,
    with the reason; the lines none excuses; and the entries that excuse no line."""
    explained, unexplained, used = [], [], set()
    for name, numbers in sorted(unrun.items()):
        lines = [line.strip() for line in Path(source, name).read_text(encoding='utf-8').splitlines()]
        for number in numbers:
            found = next((index for index, (place, before, excused, _) in enumerate(UNRUNNABLE)
                          if name.startswith(place) and excuses(lines, number - 1, before, excused)),
                         None)
            if found is None:
                unexplained.append('%s:%d' % (name, number))
            else:
                used.add(found)
                explained.append('%s:%d: %s' % (name, number, UNRUNNABLE[found][3]))
    stale = [entry for index, entry in enumerate(UNRUNNABLE) if index not in used]
    return explained, unexplained, stale


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
    tests = subprocess.run(['ctest', '--test-dir', work, '-R', TESTS, '-E', SKIPPED, '-j2',
                            '--output-on-failure'],
                           env=env, stdin=subprocess.DEVNULL)
    if tests.returncode != 0:
        print('the tests failed in the coverage build; no figures')
        return 1

    # gcov runs once, into a trace file; the reports are read from it.
    trace = os.path.join(work, 'coverage.json')
    subprocess.run(['gcovr', '--root', source, '--gcov-executable', 'i686-w64-mingw32-gcov',
                    '--filter', os.path.join(source, 'removal') + '/',
                    '--filter', os.path.join(source, 'platform') + '/',
                    '--exclude-unreachable-branches', '--exclude-throw-branches',
                    '--json', trace, work], check=True)
    # A file that no test ran has no counts at all, and gcovr would leave it out of the figures.
    files = {os.path.normpath(entry['file']): entry['lines'] for entry in json.loads(Path(trace).read_text())['files']}
    sources = sorted(os.path.relpath(name, source) for folder in ('removal', 'platform')
                     for name in glob.glob(os.path.join(source, folder, '*.cpp')))
    failures = ['no line of %s ran' % name for name in sources if name not in files]
    explained, unexplained, unused = judge(source, {
        name: [line['line_number'] for line in lines if not line['gcovr/noncode'] and line['count'] == 0]
        for name, lines in files.items()})
    failures += ['%s is run by no test' % where for where in unexplained]
    failures += ['%s: the entry for %r after %r excuses no line left unrun: drop it, or name the'
                 ' lines it was for as they now read' % (place, excused[0], before)
                 for place, before, excused, _ in unused]
    report = ['gcovr', '--root', source, '--add-tracefile', trace]
    with open(os.path.join(work, 'coverage.txt'), 'w') as out:
        for kind in ([], ['--branches']):
            table = subprocess.run(report + ['--txt', '-'] + kind, check=True,
                                   stdout=subprocess.PIPE, text=True).stdout
            print(table)
            out.write(table + '\n')
    # gcovr replaces the file it writes rather than writing into it: never point it at /dev/null.
    subprocess.run(report + ['--print-summary', '--txt', os.path.join(work, 'summary.txt')], check=True)
    print('\nLines no test here can run, and why:\n  ' + '\n  '.join(explained))
    if failures:
        print('\nFAILED:\n  ' + '\n  '.join(failures))
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
