"""End-to-end: the real program under Wine against the stand-in host, one prefix per test class (a ctest
group, e2e_CLASS), for what only the whole program shows: its journal across the two real hosts, what a
real disk keeps, a creation that a real host refuses, and a busy host across the process boundary.
Each run is held to the checker (tests/support/invariants.py); the order of the steps is run_tests'.
"""
import unittest

import invariants
from machine import OnMachine, run_laid_out
from run_model import (ADDIN, ADDIN_FILE, IGNORED, LIBRARY, LIBRARY_COPY, OTHER, REJECTED, RETRY_LATER, ROOT_COPY,
                       SAMPLE_ADDINS, SAMPLE_DELETED, STARTUP, STARTUP_COPY, addins, folders, invoked, lay_sample,
                       looked_up, plain_run)

SECOND = r'C:\Old Office\Library' + '\\' + ADDIN_FILE
COPIES = {STARTUP_COPY, LIBRARY_COPY}
# Every case but the plain run lays these: the copies, the add-ins it lists, an unrelated file, and
# the file at the root of drive C:, which only a bare file name or an empty folder text names.
LAID = [STARTUP_COPY, LIBRARY_COPY, ROOT_COPY, ADDIN, SECOND, OTHER, STARTUP + r'\personal.xlsb']


class EndToEnd(OnMachine):
    maxDiff = None

    def run_case(self, scenario, deleted):
        """Lays out the files and the scenario (None: the sample machine), runs, holds the run to every
        invariant and checks that exactly the files deleted went."""
        def lay_out(machine):
            for path in LAID:
                machine.file(path)
            machine.scenario(folders() + scenario)
        outcome = run_laid_out(self.machine, lay_sample if scenario is None else lay_out)
        found = invariants.check(self.machine, outcome)
        self.assertEqual(invariants.failed(found), [], '\n'.join(
            [invariants.summary(found), 'journal:'] + outcome.journal.plain()))
        gone = {path for path, now in self.machine.files().items() if now is None}
        self.assertEqual(gone, set(deleted), 'the files deleted')
        return outcome


class PlainRun(EndToEnd):
    """The sample machine: the whole journal, both hosts, line for line."""

    def test_the_whole_journal_of_a_plain_run(self):
        journal = self.run_case(None, SAMPLE_DELETED).journal
        self.assertEqual({i: journal.of(i) for i in journal.instances()}, plain_run(STARTUP, LIBRARY, SAMPLE_ADDINS))


class RealHostAndDisk(EndToEnd):
    """What a real disk and a real host make of the run: a bare file name names the file in the folder
    the program started in, C:\\; an add-in that is the library copy goes in the walk, and step 13 then
    finds it gone; a first creation that the host's factory refuses fails as COM hands it on, so no
    folder is read and the copies stay, while the walk on the second instance deletes the add-in."""

    def test_a_bare_name_and_the_library_copy(self):
        self.run_case(addins(ADDIN_FILE, LIBRARY_COPY), COPIES | {ROOT_COPY})

    def test_the_first_creation_refused(self):
        self.run_case('1 create fail:80004005\n' + addins(ADDIN), {ADDIN})


class BusyHost(EndToEnd):
    """A host that turns calls away as busy: asked again across the process boundary, and a whole run
    against a host busy for ever ending within the hang bound."""

    def test_a_busy_host_is_asked_again(self):
        turned_away = [(1, 'StartupPath', 3, RETRY_LATER), (2, 'names:Workbooks', 2, REJECTED), (2, 'quit', 2, IGNORED),
                       (2, 'next', 2, REJECTED), (2, 'fullname', 1, IGNORED), (2, 'installed', 2, RETRY_LATER),
                       (2, '_NewEnum', 1, RETRY_LATER)]
        events = self.run_case(addins(ADDIN, SECOND) + ''.join('%s busy %s %d %s\n' % t for t in turned_away),
                               COPIES | {ADDIN, SECOND}).journal.events
        self.assertEqual([e.plain for e in events if e.busy], [invoked(1, 'app', 'StartupPath', 'busy:' + RETRY_LATER)] * 3
                         + [looked_up(2, 'app', 'Workbooks', 'busy:' + REJECTED)] * 2
                         + ['2 addins call+get #-4 -> busy:' + RETRY_LATER]
                         + ['2 enum next celt=1 -> busy:%s fetched=0' % REJECTED] * 2
                         + [invoked(2, 'addin1', 'fullname', 'busy:' + IGNORED)]
                         + [invoked(2, 'addin1', 'installed', 'busy:' + RETRY_LATER)] * 2
                         + [invoked(2, 'app', 'quit', 'busy:' + IGNORED)] * 2)

    def test_a_host_busy_for_ever_holds_the_run_within_the_hang_bound(self):
        """Every lookup turned away: the run ends by itself (the checker's hang bound), having read no
        folder and so deleted nothing."""
        self.run_case(addins(ADDIN) + '* busy names forever %s\n' % REJECTED, set())


if __name__ == '__main__':
    unittest.main()
