"""The checker that every run is held to (invariants.py), without Wine: a clean run on a small
machine passes it, and each way a run can break an invariant, made by hand on that run's journal
or drive, is found in its category. A checker that let one through would let the program's fault
through too."""
import unittest

import invariants
from machine import Outcome
from run_model import (ADDIN, HIDDEN, LIBRARY, LIBRARY_COPY, NORMAL, OTHER, STARTUP, STARTUP_COPY, Journal, Laid,
                       plain_run, written)

HIDDEN_FILE = r'C:\addins\hidden\QuantorelixExcelLink.xla'
UNRELATED = STARTUP + r'\personal.xlsb'
ADDINS = [Laid(ADDIN, 'matching', NORMAL), Laid(OTHER, 'not matching', NORMAL)]


class Drive:
    """What the checker reads of a machine: what was laid, in which state, and what is there now."""

    def __init__(self):
        self.laid = {p: b'laid' for p in (ADDIN, OTHER, STARTUP_COPY, LIBRARY_COPY, HIDDEN_FILE, UNRELATED)}
        self.states = dict.fromkeys(self.laid, NORMAL)
        self.states[HIDDEN_FILE] = HIDDEN
        self.now = dict(self.laid, **dict.fromkeys((ADDIN, STARTUP_COPY, LIBRARY_COPY)))
        self.appeared = []

    def files(self):
        return self.now

    def strays(self):
        return self.appeared


def clean_lines():
    """The journal of a plain run on the drive, as the hosts write it."""
    run = plain_run(STARTUP, LIBRARY, ADDINS)
    return [written('%d %s' % (instance, line)) for instance in (1, 2) for line in run[instance]]


def replaced(lines, old, new):
    """The lines with old changed to new in the first line that holds it."""
    at = next(n for n, line in enumerate(lines) if old in line)
    return lines[:at] + [lines[at].replace(old, new)] + lines[at + 1:]


def dropped(lines, *texts):
    return [line for line in lines if not any(text in line for text in texts)]


def quit_at(lines):
    return next(n for n, line in enumerate(lines) if ' call quit ' in line)


