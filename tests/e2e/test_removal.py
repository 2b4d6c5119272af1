"""End-to-end: the real program under Wine against the stand-in host, one prefix per test class.

What only the whole program shows: the order of its steps across the two hosts, which add-ins it
takes out, what the disk keeps, how it goes on past a failure at each step, and the bounds of a
whole run against a busy host. Each case lays out a scenario and files, runs the program once,
holds the run to what holds for every run (tests/support/invariants.py), and checks the files it
deleted and the journal lines it wants, in order. Every class is a ctest group (e2e_CLASS).
"""
import unittest

import invariants
from machine import OnMachine, run_laid_out
from run_model import (ADDIN, ADDIN_FILE, FAILURE, IGNORED, LIBRARY, LIBRARY_COPY, NORMAL, OTHER, REJECTED, RETRY_LATER,
                       ROOT_COPY, SAMPLE_ADDINS, SAMPLE_DELETED, STARTUP, STARTUP_COPY, Event, Laid, addins, folders,
                       invoked, lay_sample, listed, looked_up, plain_run, visit)

SECOND = r'C:\Old Office\Library' + '\\' + ADDIN_FILE
BASE = folders()
COPIES = {STARTUP_COPY, LIBRARY_COPY}
# After "quit" the run lets go of everything, the walk's collection last, so the host ends on its
# last release and not when it finds its client gone.
QUIT = ['2 app call quit -> ok', '2 app released', '2 enum released', '2 addins released',
        '2 host lastref', '2 host end quit']


def lay_for(scenario):
    """The copies, an add-in, an unrelated file, the file at the root of drive C:, and a file for
    each plain path an add-in's full name gives."""
    paths = [STARTUP_COPY, LIBRARY_COPY, ROOT_COPY, ADDIN, OTHER, STARTUP + r'\personal.xlsb']
    paths += [text for text in listed(scenario) if text.startswith('C:\\')]

    def lay(machine):
        for path in dict.fromkeys(paths):
            machine.file(path)
    return lay


def holds(line, wanted):
    """Whether a journal line is the one wanted: all of it if that names an answer, else its head."""
    return line == wanted or (' -> ' not in wanted and line.startswith(wanted + ' '))


def subsequence(wanted, lines):
    """True when the wanted lines occur in lines in this order."""
    at = 0
    for text in wanted:
        while at < len(lines) and not holds(lines[at], text):
            at += 1
        if at == len(lines):
            return False
        at += 1
    return True


class EndToEnd(OnMachine):
    maxDiff = None

    def setUp(self):
        self.machine.reset()

    def run_case(self, scenario, deleted, lay=None):
        """Lays out the files and the scenario, runs, holds the run to every invariant and checks
        that exactly the files deleted went."""
        def lay_out(machine):
            (lay or lay_for(scenario))(machine)
            if scenario is not None:
                machine.scenario(scenario)
        outcome = run_laid_out(self.machine, lay_out)
        found = invariants.check(self.machine, outcome)
        self.assertEqual(invariants.failed(found), [], '\n'.join(
            [invariants.summary(found), 'journal:'] + outcome.journal.plain()))
        gone = {path for path, now in self.machine.files().items() if now is None}
        self.assertEqual(gone, set(deleted), 'the files deleted')
        return outcome

    def check_table(self, cases):
        """Cases of (what, scenario, files deleted, journal lines wanted in order, texts unwanted)."""
        for name, scenario, deleted, wanted, unwanted in cases:
            with self.subTest(name):
                self.check_journal(self.run_case(scenario, deleted), wanted, unwanted)

    def check_journal(self, outcome, wanted, unwanted=()):
        lines = outcome.journal.plain()
        shown = '\n'.join(['wanted in order:'] + wanted + ['journal:'] + lines)
        self.assertTrue(subsequence(wanted, lines), shown)
        for text in unwanted:
            self.assertFalse(any(text in line for line in lines), 'unwanted: ' + text + '\n' + shown)
        # The full name of each add-in named is read exactly as often as wanted.
        reads = [(e.instance, e.obj) for e in map(Event, wanted) if e.kind == 'invoke' and e.addin and e.name == 'fullname']
        for addin in set(reads):
            made = sum(e.kind == 'invoke' and (e.instance, e.obj) == addin and e.name == 'fullname'
                       for e in outcome.journal.events)
            self.assertEqual(made, reads.count(addin), '%d %s read\n%s' % (addin + (shown,)))


