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
import sys

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'analysis'))
from build_tree import build_tree  # noqa: E402


def copy_tree(source, dest):
    """Copies the source tree, leaving out build trees inside it and git's lock files."""
    def ignore(folder, names):
        return {n for n in names
                if n.endswith('.lock') or os.path.isfile(os.path.join(folder, n, 'CMakeCache.txt'))}
    shutil.copytree(source, dest, symlinks=True, ignore=ignore)


def build(source, build_dir, generator, build_type):
    build_tree(source, build_dir, 'mingw-w64-i686.cmake', 'brolendavir',
               ['-G', generator, '-DBUILD_TESTING=OFF'], build_type)
    return os.path.join(build_dir, 'app', 'brolendavir.exe')


def describe_difference(first, second):
    """Names the headers and sections where the two executables differ, to point at the cause."""
    a, b = (open(path, 'rb').read() for path in (first, second))
    print(f'sizes: {len(a)} and {len(b)} bytes')
    pe = pefile.PE(data=a, fast_load=True)
    regions = [('headers', 0, pe.OPTIONAL_HEADER.SizeOfHeaders)] + [
        (s.Name.rstrip(b'\0').decode('ascii', 'replace'), s.PointerToRawData,
         s.PointerToRawData + s.SizeOfRawData) for s in pe.sections]
    for name, start, end in regions:
        diffs = [i for i in range(start, min(end, len(a), len(b))) if a[i] != b[i]]
        if diffs:
            print(f'{name}: {len(diffs)} bytes differ, first at file offset {diffs[0]:#x}')


def main(argv):
    if len(argv) not in (4, 5):
        print(__doc__, file=sys.stderr)
        return 2
    source, work, generator = os.path.abspath(argv[1]), os.path.abspath(argv[2]), argv[3]
    build_type = argv[4] if len(argv) == 5 else ''
    shutil.rmtree(work, ignore_errors=True)
    copy = os.path.join(work, 'elsewhere', 'sources', 'brolendavir-copy')
    copy_tree(source, copy)
    first = build(source, os.path.join(work, 'first'), generator, build_type)
    second = build(copy, os.path.join(work, 'second-build', 'out'), generator, build_type)

    if not filecmp.cmp(first, second, shallow=False):
        print(f'{first} and {second} differ:')
        describe_difference(first, second)
        return 1
    print(f'{first} and {second} are identical ({os.path.getsize(first)} bytes)')
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
