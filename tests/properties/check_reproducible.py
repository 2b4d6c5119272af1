#!/usr/bin/python3
"""Builds brolendavir.exe twice from scratch and checks that the two files are byte-identical.

    check_reproducible.py SOURCE WORK GENERATOR [BUILD_TYPE]

The first build uses SOURCE itself, the second a copy of it at another path (with its git
history, so both link with the same SOURCE_DATE_EPOCH); the two build folders differ in name
and depth too. Each build uses its own tree's product toolchain file and builds only the
program, with testing off. WORK is emptied first.
"""
import filecmp
import os
import shutil
import subprocess
import sys

import pefile


def copy_tree(source, dest):
    """Copies the source tree, leaving out build trees inside it and git's lock files."""
    def ignore(folder, names):
        skipped = {n for n in names if n.endswith('.lock')}
        skipped |= {n for n in names
                    if os.path.isfile(os.path.join(folder, n, 'CMakeCache.txt'))}
        return skipped
    shutil.copytree(source, dest, symlinks=True, ignore=ignore)


def build(source, build_dir, generator, build_type, log):
    toolchain = os.path.join(source, 'cmake', 'mingw-w64-i686.cmake')
    configure = ['cmake', '-S', source, '-B', build_dir, '-G', generator,
                 f'-DCMAKE_TOOLCHAIN_FILE={toolchain}', '-DBUILD_TESTING=OFF',
                 f'-DCMAKE_BUILD_TYPE={build_type}']
    make = ['cmake', '--build', build_dir, '--target', 'brolendavir', '--parallel', '2']
    for command in (configure, make):
        with open(log, 'a') as out:
            out.write('$ ' + ' '.join(command) + '\n')
            out.flush()
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=540)
        if done.returncode != 0:
            with open(log) as out:
                sys.stdout.write(out.read()[-4000:])
            raise SystemExit(f'build in {build_dir} failed (exit {done.returncode}); log: {log}')
    for root, _, files in os.walk(build_dir):
        if 'brolendavir.exe' in files:
            return os.path.join(root, 'brolendavir.exe')
    raise SystemExit(f'build in {build_dir} made no brolendavir.exe')


def describe_difference(first, second):
    """Names the headers and sections where the two executables differ, to point at the cause."""
    a, b = open(first, 'rb').read(), open(second, 'rb').read()
    if len(a) != len(b):
        print(f'sizes differ: {len(a)} and {len(b)} bytes')
    pe = pefile.PE(data=a, fast_load=True)
    headers_end = pe.OPTIONAL_HEADER.SizeOfHeaders
    regions = [('headers', 0, headers_end)] + [
        (s.Name.rstrip(b'\0').decode('ascii', 'replace'), s.PointerToRawData,
         s.PointerToRawData + s.SizeOfRawData) for s in pe.sections]
    for name, start, end in regions:
        diffs = [i for i in range(start, min(end, len(a), len(b))) if a[i] != b[i]]
        if diffs:
            print(f'{name}: {len(diffs)} bytes differ, first at file offset {diffs[0]:#x}')
    if pe.FILE_HEADER.TimeDateStamp != pefile.PE(data=b, fast_load=True).FILE_HEADER.TimeDateStamp:
        print('the PE time stamps differ (SOURCE_DATE_EPOCH of the two links)')


def main(argv):
    if len(argv) not in (4, 5):
        print(__doc__, file=sys.stderr)
        return 2
    source, work, generator = os.path.abspath(argv[1]), os.path.abspath(argv[2]), argv[3]
    build_type = argv[4] if len(argv) == 5 else ''
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    log = os.path.join(work, 'build.log')

    copy = os.path.join(work, 'elsewhere', 'sources', 'brolendavir-copy')
    copy_tree(source, copy)
    first = build(source, os.path.join(work, 'first'), generator, build_type, log)
    second = build(copy, os.path.join(work, 'second-build', 'out'), generator, build_type, log)

    if not filecmp.cmp(first, second, shallow=False):
        print(f'{first} and {second} differ:')
        describe_difference(first, second)
        return 1
    print(f'{first} and {second} are identical ({os.path.getsize(first)} bytes)')
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