class PlainRun(EndToEnd):
    """The sample machine: the whole journal, both hosts, line for line."""

    def test_the_whole_journal_of_a_plain_run(self):
        outcome = self.run_case(None, SAMPLE_DELETED, lay=lay_sample)
        expected = plain_run(STARTUP, LIBRARY, SAMPLE_ADDINS)
        self.assertEqual(outcome.journal.instances(), [1, 2])
        for instance in (1, 2):
            with self.subTest(instance=instance):
                self.assertEqual(outcome.journal.of(instance), expected[instance])
        with self.subTest('the first instance is released once the second is in hand'):
            lines = outcome.journal.plain()
            self.assertLess(lines.index('2 factory create -> obj:app'), lines.index('1 app released'))


class ApplicationFailures(EndToEnd):
    """A failure at each step on the application, or no host at all: the step is dropped, the rest
    of the run happens."""

    def test_creation_and_application_members(self):
        walk_and_quit = visit(1, ADDIN) + QUIT
        # With no workbook open the host refuses the uninstall; the file still goes.
        read = invoked(2, 'addin1', 'fullname', 'str:' + ADDIN)
        refused = [read, invoked(2, 'addin1', 'installed', FAILURE), read, read] + QUIT
        everything = COPIES | {ADDIN}
        self.check_table([
            ('StartupPath fails', BASE + '1 StartupPath %s\n' % FAILURE + addins(ADDIN),
             {ADDIN, LIBRARY_COPY}, walk_and_quit, []),
            ('LibraryPath fails', BASE + '1 LibraryPath %s\n' % FAILURE + addins(ADDIN),
             {ADDIN, STARTUP_COPY}, walk_and_quit, []),
            ('the first instance is refused: no copy path, the walk still runs',
             BASE + '1 create fail:80004005\n' + addins(ADDIN), {ADDIN},
             ['1 factory create -> fail:80004005', '1 host end refused'] + walk_and_quit,
             ['get StartupPath']),
            ('the first host never registers', BASE + '1 create noregister\n' + addins(ADDIN), {ADDIN},
             ['1 host end unregistered'] + walk_and_quit, ['get StartupPath']),
            ('the second instance is refused: the first gets the workbook, the walk and the quit',
             BASE + '2 create fail:80004005\n' + addins(ADDIN), everything,
             ['1 app get StartupPath', '2 factory create -> fail:80004005', '1 app get Workbooks',
              '1 books call Add', '1 app get addins', '1 addin1 put installed', '1 app call quit -> ok',
              '1 app released', '1 enum released', '1 addins released', '1 host end quit'], []),
            ('no instance can be created: nothing is uninstalled or deleted',
             BASE + '* create fail:80004005\n' + addins(ADDIN), set(),
             ['1 host end refused', '2 host end refused'], [' app ']),
            ('Workbooks fails: no workbook, so the uninstall is refused; the file and copies still go',
             BASE + '2 Workbooks %s\n' % FAILURE + addins(ADDIN), everything,
             refused, ['call Add', 'uninstalled']),
            ('Add fails: the uninstall is refused; the file and copies still go',
             BASE + '2 Add %s\n' % FAILURE + addins(ADDIN), everything,
             ['2 books call Add -> ' + FAILURE] + refused, ['uninstalled']),
            ('addins fails: no add-in is visited', BASE + '2 addins %s\n' % FAILURE + addins(ADDIN),
             COPIES, ['2 app get addins -> ' + FAILURE, '2 app call quit -> ok', '2 app released',
                      '2 host lastref', '2 host end quit'], ['#-4', 'enum']),
            ('quit fails: the copies still go', BASE + '2 quit %s\n' % FAILURE + addins(ADDIN), everything,
             visit(1, ADDIN) + ['2 app call quit -> ' + FAILURE, '2 addin1 released', '2 app released',
                                '2 enum released', '2 addins released', '2 host lastref', '2 host end released'],
             []),
        ])


