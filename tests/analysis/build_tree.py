#!/usr/bin/python3
"""Configures and builds a tree of its own for one of the checks, from scratch.

    build_tree.py SOURCE BUILD TOOLCHAIN TARGET [CMAKE_ARGUMENT...]

TOOLCHAIN is a file in SOURCE/cmake; TARGET is what to build ('all' for everything; several
joined by commas). BUILD is emptied first. The build's output is shown only when it fails.
"""
import os
import shutil
import subprocess
import sys


def build_tree(source, build_dir, toolchain, target, extra=(), build_type='Release'):
    shutil.rmtree(build_dir, ignore_errors=True)
    os.makedirs(build_dir)
    log = os.path.join(build_dir, 'build.log')
    configure = ['cmake', '-S', source, '-B', build_dir,
                 '-DCMAKE_TOOLCHAIN_FILE=' + os.path.join(source, 'cmake', toolchain),
                 '-DCMAKE_BUILD_TYPE=' + build_type, *extra]
    make = ['cmake', '--build', build_dir, '--target', *target.split(','), '--parallel', '2']
    for step, command in (('configuring', configure), ('building', make)):
        with open(log, 'a') as out:
            out.write('$ ' + ' '.join(command) + '\n')
            out.flush()
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT)
        if done.returncode != 0:
            with open(log) as out:
                sys.stdout.write(out.read()[-8000:])
            raise SystemExit('%s failed (exit %d); log: %s' % (step, done.returncode, log))


def main(argv):
    if len(argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    build_tree(os.path.abspath(argv[1]), os.path.abspath(argv[2]), argv[3], argv[4], argv[5:])
    print('built %s in %s with %s' % (argv[4], argv[2], argv[3]))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
