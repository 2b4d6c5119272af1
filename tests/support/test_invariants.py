"""The checker that every run is held to (invariants.py), without Wine: a clean run on a small
machine passes it, and each way a run can break an invariant, made by hand on that run's journal
or drive, is found in its category. A checker that let one through would let the program's fault
through too."""
import os
import pathlib
import shutil
import tempfile
import types
import unittest
import weakref

import invariants
import run_model
from machine import Machine, Outcome, Watch
from run_model import (ADDIN, HIDDEN, LIBRARY, LIBRARY_COPY, NORMAL, OTHER, PROGRAM_IMAGE, REJECTED,
                       SAMPLE_ADDINS, STARTUP, STARTUP_COPY, Journal, Laid, call, plain_run, written)

HIDDEN_FILE = SAMPLE_ADDINS[-1].path
UNRELATED = STARTUP + r'\personal.xlsb'
ADDINS = [Laid(ADDIN, 'matching', NORMAL), Laid(OTHER, 'not matching', NORMAL)]
COPIES = (STARTUP_COPY, LIBRARY_COPY)
DELETED = (ADDIN,) + COPIES
# The journal of a plain run on the drive, as the hosts write it, and where "quit" is called in it.
CLEAN = [written('%d %s' % (instance, line)) for instance, lines in plain_run(STARTUP, LIBRARY, ADDINS).items()
         for line in lines]
QUIT_LOOKUP, QUIT_CALL = [written('2 ' + line) for line in call('app', 'quit', 'ok')]
QUIT = CLEAN.index(QUIT_CALL)
# The plain run with "quit" turned away as busy once, then asked again.
BUSY_QUIT = CLEAN[:QUIT] + [QUIT_CALL.replace('-> ok', '-> busy:' + REJECTED)] + CLEAN[QUIT:]


class Drive(Machine):
    """A machine's drive C: without Wine, in a temporary folder, read by the machine's own files(),
    strays() and watch: the files laid, those in gone deleted, those in put written (over a laid
    one or anew), and files that Wine and the stand-in host write besides."""

    def __init__(self, gone=DELETED, put=()):
        folder = tempfile.mkdtemp()
        weakref.finalize(self, shutil.rmtree, folder)
        self.prefix = types.SimpleNamespace(drive_c=lambda *parts: os.path.join(folder, *parts))
        self.laid, self.states, self.tops, self.images = {}, {}, set(), set()
        for path in (ADDIN, OTHER, STARTUP_COPY, LIBRARY_COPY, HIDDEN_FILE, UNRELATED):
            self.file(path)  # in its state by name only: a temporary folder may hold no Wine attributes
        self.states[HIDDEN_FILE] = HIDDEN
        for path, data in {r'C:\windows\system32\new.dll': b'', r'C:\standin\journal.txt': b'', **dict(put)}.items():
            os.makedirs(os.path.dirname(self.unix(path)), exist_ok=True)
            pathlib.Path(self.unix(path)).write_bytes(data)
        for path in gone:
            os.remove(self.unix(path))

    def watched(self, lines, path, at):
        """gone_at as the watch notes it of a run that writes lines to the journal one by one and
        deletes path before the line at index at, when the watch gets to read only once all is
        done, as on a loaded machine."""
        watch = Watch(self, [path])
        for n, line in enumerate(lines):
            if n == at:
                os.remove(self.unix(path))
            with open(self.unix(r'C:\standin\journal.txt'), 'ab') as journal:
                journal.write(line.encode() + b'\n')
        with watch:
            pass
        return watch.gone


def replaced(old, new, lines=CLEAN):
    """The lines with old changed to new in the first line that holds it."""
    at = next(n for n, line in enumerate(lines) if old in line)
    return lines[:at] + [lines[at].replace(old, new)] + lines[at + 1:]


def dropped(*texts):
    return [line for line in CLEAN if not any(text in line for text in texts)]