class Checker(unittest.TestCase):
    maxDiff = None

    def check(self, lines=None, drive=None, status=0, left=(), gone_at=None):
        lines = clean_lines() if lines is None else lines
        drive = drive or Drive()
        quit = quit_at(clean_lines()) + 1
        gone_at = {STARTUP_COPY: clean_lines()[:quit], LIBRARY_COPY: clean_lines()[:quit]} if gone_at is None else gone_at
        return invariants.check(drive, Outcome(status, Journal(lines), list(left), gone_at, 1.0, 0.0))

    def test_a_clean_run_passes(self):
        self.assertEqual(invariants.failed(self.check()), [], invariants.summary(self.check()))

    def test_each_broken_invariant_is_found(self):
        clean = clean_lines()
        moved, drive_changed, drive_hidden, drive_unnamed, drive_stray = Drive(), Drive(), Drive(), Drive(), Drive()
        moved.now[STARTUP_COPY] = b'laid'
        drive_changed.now[OTHER] = b'changed'
        drive_hidden.now[HIDDEN_FILE] = None
        drive_unnamed.now[UNRELATED] = None
        drive_stray.appeared = ['/prefix/drive_c/addins/new.txt']
        held = replaced(clean, '2 host registered', '2 host hold %s' % UNRELATED)
        held = replaced(held, '2 host end quit', '2 host end client-gone')
        cases = [
            ('an exit status of its own', dict(status=3), 'crash', 'exit status 3'),
            ('a run that does not end', dict(status='hang'), 'hang', 'still running'),
            ('a third host', dict(lines=clean + ['3 host start client=brolendavir.exe']), 'foreign',
             'beyond the second'),
            ('a host started by another client', dict(lines=replaced(clean, 'client=brolendavir.exe', 'client=x.exe')),
             'foreign', 'another client'),
            ('a name spelt otherwise', dict(lines=replaced(replaced(clean, 'names addins', 'names AddIns'),
                                                           'get addins', 'get AddIns')),
             'foreign', 'spelt otherwise: 2 app names AddIns'),
            ('a member invoked under another spelling', dict(lines=replaced(clean, 'get addins', 'get AddIns')),
             'foreign', 'spelt otherwise: 2 app get AddIns'),
            ('a member outside the table', dict(lines=clean[:-2] + [written('2 app names Visible -> 9'),
                                                                   written('2 app get Visible -> bool:0')] + clean[-2:]),
             'foreign', 'outside the table: 2 app names Visible'),
            ('a method read as a property', dict(lines=replaced(clean, 'app call quit', 'app get quit')),
             'foreign', 'invoked outside the table: 2 app get quit'),
            ('an enumerator call the run never makes', dict(lines=clean[:-2] + ['2 enum skip 1'] + clean[-2:]),
             'foreign', 'outside the table: 2 enum skip'),
            ('a call without a fresh lookup', dict(lines=dropped(clean, 'app names quit')),
             'foreign', 'no fresh lookup before: 2 app call quit'),
            ('a call after a busy lookup', dict(lines=replaced(clean, 'app names quit lcid=0409 -> 5',
                                                               'app names quit lcid=0409 -> busy:80010001')),
             'foreign', 'no fresh lookup before: 2 app call quit'),
            ('another locale', dict(lines=replaced(clean, 'get Workbooks lcid=0409', 'get Workbooks lcid=0419')),
             'foreign', 'locale 0419'),
            ('"installed" written True', dict(lines=replaced(clean, 'args=bool:0', 'args=bool:-1')),
             'foreign', 'something other than False'),
            ('"installed" written without the property-put name', dict(lines=replaced(clean, 'named=-3', 'named=0')),
             'foreign', 'something other than False'),
            ('an argument to a method', dict(lines=replaced(clean, 'call quit lcid=0409', 'call quit lcid=0409 args=i4:1')),
             'foreign', 'arguments passed'),
            ('a member called the wrong way', dict(lines=replaced(clean, 'get Workbooks lcid=0409 -> obj:books',
                                                                  'get Workbooks lcid=0409 -> fail:8002000E')),
             'foreign', 'called the wrong way'),
            ('an add-in that holds the key left installed',
             dict(lines=dropped(clean, 'addin1 names installed', 'addin1 put installed', 'addin1 uninstalled')),
             'match', 'addin1 holds the key and was not uninstalled'),
            ('an add-in that does not hold the key uninstalled',
             dict(lines=clean[:-9] + [written('2 addin2 names installed -> 2')] + clean[-9:]),
             'match', 'addin2 does not hold the key and was uninstalled'),
            ('a hidden file deleted', dict(drive=drive_hidden), 'deletion', 'deleted %s (hidden)' % HIDDEN_FILE),
            ('a file no one names deleted', dict(drive=drive_unnamed), 'deletion',
             'deleted %s (named by no copy path and no matching full name)' % UNRELATED),
            ('a file held by a host that outlived the run deleted', dict(lines=held, drive=drive_unnamed),
             'deletion', 'deleted %s (in use)' % UNRELATED),
            ('a file changed', dict(drive=drive_changed), 'deletion', 'changed: ' + OTHER),
            ('a file that appeared', dict(drive=drive_stray), 'deletion', 'appeared: '),
            ('a copy deleted before "quit"',
             dict(gone_at={LIBRARY_COPY: clean[:quit_at(clean)]}), 'early', 'copy deleted before "quit": ' + LIBRARY_COPY),
            ('a process left running', dict(left=[(42, 'standin.exe')]), 'left', 'still running'),
            ('a host that did not end', dict(lines=dropped(clean, '2 host end quit')), 'left', 'host 2 did not end'),
            ('a host ended by its own bound', dict(lines=replaced(clean, '2 host end quit', '2 host end timeout')),
             'left', 'host 2 did not end by itself'),
        ]
        self.assertEqual(invariants.failed(self.check(drive=moved)), [], 'a copy kept is no finding')
        for name, run, category, wanted in cases:
            with self.subTest(name):
                found = self.check(**run)
                self.assertTrue(any(wanted in line for line in found[category]),
                                '%s: %r not in %s' % (category, wanted, found))


if __name__ == '__main__':
    unittest.main()
