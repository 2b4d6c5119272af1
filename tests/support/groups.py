#!/usr/bin/python3
"""The test groups of a folder, for ctest: each unittest class with tests in the folder's test_*.py
modules, as MODULE.CLASS, one a line. Nothing goes missing without a word: a module that cannot be
imported, a test class with no tests that no other class builds on, and a test class in a module
that unittest does not look in are each an error.

    groups.py FOLDER
"""
import importlib
import inspect
import os
import sys
import unittest


def groups(folder):
    sys.path.insert(0, folder)
    loader = unittest.TestLoader()
    found, wrong = [], []
    for name in sorted(n[:-3] for n in os.listdir(folder) if n.endswith('.py')):
        try:
            module = importlib.import_module(name)
        except Exception as error:  # noqa: BLE001 (said below, with the other errors)
            wrong.append('cannot import %s: %s' % (name, error))
            continue
        classes = [c for _, c in inspect.getmembers(module, inspect.isclass)
                   if issubclass(c, unittest.TestCase) and c.__module__ == name]
        for cls in classes:
            tests = loader.getTestCaseNames(cls)
            if tests and not name.startswith('test_'):
                wrong.append('%s.%s has tests, but unittest does not look in %s.py' % (name, cls.__name__, name))
            elif tests:
                found.append('%s.%s' % (name, cls.__name__))
            if not tests and not any(other is not cls and issubclass(other, cls) for other in classes):
                wrong.append('%s.%s has no tests' % (name, cls.__name__))
    if wrong:
        raise SystemExit('tests/%s: %s' % (os.path.basename(folder), '; '.join(wrong)))
    return sorted(found)


if __name__ == '__main__':
    sys.dont_write_bytecode = True
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    print('\n'.join(groups(os.path.abspath(sys.argv[1]))))