class AddInWalk(EndToEnd):
    """The walk over the add-ins: which files go from a real disk, where Windows says which file a
    text names; and past a failure inside it, the add-in or the walk is dropped, the rest happens."""

    def test_the_walk(self):
        two = addins(ADDIN, SECOND)
        self.check_table([
            ('a bare file name names the file in the folder the program started in, C:\\; an add-in that is '
             'the library copy is deleted by the walk', BASE + addins(ADDIN_FILE, LIBRARY_COPY), COPIES | {ROOT_COPY},
             visit(1, ADDIN_FILE) + visit(2, LIBRARY_COPY), []),
            ('the enumerator cannot be had', BASE + '2 _NewEnum fail:80004001\n' + two, COPIES,
             ['2 addins call+get #-4 -> fail:80004001', '2 app call quit -> ok'], ['enum next']),
            ('moving to the second add-in fails: the walk ends there',
             BASE + '2 next 2 fail:80004005\n' + two, COPIES | {ADDIN},
             visit(1, ADDIN) + ['2 enum next celt=1 -> fail:80004005 fetched=0'] + QUIT, ['addin2']),
            ('a read of a full name fails: the first passes the add-in over, the second the probe, the third the deletion',
             BASE + '* addin %s\n* addin str:%s | %s\n* addin str:%s | str:%s | %s\n' % (
                 FAILURE, ADDIN, FAILURE, SECOND, SECOND, FAILURE), COPIES,
             ['2 addin1 get fullname -> ' + FAILURE, '2 enum next', invoked(2, 'addin2', 'fullname', 'str:' + ADDIN),
              '2 addin2 uninstalled', '2 addin2 get fullname -> ' + FAILURE, '2 enum next'] + visit(3, SECOND, found=False)
             + ['2 addin3 get fullname -> ' + FAILURE] + QUIT, ['addin1 put']),
        ])


class BusyHost(EndToEnd):
    """A host that turns calls away as busy: asked again across the process boundary, and the whole
    run held for about 30 s at most."""

    def test_a_busy_host_is_asked_again(self):
        """Each call turned away is asked again as it stands until the host serves it; past the busy
        answers, the journal is a plain run's."""
        turned_away = [(1, 'StartupPath', 3, RETRY_LATER), (2, 'names:Workbooks', 2, REJECTED), (2, 'quit', 2, IGNORED),
                       (2, 'next', 2, REJECTED), (2, 'fullname', 1, IGNORED), (2, 'installed', 2, RETRY_LATER),
                       (2, '_NewEnum', 1, RETRY_LATER)]
        events = self.run_case(BASE + addins(ADDIN, SECOND) + ''.join('%s busy %s %d %s\n' % t for t in turned_away),
                               COPIES | {ADDIN, SECOND}).journal.events
        self.assertEqual([e.plain for e in events if e.busy], [invoked(1, 'app', 'StartupPath', 'busy:' + RETRY_LATER)] * 3
                         + [looked_up(2, 'app', 'Workbooks', 'busy:' + REJECTED)] * 2
                         + ['2 addins call+get #-4 -> busy:' + RETRY_LATER]
                         + ['2 enum next celt=1 -> busy:%s fetched=0' % REJECTED] * 2
                         + [invoked(2, 'addin1', 'fullname', 'busy:' + IGNORED)]
                         + [invoked(2, 'addin1', 'installed', 'busy:' + RETRY_LATER)] * 2
                         + [invoked(2, 'app', 'quit', 'busy:' + IGNORED)] * 2)
        plain = plain_run(STARTUP, LIBRARY, [Laid(path, 'matching', NORMAL) for path in (ADDIN, SECOND)])
        for instance in (1, 2):
            self.assertEqual([e.plain.split(' ', 1)[1] for e in events if e.instance == instance and not e.busy],
                             plain[instance])

    def test_a_host_busy_at_every_lookup_holds_the_run_for_its_bound_only(self):
        """The run waits on busy answers for 30 s at most in all: the first calls spend that, and
        every later one is asked once and given up; the run ends by itself, and no call is made."""
        outcome = self.run_case(BASE + addins(ADDIN) + '* busy names forever %s\n' % REJECTED, set())
        asked = {}
        for e in outcome.journal.events:
            if e.kind == 'names':
                asked[(e.instance, e.name)] = asked.get((e.instance, e.name), 0) + 1
        self.assertEqual((asked.get((2, 'addins')), asked.get((2, 'quit'))), (1, 1), asked)
        self.assertFalse(any(e.kind == 'invoke' for e in outcome.journal.events), 'a call was invoked')


if __name__ == '__main__':
    unittest.main()