class Checker(unittest.TestCase):
    maxDiff = None

    def check(self, lines=None, drive=None, status=0, left=(), gone_at=None):
        done = dict.fromkeys(COPIES, CLEAN[:QUIT + 1])
        return invariants.check(drive or Drive(), Outcome(status, Journal(CLEAN if lines is None else lines),
                                                          list(left), done if gone_at is None else gone_at, 1.0, 0.0))

    def test_a_clean_run_passes(self):
        walk = CLEAN.index(written('2 ' + call('app', 'addins', 'obj:addins')[1]))
        no_collection = CLEAN[:walk] + [written('2 ' + call('app', 'addins', 'obj:dummy')[1]),
                                        written('2 dummy call+get #-4 -> fail:80020003')] + CLEAN[-8:-6] + [
            '2 app released', '2 dummy released', '2 host lastref', '2 host end quit']
        watched, held = Drive(gone=[ADDIN]), replaced('2 host registered', '2 host hold ' + LIBRARY_COPY)
        for name, run in [('the plain run', {}),
                          ('an object with no members in place of the collection',
                           dict(lines=no_collection, drive=Drive(gone=COPIES))),
                          ('a copy that stays', dict(drive=Drive(gone=[ADDIN, LIBRARY_COPY]))),
                          ('a call turned away as busy, asked again as it was',
                           dict(lines=BUSY_QUIT, gone_at=dict.fromkeys(COPIES, BUSY_QUIT[:QUIT + 2]))),
                          ('a copy deleted after "quit", as the watch saw it',
                           dict(drive=watched, gone_at=watched.watched(CLEAN, LIBRARY_COPY, QUIT + 1))),
                          ('a copy held open by the second host, deleted once that host had ended',
                           dict(lines=held, gone_at=dict.fromkeys(COPIES, held)))]:
            with self.subTest(name):
                found = self.check(**run)
                self.assertEqual(invariants.failed(found), [], invariants.summary(found))

    def test_each_broken_invariant_is_found(self):
        held = replaced('2 host registered', '2 host hold ' + ADDIN)
        watched, lumped = Drive(gone=[ADDIN]), Drive(gone=[ADDIN])
        cases = [
            ('an exit status of its own', dict(status=3), 'crash', 'exit status 3'),
            ('a run that does not end', dict(status='hang'), 'hang', 'still running'),
            ('an unreadable line', dict(lines=CLEAN + ['2 app']), 'foreign', 'unreadable journal line: 2 app'),
            ('a third host', dict(lines=CLEAN + ['3 host start client=' + PROGRAM_IMAGE]), 'foreign', 'beyond the second'),
            ('a host started by another client', dict(lines=replaced('client=' + PROGRAM_IMAGE, 'client=x.exe')),
             'foreign', 'another client: 1 x.exe'),
            ('a name spelt otherwise', dict(lines=replaced('names addins', 'names AddIns',
                                                           replaced('get addins', 'get AddIns'))),
             'foreign', 'spelt otherwise: 2 app names AddIns'),
            ('a member invoked under another spelling', dict(lines=replaced('get addins', 'get AddIns')),
             'foreign', 'spelt otherwise: 2 app get AddIns'),
            ('a member outside the table', dict(lines=CLEAN[:-2] + [written('2 app names Visible -> 9'),
                                                                   written('2 app get Visible -> bool:0')] + CLEAN[-2:]),
             'foreign', 'outside the table: 2 app names Visible'),
            ('a method read as a property', dict(lines=replaced('app call quit', 'app get quit')),
             'foreign', 'invoked outside the table: 2 app get quit'),
            ('a property read as a method too', dict(lines=replaced('app get addins', 'app call+get addins')),
             'foreign', 'invoked outside the table: 2 app call+get addins'),
            ('an enumerator call the run never makes', dict(lines=CLEAN[:-2] + ['2 enum skip 1'] + CLEAN[-2:]),
             'foreign', 'outside the table: 2 enum skip'),
            ('a call without a fresh lookup', dict(lines=dropped(QUIT_LOOKUP)),
             'foreign', 'no fresh lookup before: 2 app call quit'),
            ('a call made twice on one lookup', dict(lines=CLEAN[:QUIT + 1] + [QUIT_CALL] + CLEAN[QUIT + 1:]),
             'foreign', 'no fresh lookup before: 2 app call quit'),
            ('a call after a busy lookup', dict(lines=replaced(QUIT_LOOKUP, QUIT_LOOKUP.replace(
                '-> 5', '-> busy:' + REJECTED))), 'foreign', 'no fresh lookup before: 2 app call quit'),
            ('another locale', dict(lines=replaced('get Workbooks lcid=0409', 'get Workbooks lcid=0419')),
             'foreign', 'locale 0419'),
            ('"installed" written True', dict(lines=replaced('args=bool:0', 'args=bool:-1')),
             'foreign', 'something other than False'),
            ('an add-in that holds the key, "installed" written True on it', dict(
                lines=replaced('args=bool:0', 'args=bool:-1')), 'match', 'addin1 holds the key and was not'),
            ('"installed" written without the property-put name', dict(lines=replaced('named=-3', 'named=0')),
             'foreign', 'something other than False'),
            ('an argument to a method', dict(lines=replaced(QUIT_CALL, QUIT_CALL.replace(' ->', ' args=i4:1 ->'))),
             'foreign', 'arguments passed'),
            ('a member called the wrong way', dict(lines=replaced('get Workbooks lcid=0409 -> obj:books',
                                                                  'get Workbooks lcid=0409 -> fail:8002000E')),
             'foreign', 'called the wrong way'),
            ('an add-in that holds the key, "installed" looked up on it but never written',
             dict(lines=dropped('addin1 put installed', 'addin1 uninstalled')),
             'match', 'addin1 holds the key and was not uninstalled'),
            ('an add-in that does not hold the key uninstalled',
             dict(lines=CLEAN[:-9] + [written('2 addin2 names installed -> 2')] + CLEAN[-9:]),
             'match', 'addin2 does not hold the key and was uninstalled'),
            ('a hidden file deleted', dict(drive=Drive(gone=DELETED + (HIDDEN_FILE,))), 'deletion',
             'deleted %s (hidden)' % HIDDEN_FILE),
            ('a file no one names deleted', dict(drive=Drive(gone=DELETED + (UNRELATED,))), 'deletion',
             'deleted %s (named by no copy path and by no third read of a matching full name)' % UNRELATED),
            ('a file named by a matching full name, but not by the read after the probe, deleted',
             dict(lines=replaced('str:' + ADDIN, 'str:' + OTHER, CLEAN[::-1])[::-1]),  # the last read of addin1
             'deletion', 'deleted %s (named by no copy path and by no third' % ADDIN),
            ('a file that a host held open deleted while that host ran', dict(lines=held, gone_at=dict(
                dict.fromkeys(COPIES, held), **{ADDIN: held[:QUIT]})), 'deletion', 'deleted %s (in use)' % ADDIN),
            ('a file changed', dict(drive=Drive(put={OTHER: b'changed'})), 'deletion', 'changed: ' + OTHER),
            ('a file made outside every laid folder', dict(drive=Drive(put={r'C:\elsewhere\new.txt': b''})),
             'deletion', os.path.join('elsewhere', 'new.txt')),
            ('a copy deleted before "quit", the watch reading only afterwards', dict(
                drive=watched, gone_at=watched.watched(CLEAN, LIBRARY_COPY, QUIT)), 'early', 'copy deleted before "quit": '),
            ('a copy deleted between a busy "quit" and its second asking', dict(
                lines=BUSY_QUIT, gone_at={LIBRARY_COPY: BUSY_QUIT[:QUIT + 1]}), 'early', 'copy deleted before "quit"'),
            ('a copy that went unseen', dict(gone_at={STARTUP_COPY: CLEAN}), 'early', 'copy went unseen: ' + LIBRARY_COPY),
            ('a copy deleted while the journal was written otherwise than line by line', dict(
                drive=lumped, gone_at=lumped.watched(['\n'.join(CLEAN)], LIBRARY_COPY, 0)), 'early', 'copy went unseen'),
            ('a process left running', dict(left=[(42, 'standin.exe')]), 'left', 'still running'),
            ('a host that did not end', dict(lines=dropped('2 host end quit')), 'left', 'host 2 was not let go of'),
            ('a host that ended when its client had gone', dict(lines=replaced(
                '2 host end quit', '2 host end client-gone held=app')), 'left', 'it ended client-gone'),
            ('a host ended by its own bound', dict(lines=replaced('2 host end quit', '2 host end timeout')),
             'left', 'it ended timeout'),
        ]
        for name, run, category, wanted in cases:
            with self.subTest(name):
                found = self.check(**run)
                self.assertTrue(any(wanted in line for line in found[category]),
                                '%s: %r not in %s' % (category, wanted, found))

    def test_which_file_a_path_text_names(self):
        folder = ('ADDINS', 'QUANTORELIXEXCELLINK.XLA')
        for text, key in [
                (ADDIN, folder), ('\\addins\\QuantorelixExcelLink.xla', folder),
                ('addins\\QuantorelixExcelLink.xla', folder),           # from the working folder, C:\\
                ('c:/Addins//QuantorelixExcelLink.xla', folder),        # Win32 folds separators, and a run of them
                (r'C:\addins.\QuantorelixExcelLink.xla', folder),        # and drops one dot that ends a folder's name
                (r'C:\addins \QuantorelixExcelLink.xla', ('ADDINS ', 'QUANTORELIXEXCELLINK.XLA')),  # not a space
                (ADDIN + '.', None), (ADDIN + ' ', None), (ADDIN + '\\', None),  # the name must be the file's own
                ('\\\\?\\' + ADDIN, None), (ADDIN + '\0.bak', None), *[('C:\\addins\\Q%s.xla' % c, None) for c in '*?<>"|'],
                (r'C:\addins\QuantorelixExcel\..\report.docx', None),   # a part that folds the key away
                (r'C:\addins\.\QuantorelixExcelLink.xla', None), ('', None), (None, None),
                (r'D:\addins\QuantorelixExcelLink.xla', None), (r'\\server\share\QuantorelixExcelLink.xla', None)]:
            with self.subTest(text=text):
                self.assertEqual(invariants.file_key(text), key)

    def test_which_full_names_must_and_may_match(self):
        for text, must, may in [('C:\\QUANTORELIXEXCEL\\x.xla', True, True), ('quantorelixexcel', True, True),
                                ('C:\\Quantorelix Excel\\x.xla', False, False), (None, False, False),
                                ('QUANTOREL\u0130XEXCEL.xla', False, True)]:
            with self.subTest(text=text):
                self.assertEqual((run_model.matches(text), invariants._may_match(text)), (must, may))


if __name__ == '__main__':
    unittest.main()
