#!/usr/bin/python3
"""The test groups of a folder, for ctest: each unittest class with tests in the folder's test_*.py
modules, as MODULE.CLASS, one a line. A module that cannot be imported is an error, never a group
less.

    groups.py FOLDER
"""
import os
import sys
import unittest


def groups(folder):
    suite = unittest.defaultTestLoader.discover(folder, pattern='test_*.py', top_level_dir=folder)
    found, broken = set(), []

    def walk(tests):
        for test in tests:
            if isinstance(test, unittest.TestSuite):
                walk(test)
            elif isinstance(test, unittest.loader._FailedTest):
                broken.append(test.id())
            else:
                found.add('%s.%s' % (type(test).__module__, type(test).__name__))
    walk(suite)
    if broken:
        raise SystemExit('cannot read the test modules of %s: %s' % (folder, ', '.join(broken)))
    return sorted(found)


if __name__ == '__main__':
    sys.dont_write_bytecode = True
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    print('\n'.join(groups(os.path.abspath(sys.argv[1]))))
